#include "spoolfolder.h"

#include "platform.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTextStream>

QString selectionSpoolPath()
{
    const QString base = Platform::spoolBaseLocation();
    if (base.isEmpty())
        return QString(); // no private folder: no spool at all, rather than one at the root
    return base + QLatin1String("/Ostrel_PDF_Editor_ContextMenu");
}

QString spoolFilePath(const QString &spoolPath, qint64 processId)
{
    return spoolPath + QStringLiteral("/%1.txt").arg(processId);
}

void writeSpoolFile(const QString &filePath, const QString &text)
{
    QFile file(filePath);
    // A primary that has just handed off removes the folder once it is empty, possibly between our
    // mkpath and our open; creating it again is all it takes.
    for (int attempt = 0; attempt < 3 && !file.isOpen(); ++attempt) {
        QDir().mkpath(QFileInfo(filePath).absolutePath());
        file.open(QIODevice::WriteOnly | QIODevice::Append);
    }
    if (!file.isOpen())
        return;
    // One line per path: a file that already holds a path (a leftover, a reused process id) keeps both
    // apart. Windows paths cannot contain line breaks, so a line break is an unambiguous separator.
    // The bytes a UTF-8 text stream would write (no byte-order mark), without the stream's codec machinery,
    // which every secondary copy would pay for in memory (about 200 KiB of peak memory, measured).
    file.write(text.toUtf8() + '\n');
    file.close();
}

QStringList listSpoolFiles(const QString &directoryPath)
{
    QDir directory(directoryPath);
    directory.setFilter(QDir::Files | QDir::NoDotAndDotDot);
    directory.setSorting(QDir::Name);
    QStringList paths;
    const QFileInfoList entries = directory.entryInfoList();
    paths.reserve(entries.size());
    for (const QFileInfo &entry : entries)
        paths.append(entry.absoluteFilePath());
    return paths;
}

QStringList readSpoolFile(const QString &filePath, bool *opened)
{
    QFile file(filePath);
    const bool isOpen = file.open(QIODevice::ReadOnly);
    if (opened)
        *opened = isOpen;
    if (!isOpen)
        return QStringList();
    QTextStream stream(&file);
    stream.setCodec("UTF-8");
    const QStringList lines = stream.readAll().split(QLatin1Char('\n'));
    QStringList paths;
    for (QString line : lines) {
        // Tolerate a file that was edited or written with Windows line ends.
        if (line.endsWith(QLatin1Char('\r')))
            line.chop(1);
        if (!line.isEmpty())
            paths.append(line);
    }
    return paths;
}

GatheredSelection gatherSpoolFiles(const QString &spoolPath)
{
    GatheredSelection gathered;
    const QStringList files = listSpoolFiles(spoolPath);
    for (const QString &file : files) {
        bool opened = false;
        const QStringList paths = readSpoolFile(file, &opened);
        // A file we cannot read keeps its paths for a later primary.
        if (!opened)
            continue;
        gathered.paths += paths;
        gathered.consumedFiles.append(file);
    }
    return gathered;
}

void removeGatheredFiles(const QStringList &files, const QString &spoolPath)
{
    // Only what was handed off goes: a copy that spooled after the listing must find its file again.
    for (const QString &file : files)
        QFile::remove(file);
    QDir().rmdir(spoolPath);
}

SpoolFolderView spoolFolderView(const QString &spoolPath)
{
    SpoolFolderView view;
    view.fileNames = [spoolPath] {
        // Unsorted and without a stat per file: this runs on every pass of the wait.
        return QDir(spoolPath).entryList(QDir::Files | QDir::NoDotAndDotDot, QDir::Unsorted);
    };
    view.modifiedMsSinceEpoch = [spoolPath](const QString &fileName) -> qint64 {
        const QDateTime modified = QFileInfo(spoolPath + QLatin1Char('/') + fileName).lastModified();
        return modified.isValid() ? modified.toMSecsSinceEpoch() : -1;
    };
    return view;
}
