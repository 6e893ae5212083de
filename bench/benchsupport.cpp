#include "benchsupport.h"

#include <QFile>
#include <QFileInfo>
#include <QThread>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>

qint64 nowNs()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return qint64(now.tv_sec) * 1000000000LL + now.tv_nsec;
}

double ms(qint64 ns)
{
    return double(ns) / 1e6;
}

double median(std::vector<double> values)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

QString benchDir()
{
    return QStringLiteral(OSTREL_BENCH_DIR);
}

int benchRepeats()
{
    const int repeats = qEnvironmentVariableIntValue("OSTREL_BENCH_REPEATS");
    return repeats >= 1 ? repeats : 5;
}

Spawner::Spawner(const QProcessEnvironment &env)
{
    for (const QString &entry : env.toStringList())
        m_env.push_back(entry.toLocal8Bit());
    for (QByteArray &entry : m_env)
        m_envp.push_back(entry.data());
    m_envp.push_back(nullptr);
}

pid_t Spawner::spawn(const QString &program, const QStringList &arguments, const QString &stdoutFile)
{
    std::vector<QByteArray> args{QFile::encodeName(program)};
    for (const QString &argument : arguments)
        args.push_back(argument.toLocal8Bit());
    std::vector<char *> argv;
    for (QByteArray &arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    const QByteArray out = QFile::encodeName(stdoutFile.isEmpty() ? QStringLiteral("/dev/null") : stdoutFile);
    posix_spawn_file_actions_addopen(&actions, 1, out.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    pid_t pid = -1;
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), m_envp.data()) != 0)
        pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

Reaped reap(pid_t pid)
{
    Reaped result;
    rusage usage{};
    if (wait4(pid, &result.status, 0, &usage) == pid) {
        result.cpuMs = usage.ru_utime.tv_sec * 1e3 + usage.ru_utime.tv_usec / 1e3 +
                       usage.ru_stime.tv_sec * 1e3 + usage.ru_stime.tv_usec / 1e3;
        result.maxRssKiB = usage.ru_maxrss;
    }
    return result;
}

bool waitForFile(const QString &path, int timeoutMs)
{
    const qint64 deadline = nowNs() + qint64(timeoutMs) * 1000000;
    while (!QFileInfo::exists(path)) {
        if (nowNs() > deadline)
            return false;
        QThread::usleep(500);
    }
    return true;
}

namespace {

struct Row
{
    QString figure;
    QString value;
    QString baseline;
    QString ratio;
    QString target;
};

std::vector<Row> &rows()
{
    static std::vector<Row> table;
    return table;
}

} // namespace

void addRow(const QString &figure, double value, double baseline, const QString &unit, const QString &target)
{
    addRow(figure, QString::number(value, 'f', 1) + unit, QString::number(baseline, 'f', 1) + unit,
           baseline > 0 ? QString::number(value / baseline, 'f', 2) : QStringLiteral("-"), target);
}

void addRow(const QString &figure, const QString &value, const QString &baseline, const QString &ratio,
            const QString &target)
{
    rows().push_back({figure, value, baseline, ratio, target});
}

void printRows()
{
    std::printf("| figure | measured | baseline | ratio | target |\n|---|---|---|---|---|\n");
    for (const Row &row : rows())
        std::printf("| %s | %s | %s | %s | %s |\n", qPrintable(row.figure), qPrintable(row.value),
                    qPrintable(row.baseline), qPrintable(row.ratio), qPrintable(row.target));
    std::fflush(stdout);
}
