// The text of a registry export as the Linux registry stand-in reads and writes it, called directly: how
// each kind of value is spelled, the encodings an export comes in, how names reach the settings map, the
// order and wrapping of what is written, and what is refused as damaged. The hive file around it is
// tst_registryhive's.

#include "exporttext.h"
#include "foreignhive.h"
#include "registrydump.h"
#include "registryexport.h"
#include "registryvalue.h"

#include <QRegularExpression>
#include <QTest>

#include <utility>

using Platform::RegistryValue;

namespace {

const char Header[] = "Windows Registry Editor Version 5.00\n\n";

// An export of one key below HKEY_CURRENT_USER with one value, laid out as the writer lays it out.
QString oneKeyExport(const QString &key, const QString &valueLine)
{
    return QLatin1String(Header) + QLatin1String("[HKEY_CURRENT_USER]\n\n[HKEY_CURRENT_USER\\") + key +
           QLatin1String("]\n") + valueLine + QLatin1String("\n\n");
}

QByteArray utf16WithBom(const QString &text, bool littleEndian)
{
    QByteArray bytes = ExportText::utf16LittleEndian(text);
    if (!littleEndian) {
        for (int i = 0; i + 1 < bytes.size(); i += 2)
            std::swap(bytes.data()[i], bytes.data()[i + 1]);
    }
    return QByteArray(littleEndian ? "\xff\xfe" : "\xfe\xff") + bytes;
}

QString withCrLf(const QString &text)
{
    return QString(text).replace(QLatin1Char('\n'), QLatin1String("\r\n"));
}

QVariant typed(quint32 type, const char *hex)
{
    return QVariant::fromValue(RegistryValue{type, QByteArray::fromHex(hex)});
}

// The map as it is once a hive has been read: every key above each value has its entry (a name ending in
// '/'), which a map that QSettings callers have only written to lacks.
QSettings::SettingsMap withKeyEntries(QSettings::SettingsMap map)
{
    const QStringList names = map.keys();
    for (const QString &name : names) {
        for (int slash = name.indexOf(QLatin1Char('/')); slash >= 0;
             slash = name.indexOf(QLatin1Char('/'), slash + 1))
            map.insert(name.left(slash + 1), QVariant());
    }
    return map;
}

// What "reg export" writes on Windows, with the kinds of data it uses for this key.
const char WindowsExport[] =
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

class RegistryExportTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void valueKinds_data();
    void valueKinds();
    void refusesWhatItCannotSpell_data();
    void refusesWhatItCannotSpell();
    void namesInTheMap_data();
    void namesInTheMap();
    void readsEveryEncoding_data();
    void readsEveryEncoding();
    void readsWindowsExports_data();
    void readsWindowsExports();
    void readsWhatAnExportMayHold_data();
    void readsWhatAnExportMayHold();
    void rejectsDamagedExports_data();
    void rejectsDamagedExports();
    void writesKeysDepthFirstInExportOrder_data();
    void writesKeysDepthFirstInExportOrder();
    void keysWhoseNamesSortAroundTheSeparator_data();
    void keysWhoseNamesSortAroundTheSeparator();
    void longHexDataIsWrappedAsAnExportWrapsIt_data();
    void longHexDataIsWrappedAsAnExportWrapsIt();
    void everyKindComesBackAsTheExportSpelledIt();
};

void RegistryExportTest::initTestCase()
{
    // What opening the stand-in does first: values read in hex convert to text, lists and numbers.
    Platform::registerRegistryValueConversions();
}

