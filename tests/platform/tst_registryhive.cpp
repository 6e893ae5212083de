// The Linux registry stand-in's hive file, reached through Platform::openRegistryKey exactly as the shell
// integration reaches it: keys and their removal as QSettings callers see them, what reading alone leaves,
// a damaged hive kept aside, other programs' values through a read and a write, deep keys. The export text
// itself is tst_registryexport's.

#include "foreignhive.h"
#include "platform.h"
#include "privatehome.h"
#include "registrydump.h"
#include "registryexport.h"
#include "registrykey.h"
#include "registryvalue.h"
#include "testfiles.h"

#include <QDir>

#include <QFile>
#include <QSettings>
#include <QTest>
#include <algorithm>
#include <functional>

namespace {

QVariant valueAt(const QString &keyPath, const QString &name)
{
    return Platform::openRegistryKey(keyPath)->value(name);
}

enum class NameUse { Read, Write, Remove };

} // namespace

Q_DECLARE_METATYPE(NameUse)

class RegistryHiveTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void namesKeepTheSpellingOfTheirFirstCreation();
    void namesBelowTheKeyIgnoreLetterCase_data();
    void namesBelowTheKeyIgnoreLetterCase();
    void classesRootIsTheMergedView_data();
    void classesRootIsTheMergedView();
    void removeTakesTheWholeSubtree();
    void keysWithoutValuesStay();
    void readingAloneCreatesNothing();
    void damagedHiveIsKeptAside_data();
    void damagedHiveIsKeptAside();
    void foreignHiveSurvivesReadAndWrite();
    void classesRootOfEarlierVersionsIsTheMachines();
    void typedValuesReadAsTheirData();
    void deepKeysAreWrittenAndRemoved();
};

void RegistryHiveTest::init()
{
    QDir(privateVendorFolder()).removeRecursively();
}

// Key and value names are compared without regard to letter case, as in the registry, and keep the
// spelling of their first creation; a "." at the start of a key name is part of the name; the values come
// back read from the file.
void RegistryHiveTest::namesKeepTheSpellingOfTheirFirstCreation()
{
    const QString keyPath = QStringLiteral("HKEY_CURRENT_USER\\Software\\Mixed Case\\.dotted\\Key");
    Platform::openRegistryKey(keyPath)->setValue(QStringLiteral("."), QStringLiteral("default"));
    Platform::openRegistryKey(QStringLiteral("HKEY_CURRENT_USER\\SOFTWARE\\mixed case\\.DOTTED\\key"))
        ->setValue(QStringLiteral("Number"), -7);
    // Within one process QSettings keeps the hive it wrote last while the file on disk is unchanged, so the
    // file is changed (by a line end at its end) to make the next open read it.
    QVERIFY(writeFile(privateHiveFile(), readFile(privateHiveFile()) + '\n'));

    const auto key = Platform::openRegistryKey(keyPath.toUpper());
    QCOMPARE(key->status(), QSettings::NoError);
    QCOMPARE(key->value(QStringLiteral(".")), QVariant(QStringLiteral("default")));
    QCOMPARE(key->value(QStringLiteral("Number")), QVariant(-7));
    QCOMPARE(Platform::openRegistryKey(QStringLiteral("HKEY_CURRENT_USER"))->childGroups(),
             QStringList{QStringLiteral("Software")});
    QCOMPARE(
        Platform::openRegistryKey(QStringLiteral("HKEY_CURRENT_USER\\software\\MIXED CASE"))->childGroups(),
        QStringList{QStringLiteral(".dotted")});
    QVERIFY(readText(privateHiveFile())
                .contains(QLatin1String("[HKEY_CURRENT_USER\\Software\\Mixed "
                                        "Case\\.dotted\\Key]\n@=\"default\"\n\"Number\"=dword:fffffff9\n")));
    QCOMPARE(readText(privateHiveFile()).count(QLatin1String("\n[")), 5);

    // A hive that holds one name in two spellings (as earlier versions wrote it) is one key: the spelling
    // listed first, the value of the last line.
    QVERIFY(writeFile(
        privateHiveFile(),
        "Windows Registry Editor Version 5.00\n\n[HKEY_CURRENT_USER\\SOFTWARE\\A]\n\"v\"=\"first\"\n\n"
        "[HKEY_CURRENT_USER\\Software\\a]\n\"V\"=\"second\"\n\"w\"=\"x\"\n\n"));
    QCOMPARE(
        RegistryDump::hive(),
        (QStringList{QStringLiteral("HKEY_CURRENT_USER"), QStringLiteral("HKEY_CURRENT_USER\\SOFTWARE"),
                     QStringLiteral("HKEY_CURRENT_USER\\SOFTWARE\\A"),
                     ForeignHive::line(QStringLiteral("HKEY_CURRENT_USER\\SOFTWARE\\A"), QStringLiteral("v"),
                                       RegistryDump::stringValue(QStringLiteral("second"))),
                     ForeignHive::line(QStringLiteral("HKEY_CURRENT_USER\\SOFTWARE\\A"), QStringLiteral("w"),
                                       RegistryDump::stringValue(QStringLiteral("x")))}));
}

