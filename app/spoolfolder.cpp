#include "spoolfolder.h"

#include "platform.h"
#include "shellverbs.h"
#include "spoollog.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTextStream>
#include <QThread>

#include <algorithm>

SpoolFolder SpoolFolder::ofThisAccount()
{
    const QString base = Platform::spoolBaseLocation();
    if (base.isEmpty())
        return SpoolFolder(); // no private folder: no spool at all, rather than one at the root
    return SpoolFolder(base + QLatin1String("/Ostrel_PDF_Editor_ContextMenu"));
}

SpoolFolder::SpoolFolder(const QString &path)
    : m_path(path)
{}

QString SpoolFolder::filePathFor(qint64 processId) const
{
    return m_path + QStringLiteral("/%1.txt").arg(processId);
}

void SpoolFolder::create() const
{
    if (isAvailable() && !QDir(m_path).exists())
        QDir().mkpath(m_path);
}

namespace {

// Names that no listing takes for a spool file: on Windows a leading dot hides nothing, so the listing
// skips such names itself. Writers keep their unfinished files under them.
bool isSpoolFileName(const QString &fileName)
{
    return !fileName.startsWith(QLatin1Char('.'));
}

// By the wall clock, as the file system keeps the time. A file written "in the future" (the clock was set
// back since) is not stale: only a file certainly too old goes without a start.
bool isStale(const QDateTime &modified, qint64 nowMsSinceEpoch)
{
    return modified.isValid() && nowMsSinceEpoch - modified.toMSecsSinceEpoch() > SpoolFileMaxAgeMs;
}

} // namespace

void SpoolFolder::write(qint64 processId, const QString &verbFlag, const QString &path) const
{
    if (!isAvailable())
        return;
    const QString target = filePathFor(processId);
    // One line per path: a file that already holds a path (a leftover, a reused process id) keeps both
    // apart. Windows paths cannot contain line breaks, so a line break is an unambiguous separator. The
    // verb goes with the path: a path left behind by its own primary must not reach the editor under the
    // verb of whichever selection gathers it.
    // The bytes a UTF-8 text stream would write (no byte-order mark), without the stream's codec machinery,
    // which every secondary copy would pay for in memory (about 200 KiB of peak memory, measured).
    QByteArray content;
    QFile existing(target);
    // A stale file's paths would look fresh behind our line and be handed off after all.
    if (existing.open(QIODevice::ReadOnly) &&
        !isStale(existing.fileTime(QFileDevice::FileModificationTime), QDateTime::currentMSecsSinceEpoch())) {
        content = existing.readAll();
        if (!content.isEmpty() && !content.endsWith('\n'))
            content += '\n'; // a file of the earlier format ends without one
        existing.close();
    }
    content += verbFlag.toUtf8() + ';' + path.toUtf8() + '\n';

    // A primary must never read a file that its writer has not finished, nor remove it: read half-written
    // it loses the path, or hands a cut one to the editor. So the lines go into a file that no listing
    // takes, which then replaces the spool file in one step; for a primary that waits, the rename is the
    // arrival. QSaveFile takes the same steps, but its temporary name is one that a listing on Windows
    // would take, and it flushes every file to the disk, which a spool file that lives for moments and
    // needs only to be whole does not need.
    QFile unfinished(m_path + QStringLiteral("/.%1.txt.partial").arg(processId));
    // A primary that has just handed off removes the folder once it is empty, possibly between our
    // making it and our open; making it again is all it takes.
    for (int attempt = 0; attempt < 3 && !unfinished.isOpen(); ++attempt) {
        create();
        unfinished.open(QIODevice::WriteOnly | QIODevice::Truncate);
    }
    if (!unfinished.isOpen()) {
        qCDebug(lcSpool, "pid %lld: could not spool: %s", QCoreApplication::applicationPid(),
                qUtf8Printable(unfinished.errorString()));
        return;
    }
    const bool written = unfinished.write(content) == content.size() && unfinished.flush();
    unfinished.close();
    // On Windows the replacement fails while a primary reads the old file, for a moment.
    bool placed = false;
    for (int attempt = 0; written && attempt < 3 && !placed; ++attempt) {
        if (attempt > 0)
            QThread::msleep(5);
        placed = Platform::replaceFile(unfinished.fileName(), target);
    }
    if (!placed)
        unfinished.remove();
    qCDebug(lcSpool, "pid %lld: %s %s: %d line(s), %d of them kept from before",
            QCoreApplication::applicationPid(), placed ? "spooled" : "could not write or put in place",
            qUtf8Printable(QFileInfo(target).fileName()), int(content.count('\n')),
            int(content.count('\n')) - 1);
}

