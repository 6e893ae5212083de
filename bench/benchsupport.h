#ifndef OSTREL_BENCH_BENCHSUPPORT_H
#define OSTREL_BENCH_BENCHSUPPORT_H

// What the benchmark programs share: a monotonic clock, process starts without QProcess's own
// overhead (posix_spawn), reaping with the child's resource use, and the Markdown table they print.

#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

#include <sys/types.h>
#include <vector>

qint64 nowNs();
double ms(qint64 ns);
double median(std::vector<double> values);

// The folder of the benchmark programs (bench_bare, bench_election_probe).
QString benchDir();

// Repetitions of each measurement: OSTREL_BENCH_REPEATS when it is set to 1 or more, else 5.
int benchRepeats();

// posix_spawn with an explicit environment; standard output optionally to a file.
class Spawner
{
public:
    explicit Spawner(const QProcessEnvironment &env);
    pid_t spawn(const QString &program, const QStringList &arguments, const QString &stdoutFile = QString());

private:
    std::vector<QByteArray> m_env;
    std::vector<char *> m_envp;
};

struct Reaped
{
    int status = -1;
    double cpuMs = 0;
    long maxRssKiB = 0;
};
Reaped reap(pid_t pid);

bool waitForFile(const QString &path, int timeoutMs);

// One row of the printed table: a measured value beside its baseline, their ratio and the target.
void addRow(const QString &figure, double value, double baseline, const QString &unit, const QString &target);
void addRow(const QString &figure, const QString &value, const QString &baseline, const QString &ratio,
            const QString &target);
void printRows();

#endif
