#include "spoolfolder.h"

#include "platform.h"
#include "shellverbs.h"
#include "spoollog.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTextStream>

#include <QHash>
#include <QMap>

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

SpoolFolder SpoolFolder::forSelectionOf(qint64 primaryProcessId) const
{
    SpoolFolder folder(m_path);
    folder.m_primaryProcessId = qMax<qint64>(primaryProcessId, 0);
    return folder;
}

QString SpoolFolder::filePathFor(qint64 processId) const
{
    // The primary goes into the name, never into the lines: a primary of an earlier version reads every
    // visible file and its lines as it always did.
    if (m_primaryProcessId > 0)
        return m_path + QStringLiteral("/%1-%2.txt").arg(processId).arg(m_primaryProcessId);
    return m_path + QStringLiteral("/%1.txt").arg(processId);
}

bool isSpoolablePath(const QString &path)
{
    return !path.contains(QLatin1Char('\n')) && !path.contains(QLatin1Char('\r'));
}

qint64 selectionOfSpoolFile(const QString &fileName)
{
    static const QLatin1String suffix(".txt");
    if (!fileName.endsWith(suffix))
        return 0;
    const QStringList ids = fileName.left(fileName.size() - suffix.size()).split(QLatin1Char('-'));
    if (ids.size() != 2)
        return 0;
    bool writerOk = false;
    bool primaryOk = false;
    ids.at(0).toLongLong(&writerOk);
    const qint64 primary = ids.at(1).toLongLong(&primaryOk);
    // Digits only: toLongLong would also take a sign or spaces.
    const auto digits = [](const QString &text) {
        return !text.isEmpty() &&
               std::all_of(text.cbegin(), text.cend(), [](QChar c) { return c.isDigit(); });
    };
    return writerOk && primaryOk && primary > 0 && digits(ids.at(0)) && digits(ids.at(1)) ? primary : 0;
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

// By the wall clock, as the file system keeps the time, against a moment before the wait of whoever
// judges: a primary paused while it waited (the machine asleep) or a clock that jumped forward meanwhile
// must not age anything. A file written "in the future" (the clock was set back since) is not stale: only
// a file certainly too old goes without a start.
bool isStale(const QDateTime &modified, qint64 referenceMsSinceEpoch)
{
    return modified.isValid() && referenceMsSinceEpoch - modified.toMSecsSinceEpoch() > SpoolFileMaxAgeMs;
}

// What the system's clock for file times may lag behind the wall clock read just before a write.
constexpr qint64 FileClockSlackMs = 100;

const QLatin1String ClaimedMark(".claimed-");

// ".<name>.claimed-<claimer>": the spool file's own name, and the claimer's process id (0 if none).
QString claimedName(const QString &fileName, qint64 claimer)
{
    return QLatin1Char('.') + fileName + ClaimedMark + QString::number(claimer);
}

bool parseClaimedName(const QString &claimed, QString *fileName, qint64 *claimer)
{
    const int mark = claimed.lastIndexOf(ClaimedMark);
    if (!claimed.startsWith(QLatin1Char('.')) || mark <= 1)
        return false;
    bool ok = false;
    *claimer = claimed.mid(mark + ClaimedMark.size()).toLongLong(&ok);
    *fileName = claimed.mid(1, mark - 1);
    return ok;
}

QString ownImageName()
{
    return QFileInfo(QCoreApplication::applicationFilePath()).fileName();
}

} // namespace

bool SpoolFolder::write(qint64 processId, const QString &verbFlag, const QString &path) const
{
    if (!isAvailable() || !isSpoolablePath(path))
        return false;
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
        return false;
    }
    const bool written = unfinished.write(content) == content.size() && unfinished.flush();
    unfinished.close();
    // On Windows the replacement is refused for a moment while a scanner or a reader holds a file;
    // replaceFile waits for that within its bound.
    const bool placed = written && Platform::replaceFile(unfinished.fileName(), target);
    if (!placed)
        unfinished.remove();
    qCDebug(lcSpool, "pid %lld: %s %s: %d line(s), %d of them kept from before",
            QCoreApplication::applicationPid(), placed ? "spooled" : "could not write or put in place",
            qUtf8Printable(QFileInfo(target).fileName()), int(content.count('\n')),
            int(content.count('\n')) - 1);
    return placed;
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

QString SpoolFolder::claim(const QString &filePath, qint64 claimerProcessId) const
{
    const QFileInfo file(filePath);
    QString name = file.fileName();
    qint64 earlierClaimer = 0;
    QString original;
    if (parseClaimedName(name, &original, &earlierClaimer))
        name = original; // taken again from a claimer that is gone
    const QString claimed = file.absolutePath() + QLatin1Char('/') + claimedName(name, claimerProcessId);
    // One rename: of two primaries that want one file, only one can move it.
    if (claimed == file.absoluteFilePath() || Platform::replaceFile(file.absoluteFilePath(), claimed))
        return claimed;
    return QString();
}

namespace {

// Remembers per process id whether it is a running copy of this program: a folder may hold many files of
// one selection.
class RunningPrimaries
{
public:
    bool isRunning(qint64 processId)
    {
        auto known = m_known.constFind(processId);
        if (known == m_known.constEnd())
            known = m_known.insert(processId, Platform::isProcessAlive(processId, m_image));
        return known.value();
    }

private:
    const QString m_image = ownImageName();
    QHash<qint64, bool> m_known;
};

} // namespace

