// The selection hand-off measured end to end: copies started together (with and without a lingering peer)
// and copies spread out in time, against a floor of 200 ms plus starting bare programs.

#include "benchsupport.h"
#include "editorprogram.h"
#include "handoff_bench_parts.h"
#include "sandbox.h"
#include "testfiles.h"

#include <QFile>
#include <QFileInfo>
#include <QStorageInfo>
#include <QTemporaryDir>
#include <QThread>

#include <algorithm>
#include <csignal>
#include <sys/wait.h>
#include <vector>

QStringList selectionArguments(int index)
{
    return {QStringLiteral("-ftype_merge"), QStringLiteral("/bench/selected file %1.pdf").arg(index)};
}

namespace {

// Call once every copy has ended. The editor stand-in is started detached, possibly more than once (a copy
// that starts after a primary's teardown hands off again), and a sandbox removed under it would have its
// configuration folder made again; its records are complete once its lock file has stayed away a while.
void waitForEditorToFinish(const Sandbox &sandbox)
{
    const QString lock = sandbox.editorLog() + QLatin1String(".lock");
    for (int quiet = 0, i = 0; quiet < 30 && i < 1000; ++i) {
        quiet = QFileInfo::exists(lock) ? 0 : quiet + 1;
        QThread::msleep(10);
    }
}

// Where the copies spool. A session's runtime folder ($XDG_RUNTIME_DIR) is a memory file system; the
// sandbox's lies on the disk of the temporary folder. On a disk without a journal (ext4 as this machine
// has it), making a file within seconds of many deletions scans the inode table past every recently freed
// inode: measured, that cost 1.4 to 3 ms of processor time per copy, more than the rest of a copy beyond a
// bare program, and it grows with whatever else the machine deleted lately.
enum class SpoolPlace { SessionMemory, SandboxDisk };

// Time from starting N copies at once to the editor stand-in's first record.
double handOffLatencyMs(int copies, SpoolPlace place = SpoolPlace::SessionMemory)
{
    Sandbox sandbox;
    QProcessEnvironment environment = sandbox.environment();
    // Private (mode 0700) like a session's runtime folder; left on the sandbox's disk where no memory file
    // system is at hand.
    QTemporaryDir sessionRuntime(QStringLiteral("/dev/shm/ostrel-bench-runtime-XXXXXX"));
    if (place == SpoolPlace::SessionMemory && sessionRuntime.isValid() &&
        QStorageInfo(sessionRuntime.path()).fileSystemType() == "tmpfs")
        environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), sessionRuntime.path());
    Spawner spawner(environment);
    std::vector<pid_t> pids;
    const qint64 start = nowNs();
    for (int i = 0; i < copies; ++i)
        pids.push_back(spawner.spawn(sandbox.programPath(), selectionArguments(i)));
    const bool arrived = waitForFile(sandbox.editorLog(), 120000);
    const qint64 end = nowNs();
    for (pid_t pid : pids)
        reap(pid);
    waitForEditorToFinish(sandbox);
    return arrived ? ms(end - start) : -1;
}

// 200 ms plus starting and reaping N bare programs.
double floorMs(int copies)
{
    Spawner spawner(QProcessEnvironment::systemEnvironment());
    const QString bare = benchDir() + QLatin1String("/bench_bare");
    std::vector<pid_t> pids;
    const qint64 start = nowNs();
    for (int i = 0; i < copies; ++i)
        pids.push_back(spawner.spawn(bare, {}));
    for (pid_t pid : pids)
        reap(pid);
    return 200.0 + ms(nowNs() - start);
}

// 200 ms plus the process runs that a lone copy's hand-off is made of, each timed alone: the copy itself
// (its election, with the random pause before it, and its teardown), one lister run and one editor start.
double loneCopyPartsMs(int repeats)
{
    Sandbox sandbox;
    Spawner spawner(sandbox.environment());
    const auto timed = [&](const QString &program, const QStringList &arguments) {
        std::vector<double> times;
        for (int r = 0; r < repeats; ++r) {
            const qint64 start = nowNs();
            reap(spawner.spawn(program, arguments));
            times.push_back(ms(nowNs() - start));
        }
        return median(times);
    };
    const QString installDir = sandbox.installDir() + QLatin1Char('/');
    return 200.0 + timed(sandbox.programPath(), {}) + timed(installDir + QLatin1String("tasklist"), {}) +
           timed(installDir + QLatin1String(EditorFileName), {QStringLiteral("-ftype_merge;/bench/a.pdf")});
}

