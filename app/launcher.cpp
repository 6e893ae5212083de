#include "launcher.h"

#include "peercensus.h"
#include "singleapplication.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTextStream>
#include <QTimer>

#include <cstdlib>

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

PeerWaitOutcome waitForPeersToEnd(const std::function<int(int)> &census, const PeerWaitBounds &bounds)
{
    // Peers normally end within moments of spooling. A copy that never ends (another account's, an
    // unrelated process whose name matches, a hung one) or a lister that cannot run would otherwise keep
    // the selection from ever reaching the editor, so the wait ends once the count stops changing for
    // settleMs, and after capMs in any case. A rising count is progress too: copies are still arriving.
    QElapsedTimer total;
    total.start();
    QElapsedTimer sinceChange;
    sinceChange.start();
    int lastCount = 0;
    for (;;) {
        const qint64 remaining = bounds.capMs - total.elapsed();
        const int listerTimeout = int(qMin<qint64>(bounds.listerTimeoutMs, qMax<qint64>(remaining, 1000)));
        const int count = census(listerTimeout);
        if (count == 1)
            return PeerWaitOutcome::OnlyCopy;
        if (count > 1 && count != lastCount) {
            lastCount = count;
            sinceChange.restart();
        }
        if (sinceChange.elapsed() >= bounds.settleMs)
            return PeerWaitOutcome::CountSettled;
        if (total.elapsed() >= bounds.capMs)
            return PeerWaitOutcome::CapReached;
        if (count <= 0)
            waitProcessingEvents(bounds.retryPauseMs); // a missing lister fails at once; do not spin
        else
            // A fast lister would otherwise start a hundred processes a second while the peers it waits
            // for still need the processor (see the benchmark's lingering-peer figures).
            waitProcessingEvents(bounds.passPauseMs);
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
    // selection.
    waitProcessingEvents(200);
    waitForPeersToEnd([](int listerTimeoutMs) { return countRunningCopies(listerTimeoutMs); });

    const GatheredSelection gathered = gatherSpoolFiles(spoolPath);
    if (!gathered.paths.isEmpty())
        QProcess::startDetached(editorProgramPath(), QStringList{handOffArgument(verbFlag, gathered.paths)});
    removeGatheredFiles(gathered.consumedFiles, spoolPath);
}
