// The local server a primary listens on, the connection a copy makes to a primary, and the reading of the
// handshakes that arrive on the server. Qt Network is reached only through the transport module
// (localtransport.h); servers and sockets are used here through their virtual functions and the
// meta-object system alone.

#include "singleapplication_p.h"

#include "localtransport.h"
#include "randompause.h"

#include <QElapsedTimer>
#include <QLocalServer>
#include <QLocalSocket>

void SingleApplicationPrivate::startLocalServer()
{
    LocalTransport *transport = localTransport();
    if (!transport)
        return;
    // A copy whose server cannot listen stays primary all the same; nobody would be served otherwise.
    localServer = transport->listen(instanceKey, startOptions.testFlag(SingleApplication::UserScoped));
    // By name, as the class of the server is only known to the module.
    QObject::connect(localServer.get(), SIGNAL(newConnection()), this, SLOT(slotConnectionEstablished()));
}

void SingleApplicationPrivate::stopLocalServer()
{
    // The server closes as it goes.
    localServer.reset();
}

bool SingleApplicationPrivate::contactPrimary(int timeoutMs, HandshakeKind kind)
{
    QElapsedTimer elapsed;
    elapsed.start();
    const auto remaining = [&] { return int(qMax<qint64>(0, timeoutMs - elapsed.elapsed())); };

    LocalTransport *transport = localTransport();
    if (!transport)
        return false;
    if (!primarySocket)
        primarySocket = transport->createSocket();
    // The handshake went out on the call that made the connection.
    if (transport->isConnected(*primarySocket))
        return true;

    for (;;) {
        randomPause();
        if (transport->connectToServer(*primarySocket, instanceKey, remaining()))
            break;
        if (elapsed.elapsed() >= timeoutMs)
            return false;
    }

    const QByteArray body = encodeHandshakeBody(instanceKey, kind, ownInstanceId);
    primarySocket->write(encodeHandshakeHeader(body.size()));
    primarySocket->write(body);
    const bool written = primarySocket->waitForBytesWritten(remaining());
    transport->flush(*primarySocket);
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
    localTransport()->deleteWhenDisconnected(socket);
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
