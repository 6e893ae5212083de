// The registry stand-in: one hive kept as the text of a Windows registry export, so that a person can read
// it and a test can set it beside a "reg export" taken on Windows. QSettings hosts it through a custom
// format, which brings the same calls as the native registry ("." for a key's default value, remove() of a
// child key with its subtree) together with QSettings' own lock file and atomic save.
//
// A key is kept in the settings map as an entry whose name ends in '/' (an empty last segment, which no
// QSettings caller can write or read), so that keys without values survive a read and a write, as they do
// in the registry; removing a key removes that entry with everything else beneath it.

#include "platform.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <QSettings>
#include <QStandardPaths>
#include <QStringList>
#include <QTextCodec>
#include <QVariant>
#include <QtEndian>

#include <algorithm>
#include <map>
#include <vector>

namespace {

const char exportHeader[] = "Windows Registry Editor Version 5.00";
const char legacyExportHeader[] = "REGEDIT4";

// Value types as the registry numbers them in hex(N) data.
enum RegistryType : uint {
    RegNone = 0x0,
    RegSz = 0x1,
    RegExpandSz = 0x2,
    RegBinary = 0x3,
    RegDword = 0x4,
    RegMultiSz = 0x7,
    RegQword = 0xb,
};

// --- reading -----------------------------------------------------------------------------------------

QString decodeUtf16(const QByteArray &bytes, int offset, bool littleEndian, bool *ok)
{
    *ok = (bytes.size() - offset) % 2 == 0;
    QString text;
    text.reserve((bytes.size() - offset) / 2);
    for (int i = offset; *ok && i + 1 < bytes.size(); i += 2) {
        const uchar first = uchar(bytes.at(i));
        const uchar second = uchar(bytes.at(i + 1));
        text.append(QChar(littleEndian ? ushort(first | second << 8) : ushort(second | first << 8)));
    }
    return text;
}

// Windows writes exports as UTF-16LE with a byte-order mark; hand-made files are usually UTF-8.
bool decodeExportText(const QByteArray &bytes, QString *text)
{
    bool ok = true;
    if (bytes.startsWith("\xff\xfe")) {
        *text = decodeUtf16(bytes, 2, true, &ok);
    } else if (bytes.startsWith("\xfe\xff")) {
        *text = decodeUtf16(bytes, 2, false, &ok);
    } else {
        const int offset = bytes.startsWith("\xef\xbb\xbf") ? 3 : 0;
        QTextCodec::ConverterState state;
        *text = QTextCodec::codecForName("UTF-8")->toUnicode(bytes.constData() + offset,
                                                             bytes.size() - offset, &state);
        ok = state.invalidChars == 0 && state.remainingChars == 0;
    }
    return ok && !text->contains(QChar(0));
}

// Reads a quoted name or string starting at `position` (on the opening quote); leaves `position` after
// the closing quote. The export escapes only backslash and double quote, each with a backslash.
bool readQuoted(const QString &line, int &position, QString *result)
{
    if (position >= line.size() || line.at(position) != QLatin1Char('"'))
        return false;
    result->clear();
    for (++position; position < line.size(); ++position) {
        QChar c = line.at(position);
        if (c == QLatin1Char('"')) {
            ++position;
            return true;
        }
        if (c == QLatin1Char('\\')) {
            if (++position == line.size())
                return false;
            c = line.at(position);
        }
        result->append(c);
    }
    return false;
}

bool readHexBytes(const QString &text, QByteArray *bytes)
{
    bytes->clear();
    const QString trimmed = text.trimmed();
    if (trimmed.isEmpty())
        return true;
    for (const QString &part : trimmed.split(QLatin1Char(','))) {
        bool ok = false;
        const uint byte = part.trimmed().toUInt(&ok, 16);
        if (!ok || byte > 0xff || part.trimmed().size() > 2)
            return false;
        bytes->append(char(byte));
    }
    return true;
}

QString utf16LeToString(const QByteArray &bytes)
{
    bool ok = true;
    QString text = decodeUtf16(bytes.size() % 2 ? bytes.left(bytes.size() - 1) : bytes, 0, true, &ok);
    const int end = text.indexOf(QChar(0));
    return end < 0 ? text : text.left(end);
}

QVariant variantFromHex(uint type, const QByteArray &bytes)
{
    switch (type) {
    case RegSz:
    case RegExpandSz:
        return utf16LeToString(bytes);
    case RegMultiSz: {
        bool ok = true;
        QStringList strings = decodeUtf16(bytes.left(bytes.size() & ~1), 0, true, &ok).split(QChar(0));
        while (!strings.isEmpty() && strings.last().isEmpty())
            strings.removeLast();
        return strings;
    }
    case RegDword:
        if (bytes.size() == 4)
            return int(qFromLittleEndian<quint32>(bytes.constData()));
        break;
    case RegQword:
        if (bytes.size() == 8)
            return qint64(qFromLittleEndian<quint64>(bytes.constData()));
        break;
    default:
        break;
    }
    return bytes;
}

enum class DataResult { Value, Deletion, Invalid };

DataResult readValueData(const QString &data, QVariant *value)
{
    if (data == QLatin1String("-"))
        return DataResult::Deletion;
    if (data.startsWith(QLatin1Char('"'))) {
        int position = 0;
        QString text;
        if (!readQuoted(data, position, &text) || !data.midRef(position).trimmed().isEmpty())
            return DataResult::Invalid;
        *value = text;
        return DataResult::Value;
    }
    if (data.startsWith(QLatin1String("dword:"))) {
        const QString digits = data.mid(6).trimmed();
        bool ok = false;
        const uint number = digits.toUInt(&ok, 16);
        if (!ok || digits.size() > 8)
            return DataResult::Invalid;
        *value = int(number);
        return DataResult::Value;
    }
    uint type = RegBinary;
    int bytesStart = -1;
    if (data.startsWith(QLatin1String("hex:"))) {
        bytesStart = 4;
    } else if (data.startsWith(QLatin1String("hex("))) {
        const int close = data.indexOf(QLatin1String("):"));
        bool ok = false;
        type = close > 4 ? data.mid(4, close - 4).toUInt(&ok, 16) : 0;
        if (!ok)
            return DataResult::Invalid;
        bytesStart = close + 2;
    }
    QByteArray bytes;
    if (bytesStart < 0 || !readHexBytes(data.mid(bytesStart), &bytes))
        return DataResult::Invalid;
    *value = variantFromHex(type, bytes);
    return DataResult::Value;
}

// Hex data runs on over lines that end in a backslash; the continuation lines are indented.
QStringList logicalLines(const QString &text)
{
    QStringList lines;
    QString pending;
    for (QString line : text.split(QLatin1Char('\n'))) {
        if (line.endsWith(QLatin1Char('\r')))
            line.chop(1);
        if (!pending.isEmpty())
            line = pending + line.trimmed();
        pending.clear();
        if (line.endsWith(QLatin1Char('\\')) && line.contains(QLatin1String("=hex"))) {
            line.chop(1);
            pending = line;
            continue;
        }
        lines.append(line);
    }
    if (!pending.isEmpty())
        lines.append(pending);
    return lines;
}

bool isKeyPath(const QString &path)
{
    if (!path.startsWith(QLatin1String("HKEY_")))
        return false;
    const QStringList segments = path.split(QLatin1Char('\\'));
    return std::none_of(segments.cbegin(), segments.cend(), [](const QString &s) { return s.isEmpty(); });
}

bool parseRegistryExport(const QByteArray &bytes, QSettings::SettingsMap *map)
{
    if (bytes.isEmpty())
        return true; // a freshly created, still empty hive
    QString text;
    if (!decodeExportText(bytes, &text))
        return false;

    const QStringList lines = logicalLines(text);
    auto line = lines.cbegin();
    while (line != lines.cend() && line->trimmed().isEmpty())
        ++line;
    if (line == lines.cend() || (line->trimmed() != QLatin1String(exportHeader) &&
                                 line->trimmed() != QLatin1String(legacyExportHeader)))
        return false;

    QString section;       // current key path with '/' separators; empty before the first section
    bool skipping = false; // inside a "[-KEY]" deletion section, which describes nothing to keep
    for (++line; line != lines.cend(); ++line) {
        const QString trimmed = line->trimmed();
        if (trimmed.isEmpty() || trimmed.startsWith(QLatin1Char(';')))
            continue;
        if (trimmed.startsWith(QLatin1Char('['))) {
            if (!trimmed.endsWith(QLatin1Char(']')))
                return false;
            QString path = trimmed.mid(1, trimmed.size() - 2);
            skipping = path.startsWith(QLatin1Char('-'));
            if (skipping)
                path.remove(0, 1);
            if (!isKeyPath(path))
                return false;
            section = path.replace(QLatin1Char('\\'), QLatin1Char('/'));
            if (!skipping) {
                // The key exists, values or not, and so does every key above it.
                for (int end = section.indexOf(QLatin1Char('/')); end != -1;
                     end = section.indexOf(QLatin1Char('/'), end + 1))
                    map->insert(section.left(end + 1), QVariant());
                map->insert(section + QLatin1Char('/'), QVariant());
            }
            continue;
        }
        if (section.isEmpty())
            return false;

        QString name;
        int position = 0;
        if (trimmed.startsWith(QLatin1Char('@'))) {
            name = QStringLiteral(".");
            position = 1;
        } else if (!readQuoted(trimmed, position, &name) || name.isEmpty()) {
            return false;
        }
        if (position >= trimmed.size() || trimmed.at(position) != QLatin1Char('='))
            return false;
        QVariant value;
        const DataResult result = readValueData(trimmed.mid(position + 1).trimmed(), &value);
        if (result == DataResult::Invalid)
            return false;
        if (result == DataResult::Value && !skipping)
            map->insert(section + QLatin1Char('/') + name, value);
    }
    return true;
}

bool readRegistryExport(QIODevice &device, QSettings::SettingsMap &map)
{
    return parseRegistryExport(device.readAll(), &map);
}

// --- writing -----------------------------------------------------------------------------------------

QString escaped(QString text)
{
    return text.replace(QLatin1Char('\\'), QLatin1String("\\\\"))
        .replace(QLatin1Char('"'), QLatin1String("\\\""));
}

QByteArray toUtf16Le(const QString &text)
{
    QByteArray bytes;
    bytes.reserve(text.size() * 2);
    for (const QChar c : text) {
        bytes.append(char(c.unicode() & 0xff));
        bytes.append(char(c.unicode() >> 8));
    }
    return bytes;
}

QString hexData(uint type, const QByteArray &bytes)
{
    QString text = type == RegBinary ? QStringLiteral("hex:") : QStringLiteral("hex(%1):").arg(type, 0, 16);
    text += QString::fromLatin1(bytes.toHex(','));
    return text;
}

bool formatValueData(const QVariant &value, QString *data)
{
    switch (value.userType()) {
    case QMetaType::QString: {
        const QString text = value.toString();
        // A quoted string cannot hold line breaks or NULs; the export spells such a string in hex.
        if (text.contains(QLatin1Char('\n')) || text.contains(QLatin1Char('\r')) || text.contains(QChar(0)))
            *data = hexData(RegSz, toUtf16Le(text) + QByteArray(2, '\0'));
        else
            *data = QLatin1Char('"') + escaped(text) + QLatin1Char('"');
        return true;
    }
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::Bool:
        *data = QStringLiteral("dword:%1").arg(quint32(value.toLongLong()), 8, 16, QLatin1Char('0'));
        return true;
    case QMetaType::LongLong:
    case QMetaType::ULongLong: {
        QByteArray bytes(8, '\0');
        qToLittleEndian<quint64>(value.toULongLong(), bytes.data());
        *data = hexData(RegQword, bytes);
        return true;
    }
    case QMetaType::QByteArray:
        *data = hexData(RegBinary, value.toByteArray());
        return true;
    case QMetaType::QStringList: {
        QByteArray bytes;
        for (const QString &item : value.toStringList())
            bytes += toUtf16Le(item) + QByteArray(2, '\0');
        *data = hexData(RegMultiSz, bytes + QByteArray(2, '\0'));
        return true;
    }
    case QMetaType::UnknownType:
        *data = hexData(RegNone, QByteArray());
        return true;
    default:
        if (!value.canConvert<QString>())
            return false;
        *data = QLatin1Char('"') + escaped(value.toString()) + QLatin1Char('"');
        return true;
    }
}

// Keys in the order of a registry export: depth first, children by name regardless of case.
bool keyPathLess(const QStringList &a, const QStringList &b)
{
    const int common = std::min(a.size(), b.size());
    for (int i = 0; i < common; ++i) {
        if (const int c = a.at(i).compare(b.at(i), Qt::CaseInsensitive))
            return c < 0;
        if (const int c = a.at(i).compare(b.at(i), Qt::CaseSensitive))
            return c < 0;
    }
    return a.size() < b.size();
}

bool valueNameLess(const QString &a, const QString &b)
{
    if (a == QLatin1String(".") || b == QLatin1String("."))
        return a == QLatin1String(".") && b != QLatin1String(".");
    const int c = a.compare(b, Qt::CaseInsensitive);
    return c ? c < 0 : a < b;
}

bool writeRegistryExport(QIODevice &device, const QSettings::SettingsMap &map)
{
    using Section = std::vector<std::pair<QString, QString>>; // value name, formatted data
    std::map<QStringList, Section, bool (*)(const QStringList &, const QStringList &)> sections(keyPathLess);
    for (auto it = map.cbegin(); it != map.cend(); ++it) {
        const int slash = it.key().lastIndexOf(QLatin1Char('/'));
        // A value needs a key; the registry has no values beside its root keys.
        if (slash <= 0)
            return false;
        if (slash == it.key().size() - 1) {
            sections[it.key().left(slash).split(QLatin1Char('/'))];
            continue;
        }
        QString data;
        if (!formatValueData(it.value(), &data))
            return false;
        sections[it.key().left(slash).split(QLatin1Char('/'))].emplace_back(it.key().mid(slash + 1), data);
    }

    // Creating a key creates the keys above it, and they stay until they are removed themselves.
    std::vector<QStringList> paths;
    for (const auto &section : sections)
        paths.push_back(section.first);
    for (const QStringList &path : paths) {
        for (int depth = 1; depth < path.size(); ++depth)
            sections[path.mid(0, depth)];
    }

    QString text = QLatin1String(exportHeader) + QLatin1String("\n\n");
    for (auto &[path, values] : sections) {
        std::sort(values.begin(), values.end(),
                  [](const auto &a, const auto &b) { return valueNameLess(a.first, b.first); });
        text += QLatin1Char('[') + path.join(QLatin1Char('\\')) + QLatin1String("]\n");
        for (const auto &[name, data] : values) {
            text += name == QLatin1String(".") ? QStringLiteral("@")
                                               : QLatin1Char('"') + escaped(name) + QLatin1Char('"');
            text += QLatin1Char('=') + data + QLatin1Char('\n');
        }
        text += QLatin1Char('\n');
    }
    const QByteArray bytes = text.toUtf8();
    return device.write(bytes) == bytes.size();
}

QSettings::Format registryExportFormat()
{
    static const QSettings::Format format = QSettings::registerFormat(
        QStringLiteral("reg"), readRegistryExport, writeRegistryExport, Qt::CaseSensitive);
    return format;
}

QString hivePath()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
           QLatin1String("/Ostrel/registry.reg");
}

