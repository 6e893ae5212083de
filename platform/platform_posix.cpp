#include "platform.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

#include <cerrno>
#include <pwd.h>
#include <signal.h>
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

QString spoolBaseLocation()
{
    return QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
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

QString processListerProgram()
{
    return QCoreApplication::applicationDirPath() + QLatin1String("/tasklist");
}

QString editorConfigPath()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
           QLatin1String("/Ostrel/Ostrel PDF Editor/config.ini");
}

} // namespace Platform
