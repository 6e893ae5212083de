// The registry stand-in's hive, kept as the text of a Windows registry export (registryexport.h), so that
// a person can read it and a test can set it beside a "reg export" taken on Windows. QSettings hosts it
// through a custom format, which brings the same calls as the native registry ("." for a key's default
// value, remove() of a child key with its subtree) together with QSettings' own lock file and atomic save.
//
// QSettings reads the whole hive when it opens it and writes the whole hive at every change, so everything
// in it that the program did not set itself must come back exactly as it was read: other programs' values
// keep their registry type and bytes (see registryvalue.h), and every step costs time in step with the
// size of the hive.
//
// Windows' rules for names and roots are registryrules.h's. A change that a format refuses stays pending
// in QSettings' cache of the file and is tried again by every later settings object of the process; so a
// key that may not be changed is opened on a private copy of the hive rather than on the hive itself.

#include "registryhive.h"

#include "registryexport.h"
#include "registryrules.h"
#include "registryvalue.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <QStandardPaths>
#include <QTemporaryFile>

namespace {

// QSettings' side of the format: the file's bytes in, the file's bytes out.
bool readHive(QIODevice &device, QSettings::SettingsMap &map)
{
    QSettings::SettingsMap parsed;
    if (!Platform::parseRegistryExport(device.readAll(), &parsed))
        return false;
    map = Platform::asRegistryHolds(std::move(parsed));
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

std::unique_ptr<QSettings> openHiveKey(const QString &nativeKeyPath)
{
    auto settings = openHive();
    const QStringList path = keyPathInHive(*settings, nativeKeyPath);
    if (!mayChangeKey(path))
        settings = readOnlyCopy();
    settings->beginGroup(path.join(QLatin1Char('/')));
    return settings;
}

} // namespace Platform
