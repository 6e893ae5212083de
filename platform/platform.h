#ifndef OSTREL_PLATFORM_H
#define OSTREL_PLATFORM_H

// The thin layer between the program and the operating system. Everything that differs between
// Windows and the Linux development build lives behind these functions; the rest of the code base
// has no platform conditionals.

#include <QString>
#include <QtGlobal>

#include <memory>

namespace Platform {

class RegistryKey; // registrykey.h

// Account name of the running process, or an empty string when none can be found.
// Windows: GetUserNameW, then the USERNAME variable. Elsewhere: the account of the effective user id,
// then USERNAME, then USER.
QString userName();

// Per-user folder under which the selection spool lives. Windows: the temporary-files location when the
// account owns it; a TEMP that other accounts share (C:\Temp) is not used as it is: "ostrel-<user>" in
// it, made when missing and used only while the account owns it. Elsewhere /tmp is shared by every
// account, so: the per-user runtime folder when it is a real directory of the effective user with mode
// 0700, else "ostrel-<uid>" under the temporary location, made with mode 0700 and used only while it is
// such a directory; when what stands there is not that (another account made it first, say), the same
// folder in the account's cache folder ($XDG_CACHE_HOME, else ~/.cache). A folder refused on the way is
// named in one warning per process. Empty when none can be had.
QString spoolBaseLocation();

// Called first, before the application object is made. Windows: when the process has no console but was
// given a standard error handle (a pipe or a file), Qt's messages are sent there rather than to the debugger
// (QT_FORCE_STDERR_LOGGING, unless it is set already; the editor started later inherits it). Elsewhere: a
// $TMPDIR that does not name a folder (missing, relative, a file) is removed from the environment, so that
// QDir::tempPath() (temporary files, and the election's objects when there is no private folder) and the
// editor started later use /tmp instead of a folder that is not there.
void prepareProcessEnvironment();

// Orders two names as Explorer orders file names when it sorts by name: letter case ignored, runs of digits
// compared by their value ("Scan 2" before "Scan 10"); negative, zero or positive. Windows: the shell's own
// StrCmpLogicalW. Elsewhere the same rules of our own: ASCII digit runs by value (leading zeros ignored)
// before any other character, other characters by their case-folded code units.
int compareLogically(const QString &a, const QString &b);

// Whether starting `program` with the single argument `argument` stays within the platform's limit.
// Windows: the whole command line that QProcess::startDetached builds (the quoted program path, the argument
// with QProcess's quoting, the terminating NUL) holds at most 32,767 UTF-16 units. Elsewhere: the
// argument in the local 8-bit encoding holds at most 131,071 bytes (one argument, terminating NUL aside).
bool fitsProcessArgument(const QString &program, const QString &argument);

// The system's name for a named object that copies of the program meet at (the election's shared block and
// its lock), from a portable name of letters, digits and "+_=.". Windows: the name itself, in the session's
// namespace. Elsewhere: a file in the account's private folder (see spoolBaseLocation), or in the temporary
// folder when there is none; it carries the shared block's System V key, or the lock.
QString ipcObjectName(const QString &name);

// Puts the file `from` in the place of `to`, replacing `to` when it exists, in one step: a reader sees the
// old file or the new one, never a part of either, and of two callers that move one file only one
// succeeds. Both lie in one folder. Windows: MoveFileExW with MOVEFILE_REPLACE_EXISTING, tried again with
// growing pauses for up to ReplaceFileRetryBoundMs while another process holds a file without sharing
// (access denied, a sharing or lock violation). Elsewhere: rename(2). (QFile::rename refuses a target
// that exists, and copies when it cannot rename.)
bool replaceFile(const QString &from, const QString &to);
constexpr int ReplaceFileRetryBoundMs = 2000;

// Whether a process with this id is still alive and runs an image of the given file name
// (compared without directory, case-insensitively on Windows). Copies of the program run as the account
// that starts them, so on Windows a process this account may not even query (another account's, one
// that holds an id the system handed on) counts as gone, never as a live copy.
bool isProcessAlive(qint64 processId, const QString &imageFileName);

// Whether a shared block that copies open by this native key (as ipcObjectName gives it) exists and is
// not this account's own. Elsewhere than Windows the block is a System V segment whose key any account can
// work out from the key file's inode, and create first: it counts as ours only while it was made by and
// belongs to the effective user, with mode 0600. Windows: false (named objects of the session).
bool isSharedBlockOfAnotherAccount(const QString &nativeKey);

// Whether the process at the other end of a connected local socket (its descriptor, a named pipe's handle
// on Windows) runs as this account. Elsewhere a Unix socket's peer credentials; Windows: the account of
// the pipe's server process.
bool isLocalPeerOfThisAccount(qintptr socketDescriptor);

// Lets a process that this one started bring its window to the front. Windows gives that right only to
// processes that the foreground process allowed; a copy that Explorer started holds it and passes it on
// (AllowSetForegroundWindow), so that the editor does not open behind Explorer. Elsewhere nothing.
void allowForegroundWindow(qint64 processId);

// The command that the peer census starts: "tasklist.exe" through the program search on Windows,
// the lister built beside the program elsewhere.
QString processListerProgram();

// The editor's configuration file (read only).
QString editorConfigPath();

// A registry key given by its full native path ("HKEY_CURRENT_USER\\SOFTWARE\\..."), names compared without
// regard to letter case (registrykey.h). Writing through it creates the key; "." is the default value.
// Windows: the native registry. Elsewhere: a hive kept in a registry-export text file.
std::unique_ptr<RegistryKey> openRegistryKey(const QString &nativeKeyPath);

} // namespace Platform

#endif
