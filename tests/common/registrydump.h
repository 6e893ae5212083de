#ifndef OSTREL_TESTS_REGISTRYDUMP_H
#define OSTREL_TESTS_REGISTRYDUMP_H

// What the Linux registry stand-in holds, in terms of the registry itself: every key, and every value with
// its registry type and data bytes, read through Platform::openRegistryKey as the program reads it (or from
// the settings map that the registry-export format reads). A value's type and bytes follow from the
// QVariant the stand-in gives: a QString is REG_SZ (UTF-16LE with its terminating NUL), an int REG_DWORD,
// a QByteArray REG_BINARY, a Platform::RegistryValue what it says.

#include "exporttext.h"
#include "platform.h"
#include "registrykey.h"
#include "registryvalue.h"

#include <QByteArray>
#include <QSettings>
#include <QString>
#include <QStringList>
#include <QVariant>
#include <QtEndian>

#include <algorithm>

namespace RegistryDump {

// "hex(2):25,00" for any value: the type and the bytes, as one comparable string.
inline QString typedBytes(quint32 type, const QByteArray &bytes)
{
    return QStringLiteral("hex(%1):").arg(type, 0, 16) + QString::fromLatin1(bytes.toHex(','));
}

// REG_SZ data of a text (or of another string type): UTF-16LE and a terminating NUL.
inline QString stringValue(const QString &text, quint32 type = Platform::RegistryValue::String)
{
    return typedBytes(type, ExportText::utf16LittleEndian(text) + QByteArray(2, '\0'));
}

inline QString describe(const QVariant &value)
{
    switch (value.userType()) {
    case QMetaType::QString:
        return stringValue(value.toString());
    case QMetaType::Int: {
        QByteArray bytes(4, '\0');
        qToLittleEndian<quint32>(quint32(value.toInt()), bytes.data());
        return typedBytes(Platform::RegistryValue::Dword, bytes);
    }
    case QMetaType::QByteArray:
        return typedBytes(Platform::RegistryValue::Binary, value.toByteArray());
    default:
        if (value.userType() == qMetaTypeId<Platform::RegistryValue>()) {
            const auto stored = value.value<Platform::RegistryValue>();
            return typedBytes(stored.type, stored.data);
        }
        return QStringLiteral("unexpected %1").arg(QLatin1String(value.typeName()));
    }
}

inline void dumpGroup(QSettings &settings, const QString &path, QStringList *lines)
{
    if (!path.isEmpty())
        lines->append(path);
    for (const QString &name : settings.childKeys()) {
        // The stand-in's entry that keeps a key alive without values lists as a value of no name.
        if (name.isEmpty())
            continue;
        lines->append(path + QLatin1Char('|') + name + QLatin1Char('|') + describe(settings.value(name)));
    }
    for (const QString &child : settings.childGroups()) {
        settings.beginGroup(child);
        dumpGroup(settings, path.isEmpty() ? child : path + QLatin1Char('\\') + child, lines);
        settings.endGroup();
    }
}

// One line per key ("HKEY_CURRENT_USER\A\B") and per value ("HKEY_CURRENT_USER\A\B|name|hex(N):bytes",
// "." for the default value), sorted. Names are those QSettings callers see.
inline QStringList hive()
{
    QStringList lines;
    const auto root = Platform::openRegistryKey(QString());
    dumpGroup(root->settings(), QString(), &lines);
    std::sort(lines.begin(), lines.end());
    return lines;
}

// The same lines for a settings map as the registry-export format reads it (registryexport.h), before
// QSettings holds it: an entry whose name ends in '/' is a key, every other entry a value.
inline QStringList ofMap(const QSettings::SettingsMap &map)
{
    QStringList lines;
    for (auto it = map.cbegin(); it != map.cend(); ++it) {
        const int slash = it.key().lastIndexOf(QLatin1Char('/'));
        const QString path = it.key().left(slash).replace(QLatin1Char('/'), QLatin1Char('\\'));
        const QString name = it.key().mid(slash + 1);
        lines.append(
            name.isEmpty() ? path : path + QLatin1Char('|') + name + QLatin1Char('|') + describe(it.value()));
    }
    std::sort(lines.begin(), lines.end());
    return lines;
}

// The entries of an export's text (a section line, or a value's line with the lines that continue it) that
// the written text does not spell the same way; empty when every key and value came back as written.
inline QStringList entriesNotSpelledAsIn(const QString &exportText, const QByteArray &written)
{
    const QString text = QLatin1Char('\n') + QString::fromUtf8(written);
    QStringList missing;
    QString entry;
    for (const QString &line : exportText.split(QLatin1Char('\n'))) {
        entry += line;
        if (line.endsWith(QLatin1Char('\\'))) {
            entry += QLatin1Char('\n');
            continue;
        }
        if (!entry.isEmpty() && !text.contains(QLatin1Char('\n') + entry + QLatin1Char('\n')))
            missing.append(entry);
        entry.clear();
    }
    return missing;
}

} // namespace RegistryDump

#endif
