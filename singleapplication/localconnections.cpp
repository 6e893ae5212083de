// The local server a primary listens on, the connection a copy makes to a primary, and the reading of the
// handshakes that arrive on the server. Qt Network is reached only through the transport module
// (localtransport.h); servers and sockets are used here through their virtual functions and the
// meta-object system alone.

#include "singleapplication_p.h"

#include "localtransport.h"
#include "platform.h"
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
    // The server's name is worked out from the instance key, which another account can do too, and make a
    // server of that name first where names are shared (a Unix socket in /tmp, a named pipe).
    if (!Platform::isLocalPeerOfThisAccount(transport->descriptor(*primarySocket))) {
        primarySocket->close();
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
        socket, &QObject::destroyed, socket,
        [this, socket] {
            clientRecords.remove(socket);
            partialLines.remove(socket);
        },
        Qt::DirectConnection);
    QObject::connect(
        socket, &QLocalSocket::readyRead, socket, [this, socket] { handleReadyRead(socket); },
        Qt::DirectConnection);
}

void SingleApplicationPrivate::slotDataAvailable(QLocalSocket *socket, quint32 instanceId)
{
    const QByteArray bytes = socket->readAll();
    collectLines(socket, bytes);
    emit owner->receivedMessage(instanceId, bytes);
}

void SingleApplicationPrivate::slotClientConnectionClosed(QLocalSocket *socket, quint32 instanceId)
{
    if (socket->bytesAvailable() > 0) {
        const QByteArray bytes = socket->readAll();
        collectLines(socket, bytes);
        emit owner->receivedMessage(instanceId, bytes);
    }
    // What the peer had not finished is not a line: cut, a path could name another file.
    partialLines.remove(socket);
}

void SingleApplicationPrivate::collectLines(QLocalSocket *socket, const QByteArray &bytes)
{
    // Only what arrives after an accepted handshake counts; bytes of a rejected one come from no peer of
    // ours.
    if (clientRecords.value(socket).phase != ReadPhase::Established)
        return;
    LineBuffer &buffer = partialLines[socket];
    int from = 0;
    for (int end = bytes.indexOf('\n'); end >= 0; from = end + 1, end = bytes.indexOf('\n', from)) {
        if (!buffer.discarding)
            receivedLines.append(buffer.partial + bytes.mid(from, end - from));
        buffer.partial.clear();
        buffer.discarding = false;
    }
    if (!buffer.discarding)
        buffer.partial += bytes.mid(from);
    if (buffer.partial.size() > MaxReceivedLineBytes) {
        buffer.partial.clear();
        buffer.discarding = true;
    }
}

bool SingleApplication::sendToPrimary(const QByteArray &message, int timeoutMs)
{
    Q_D(SingleApplication);
    QElapsedTimer elapsed;
    elapsed.start();
    if (!d->contactPrimary(timeoutMs, HandshakeKind::SecondaryLaunch))
        return false;
    d->primarySocket->write(message);
    const bool written =
        d->primarySocket->waitForBytesWritten(int(qMax<qint64>(0, timeoutMs - elapsed.elapsed())));
    localTransport()->flush(*d->primarySocket);
    return written;
}

QList<QByteArray> SingleApplication::takeReceivedLines()
{
    Q_D(SingleApplication);
    if (d->localServer) {
        localTransport()->acceptPending(*d->localServer);
        // Read what the system holds for each connection now, rather than at the next pass of the event
        // loop: a peer that wrote and ended before this call must be in the answer.
        const QList<QLocalSocket *> sockets = d->clientRecords.keys();
        for (QLocalSocket *socket : sockets) {
            for (int reads = 0;
                 reads < 100 && d->clientRecords.contains(socket) && socket->waitForReadyRead(0); ++reads) {
            }
        }
    }
    QList<QByteArray> lines;
    lines.swap(d->receivedLines);
    return lines;
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
    if (socket->bytesAvailable() > 0) {
        const QByteArray bytes = socket->readAll();
        collectLines(socket, bytes);
        emit owner->receivedMessage(handshake.instanceId, bytes);
    }
}
