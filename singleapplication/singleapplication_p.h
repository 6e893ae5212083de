#ifndef OSTREL_SINGLEAPPLICATION_P_H
#define OSTREL_SINGLEAPPLICATION_P_H

//
//  W A R N I N G
//  -------------
//
// This file is not part of the public interface. It is shared by the implementation and the tests only.
//

#include "handshake.h"
#include "instanceblock.h"
#include "interprocesslock.h"
#include "localtransport.h"
#include "singleapplication.h"

#include <QMap>
#include <QObject>
#include <QSharedMemory>
#include <QString>
#include <QStringList>

#include <memory>

// QLocalServer and QLocalSocket are only declared (localtransport.h): their code is in Qt Network, which
// only the transport module links. The slots' socket pointer type, registered the first time the meta-object
// system asks for their argument types. The framework's own registration of a QObject pointer type would link
// the class's meta-object into every copy; this one takes it from the transport module, and only when asked.
#ifdef Q_MOC_RUN
// Tells moc only that the type is registrable; the compiler gets the specialization below instead.
Q_DECLARE_METATYPE(QLocalSocket *)
#endif
template<>
struct QMetaTypeId<QLocalSocket *>
{
    enum { Defined = 1 };
    static int qt_metatype_id()
    {
        static const int id = registerLocalSocketPointerType();
        return id;
    }
};

enum class ReadPhase : quint8 {
    AwaitingHeader = 0,
    AwaitingBody = 1,
    Established = 2,
};

// The primary's state for one accepted connection; a value-initialised record awaits its header.
struct ClientRecord
{
    qint64 expectedLength = 0;
    quint32 instanceId = 0;
    ReadPhase phase = ReadPhase::AwaitingHeader;
};

// Sleeps a random 8 to 17 ms, so that copies started together do not retry in lock step.
void randomPause();

// The system's names of the election's lock and of the shared block, made from the instance key.
QString electionLockName(const QString &instanceKey);
QString sharedBlockNativeKey(const QString &instanceKey);

// The election's roles and teardown are in singleapplication.cpp, beside the steps that take them; the
// local server, the connection to a primary and the reading of handshakes in localconnections.cpp.
class SingleApplicationPrivate : public QObject
{
    Q_OBJECT

public:
    explicit SingleApplicationPrivate(SingleApplication *owner);
    ~SingleApplicationPrivate() override;

    void appendUserData(const QString &userData);
    void computeInstanceKey();
    // The block in the attached segment; the caller holds the segment's lock.
    InstanceBlock *instanceBlock() const;
    // Writes the empty block into the attached segment; the caller holds the segment's lock.
    void resetInstanceBlock();

    void becomePrimary();
    void becomeSecondary();
    // The listening half of becomePrimary, apart so that a server can be started without a block.
    void startLocalServer();
    // Closes the server, if there is one; the sockets it accepted go with it and drop their records.
    void stopLocalServer();

    bool contactPrimary(int timeoutMs, HandshakeKind kind);

public Q_SLOTS:
    void slotConnectionEstablished();
    void slotDataAvailable(QLocalSocket *, quint32);
    void slotClientConnectionClosed(QLocalSocket *, quint32);

private:
    void handleReadyRead(QLocalSocket *socket);
    void readHandshakeHeader(QLocalSocket *socket);
    void readHandshakeBody(QLocalSocket *socket);

public:
    SingleApplication *owner;
    // Guards every step that opens, reads, writes or detaches the block.
    std::unique_ptr<Platform::InterProcessLock> electionLock;
    std::unique_ptr<QSharedMemory> sharedBlock;
    std::unique_ptr<QLocalSocket> primarySocket;
    std::unique_ptr<QLocalServer> localServer;
    // Set by becomePrimary. Normally the same as having a server; a primary whose transport module could
    // not be loaded has none and still holds the role, and gives it back.
    bool holdsPrimaryRole = false;
    quint32 ownInstanceId = 0;
    QString instanceKey;
    SingleApplication::StartOptions startOptions;
    QMap<QLocalSocket *, ClientRecord> clientRecords;
    QStringList userDataList;
};

#endif
