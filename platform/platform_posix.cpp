#include "platform.h"

#include "commandline.h"
#include "registryhive.h"
#include "registrykey.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>
#include <QStandardPaths>

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace Platform {

QString userName()
{
    long bufferSize = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(size_t(bufferSize > 0 ? bufferSize : 16384));
    passwd entry{};
    passwd *found = nullptr;
    if (getpwuid_r(geteuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found && found->pw_name)
        return QString::fromLocal8Bit(found->pw_name);
    const QString fromUserName = qEnvironmentVariable("USERNAME");
    if (!fromUserName.isEmpty())
        return fromUserName;
    return qEnvironmentVariable("USER");
}

namespace {

// A folder that only this account can enter or change: a real directory (a symbolic link is not followed,
// since another account may have planted it), owned by the effective user, no access for group or others.
bool isPrivateFolder(const QByteArray &path)
{
    struct stat info
    {};
    return lstat(path.constData(), &info) == 0 && S_ISDIR(info.st_mode) && info.st_uid == geteuid() &&
           (info.st_mode & 0777) == 0700;
}

// The per-user runtime folder, when it is what the desktop promises: absolute and private.
QString privateRuntimeFolder()
{
    const QByteArray runtime = qgetenv("XDG_RUNTIME_DIR");
    if (runtime.startsWith('/') && isPrivateFolder(runtime))
        return QFile::decodeName(runtime);
    return QString();
}

// $TMPDIR when it names a folder, else /tmp. QDir::tempPath() would take a $TMPDIR that names nothing as
// it is, and the files kept there would go wherever that leads.
QString temporaryFolder()
{
    const QByteArray variable = qgetenv("TMPDIR");
    struct stat info
    {};
    if (variable.startsWith('/') && stat(variable.constData(), &info) == 0 && S_ISDIR(info.st_mode))
        return QDir::cleanPath(QFile::decodeName(variable));
    return QStringLiteral("/tmp");
}

// "ostrel-<uid>" in the given folder, made if missing; empty when what is there is not ours.
QString privateFolderIn(const QString &parent)
{
    const QByteArray path = QFile::encodeName(parent + QStringLiteral("/ostrel-%1").arg(geteuid()));
    if (mkdir(path.constData(), 0700) == 0) {
        // A umask may have taken bits we need. The folder is new and ours; set its mode through a
        // descriptor of the folder itself, not through the name, which another account could have
        // replaced in a shared folder by now.
        const int fd = open(path.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (fd >= 0) {
            struct stat info
            {};
            if (fstat(fd, &info) == 0 && info.st_uid == geteuid())
                fchmod(fd, 0700);
            close(fd);
        }
    }
    // An existing folder is used only as it is: one that is not ours, not private or not a folder at all
    // is left exactly as it was.
    return isPrivateFolder(path) ? QFile::decodeName(path) : QString();
}

// The account's cache folder: $XDG_CACHE_HOME when absolute, else ~/.cache. No other account can put
// anything there, so a name that another account took first in the shared temporary folder is free here.
QString cacheFolder()
{
    const QByteArray variable = qgetenv("XDG_CACHE_HOME");
    if (variable.startsWith('/'))
        return QDir::cleanPath(QFile::decodeName(variable));
    QByteArray home = qgetenv("HOME");
    if (!home.startsWith('/')) {
        long bufferSize = sysconf(_SC_GETPW_R_SIZE_MAX);
        std::vector<char> buffer(size_t(bufferSize > 0 ? bufferSize : 16384));
        passwd entry{};
        passwd *found = nullptr;
        if (getpwuid_r(geteuid(), &entry, buffer.data(), buffer.size(), &found) != 0 || !found ||
            !found->pw_dir)
            return QString();
        home = found->pw_dir;
    }
    return QDir::cleanPath(QFile::decodeName(home)) + QLatin1String("/.cache");
}

// Says once per process and folder that a folder was refused, and what is used instead.
void warnRefused(const QString &refused, const QString &instead)
{
    static QSet<QString> warned;
    if (warned.contains(refused))
        return;
    warned.insert(refused);
    if (instead.isEmpty())
        qWarning().noquote() << QStringLiteral("OstrelContextMenu: %1 is not a private folder of this "
                                               "account, and no other could be had; nothing is spooled.")
                                    .arg(refused);
    else
        qWarning().noquote() << QStringLiteral("OstrelContextMenu: %1 is not a private folder of this "
                                               "account; using %2 instead.")
                                    .arg(refused, instead);
}

} // namespace

void prepareProcessEnvironment()
{
    if (qEnvironmentVariableIsSet("TMPDIR") && temporaryFolder() == QLatin1String("/tmp"))
        qunsetenv("TMPDIR");
}

int compareLogically(const QString &a, const QString &b)
{
    const auto isDigit = [](QChar c) { return c >= QLatin1Char('0') && c <= QLatin1Char('9'); };
    int i = 0;
    int j = 0;
    while (i < a.size() && j < b.size()) {
        const bool digitA = isDigit(a.at(i));
        const bool digitB = isDigit(b.at(j));
        if (digitA != digitB)
            return digitA ? -1 : 1; // a number comes before any other character
        if (!digitA) {
            const ushort foldedA = a.at(i).toCaseFolded().unicode();
            const ushort foldedB = b.at(j).toCaseFolded().unicode();
            if (foldedA != foldedB)
                return foldedA < foldedB ? -1 : 1;
            ++i;
            ++j;
            continue;
        }
        // Two digit runs, by value: without their leading zeros the longer is the larger, and of two as
        // long the first differing digit decides. No run is too long for this.
        while (i < a.size() && a.at(i) == QLatin1Char('0'))
            ++i;
        while (j < b.size() && b.at(j) == QLatin1Char('0'))
            ++j;
        int endA = i;
        int endB = j;
        while (endA < a.size() && isDigit(a.at(endA)))
            ++endA;
        while (endB < b.size() && isDigit(b.at(endB)))
            ++endB;
        if (endA - i != endB - j)
            return endA - i < endB - j ? -1 : 1;
        const int digits = QStringRef(&a, i, endA - i).compare(QStringRef(&b, j, endB - j));
        if (digits != 0)
            return digits < 0 ? -1 : 1;
        i = endA;
        j = endB;
    }
    if (i < a.size())
        return 1;
    return j < b.size() ? -1 : 0;
}

bool fitsProcessArgument(const QString &, const QString &argument)
{
    return QFile::encodeName(argument).size() <= LinuxArgumentLimit;
}

QString spoolBaseLocation()
{
    // Chosen here rather than by QStandardPaths::RuntimeLocation, which warns on standard error whenever
    // the runtime folder is unset or not private, and then picks a folder of its own.
    const QString runtime = privateRuntimeFolder();
    if (!runtime.isEmpty())
        return runtime;
    const QString temporary = temporaryFolder();
    const QString inTemporary = privateFolderIn(temporary);
    if (!inTemporary.isEmpty())
        return inTemporary;
    // Another account made the folder first (or a link, or a file), or ours is open to others: the
    // account's selections must not stop for that, nor go through it.
    const QString cache = cacheFolder();
    QString inCache;
    if (!cache.isEmpty()) {
        mkdir(QFile::encodeName(cache).constData(), 0700);
        inCache = privateFolderIn(cache);
    }
    warnRefused(temporary + QStringLiteral("/ostrel-%1").arg(geteuid()), inCache);
    return inCache;
}

QString ipcObjectName(const QString &name)
{
    const QString privateFolder = spoolBaseLocation();
    return (privateFolder.isEmpty() ? QDir::tempPath() : privateFolder) + QLatin1Char('/') + name;
}

bool replaceFile(const QString &from, const QString &to)
{
    return ::rename(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()) == 0;
}

bool isProcessAlive(qint64 processId, const QString &imageFileName)
{
    if (processId <= 0 || processId != qint64(pid_t(processId)))
        return false;
    if (kill(pid_t(processId), 0) != 0 && errno != EPERM)
        return false;
    // The id may have been handed to an unrelated process since; compare the image it runs.
    const QString procDir = QStringLiteral("/proc/%1").arg(processId);
    QString exe = QFile::symLinkTarget(procDir + QLatin1String("/exe"));
    // A program file replaced while it runs (an update) still names the same program.
    const QLatin1String deleted(" (deleted)");
    if (exe.endsWith(deleted))
        exe.chop(deleted.size());
    if (!exe.isEmpty())
        return QFileInfo(exe).fileName() == imageFileName;
    // Unreadable link (another account, or a zombie): fall back to the first word of the command line.
    QFile cmdline(procDir + QLatin1String("/cmdline"));
    if (!cmdline.open(QIODevice::ReadOnly))
        return true; // hidden from us (hidepid), but kill() saw it: not ours to declare dead
    const QByteArray argv0 = cmdline.readAll().split('\0').value(0);
    if (argv0.isEmpty())
        return false; // zombies and kernel threads have an empty command line
    return QFileInfo(QFile::decodeName(argv0)).fileName() == imageFileName;
}

bool isSharedBlockOfAnotherAccount(const QString &nativeKey)
{
    // The key QSharedMemory derives from the key file.
    const key_t key = ftok(QFile::encodeName(nativeKey).constData(), 'Q');
    if (key == -1)
        return false;
    const int id = shmget(key, 0, 0);
    if (id == -1)
        return errno == EACCES;
    shmid_ds info{};
    if (shmctl(id, IPC_STAT, &info) != 0)
        return errno == EACCES;
    // Root may attach to any segment, so the owner is checked, not only whether an attach works.
    const uid_t self = geteuid();
    return info.shm_perm.uid != self || info.shm_perm.cuid != self || (info.shm_perm.mode & 0777) != 0600;
}

bool isLocalPeerOfThisAccount(qintptr socketDescriptor)
{
    ucred peer{};
    socklen_t length = sizeof peer;
    return getsockopt(int(socketDescriptor), SOL_SOCKET, SO_PEERCRED, &peer, &length) == 0 &&
           length == sizeof peer && peer.uid == geteuid();
}

// No such right to pass on here.
void allowForegroundWindow(qint64) {}

QString processListerProgram()
{
    return QCoreApplication::applicationDirPath() + QLatin1String("/tasklist");
}

QString editorConfigPath()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
           QLatin1String("/Ostrel/Ostrel PDF Editor/config.ini");
}

// The registry stand-in's hive (registryhive.h). QSettings compares names with case on a file: the key
// finds the spelling of value and child names.
std::unique_ptr<RegistryKey> openRegistryKey(const QString &nativeKeyPath)
{
    return std::make_unique<RegistryKey>(openHiveKey(nativeKeyPath), RegistryKey::Names::ComparedWithCase);
}

} // namespace Platform
