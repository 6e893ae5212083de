#ifndef OSTREL_TESTS_FOREIGNHIVE_H
#define OSTREL_TESTS_FOREIGNHIVE_H

// Hives of other programs' keys, each with what the registry holds after reading it (keys, value names,
// types and bytes, in the lines of registrydump.h), written out here by hand rather than taken from the
// stand-in's own reader.

#include "registrydump.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

namespace ForeignHive {

// Every kind of value an export spells, as "reg export" writes it on Windows (apart from its encoding and
// line ends, see ExportText::windowsEncoded): long hex data wrapped at 80 columns with a backslash, the
// default value as "@", names with spaces, non-ASCII letters, quotes, backslashes and slashes.
inline QString everyKindText()
{
    return QString::fromUtf8(u8R"(Windows Registry Editor Version 5.00

[HKEY_LOCAL_MACHINE\SOFTWARE\Classes\MIME]

[HKEY_LOCAL_MACHINE\SOFTWARE\Classes\MIME\Database]

[HKEY_LOCAL_MACHINE\SOFTWARE\Classes\MIME\Database\Content Type]

[HKEY_LOCAL_MACHINE\SOFTWARE\Classes\MIME\Database\Content Type\application/pdf]
"Extension"=".pdf"

[HKEY_LOCAL_MACHINE\SOFTWARE\Classes\Other Viewer.exe]
@="Other Viewer Document"

[HKEY_LOCAL_MACHINE\SOFTWARE\Classes\Other Viewer.exe\DefaultIcon]
@=hex(2):25,00,50,00,72,00,6f,00,67,00,72,00,61,00,6d,00,46,00,69,00,6c,00,65,\
  00,73,00,25,00,5c,00,4f,00,74,00,68,00,65,00,72,00,20,00,56,00,69,00,65,00,\
  77,00,65,00,72,00,5c,00,76,00,69,00,65,00,77,00,65,00,72,00,2e,00,65,00,78,\
  00,65,00,2c,00,31,00,00,00

[HKEY_LOCAL_MACHINE\SOFTWARE\Classes\Other Viewer.exe\shell]

[HKEY_LOCAL_MACHINE\SOFTWARE\Classes\Other Viewer.exe\shell\open]

[HKEY_LOCAL_MACHINE\SOFTWARE\Classes\Other Viewer.exe\shell\open\command]
@="\"C:\\Program Files\\Other Viewer\\viewer.exe\" \"%1\""

[HKEY_CURRENT_USER\Environment]
"Path"=hex(2):25,00,55,00,53,00,45,00,52,00,50,00,52,00,4f,00,46,00,49,00,4c,\
  00,45,00,25,00,5c,00,41,00,70,00,70,00,44,00,61,00,74,00,61,00,5c,00,4c,00,\
  6f,00,63,00,61,00,6c,00,5c,00,4d,00,69,00,63,00,72,00,6f,00,73,00,6f,00,66,\
  00,74,00,5c,00,57,00,69,00,6e,00,64,00,6f,00,77,00,73,00,41,00,70,00,70,00,\
  73,00,3b,00,25,00,55,00,53,00,45,00,52,00,50,00,52,00,4f,00,46,00,49,00,4c,\
  00,45,00,25,00,5c,00,2e,00,64,00,6f,00,74,00,6e,00,65,00,74,00,5c,00,74,00,\
  6f,00,6f,00,6c,00,73,00,3b,00,25,00,50,00,72,00,6f,00,67,00,72,00,61,00,6d,\
  00,46,00,69,00,6c,00,65,00,73,00,25,00,5c,00,4f,00,74,00,68,00,65,00,72,00,\
  20,00,56,00,69,00,65,00,77,00,65,00,72,00,00,00
"TEMP"=hex(2):25,00,55,00,53,00,45,00,52,00,50,00,52,00,4f,00,46,00,49,00,4c,\
  00,45,00,25,00,5c,00,41,00,70,00,70,00,44,00,61,00,74,00,61,00,5c,00,4c,00,\
  6f,00,63,00,61,00,6c,00,5c,00,54,00,65,00,6d,00,70,00,00,00

[HKEY_CURRENT_USER\SOFTWARE]

[HKEY_CURRENT_USER\SOFTWARE\Classes]

[HKEY_CURRENT_USER\SOFTWARE\Classes\SystemFileAssociations]

[HKEY_CURRENT_USER\SOFTWARE\Classes\SystemFileAssociations\.pdf]

[HKEY_CURRENT_USER\SOFTWARE\Classes\SystemFileAssociations\.pdf\Shell]
"Reserved"=dword:00000002

[HKEY_CURRENT_USER\SOFTWARE\Classes\SystemFileAssociations\.pdf\Shell\OstrelPDFEditor05Extra]
"MUIVerb"="Not one of ours"

[HKEY_CURRENT_USER\SOFTWARE\Classes\SystemFileAssociations\.pdf\Shell\OtherTool]
@=""
"Icon"=hex(2):25,00,53,00,79,00,73,00,74,00,65,00,6d,00,52,00,6f,00,6f,00,74,\
  00,25,00,5c,00,53,00,79,00,73,00,74,00,65,00,6d,00,33,00,32,00,5c,00,73,00,\
  68,00,65,00,6c,00,6c,00,33,00,32,00,2e,00,64,00,6c,00,6c,00,2c,00,2d,00,31,\
  00,36,00,37,00,36,00,39,00,00,00
"MUIVerb"="Open with \"Other\" Tool"
"Position"="Bottom"
"Extended"=hex:

[HKEY_CURRENT_USER\SOFTWARE\Classes\SystemFileAssociations\.pdf\Shell\OtherTool\Command]
@="\"C:\\Program Files\\Other Tool\\tool.exe\" \"%1\""

[HKEY_CURRENT_USER\SOFTWARE\Vendör Prödukt 欧特]
@="default of a key with a non-ASCII name"
"Escapes"="C:\\Temp\\ \"quoted\" ; = [not a key] @"
"Empty"=""
"Count"=dword:0000002a
"Max"=dword:ffffffff
"Binary"=hex:00,01,fe,ff
"EmptyBinary"=hex:
"None"=hex(0):01,02
"EmptyNone"=hex(0):
"StringInHex"=hex(1):41,00,00,00,42,00,00
"EmptyExpand"=hex(2):
"BinaryTyped"=hex(3):de,ad,be,ef
"DwordInHex"=hex(4):2a,00,00,00
"BigEndian"=hex(5):00,00,00,2a
"Link"=hex(6):5c,00,52,00,65,00,67,00
"List"=hex(7):61,00,00,00,00,00,62,00,63,00,00,00,00,00
"ListUnterminated"=hex(7):61,00,00,00,62,00
"ResourceList"=hex(8):01,00,00,00
"FullResourceDescriptor"=hex(9):02,00
"ResourceRequirements"=hex(a):03,00
"Qword"=hex(b):2a,00,00,00,00,00,00,00
"QwordShort"=hex(b):2a,00
"Type100"=hex(100):00
"TypeMax"=hex(ffffffff):01,02,03
"LongBinary"=hex:00,01,02,03,04,05,06,07,08,09,0a,0b,0c,0d,0e,0f,10,11,12,13,\
  14,15,16,17,18,19,1a,1b,1c,1d,1e,1f,20,21,22,23,24,25,26,27,28,29,2a,2b,2c,\
  2d,2e,2f,30,31,32,33,34,35,36,37,38,39,3a,3b,3c,3d,3e,3f,40,41,42,43,44,45,\
  46,47,48,49,4a,4b,4c,4d,4e,4f,50,51,52,53,54,55,56,57,58,59,5a,5b,5c,5d,5e,\
  5f,60,61,62,63,64,65,66,67,68,69,6a,6b,6c,6d,6e,6f,70,71,72,73,74,75,76,77,\
  78,79,7a,7b,7c,7d,7e,7f,80,81,82,83,84,85,86,87,88,89,8a,8b,8c,8d,8e,8f,90,\
  91,92,93,94,95,96,97,98,99,9a,9b,9c,9d,9e,9f,a0,a1,a2,a3,a4,a5,a6,a7,a8,a9,\
  aa,ab,ac,ad,ae,af,b0,b1,b2,b3,b4,b5,b6,b7,b8,b9,ba,bb,bc,bd,be,bf,c0,c1,c2,\
  c3,c4,c5,c6,c7
"name/with/slashes"="slashes"
"."="a value named with a full stop"
"Back\\slash \"name\""="y"

[HKEY_CURRENT_USER\SOFTWARE\Vendör Prödukt 欧特\Empty Key]

[HKEY_CURRENT_USER\SOFTWARE\Vendör Prödukt 欧特\Ключ с пробелами]
"Ünïcödé 名前"="値 ✓"

)");
}

inline QString line(const QString &key, const QString &name, const QString &data)
{
    return key + QLatin1Char('|') + name + QLatin1Char('|') + data;
}

// REG_EXPAND_SZ data of a text.
inline QString expandString(const QString &text)
{
    return RegistryDump::stringValue(text, Platform::RegistryValue::ExpandString);
}

inline QString hexData(quint32 type, const char *hex)
{
    return RegistryDump::typedBytes(type, QByteArray::fromHex(hex));
}

// What everyKindText holds, key by key.
inline QStringList everyKindDump()
{
    using Platform::RegistryValue;
    const auto sz = [](const QString &text) { return RegistryDump::stringValue(text); };
    const QString classes = QStringLiteral("HKEY_LOCAL_MACHINE\\SOFTWARE\\Classes");
    const QString mime = classes + QStringLiteral("\\MIME\\Database\\Content Type");
    const QString viewer = classes + QStringLiteral("\\Other Viewer.exe");
    const QString environment = QStringLiteral("HKEY_CURRENT_USER\\Environment");
    const QString shell =
        QStringLiteral("HKEY_CURRENT_USER\\SOFTWARE\\Classes\\SystemFileAssociations\\.pdf\\Shell");
    const QString vendor = QString::fromUtf8(u8"HKEY_CURRENT_USER\\SOFTWARE\\Vendör Prödukt 欧特");
    // QSettings separates keys with '/': a slash in a name reaches its callers as U+FDD0, and a value
    // named "." (not the default value) as U+FDD1 and the full stop.
    const QString pdfType = mime + QStringLiteral("\\application") + QChar(0xfdd0) + QStringLiteral("pdf");
    const QString slashName = QStringLiteral("name") + QChar(0xfdd0) + QStringLiteral("with") +
                              QChar(0xfdd0) + QStringLiteral("slashes");

    QByteArray longBinary;
    for (int i = 0; i < 200; ++i)
        longBinary.append(char(i));

    QStringList lines{
        QStringLiteral("HKEY_LOCAL_MACHINE"),
        QStringLiteral("HKEY_LOCAL_MACHINE\\SOFTWARE"),
        classes,
        classes + QStringLiteral("\\MIME"),
        classes + QStringLiteral("\\MIME\\Database"),
        mime,
        pdfType,
        line(pdfType, QStringLiteral("Extension"), sz(QStringLiteral(".pdf"))),
        viewer,
        line(viewer, QStringLiteral("."), sz(QStringLiteral("Other Viewer Document"))),
        viewer + QStringLiteral("\\DefaultIcon"),
        line(viewer + QStringLiteral("\\DefaultIcon"), QStringLiteral("."),
             expandString(QStringLiteral("%ProgramFiles%\\Other Viewer\\viewer.exe,1"))),
        viewer + QStringLiteral("\\shell"),
        viewer + QStringLiteral("\\shell\\open"),
        viewer + QStringLiteral("\\shell\\open\\command"),
        line(viewer + QStringLiteral("\\shell\\open\\command"), QStringLiteral("."),
             sz(QStringLiteral("\"C:\\Program Files\\Other Viewer\\viewer.exe\" \"%1\""))),
        QStringLiteral("HKEY_CURRENT_USER"),
        environment,
        line(environment, QStringLiteral("Path"),
             expandString(QStringLiteral("%USERPROFILE%\\AppData\\Local\\Microsoft\\WindowsApps;"
                                         "%USERPROFILE%\\.dotnet\\tools;%ProgramFiles%\\Other Viewer"))),
        line(environment, QStringLiteral("TEMP"),
             expandString(QStringLiteral("%USERPROFILE%\\AppData\\Local\\Temp"))),
        QStringLiteral("HKEY_CURRENT_USER\\SOFTWARE"),
        QStringLiteral("HKEY_CURRENT_USER\\SOFTWARE\\Classes"),
        QStringLiteral("HKEY_CURRENT_USER\\SOFTWARE\\Classes\\SystemFileAssociations"),
        QStringLiteral("HKEY_CURRENT_USER\\SOFTWARE\\Classes\\SystemFileAssociations\\.pdf"),
        shell,
        line(shell, QStringLiteral("Reserved"), hexData(RegistryValue::Dword, "02000000")),
        shell + QStringLiteral("\\OstrelPDFEditor05Extra"),
        line(shell + QStringLiteral("\\OstrelPDFEditor05Extra"), QStringLiteral("MUIVerb"),
             sz(QStringLiteral("Not one of ours"))),
        shell + QStringLiteral("\\OtherTool"),
        line(shell + QStringLiteral("\\OtherTool"), QStringLiteral("."), sz(QString())),
        line(shell + QStringLiteral("\\OtherTool"), QStringLiteral("Icon"),
             expandString(QStringLiteral("%SystemRoot%\\System32\\shell32.dll,-16769"))),
        line(shell + QStringLiteral("\\OtherTool"), QStringLiteral("MUIVerb"),
             sz(QStringLiteral("Open with \"Other\" Tool"))),
        line(shell + QStringLiteral("\\OtherTool"), QStringLiteral("Position"), sz(QStringLiteral("Bottom"))),
        line(shell + QStringLiteral("\\OtherTool"), QStringLiteral("Extended"),
             hexData(RegistryValue::Binary, "")),
        shell + QStringLiteral("\\OtherTool\\Command"),
        line(shell + QStringLiteral("\\OtherTool\\Command"), QStringLiteral("."),
             sz(QStringLiteral("\"C:\\Program Files\\Other Tool\\tool.exe\" \"%1\""))),
        vendor,
        line(vendor, QStringLiteral("."), sz(QStringLiteral("default of a key with a non-ASCII name"))),
        line(vendor, QStringLiteral("Escapes"),
             sz(QStringLiteral("C:\\Temp\\ \"quoted\" ; = [not a key] @"))),
        line(vendor, QStringLiteral("Empty"), sz(QString())),
        line(vendor, QStringLiteral("Count"), hexData(RegistryValue::Dword, "2a000000")),
        line(vendor, QStringLiteral("Max"), hexData(RegistryValue::Dword, "ffffffff")),
        line(vendor, QStringLiteral("Binary"), hexData(RegistryValue::Binary, "0001feff")),
        line(vendor, QStringLiteral("EmptyBinary"), hexData(RegistryValue::Binary, "")),
        line(vendor, QStringLiteral("None"), hexData(RegistryValue::None, "0102")),
        line(vendor, QStringLiteral("EmptyNone"), hexData(RegistryValue::None, "")),
        line(vendor, QStringLiteral("StringInHex"), hexData(RegistryValue::String, "41000000420000")),
        line(vendor, QStringLiteral("EmptyExpand"), hexData(RegistryValue::ExpandString, "")),
        line(vendor, QStringLiteral("BinaryTyped"), hexData(RegistryValue::Binary, "deadbeef")),
        line(vendor, QStringLiteral("DwordInHex"), hexData(RegistryValue::Dword, "2a000000")),
        line(vendor, QStringLiteral("BigEndian"), hexData(RegistryValue::DwordBigEndian, "0000002a")),
        line(vendor, QStringLiteral("Link"), hexData(RegistryValue::Link, "5c00520065006700")),
        line(vendor, QStringLiteral("List"),
             hexData(RegistryValue::MultiString, "6100000000006200630000000000")),
        line(vendor, QStringLiteral("ListUnterminated"), hexData(RegistryValue::MultiString, "610000006200")),
        line(vendor, QStringLiteral("ResourceList"), hexData(8, "01000000")),
        line(vendor, QStringLiteral("FullResourceDescriptor"), hexData(9, "0200")),
        line(vendor, QStringLiteral("ResourceRequirements"), hexData(0xa, "0300")),
        line(vendor, QStringLiteral("Qword"), hexData(RegistryValue::Qword, "2a00000000000000")),
        line(vendor, QStringLiteral("QwordShort"), hexData(RegistryValue::Qword, "2a00")),
        line(vendor, QStringLiteral("Type100"), hexData(0x100, "00")),
        line(vendor, QStringLiteral("TypeMax"), hexData(0xffffffff, "010203")),
        line(vendor, QStringLiteral("LongBinary"),
             RegistryDump::typedBytes(RegistryValue::Binary, longBinary)),
        line(vendor, slashName, sz(QStringLiteral("slashes"))),
        line(vendor, QString(QChar(0xfdd1)) + QLatin1Char('.'),
             sz(QStringLiteral("a value named with a full stop"))),
        line(vendor, QStringLiteral("Back\\slash \"name\""), sz(QStringLiteral("y"))),
        vendor + QStringLiteral("\\Empty Key"),
        vendor + QString::fromUtf8(u8"\\Ключ с пробелами"),
        line(vendor + QString::fromUtf8(u8"\\Ключ с пробелами"), QString::fromUtf8(u8"Ünïcödé 名前"),
             sz(QString::fromUtf8(u8"値 ✓"))),
    };
    std::sort(lines.begin(), lines.end());
    return lines;
}

struct Generated
{
    QString text;     // the export
    QStringList dump; // what it holds, sorted
};

// One key `levels` deep below HKEY_CURRENT_USER\SOFTWARE\Deep, every key above it in its own section as
// an export lists them, with an expandable string at the bottom.
inline Generated deepKey(int levels)
{
    Generated hive;
    hive.text = QStringLiteral("Windows Registry Editor Version 5.00\n\n");
    QString path = QStringLiteral("HKEY_CURRENT_USER");
    for (const char *name : {"SOFTWARE", "Deep"}) {
        path += QLatin1Char('\\') + QLatin1String(name);
        hive.dump << path;
        hive.text += QLatin1Char('[') + path + QLatin1String("]\n\n");
    }
    hive.dump.prepend(QStringLiteral("HKEY_CURRENT_USER"));
    for (int level = 1; level <= levels; ++level) {
        path += QStringLiteral("\\Key %1").arg(level);
        hive.dump << path;
        hive.text += QLatin1Char('[') + path + QLatin1String("]\n");
    }
    hive.text += QLatin1String("\"Bottom\"=hex(2):25,00,54,00,45,00,4d,00,50,00,25,00,00,00\n\n");
    hive.dump << line(path, QStringLiteral("Bottom"), expandString(QStringLiteral("%TEMP%")));
    std::sort(hive.dump.begin(), hive.dump.end());
    return hive;
}

// `keys` keys in groups of 100 below HKEY_CURRENT_USER\SOFTWARE\Vendor <n>, each with a default string, a
// number, an expandable string and a binary value wrapped over two lines.
inline Generated manyKeys(int keys)
{
    Generated hive;
    hive.text = QStringLiteral("Windows Registry Editor Version 5.00\n\n");
    hive.dump << QStringLiteral("HKEY_CURRENT_USER") << QStringLiteral("HKEY_CURRENT_USER\\SOFTWARE");
    QByteArray blob;
    for (int i = 0; i < 32; ++i)
        blob.append(char(i));
    const QString blobData = RegistryDump::typedBytes(Platform::RegistryValue::Binary, blob);
    const QString pathData = expandString(QStringLiteral("%PROGRAMFILES%"));
    for (int vendor = 0; vendor * 100 < keys; ++vendor) {
        const QString vendorKey = QStringLiteral("HKEY_CURRENT_USER\\SOFTWARE\\Vendor %1").arg(vendor);
        hive.text += QLatin1Char('[') + vendorKey + QLatin1String("]\n\n");
        hive.dump << vendorKey;
        for (int product = 0; product < 100 && vendor * 100 + product < keys; ++product) {
            const QString key = vendorKey + QStringLiteral("\\Product %1").arg(product);
            const QString name = QStringLiteral("Product %1 of vendor %2").arg(product).arg(vendor);
            hive.text += QLatin1Char('[') + key + QLatin1String("]\n@=\"") + name + QLatin1String("\"\n");
            hive.text += QStringLiteral("\"Build\"=dword:%1\n").arg(product, 8, 16, QLatin1Char('0'));
            hive.text +=
                QLatin1String("\"Path\"=hex(2):25,00,50,00,52,00,4f,00,47,00,52,00,41,00,4d,00,46,00,"
                              "49,00,4c,00,\\\n  45,00,53,00,25,00,00,00\n");
            hive.text +=
                QLatin1String("\"Blob\"=hex:00,01,02,03,04,05,06,07,08,09,0a,0b,0c,0d,0e,0f,10,11,12,"
                              "13,14,15,16,\\\n  17,18,19,1a,1b,1c,1d,1e,1f\n\n");
            QByteArray build(4, '\0');
            build[0] = char(product);
            hive.dump << key << line(key, QStringLiteral("."), RegistryDump::stringValue(name))
                      << line(key, QStringLiteral("Build"),
                              RegistryDump::typedBytes(Platform::RegistryValue::Dword, build))
                      << line(key, QStringLiteral("Path"), pathData)
                      << line(key, QStringLiteral("Blob"), blobData);
        }
    }
    std::sort(hive.dump.begin(), hive.dump.end());
    return hive;
}

} // namespace ForeignHive

#endif
