// The Linux registry stand-in: a hive in the text format of a Windows registry export, reached through
// Platform::openRegistryKey exactly as the shell integration reaches it.

#include "platform.h"
#include "privatehome.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

namespace {

QString hiveFolder()
{
    return qEnvironmentVariable("XDG_CONFIG_HOME") + QStringLiteral("/Ostrel");
}

QString hiveFile()
{
    return hiveFolder() + QStringLiteral("/registry.reg");
}

QByteArray readHive()
{
    QFile file(hiveFile());
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool writeHive(const QByteArray &bytes)
{
    QDir().mkpath(hiveFolder());
    QFile file(hiveFile());
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size();
}

QByteArray toUtf16LeWithBom(const QString &text)
{
    QByteArray bytes("\xff\xfe");
    for (const QChar c : text)
        bytes.append(char(c.unicode() & 0xff)).append(char(c.unicode() >> 8));
    return bytes;
}

QVariant valueAt(const QString &keyPath, const QString &name)
{
    return Platform::openRegistryKey(keyPath)->value(name);
}

// What "reg export" writes on Windows, with the kinds of data it uses for this key.
const char windowsExport[] =
    "Windows Registry Editor Version 5.00\r\n"
    "\r\n"
    "[HKEY_CURRENT_USER\\SOFTWARE\\Classes\\SystemFileAssociations\\.pdf\\Shell]\r\n"
    "\r\n"
    "[HKEY_CURRENT_USER\\SOFTWARE\\Classes\\SystemFileAssociations\\.pdf\\Shell\\OtherTool]\r\n"
    "@=\"\"\r\n"
    "\"MUIVerb\"=\"Open with \\\"Other\\\" Tool\"\r\n"
    "\"Icon\"=hex(2):43,00,3a,00,5c,00,54,00,2c,00,30,00,00,00\r\n"
    "\"Position\"=dword:0000002a\r\n"
    "\"Extended\"=hex:01,02,\\\r\n"
    "  03,ff\r\n"
    "\"Names\"=hex(7):61,00,00,00,62,00,63,00,00,00,00,00\r\n"
    "; a comment\r\n"
    "\r\n"
    "[HKEY_CURRENT_USER\\SOFTWARE\\Classes\\SystemFileAssociations\\.pdf\\Shell\\OtherTool\\Command]\r\n"
    "@=\"C:\\\\Program Files\\\\Other Tool\\\\other.exe \\\"%1\\\"\"\r\n"
    "\r\n";

} // namespace

class RegistryHiveTest : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void writesExportText();
    void valuesSurviveRoundTrip();
    void readsWindowsExports_data();
    void readsWindowsExports();
    void removeTakesTheWholeSubtree();
    void keysWithoutValuesStay();
    void readingAloneCreatesNothing();
    void damagedHiveIsKeptAside_data();
    void damagedHiveIsKeptAside();
};

void RegistryHiveTest::init()
{
    QDir(hiveFolder()).removeRecursively();
}

void RegistryHiveTest::writesExportText()
{
    {
        const auto key = Platform::openRegistryKey(
            QStringLiteral("HKEY_CLASSES_ROOT\\Some App.exe\\shell\\open\\command"));
        key->setValue(QStringLiteral("."), QStringLiteral("C:\\Program Files\\Some App\\app.exe \"%1\""));
    }
    {
        const auto key = Platform::openRegistryKey(
            QStringLiteral("HKEY_CURRENT_USER\\SOFTWARE\\Classes\\.pdf\\Shell\\Verb"));
        key->setValue(QStringLiteral("zeta"), QStringLiteral("last"));
        key->setValue(QStringLiteral("Alpha \"quoted\" \\name"), QStringLiteral("back\\slash"));
        key->setValue(QStringLiteral("."), QStringLiteral(""));
        key->setValue(QStringLiteral("Count"), 42);
    }
    Platform::openRegistryKey(QStringLiteral("HKEY_CLASSES_ROOT\\Some App.exe\\DefaultIcon"))
        ->setValue(QStringLiteral("."), QString::fromUtf8(u8"D:\\Ikonen\\Größe.dll,0"));

    // Depth first, names without regard to case, the default value first: as "reg export" lists them.
    const QByteArray expected = QString::fromUtf8(u8R"(Windows Registry Editor Version 5.00

[HKEY_CLASSES_ROOT]

[HKEY_CLASSES_ROOT\Some App.exe]

[HKEY_CLASSES_ROOT\Some App.exe\DefaultIcon]
@="D:\\Ikonen\\Größe.dll,0"

[HKEY_CLASSES_ROOT\Some App.exe\shell]

[HKEY_CLASSES_ROOT\Some App.exe\shell\open]

[HKEY_CLASSES_ROOT\Some App.exe\shell\open\command]
@="C:\\Program Files\\Some App\\app.exe \"%1\""

[HKEY_CURRENT_USER]

[HKEY_CURRENT_USER\SOFTWARE]

[HKEY_CURRENT_USER\SOFTWARE\Classes]

[HKEY_CURRENT_USER\SOFTWARE\Classes\.pdf]

[HKEY_CURRENT_USER\SOFTWARE\Classes\.pdf\Shell]

[HKEY_CURRENT_USER\SOFTWARE\Classes\.pdf\Shell\Verb]
@=""
"Alpha \"quoted\" \\name"="back\\slash"
"Count"=dword:0000002a
"zeta"="last"

)")
                                    .toUtf8();
    QCOMPARE(QString::fromUtf8(readHive()), QString::fromUtf8(expected));
    QCOMPARE(readHive(), expected); // UTF-8 without a byte-order mark, LF line ends
}

