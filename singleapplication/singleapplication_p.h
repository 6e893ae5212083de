#ifndef OSTREL_SINGLEAPPLICATION_P_H
#define OSTREL_SINGLEAPPLICATION_P_H

//
//  W A R N I N G
//  -------------
//
// This file is not part of the public interface. It is shared by the implementation and the tests only.
//

#include "singleapplication.h"

#include <QByteArray>
#include <QLocalSocket>
#include <QMap>
#include <QObject>
#include <QString>
#include <QStringList>

#include <cstddef>
#include <type_traits>

class QIODevice;
class QLocalServer;
class QSharedMemory;

// The record in the shared segment. Several processes read and write it, so its bytes are an
// inter-process format: keep the layout, the checks below pin it.
struct InstanceBlock
{
    quint8 hasPrimary; // 0 or 1; read as a byte so that a stray value cannot make a bool undefined
    quint32 secondaryCount;
    qint64 primaryProcessId;
    char primaryUserName[128];
    quint16 checksum;
};

static_assert(std::is_standard_layout<InstanceBlock>::value &&
                  std::is_trivially_copyable<InstanceBlock>::value,
              "InstanceBlock is shared between processes as raw bytes");
static_assert(sizeof(InstanceBlock) == 152, "InstanceBlock must be 152 bytes");
static_assert(offsetof(InstanceBlock, hasPrimary) == 0, "InstanceBlock layout");
static_assert(offsetof(InstanceBlock, secondaryCount) == 4, "InstanceBlock layout");
static_assert(offsetof(InstanceBlock, primaryProcessId) == 8, "InstanceBlock layout");
static_assert(offsetof(InstanceBlock, primaryUserName) == 16, "InstanceBlock layout");
static_assert(offsetof(InstanceBlock, checksum) == 144, "InstanceBlock layout");

constexpr int InstanceBlockSize = int(sizeof(InstanceBlock));
// Everything before the checksum field, padding included.
constexpr int InstanceBlockChecksummedBytes = int(offsetof(InstanceBlock, checksum));

// The first message a connecting copy sends to the primary.
enum HandshakeKind : qint8 {
    DuplicateLaunch = 1,
    SecondaryLaunch = 2,
};

enum ReadPhase : quint8 {
    AwaitingHeader = 0,
    AwaitingBody = 1,
    Established = 2,
};

// The primary's state for one accepted connection; a value-initialised record awaits its header.
struct ClientRecord
{
    qint64 expectedLength = 0;
    quint32 instanceId = 0;
    quint8 phase = AwaitingHeader;
};

constexpr int HandshakeHeaderSize = 8;
// Pinned, so that both ends agree whatever the library's default stream version is.
constexpr int HandshakeStreamVersion = 17; // QDataStream::Qt_5_6

// A valid handshake body is 11 bytes plus the 44-byte key. Any local peer can write a header, so an
// announced length is capped well above that; a larger one would only make the primary buffer for nothing.
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
    qint8 kind = 0;
    quint32 instanceId = 0;
    quint16 checksum = 0;
};

// Block operations. The caller holds the segment's lock.
quint16 instanceBlockChecksum(const InstanceBlock *block);
void resetInstanceBlock(InstanceBlock *block);
void claimInstanceBlock(InstanceBlock *block, qint64 processId, const QString &userName);
void releaseInstanceBlock(InstanceBlock *block);

// Account name of the running process.
QString currentUserName();

// Sleeps a random 8 to 17 ms, so that copies started together do not retry in lock step.
void randomPause();

// Handshake encoding, shared by the writing side, the primary's reader and the fuzz target.
QByteArray encodeHandshakeBody(const QString &instanceKey, qint8 kind, quint32 instanceId);
QByteArray encodeHandshakeHeader(qint64 bodyLength);
HandshakeVerdict decodeHandshakeBody(const QByteArray &body, const QString &instanceKey, HandshakeBody *out);
// Consumes the header once all 8 bytes are buffered; false while fewer are available.
bool readHandshakeLength(QIODevice *device, qint64 *length);

class SingleApplicationPrivate : public QObject
{
    Q_OBJECT

public:
    explicit SingleApplicationPrivate(SingleApplication *owner);
    ~SingleApplicationPrivate() override;

    void appendUserData(const QString &userData);
    void computeInstanceKey();
    quint16 computeBlockChecksum() const;
    void resetInstanceBlock();
    InstanceBlock *instanceBlock() const;

    void becomePrimary();
    void becomeSecondary();
    // The listening half of becomePrimary, apart so that a server can be started without a block.
    void startLocalServer();

    bool contactPrimary(int timeoutMs, HandshakeKind kind);

public Q_SLOTS:
    void slotConnectionEstablished();
    void slotDataAvailable(QLocalSocket *, quint32);
    void slotClientConnectionClosed(QLocalSocket *, quint32);

private:
    void readHandshakeHeader(QLocalSocket *socket);
    void readHandshakeBody(QLocalSocket *socket);
    void handleReadyRead(QLocalSocket *socket);
    void handleAboutToClose(QLocalSocket *socket);

public:
    SingleApplication *owner;
    QSharedMemory *sharedBlock;
    QLocalSocket *primarySocket;
    QLocalServer *localServer;
    quint32 ownInstanceId;
    QString instanceKey;
    SingleApplication::StartOptions startOptions;
    QMap<QLocalSocket *, ClientRecord> clientRecords;
    QStringList userDataList;
};

#endif