void RegistryExportTest::valueKinds_data()
{
    QTest::addColumn<QVariant>("value");  // as a QSettings caller sets it
    QTest::addColumn<QString>("line");    // its line in the export
    QTest::addColumn<QVariant>("read");   // what reading that line gives, type included
    QTest::addColumn<bool>("readsAsSet"); // whether that converts back to the value as set

    QTest::newRow("string") << QVariant(QStringLiteral("default")) << QStringLiteral("\"v\"=\"default\"")
                            << QVariant(QStringLiteral("default")) << true;
    QTest::newRow("empty string") << QVariant(QString()) << QStringLiteral("\"v\"=\"\"")
                                  << QVariant(QString()) << true;
    QTest::newRow("quotes and backslashes") << QVariant(QStringLiteral("say \"\\\" \\\\ \" end\\"))
                                            << QStringLiteral(R"("v"="say \"\\\" \\\\ \" end\\")")
                                            << QVariant(QStringLiteral("say \"\\\" \\\\ \" end\\")) << true;
    const QString unicode = QString::fromUtf8(u8"استخدم 欧特 Ünïcödé");
    QTest::newRow("non-ASCII string")
        << QVariant(unicode) << QStringLiteral("\"v\"=\"%1\"").arg(unicode) << QVariant(unicode) << true;
    // A quoted string cannot hold a line break or a NUL: such a string is spelled in hex, as REG_SZ.
    QTest::newRow("string with line breaks")
        << QVariant(QStringLiteral("a\r\nb\nc"))
        << QStringLiteral("\"v\"=hex(1):61,00,0d,00,0a,00,62,00,0a,00,63,00,00,00")
        << typed(RegistryValue::String, "61000d000a0062000a0063000000") << true;
    QTest::newRow("string with a line feed")
        << QVariant(QStringLiteral("a\nb")) << QStringLiteral("\"v\"=hex(1):61,00,0a,00,62,00,00,00")
        << typed(RegistryValue::String, "61000a0062000000") << true;
    QTest::newRow("string with a carriage return")
        << QVariant(QStringLiteral("a\rb")) << QStringLiteral("\"v\"=hex(1):61,00,0d,00,62,00,00,00")
        << typed(RegistryValue::String, "61000d0062000000") << true;
    QTest::newRow("string holding a NUL")
        << QVariant(QStringLiteral("a") + QChar(0) + QStringLiteral("b"))
        << QStringLiteral("\"v\"=hex(1):61,00,00,00,62,00,00,00")
        << typed(RegistryValue::String, "6100000062000000") << false; // its text ends at the NUL
    QTest::newRow("number") << QVariant(42) << QStringLiteral("\"v\"=dword:0000002a") << QVariant(42) << true;
    QTest::newRow("negative number") << QVariant(-7) << QStringLiteral("\"v\"=dword:fffffff9") << QVariant(-7)
                                     << true;
    QTest::newRow("unsigned number") << QVariant(0xffffffffu) << QStringLiteral("\"v\"=dword:ffffffff")
                                     << QVariant(-1) << true;
    QTest::newRow("truth value") << QVariant(true) << QStringLiteral("\"v\"=dword:00000001") << QVariant(1)
                                 << true;
    QTest::newRow("64-bit number") << QVariant(qint64(1) << 40)
                                   << QStringLiteral("\"v\"=hex(b):00,00,00,00,00,01,00,00")
                                   << typed(RegistryValue::Qword, "0000000000010000") << true;
    QTest::newRow("bytes") << QVariant(QByteArray("\x00\x01\xfe\xff", 4))
                           << QStringLiteral("\"v\"=hex:00,01,fe,ff")
                           << QVariant(QByteArray("\x00\x01\xfe\xff", 4)) << true;
    QTest::newRow("no bytes") << QVariant(QByteArray()) << QStringLiteral("\"v\"=hex:")
                              << QVariant(QByteArray()) << true;
    QTest::newRow("string list") << QVariant(QStringList{QStringLiteral("a"), QStringLiteral("b c")})
                                 << QStringLiteral("\"v\"=hex(7):61,00,00,00,62,00,20,00,63,00,00,00,00,00")
                                 << typed(RegistryValue::MultiString, "6100000062002000630000000000") << true;
    QTest::newRow("empty string list") << QVariant(QStringList()) << QStringLiteral("\"v\"=hex(7):00,00")
                                       << typed(RegistryValue::MultiString, "0000") << true;
    QTest::newRow("expandable string")
        << typed(RegistryValue::ExpandString, "250000") << QStringLiteral("\"v\"=hex(2):25,00,00")
        << typed(RegistryValue::ExpandString, "250000") << true;
    QTest::newRow("type number of eight digits")
        << typed(0xffffffff, "010203") << QStringLiteral("\"v\"=hex(ffffffff):01,02,03")
        << typed(0xffffffff, "010203") << true;
    QTest::newRow("no value") << QVariant() << QStringLiteral("\"v\"=hex(0):")
                              << typed(RegistryValue::None, "") << false;
    QTest::newRow("other value with a text")
        << QVariant(1.5) << QStringLiteral("\"v\"=\"1.5\"") << QVariant(QStringLiteral("1.5")) << true;
}

