#include "handshake.h"

#include <QDataStream>

QByteArray encodeHandshakeHeader(qint64 bodyLength)
{
    QByteArray header;
    QDataStream stream(&header, QIODevice::WriteOnly);
    stream.setVersion(HandshakeStreamVersion);
    stream << bodyLength;
    return header;
}

QByteArray encodeHandshakeBody(const QString &instanceKey, HandshakeKind kind, quint32 instanceId)
{
    QByteArray body;
    QDataStream stream(&body, QIODevice::WriteOnly);
    stream.setVersion(HandshakeStreamVersion);
    stream << instanceKey.toLatin1();
    stream << qint8(kind);
    stream << instanceId;
    stream << qChecksum(body.constData(), uint(body.size()));
    return body;
}

qint64 decodeHandshakeHeader(const QByteArray &header)
{
    QDataStream stream(header);
    stream.setVersion(HandshakeStreamVersion);
    qint64 length = 0;
    stream >> length;
    return length;
}

HandshakeVerdict decodeHandshakeBody(const QByteArray &body, const QString &instanceKey, HandshakeBody *out)
{
    QDataStream stream(body);
    stream.setVersion(HandshakeStreamVersion);
    qint8 kind = 0;
    stream >> out->key;
    stream >> kind;
    stream >> out->instanceId;
    stream >> out->checksum;
    out->kind = HandshakeKind(kind);
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
