#ifndef OSTREL_PLATFORM_COMMANDLINE_H
#define OSTREL_PLATFORM_COMMANDLINE_H

#include <QString>
#include <QStringList>

namespace Platform {

// The most UTF-16 units a Windows command line may hold, its terminating NUL included.
constexpr int WindowsCommandLineLimit = 32767;

// The most bytes one argument may hold on Linux, its terminating NUL not included (MAX_ARG_STRLEN - 1).
constexpr int LinuxArgumentLimit = 131071;

// The UTF-16 units, terminating NUL included, of the command line that QProcess::startDetached
// builds on Windows for this program and these arguments: the program path with backslashes, in quotes
// when it holds a space; after it a space, and before every argument another one; each argument with its
// quotes escaped (the backslashes right before a quote doubled) and, when it is empty or holds a space or
// tab, put in quotes (the closing one before any trailing backslashes). Kept apart from the Windows code
// so that the count can be checked on every platform.
int windowsCommandLineLength(const QString &program, const QStringList &arguments);

} // namespace Platform

#endif