// Each kind of value as an export spells it, and what reading that spelling gives.
void RegistryExportTest::valueKinds()
{
    QFETCH(QVariant, value);
    QFETCH(QString, line);
    QFETCH(QVariant, read);
    QFETCH(bool, readsAsSet);
    const QString text = oneKeyExport(QStringLiteral("K"), line);

    QByteArray bytes;
    QVERIFY(Platform::writeRegistryExport({{QStringLiteral("HKEY_CURRENT_USER/K/v"), value}}, &bytes));
    QCOMPARE(QString::fromUtf8(bytes), text);

    QSettings::SettingsMap map;
    QVERIFY(Platform::parseRegistryExport(text.toUtf8(), &map));
    const QVariant got = map.value(QStringLiteral("HKEY_CURRENT_USER/K/v"));
    QCOMPARE(QString::fromLatin1(got.typeName()), QString::fromLatin1(read.typeName()));
    QCOMPARE(got, read);
    if (readsAsSet) {
        QVariant converted = got;
        QVERIFY(converted.convert(value.userType()));
        QCOMPARE(converted, value);
    }
}

void RegistryExportTest::refusesWhatItCannotSpell_data()
{
    QTest::addColumn<QVariantMap>("map");
    QTest::newRow("value without a text")
        << QVariantMap{{QStringLiteral("HKEY_CURRENT_USER/K/v"), QVariantMap{{QStringLiteral("a"), 1}}}};
    QTest::newRow("value without a key") << QVariantMap{{QStringLiteral("v"), QStringLiteral("x")}};
    QTest::newRow("value below an empty root") << QVariantMap{{QStringLiteral("/v"), QStringLiteral("x")}};
    QTest::newRow("key without a name")
        << QVariantMap{{QStringLiteral("HKEY_CURRENT_USER//v"), QStringLiteral("x")}};
}

void RegistryExportTest::refusesWhatItCannotSpell()
{
    QFETCH(QVariantMap, map);
    QByteArray bytes;
    QVERIFY(!Platform::writeRegistryExport(map, &bytes));
}

