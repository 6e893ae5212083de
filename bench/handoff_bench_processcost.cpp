// What single processes cost: a secondary copy's CPU time and memory, one lister run, one election.

#include "benchsupport.h"
#include "handoff_bench_parts.h"
#include "sandbox.h"
#include "testfiles.h"

#include <QFile>

#include <csignal>
#include <vector>

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

namespace {

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

} // namespace

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