// QSettings would overwrite a hive it cannot read at its next save. Keep the unreadable file for a person
// to recover from, under the lock QSettings itself takes for saving, so that a run that has just written a
// good hive is not mistaken for a damaged one.
void keepDamagedHiveAside(const QString &path)
{
    QLockFile lock(path + QLatin1String(".lock"));
    if (!lock.tryLock(30000))
        return;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return;
    QSettings::SettingsMap ignored;
    if (parseRegistryExport(file.readAll(), &ignored))
        return;
    file.close();
    const QString stamp = QDateTime::currentDateTimeUtc().toString(QStringLiteral("yyyyMMdd-HHmmsszzz"));
    QString target = path + QLatin1String(".damaged-") + stamp;
    for (int n = 2; QFileInfo::exists(target); ++n)
        target = path + QLatin1String(".damaged-") + stamp + QLatin1Char('-') + QString::number(n);
    QFile::rename(path, target);
}

} // namespace

namespace Platform {

std::unique_ptr<QSettings> openRegistryKey(const QString &nativeKeyPath)
{
    const QString path = hivePath();
    auto settings = std::make_unique<QSettings>(path, registryExportFormat());
    if (settings->status() == QSettings::FormatError) {
        settings.reset();
        keepDamagedHiveAside(path);
        settings = std::make_unique<QSettings>(path, registryExportFormat());
    }
    settings->beginGroup(QString(nativeKeyPath).replace(QLatin1Char('\\'), QLatin1Char('/')));
    return settings;
}

} // namespace Platform
