#ifndef OSTREL_TESTS_CRC16X25_H
#define OSTREL_TESTS_CRC16X25_H

#include <QByteArray>
#include <QtGlobal>

// An independent, bit-by-bit CRC-16/X-25 (reflected polynomial 0x8408, initial value 0xffff, result
// complemented), so that the tests do not check the library's checksum against itself.
inline quint16 crc16x25(const QByteArray &bytes)
{
    quint16 crc = 0xffff;
    for (const char c : bytes) {
        crc ^= quint8(c);
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1) ? quint16((crc >> 1) ^ 0x8408) : quint16(crc >> 1);
    }
    return quint16(~crc);
}

#endif
