// Writing the settings map as a registry export (registryexport.h). The map is sorted, so the tree of keys
// is gathered in one pass over it and then written depth first.

#include "registryexport.h"
#include "registryvalue.h"

#include <QVariant>
#include <QtEndian>

#include <algorithm>
#include <vector>

namespace {

using Platform::RegistryMapLiteral;
using Platform::RegistryMapSlash;
using Platform::RegistryValue;

// A key or value name as the export spells it, from the map's spelling.
QString nameFromMap(const QStringRef &mapName)
{
    if (!mapName.contains(RegistryMapSlash) && !mapName.contains(RegistryMapLiteral))
        return mapName.toString();
    QString name;
    name.reserve(mapName.size());
    for (int i = 0; i < mapName.size(); ++i) {
        const QChar c = mapName.at(i);
        if (c == RegistryMapLiteral && i + 1 < mapName.size())
            name += mapName.at(++i);
        else
            name += c == RegistryMapSlash ? QChar(QLatin1Char('/')) : c;
    }
    return name;
}

void appendEscaped(QString &out, const QString &text)
{
    for (const QChar c : text) {
        if (c == QLatin1Char('\\') || c == QLatin1Char('"'))
            out += QLatin1Char('\\');
        out += c;
    }
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

// A quoted string cannot hold line breaks or NULs; the export spells such a string in hex.
void appendString(QString &out, int lineStart, const QString &text)
{
    if (text.contains(QLatin1Char('\n')) || text.contains(QLatin1Char('\r')) || text.contains(QChar(0)))
        appendHexData(out, lineStart, RegistryValue::String, false,
                      Platform::utf16LeBytes(text) + QByteArray(2, '\0'));
    else
        appendQuoted(out, text);
}

// REG_MULTI_SZ: each string with its NUL, and one more NUL after the last.
QByteArray multiStringBytes(const QStringList &strings)
{
    QByteArray bytes;
    for (const QString &item : strings)
        bytes += Platform::utf16LeBytes(item) + QByteArray(2, '\0');
    return bytes + QByteArray(2, '\0');
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
    case QMetaType::QString:
        appendString(out, lineStart, value.toString());
        return true;
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
    case QMetaType::QStringList:
        appendHexData(out, lineStart, RegistryValue::MultiString, false,
                      multiStringBytes(value.toStringList()));
        return true;
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

} // namespace

namespace Platform {

bool writeRegistryExport(const QSettings::SettingsMap &map, QByteArray *bytes)
{
    std::vector<KeyNode> nodes;
    if (!buildKeyTree(map, &nodes))
        return false;

    QString text = QLatin1String(RegistryExportHeader) + QLatin1String("\n\n");
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
    *bytes = text.toUtf8();
    return true;
}

} // namespace Platform
