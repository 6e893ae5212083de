// The Linux registry stand-in: a hive in the text format of a Windows registry export, reached through
// Platform::openRegistryKey exactly as the shell integration reaches it.

#include "foreignhive.h"
#include "platform.h"
#include "privatehome.h"
#include "registrydump.h"
#include "registryvalue.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QRegularExpression>
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
    void foreignHiveSurvivesReadAndWrite_data();
    void foreignHiveSurvivesReadAndWrite();
    void typedValuesReadAsTheirData();
    void longHexDataIsWrappedAsAnExportWrapsIt_data();
    void longHexDataIsWrappedAsAnExportWrapsIt();
    void keysWhoseNamesSortAroundTheSeparator();
    void deepKeysAreWrittenAndRemoved();
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
    const QByteArray key("Windows Registry Editor Version 5.00\n\n[HKEY_CURRENT_USER\\A]\n");
    QTest::newRow("type of nine digits") << key + "\"v\"=hex(100000000):00\n";
    QTest::newRow("type without digits") << key + "\"v\"=hex():00\n";
    QTest::newRow("byte of three digits") << key + "\"v\"=hex:100\n";
    QTest::newRow("data ends in a comma") << key + "\"v\"=hex(2):41,00,\n";
    QTest::newRow("number of nine digits") << key + "\"v\"=dword:000000001\n";
    QTest::newRow("number with a 0x prefix") << key + "\"v\"=dword:0x1\n";
    QTest::newRow("unknown data") << key + "\"v\"=qword:1\n";
    QTest::newRow("empty name in a key path")
        << QByteArray("Windows Registry Editor Version 5.00\n\n[HKEY_CURRENT_USER\\\\A]\n");
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

void RegistryHiveTest::foreignHiveSurvivesReadAndWrite_data()
{
    QTest::addColumn<QByteArray>("bytes");
    const QString text = ForeignHive::everyKindText();
    QTest::newRow("Windows export: UTF-16LE with BOM, CR LF") << ForeignHive::windowsExport(text);
    QTest::newRow("UTF-8, LF") << text.toUtf8();
    QTest::newRow("UTF-8 with BOM, CR LF")
        << QByteArray("\xef\xbb\xbf") +
               QString(text).replace(QLatin1Char('\n'), QLatin1String("\r\n")).toUtf8();
    QByteArray bigEndian("\xfe\xff");
    for (const QChar c : text)
        bigEndian.append(char(c.unicode() >> 8)).append(char(c.unicode() & 0xff));
    QTest::newRow("UTF-16BE with BOM, LF") << bigEndian;
}

// The stand-in rewrites the whole hive at every change; what the program did not set must come back with
// the same keys, names, types and bytes.
void RegistryHiveTest::foreignHiveSurvivesReadAndWrite()
{
    QFETCH(QByteArray, bytes);
    QVERIFY(writeHive(bytes));
    const QStringList foreign = ForeignHive::everyKindDump();
    QCOMPARE(RegistryDump::hive(), foreign);
    QCOMPARE(readHive(), bytes); // reading alone writes nothing

    const QString ours = QStringLiteral("HKEY_CURRENT_USER\\SOFTWARE\\Ours");
    Platform::openRegistryKey(ours)->setValue(QStringLiteral("Value"), QStringLiteral("changed"));
    QStringList expected = foreign;
    expected << ours
             << ForeignHive::line(ours, QStringLiteral("Value"),
                                  RegistryDump::stringValue(QStringLiteral("changed")));
    std::sort(expected.begin(), expected.end());
    QCOMPARE(RegistryDump::hive(), expected);

    // In the text, too, every key and every value comes back as the export spelled it (values in name
    // order): names with a slash, long hex data wrapped at 80 columns.
    const QString written = QLatin1Char('\n') + QString::fromUtf8(readHive());
    QString entry; // a section line, or a value's line with the lines that continue it
    for (const QString &line : ForeignHive::everyKindText().split(QLatin1Char('\n'))) {
        entry += line;
        if (line.endsWith(QLatin1Char('\\'))) {
            entry += QLatin1Char('\n');
            continue;
        }
        if (!entry.isEmpty())
            QVERIFY2(written.contains(QLatin1Char('\n') + entry + QLatin1Char('\n')), qPrintable(entry));
        entry.clear();
    }

    // A hive this stand-in wrote comes back byte for byte.
    Platform::openRegistryKey(ours)->setValue(QStringLiteral("Value"), QStringLiteral("ours"));
    const QByteArray first = readHive();
    Platform::openRegistryKey(ours)->setValue(QStringLiteral("Value"), QStringLiteral("changed"));
    Platform::openRegistryKey(ours)->setValue(QStringLiteral("Value"), QStringLiteral("ours"));
    QCOMPARE(readHive(), first);
}

