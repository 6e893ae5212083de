// The process-lister stand-in: its table, full image names, and processes that end while it reads them.

#include "boundedrepeat.h"
#include "peercensus.h"
#include "sandbox.h"

#include <QCoreApplication>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <cerrno>
#include <csignal>
#include <ctime>
#include <fcntl.h>
#include <sys/ptrace.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <sys/user.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// Keeps about `population` processes coming and going in a process group of its own: each lives a random
// 0 to 3 ms and is replaced as soon as it has been reaped, so that processes are reaped at every moment of
// a lister run. The children are forked without exec and do only what is safe after a fork.
class ProcessChurn
{
public:
    explicit ProcessChurn(int population)
    {
        m_pid = ::fork();
        if (m_pid == 0)
            churn(population);
        if (m_pid > 0)
            ::setpgid(m_pid, m_pid);
    }
    ~ProcessChurn()
    {
        if (m_pid <= 0)
            return;
        ::kill(-m_pid, SIGKILL);
        ::kill(m_pid, SIGKILL);
        ::waitpid(m_pid, nullptr, 0);
    }
    bool isRunning() const { return m_pid > 0; }

private:
    [[noreturn]] static void churn(int population)
    {
        ::setpgid(0, 0);
        unsigned seed = unsigned(::getpid());
        const auto spawn = [&seed] {
            seed = seed * 1103515245u + 12345u;
            const timespec life{0, long((seed >> 8) % 3000000)};
            if (::fork() == 0) {
                ::nanosleep(&life, nullptr);
                ::_exit(0);
            }
        };
        for (int i = 0; i < population; ++i)
            spawn();
        for (;;) {
            if (::wait(nullptr) > 0) {
                spawn();
            } else {
                const timespec pause{0, 1000000};
                ::nanosleep(&pause, nullptr);
            }
        }
    }

    pid_t m_pid = -1;
};

#if defined(__x86_64__)
#define OSTREL_CAN_TRACE_LISTER 1
// Runs the lister under ptrace and, the moment it has opened the first /proc file of `victim` (a child of
// ours), kills and reaps the victim: the lister's next read of that file then fails with ESRCH, as it does
// when a process is reaped at the worst moment of a real run. The lister runs untraced from there on.
// Returns false when the experiment itself could not be carried out.
bool runListerLosingAProcess(const QString &lister, pid_t victim, const QString &outputFile, int *status)
{
    const QByteArray program = QFile::encodeName(lister);
    const QByteArray output = QFile::encodeName(outputFile);
    const pid_t child = ::fork();
    if (child == 0) {
        const int fd = ::open(output.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (fd < 0 || ::dup2(fd, STDOUT_FILENO) < 0 || ::ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) != 0)
            ::_exit(126);
        ::raise(SIGSTOP);
        ::execl(program.constData(), "tasklist", static_cast<char *>(nullptr));
        ::_exit(127);
    }
    if (child < 0 || ::waitpid(child, status, 0) != child || !WIFSTOPPED(*status))
        return false;
    ::ptrace(PTRACE_SETOPTIONS, child, nullptr, reinterpret_cast<void *>(PTRACE_O_TRACESYSGOOD));
    const QByteArray victimPrefix = "/proc/" + QByteArray::number(victim) + '/';
    long signal = 0;
    for (;;) {
        if (::ptrace(PTRACE_SYSCALL, child, nullptr, reinterpret_cast<void *>(signal)) != 0 ||
            ::waitpid(child, status, 0) != child)
            return false;
        if (WIFEXITED(*status) || WIFSIGNALED(*status))
            return false; // it never opened the victim's files
        signal = 0;
        if (WSTOPSIG(*status) != (SIGTRAP | 0x80)) {
            // The trap after exec is ours; anything else belongs to the lister.
            signal = WSTOPSIG(*status) == SIGTRAP ? 0 : WSTOPSIG(*status);
            continue;
        }
        user_regs_struct registers{};
        if (::ptrace(PTRACE_GETREGS, child, nullptr, &registers) != 0)
            return false;
        const bool enteringCall = qint64(registers.rax) == -ENOSYS;
        const bool opened = (registers.orig_rax == SYS_openat || registers.orig_rax == SYS_open) &&
                            qint64(registers.rax) >= 0;
        if (enteringCall || !opened)
            continue;
        char path[64] = {};
        const iovec local{path, sizeof path - 1};
        const iovec remote{
            reinterpret_cast<void *>(registers.orig_rax == SYS_openat ? registers.rsi : registers.rdi),
            sizeof path - 1};
        if (::process_vm_readv(child, &local, 1, &remote, 1, 0) <= 0 ||
            !QByteArray(path).startsWith(victimPrefix))
            continue;
        ::kill(victim, SIGKILL);
        ::waitpid(victim, nullptr, 0);
        return ::ptrace(PTRACE_DETACH, child, nullptr, nullptr) == 0 && ::waitpid(child, status, 0) == child;
    }
}
#endif

} // namespace

class TaskListTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void listerStandInPrintsATable();
    void listerStandInShowsFullImageNames();
    void listerStandInSurvivesProcessesThatEnd();
    void listerStandInSkipsAProcessReapedWhileRead();

