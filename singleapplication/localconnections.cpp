// The local server a primary listens on, the connection a copy makes to a primary, and the reading of the
// handshakes that arrive on the server.

#include "singleapplication_p.h"

#include <QElapsedTimer>

void SingleApplicationPrivate::startLocalServer()
{
    // Clears a server file that a primary which did not end in order left behind.
    QLocalServer::removeServer(instanceKey);
    localServer = std::make_unique<QLocalServer>();
    localServer->setSocketOptions(startOptions.testFlag(SingleApplication::UserScoped)
                                      ? QLocalServer::UserAccessOption
                                      : QLocalServer::WorldAccessOption);
    // A copy whose server cannot listen stays primary all the same; nobody would be served otherwise.
    localServer->listen(instanceKey);
    QObject::connect(localServer.get(), &QLocalServer::newConnection, this,
                     &SingleApplicationPrivate::slotConnectionEstablished);
}

void SingleApplicationPrivate::stopLocalServer()
{
    if (!localServer)
        return;
    localServer->close();
    localServer.reset();
}

bool SingleApplicationPrivate::contactPrimary(int timeoutMs, HandshakeKind kind)
{
    QElapsedTimer elapsed;
    elapsed.start();
    const auto remaining = [&] { return int(qMax<qint64>(0, timeoutMs - elapsed.elapsed())); };

    if (!primarySocket)
        primarySocket = std::make_unique<QLocalSocket>();
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

// Accepted sockets are children of the server: they go with it, and each removes its own record then.
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
    case ReadPhase::AwaitingHeader:
        readHandshakeHeader(socket);
        break;
    case ReadPhase::AwaitingBody:
        readHandshakeBody(socket);
        break;
    case ReadPhase::Established:
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
    found->phase = ReadPhase::AwaitingBody;
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
    found->phase = ReadPhase::Established;
    if (handshake.kind == HandshakeKind::DuplicateLaunch ||
        (handshake.kind == HandshakeKind::SecondaryLaunch &&
         startOptions.testFlag(SingleApplication::NotifyPrimaryOfSecondaries)))
        emit owner->instanceStarted();
    if (socket->bytesAvailable() > 0)
        emit owner->receivedMessage(handshake.instanceId, socket->readAll());
}