void RegistryExportTest::namesInTheMap_data()
{
    QTest::addColumn<QString>("key");    // below HKEY_CURRENT_USER, as the export spells it
    QTest::addColumn<QString>("line");   // the value's line
    QTest::addColumn<QString>("mapKey"); // the key as QSettings callers see it
    QTest::addColumn<QString>("mapName");
    const QString slash(QChar(0xfdd0));
    const QString literal(QChar(0xfdd1));
    const QString root = QStringLiteral("HKEY_CURRENT_USER/");

    QTest::newRow("plain names") << QStringLiteral("K") << QStringLiteral("\"v\"=\"x\"")
                                 << root + QLatin1Char('K') << QStringLiteral("v");
    QTest::newRow("default value") << QStringLiteral("K") << QStringLiteral("@=\"x\"")
                                   << root + QLatin1Char('K') << QStringLiteral(".");
    QTest::newRow("value named with a full stop") << QStringLiteral("K") << QStringLiteral("\".\"=\"x\"")
                                                  << root + QLatin1Char('K') << literal + QLatin1Char('.');
    QTest::newRow("full stops elsewhere") << QStringLiteral(".pdf") << QStringLiteral("\"..\"=\"x\"")
                                          << root + QStringLiteral(".pdf") << QStringLiteral("..");
    QTest::newRow("slash in a value name")
        << QStringLiteral("K") << QStringLiteral("\"image/png\"=\"x\"") << root + QLatin1Char('K')
        << QStringLiteral("image") + slash + QStringLiteral("png");
    QTest::newRow("value named with a slash")
        << QStringLiteral("K") << QStringLiteral("\"/\"=\"x\"") << root + QLatin1Char('K') << slash;
    QTest::newRow("slash in a key name")
        << QStringLiteral("application/pdf") << QStringLiteral("\"v\"=\"x\"")
        << root + QStringLiteral("application") + slash + QStringLiteral("pdf") << QStringLiteral("v");
    QTest::newRow("noncharacters in a value name")
        << QStringLiteral("K") << QStringLiteral("\"%1%2\"=\"x\"").arg(slash, literal)
        << root + QLatin1Char('K') << literal + slash + literal + literal;
    QTest::newRow("noncharacter in a key name")
        << QStringLiteral("K") + literal << QStringLiteral("\"v\"=\"x\"")
        << root + QLatin1Char('K') + literal + literal << QStringLiteral("v");
    QTest::newRow("backslash and quotes in a value name")
        << QStringLiteral("K") << QStringLiteral(R"("Back\\slash \"name\""="x")") << root + QLatin1Char('K')
        << QStringLiteral("Back\\slash \"name\"");
    QTest::newRow("non-ASCII names") << QString::fromUtf8(u8"Ключ с пробелами")
                                     << QString::fromUtf8(u8"\"Ünïcödé 名前\"=\"x\"")
                                     << root + QString::fromUtf8(u8"Ключ с пробелами")
                                     << QString::fromUtf8(u8"Ünïcödé 名前");
}

// QSettings separates keys with '/', which registry names may hold: how a name of the export is spelled in
// the map that QSettings callers see, and back.
void RegistryExportTest::namesInTheMap()
{
    QFETCH(QString, key);
    QFETCH(QString, line);
    QFETCH(QString, mapKey);
    QFETCH(QString, mapName);
    const QString text = oneKeyExport(key, line);
    const QString valueInMap = mapKey + QLatin1Char('/') + mapName;

    QSettings::SettingsMap map;
    QVERIFY(Platform::parseRegistryExport(text.toUtf8(), &map));
    QCOMPARE(map.keys(),
             (QStringList{QStringLiteral("HKEY_CURRENT_USER/"), mapKey + QLatin1Char('/'), valueInMap}));
    QCOMPARE(map.value(valueInMap), QVariant(QStringLiteral("x")));

    QByteArray bytes;
    QVERIFY(Platform::writeRegistryExport({{valueInMap, QStringLiteral("x")}}, &bytes));
    QCOMPARE(QString::fromUtf8(bytes), text);
}

void RegistryExportTest::readsEveryEncoding_data()
{
    QTest::addColumn<QByteArray>("bytes");
    const QString text = ForeignHive::everyKindText();
    QTest::newRow("UTF-16LE with BOM, CR LF (a Windows export)") << ExportText::windowsEncoded(text);
    QTest::newRow("UTF-16LE with BOM, LF") << utf16WithBom(text, true);
    QTest::newRow("UTF-16BE with BOM, LF") << utf16WithBom(text, false);
    QTest::newRow("UTF-16BE with BOM, CR LF") << utf16WithBom(withCrLf(text), false);
    QTest::newRow("UTF-8 with BOM, CR LF") << QByteArray("\xef\xbb\xbf") + withCrLf(text).toUtf8();
    QTest::newRow("UTF-8 with BOM, LF") << QByteArray("\xef\xbb\xbf") + text.toUtf8();
    QTest::newRow("UTF-8, LF") << text.toUtf8();
    QTest::newRow("UTF-8, CR LF") << withCrLf(text).toUtf8();
    QTest::newRow("REGEDIT4 header") << QString(text)
                                            .replace(QStringLiteral("Windows Registry Editor Version 5.00"),
                                                     QStringLiteral("REGEDIT4"))
                                            .toUtf8();
}