struct CountedHandOff
{
    double lastSecondaryEndMs = 0; // from the start of all copies to the end of the last secondary
    int censusRuns = 0;
};

// N copies with the census runs counted by a wrapper around the lister; optionally while a process whose
// name contains the program's stays alive (as another account's copy would): the census then never counts
// one, so the primary polls until its wait settles, while the secondaries are still starting.
CountedHandOff countedHandOff(int copies, bool lingeringPeer)
{
    Sandbox sandbox;
    const QString lister = sandbox.installDir() + QLatin1String("/tasklist");
    QFile::rename(lister, lister + QLatin1String(".real"));
    const QByteArray counter = QFile::encodeName(sandbox.root() + QLatin1String("/census-runs"));
    writeExecutable(lister, "#!/bin/sh\necho x >> '" + counter + "'\nexec '" + QFile::encodeName(lister) +
                                ".real'\n");
    const QString peerProgram = sandbox.root() + QLatin1String("/OstrelContextMenuLingering");
    QFile::copy(QStringLiteral("/bin/sleep"), peerProgram);
    Spawner spawner(sandbox.environment());
    const pid_t peer = lingeringPeer ? spawner.spawn(peerProgram, {QStringLiteral("600")}) : -1;

    std::vector<pid_t> pids;
    const qint64 start = nowNs();
    for (int i = 0; i < copies; ++i)
        pids.push_back(spawner.spawn(sandbox.programPath(), selectionArguments(i)));
    std::vector<qint64> ends;
    for (size_t ended = 0; ended < pids.size();) {
        int status = 0;
        const pid_t pid = waitpid(-1, &status, 0);
        if (std::find(pids.begin(), pids.end(), pid) != pids.end()) {
            ends.push_back(nowNs());
            ++ended;
        }
    }
    CountedHandOff run;
    // The primary ends last; the one before it is the last secondary.
    run.lastSecondaryEndMs = ends.size() > 1 ? ms(ends[ends.size() - 2] - start) : 0;
    waitForFile(sandbox.editorLog(), 10000);
    waitForEditorToFinish(sandbox);
    if (peer > 0) {
        kill(peer, SIGKILL);
        reap(peer);
    }
    QFile file(QFile::decodeName(counter));
    file.open(QIODevice::ReadOnly);
    run.censusRuns = file.readAll().count('\n');
    return run;
}

} // namespace

void benchHandOff(int repeats)
{
    for (int copies : {1, 10, 50, 100}) {
        std::vector<double> latencies, floors;
        for (int r = 0; r < repeats; ++r) {
            latencies.push_back(handOffLatencyMs(copies));
            floors.push_back(floorMs(copies));
        }
        // Copies started together hand off once the last of them has been quiet for the 200 ms window,
        // which the floor does not contain; only a lone copy has nothing to wait for.
        addRow(QStringLiteral("hand-off latency, N = %1").arg(copies), median(latencies), median(floors),
               QStringLiteral(" ms"), copies == 1 ? QStringLiteral("<= 1.2") : QStringLiteral("-"));
        if (copies == 1)
            addRow(QStringLiteral("hand-off latency, N = 1, against its own process runs"), median(latencies),
                   loneCopyPartsMs(repeats * 3), QStringLiteral(" ms"), QStringLiteral("-"));
    }
    {
        std::vector<double> latencies, floors;
        for (int r = 0; r < repeats; ++r) {
            latencies.push_back(handOffLatencyMs(100, SpoolPlace::SandboxDisk));
            floors.push_back(floorMs(100));
        }
        addRow(QStringLiteral("hand-off latency, N = 100, spool folder on the sandbox's disk"),
               median(latencies), median(floors), QStringLiteral(" ms"), QStringLiteral("-"));
    }
    for (int copies : {10, 100}) {
        std::vector<double> withPeer, without;
        int censusRuns = 0;
        for (int r = 0; r < repeats; ++r) {
            const CountedHandOff run = countedHandOff(copies, true);
            withPeer.push_back(run.lastSecondaryEndMs);
            censusRuns = qMax(censusRuns, run.censusRuns);
            without.push_back(countedHandOff(copies, false).lastSecondaryEndMs);
        }
        addRow(QStringLiteral("lingering peer, N = %1: census runs in the 3 s wait").arg(copies),
               QString::number(censusRuns), QStringLiteral("-"), QStringLiteral("-"), QStringLiteral("-"));
        addRow(QStringLiteral("lingering peer, N = %1: last secondary ended").arg(copies), median(withPeer),
               median(without), QStringLiteral(" ms"), QStringLiteral("-"));
    }
    for (int copies : {1, 10, 50, 100}) {
        std::vector<double> runs;
        for (int r = 0; r < repeats; ++r)
            runs.push_back(countedHandOff(copies, false).censusRuns);
        addRow(QStringLiteral("lister runs per hand-off, N = %1").arg(copies),
               QStringLiteral("%1 (most %2)")
                   .arg(median(runs), 0, 'f', 0)
                   .arg(*std::max_element(runs.begin(), runs.end()), 0, 'f', 0),
               QStringLiteral("-"), QStringLiteral("-"), QStringLiteral("-"));
    }
}

