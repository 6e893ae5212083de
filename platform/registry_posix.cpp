// The registry stand-in: one hive kept as the text of a Windows registry export, so that a person can read
// it and a test can set it beside a "reg export" taken on Windows. QSettings hosts it through a custom
// format, which brings the same calls as the native registry ("." for a key's default value, remove() of a
// child key with its subtree) together with QSettings' own lock file and atomic save.
//
// QSettings reads the whole hive when it opens it and writes the whole hive at every change, so everything
// in it that the program did not set itself must come back exactly as it was read: other programs' values
// keep their registry type and bytes (see registryvalue.h), and every step costs time in step with the
// size of the hive (a deep key's path is in the text once for every key beneath it, so that size grows
// with the square of the depth; the steps grow with the text, not faster).
//
// A key is kept in the settings map as an entry whose name ends in '/' (an empty last segment, which no
// QSettings caller can write or read; childKeys() lists it as a value without a name), so that keys
// without values survive a read and a write, as they do in the registry; removing a key removes that
// entry with everything else beneath it. Within one process QSettings keeps the map it last wrote for as
// long as the file stays unchanged, and in that map a key created by writing a value has no such entry
// until the file is read again: emptied again by a removal in the same process, it would go with its last
// value (the program only removes before it writes).

#include "platform.h"
#include "registryvalue.h"

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
#include <vector>

namespace {

using Platform::RegistryValue;

const char exportHeader[] = "Windows Registry Editor Version 5.00";
const char legacyExportHeader[] = "REGEDIT4";

// --- names in the settings map -----------------------------------------------------------------------
//
// QSettings separates keys with '/', which registry key and value names may hold ("image/png" under
// Classes\MIME). In the map such a slash is the noncharacter U+FDD0; U+FDD1 makes the character after it
// literal, for the rare name that holds either noncharacter or a value named "." (which would otherwise
// be the default value). Names without these characters are the same in the map as in the hive.

const QChar mapSlash(0xfdd0);
const QChar mapLiteral(0xfdd1);

// Writes one character of a registry name as the map spells it; returns the position after it.
QChar *putMapChar(QChar c, QChar *out)
{
    if (c == QLatin1Char('/')) {
        *out++ = mapSlash;
        return out;
    }
    if (c == mapSlash || c == mapLiteral)
        *out++ = mapLiteral;
    *out++ = c;
    return out;
}

QString valueNameInMap(const QString &name)
{
    QString mapName(name.size() * 2 + 1, Qt::Uninitialized);
    QChar *out = mapName.data();
    if (name == QLatin1String("."))
        *out++ = mapLiteral;
    for (const QChar c : name)
        out = putMapChar(c, out);
    mapName.truncate(int(out - mapName.constData()));
    return mapName;
}

QString nameFromMap(const QStringRef &mapName)
{
    if (!mapName.contains(mapSlash) && !mapName.contains(mapLiteral))
        return mapName.toString();
    QString name;
    name.reserve(mapName.size());
    for (int i = 0; i < mapName.size(); ++i) {
        const QChar c = mapName.at(i);
        if (c == mapLiteral && i + 1 < mapName.size())
            name += mapName.at(++i);
        else
            name += c == mapSlash ? QChar(QLatin1Char('/')) : c;
    }
    return name;
}

// --- reading -----------------------------------------------------------------------------------------

// After the byte-order mark.
QString decodeUtf16(const QByteArray &bytes, bool littleEndian, bool *ok)
{
    *ok = bytes.size() % 2 == 0;
    if (!*ok)
        return QString();
    QString text(bytes.size() / 2 - 1, Qt::Uninitialized);
    const uchar *in = reinterpret_cast<const uchar *>(bytes.constData()) + 2;
    ushort *out = reinterpret_cast<ushort *>(text.data());
    for (int i = 0; i < text.size(); ++i, in += 2)
        out[i] = littleEndian ? ushort(in[0] | in[1] << 8) : ushort(in[1] | in[0] << 8);
    return text;
}

// Windows writes exports as UTF-16LE with a byte-order mark; hand-made files are usually UTF-8.
bool decodeExportText(const QByteArray &bytes, QString *text)
{
    bool ok = true;
    if (bytes.startsWith("\xff\xfe")) {
        *text = decodeUtf16(bytes, true, &ok);
    } else if (bytes.startsWith("\xfe\xff")) {
        *text = decodeUtf16(bytes, false, &ok);
    } else {
        const int offset = bytes.startsWith("\xef\xbb\xbf") ? 3 : 0;
        QTextCodec::ConverterState state;
        *text = QTextCodec::codecForName("UTF-8")->toUnicode(bytes.constData() + offset,
                                                             bytes.size() - offset, &state);
        ok = state.invalidChars == 0 && state.remainingChars == 0;
    }
    return ok && !text->contains(QChar(0));
}

// The physical lines of the text, without their line ends (LF or CR LF).
class LineReader
{
public:
    explicit LineReader(const QString &text)
        : m_text(text)
    {}