namespace {

const char NamesHive[] = "Windows Registry Editor Version 5.00\n\n"
                         "[HKEY_CURRENT_USER\\Key]\n\"Name\"=\"old\"\n\n"
                         "[HKEY_CURRENT_USER\\Key\\Child]\n@=\"child\"\n\n"
                         "[HKEY_CURRENT_USER\\Key\\Child\\Deeper]\n@=\"deeper\"\n\n";

} // namespace

void RegistryHiveTest::namesBelowTheKeyIgnoreLetterCase_data()
{
    QTest::addColumn<NameUse>("use");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QVariant>("read");       // the value read under that name
    QTest::addColumn<QStringList>("changes"); // the hive's lines that the use changes: "-" gone, "+" new

    const QString key = QStringLiteral("HKEY_CURRENT_USER\\Key");
    const QString child = key + QStringLiteral("\\Child");
    const QString deeper = child + QStringLiteral("\\Deeper");
    const auto sz = [](const char *text) { return RegistryDump::stringValue(QLatin1String(text)); };
    const QString name = ForeignHive::line(key, QStringLiteral("Name"), sz("old"));
    const QStringList subtree{child, ForeignHive::line(child, QStringLiteral("."), sz("child")), deeper,
                              ForeignHive::line(deeper, QStringLiteral("."), sz("deeper"))};

    QTest::newRow("value read") << NameUse::Read << "nAmE" << QVariant(QStringLiteral("old"))
                                << QStringList();
    QTest::newRow("value written: its spelling stays")
        << NameUse::Write << "NAME" << QVariant(QStringLiteral("new"))
        << QStringList{QLatin1Char('-') + name,
                       QLatin1Char('+') + ForeignHive::line(key, QStringLiteral("Name"), sz("new"))};
    QTest::newRow("value removed") << NameUse::Remove << "NAME" << QVariant()
                                   << QStringList{QLatin1Char('-') + name};
    QTest::newRow("child key removed with its subtree")
        << NameUse::Remove << "CHILD" << QVariant()
        << QStringList{QLatin1Char('-') + subtree.at(0), QLatin1Char('-') + subtree.at(1),
                       QLatin1Char('-') + subtree.at(2), QLatin1Char('-') + subtree.at(3)};
    QTest::newRow("a path below the key")
        << NameUse::Read << "child/DEEPER/." << QVariant(QStringLiteral("deeper")) << QStringList();
    QTest::newRow("a name that is not there") << NameUse::Remove << "Nothing" << QVariant() << QStringList();
}

// Value names and the names of child keys, given after the key is opened, are compared without regard to
// letter case, as key paths are: what is there in another spelling is read, changed (keeping its spelling)
// and removed under any spelling.
void RegistryHiveTest::namesBelowTheKeyIgnoreLetterCase()
{
    QFETCH(NameUse, use);
    QFETCH(QString, name);
    QFETCH(QVariant, read);
    QFETCH(QStringList, changes);
    QVERIFY(writeFile(privateHiveFile(), NamesHive));
    QStringList expected = RegistryDump::hive();

    {
        const auto key = Platform::openRegistryKey(QStringLiteral("HKEY_CURRENT_USER\\KEY"));
        if (use == NameUse::Write)
            key->setValue(name, read);
        else if (use == NameUse::Remove)
            key->remove(name);
        QCOMPARE(key->value(name), read);
        QCOMPARE(key->contains(name), read.isValid());
    }

    for (const QString &change : qAsConst(changes)) {
        if (change.startsWith(QLatin1Char('-')))
            QVERIFY2(expected.removeOne(change.mid(1)), qPrintable(change));
        else
            expected.append(change.mid(1));
    }
    std::sort(expected.begin(), expected.end());
    // Read back from the file: within one process QSettings keeps the hive it wrote last while the file on
    // disk is unchanged, so the file is changed (by a line end at its end) to make the next open read it.
    QVERIFY(writeFile(privateHiveFile(), readFile(privateHiveFile()) + '\n'));
    QCOMPARE(RegistryDump::hive(), expected);
}

