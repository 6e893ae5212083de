// Measures the selection hand-off on this machine and prints one table. Every figure comes with a baseline
// measured in the same run (a bare core application started the same way), since absolute times on shared
// machines are noisy.

#include "benchsupport.h"
#include "sandbox.h"
#include "testfiles.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QThread>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

QStringList selectionArguments(int index)
{
    return {QStringLiteral("-ftype_merge"), QStringLiteral("/bench/selected file %1.pdf").arg(index)};
}

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

// Time from starting N copies at once to the editor stand-in's first record.
double handOffLatencyMs(int copies)
{
    Sandbox sandbox;
    Spawner spawner(sandbox.environment());
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
    for (int copies : {1, 10, 50, 100})
        addRow(QStringLiteral("census runs in one hand-off, N = %1").arg(copies),
               QString::number(countedHandOff(copies, false).censusRuns), QStringLiteral("-"),
               QStringLiteral("-"), QStringLiteral("-"));
}

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

// A secondary copy's CPU time and peak memory, while a primary holds its role.
void benchCopyCost(int repeats)
{
    Sandbox sandbox;
    const QString lister = sandbox.installDir() + QLatin1String("/tasklist");
    const QByteArray root = QFile::encodeName(sandbox.root());
    // Keeps the primary inside its first census until released, or until the sandbox is gone: the primary
    // is killed and the sandbox removed right after the release, maybe before the lister looked again, and
    // a lister left behind would hold whatever it inherited (the shared lock of the test runs, for one).
    writeExecutable(lister, "#!/bin/sh\ntouch '" + root + "/started'\nwhile [ -d '" + root +
                                "' ] && [ ! -e '" + root + "/release' ]; do sleep 0.05; done\n");
    Spawner spawner(sandbox.environment());
    const pid_t primary = spawner.spawn(sandbox.programPath(), selectionArguments(0));
    waitForFile(sandbox.root() + QLatin1String("/started"), 30000);

    std::vector<double> cpu, bareCpu, rss, bareRss;
    for (int r = 0; r < repeats; ++r) {
        const Reaped copy = reap(spawner.spawn(sandbox.programPath(), selectionArguments(r + 1)));
        cpu.push_back(copy.cpuMs);
        rss.push_back(double(copy.maxRssKiB));
        const Reaped bare = reap(spawner.spawn(benchDir() + QLatin1String("/bench_bare"), {}));
        bareCpu.push_back(bare.cpuMs);
        bareRss.push_back(double(bare.maxRssKiB));
    }
    // Release the lister first: killed, the primary would leave it waiting for ever.
    QFile(sandbox.root() + QLatin1String("/release")).open(QIODevice::WriteOnly);
    kill(primary, SIGKILL);
    reap(primary);
    addRow(QStringLiteral("secondary copy, CPU time"), median(cpu), median(bareCpu), QStringLiteral(" ms"),
           QStringLiteral("<= 1.5"));
    addRow(QStringLiteral("secondary copy, peak memory"), QString::number(median(rss), 'f', 0) + " KiB",
           QString::number(median(bareRss), 'f', 0) + " KiB",
           QStringLiteral("+%1 KiB").arg(median(rss) - median(bareRss), 0, 'f', 0),
           QStringLiteral("<= +1024 KiB"));
}

double listerRunMs(const QString &lister, int repeats)
{
    Spawner spawner(QProcessEnvironment::systemEnvironment());
    std::vector<double> times;
    for (int r = 0; r < repeats; ++r) {
        const qint64 start = nowNs();
        reap(spawner.spawn(lister, {}));
        times.push_back(ms(nowNs() - start));
    }
    return median(times);
}

void benchCensus(int repeats)
{
    const QString lister = buildBinDir() + QLatin1String("/tasklist");
    const QString bare = benchDir() + QLatin1String("/bench_bare");
    Spawner spawner(QProcessEnvironment::systemEnvironment());
    std::vector<pid_t> sleepers;
    for (int extra : {100, 1000}) {
        while (int(sleepers.size()) < extra)
            sleepers.push_back(spawner.spawn(QStringLiteral("/bin/sleep"), {QStringLiteral("600")}));
        addRow(QStringLiteral("one lister run, %1 extra processes").arg(extra), listerRunMs(lister, repeats),
               listerRunMs(bare, repeats), QStringLiteral(" ms"), QStringLiteral("-"));
    }
    for (pid_t pid : sleepers) {
        kill(pid, SIGKILL);
        reap(pid);
    }
}

// Time from spawning a copy to the end of its application object's constructor.
void benchElection(int repeats)
{
    Sandbox sandbox;
    const QString probe = benchDir() + QLatin1String("/bench_election_probe");
    const QString bare = benchDir() + QLatin1String("/bench_bare");
    Spawner spawner(sandbox.environment());
    const auto readEnd = [](const QString &file) {
        QFile out(file);
        out.open(QIODevice::ReadOnly);
        return out.readAll().split(' ').value(0).toLongLong();
    };

    std::vector<double> first, bareFirst;
    for (int r = 0; r < repeats; ++r) {
        const QString out = sandbox.root() + QStringLiteral("/probe-%1").arg(r);
        const qint64 start = nowNs();
        reap(spawner.spawn(probe, {}, out));
        first.push_back(ms(readEnd(out) - start));
        const qint64 bareStart = nowNs();
        reap(spawner.spawn(bare, {}));
        bareFirst.push_back(ms(nowNs() - bareStart));
    }
    addRow(QStringLiteral("election, first copy"), median(first), median(bareFirst), QStringLiteral(" ms"),
           QStringLiteral("-"));

    std::vector<double> last, bareLast;
    for (int r = 0; r < repeats; ++r) {
        std::vector<pid_t> pids;
        std::vector<qint64> starts;
        for (int i = 0; i < 100; ++i) {
            starts.push_back(nowNs());
            pids.push_back(spawner.spawn(probe, {}, sandbox.root() + QStringLiteral("/crowd-%1").arg(i)));
        }
        for (pid_t pid : pids)
            reap(pid);
        last.push_back(ms(readEnd(sandbox.root() + QStringLiteral("/crowd-99")) - starts.back()));

        pids.clear();
        qint64 lastStart = 0;
        for (int i = 0; i < 100; ++i) {
            lastStart = nowNs();
            pids.push_back(spawner.spawn(bare, {}));
        }
        for (pid_t pid : pids)
            reap(pid);
        bareLast.push_back(ms(nowNs() - lastStart));
    }
    addRow(QStringLiteral("election, 100th of 100 at once"), median(last), median(bareLast),
           QStringLiteral(" ms"), QStringLiteral("-"));
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const int repeats = benchRepeats();

    std::fprintf(stderr, "hand-off...\n");
    benchHandOff(repeats);
    std::fprintf(stderr, "spread arrivals...\n");
    benchSpreadArrivals(repeats);
    std::fprintf(stderr, "copy cost...\n");
    benchCopyCost(repeats * 5);
    std::fprintf(stderr, "census...\n");
    benchCensus(repeats * 3);
    std::fprintf(stderr, "election...\n");
    benchElection(repeats);

    printRows();
    return 0;
}
