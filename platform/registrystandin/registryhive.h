#ifndef OSTREL_PLATFORM_REGISTRYHIVE_H
#define OSTREL_PLATFORM_REGISTRYHIVE_H

// The registry stand-in's way in: one hive, a file in the account's configuration folder, for the Linux
// build, where there is no Windows registry. Platform::openRegistryKey (platform_posix.cpp) opens its keys
// through here.

#include <QSettings>
#include <QString>

#include <memory>

namespace Platform {

// QSettings on the key at `nativeKeyPath` ("HKEY_CURRENT_USER\\SOFTWARE\\..."), found as Windows would find
// it (registryrules.h). The settings object compares value and child names with case, as QSettings does on a
// file. A key that this process may not change is opened on a private copy of the hive, whose writes are
// all refused: QSettings then reports an access error and the hive stays as it was.
std::unique_ptr<QSettings> openHiveKey(const QString &nativeKeyPath);

} // namespace Platform

#endif
