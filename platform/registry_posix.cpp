#include "platform.h"

#include <QSettings>
#include <QStandardPaths>

namespace Platform {

// Placeholder until the registry-export hive lands: an INI file with the key path as group.
std::unique_ptr<QSettings> openRegistryKey(const QString &nativeKeyPath)
{
    const QString hive =
        QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) + QLatin1String("/Ostrel/registry.ini");
    auto settings = std::make_unique<QSettings>(hive, QSettings::IniFormat);
    settings->beginGroup(QString(nativeKeyPath).replace(QLatin1Char('\\'), QLatin1Char('/')));
    return settings;
}

} // namespace Platform