// Values that only hex spells reach QSettings callers as their data: an expandable string reads as text.
void RegistryHiveTest::typedValuesReadAsTheirData()
{
    using Platform::RegistryValue;
    QVERIFY(writeHive(ForeignHive::windowsExport(ForeignHive::everyKindText())));
    const auto environment = Platform::openRegistryKey(QStringLiteral("HKEY_CURRENT_USER\\Environment"));
    const QVariant temp = environment->value(QStringLiteral("TEMP"));
    QCOMPARE(temp.value<RegistryValue>().type, quint32(RegistryValue::ExpandString));
    QCOMPARE(temp.toString(), QStringLiteral("%USERPROFILE%\\AppData\\Local\\Temp"));

    const auto vendor =
        Platform::openRegistryKey(QString::fromUtf8(u8"HKEY_CURRENT_USER\\SOFTWARE\\Vendör Prödukt 欧特"));
    QCOMPARE(vendor->value(QStringLiteral("StringInHex")).toString(), QStringLiteral("A"));
    QCOMPARE(vendor->value(QStringLiteral("EmptyExpand")).toString(), QString());
    QCOMPARE(vendor->value(QStringLiteral("List")).toStringList(),
             (QStringList{QStringLiteral("a"), QString(), QStringLiteral("bc")}));
    QCOMPARE(vendor->value(QStringLiteral("Qword")).toLongLong(), 42);
    QCOMPARE(vendor->value(QStringLiteral("DwordInHex")).toLongLong(), 42);
    QCOMPARE(vendor->value(QStringLiteral("BigEndian")).toLongLong(), 42);
    QCOMPARE(vendor->value(QStringLiteral("Type100")).toByteArray(), QByteArray(1, '\0'));
    QCOMPARE(vendor->value(QStringLiteral("Link")).toByteArray(), QByteArray("\\\0R\0e\0g\0", 8));
    // No text in data that is not a string, nor a number in one of the wrong size.
    bool ok = true;
    QCOMPARE(vendor->value(QStringLiteral("None")).toString(), QString());
    vendor->value(QStringLiteral("QwordShort")).toLongLong(&ok);
    QVERIFY(!ok);
}

void RegistryHiveTest::longHexDataIsWrappedAsAnExportWrapsIt_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<QString>("name");
    for (int size : {0, 1, 2, 20, 21, 22, 25, 26, 200, 5000}) {
        for (int nameLength : {1, 60, 90}) {
            QTest::addRow("%d bytes, name of %d", size, nameLength)
                << size << QString(nameLength, QLatin1Char('n'));
        }
    }
}

void RegistryHiveTest::longHexDataIsWrappedAsAnExportWrapsIt()
{
    QFETCH(int, size);
    QFETCH(QString, name);
    QByteArray data;
    for (int i = 0; i < size; ++i)
        data.append(char(i * 7));
    const QString key = QStringLiteral("HKEY_CURRENT_USER\\Wrapped");
    Platform::openRegistryKey(key)->setValue(name, data);

    const QStringList lines = QString::fromUtf8(readHive()).split(QLatin1Char('\n'));
    const int first = lines.indexOf(QRegularExpression(QLatin1Char('"') + name + QLatin1String("\"=hex:.*")));
    QVERIFY(first > 0);
    int last = first;
    while (lines.at(last).endsWith(QLatin1Char('\\')))
        ++last;
    for (int i = first; i <= last; ++i) {
        const QString &line = lines.at(i);
        // At most 80 columns; a name too long for that takes one byte along on its line.
        QVERIFY2(line.size() <= 80 || (i == first && line.count(QLatin1Char(',')) <= 1), qPrintable(line));
        if (i > first)
            QVERIFY2(QRegularExpression(QStringLiteral("^  [0-9a-f]{2}")).match(line).hasMatch(),
                     qPrintable(line));
        if (i < last)
            QVERIFY2(line.endsWith(QLatin1String(",\\")), qPrintable(line));
    }
    // Data that fits on the value's line stays there.
    const int oneLine = int(QStringLiteral("\"\"=hex:").size()) + name.size() + qMax(0, 3 * size - 1);
    QCOMPARE(last == first, oneLine <= 80 || size <= 1);
    QCOMPARE(Platform::openRegistryKey(key)->value(name).toByteArray(), data);
}

