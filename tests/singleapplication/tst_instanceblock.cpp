#include "byteformats.h"
#include "instancekey.h"
#include "singleapplication_p.h"

#include <QCryptographicHash>
#include <QRegularExpression>
#include <QScopeGuard>
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

QString keyFor(SingleApplication::StartOptions options, const QStringList &userData = {})
{
    SingleApplicationPrivate d(nullptr);
    d.startOptions = options;
    for (const QString &entry : userData)
        d.appendUserData(entry);
    d.computeInstanceKey();
    return d.instanceKey;
}

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

    void keyOfIdentity_data();
    void keyOfIdentity();
    void keyShape_data();
    void keyShape();
    void keyFollowsRecipe();
    void keyDependsOnOptions();
    void keyDependsOnUserData();
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

void InstanceBlockTest::keyOfIdentity_data()
{
    // Application name, organisation name and domain, version, path, user name; then the user data.
    QTest::addColumn<QStringList>("identity");
    QTest::addColumn<QStringList>("userData");
    QTest::addColumn<QList<QByteArray>>("hashed"); // what an independent reader feeds the hash after the tag
    QTest::newRow("nothing but the tag")
        << QStringList{{}, {}, {}, {}, {}, {}} << QStringList() << QList<QByteArray>();
    QTest::newRow("every part, in order")
        << QStringList{"App", "Org", "example.org", "1.2", "/opt/ostrel/bin", "bob"}
        << QStringList{"u1", "u2"}
        << QList<QByteArray>{"App", "Org", "example.org", "u1u2", "1.2", "/opt/ostrel/bin", "bob"};
    QTest::newRow("path lower-cased beyond ASCII")
        << QStringList{{}, {}, {}, {}, QString::fromUtf8("C:/Programme/\xc3\x84RGER/OSTREL.EXE"), {}}
        << QStringList() << QList<QByteArray>{"c:/programme/\xc3\xa4rger/ostrel.exe"};
    QTest::newRow("user name and user data as UTF-8")
        << QStringList{{}, {}, {}, {}, {}, QString::fromUtf8("Zo\xc3\xab")}
        << QStringList{QString::fromUtf8("\xe2\x82\xac"), QString()}
        << QList<QByteArray>{"\xe2\x82\xac", "Zo\xc3\xab"};
}

void InstanceBlockTest::keyOfIdentity()
{
    QFETCH(QStringList, identity);
    QFETCH(QStringList, userData);
    QFETCH(QList<QByteArray>, hashed);
    InstanceIdentity source;
    source.applicationName = identity.at(0);
    source.organizationName = identity.at(1);
    source.organizationDomain = identity.at(2);
    source.userData = userData;
    source.applicationVersion = identity.at(3);
    source.applicationFilePath = identity.at(4);
    source.userName = identity.at(5);
    QCOMPARE(deriveInstanceKey(source), QString::fromLatin1(instanceKeyOf(hashed)));
}

void InstanceBlockTest::keyShape_data()
{
    QTest::addColumn<int>("options");
    QTest::addColumn<QString>("userData");
    for (int options : {0, 1, 2, 4, 8, 16, 0x1f, int(0xffffffe0)})
        for (const char *userData : {"", "x", "some user data / with slashes"})
            QTest::addRow("options %x, user data \"%s\"", options, userData)
                << options << QString::fromUtf8(userData);
}

void InstanceBlockTest::keyShape()
{
    QFETCH(int, options);
    QFETCH(QString, userData);
    const QString key = keyFor(SingleApplication::StartOptions(quint32(options)),
                               userData.isEmpty() ? QStringList() : QStringList{userData});
    QCOMPARE(key.size(), 44);
    QVERIFY(key.endsWith(QLatin1Char('=')));
    QVERIFY(!key.endsWith(QLatin1String("==")));
    QVERIFY2(QRegularExpression(QStringLiteral("^[A-Za-z0-9+_]{43}=$")).match(key).hasMatch(),
             qPrintable(key));
}

// The key is part of the wire format (a foreign peer sends it in its handshake), so its recipe is pinned
// here from the description rather than from the code.
void InstanceBlockTest::keyFollowsRecipe()
{
    QCoreApplication::setOrganizationName(QStringLiteral("Org"));
    QCoreApplication::setApplicationVersion(QStringLiteral("2.5"));
    const auto restore = qScopeGuard([] {
        QCoreApplication::setOrganizationName(QString());
        QCoreApplication::setApplicationVersion(QString());
    });

    const QString expected = QString::fromLatin1(
        instanceKeyOf({QCoreApplication::applicationName().toUtf8(), "Org", "ud1ud2", "2.5",
                       QCoreApplication::applicationFilePath().toLower().toUtf8(), accountName()}));
    QVERIFY(!accountName().isEmpty());

    QCOMPARE(keyFor(SingleApplication::UserScoped, {QStringLiteral("ud1"), QStringLiteral("ud2")}), expected);
}

void InstanceBlockTest::keyDependsOnOptions()
{
    const QString plain = keyFor({});
    QCOMPARE(keyFor({}), plain);
    // Only four bits have an effect.
    QCOMPARE(keyFor(SingleApplication::StartOptions(0x02 | 0x20 | 0x80000000u)), plain);
    QCOMPARE(keyFor(SingleApplication::NotifyPrimaryOfSecondaries), plain);
    QVERIFY(keyFor(SingleApplication::UserScoped) != plain);
    QVERIFY(keyFor(SingleApplication::KeyWithoutPath) != plain);
    // No version is set, so leaving it out changes nothing ...
    QCOMPARE(keyFor(SingleApplication::KeyWithoutVersion), plain);

    // ... but once there is one, it counts unless left out.
    QCoreApplication::setApplicationVersion(QStringLiteral("1.0"));
    const auto restore = qScopeGuard([] { QCoreApplication::setApplicationVersion(QString()); });
    QVERIFY(keyFor({}) != plain);
    QCOMPARE(keyFor(SingleApplication::KeyWithoutVersion), plain);
}

void InstanceBlockTest::keyDependsOnUserData()
{
    const QString none = keyFor(SingleApplication::UserScoped);
    QVERIFY(keyFor(SingleApplication::UserScoped, {QStringLiteral("a")}) != none);
    QVERIFY(keyFor(SingleApplication::UserScoped, {QStringLiteral("a")}) !=
            keyFor(SingleApplication::UserScoped, {QStringLiteral("b")}));

    // The constructor adds only non-empty user data; an empty entry must not change the key either way.
    QCOMPARE(keyFor(SingleApplication::UserScoped, {QString()}), none);
}

QTEST_GUILESS_MAIN(InstanceBlockTest)
#include "tst_instanceblock.moc"