QStringList SpoolFolder::list() const
{
    QDir directory(m_path);
    directory.setFilter(QDir::Files | QDir::NoDotAndDotDot);
    directory.setSorting(QDir::Name);
    QStringList paths;
    const QFileInfoList entries = directory.entryInfoList();
    paths.reserve(entries.size());
    for (const QFileInfo &entry : entries) {
        if (isSpoolFileName(entry.fileName()))
            paths.append(entry.absoluteFilePath());
    }
    return paths;
}

QList<SpooledPath> readSpoolFile(const QString &filePath, bool *opened)
{
    QFile file(filePath);
    const bool isOpen = file.open(QIODevice::ReadOnly);
    if (opened)
        *opened = isOpen;
    if (!isOpen)
        return {};
    QTextStream stream(&file);
    stream.setCodec("UTF-8");
    const QStringList lines = stream.readAll().split(QLatin1Char('\n'));
    QList<SpooledPath> paths;
    for (QString line : lines) {
        // Tolerate a file that was edited or written with Windows line ends.
        if (line.endsWith(QLatin1Char('\r')))
            line.chop(1);
        SpooledPath spooled;
        const int separator = line.indexOf(QLatin1Char(';'));
        if (separator > 0 && findShellVerb(line.left(separator))) {
            spooled.verbFlag = line.left(separator);
            spooled.path = line.mid(separator + 1);
        } else {
            spooled.path = line;
        }
        if (!spooled.path.isEmpty())
            paths.append(spooled);
    }
    return paths;
}

GatheredSelection SpoolFolder::gather() const
{
    GatheredSelection gathered;
    if (!isAvailable())
        return gathered;
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    const QStringList files = list();
    for (const QString &file : files) {
        if (isStale(QFileInfo(file).lastModified(), now)) {
            gathered.staleFiles.append(file);
            continue;
        }
        bool opened = false;
        const QList<SpooledPath> paths = readSpoolFile(file, &opened);
        // A file we cannot read keeps its paths for a later primary.
        if (!opened)
            continue;
        gathered.paths += paths;
        gathered.consumedFiles.append(file);
    }
    const int staleSpoolFiles = gathered.staleFiles.size(); // for the trail
    // The unfinished file of a copy that died while it wrote: nothing will put it in place. A younger one
    // may still be written.
    const QFileInfoList unfinished =
        QDir(m_path, QStringLiteral(".*.partial"), QDir::NoSort, QDir::Files | QDir::Hidden).entryInfoList();
    for (const QFileInfo &entry : unfinished) {
        if (isStale(entry.lastModified(), now))
            gathered.staleFiles.append(entry.absoluteFilePath());
    }
    qCDebug(lcSpool,
            "pid %lld: gathered %d paths from %d of %d spool files; %d stale spool files and %d stale "
            "unfinished ones to be removed unread; %d unreadable and %d unfinished ones left",
            QCoreApplication::applicationPid(), gathered.paths.size(), gathered.consumedFiles.size(),
            files.size(), staleSpoolFiles, gathered.staleFiles.size() - staleSpoolFiles,
            files.size() - gathered.consumedFiles.size() - staleSpoolFiles,
            unfinished.size() - (gathered.staleFiles.size() - staleSpoolFiles));
    return gathered;
}

void SpoolFolder::removeGathered(const QStringList &files) const
{
    // Only what was handed off, or was too old for it, goes: a copy that spooled after the listing must
    // find its file again.
    for (const QString &file : files)
        QFile::remove(file);
    if (isAvailable())
        QDir().rmdir(m_path);
    qCDebug(lcSpool, "pid %lld: removed the %d files read or stale; the folder %s",
            QCoreApplication::applicationPid(), files.size(),
            !isAvailable() || !QDir(m_path).exists() ? "is gone" : "stays, other entries are left in it");
}

SpoolFolderView SpoolFolder::view() const
{
    const QString path = m_path;
    SpoolFolderView view;
    view.fileNames = [path] {
        // Unsorted and without a stat per file: this runs on every pass of the wait.
        QStringList names = QDir(path).entryList(QDir::Files | QDir::NoDotAndDotDot, QDir::Unsorted);
        names.erase(std::remove_if(names.begin(), names.end(),
                                   [](const QString &name) { return !isSpoolFileName(name); }),
                    names.end());
        return names;
    };
    view.modifiedMsSinceEpoch = [path](const QString &fileName) -> qint64 {
        const QDateTime modified = QFileInfo(path + QLatin1Char('/') + fileName).lastModified();
        return modified.isValid() ? modified.toMSecsSinceEpoch() : -1;
    };
    return view;
}