void RegistryHiveTest::valuesSurviveRoundTrip()
{
    const QString keyPath = QStringLiteral("HKEY_CURRENT_USER\\SOFTWARE\\Mixed Case\\.dotted\\Key");
    const QVariantMap values{
        {QStringLiteral("."), QStringLiteral("default")},
        {QStringLiteral("Quotes"), QStringLiteral("say \"\\\" \\\\ \" end\\")},
        {QStringLiteral("Lines"), QStringLiteral("first\r\nsecond\nthird")},
        {QStringLiteral("Unicode"), QString::fromUtf8(u8"استخدم 欧特 Ünïcödé")},
        {QStringLiteral("Number"), -7},
        {QStringLiteral("Bytes"), QByteArray("\x00\x01\xfe\xff", 4)},
        {QStringLiteral("List"), QStringList{QStringLiteral("a"), QStringLiteral("b c")}},
        {QStringLiteral("Wide"), qint64(1) << 40},
    };
    {
        const auto key = Platform::openRegistryKey(keyPath);
        for (auto it = values.cbegin(); it != values.cend(); ++it)
            key->setValue(it.key(), it.value());
    }
    const auto key = Platform::openRegistryKey(keyPath);
    QCOMPARE(key->status(), QSettings::NoError);
    for (auto it = values.cbegin(); it != values.cend(); ++it)
        QCOMPARE(key->value(it.key()), it.value());
    // Key case and a "." at the start of a key name are kept.
    const auto parent = Platform::openRegistryKey(QStringLiteral("HKEY_CURRENT_USER\\SOFTWARE"));
    QCOMPARE(parent->childGroups(), QStringList{QStringLiteral("Mixed Case")});
    QCOMPARE(
        Platform::openRegistryKey(QStringLiteral("HKEY_CURRENT_USER\\SOFTWARE\\Mixed Case"))->childGroups(),
        QStringList{QStringLiteral(".dotted")});
}

void RegistryHiveTest::readsWindowsExports_data()
{
    QTest::addColumn<QByteArray>("bytes");
    const QString text = QString::fromLatin1(windowsExport);
    QTest::newRow("UTF-16LE with BOM, CR LF") << toUtf16LeWithBom(text);
    QTest::newRow("UTF-8 with BOM, CR LF") << QByteArray("\xef\xbb\xbf") + text.toUtf8();
    QTest::newRow("UTF-8, LF") << QString(text).remove(QLatin1Char('\r')).toUtf8();
    QTest::newRow("REGEDIT4 header") << QString(text)
                                            .replace(QStringLiteral("Windows Registry Editor Version 5.00"),
                                                     QStringLiteral("REGEDIT4"))
                                            .toUtf8();
}

void RegistryHiveTest::readsWindowsExports()
{
    QFETCH(QByteArray, bytes);
    QVERIFY(writeHive(bytes));
    const QString verb = QStringLiteral(
        "HKEY_CURRENT_USER\\SOFTWARE\\Classes\\SystemFileAssociations\\.pdf\\Shell\\OtherTool");
    const auto key = Platform::openRegistryKey(verb);
    QCOMPARE(key->status(), QSettings::NoError);
    QCOMPARE(key->value(QStringLiteral(".")), QVariant(QString()));
    QCOMPARE(key->value(QStringLiteral("MUIVerb")), QVariant(QStringLiteral("Open with \"Other\" Tool")));
    QCOMPARE(key->value(QStringLiteral("Icon")), QVariant(QStringLiteral("C:\\T,0")));
    QCOMPARE(key->value(QStringLiteral("Position")), QVariant(42));
    QCOMPARE(key->value(QStringLiteral("Extended")), QVariant(QByteArray("\x01\x02\x03\xff")));
    QCOMPARE(key->value(QStringLiteral("Names")),
             QVariant(QStringList{QStringLiteral("a"), QStringLiteral("bc")}));
    QCOMPARE(valueAt(verb + QStringLiteral("\\Command"), QStringLiteral(".")),
             QVariant(QStringLiteral("C:\\Program Files\\Other Tool\\other.exe \"%1\"")));
    // Nothing was set, so the file is as it was.
    QCOMPARE(readHive(), bytes);
}

