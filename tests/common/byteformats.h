#ifndef OSTREL_TESTS_BYTEFORMATS_H
#define OSTREL_TESTS_BYTEFORMATS_H

// The program's inter-process formats as an independent peer would write and read them, from their byte
// layouts alone and without the program's own encoders, so that a test never checks the code against
// itself: the instance key, the handshake on the primary's local server, and the shared block.

#include "crc16x25.h"

#include <QByteArray>
#include <QCryptographicHash>
#include <QList>
#include <QtGlobal>

#include <pwd.h>
#include <unistd.h>

inline QByteArray bigEndian(quint64 value, int bytes)
{
    QByteArray out;
    for (int i = bytes - 1; i >= 0; --i)
        out += char(value >> (8 * i));
    return out;
}

// SHA-256 over "SingleApplication" and the given parts in order (application name, organisation name and
// domain, user data, version, lower-cased program path, user name; empty parts add nothing), in Base64
// with '/' written as '_'.
inline QByteArray instanceKeyOf(const QList<QByteArray> &parts)
{
    QCryptographicHash hash(QCryptographicHash::Sha256);
    hash.addData("SingleApplication");
    for (const QByteArray &part : parts)
        hash.addData(part);
    return hash.result().toBase64().replace('/', '_');
}

// The account name the program's key and block use for this process.
inline QByteArray accountName()
{
    const passwd *account = getpwuid(geteuid());
    return account ? QByteArray(account->pw_name) : QByteArray();
}

// The 8-byte big-endian length that precedes a handshake body.
inline QByteArray handshakeHeader(qint64 length)
{
    return bigEndian(quint64(length), 8);
}

// The program's kinds of handshake (singleapplication/handshake.h); declared here as well so that tests
// built apart from the single-instance library still read this header. A different underlying type
// there fails the build of every test that sees both.
enum class HandshakeKind : qint8;

// The key as a length-prefixed byte string, the kind, the instance id, and the CRC of everything before it.
// The kind as a raw byte, for tests that send kinds the program does not know on purpose.
inline QByteArray handshakeBody(const QByteArray &key, qint8 rawKind, quint32 instanceId)
{
    QByteArray body = bigEndian(quint32(key.size()), 4) + key;
    body += char(rawKind);
    body += bigEndian(instanceId, 4);
    return body + bigEndian(crc16x25(body), 2);
}

inline QByteArray handshakeBody(const QByteArray &key, HandshakeKind kind, quint32 instanceId)
{
    return handshakeBody(key, qint8(kind), instanceId);
}

inline QByteArray handshake(const QByteArray &key, qint8 rawKind, quint32 instanceId)
{
    const QByteArray body = handshakeBody(key, rawKind, instanceId);
    return handshakeHeader(body.size()) + body;
}

inline QByteArray handshake(const QByteArray &key, HandshakeKind kind, quint32 instanceId)
{
    return handshake(key, qint8(kind), instanceId);
}

// Fields of the 152-byte shared block, little-endian: secondaryCount at 4, primaryProcessId at 8, the
// checksum over bytes 0 to 143 at 144.
inline quint32 blockSecondaryCount(const unsigned char *block)
{
    return quint32(block[4] | block[5] << 8 | block[6] << 16 | quint32(block[7]) << 24);
}

inline qint64 blockProcessId(const unsigned char *block)
{
    quint64 value = 0;
    for (int i = 7; i >= 0; --i)
        value = (value << 8) | block[8 + i];
    return qint64(value);
}

inline void setBlockProcessId(unsigned char *block, qint64 id)
{
    for (int i = 0; i < 8; ++i)
        block[8 + i] = uchar(quint64(id) >> (8 * i));
}

inline QByteArray blockChecksummedBytes(const unsigned char *block)
{
    return QByteArray(reinterpret_cast<const char *>(block), 144);
}

inline quint16 blockStoredChecksum(const unsigned char *block)
{
    return quint16(block[144] | block[145] << 8);
}

inline void storeBlockChecksum(unsigned char *block)
{
    const quint16 crc = crc16x25(blockChecksummedBytes(block));
    block[144] = uchar(crc & 0xff);
    block[145] = uchar(crc >> 8);
}

#endif