// Every kind of value, in every encoding an export comes in, reads as the registry holds it.
void RegistryExportTest::readsEveryEncoding()
{
    QFETCH(QByteArray, bytes);
    QSettings::SettingsMap map;
    QVERIFY(Platform::parseRegistryExport(bytes, &map));
    QCOMPARE(RegistryDump::ofMap(map), ForeignHive::everyKindDump());
}

void RegistryExportTest::readsWindowsExports_data()
{
    QTest::addColumn<QByteArray>("bytes");
    const QString text = QString::fromLatin1(WindowsExport);
    QTest::newRow("UTF-16LE with BOM, CR LF") << utf16WithBom(text, true);
    QTest::newRow("UTF-8 with BOM, CR LF") << QByteArray("\xef\xbb\xbf") + text.toUtf8();
    QTest::newRow("UTF-8, LF") << QString(text).remove(QLatin1Char('\r')).toUtf8();
    QTest::newRow("REGEDIT4 header") << QString(text)
                                            .replace(QStringLiteral("Windows Registry Editor Version 5.00"),
                                                     QStringLiteral("REGEDIT4"))
                                            .toUtf8();
}

// Values as QSettings callers read them: an expandable string as text, a string list as a list.
void RegistryExportTest::readsWindowsExports()
{
    QFETCH(QByteArray, bytes);
    QSettings::SettingsMap map;
    QVERIFY(Platform::parseRegistryExport(bytes, &map));
    const QString shell =
        QStringLiteral("HKEY_CURRENT_USER/SOFTWARE/Classes/SystemFileAssociations/.pdf/Shell/");
    const QString verb = shell + QStringLiteral("OtherTool/");
    QVERIFY(map.contains(shell));
    QCOMPARE(map.value(verb + QStringLiteral(".")), QVariant(QString()));
    QCOMPARE(map.value(verb + QStringLiteral("MUIVerb")),
             QVariant(QStringLiteral("Open with \"Other\" Tool")));
    QCOMPARE(map.value(verb + QStringLiteral("Icon")), QVariant(QStringLiteral("C:\\T,0")));
    QCOMPARE(map.value(verb + QStringLiteral("Position")), QVariant(42));
    QCOMPARE(map.value(verb + QStringLiteral("Extended")), QVariant(QByteArray("\x01\x02\x03\xff")));
    QCOMPARE(map.value(verb + QStringLiteral("Names")),
             QVariant(QStringList{QStringLiteral("a"), QStringLiteral("bc")}));
    QCOMPARE(map.value(verb + QStringLiteral("Command/.")),
             QVariant(QStringLiteral("C:\\Program Files\\Other Tool\\other.exe \"%1\"")));
}