void RegistryHiveTest::removeTakesTheWholeSubtree()
{
    const QString shell = QStringLiteral("HKEY_CURRENT_USER\\Shell");
    for (const char *key : {"Gone", "Gone\\Command", "Gone\\Command\\Deeper", "GoneToo", "Kept"})
        Platform::openRegistryKey(shell + QLatin1Char('\\') + QLatin1String(key))
            ->setValue(QStringLiteral("."), QLatin1String(key));
    Platform::openRegistryKey(shell)->setValue(QStringLiteral("Gone"), QStringLiteral("a value of Shell"));

    Platform::openRegistryKey(shell)->remove(QStringLiteral("Gone"));

    const auto key = Platform::openRegistryKey(shell);
    QCOMPARE(key->childGroups(), (QStringList{QStringLiteral("GoneToo"), QStringLiteral("Kept")}));
    QVERIFY(!key->contains(QStringLiteral("Gone/Command/.")));
    QVERIFY(!QString::fromUtf8(readHive()).contains(QLatin1String("\\Gone]")));
    QVERIFY(!QString::fromUtf8(readHive()).contains(QLatin1String("\\Gone\\")));
}

void RegistryHiveTest::keysWithoutValuesStay()
{
    QVERIFY(writeHive("Windows Registry Editor Version 5.00\n\n[HKEY_CURRENT_USER\\Empty]\n\n"
                      "[HKEY_CURRENT_USER\\Parent\\Child]\n@=\"x\"\n\n"));

    // Removing the only key beneath a key leaves that key, and an unrelated write keeps the empty one.
    Platform::openRegistryKey(QStringLiteral("HKEY_CURRENT_USER\\Parent"))->remove(QStringLiteral("Child"));
    Platform::openRegistryKey(QStringLiteral("HKEY_CURRENT_USER\\Other"))->setValue(QStringLiteral("v"), 1);

    QCOMPARE(
        QString::fromUtf8(readHive()),
        QStringLiteral("Windows Registry Editor Version 5.00\n\n[HKEY_CURRENT_USER]\n\n"
                       "[HKEY_CURRENT_USER\\Empty]\n\n[HKEY_CURRENT_USER\\Other]\n\"v\"=dword:00000001\n\n"
                       "[HKEY_CURRENT_USER\\Parent]\n\n"));
}

void RegistryHiveTest::readingAloneCreatesNothing()
{
    QCOMPARE(valueAt(QStringLiteral("HKEY_CURRENT_USER\\Nothing"), QStringLiteral(".")), QVariant());
    QVERIFY(!QFile::exists(hiveFile()));

    Platform::openRegistryKey(QStringLiteral("HKEY_CURRENT_USER\\Something"))
        ->setValue(QStringLiteral("."), 1);
    QVERIFY(QFile::exists(hiveFile()));
}

void RegistryHiveTest::damagedHiveIsKeptAside_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::newRow("binary") << QByteArray("\x7f"
                                          "ELF\x02\x01\x01\x00\x00\x00\xff\xfe",
                                          12);
    QTest::newRow("INI text") << QByteArray("[HKEY_CURRENT_USER]\nName=value\n");
    QTest::newRow("bad line") << QByteArray(
        "Windows Registry Editor Version 5.00\n\n[HKEY_CURRENT_USER\\A]\nName=value\n");
    QTest::newRow("value outside a key") << QByteArray("Windows Registry Editor Version 5.00\n\n@=\"x\"\n");
    QTest::newRow("bad key path") << QByteArray(
        "Windows Registry Editor Version 5.00\n\n[Software\\\\A]\n@=\"x\"\n");
    QTest::newRow("unterminated string")
        << QByteArray("Windows Registry Editor Version 5.00\n\n[HKEY_CURRENT_USER\\A]\n@=\"x\n");
    QTest::newRow("not UTF-8") << QByteArray(
        "Windows Registry Editor Version 5.00\n\n[HKEY_CURRENT_USER\\A]\n@=\"\xe4\"\n");
    QTest::newRow("odd UTF-16") << QByteArray("\xff\xfeW\x00i\x00n", 7);
}

void RegistryHiveTest::damagedHiveIsKeptAside()
{
    QFETCH(QByteArray, bytes);
    QVERIFY(writeHive(bytes));

    Platform::openRegistryKey(QStringLiteral("HKEY_CURRENT_USER\\New"))
        ->setValue(QStringLiteral("."), QStringLiteral("v"));

    QCOMPARE(readHive(), QByteArray("Windows Registry Editor Version 5.00\n\n[HKEY_CURRENT_USER]\n\n"
                                    "[HKEY_CURRENT_USER\\New]\n@=\"v\"\n\n"));
    const QStringList aside =
        QDir(hiveFolder()).entryList({QStringLiteral("registry.reg.damaged-*")}, QDir::Files);
    QCOMPARE(aside.size(), 1);
    QFile kept(hiveFolder() + QLatin1Char('/') + aside.first());
    QVERIFY(kept.open(QIODevice::ReadOnly));
    QCOMPARE(kept.readAll(), bytes);
    QVERIFY(!QFile::exists(hiveFile() + QStringLiteral(".lock")));
}

int main(int argc, char **argv)
{
    return execWithPrivateHome<RegistryHiveTest>(argc, argv);
}

#include "tst_registryhive.moc"
