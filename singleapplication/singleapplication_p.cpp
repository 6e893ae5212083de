#include "singleapplication_p.h"

#include "platform.h"

#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QLocalServer>
#include <QRandomGenerator64>
#include <QSharedMemory>
#include <QThread>

void randomPause()
{
    // Scaled from 32 bits: a uniform whole number of milliseconds from 8 to 17.
    const quint64 r = quint32(QRandomGenerator64::global()->generate());
    QThread::msleep(8 + ((r * 10) >> 32));
}

// Where the lock is a System V semaphore, destroying the object that happened to create it removes the
// semaphore and its key file while other copies are waiting on it or deriving its key: their lock or create
// then fails and they end with status 1, or they make a second semaphore and lock each other out no longer.
// One semaphore per key that stays is the lesser cost. Detaching still lets the segment go with its last
// user.
void retireSharedBlock(QSharedMemory *segment)
{
    segment->detach();
    static auto *const retired = new QList<QSharedMemory *>; // reachable to the end, never freed
    retired->append(segment);
}

SingleApplicationPrivate::SingleApplicationPrivate(SingleApplication *owner)
    : owner(owner)
    , sharedBlock(nullptr)
    , primarySocket(nullptr)
    , localServer(nullptr)
    , ownInstanceId(0)
{}

SingleApplicationPrivate::~SingleApplicationPrivate()
{
    if (primarySocket) {
        primarySocket->close();
        delete primarySocket;
        primarySocket = nullptr;
    }
    if (sharedBlock) {
        sharedBlock->lock();
        if (localServer) {
            localServer->close();
            delete localServer;
            localServer = nullptr;
            releaseInstanceBlock(instanceBlock());
        }
        sharedBlock->unlock();
        retireSharedBlock(sharedBlock);
        sharedBlock = nullptr;
    }
    // A server started without a block (see startLocalServer) still has to go.
    delete localServer;
    localServer = nullptr;
}

void SingleApplicationPrivate::appendUserData(const QString &userData)
{
    userDataList.append(userData);
}

void SingleApplicationPrivate::computeInstanceKey()
{
    QCryptographicHash hash(QCryptographicHash::Sha256);
    hash.addData("SingleApplication", 17);
    hash.addData(QCoreApplication::applicationName().toUtf8());
    hash.addData(QCoreApplication::organizationName().toUtf8());
    hash.addData(QCoreApplication::organizationDomain().toUtf8());
    if (!userDataList.isEmpty())
        hash.addData(userDataList.join(QString()).toUtf8());
    if (!startOptions.testFlag(SingleApplication::KeyWithoutVersion))
        hash.addData(QCoreApplication::applicationVersion().toUtf8());
    // Lower-cased so that a copy started through a differently cased path still meets its peers.
    if (!startOptions.testFlag(SingleApplication::KeyWithoutPath))
        hash.addData(QCoreApplication::applicationFilePath().toLower().toUtf8());
    if (startOptions.testFlag(SingleApplication::UserScoped))
        hash.addData(Platform::userName().toUtf8());
    // "/" would not survive as part of a file or server name.
    instanceKey = QString::fromLatin1(hash.result().toBase64().replace('/', '_'));
}

InstanceBlock *SingleApplicationPrivate::instanceBlock() const
{
    return static_cast<InstanceBlock *>(sharedBlock->data());
}

void SingleApplicationPrivate::becomePrimary()
{
    claimInstanceBlock(instanceBlock(), QCoreApplication::applicationPid(), Platform::userName());
    ownInstanceId = 0;
    startLocalServer();
}

void SingleApplicationPrivate::startLocalServer()
{
    // Clears a server file that a primary which did not end in order left behind.
    QLocalServer::removeServer(instanceKey);
    localServer = new QLocalServer();
    localServer->setSocketOptions(startOptions.testFlag(SingleApplication::UserScoped)
                                      ? QLocalServer::UserAccessOption
                                      : QLocalServer::WorldAccessOption);
    // A copy whose server cannot listen stays primary all the same; nobody would be served otherwise.
    localServer->listen(instanceKey);
    QObject::connect(localServer, &QLocalServer::newConnection, this,
                     &SingleApplicationPrivate::slotConnectionEstablished);
}

void SingleApplicationPrivate::becomeSecondary()
{
    ownInstanceId = admitSecondary(instanceBlock());
}

