// The registry stand-in: one hive kept as the text of a Windows registry export (registryexport.h), so that
// a person can read it and a test can set it beside a "reg export" taken on Windows. QSettings hosts it
// through a custom format, which brings the same calls as the native registry ("." for a key's default
// value, remove() of a child key with its subtree) together with QSettings' own lock file and atomic save.
//
// QSettings reads the whole hive when it opens it and writes the whole hive at every change, so everything
// in it that the program did not set itself must come back exactly as it was read: other programs' values
// keep their registry type and bytes (see registryvalue.h), and every step costs time in step with the
// size of the hive.
//
// The rules of Windows' registry that the program meets are kept here too: names compared without regard
// to letter case, HKEY_CLASSES_ROOT as the merged view of the current user's and the machine's classes, and
// HKEY_LOCAL_MACHINE changed only by an elevated process. QSettings compares keys with case on every
// platform but Windows (registerFormat's case argument has no effect there), and a change that a format
// refuses stays pending in QSettings' cache of the file and is tried again by every later settings object
// of the process; so names are resolved when a key is opened, and a key that may not be changed is opened
// on a private copy of the hive, whose writes are all refused.

#include "platform.h"
#include "registryexport.h"
#include "registrykey.h"
#include "registryvalue.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QLockFile>
#include <QSet>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryFile>

