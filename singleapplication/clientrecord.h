#ifndef OSTREL_SINGLEAPPLICATION_CLIENTRECORD_H
#define OSTREL_SINGLEAPPLICATION_CLIENTRECORD_H

#include <QtGlobal>

// How far the primary has read an accepted connection: its handshake's header, then its body (handshake.h),
// then the messages after it.
enum class ReadPhase : quint8 {
    AwaitingHeader = 0,
    AwaitingBody = 1,
    Established = 2,
};

// The primary's state for one accepted connection; a value-initialised record awaits its header.
struct ClientRecord
{
    qint64 expectedLength = 0; // the body's length, as the header gave it
    quint32 instanceId = 0;    // the peer's number, as its accepted handshake gave it
    ReadPhase phase = ReadPhase::AwaitingHeader;
};

#endif