GatheredSelection SpoolFolder::gather(const Gatherer &gatherer) const
{
    GatheredSelection gathered;
    if (!isAvailable())
        return gathered;
    RunningPrimaries primaries;
    // Candidates: every claimed file whose claimer is gone (it was killed before it could remove what it
    // had handed off, or before it read it) or is us (a file set aside), then every listed spool file. The
    // claimed ones first: each file is read right after its claim, so a later claim under the same name
    // (a file of a reused id set aside, and our own) replaces only what was read already.
    QStringList candidates;
    const QFileInfoList claimed = QDir(m_path, QLatin1Char('*') + ClaimedMark + QLatin1Char('*'), QDir::Name,
                                       QDir::Files | QDir::Hidden)
                                      .entryInfoList();
    for (const QFileInfo &entry : claimed) {
        QString name;
        qint64 claimer = 0;
        if (parseClaimedName(entry.fileName(), &name, &claimer) &&
            (claimer == gatherer.processId || !primaries.isRunning(claimer)))
            candidates.append(entry.absoluteFilePath());
    }
    candidates += list();

    QMap<qint64, EarlierSelection> earlier; // by primary
    for (const QString &file : candidates) {
        const QFileInfo info(file);
        QString name = info.fileName();
        qint64 claimer = 0;
        QString original;
        if (parseClaimedName(name, &original, &claimer))
            name = original;
        const qint64 primary = selectionOfSpoolFile(name);
        const QDateTime modified = info.lastModified();
        // Files of our id are our selection's, however long we waited; after a reuse of the id, only
        // those written since our start are.
        const bool own = primary == gatherer.processId &&
                         (!gatherer.idUsedBefore || !modified.isValid() ||
                          modified.toMSecsSinceEpoch() >= gatherer.startedMsSinceEpoch - FileClockSlackMs);
        // Another primary that runs gathers its own selection; it may be paused, and its files old.
        if (!own && primary > 0 && primary != gatherer.processId && primaries.isRunning(primary))
            continue;
        if (!own && isStale(modified, gatherer.startedMsSinceEpoch)) {
            gathered.staleFiles.append(file);
            continue;
        }
        const QString taken = claim(file, gatherer.processId);
        if (taken.isEmpty())
            continue; // another primary took it, or it stays for a later one
        bool opened = false;
        const QList<SpooledPath> paths = readSpoolFile(taken, &opened);
        // A file we cannot read keeps its paths for a later primary, which takes it once we are gone.
        if (!opened)
            continue;
        gathered.consumedFiles.append(taken);
        if (own) {
            gathered.paths += paths;
            continue;
        }
        EarlierSelection &selection = earlier[primary];
        const qint64 written =
            modified.isValid() ? modified.toMSecsSinceEpoch() : gatherer.startedMsSinceEpoch;
        if (selection.paths.isEmpty() || written < selection.writtenMsSinceEpoch)
            selection.writtenMsSinceEpoch = written;
        selection.primaryProcessId = primary;
        selection.paths += paths;
    }
    for (const EarlierSelection &selection : earlier) {
        if (!selection.paths.isEmpty())
            gathered.earlier.append(selection);
    }
    std::stable_sort(gathered.earlier.begin(), gathered.earlier.end(),
                     [](const EarlierSelection &a, const EarlierSelection &b) {
                         return a.writtenMsSinceEpoch < b.writtenMsSinceEpoch;
                     });

    const int staleSpoolFiles = gathered.staleFiles.size(); // for the trail
    // The unfinished file of a copy that died while it wrote: nothing will put it in place. A younger one
    // may still be written.
    const QFileInfoList unfinished =
        QDir(m_path, QStringLiteral(".*.partial"), QDir::NoSort, QDir::Files | QDir::Hidden).entryInfoList();
    for (const QFileInfo &entry : unfinished) {
        if (isStale(entry.lastModified(), gatherer.startedMsSinceEpoch))
            gathered.staleFiles.append(entry.absoluteFilePath());
    }
    int earlierPaths = 0;
    for (const EarlierSelection &selection : gathered.earlier)
        earlierPaths += selection.paths.size();
    qCDebug(lcSpool,
            "pid %lld: gathered %d paths from %d of %d spool files; %d stale spool files and %d stale "
            "unfinished ones to be removed unread; %d unreadable and %d unfinished ones left; %d of the "
            "paths from %d earlier selections, each handed off apart",
            QCoreApplication::applicationPid(), gathered.paths.size() + earlierPaths,
            gathered.consumedFiles.size(), candidates.size(), staleSpoolFiles,
            gathered.staleFiles.size() - staleSpoolFiles,
            candidates.size() - gathered.consumedFiles.size() - staleSpoolFiles,
            unfinished.size() - (gathered.staleFiles.size() - staleSpoolFiles), earlierPaths,
            gathered.earlier.size());
    return gathered;
}

void SpoolFolder::removeGathered(const QStringList &files) const
{
    // Only what was handed off, or was too old for it, goes: a copy that spooled after the listing must
    // find its file again.
    for (const QString &file : files) {
        if (QFile::remove(file) || !QFileInfo::exists(file))
            continue;
        QString name;
        qint64 claimer = 0;
        if (!parseClaimedName(QFileInfo(file).fileName(), &name, &claimer)) {
            qWarning().noquote() << "OstrelContextMenu: Unable to remove the spool file" << file;
            continue;
        }
        // Handed off already: once we are gone a later primary would take it again. A folder that refuses
        // removals for a moment (or a reader on Windows that holds the file without sharing its deletion)
        // still lets the file itself be emptied.
        QFile handedOff(file);
        const bool emptied = handedOff.open(QIODevice::WriteOnly | QIODevice::Truncate);
        handedOff.close();
        qWarning().noquote() << "OstrelContextMenu: Unable to remove the spool file" << file
                             << (emptied ? "after its paths were handed off; it was emptied."
                                         : "after its paths were handed off, nor empty it; a later hand-off "
                                           "may pass them again.");
    }
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