void RegistryExportTest::readsWhatAnExportMayHold_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QStringList>("dump"); // as RegistryDump spells it
    const QByteArray key = QByteArray(Header) + "[HKEY_CURRENT_USER\\K]\n";
    const QString hkcu = QStringLiteral("HKEY_CURRENT_USER");
    const QString k = QStringLiteral("HKEY_CURRENT_USER\\K");
    const auto v = [&](const QString &data) { return ForeignHive::line(k, QStringLiteral("v"), data); };
    const auto sz = [](const char *text) { return RegistryDump::stringValue(QLatin1String(text)); };

    QTest::newRow("nothing (a hive just created)") << QByteArray() << QStringList();
    QTest::newRow("header alone") << QByteArray(Header) << QStringList();
    QTest::newRow("blank lines and spaces before the header")
        << QByteArray("\n  \r\n  Windows Registry Editor Version 5.00  \r\n") << QStringList();
    QTest::newRow("comments") << QByteArray(Header) +
                                     "; before a key\n[HKEY_CURRENT_USER\\K]\n  ; in a key\n\"v\"=\"x\"\n"
                              << QStringList{hkcu, k, v(sz("x"))};
    QTest::newRow("spaces around lines and data")
        << QByteArray(Header) + "  [HKEY_CURRENT_USER\\K]  \n  \"v\"=  dword:0000002a  \n"
        << QStringList{hkcu, k, v(ForeignHive::hexData(RegistryValue::Dword, "2a000000"))};
    QTest::newRow("number of fewer digits")
        << key + "\"v\"=dword:2a\n"
        << QStringList{hkcu, k, v(ForeignHive::hexData(RegistryValue::Dword, "2a000000"))};
    QTest::newRow("upper-case hex digits")
        << key + "\"v\"=hex(B):2A,00,00,00,00,00,00,00\n"
        << QStringList{hkcu, k, v(ForeignHive::hexData(RegistryValue::Qword, "2a00000000000000"))};
    QTest::newRow("bytes of one digit, with spaces")
        << key + "\"v\"=hex:1, 2 ,ff\n"
        << QStringList{hkcu, k, v(ForeignHive::hexData(RegistryValue::Binary, "0102ff"))};
    QTest::newRow("deleted key") << QByteArray(Header) +
                                        "[-HKEY_CURRENT_USER\\Gone]\n\"v\"=\"x\"\n\n[HKEY_CURRENT_USER\\K]\n"
                                 << QStringList{hkcu, k};
    QTest::newRow("deleted value") << key + "\"v\"=-\n" << QStringList{hkcu, k};
    QTest::newRow("key listed twice")
        << key + "\"v\"=\"x\"\n[HKEY_CURRENT_USER\\K]\n\"w\"=\"y\"\n"
        << QStringList{hkcu, k, v(sz("x")), ForeignHive::line(k, QStringLiteral("w"), sz("y"))};
    QTest::newRow("value set twice: the last one counts") << key + "\"v\"=\"x\"\n\"v\"=\"y\"\n"
                                                          << QStringList{hkcu, k, v(sz("y"))};
}

void RegistryExportTest::readsWhatAnExportMayHold()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QStringList, dump);
    QSettings::SettingsMap map;
    QVERIFY(Platform::parseRegistryExport(bytes, &map));
    QCOMPARE(RegistryDump::ofMap(map), dump);
}

