#include "singleapplication.h"
#include "singleapplication_p.h"

#include <QDataStream>
#include <QElapsedTimer>
#include <QLocalServer>
#include <QLocalSocket>

QByteArray encodeHandshakeBody(const QString &instanceKey, qint8 kind, quint32 instanceId)
{
    QByteArray body;
    QDataStream stream(&body, QIODevice::WriteOnly);
    stream.setVersion(HandshakeStreamVersion);
    stream << instanceKey.toLatin1();
    stream << kind;
    stream << instanceId;
    stream << qChecksum(body.constData(), uint(body.size()));
    return body;
}

QByteArray encodeHandshakeHeader(qint64 bodyLength)
{
    QByteArray header;
    QDataStream stream(&header, QIODevice::WriteOnly);
    stream.setVersion(HandshakeStreamVersion);
    stream << bodyLength;
    return header;
}

bool readHandshakeLength(QIODevice *device, qint64 *length)
{
    if (device->bytesAvailable() < HandshakeHeaderSize)
        return false;
    QDataStream stream(device);
    stream.setVersion(HandshakeStreamVersion);
    stream >> *length;
    return true;
}

HandshakeVerdict decodeHandshakeBody(const QByteArray &body, const QString &instanceKey, HandshakeBody *out)
{
    QDataStream stream(body);
    stream.setVersion(HandshakeStreamVersion);
    stream >> out->key;
    stream >> out->kind;
    stream >> out->instanceId;
    stream >> out->checksum;
    if (stream.status() != QDataStream::Ok)
        return HandshakeVerdict::StreamError;

    const int terminator = out->key.indexOf('\0');
    const QString key =
        QString::fromLatin1(out->key.constData(), terminator < 0 ? out->key.size() : terminator);
    if (key != instanceKey)
        return HandshakeVerdict::KeyMismatch;

    // Over everything but the last two bytes: bytes behind the checksum field, counted in the length,
    // make the sum miss unless they happen to collide.
    if (qChecksum(body.constData(), uint(body.size() - 2)) != out->checksum)
        return HandshakeVerdict::ChecksumMismatch;
    return HandshakeVerdict::Accepted;
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
    const QByteArray header = encodeHandshakeHeader(body.size());
    primarySocket->write(header);
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
        socket, &QLocalSocket::aboutToClose, socket, [this, socket] { handleAboutToClose(socket); },
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

void SingleApplicationPrivate::handleReadyRead(QLocalSocket *socket)
{
    ClientRecord &record = clientRecords[socket];
    switch (record.phase) {
    case AwaitingHeader:
        readHandshakeHeader(socket);
        break;
    case AwaitingBody:
        readHandshakeBody(socket);
        break;
    case Established:
        emit owner->receivedMessage(record.instanceId, socket->readAll());
        break;
    default:
        break;
    }
}

void SingleApplicationPrivate::handleAboutToClose(QLocalSocket *socket)
{
    const ClientRecord &record = clientRecords[socket];
    if (socket->bytesAvailable() > 0)
        emit owner->receivedMessage(record.instanceId, socket->readAll());
}

void SingleApplicationPrivate::readHandshakeHeader(QLocalSocket *socket)
{
    const auto found = clientRecords.find(socket);
    if (found == clientRecords.end())
        return;
    qint64 length = 0;
    if (!readHandshakeLength(socket, &length))
        return;
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

void SingleApplicationPrivate::slotDataAvailable(QLocalSocket *socket, quint32 instanceId)
{
    emit owner->receivedMessage(instanceId, socket->readAll());
}

void SingleApplicationPrivate::slotClientConnectionClosed(QLocalSocket *socket, quint32 instanceId)
{
    if (socket->bytesAvailable() > 0)
        emit owner->receivedMessage(instanceId, socket->readAll());
}
