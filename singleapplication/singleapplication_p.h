#ifndef OSTREL_SINGLEAPPLICATION_P_H
#define OSTREL_SINGLEAPPLICATION_P_H

//
//  W A R N I N G
//  -------------
//
// This file is not part of the public interface. It is shared by the implementation and the tests only.
//

#include "clientrecord.h"
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
    // Takes the primary's lock without waiting; false when another copy holds the role.
    bool takePrimaryLock();
    // Gathers complete lines out of what a connection delivers (see SingleApplication::takeReceivedLines).
    void collectLines(QLocalSocket *socket, const QByteArray &bytes);

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
    // Null when no block of this account could be had: the election then rests on primaryLock alone.
    std::unique_ptr<QSharedMemory> sharedBlock;
    // Held by the primary for as long as it has the role; the system gives it back when the primary dies.
    std::unique_ptr<Platform::InterProcessLock> primaryLock;
    std::unique_ptr<QLocalSocket> primarySocket;
    std::unique_ptr<QLocalServer> localServer;
    // Set by becomePrimary. Normally the same as having a server; a primary whose transport module could
    // not be loaded has none and still holds the role, and gives it back.
    bool holdsPrimaryRole = false;
    quint32 ownInstanceId = 0;
    // The primary's process id as the block named it when this copy took its role; 0 without a role.
    qint64 primaryProcessId = 0;
    QString instanceKey;
    SingleApplication::StartOptions startOptions;
    QMap<QLocalSocket *, ClientRecord> clientRecords;
    QStringList userDataList;
    // What each accepted connection has sent after its handshake up to its latest line feed not yet seen,
    // and the complete lines not yet taken.
    struct LineBuffer
    {
        QByteArray partial;
        bool discarding = false; // a line longer than MaxReceivedLineBytes, skipped to its end
    };
    static constexpr int MaxReceivedLineBytes = 256 * 1024;
    QMap<QLocalSocket *, LineBuffer> partialLines;
    QList<QByteArray> receivedLines;
};

#endif