// '!' sorts before the '/' that QSettings separates keys with, '0' after it: a key's entries are not all in
// one run after the key itself in QSettings' order, yet each key is written once with all that is its own.
void RegistryHiveTest::keysWhoseNamesSortAroundTheSeparator()
{
    const QString parent = QStringLiteral("HKEY_CURRENT_USER\\P");
    for (const char *key : {"A0\\B", "A", "A!\\B", "A\\B\\C", "A0", "A!", "A\\B"})
        Platform::openRegistryKey(parent + QLatin1Char('\\') + QLatin1String(key))
            ->setValue(QStringLiteral("."), QLatin1String(key));
    Platform::openRegistryKey(parent)->setValue(QStringLiteral("A"), QStringLiteral("value A"));
    Platform::openRegistryKey(parent)->setValue(QStringLiteral("A!"), QStringLiteral("value A!"));

    QCOMPARE(QString::fromUtf8(readHive()), QStringLiteral(R"(Windows Registry Editor Version 5.00

[HKEY_CURRENT_USER]

[HKEY_CURRENT_USER\P]
"A"="value A"
"A!"="value A!"

[HKEY_CURRENT_USER\P\A]
@="A"

[HKEY_CURRENT_USER\P\A\B]
@="A\\B"

[HKEY_CURRENT_USER\P\A\B\C]
@="A\\B\\C"

[HKEY_CURRENT_USER\P\A!]
@="A!"

[HKEY_CURRENT_USER\P\A!\B]
@="A!\\B"

[HKEY_CURRENT_USER\P\A0]
@="A0"

[HKEY_CURRENT_USER\P\A0\B]
@="A0\\B"

)"));
}

// The registry nests keys up to 512 deep.
void RegistryHiveTest::deepKeysAreWrittenAndRemoved()
{
    const int levels = 512;
    QStringList paths{QStringLiteral("HKEY_CURRENT_USER")};
    for (int level = 1; level <= levels; ++level)
        paths << paths.last() + QStringLiteral("\\Level %1").arg(level);
    Platform::openRegistryKey(paths.last())->setValue(QStringLiteral("Bottom"), 1);
    // Read back from the file: within one process QSettings keeps the hive it wrote last while the file on
    // disk is unchanged, so the file is changed (by a line end at its end) to make the next open read it.
    QVERIFY(writeHive(readHive() + '\n'));

    QStringList expected = paths;
    expected << ForeignHive::line(paths.last(), QStringLiteral("Bottom"),
                                  ForeignHive::hexData(4, "01000000"));
    std::sort(expected.begin(), expected.end());
    QCOMPARE(RegistryDump::hive(), expected);

    // Removing a key halfway takes all beneath it and leaves the keys above, with or without values.
    Platform::openRegistryKey(paths.at(256))->setValue(QStringLiteral("Middle"), 2);
    Platform::openRegistryKey(paths.at(299))->remove(QStringLiteral("Level 300"));
    expected = paths.mid(0, 300);
    expected << ForeignHive::line(paths.at(256), QStringLiteral("Middle"),
                                  ForeignHive::hexData(4, "02000000"));
    std::sort(expected.begin(), expected.end());
    QCOMPARE(RegistryDump::hive(), expected);
    QCOMPARE(QString::fromUtf8(readHive()).count(QLatin1String("\n[")), 300);
}

int main(int argc, char **argv)
{
    return execWithPrivateHome<RegistryHiveTest>(argc, argv);
}

#include "tst_registryhive.moc"