void RegistryExportTest::rejectsDamagedExports_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::newRow("binary") << QByteArray("\x7f"
                                          "ELF\x02\x01\x01\x00\x00\x00\xff\xfe",
                                          12);
    QTest::newRow("INI text") << QByteArray("[HKEY_CURRENT_USER]\nName=value\n");
    QTest::newRow("no header") << QByteArray("[HKEY_CURRENT_USER\\A]\n@=\"x\"\n");
    QTest::newRow("other header") << QByteArray(
        "Windows Registry Editor Version 4.00\n\n[HKEY_CURRENT_USER\\A]\n");
    QTest::newRow("bad line") << QByteArray(Header) + "[HKEY_CURRENT_USER\\A]\nName=value\n";
    QTest::newRow("value outside a key") << QByteArray(Header) + "@=\"x\"\n";
    QTest::newRow("bad key path") << QByteArray(Header) + "[Software\\\\A]\n@=\"x\"\n";
    QTest::newRow("key path outside the roots") << QByteArray(Header) + "[SOFTWARE\\A]\n@=\"x\"\n";
    QTest::newRow("empty name in a key path") << QByteArray(Header) + "[HKEY_CURRENT_USER\\\\A]\n";
    QTest::newRow("key path ending in a backslash") << QByteArray(Header) + "[HKEY_CURRENT_USER\\A\\]\n";
    QTest::newRow("key without its closing bracket") << QByteArray(Header) + "[HKEY_CURRENT_USER\\A\n";
    QTest::newRow("unterminated string") << QByteArray(Header) + "[HKEY_CURRENT_USER\\A]\n@=\"x\n";
    QTest::newRow("not UTF-8") << QByteArray(Header) + "[HKEY_CURRENT_USER\\A]\n@=\"\xe4\"\n";
    QTest::newRow("UTF-8 cut short at the end") << QByteArray(Header) + "[HKEY_CURRENT_USER\\A]\n; \xc3";
    QTest::newRow("odd UTF-16") << QByteArray("\xff\xfeW\x00i\x00n", 7);
    QTest::newRow("NUL in the text") << utf16WithBom(QLatin1String(Header) +
                                                         QStringLiteral("[HKEY_CURRENT_USER\\A]\n@=\"a") +
                                                         QChar(0) + QStringLiteral("b\"\n"),
                                                     true);
    const QByteArray key = QByteArray(Header) + "[HKEY_CURRENT_USER\\A]\n";
    QTest::newRow("value with an empty name") << key + "\"\"=\"x\"\n";
    QTest::newRow("value without '='") << key + "\"v\" \"x\"\n";
    QTest::newRow("text after a string") << key + "\"v\"=\"x\" y\n";
    QTest::newRow("type of nine digits") << key + "\"v\"=hex(100000000):00\n";
    QTest::newRow("type without digits") << key + "\"v\"=hex():00\n";
    QTest::newRow("byte of three digits") << key + "\"v\"=hex:100\n";
    QTest::newRow("data ends in a comma") << key + "\"v\"=hex(2):41,00,\n";
    QTest::newRow("data continued past the end") << key + "\"v\"=hex:41,\\\n";
    QTest::newRow("number of nine digits") << key + "\"v\"=dword:000000001\n";
    QTest::newRow("number with a 0x prefix") << key + "\"v\"=dword:0x1\n";
    QTest::newRow("unknown data") << key + "\"v\"=qword:1\n";
}

// What is not such an export is refused as a whole (the hive file is then kept aside, not overwritten).
void RegistryExportTest::rejectsDamagedExports()
{
    QFETCH(QByteArray, bytes);
    QSettings::SettingsMap map;
    QVERIFY(!Platform::parseRegistryExport(bytes, &map));
}

void RegistryExportTest::writesKeysDepthFirstInExportOrder_data()
{
    QTest::addColumn<bool>("keyEntries");
    QTest::newRow("values only (as a new hive is written)") << false;
    QTest::newRow("an entry for every key (as a hive that was read)") << true;
}

// Depth first, names without regard to case, the default value first: as "reg export" lists them.
void RegistryExportTest::writesKeysDepthFirstInExportOrder()
{
    QFETCH(bool, keyEntries);
    const QString verb = QStringLiteral("HKEY_CURRENT_USER/SOFTWARE/Classes/.pdf/Shell/Verb/");
    QSettings::SettingsMap map{
        {QStringLiteral("HKEY_CLASSES_ROOT/Some App.exe/shell/open/command/."),
         QStringLiteral("C:\\Program Files\\Some App\\app.exe \"%1\"")},
        {verb + QStringLiteral("zeta"), QStringLiteral("last")},
        {verb + QStringLiteral("beta"), QStringLiteral("after Alpha, before Count")},
        {verb + QStringLiteral("Alpha \"quoted\" \\name"), QStringLiteral("back\\slash")},
        {verb + QStringLiteral("."), QStringLiteral("")},
        {verb + QStringLiteral("Count"), 42},
        {QStringLiteral("HKEY_CLASSES_ROOT/Some App.exe/DefaultIcon/."),
         QString::fromUtf8(u8"D:\\Ikonen\\Größe.dll,0")},
    };
    if (keyEntries)
        map = withKeyEntries(map);

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
"beta"="after Alpha, before Count"
"Count"=dword:0000002a
"zeta"="last"

)")
                                    .toUtf8();
    QByteArray bytes;
    QVERIFY(Platform::writeRegistryExport(map, &bytes));
    QCOMPARE(QString::fromUtf8(bytes), QString::fromUtf8(expected));
    QCOMPARE(bytes, expected); // UTF-8 without a byte-order mark, LF line ends
}

