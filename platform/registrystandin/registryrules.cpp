#include "registryrules.h"

#include <QHash>
#include <QSet>

namespace {

const char ClassesRoot[] = "HKEY_CLASSES_ROOT";
const char MachineRoot[] = "HKEY_LOCAL_MACHINE";
const char *const UserClasses[] = {"HKEY_CURRENT_USER", "Software", "Classes"};
const char *const MachineClasses[] = {"HKEY_LOCAL_MACHINE", "SOFTWARE", "Classes"}; // as Windows spells them

bool isRoot(const QString &name, const char *root)
{
    return name.compare(QLatin1String(root), Qt::CaseInsensitive) == 0;
}

QStringList names(const char *const (&path)[3], const QStringList &below = {})
{
    return QStringList{QLatin1String(path[0]), QLatin1String(path[1]), QLatin1String(path[2])} + below;
}

QString legacyClassesPrefix()
{
    return QLatin1String(ClassesRoot) + QLatin1Char('/');
}

QString machineClassesPrefix()
{
    return names(MachineClasses).join(QLatin1Char('/')) + QLatin1Char('/');
}

// Most hives have no two spellings of one name and nothing under HKEY_CLASSES_ROOT itself: then the map
// can stay as it is, which saves building it again. Every key has its own entry (registryexport.h), so two
// spellings of a key show as two entries folded alike.
bool holdsAsRegistryDoes(const QSettings::SettingsMap &parsed)
{
    const QString legacyPrefix = legacyClassesPrefix();
    QSet<QString> folded;
    folded.reserve(parsed.size());
    for (auto it = parsed.cbegin(); it != parsed.cend(); ++it) {
        const int size = folded.size();
        folded.insert(it.key().toCaseFolded());
        if (folded.size() == size || it.key().startsWith(legacyPrefix, Qt::CaseInsensitive))
            return false;
    }
    return true;
}

// Builds the map as the registry holds it, one entry at a time: a key or value whose name differs from one
// entered before only in letter case is that one, spelled as it was first.
class RegistryMapBuilder
{
public:
    // Enters a value, and every key above it that is not there yet; a name ending in '/' is a key alone. A
    // value that is there already takes the new one only when `replace`.
    void enter(const QString &name, const QVariant &value, bool replace);
    QSettings::SettingsMap take() { return std::move(m_map); }

private:
    QString keyPath(const QString &path);

    QSettings::SettingsMap m_map;
    QHash<QString, QString> m_keySpelling; // key path with letter case folded -> as spelled in the map
    QHash<QString, QString> m_valueSpelling;
};

void RegistryMapBuilder::enter(const QString &name, const QVariant &value, bool replace)
{
    const int slash = name.lastIndexOf(QLatin1Char('/'));
    if (slash <= 0) {
        m_map.insert(name, value); // not a registry entry; the writer refuses it
        return;
    }
    const QString key = keyPath(name.left(slash));
    if (slash == name.size() - 1)
        return;
    const QString full = key + name.mid(slash);
    const QString folded = full.toCaseFolded();
    const auto spelled = m_valueSpelling.constFind(folded);
    if (spelled == m_valueSpelling.constEnd()) {
        m_valueSpelling.insert(folded, full);
        m_map.insert(full, value);
    } else if (replace) {
        m_map.insert(spelled.value(), value);
    }
}

// The key as spelled in the map, entered first where it is new: the walk goes up to the nearest key above
// that is known already, then down from there (usually the parent alone).
QString RegistryMapBuilder::keyPath(const QString &path)
{
    QStringList unknown;
    QString known;
    QString remaining = path;
    for (;;) {
        const auto found = m_keySpelling.constFind(remaining.toCaseFolded());
        if (found != m_keySpelling.constEnd()) {
            known = found.value();
            break;
        }
        const int slash = remaining.lastIndexOf(QLatin1Char('/'));
        unknown.prepend(remaining.mid(slash + 1));
        if (slash < 0)
            break;
        remaining.truncate(slash);
    }
    for (const QString &name : qAsConst(unknown)) {
        known = known.isEmpty() ? name : known + QLatin1Char('/') + name;
        m_keySpelling.insert(known.toCaseFolded(), known);
        m_map.insert(known + QLatin1Char('/'), QVariant());
    }
    return known;
}

// The key's names as the hive spells them, as far as the key exists (found: all of them); the rest as given.
QStringList spelledAsInHive(QSettings &hive, const QStringList &names, bool *found)
{
    QStringList spelled;
    *found = true;
    for (const QString &name : names) {
        QString match;
        if (*found) {
            const QStringList children = hive.childGroups();
            for (const QString &child : children) {
                if (child.compare(name, Qt::CaseInsensitive) == 0) {
                    match = child;
                    break;
                }
            }
            *found = !match.isNull();
            if (*found)
                hive.beginGroup(match);
        }
        spelled << (*found ? match : name);
    }
    while (!hive.group().isEmpty())
        hive.endGroup();
    return spelled;
}

// Where a key of the merged HKEY_CLASSES_ROOT lies (see keyPathInHive); any other key as it is.
QStringList resolvedKey(QSettings &hive, const QStringList &path)
{
    if (path.isEmpty() || !isRoot(path.first(), ClassesRoot))
        return path;
    const QStringList below = path.mid(1);
    bool found = false;
    if (!below.isEmpty()) {
        const QStringList user = spelledAsInHive(hive, names(UserClasses, below), &found);
        if (found)
            return user;
    }
    return names(MachineClasses, below);
}

} // namespace

namespace Platform {

QSettings::SettingsMap asRegistryHolds(QSettings::SettingsMap parsed)
{
    if (holdsAsRegistryDoes(parsed))
        return parsed;
    const QString legacyPrefix = legacyClassesPrefix();
    RegistryMapBuilder result;
    QList<QSettings::SettingsMap::const_iterator> legacy;
    for (auto it = parsed.cbegin(); it != parsed.cend(); ++it) {
        if (it.key().startsWith(legacyPrefix, Qt::CaseInsensitive))
            legacy.append(it);
        else
            result.enter(it.key(), it.value(), true);
    }
    const QString machinePrefix = machineClassesPrefix();
    for (const auto &it : qAsConst(legacy))
        result.enter(machinePrefix + it.key().mid(legacyPrefix.size()), it.value(), false);
    return result.take();
}

QStringList keyPathInHive(QSettings &hive, const QString &nativeKeyPath)
{
    QStringList path;
    for (const QString &name : nativeKeyPath.split(QLatin1Char('\\'))) {
        if (!name.isEmpty())
            path << name;
    }
    bool found = false;
    return spelledAsInHive(hive, resolvedKey(hive, path), &found);
}

bool mayChangeKey(const QStringList &keyPath)
{
    const bool elevated = qEnvironmentVariable("OSTREL_STANDIN_ELEVATED") == QLatin1String("1");
    return elevated || keyPath.isEmpty() || !isRoot(keyPath.first(), MachineRoot);
}

} // namespace Platform