namespace {

const char MergedViewHive[] = "Windows Registry Editor Version 5.00\n\n"
                              "[HKEY_CURRENT_USER\\Software\\Classes\\Both.exe\\shell\\open\\command]\n"
                              "@=\"user\"\n\n"
                              "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Classes\\Both.exe\\shell\\open\\command]\n"
                              "@=\"machine\"\n\n"
                              "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Classes\\Machine.exe\\shell\\open\\command]\n"
                              "@=\"machine only\"\n\n";

} // namespace

void RegistryHiveTest::classesRootIsTheMergedView_data()
{
    QTest::addColumn<bool>("elevated");
    QTest::newRow("an account without elevation") << false;
    QTest::newRow("elevated") << true;
}

// HKEY_CLASSES_ROOT finds the current user's classes first, then the machine's; what is written through it
// goes to the current user's key that it found, else to the machine's, which only an elevated process may
// change: otherwise QSettings reports an access error, the hive stays as it was, and later changes
// elsewhere still go through.
void RegistryHiveTest::classesRootIsTheMergedView()
{
    QFETCH(bool, elevated);
    if (elevated)
        qputenv("OSTREL_STANDIN_ELEVATED", "1");
    else
        qunsetenv("OSTREL_STANDIN_ELEVATED");
    QVERIFY(writeFile(privateHiveFile(), MergedViewHive));
    const QString command = QStringLiteral("\\shell\\open\\command");
    const QString both = QStringLiteral("HKEY_CLASSES_ROOT\\Both.exe") + command;
    QCOMPARE(valueAt(both, QStringLiteral(".")), QVariant(QStringLiteral("user")));
    QCOMPARE(valueAt(QStringLiteral("hkey_classes_root\\MACHINE.EXE") + command, QStringLiteral(".")),
             QVariant(QStringLiteral("machine only")));
    QCOMPARE(valueAt(QStringLiteral("HKEY_CLASSES_ROOT\\Nowhere.exe"), QStringLiteral(".")), QVariant());

    // Into the current user's key, whatever the elevation.
    {
        const auto key = Platform::openRegistryKey(both);
        key->setValue(QStringLiteral("."), QStringLiteral("user, changed"));
        key->sync();
        QCOMPARE(key->status(), QSettings::NoError);
    }
    QByteArray expected = QByteArray(MergedViewHive).replace("\"user\"", "\"user, changed\"");
    const auto layoutOf = [](const QByteArray &text) { // the keys and values, as the writer lists them
        QSettings::SettingsMap map;
        return Platform::parseRegistryExport(text, &map) ? RegistryDump::ofMap(map) : QStringList();
    };
    QCOMPARE(layoutOf(readFile(privateHiveFile())), layoutOf(expected));

    // A key created through the view, a value of the machine's key, and a removal of the machine's key.
    const QString created = QStringLiteral("HKEY_CLASSES_ROOT\\New.exe\\DefaultIcon");
    const QList<std::function<void(Platform::RegistryKey &)>> changes{
        [](Platform::RegistryKey &key) { key.setValue(QStringLiteral("."), QStringLiteral("new")); },
        [](Platform::RegistryKey &key) { key.setValue(QStringLiteral("Extra"), 1); },
        [](Platform::RegistryKey &key) { key.remove(QStringLiteral("Machine.exe")); },
    };
    const QStringList keys{created, QStringLiteral("HKEY_CLASSES_ROOT\\Machine.exe"),
                           QStringLiteral("HKEY_CLASSES_ROOT")};
    for (int i = 0; i < changes.size(); ++i) {
        const QByteArray before = readFile(privateHiveFile());
        const auto key = Platform::openRegistryKey(keys.at(i));
        changes.at(i)(*key);
        key->sync();
        QCOMPARE(key->status(), elevated ? QSettings::NoError : QSettings::AccessError);
        if (!elevated)
            QCOMPARE(readFile(privateHiveFile()), before);
    }
    if (elevated) {
        expected = QByteArray(MergedViewHive).replace("\"user\"", "\"user, changed\"");
        expected.replace("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Classes\\Machine.exe\\shell\\open\\command]\n"
                         "@=\"machine only\"\n\n",
                         "");
        expected += "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Classes\\New.exe\\DefaultIcon]\n@=\"new\"\n\n";
        QCOMPARE(layoutOf(readFile(privateHiveFile())), layoutOf(expected));
        QCOMPARE(valueAt(created, QStringLiteral(".")), QVariant(QStringLiteral("new")));
    }

    // A refused change is not tried again by the next settings object.
    Platform::openRegistryKey(QStringLiteral("HKEY_CURRENT_USER\\Software\\Classes\\Later"))
        ->setValue(QStringLiteral("."), QStringLiteral("later"));
    QVERIFY(readText(privateHiveFile()).contains(QLatin1String("\\Classes\\Later]\n@=\"later\"\n")));
    QVERIFY(QDir::temp().entryList({QStringLiteral("ostrel-registry-*")}).isEmpty());
    qunsetenv("OSTREL_STANDIN_ELEVATED");
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
    QVERIFY(!readText(privateHiveFile()).contains(QLatin1String("\\Gone]")));
    QVERIFY(!readText(privateHiveFile()).contains(QLatin1String("\\Gone\\")));
}

