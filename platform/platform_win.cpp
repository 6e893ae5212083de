#include "platform.h"

#include "commandline.h"
#include "registrykey.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QSettings>
#include <QStandardPaths>

#include <vector>

#include <windows.h>

#include <aclapi.h>
#include <sddl.h>

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

namespace {

// The account's own security identifiers: the user, and the owner its new objects get (an elevated
// administrator's new files may belong to the Administrators group instead).
struct AccountSids
{
    std::vector<char> user;
    std::vector<char> owner;
};

std::vector<char> tokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS kind)
{
    DWORD size = 0;
    GetTokenInformation(token, kind, nullptr, 0, &size);
    std::vector<char> buffer(size);
    if (size == 0 || !GetTokenInformation(token, kind, buffer.data(), size, &size))
        buffer.clear();
    return buffer;
}

PSID userSid(const std::vector<char> &tokenUser)
{
    return tokenUser.empty() ? nullptr : reinterpret_cast<const TOKEN_USER *>(tokenUser.data())->User.Sid;
}

const AccountSids &ownAccount()
{
    static const AccountSids sids = [] {
        AccountSids found;
        HANDLE token = nullptr;
        if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
            found.user = tokenInformation(token, TokenUser);
            found.owner = tokenInformation(token, TokenOwner);
            CloseHandle(token);
        }
        return found;
    }();
    return sids;
}

bool isOwnSid(PSID sid)
{
    const AccountSids &own = ownAccount();
    if (!sid || !IsValidSid(sid))
        return false;
    if (PSID user = userSid(own.user))
        if (EqualSid(sid, user))
            return true;
    if (!own.owner.empty()) {
        PSID owner = reinterpret_cast<const TOKEN_OWNER *>(own.owner.data())->Owner;
        if (owner && EqualSid(sid, owner))
            return true;
    }
    return false;
}

const wchar_t *wide(const QString &text)
{
    return reinterpret_cast<const wchar_t *>(text.utf16());
}

// Whether the account owns the folder (and it is a folder, not a link or junction someone planted).
bool isOwnFolder(const QString &path)
{
    const QString native = QDir::toNativeSeparators(path);
    const DWORD attributes = GetFileAttributesW(wide(native));
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY) ||
        (attributes & FILE_ATTRIBUTE_REPARSE_POINT))
        return false;
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetNamedSecurityInfoW(wide(native), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr,
                              nullptr, nullptr, &descriptor) != ERROR_SUCCESS)
        return false;
    const bool own = isOwnSid(owner);
    LocalFree(descriptor);
    return own;
}

// Makes the folder with access for this account alone, not what the folder above would hand down.
void makePrivateFolder(const QString &path)
{
    LPWSTR sid = nullptr;
    if (!ConvertSidToStringSidW(userSid(ownAccount().user), &sid))
        return;
    const QString sddl = QStringLiteral("D:P(A;OICI;FA;;;%1)").arg(QString::fromWCharArray(sid));
    LocalFree(sid);
    SECURITY_ATTRIBUTES attributes{};
    attributes.nLength = sizeof attributes;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(wide(sddl), SDDL_REVISION_1,
                                                              &attributes.lpSecurityDescriptor, nullptr))
        return;
    CreateDirectoryW(wide(QDir::toNativeSeparators(path)), &attributes);
    LocalFree(attributes.lpSecurityDescriptor);
}

} // namespace

QString spoolBaseLocation()
{
    // The account's own TEMP normally. One that other accounts share (C:\Temp, set for every account) is
    // not used as it is: another account could plant the spool folder there, or read it.
    const QString temporary = QStandardPaths::writableLocation(QStandardPaths::TempLocation);
    if (isOwnFolder(temporary))
        return temporary;
    const QString own = temporary + QLatin1String("/ostrel-") + userName();
    makePrivateFolder(own);
    if (isOwnFolder(own))
        return own;
    static bool warned = false;
    if (!warned)
        qWarning().noquote() << QStringLiteral("OstrelContextMenu: %1 is not a private folder of this "
                                               "account, and no other could be had; nothing is spooled.")
                                    .arg(QDir::toNativeSeparators(own));
    warned = true;
    return QString();
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
        // A process that refuses even this query is another account's (or a protected one): the system
        // handed the id on. Counted alive, it would keep the block's claim, and every later copy of ours
        // would be a secondary of a primary that no longer exists.
        return false;
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

bool isSharedBlockOfAnotherAccount(const QString &)
{
    return false;
}

bool isLocalPeerOfThisAccount(qintptr socketDescriptor)
{
    // Any account can make a pipe of a name that it works out first; the server must be one of ours.
    ULONG serverProcessId = 0;
    if (!GetNamedPipeServerProcessId(reinterpret_cast<HANDLE>(socketDescriptor), &serverProcessId))
        return false;
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, serverProcessId);
    if (!process)
        return false;
    bool own = false;
    HANDLE token = nullptr;
    if (OpenProcessToken(process, TOKEN_QUERY, &token)) {
        own = isOwnSid(userSid(tokenInformation(token, TokenUser)));
        CloseHandle(token);
    }
    CloseHandle(process);
    return own;
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
