#include "launcher.h"

#include "peercensus.h"
#include "singleapplication.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTextStream>
#include <QTimer>

#include <cstdlib>
#include <utility>

namespace {

// The only places where this program lets events through: the local server of a primary can accept a
// connection here, and nowhere else.
void waitProcessingEvents(int milliseconds)
{
    QEventLoop loop;
    QTimer::singleShot(milliseconds, &loop, &QEventLoop::quit);
    loop.exec(QEventLoop::AllEvents);
}

} // namespace

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

QString handOffArgument(const QString &verbFlag, const QStringList &paths)
{
    // The editor splits at ';' and expects no escaping, so a path holding ';' is passed as it is.
    QStringList parts;
    parts.reserve(paths.size() + 1);
    parts.append(verbFlag);
    parts += paths;
    return parts.join(QLatin1Char(';'));
}

QString editorProgramPath()
{
    return QCoreApplication::applicationDirPath() + QLatin1String("/Ostrel PDF Editor.exe");
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

SpoolArrivals::SpoolArrivals(SpoolFolderView folder)
    : m_folder(std::move(folder))
{
    m_clock.start();
    const QStringList names = m_folder.fileNames();
    for (const QString &name : names)
        m_known.insert(name);
}

void SpoolArrivals::look()
{
    const qint64 listedFrom = m_clock.elapsed();
    const QStringList names = m_folder.fileNames();
    const qint64 noticedAt = m_clock.elapsed();
    const qint64 wallClock = QDateTime::currentMSecsSinceEpoch();
    QSet<QString> current;
    current.reserve(names.size());
    for (const QString &name : names) {
        current.insert(name);
        if (m_known.contains(name))
            continue;
        ++m_arrivals;
        m_latestArrivalAt = qMax(m_latestArrivalAt, estimatedArrival(name, noticedAt, wallClock));
    }
    m_known.swap(current);
    m_previousListingAt = listedFrom;
}

qint64 SpoolArrivals::quietMs() const
{
    return m_clock.elapsed() - m_latestArrivalAt;
}

qint64 SpoolArrivals::estimatedArrival(const QString &fileName, qint64 noticedAt,
                                       qint64 wallClockAtNotice) const
{
    // Copies that spool together must not each pay the whole window again just because the wait noticed
    // their files late, so the file's own time counts. It is a wall-clock time, though, and the wall clock
    // may be wrong or jump: the file was not there at the previous listing and is there now, and nothing
    // may move its arrival outside those two moments.
    const qint64 modified = m_folder.modifiedMsSinceEpoch ? m_folder.modifiedMsSinceEpoch(fileName) : -1;
    if (modified < 0)
        return noticedAt;
    return qBound(m_previousListingAt, noticedAt - (wallClockAtNotice - modified), noticedAt);
}

namespace {

int listerTimeoutWithinCap(const PeerWaitBounds &bounds, qint64 elapsed)
{
    const qint64 remaining = bounds.capMs - elapsed;
    return int(qMin<qint64>(bounds.listerTimeoutMs, qMax<qint64>(remaining, 1000)));
}

// How long to let events through before the next pass.
int pauseBeforeNextPass(const PeerWaitBounds &bounds, int count, qint64 quietLeftMs, qint64 elapsed)
{
    int pause = bounds.passPauseMs;
    if (count <= 0)
        pause = bounds.retryPauseMs; // a missing lister fails at once; do not spin
    else if (count == 1)
        // Alone, and only the window keeps us: nothing can change the answer before it ends, except a new
        // copy, which the next pass sees either running or as its spool file.
        pause = int(qMax<qint64>(quietLeftMs, 1));
    // Otherwise a fast lister would start a hundred processes a second while the peers it waits for still
    // need the processor (see the benchmark's lingering-peer figures).
    return int(qBound<qint64>(1, pause, bounds.capMs - elapsed));
}

} // namespace

PeerWaitOutcome waitForPeersToEnd(const std::function<int(int)> &census, SpoolArrivals &arrivals,
                                  const PeerWaitBounds &bounds)
{
    // Give the peers started with us time to spool before the first census.
    waitProcessingEvents(bounds.initialWaitMs);

    // Peers normally end within moments of spooling, but Explorer starts them one after another, and on a
    // busy machine one may start only after the one before it has ended: a census alone would then see one
    // copy between two peers and split the selection. So a hand-off also needs a spool folder in which no
    // new file appeared for quietWindowMs. A copy that never ends (another account's, an unrelated process
    // whose name matches, a hung one) or a lister that cannot run would keep the selection from ever
    // reaching the editor, so the wait also ends once the count stops changing for settleMs (with a quiet
    // folder), and after capMs in any case, even while files still arrive: the rest forms the next
    // selection. A rising count is progress too: copies are still arriving.
    QElapsedTimer total;
    total.start();
    QElapsedTimer sinceChange;
    sinceChange.start();
    int lastCount = 0;
    for (;;) {
        // The folder first, then the census: a copy that starts after a quiet listing is still running
        // when the census looks, or has spooled and will be gathered anyway. So how long the census takes
        // never eats into the window.
        arrivals.look();
        const bool quiet = arrivals.quietMs() >= bounds.quietWindowMs;
        const int count = census(listerTimeoutWithinCap(bounds, total.elapsed()));
        if (count == 1 && quiet)
            return PeerWaitOutcome::OnlyCopy;
        if (count > 1 && count != lastCount) {
            lastCount = count;
            sinceChange.restart();
        }
        if (quiet && sinceChange.elapsed() >= bounds.settleMs)
            return PeerWaitOutcome::CountSettled;
        if (total.elapsed() >= bounds.capMs)
            return PeerWaitOutcome::CapReached;
        const qint64 quietLeft = bounds.quietWindowMs - arrivals.quietMs();
        waitProcessingEvents(pauseBeforeNextPass(bounds, count, quietLeft, total.elapsed()));
    }
}

void gatherAndLaunch(SingleApplication &app, const QStringList &arguments, const QString &spoolPath,
                     const QString &verbFlag)
{
    const bool secondary = app.runsAsSecondary();

    // No private folder could be had (an empty spool path): a path written anywhere else could be read, or
    // planted, by another account, so nothing is spooled, gathered or handed off. Every copy of the account
    // sees the same folders, so none of them spools either.
    if (spoolPath.isEmpty()) {
        if (secondary)
            std::exit(0);
        return;
    }

    // Element 1 is the only path; a verb flag without one spools nothing.
    const QString selectedPath = arguments.value(1);
    if (!selectedPath.isEmpty())
        writeSpoolFile(spoolFilePath(spoolPath, QCoreApplication::applicationPid()), selectedPath);

    if (secondary)
        std::exit(0);

    // Even a primary without a path of its own gathers: its peers' paths must not wait for the next
    // selection. What the folder holds now, our own file included, is already there.
    SpoolArrivals arrivals(spoolFolderView(spoolPath));
    waitForPeersToEnd([](int listerTimeoutMs) { return countRunningCopies(listerTimeoutMs); }, arrivals);

    const GatheredSelection gathered = gatherSpoolFiles(spoolPath);
    if (!gathered.paths.isEmpty())
        QProcess::startDetached(editorProgramPath(), QStringList{handOffArgument(verbFlag, gathered.paths)});
    removeGatheredFiles(gathered.consumedFiles, spoolPath);
}