void RegistryHiveTest::keysWithoutValuesStay()
{
    QVERIFY(writeFile(privateHiveFile(),
                      "Windows Registry Editor Version 5.00\n\n[HKEY_CURRENT_USER\\Empty]\n\n"
                      "[HKEY_CURRENT_USER\\Parent\\Child]\n@=\"x\"\n\n"));

    // Removing the only key beneath a key leaves that key, and an unrelated write keeps the empty one.
    Platform::openRegistryKey(QStringLiteral("HKEY_CURRENT_USER\\Parent"))->remove(QStringLiteral("Child"));
    Platform::openRegistryKey(QStringLiteral("HKEY_CURRENT_USER\\Other"))->setValue(QStringLiteral("v"), 1);

    QCOMPARE(
        readText(privateHiveFile()),
        QStringLiteral("Windows Registry Editor Version 5.00\n\n[HKEY_CURRENT_USER]\n\n"
                       "[HKEY_CURRENT_USER\\Empty]\n\n[HKEY_CURRENT_USER\\Other]\n\"v\"=dword:00000001\n\n"
                       "[HKEY_CURRENT_USER\\Parent]\n\n"));
}

void RegistryHiveTest::readingAloneCreatesNothing()
{
    QCOMPARE(valueAt(QStringLiteral("HKEY_CURRENT_USER\\Nothing"), QStringLiteral(".")), QVariant());
    QVERIFY(!QFile::exists(privateHiveFile()));

    Platform::openRegistryKey(QStringLiteral("HKEY_CURRENT_USER\\Something"))
        ->setValue(QStringLiteral("."), 1);
    QVERIFY(QFile::exists(privateHiveFile()));
}

// Which texts are damaged is tst_registryexport's; here, one of each way a hive is refused: not text, no
// header, a bad line, text that cannot be decoded.
void RegistryHiveTest::damagedHiveIsKeptAside_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::newRow("binary") << QByteArray("\x7f"
                                          "ELF\x02\x01\x01\x00\x00\x00\xff\xfe",
                                          12);
    QTest::newRow("INI text") << QByteArray("[HKEY_CURRENT_USER]\nName=value\n");
    QTest::newRow("bad line") << QByteArray(
        "Windows Registry Editor Version 5.00\n\n[HKEY_CURRENT_USER\\A]\nName=value\n");
    QTest::newRow("odd UTF-16") << QByteArray("\xff\xfeW\x00i\x00n", 7);
}