bool SingleApplicationPrivate::contactPrimary(int timeoutMs, HandshakeKind kind)
{
    QElapsedTimer elapsed;
    elapsed.start();
    const auto remaining = [&] { return int(qMax<qint64>(0, timeoutMs - elapsed.elapsed())); };

    if (!primarySocket)
        primarySocket = new QLocalSocket();
    // The handshake went out on the call that made the connection.
    if (primarySocket->state() == QLocalSocket::ConnectedState)
        return true;

    for (;;) {
        randomPause();
        if (primarySocket->state() != QLocalSocket::ConnectingState)
            primarySocket->connectToServer(instanceKey, QIODevice::ReadWrite);
        if (primarySocket->state() == QLocalSocket::ConnectingState)
            primarySocket->waitForConnected(remaining());
        if (primarySocket->state() == QLocalSocket::ConnectedState)
            break;
        if (elapsed.elapsed() >= timeoutMs)
            return false;
    }

    const QByteArray body = encodeHandshakeBody(instanceKey, kind, ownInstanceId);
    primarySocket->write(encodeHandshakeHeader(body.size()));
    primarySocket->write(body);
    const bool written = primarySocket->waitForBytesWritten(remaining());
    primarySocket->flush();
    return written;
}

void SingleApplicationPrivate::slotConnectionEstablished()
{
    QLocalSocket *socket = localServer->nextPendingConnection();
    if (!socket)
        return;
    clientRecords.insert(socket, ClientRecord());

    QObject::connect(
        socket, &QLocalSocket::aboutToClose, socket,
        [this, socket] { slotClientConnectionClosed(socket, clientRecords.value(socket).instanceId); },
        Qt::DirectConnection);
    QObject::connect(socket, &QLocalSocket::disconnected, socket, &QLocalSocket::deleteLater);
    // The socket is gone when this runs: only its address is used, as the map key.
    QObject::connect(
        socket, &QObject::destroyed, socket, [this, socket] { clientRecords.remove(socket); },
        Qt::DirectConnection);
    QObject::connect(
        socket, &QLocalSocket::readyRead, socket, [this, socket] { handleReadyRead(socket); },
        Qt::DirectConnection);
}

void SingleApplicationPrivate::slotDataAvailable(QLocalSocket *socket, quint32 instanceId)
{
    emit owner->receivedMessage(instanceId, socket->readAll());
}

void SingleApplicationPrivate::slotClientConnectionClosed(QLocalSocket *socket, quint32 instanceId)
{
    if (socket->bytesAvailable() > 0)
        emit owner->receivedMessage(instanceId, socket->readAll());
}

void SingleApplicationPrivate::handleReadyRead(QLocalSocket *socket)
{
    const auto found = clientRecords.find(socket);
    if (found == clientRecords.end())
        return;
    switch (found->phase) {
    case AwaitingHeader:
        readHandshakeHeader(socket);
        break;
    case AwaitingBody:
        readHandshakeBody(socket);
        break;
    case Established:
        slotDataAvailable(socket, found->instanceId);
        break;
    default:
        break;
    }
}

void SingleApplicationPrivate::readHandshakeHeader(QLocalSocket *socket)
{
    const auto found = clientRecords.find(socket);
    if (found == clientRecords.end() || socket->bytesAvailable() < HandshakeHeaderSize)
        return;
    const qint64 length = decodeHandshakeHeader(socket->read(HandshakeHeaderSize));
    found->phase = AwaitingBody;
    found->expectedLength = length;
    if (length > MaxHandshakeBodyLength) {
        socket->close();
        return;
    }
    if (socket->bytesAvailable() >= length)
        readHandshakeBody(socket);
}

void SingleApplicationPrivate::readHandshakeBody(QLocalSocket *socket)
{
    const auto found = clientRecords.find(socket);
    if (found == clientRecords.end())
        return;
    const qint64 length = found->expectedLength;
    if (socket->bytesAvailable() < length)
        return;

    // A length of 0 or less reads nothing, which the decoder rejects as too short.
    HandshakeBody handshake;
    if (decodeHandshakeBody(socket->read(qMax<qint64>(0, length)), instanceKey, &handshake) !=
        HandshakeVerdict::Accepted) {
        // Rejected silently: the peer learns of it only through the closed connection.
        socket->close();
        return;
    }

    found->instanceId = handshake.instanceId;
    found->phase = Established;
    if (handshake.kind == DuplicateLaunch ||
        (handshake.kind == SecondaryLaunch &&
         startOptions.testFlag(SingleApplication::NotifyPrimaryOfSecondaries)))
        emit owner->instanceStarted();
    if (socket->bytesAvailable() > 0)
        emit owner->receivedMessage(handshake.instanceId, socket->readAll());
}
