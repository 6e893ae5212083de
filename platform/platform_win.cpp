#include "platform.h"

#include "commandline.h"
#include "registrykey.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QSettings>
#include <QStandardPaths>

#include <windows.h>

#include <shlwapi.h> // after windows.h, which it needs

namespace Platform {

QString userName()
{
    wchar_t buffer[257];
    DWORD size = 257;
    if (GetUserNameW(buffer, &size))
        return QString::fromWCharArray(buffer);
    return qEnvironmentVariable("USERNAME");
}

void prepareProcessEnvironment()
{
    // A program of the GUI subsystem has no console, and Qt's default message handler sends messages to
    // the debugger then, even when whoever started the program gave it a standard error handle (a script,
    // a test, a service wrapper). Where there is such a handle, the messages go to it instead. Explorer
    // gives none, and a console (the program started from a command prompt with its own) makes the logger
    // use standard error anyway: both stay as they are. (A Qt too old to know the switch keeps to the
    // debugger.)
    if (qEnvironmentVariableIsSet("QT_FORCE_STDERR_LOGGING") || GetConsoleWindow())
        return;
    const HANDLE standardError = GetStdHandle(STD_ERROR_HANDLE);
    if (standardError && standardError != INVALID_HANDLE_VALUE &&
        GetFileType(standardError) != FILE_TYPE_UNKNOWN)
        qputenv("QT_FORCE_STDERR_LOGGING", "1");
}

int compareLogically(const QString &a, const QString &b)
{
    // Explorer's own comparison, so that the editor gets the paths in exactly the order the user sees.
    return StrCmpLogicalW(reinterpret_cast<const wchar_t *>(a.utf16()),
                          reinterpret_cast<const wchar_t *>(b.utf16()));
}

bool fitsProcessArgument(const QString &program, const QString &argument)
{
    return windowsCommandLineLength(program, QStringList(argument)) <= WindowsCommandLineLimit;
}

QString spoolBaseLocation()
{
    return QStandardPaths::writableLocation(QStandardPaths::TempLocation);
}

QString ipcObjectName(const QString &name)
{
    return name;
}

bool replaceFile(const QString &from, const QString &to)
{
    const QString source = QDir::toNativeSeparators(from);
    const QString target = QDir::toNativeSeparators(to);
    // A scanner that opens a new file for a moment, or a reader that holds either file without sharing its
    // deletion (a primary of an earlier version reading it), makes the move fail while it holds it. That
    // is waited out, with growing pauses, within ReplaceFileRetryBoundMs; a file that is gone, or a folder
    // that refuses, fails at once or at the bound.
    QElapsedTimer waited;
    waited.start();
    DWORD pauseMs = 2;
    for (;;) {
        if (MoveFileExW(reinterpret_cast<const wchar_t *>(source.utf16()),
                        reinterpret_cast<const wchar_t *>(target.utf16()), MOVEFILE_REPLACE_EXISTING))
            return true;
        const DWORD error = GetLastError();
        if (error != ERROR_ACCESS_DENIED && error != ERROR_SHARING_VIOLATION && error != ERROR_LOCK_VIOLATION)
            return false;
        if (waited.elapsed() + qint64(pauseMs) > ReplaceFileRetryBoundMs)
            return false;
        Sleep(pauseMs);
        pauseMs = qMin<DWORD>(2 * pauseMs, 200);
    }
}

bool isProcessAlive(qint64 processId, const QString &imageFileName)
{
    if (processId <= 0 || processId > 0xFFFFFFFFLL)
        return false;
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, DWORD(processId));
    if (!process)
        // A process of another account may refuse the query; it exists all the same.
        return GetLastError() == ERROR_ACCESS_DENIED;
    bool alive = false;
    DWORD exitCode = 0;
    if (GetExitCodeProcess(process, &exitCode) && exitCode == STILL_ACTIVE) {
        wchar_t path[MAX_PATH * 4];
        DWORD length = DWORD(sizeof path / sizeof *path);
        if (QueryFullProcessImageNameW(process, 0, path, &length)) {
            const QString image = QFileInfo(QString::fromWCharArray(path, int(length))).fileName();
            alive = image.compare(imageFileName, Qt::CaseInsensitive) == 0;
        } else {
            alive = true;
        }
    }
    CloseHandle(process);
    return alive;
}

void allowForegroundWindow(qint64 processId)
{
    if (processId > 0 && processId <= 0xFFFFFFFFLL)
        AllowSetForegroundWindow(DWORD(processId));
}

QString processListerProgram()
{
    return QStringLiteral("tasklist.exe");
}

QString editorConfigPath()
{
    return QStandardPaths::writableLocation(QStandardPaths::HomeLocation) + QLatin1String("/AppData") +
           QLatin1String("/Roaming/Ostrel/Ostrel PDF Editor/config.ini");
}

std::unique_ptr<RegistryKey> openRegistryKey(const QString &nativeKeyPath)
{
    // The registry compares names without regard to letter case itself.
    return std::make_unique<RegistryKey>(std::make_unique<QSettings>(nativeKeyPath, QSettings::NativeFormat),
                                         RegistryKey::Names::ComparedByTheStore);
}

} // namespace Platform