void RegistryHiveTest::damagedHiveIsKeptAside()
{
    QFETCH(QByteArray, bytes);
    QVERIFY(writeFile(privateHiveFile(), bytes));

    Platform::openRegistryKey(QStringLiteral("HKEY_CURRENT_USER\\New"))
        ->setValue(QStringLiteral("."), QStringLiteral("v"));

    QCOMPARE(readFile(privateHiveFile()),
             QByteArray("Windows Registry Editor Version 5.00\n\n[HKEY_CURRENT_USER]\n\n"
                        "[HKEY_CURRENT_USER\\New]\n@=\"v\"\n\n"));
    const QStringList aside =
        QDir(privateVendorFolder()).entryList({QStringLiteral("registry.reg.damaged-*")}, QDir::Files);
    QCOMPARE(aside.size(), 1);
    QFile kept(privateVendorFolder() + QLatin1Char('/') + aside.first());
    QVERIFY(kept.open(QIODevice::ReadOnly));
    QCOMPARE(kept.readAll(), bytes);
    QVERIFY(!QFile::exists(privateHiveFile() + QStringLiteral(".lock")));
}

// The stand-in rewrites the whole hive at every change; what the program did not set must come back with
// the same keys, names, types and bytes. (The other encodings an export comes in: tst_registryexport.)
void RegistryHiveTest::foreignHiveSurvivesReadAndWrite()
{
    const QByteArray bytes = ExportText::windowsEncoded(ForeignHive::everyKindText());
    QVERIFY(writeFile(privateHiveFile(), bytes));
    const QStringList foreign = ForeignHive::everyKindDump();
    QCOMPARE(RegistryDump::hive(), foreign);
    QCOMPARE(readFile(privateHiveFile()), bytes); // reading alone writes nothing

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
    QCOMPARE(RegistryDump::entriesNotSpelledAsIn(ForeignHive::everyKindText(), readFile(privateHiveFile())),
             QStringList());

    // A hive this stand-in wrote comes back byte for byte.
    Platform::openRegistryKey(ours)->setValue(QStringLiteral("Value"), QStringLiteral("ours"));
    const QByteArray first = readFile(privateHiveFile());
    Platform::openRegistryKey(ours)->setValue(QStringLiteral("Value"), QStringLiteral("changed"));
    Platform::openRegistryKey(ours)->setValue(QStringLiteral("Value"), QStringLiteral("ours"));
    QCOMPARE(readFile(privateHiveFile()), first);
}

// Earlier versions of the stand-in kept HKEY_CLASSES_ROOT's keys under that name: they are the machine's
// classes, where Windows keeps what is written there, and nothing of them is lost.
void RegistryHiveTest::classesRootOfEarlierVersionsIsTheMachines()
{
    const QString modern = ForeignHive::everyKindText();
    QString earlier = modern;
    earlier.replace(QLatin1String("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Classes\\"),
                    QLatin1String("[HKEY_CLASSES_ROOT\\"));
    QVERIFY(earlier != modern);
    QVERIFY(writeFile(privateHiveFile(), ExportText::windowsEncoded(earlier)));
    QCOMPARE(RegistryDump::hive(), ForeignHive::everyKindDump());
    QCOMPARE(valueAt(QStringLiteral("HKEY_CLASSES_ROOT\\Other Viewer.exe"), QStringLiteral(".")),
             QVariant(QStringLiteral("Other Viewer Document")));

    Platform::openRegistryKey(QStringLiteral("HKEY_CURRENT_USER\\Ours"))->setValue(QStringLiteral("v"), 1);
    QCOMPARE(RegistryDump::entriesNotSpelledAsIn(modern, readFile(privateHiveFile())), QStringList());
    QVERIFY(!readText(privateHiveFile()).contains(QLatin1String("HKEY_CLASSES_ROOT")));
}

// Values that only hex spells reach QSettings callers as their data: an expandable string reads as text.
void RegistryHiveTest::typedValuesReadAsTheirData()
{
    using Platform::RegistryValue;
    QVERIFY(writeFile(privateHiveFile(), ExportText::windowsEncoded(ForeignHive::everyKindText())));
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
    QVERIFY(writeFile(privateHiveFile(), readFile(privateHiveFile()) + '\n'));

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
    QCOMPARE(readText(privateHiveFile()).count(QLatin1String("\n[")), 300);
}

int main(int argc, char **argv)
{
    return execWithPrivateHome<RegistryHiveTest>(argc, argv);
}

#include "tst_registryhive.moc"
