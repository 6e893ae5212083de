#ifndef OSTREL_PLATFORM_H
#define OSTREL_PLATFORM_H

// The thin layer between the program and the operating system. Everything that differs between
// Windows and the Linux development build lives behind these functions; the rest of the code base
// has no platform conditionals.

#include <QString>
#include <QtGlobal>

#include <memory>

class QSettings;

namespace Platform {

// Account name of the running process, or an empty string when none can be found.
// Windows: GetUserNameW, then the USERNAME variable. Elsewhere: the account of the effective user id,
// then USERNAME, then USER.
QString userName();

// Per-user folder under which the selection spool lives. Windows: the temporary-files location, which is
// per user there. Elsewhere /tmp is shared by every account, so: the per-user runtime folder when it is a
// real directory of the effective user with mode 0700, else "ostrel-<uid>" under the temporary location,
// made with mode 0700 and used only while it is such a directory. Empty when neither is; nothing prints.
QString spoolBaseLocation();

// Whether a process with this id is still alive and runs an image of the given file name
// (compared without directory, case-insensitively on Windows).
bool isProcessAlive(qint64 processId, const QString &imageFileName);

// The command that the peer census starts: "tasklist.exe" through the program search on Windows,
// the lister built beside the program elsewhere.
QString processListerProgram();

// The editor's configuration file (read only).
QString editorConfigPath();

// A settings object on a registry key given by its full native path
// ("HKEY_CURRENT_USER\\SOFTWARE\\..."). Writing through it creates the key; "." is the default value.
// Windows: the native registry. Elsewhere: a hive kept in a registry-export text file.
std::unique_ptr<QSettings> openRegistryKey(const QString &nativeKeyPath);

} // namespace Platform

#endif