namespace {

// Every path the editor stand-in has received so far, over all its starts, and how many starts there were.
struct EditorRecords
{
    int starts = 0;
    int paths = 0;
};

EditorRecords editorRecords(const Sandbox &sandbox)
{
    EditorRecords records;
    records.starts = sandbox.editorStarts().size();
    records.paths = handedOffPaths(sandbox, QStringLiteral("-ftype_merge")).size();
    return records;
}

struct SpreadRun
{
    int editorStarts = 0;
    double lastCopyToEditorMs = -1; // from the last copy's start until the editor holds every path
};

// Copies started gapMs apart on one clock, as Explorer starts them on a busy machine.
SpreadRun spreadArrivals(int copies, int gapMs)
{
    Sandbox sandbox;
    Spawner spawner(sandbox.environment());
    std::vector<pid_t> pids;
    const qint64 first = nowNs();
    qint64 lastStart = first;
    for (int i = 0; i < copies; ++i) {
        const qint64 due = first + qint64(i) * gapMs * 1000000;
        while (nowNs() < due)
            QThread::usleep(200);
        lastStart = nowNs();
        pids.push_back(spawner.spawn(sandbox.programPath(), selectionArguments(i)));
    }
    SpreadRun run;
    const qint64 deadline = nowNs() + qint64(120000) * 1000000;
    while (editorRecords(sandbox).paths < copies && nowNs() < deadline)
        QThread::usleep(500);
    if (editorRecords(sandbox).paths >= copies)
        run.lastCopyToEditorMs = ms(nowNs() - lastStart);
    for (pid_t pid : pids)
        reap(pid);
    waitForEditorToFinish(sandbox);
    run.editorStarts = editorRecords(sandbox).starts;
    return run;
}

} // namespace

void benchSpreadArrivals(int repeats)
{
    const int copies = 20;
    for (int gapMs : {0, 20, 60, 150}) {
        std::vector<double> starts, latencies, floors;
        for (int r = 0; r < repeats; ++r) {
            const SpreadRun run = spreadArrivals(copies, gapMs);
            starts.push_back(run.editorStarts);
            latencies.push_back(run.lastCopyToEditorMs);
            floors.push_back(floorMs(1));
        }
        const QString label = QStringLiteral("spread arrivals, %1 copies %2 ms apart").arg(copies).arg(gapMs);
        addRow(label + QStringLiteral(": editor starts"),
               QStringLiteral("%1 (most %2)")
                   .arg(median(starts), 0, 'f', 0)
                   .arg(*std::max_element(starts.begin(), starts.end()), 0, 'f', 0),
               QStringLiteral("-"), QStringLiteral("-"), QStringLiteral("1"));
        addRow(label + QStringLiteral(": last copy to editor"), median(latencies), median(floors),
               QStringLiteral(" ms"), QStringLiteral("-"));
    }
}