void RegistryExportTest::keysWhoseNamesSortAroundTheSeparator_data()
{
    writesKeysDepthFirstInExportOrder_data();
}

// '!' sorts before the '/' that QSettings separates keys with, '0' after it: a key's entries are not all in
// one run after the key itself in the map's order, yet each key is written once with all that is its own.
void RegistryExportTest::keysWhoseNamesSortAroundTheSeparator()
{
    QFETCH(bool, keyEntries);
    const QString parent = QStringLiteral("HKEY_CURRENT_USER/P/");
    QSettings::SettingsMap map{
        {parent + QStringLiteral("A"), QStringLiteral("value A")},
        {parent + QStringLiteral("A!"), QStringLiteral("value A!")},
    };
    for (const char *key : {"A0\\B", "A", "A!\\B", "A\\B\\C", "A0", "A!", "A\\B"})
        map.insert(parent + QString::fromLatin1(key).replace(QLatin1Char('\\'), QLatin1Char('/')) +
                       QStringLiteral("/."),
                   QLatin1String(key));
    if (keyEntries)
        map = withKeyEntries(map);

    QByteArray bytes;
    QVERIFY(Platform::writeRegistryExport(map, &bytes));
    QCOMPARE(QString::fromUtf8(bytes), QStringLiteral(R"(Windows Registry Editor Version 5.00

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

void RegistryExportTest::longHexDataIsWrappedAsAnExportWrapsIt_data()
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

void RegistryExportTest::longHexDataIsWrappedAsAnExportWrapsIt()
{
    QFETCH(int, size);
    QFETCH(QString, name);
    QByteArray data;
    for (int i = 0; i < size; ++i)
        data.append(char(i * 7));
    const QString value = QStringLiteral("HKEY_CURRENT_USER/Wrapped/") + name;
    QByteArray bytes;
    QVERIFY(Platform::writeRegistryExport({{value, data}}, &bytes));

    const QStringList lines = QString::fromUtf8(bytes).split(QLatin1Char('\n'));
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

    QSettings::SettingsMap map;
    QVERIFY(Platform::parseRegistryExport(bytes, &map));
    QCOMPARE(map.value(value), QVariant(data));
}

// Written again, every key and every value comes back as the export spelled it (values in name order):
// names with a slash, long hex data wrapped at 80 columns; and what was written reads and writes the same.
void RegistryExportTest::everyKindComesBackAsTheExportSpelledIt()
{
    const QString text = ForeignHive::everyKindText();
    QSettings::SettingsMap map;
    QVERIFY(Platform::parseRegistryExport(text.toUtf8(), &map));
    QByteArray bytes;
    QVERIFY(Platform::writeRegistryExport(map, &bytes));

    QCOMPARE(RegistryDump::entriesNotSpelledAsIn(text, bytes), QStringList());

    QSettings::SettingsMap again;
    QVERIFY(Platform::parseRegistryExport(bytes, &again));
    QCOMPARE(RegistryDump::ofMap(again), ForeignHive::everyKindDump());
    QByteArray rewritten;
    QVERIFY(Platform::writeRegistryExport(again, &rewritten));
    QCOMPARE(rewritten, bytes);
}

QTEST_APPLESS_MAIN(RegistryExportTest)

#include "tst_registryexport.moc"
