#ifndef OSTREL_PLATFORM_REGISTRYRULES_H
#define OSTREL_PLATFORM_REGISTRYRULES_H

// The rules of Windows' registry that the program meets, applied to the stand-in's hive (registryhive.h):
// names compared without regard to letter case, HKEY_CLASSES_ROOT as the merged view of the current user's
// and the machine's classes, and HKEY_LOCAL_MACHINE changed only by an elevated process.
//
// QSettings compares keys with case on every platform but Windows (registerFormat's case argument has no
// effect there), so names are resolved twice: when a hive is read (one spelling for each key and value)
// and when a key is opened (the spelling the hive holds).

#include <QSettings>
#include <QStringList>

namespace Platform {

// The map as the registry holds it: keys and values whose names differ only in letter case are one, spelled
// as the first of them in the map's order (which is the order the writer lists them in); values that the
// stand-in of earlier versions kept under HKEY_CLASSES_ROOT itself are the machine's classes, which is
// where Windows keeps what is written there. A value the machine's classes hold already wins.
QSettings::SettingsMap asRegistryHolds(QSettings::SettingsMap parsed);

// The names of a native key path ("HKEY_CLASSES_ROOT\\.pdf") as the key lies in `hive`: a key under
// HKEY_CLASSES_ROOT is the current user's when the current user has it, else the machine's (also when
// neither has it: creating a key through the view creates it there), and the view itself, opened as a
// whole, stands for the machine's classes; then each name as the hive spells it, as far as the key exists,
// the rest as given. `hive` is left at its top group.
QStringList keyPathInHive(QSettings &hive, const QString &nativeKeyPath);

// Whether this process may change the key at `keyPath` (as keyPathInHive gives it): everywhere but under
// HKEY_LOCAL_MACHINE, and there only when elevated (OSTREL_STANDIN_ELEVATED=1 stands for that).
bool mayChangeKey(const QStringList &keyPath);

} // namespace Platform

#endif