private:
    QTemporaryDir m_dir;
};

void TaskListTest::initTestCase()
{
    QVERIFY(m_dir.isValid());
}

void TaskListTest::listerStandInPrintsATable()
{
    QByteArray output;
    QVERIFY(runProcessLister(buildBinDir() + QLatin1String("/tasklist"), 30000, &output));
    QVERIFY(output.startsWith("\r\nImage Name"));
    QVERIFY(output.endsWith("\r\n"));
    QCOMPARE(output.count('\n'), output.count("\r\n"));
    const QStringList lines = QString::fromUtf8(output).split(QStringLiteral("\r\n"));
    QVERIFY(lines.size() > 4);
    QVERIFY(lines.at(2).startsWith(QLatin1String("=====")));

    // This very process, with its id.
    const QString self = QCoreApplication::applicationFilePath().section(QLatin1Char('/'), -1);
    const QRegularExpression ownLine(QLatin1Char('^') + QRegularExpression::escape(self) +
                                     QLatin1String(" +") +
                                     QString::number(QCoreApplication::applicationPid()) + QLatin1Char('$'));
    QCOMPARE(lines.filter(ownLine).size(), 1);
}

void TaskListTest::listerStandInShowsFullImageNames()
{
    // Longer than the kernel's 15-character short name. Not the program's own name: hand-off tests that run
    // beside this one would count it as a copy.
    const QString sleeper = m_dir.path() + QLatin1String("/PeerCensusLongImageNameSleeper");
    QVERIFY(QFile::copy(QStringLiteral("/bin/sleep"), sleeper));
    QFile::setPermissions(sleeper, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    const QString lister = buildBinDir() + QLatin1String("/tasklist");
    const int before = countRunningCopies(lister, QStringLiteral("PeerCensusLongImageNameSleeper"));

    QProcess process;
    process.start(sleeper, {QStringLiteral("120")});
    QVERIFY(process.waitForStarted());
    QByteArray output;
    QVERIFY(runProcessLister(lister, 30000, &output));
    const QStringList lines = QString::fromUtf8(output).split(QStringLiteral("\r\n"));
    const QRegularExpression line(QLatin1String("^PeerCensusLongImageNameSleeper +") +
                                  QString::number(process.processId()) + QLatin1Char('$'));
    QCOMPARE(lines.filter(line).size(), 1);
    QCOMPARE(countMatchingLines(output, QStringLiteral("PeerCensusLongImageNameSleeper")), before + 1);

    process.kill();
    QVERIFY(process.waitForFinished());
    QCOMPARE(countRunningCopies(lister, QStringLiteral("PeerCensusLongImageNameSleeper")), before);
}

void TaskListTest::listerStandInSurvivesProcessesThatEnd()
{
    // A process reaped between the lister's open and read of one of its /proc files makes the read fail
    // with ESRCH; that must cost the lister the one entry, not the whole list.
    ProcessChurn churn(100);
    QVERIFY(churn.isRunning());
    const QString lister = buildBinDir() + QLatin1String("/tasklist");
    int failed = 0;
    // A sanitized lister runs several times slower; the budget keeps the test inside its time-out there.
    const int runs = repeatWithinBudget(400, 15000, [&] {
        QByteArray output;
        if (!runProcessLister(lister, 30000, &output) || !output.startsWith("\r\nImage Name"))
            ++failed;
    });
    qInfo("the lister ran %d times while processes came and went", runs);
    QCOMPARE(failed, 0);
}

void TaskListTest::listerStandInSkipsAProcessReapedWhileRead()
{
#ifdef OSTREL_CAN_TRACE_LISTER
    const pid_t victim = ::fork();
    if (victim == 0) {
        ::pause();
        ::_exit(0);
    }
    QVERIFY(victim > 0);
    const QString outputFile = m_dir.path() + QLatin1String("/traced-lister.out");
    int status = 0;
    const bool ran =
        runListerLosingAProcess(buildBinDir() + QLatin1String("/tasklist"), victim, outputFile, &status);
    if (::kill(victim, 0) == 0) {
        ::kill(victim, SIGKILL);
        ::waitpid(victim, nullptr, 0);
    }
    QVERIFY2(ran, "the lister could not be traced up to the victim's /proc files");
    QVERIFY2(WIFEXITED(status) && WEXITSTATUS(status) == 0, QByteArray::number(status).constData());
    QFile file(outputFile);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QStringList lines = QString::fromUtf8(file.readAll()).split(QStringLiteral("\r\n"));
    QVERIFY(lines.value(1).startsWith(QLatin1String("Image Name")));
    QCOMPARE(lines.filter(QRegularExpression(QStringLiteral(" %1$").arg(victim))).size(), 0);
    QCOMPARE(lines.filter(QRegularExpression(QStringLiteral(" %1$").arg(QCoreApplication::applicationPid())))
                 .size(),
             1);
#else
    QSKIP("tracing the lister is implemented for x86-64 only");
#endif
}

QTEST_GUILESS_MAIN(TaskListTest)
#include "tst_tasklist.moc"
