// The shared block's bytes: the checksum, the reset, a secondary admitted, the primary's claim and its
// release, each pinned to the byte layout.

#include "byteformats.h"
#include "instanceblock.h"

#include <QTest>

#include <cstring>
#include <memory>

namespace {

// A 152-byte stand-in for the shared segment, aligned like the segment the system hands out.
struct Segment
{
    alignas(InstanceBlock) unsigned char bytes[152];

    explicit Segment(unsigned char fill = 0) { std::memset(bytes, fill, sizeof bytes); }
    InstanceBlock *block() { return reinterpret_cast<InstanceBlock *>(bytes); }
    QByteArray checksummed() const { return blockChecksummedBytes(bytes); }
    quint16 storedChecksum() const { return blockStoredChecksum(bytes); }
    qint64 processId() const { return blockProcessId(bytes); }
    quint32 secondaryCount() const { return blockSecondaryCount(bytes); }
};

} // namespace

class InstanceBlockTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void checksumIsX25();
    void resetOfZeroSegment();
    void resetLeavesUntouchedBytes();
    void admitClaimAndRelease();
    void userNameCutAt127Bytes();
};

void InstanceBlockTest::checksumIsX25()
{
    QCOMPARE(crc16x25("123456789"), quint16(0x906E));

    Segment segment;
    for (int i = 0; i < 152; ++i)
        segment.bytes[i] = uchar(i * 37 + 11);
    QCOMPARE(computeBlockChecksum(segment.block()), crc16x25(segment.checksummed()));
    // The stored checksum and the bytes behind it do not take part.
    segment.bytes[144] ^= 0xff;
    segment.bytes[151] ^= 0xff;
    QCOMPARE(computeBlockChecksum(segment.block()), crc16x25(segment.checksummed()));
}

void InstanceBlockTest::resetOfZeroSegment()
{
    Segment segment;
    // A new segment is inconsistent until its creator resets it.
    QVERIFY(computeBlockChecksum(segment.block()) != segment.storedChecksum());

    resetInstanceBlock(segment.block());
    for (int i = 0; i < 144; ++i)
        QCOMPARE(int(segment.bytes[i]), (i >= 8 && i < 16) ? 0xff : 0);
    const quint16 crc = crc16x25(segment.checksummed());
    QCOMPARE(int(segment.bytes[144]), crc & 0xff);
    QCOMPARE(int(segment.bytes[145]), crc >> 8);
    for (int i = 146; i < 152; ++i)
        QCOMPARE(int(segment.bytes[i]), 0);
}

void InstanceBlockTest::resetLeavesUntouchedBytes()
{
    Segment segment(0xaa);
    resetInstanceBlock(segment.block());
    for (int i : {1, 2, 3, 17, 100, 143, 146, 151})
        QCOMPARE(int(segment.bytes[i]), 0xaa);
    QCOMPARE(int(segment.bytes[0]), 0);
    QCOMPARE(int(segment.bytes[16]), 0);
    QCOMPARE(segment.secondaryCount(), 0u);
    QCOMPARE(segment.processId(), qint64(-1));
    // The padding is covered by the checksum all the same.
    QCOMPARE(segment.storedChecksum(), crc16x25(segment.checksummed()));
}

void InstanceBlockTest::admitClaimAndRelease()
{
    Segment segment;
    resetInstanceBlock(segment.block());
    for (quint32 number = 1; number <= 7; ++number)
        QCOMPARE(admitSecondary(segment.block()), number);
    QCOMPARE(segment.secondaryCount(), 7u);
    QCOMPARE(int(segment.bytes[0]), 0);
    QCOMPARE(segment.storedChecksum(), crc16x25(segment.checksummed()));

    claimInstanceBlock(segment.block(), 0x0123456789abLL, QStringLiteral("alice"));
    QCOMPARE(int(segment.bytes[0]), 1);
    QCOMPARE(segment.processId(), qint64(0x0123456789abLL));
    QCOMPARE(QByteArray(reinterpret_cast<const char *>(segment.bytes + 16)), QByteArray("alice"));
    QCOMPARE(segment.secondaryCount(), 7u);
    QCOMPARE(segment.storedChecksum(), crc16x25(segment.checksummed()));

    releaseInstanceBlock(segment.block());
    QCOMPARE(int(segment.bytes[0]), 0);
    QCOMPARE(segment.processId(), qint64(-1));
    QCOMPARE(int(segment.bytes[16]), 0);
    QCOMPARE(int(segment.bytes[17]), int('l')); // only the first byte of the name is cleared
    QCOMPARE(segment.secondaryCount(), 7u);
    QCOMPARE(segment.storedChecksum(), crc16x25(segment.checksummed()));
}

void InstanceBlockTest::userNameCutAt127Bytes()
{
    // 2 + 2 * 100 bytes: the 127th byte is the lead byte of a two-byte character.
    const QString name = QStringLiteral("ab") + QString(100, QChar(0x00e9));
    const QByteArray utf8 = name.toUtf8();
    QCOMPARE(utf8.size(), 202);

    Segment segment(0x55);
    claimInstanceBlock(segment.block(), 42, name);
    QCOMPARE(QByteArray(reinterpret_cast<const char *>(segment.bytes + 16), 127), utf8.left(127));
    QCOMPARE(int(segment.bytes[16 + 127]), 0);
    QCOMPARE(int(uchar(utf8.at(126))), 0xc3);
    QCOMPARE(segment.storedChecksum(), crc16x25(segment.checksummed()));
}

QTEST_GUILESS_MAIN(InstanceBlockTest)
#include "tst_instanceblock.moc"
