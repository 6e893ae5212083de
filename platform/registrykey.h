#ifndef OSTREL_PLATFORM_REGISTRYKEY_H
#define OSTREL_PLATFORM_REGISTRYKEY_H

#include <QSettings>
#include <QStringList>
#include <QVariant>

#include <memory>

namespace Platform {

// A registry key opened by Platform::openRegistryKey: QSettings on the key, whose value names and child key
// names compare without regard to letter case, as the registry compares them. "." is the key's default
// value; a name may be a path below the key ("Command/."). A name that exists in another spelling is that
// value or key: setValue() changes it and keeps its spelling, remove() takes it.
//
// On the native registry QSettings passes names to the registry, which compares them so itself. On a file
// (the Linux stand-in) QSettings compares with case, whatever the format asks for, so the key looks up the
// spelling it holds before it hands a name on.
class RegistryKey
{
public:
    // How the settings object compares names by itself.
    enum class Names { ComparedByTheStore, ComparedWithCase };

    RegistryKey(std::unique_ptr<QSettings> settings, Names names)
        : m_settings(std::move(settings))
        , m_names(names)
    {}

    QVariant value(const QString &name) const;
    void setValue(const QString &name, const QVariant &value);
    bool contains(const QString &name) const;
    // A value of that name, and a child key of that name with everything beneath it.
    void remove(const QString &name);

    QStringList childKeys() const;
    QStringList childGroups() const;
    QSettings::Status status() const;
    void sync();

    // The settings object beneath, for walking the whole key as QSettings lists it (names as stored,
    // compared with case).
    QSettings &settings() const;

private:
    enum class Kind { Value, Key };
    QStringList spellings(const QString &name, Kind kind) const;
    QString spelling(const QString &name, Kind kind) const;

    std::unique_ptr<QSettings> m_settings;
    Names m_names;
};

} // namespace Platform

#endif
