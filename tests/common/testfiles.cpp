#include "testfiles.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size();
}

bool writeFileDated(const QString &path, const QByteArray &bytes, qint64 msAgo)
{
    if (!writeFile(path, bytes))
        return false;
    QFile file(path);
    return file.open(QIODevice::ReadWrite) &&
           file.setFileTime(QDateTime::currentDateTime().addMSecs(-msAgo), QFileDevice::FileModificationTime);
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool writeText(const QString &path, const QString &text)
{
    return writeFile(path, text.toUtf8());
}

QString readText(const QString &path)
{
    return QString::fromUtf8(readFile(path));
}

bool writeExecutable(const QString &path, const QByteArray &content)
{
    QFile::remove(path);
    return writeFile(path, content) &&
           QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
}

QString writeShellProgram(const QString &folder, const QString &name, const QByteArray &lines)
{
    const QString path = folder + QLatin1Char('/') + name;
    return writeExecutable(path, "#!/bin/sh\n" + lines + "\n") ? path : QString();
}

QString writePrintingProgram(const QString &folder, const QString &name, const QByteArray &output)
{
    const QString data = folder + QLatin1Char('/') + name + QLatin1String(".out");
    if (!writeFile(data, output))
        return QString();
    return writeShellProgram(folder, name, "exec cat '" + QFile::encodeName(data) + "'");
}
