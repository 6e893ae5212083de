// The instance key: the recipe pinned from its description, the shape of every key, and what the start
// options and the user data change in it.

#include "byteformats.h"
#include "instancekey.h"
#include "singleapplication_p.h"

#include <QRegularExpression>
#include <QScopeGuard>
#include <QTest>

namespace {

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

class InstanceKeyTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void keyOfIdentity_data();
    void keyOfIdentity();
    void keyShape_data();
    void keyShape();
    void keyFollowsRecipe();
    void keyDependsOnOptions();
    void keyDependsOnUserData();
};

void InstanceKeyTest::keyOfIdentity_data()
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

void InstanceKeyTest::keyOfIdentity()
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

void InstanceKeyTest::keyShape_data()
{
    QTest::addColumn<int>("options");
    QTest::addColumn<QString>("userData");
    for (int options : {0, 1, 2, 4, 8, 16, 0x1f, int(0xffffffe0)})
        for (const char *userData : {"", "x", "some user data / with slashes"})
            QTest::addRow("options %x, user data \"%s\"", options, userData)
                << options << QString::fromUtf8(userData);
}

void InstanceKeyTest::keyShape()
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
void InstanceKeyTest::keyFollowsRecipe()
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

void InstanceKeyTest::keyDependsOnOptions()
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

void InstanceKeyTest::keyDependsOnUserData()
{
    const QString none = keyFor(SingleApplication::UserScoped);
    QVERIFY(keyFor(SingleApplication::UserScoped, {QStringLiteral("a")}) != none);
    QVERIFY(keyFor(SingleApplication::UserScoped, {QStringLiteral("a")}) !=
            keyFor(SingleApplication::UserScoped, {QStringLiteral("b")}));

    // The constructor adds only non-empty user data; an empty entry must not change the key either way.
    QCOMPARE(keyFor(SingleApplication::UserScoped, {QString()}), none);
}

QTEST_GUILESS_MAIN(InstanceKeyTest)
#include "tst_instancekey.moc"