namespace {

const char ClassesRoot[] = "HKEY_CLASSES_ROOT";
const char MachineRoot[] = "HKEY_LOCAL_MACHINE";
const char *const UserClasses[] = {"HKEY_CURRENT_USER", "Software", "Classes"};
const char *const MachineClasses[] = {"HKEY_LOCAL_MACHINE", "SOFTWARE", "Classes"}; // as Windows spells them

bool isElevated()
{
    return qEnvironmentVariable("OSTREL_STANDIN_ELEVATED") == QLatin1String("1");
}

bool isRoot(const QString &name, const char *root)
{
    return name.compare(QLatin1String(root), Qt::CaseInsensitive) == 0;
}

// The map as the registry holds it: keys and values whose names differ only in letter case are one, spelled
// as the first of them in the map's order (which is the order the writer lists them in); values that the
// stand-in of earlier versions kept under HKEY_CLASSES_ROOT itself are the machine's classes, which is
// where Windows keeps what is written there. A value the machine's classes hold already wins.
QSettings::SettingsMap asRegistryHolds(QSettings::SettingsMap parsed)
{
    const QString legacyPrefix = QLatin1String(ClassesRoot) + QLatin1Char('/');
    // Most hives have neither: then the map stays as it is, which saves building it again. Every key has
    // its own entry (registryexport.h), so two spellings of a key show as two entries folded alike.
    {
        QSet<QString> folded;
        folded.reserve(parsed.size());
        bool asItIs = true;
        for (auto it = parsed.cbegin(); asItIs && it != parsed.cend(); ++it) {
            const int size = folded.size();
            folded.insert(it.key().toCaseFolded());
            asItIs = folded.size() > size && !it.key().startsWith(legacyPrefix, Qt::CaseInsensitive);
        }
        if (asItIs)
            return parsed;
    }
    QSettings::SettingsMap result;
    QHash<QString, QString> keySpelling; // key path with letter case folded -> as spelled in the result
    QHash<QString, QString> valueSpelling;
    const auto keyPath = [&](const QString &path) {
        // The nearest key above that is known already, then down from there (usually the parent alone).
        QStringList unknown;
        QString known;
        QString remaining = path;
        for (;;) {
            const auto found = keySpelling.constFind(remaining.toCaseFolded());
            if (found != keySpelling.constEnd()) {
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
            keySpelling.insert(known.toCaseFolded(), known);
            result.insert(known + QLatin1Char('/'), QVariant());
        }
        return known;
    };
    const auto enter = [&](const QString &name, const QVariant &value, bool replace) {
        const int slash = name.lastIndexOf(QLatin1Char('/'));
        if (slash <= 0) {
            result.insert(name, value); // not a registry entry; the writer refuses it
            return;
        }
        const QString key = keyPath(name.left(slash));
        if (slash == name.size() - 1)
            return;
        const QString full = key + name.mid(slash);
        const QString folded = full.toCaseFolded();
        const auto spelled = valueSpelling.constFind(folded);
        if (spelled == valueSpelling.constEnd()) {
            valueSpelling.insert(folded, full);
            result.insert(full, value);
        } else if (replace) {
            result.insert(spelled.value(), value);
        }
    };
    const QString machinePrefix = QLatin1String(MachineClasses[0]) + QLatin1Char('/') +
                                  QLatin1String(MachineClasses[1]) + QLatin1Char('/') +
                                  QLatin1String(MachineClasses[2]) + QLatin1Char('/');
    QList<QSettings::SettingsMap::const_iterator> legacy;
    for (auto it = parsed.cbegin(); it != parsed.cend(); ++it) {
        if (it.key().startsWith(legacyPrefix, Qt::CaseInsensitive))
            legacy.append(it);
        else
            enter(it.key(), it.value(), true);
    }
    for (const auto &it : qAsConst(legacy))
        enter(machinePrefix + it.key().mid(legacyPrefix.size()), it.value(), false);
    return result;
}

// QSettings' side of the format: the file's bytes in, the file's bytes out.
bool readHive(QIODevice &device, QSettings::SettingsMap &map)
{
    QSettings::SettingsMap parsed;
    if (!Platform::parseRegistryExport(device.readAll(), &parsed))
        return false;
    map = asRegistryHolds(std::move(parsed));
    return true;
}

bool writeHive(QIODevice &device, const QSettings::SettingsMap &map)
{
    QByteArray bytes;
    return Platform::writeRegistryExport(map, &bytes) && device.write(bytes) == bytes.size();
}

// A copy of the hive for a key that the process may not change: every write is refused, so QSettings
// reports an access error and nothing reaches the hive.
bool refuseWrite(QIODevice &, const QSettings::SettingsMap &)
{
    return false;
}

QSettings::Format registryExportFormat()
{
    static const QSettings::Format format = [] {
        Platform::registerRegistryValueConversions();
        return QSettings::registerFormat(QStringLiteral("reg"), readHive, writeHive, Qt::CaseSensitive);
    }();
    return format;
}

QSettings::Format readOnlyCopyFormat()
{
    static const QSettings::Format format = [] {
        Platform::registerRegistryValueConversions();
        return QSettings::registerFormat(QStringLiteral("reg"), readHive, refuseWrite, Qt::CaseSensitive);
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
    if (Platform::parseRegistryExport(file.readAll(), &ignored))
        return;
    file.close();
    const QString stamp = QDateTime::currentDateTimeUtc().toString(QStringLiteral("yyyyMMdd-HHmmsszzz"));
    QString target = path + QLatin1String(".damaged-") + stamp;
    for (int n = 2; QFileInfo::exists(target); ++n)
        target = path + QLatin1String(".damaged-") + stamp + QLatin1Char('-') + QString::number(n);
    QFile::rename(path, target);
}

std::unique_ptr<QSettings> openHive()
{
    const QString path = hivePath();
    auto settings = std::make_unique<QSettings>(path, registryExportFormat());
    if (settings->status() == QSettings::FormatError) {
        settings.reset();
        keepDamagedHiveAside(path);
        settings = std::make_unique<QSettings>(path, registryExportFormat());
    }
    return settings;
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

QStringList names(const char *const (&path)[3], const QStringList &below = {})
{
    return QStringList{QLatin1String(path[0]), QLatin1String(path[1]), QLatin1String(path[2])} + below;
}

// A key under HKEY_CLASSES_ROOT is the current user's when the current user has it, else the machine's
// (also when neither has it: creating a key through the view creates it there). The view itself, opened
// as a whole, stands for the machine's classes.
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

// The hive as it is now, for reading only.
std::unique_ptr<QSettings> readOnlyCopy()
{
    auto copy =
        std::make_unique<QTemporaryFile>(QDir::tempPath() + QLatin1String("/ostrel-registry-XXXXXX.reg"));
    if (copy->open()) {
        QFile hive(hivePath());
        if (hive.open(QIODevice::ReadOnly))
            copy->write(hive.readAll());
        copy->close();
    }
    auto settings = std::make_unique<QSettings>(copy->fileName(), readOnlyCopyFormat());
    copy.release()->setParent(settings.get()); // the file goes with the settings object
    return settings;
}

} // namespace

namespace Platform {

std::unique_ptr<RegistryKey> openRegistryKey(const QString &nativeKeyPath)
{
    auto settings = openHive();
    QStringList path;
    for (const QString &name : nativeKeyPath.split(QLatin1Char('\\'))) {
        if (!name.isEmpty())
            path << name;
    }
    bool found = false;
    path = spelledAsInHive(*settings, resolvedKey(*settings, path), &found);
    if (!path.isEmpty() && isRoot(path.first(), MachineRoot) && !isElevated())
        settings = readOnlyCopy();
    settings->beginGroup(path.join(QLatin1Char('/')));
    // QSettings compares names with case on a file: the key finds the spelling of value and child names.
    return std::make_unique<RegistryKey>(std::move(settings), RegistryKey::Names::ComparedWithCase);
}

} // namespace Platform
