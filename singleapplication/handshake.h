#ifndef OSTREL_SINGLEAPPLICATION_HANDSHAKE_H
#define OSTREL_SINGLEAPPLICATION_HANDSHAKE_H

#include <QByteArray>
#include <QString>
#include <QtGlobal>

// The first message a copy sends to the primary's local server: an 8-byte header that announces the body's
// length, then the body (the instance key as a length-prefixed byte string, the kind, the sender's
// instance number and a CRC-16/X-25 of the bytes before it), all big-endian as QDataStream writes them.

// Travels as one signed byte. A peer may send any value; those without a name are accepted and announce
// nothing.
enum class HandshakeKind : qint8 {
    DuplicateLaunch = 1,
    SecondaryLaunch = 2,
};

constexpr int HandshakeHeaderSize = 8;
// Pinned, so that both ends agree whatever QDataStream's default version is.
constexpr int HandshakeStreamVersion = 17; // QDataStream::Qt_5_6

// A valid body is 11 bytes plus the 44-byte key. Any local peer can write a header, so an announced length
// is capped well above that; a larger one would only make the primary buffer for nothing.
constexpr qint64 MaxHandshakeBodyLength = 4096;

enum class HandshakeVerdict {
    Accepted,
    StreamError, // body too short for its fields (a length of 0 or less included)
    KeyMismatch,
    ChecksumMismatch,
};

struct HandshakeBody
{
    QByteArray key;
    HandshakeKind kind = HandshakeKind(0);
    quint32 instanceId = 0;
    quint16 checksum = 0;
};

QByteArray encodeHandshakeHeader(qint64 bodyLength);
QByteArray encodeHandshakeBody(const QString &instanceKey, HandshakeKind kind, quint32 instanceId);

// The announced body length; the header must hold HandshakeHeaderSize bytes.
qint64 decodeHandshakeHeader(const QByteArray &header);
// Checks a body against the primary's own key: the fields must be complete, the key equal (letter case
// included) and the checksum, taken over all but the body's last two bytes, equal to the stored one.
HandshakeVerdict decodeHandshakeBody(const QByteArray &body, const QString &instanceKey, HandshakeBody *out);

#endif