    bool next(QStringRef *line)
    {
        if (m_position > m_text.size())
            return false;
        int end = m_text.indexOf(QLatin1Char('\n'), m_position);
        if (end < 0)
            end = m_text.size();
        *line = m_text.midRef(m_position, end - m_position);
        if (line->endsWith(QLatin1Char('\r')))
            line->chop(1);
        m_position = end + 1;
        return true;
    }

private:
    const QString &m_text;
    int m_position = 0;
};

// Reads a quoted name or string starting at `position` (on the opening quote); leaves `position` after
// the closing quote. The export escapes only backslash and double quote, each with a backslash.
bool readQuoted(const QStringRef &line, int &position, QString *result)
{
    if (position >= line.size() || line.at(position) != QLatin1Char('"'))
        return false;
    result->clear();
    int runStart = ++position; // characters since the last escape, appended in one piece
    for (; position < line.size(); ++position) {
        const QChar c = line.at(position);
        if (c == QLatin1Char('"')) {
            result->append(line.mid(runStart, position - runStart));
            ++position;
            return true;
        }
        if (c == QLatin1Char('\\')) {
            result->append(line.mid(runStart, position - runStart));
            if (++position == line.size())
                return false;
            runStart = position; // the escaped character starts the next run
        }
    }
    return false;
}

int hexDigit(QChar c)
{
    const ushort u = c.unicode();
    if (u >= '0' && u <= '9')
        return u - '0';
    if (u >= 'a' && u <= 'f')
        return u - 'a' + 10;
    if (u >= 'A' && u <= 'F')
        return u - 'A' + 10;
    return -1;
}

// One to `maxDigits` hex digits and nothing else.
bool readHexNumber(const QStringRef &text, int maxDigits, quint32 *number)
{
    if (text.isEmpty() || text.size() > maxDigits)
        return false;
    *number = 0;
    for (const QChar c : text) {
        const int digit = hexDigit(c);
        if (digit < 0)
            return false;
        *number = *number << 4 | quint32(digit);
    }
    return true;
}

// "01,ab, ff": bytes of one or two hex digits separated by commas; nothing at all is no bytes.
bool readHexBytes(const QStringRef &text, QByteArray *bytes)
{
    bytes->clear();
    if (text.trimmed().isEmpty())
        return true;
    bytes->resize(text.size() / 2 + 1); // at least one character per byte and one per comma
    char *out = bytes->data();
    const QChar *c = text.constData();
    const QChar *const end = c + text.size();
    for (;;) {
        while (c != end && c->isSpace())
            ++c;
        int byte = 0;
        int digits = 0;
        for (int digit; c != end && (digit = hexDigit(*c)) >= 0; ++c, ++digits)
            byte = byte << 4 | digit;
        if (digits == 0 || digits > 2)
            return false;
        *out++ = char(byte);
        while (c != end && c->isSpace())
            ++c;
        if (c == end) {
            bytes->truncate(int(out - bytes->constData()));
            return true;
        }
        if (*c++ != QLatin1Char(','))
            return false;
    }
}

enum class DataResult { Value, Deletion, Invalid };

// `data` is what follows '=' on the value's line; `lines` gives the continuation lines of hex data.
DataResult readValueData(const QStringRef &data, LineReader &lines, QVariant *value)
{
    if (data == QLatin1String("-"))
        return DataResult::Deletion;
    if (data.startsWith(QLatin1Char('"'))) {
        int position = 0;
        QString text;
        if (!readQuoted(data, position, &text) || !data.mid(position).trimmed().isEmpty())
            return DataResult::Invalid;
        *value = text;
        return DataResult::Value;
    }
    if (data.startsWith(QLatin1String("dword:"))) {
        quint32 number = 0;
        if (!readHexNumber(data.mid(6).trimmed(), 8, &number))
            return DataResult::Invalid;
        *value = int(number);
        return DataResult::Value;
    }

    bool binary = false; // "hex:", REG_BINARY in its usual spelling
    quint32 type = RegistryValue::Binary;
    int bytesStart = -1;
    if (data.startsWith(QLatin1String("hex:"))) {
        binary = true;
        bytesStart = 4;
    } else if (data.startsWith(QLatin1String("hex("))) {
        const int close = data.indexOf(QLatin1String("):"));
        if (close < 0 || !readHexNumber(data.mid(4, close - 4), 8, &type))
            return DataResult::Invalid;
        bytesStart = close + 2;
    } else {
        return DataResult::Invalid;
    }

    // Long hex data runs on over lines that end in a backslash; the continuation lines are indented.
    QStringRef bytesText = data.mid(bytesStart);
    QString joined;
    if (bytesText.trimmed().endsWith(QLatin1Char('\\'))) {
        QStringRef part = bytesText.trimmed();
        for (;;) {
            const bool continued = part.endsWith(QLatin1Char('\\'));
            joined += continued ? part.left(part.size() - 1) : part;
            QStringRef line;
            if (!continued || !lines.next(&line))
                break;
            part = line.trimmed();
        }
        bytesText = QStringRef(&joined);
    }
    QByteArray bytes;
    if (!readHexBytes(bytesText, &bytes))
        return DataResult::Invalid;
    if (binary)
        *value = bytes;
    else
        *value = QVariant::fromValue(RegistryValue{type, bytes});
    return DataResult::Value;
}

// "HKEY_...\A\B" as the map spells it ("HKEY_.../A/B"); false for a path with an empty segment.
bool keyPathInMap(const QStringRef &path, QString *mapPath)
{
    if (!path.startsWith(QLatin1String("HKEY_")))
        return false;
    mapPath->resize(path.size() * 2); // room for a map name's escapes
    QChar *out = mapPath->data();
    QChar previous = QLatin1Char('\\'); // so that an empty first name is caught like any other
    for (const QChar c : path) {
        if (c == QLatin1Char('\\')) {
            if (previous == QLatin1Char('\\'))
                return false;
            *out++ = QLatin1Char('/');
        } else {
            out = putMapChar(c, out);
        }
        previous = c;
    }
    mapPath->truncate(int(out - mapPath->constData()));
    return previous != QLatin1Char('\\');
}

// The key exists, values or not, and so does every key above it. A key already in the map had its
// ancestors entered with it, so the walk upwards stops at the first one found: each key is entered once.
void enterKey(const QString &mapPath, QSettings::SettingsMap *map)
{
    QString marker = mapPath + QLatin1Char('/');
    for (int end = marker.size() - 1; end > 0; end = marker.lastIndexOf(QLatin1Char('/'), end - 1)) {
        marker.truncate(end + 1);
        // One search serves both the look-up and the insertion (deep keys make every comparison long).
        const auto at = map->lowerBound(marker);
        if (at != map->end() && at.key() == marker)
            return;
        map->insert(at, marker, QVariant());
    }
}

bool parseRegistryExport(const QByteArray &bytes, QSettings::SettingsMap *map)
{
    if (bytes.isEmpty())
        return true; // a freshly created, still empty hive
    QString text;
    if (!decodeExportText(bytes, &text))
        return false;

    LineReader lines(text);
    QStringRef line;
    while (lines.next(&line) && line.trimmed().isEmpty()) {
    }
    if (line.trimmed() != QLatin1String(exportHeader) && line.trimmed() != QLatin1String(legacyExportHeader))
        return false;

    QString section;       // current key path as the map spells it; empty before the first section
    bool skipping = false; // inside a "[-KEY]" deletion section, which describes nothing to keep
    QString name;
    while (lines.next(&line)) {
        const QStringRef trimmed = line.trimmed();
        if (trimmed.isEmpty() || trimmed.startsWith(QLatin1Char(';')))
            continue;
        if (trimmed.startsWith(QLatin1Char('['))) {
            if (!trimmed.endsWith(QLatin1Char(']')))
                return false;
            QStringRef path = trimmed.mid(1, trimmed.size() - 2);
            skipping = path.startsWith(QLatin1Char('-'));
            if (skipping)
                path = path.mid(1);
            if (!keyPathInMap(path, &section))
                return false;
            if (!skipping)
                enterKey(section, map);
            continue;
        }
        if (section.isEmpty())
            return false;

        int position = 0;
        bool isDefault = false;
        if (trimmed.startsWith(QLatin1Char('@'))) {
            isDefault = true;
            position = 1;
        } else if (!readQuoted(trimmed, position, &name) || name.isEmpty()) {
            return false;
        }
        if (position >= trimmed.size() || trimmed.at(position) != QLatin1Char('='))
            return false;
        QVariant value;
        const DataResult result = readValueData(trimmed.mid(position + 1).trimmed(), lines, &value);
        if (result == DataResult::Invalid)
            return false;
        if (result == DataResult::Value && !skipping)
            map->insert(section + QLatin1Char('/') + (isDefault ? QStringLiteral(".") : valueNameInMap(name)),
                        value);
    }
    return true;
}

bool readRegistryExport(QIODevice &device, QSettings::SettingsMap &map)
{
    return parseRegistryExport(device.readAll(), &map);
}

// --- writing -----------------------------------------------------------------------------------------

void appendEscaped(QString &out, const QString &text)
{
    for (const QChar c : text) {
        if (c == QLatin1Char('\\') || c == QLatin1Char('"'))
            out += QLatin1Char('\\');
        out += c;
    }
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

// Hex data wrapped as an export wraps it: lines of at most 80 columns that break after a comma and end in
// a backslash, continued on lines indented by two spaces. `lineStart` is where the value's line begins.
void appendHexData(QString &out, int lineStart, quint32 type, bool binary, const QByteArray &bytes)
{
    static const char digits[] = "0123456789abcdef";
    if (binary)
        out += QLatin1String("hex:");
    else
        out += QLatin1String("hex(") + QString::number(type, 16) + QLatin1String("):");
    char line[96]; // the bytes of the current line, then appended at once
    int used = 0;
    for (int i = 0; i < bytes.size(); ++i) {
        const bool last = i + 1 == bytes.size();
        // "xx" at the end of the data; else "xx," and room for the backslash of a break after it.
        if (i > 0 && out.size() + used - lineStart + (last ? 2 : 4) > 80) {
            out += QLatin1String(line, used);
            out += QLatin1String("\\\n  ");
            lineStart = out.size() - 2;
            used = 0;
        }
        const uchar byte = uchar(bytes.at(i));
        line[used++] = digits[byte >> 4];
        line[used++] = digits[byte & 0xf];
        if (!last)
            line[used++] = ',';
    }
    out += QLatin1String(line, used);
}

void appendQuoted(QString &out, const QString &text)
{
    out += QLatin1Char('"');
    appendEscaped(out, text);
    out += QLatin1Char('"');
}

bool appendValueData(QString &out, int lineStart, const QVariant &value)
{
    const int type = value.userType();
    if (type == qMetaTypeId<RegistryValue>()) {
        const RegistryValue &stored = *static_cast<const RegistryValue *>(value.constData());
        appendHexData(out, lineStart, stored.type, false, stored.data);
        return true;
    }
    switch (type) {
    case QMetaType::QString: {
        const QString text = value.toString();
        // A quoted string cannot hold line breaks or NULs; the export spells such a string in hex.
        if (text.contains(QLatin1Char('\n')) || text.contains(QLatin1Char('\r')) || text.contains(QChar(0)))
            appendHexData(out, lineStart, RegistryValue::String, false,
                          toUtf16Le(text) + QByteArray(2, '\0'));
        else
            appendQuoted(out, text);
        return true;
    }
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::Bool:
        out += QStringLiteral("dword:%1").arg(quint32(value.toLongLong()), 8, 16, QLatin1Char('0'));
        return true;
    case QMetaType::LongLong:
    case QMetaType::ULongLong: {
        QByteArray bytes(8, '\0');
        qToLittleEndian<quint64>(value.toULongLong(), bytes.data());
        appendHexData(out, lineStart, RegistryValue::Qword, false, bytes);
        return true;
    }
    case QMetaType::QByteArray:
        appendHexData(out, lineStart, RegistryValue::Binary, true, value.toByteArray());
        return true;
    case QMetaType::QStringList: {
        QByteArray bytes;
        for (const QString &item : value.toStringList())
            bytes += toUtf16Le(item) + QByteArray(2, '\0');
        appendHexData(out, lineStart, RegistryValue::MultiString, false, bytes + QByteArray(2, '\0'));
        return true;
    }
    case QMetaType::UnknownType:
        appendHexData(out, lineStart, RegistryValue::None, false, QByteArray());
        return true;
    default:
        if (!value.canConvert<QString>())
            return false;
        appendQuoted(out, value.toString());
        return true;
    }
}

// Children and values in the order of a registry export: by name regardless of case (then with case, so
// that the order is the same at every write); the default value first.
bool nameLess(const QString &a, const QString &b)
{
    const int c = a.compare(b, Qt::CaseInsensitive);
    return c ? c < 0 : a < b;
}

// One key of the hive while it is written.
struct KeyNode
{
    QString name; // as in the hive
    std::vector<int> children;
    std::vector<std::pair<QString, const QVariant *>> values; // name as in the hive, empty: the default
};

// Gathers the map into a tree of keys in one pass. The map is sorted, so every key's entries (its values
// and everything beneath it) follow one another: the keys along the previous entry's path stay open as far
// as the two entries' names agree, and only the rest of this entry's path is new. Keys above a key exist
// with it, as in the registry, entries or not.
bool buildKeyTree(const QSettings::SettingsMap &map, std::vector<KeyNode> *nodes)
{
    nodes->assign(1, KeyNode());  // above the root keys
    std::vector<int> openPath{0}; // the keys along the previous entry's path, by depth
    std::vector<int> nameEnds;    // where their names end in the previous entry's name (at a '/')
    const QString *previous = nullptr;
    for (auto it = map.cbegin(); it != map.cend(); ++it) {
        const QString &key = it.key();
        const int slash = key.lastIndexOf(QLatin1Char('/'));
        // A value needs a key; the registry has no values beside its root keys.
        if (slash <= 0)
            return false;

        int common = 0;
        if (previous) {
            const int limit = std::min(previous->size(), slash + 1);
            const QChar *a = key.constData();
            const QChar *b = previous->constData();
            while (common < limit && a[common] == b[common])
                ++common;
        }
        size_t shared = 0;
        while (shared < nameEnds.size() && nameEnds[shared] < common)
            ++shared;
        openPath.resize(shared + 1);
        nameEnds.resize(shared);
        for (int start = shared ? nameEnds.back() + 1 : 0; start <= slash;) {
            const int end = key.indexOf(QLatin1Char('/'), start);
            if (end == start)
                return false; // a key without a name
            const int node = int(nodes->size());
            nodes->push_back(KeyNode{nameFromMap(key.midRef(start, end - start)), {}, {}});
            (*nodes)[size_t(openPath.back())].children.push_back(node);
            openPath.push_back(node);
            nameEnds.push_back(end);
            start = end + 1;
        }

        const QStringRef valueName = key.midRef(slash + 1);
        if (!valueName.isEmpty()) {
            (*nodes)[size_t(openPath.back())].values.emplace_back(
                valueName == QLatin1String(".") ? QString() : nameFromMap(valueName), &it.value());
        }
        previous = &key;
    }
    return true;
}

bool writeRegistryExport(QIODevice &device, const QSettings::SettingsMap &map)
{
    std::vector<KeyNode> nodes;
    if (!buildKeyTree(map, &nodes))
        return false;

    QString text = QLatin1String(exportHeader) + QLatin1String("\n\n");
    QString path;
    // Depth first without recursion (keys may nest hundreds deep): each entry is a key to write and the
    // length of its parent's path, which the path buffer still starts with when the key's turn comes.
    std::vector<std::pair<int, int>> pending;
    const auto pushChildren = [&](KeyNode &node, int pathLength) {
        std::sort(node.children.begin(), node.children.end(),
                  [&](int a, int b) { return nameLess(nodes[size_t(a)].name, nodes[size_t(b)].name); });
        for (auto child = node.children.rbegin(); child != node.children.rend(); ++child)
            pending.emplace_back(*child, pathLength);
    };
    pushChildren(nodes[0], 0);
    while (!pending.empty()) {
        const auto [index, parentLength] = pending.back();
        pending.pop_back();
        KeyNode &node = nodes[size_t(index)];
        path.truncate(parentLength);
        if (parentLength > 0)
            path += QLatin1Char('\\');
        path += node.name;
        text += QLatin1Char('[') + path + QLatin1String("]\n");

        // The default value, with its empty name, comes first.
        std::sort(node.values.begin(), node.values.end(),
                  [](const auto &a, const auto &b) { return nameLess(a.first, b.first); });
        for (const auto &[name, value] : node.values) {
            const int lineStart = text.size();
            if (name.isEmpty())
                text += QLatin1Char('@');
            else
                appendQuoted(text, name);
            text += QLatin1Char('=');
            if (!appendValueData(text, lineStart, *value))
                return false;
            text += QLatin1Char('\n');
        }
        text += QLatin1Char('\n');
        pushChildren(node, path.size());
    }
    const QByteArray bytes = text.toUtf8();
    return device.write(bytes) == bytes.size();
}

// --- the hive file -----------------------------------------------------------------------------------

QSettings::Format registryExportFormat()
{
    static const QSettings::Format format = [] {
        Platform::registerRegistryValueConversions();
        return QSettings::registerFormat(QStringLiteral("reg"), readRegistryExport, writeRegistryExport,
                                         Qt::CaseSensitive);
    }();
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
