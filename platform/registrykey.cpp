#include "registrykey.h"

#include <algorithm>

namespace Platform {

// Every spelling under which the key holds `name` as a value or as a child key: the names on the path are
// looked up one level at a time, each the first child that equals it without regard to letter case.
QStringList RegistryKey::spellings(const QString &name, Kind kind) const
{
    if (m_names == Names::ComparedByTheStore)
        return {name};
    const QStringList path = name.split(QLatin1Char('/'));
    QStringList spelledPath;
    for (int i = 0; i + 1 < path.size(); ++i) {
        const QStringList children = m_settings->childGroups();
        const auto match = std::find_if(children.cbegin(), children.cend(), [&](const QString &child) {
            return child.compare(path.at(i), Qt::CaseInsensitive) == 0;
        });
        if (match == children.cend())
            break;
        spelledPath << *match;
        m_settings->beginGroup(*match);
    }
    QStringList found;
    if (spelledPath.size() == path.size() - 1) {
        const QStringList children =
            kind == Kind::Value ? m_settings->childKeys() : m_settings->childGroups();
        for (const QString &child : children) {
            if (child.compare(path.last(), Qt::CaseInsensitive) == 0)
                found << QStringList(spelledPath + QStringList{child}).join(QLatin1Char('/'));
        }
    }
    for (int i = 0; i < spelledPath.size(); ++i)
        m_settings->endGroup();
    return found;
}

QString RegistryKey::spelling(const QString &name, Kind kind) const
{
    const QStringList found = spellings(name, kind);
    return found.isEmpty() ? name : found.first();
}

QVariant RegistryKey::value(const QString &name) const
{
    return m_settings->value(spelling(name, Kind::Value));
}

void RegistryKey::setValue(const QString &name, const QVariant &value)
{
    m_settings->setValue(spelling(name, Kind::Value), value);
}

bool RegistryKey::contains(const QString &name) const
{
    return m_settings->contains(spelling(name, Kind::Value));
}

void RegistryKey::remove(const QString &name)
{
    if (m_names == Names::ComparedByTheStore) {
        m_settings->remove(name);
        return;
    }
    for (const QString &spelled : spellings(name, Kind::Value) + spellings(name, Kind::Key))
        m_settings->remove(spelled);
}

QStringList RegistryKey::childKeys() const
{
    return m_settings->childKeys();
}

QStringList RegistryKey::childGroups() const
{
    return m_settings->childGroups();
}

QSettings::Status RegistryKey::status() const
{
    return m_settings->status();
}

void RegistryKey::sync()
{
    m_settings->sync();
}

QSettings &RegistryKey::settings() const
{
    return *m_settings;
}

} // namespace Platform
