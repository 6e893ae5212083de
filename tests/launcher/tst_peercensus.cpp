#include "boundedrepeat.h"
#include "launcher.h"
#include "peercensus.h"
#include "sandbox.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <cerrno>
#include <csignal>
#include <ctime>
#include <fcntl.h>
#include <memory>
#include <sys/ptrace.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <sys/user.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

const QString kName = QStringLiteral("OstrelContextMenu");

// A lister that prints the given bytes (or runs the given shell lines) and ends.
QString writeFakeLister(const QTemporaryDir &dir, const QString &name, const QByteArray &body)
{
    const QString path = dir.path() + QLatin1Char('/') + name;
    QFile script(path);
    if (!script.open(QIODevice::WriteOnly))
        return QString();
    script.write("#!/bin/sh\n" + body + "\n");
    script.close();
    script.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    return path;
}

QString writePrintingLister(const QTemporaryDir &dir, const QString &name, const QByteArray &output)
{
    const QString data = dir.path() + QLatin1Char('/') + name + QLatin1String(".out");
    QFile file(data);
    if (!file.open(QIODevice::WriteOnly) || file.write(output) != output.size())
        return QString();
    file.close();
    return writeFakeLister(dir, name, "exec cat '" + QFile::encodeName(data) + "'");
}

bool processExists(qint64 pid)
{
    return ::kill(pid_t(pid), 0) == 0 || errno == EPERM;
}

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

// A spool folder that holds the given names and never changes; the times of its files are unknown.
SpoolFolderView fixedFolder(const QStringList &names = QStringList())
{
    SpoolFolderView folder;
    folder.fileNames = [names] { return names; };
    folder.modifiedMsSinceEpoch = [](const QString &) { return qint64(-1); };
    return folder;
}

// A spool folder into which copies keep spooling: one more file every gapMs (counted from the folder's
// making), until `files` have arrived (no end when files < 0). The files carry their true times.
struct GrowingFolder
{
    QElapsedTimer clock;
    qint64 wallClockAtStart = 0;
    int gapMs = 100;
    int files = -1;

    GrowingFolder(int gap, int count)
        : gapMs(gap)
        , files(count)
    {
        clock.start();
        wallClockAtStart = QDateTime::currentMSecsSinceEpoch();
    }

    int arrivedSoFar() const
    {
        const int arrived = int(clock.elapsed() / gapMs);
        return files < 0 ? arrived : qMin(arrived, files);
    }

    SpoolFolderView view()
    {
        SpoolFolderView folder;
        folder.fileNames = [this] {
            QStringList names{QStringLiteral("own.txt")};
            for (int i = 1; i <= arrivedSoFar(); ++i)
                names.append(QStringLiteral("%1.txt").arg(i));
            return names;
        };
        folder.modifiedMsSinceEpoch = [this](const QString &name) {
            return wallClockAtStart + QFileInfo(name).baseName().toLongLong() * gapMs;
        };
        return folder;
    }
};

} // namespace

class TestPeerCensus : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();

    void countsLinesThatContainTheName_data();
    void countsLinesThatContainTheName();
    void readsTheListerOutput();
    void readsOutputLargerThanAPipe();
    void failingListersGiveNoCount();
    void listerThatEndsAbnormallyIsCounted_data();
    void listerThatEndsAbnormallyIsCounted();
    void hangingListerIsEndedAfterTheTimeOut();

    void listerStandInPrintsATable();
    void listerStandInShowsFullImageNames();
    void listerStandInSurvivesProcessesThatEnd();
    void listerStandInSkipsAProcessReapedWhileRead();

    void waitEndsWhenOneCopyIsLeft();
    void waitProcessesEventsBetweenPasses();
    void waitEndsWhenTheCountSettles_data();
    void waitEndsWhenTheCountSettles();
    void waitEndsAtTheCap();
    void listerTimeOutStaysWithinTheCap();

    void arrivalTimeStaysBetweenListings_data();
    void arrivalTimeStaysBetweenListings();
    void loneCopyIsNotDelayed();
    void eachNewSpoolFileStartsTheWindowAgain_data();
    void eachNewSpoolFileStartsTheWindowAgain();
    void capEndsAStreamThatNeverGoesQuiet_data();
    void capEndsAStreamThatNeverGoesQuiet();

private:
    QTemporaryDir m_dir;
};

void TestPeerCensus::initTestCase()
{
    QVERIFY(m_dir.isValid());
}

void TestPeerCensus::countsLinesThatContainTheName_data()
{
    QTest::addColumn<QByteArray>("output");
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("count");

    const QByteArray head =
        "\r\nImage Name                     PID\r\n========================= ========\r\n";
    QTest::newRow("alone") << head + "init 1\r\nOstrelContextMenu 40\r\nsh 41\r\n" << kName << 1;
    QTest::newRow("two copies") << head + "OstrelContextMenu 40\r\nOstrelContextMenu 41\r\n" << kName << 2;
    QTest::newRow("none") << head + "init 1\r\n" << kName << 0;
    QTest::newRow("empty output") << QByteArray() << kName << 0;
    QTest::newRow("other process containing the name")
        << head + "OstrelContextMenu 40\r\nOstrelContextMenuHelper 41\r\nxOstrelContextMenu 42\r\n"
        << kName << 3;
    QTest::newRow("no line end at all") << QByteArray("OstrelContextMenu 40") << kName << 1;
    QTest::newRow("LF alone does not split")
        << QByteArray("OstrelContextMenu 1\nOstrelContextMenu 2\n") << kName << 1;
    QTest::newRow("CR alone does not split")
        << QByteArray("OstrelContextMenu 1\rOstrelContextMenu 2\r") << kName << 1;
    QTest::newRow("case matters") << head + "ostrelcontextmenu 40\r\nOSTRELCONTEXTMENU 41\r\n" << kName << 0;
    static const char withZero[] = "OstrelContextMenu 1\r\n\0OstrelContextMenu 2\r\n";
    QTest::newRow("text after a zero byte ignored")
        << QByteArray(withZero, int(sizeof withZero) - 1) << kName << 1;
    QTest::newRow("dot is a dot") << head + "Ostrel.Menu 1\r\nOstrelXMenu 2\r\nOstrel-Menu 3\r\n"
                                  << QStringLiteral("Ostrel.Menu") << 1;
    QTest::newRow("parentheses are parentheses") << head + "Ostrel (2) 7\r\nOstrel 2 8\r\n"
                                                 << QStringLiteral("Ostrel (2)") << 1;
    QTest::newRow("pattern characters") << head + "Ostrel+[x]* 7\r\nOstrellx 8\r\n"
                                        << QStringLiteral("Ostrel+[x]*") << 1;
    QTest::newRow("name in UTF-8") << head + "Ostr\xc3\xa9l 5\r\n" << QStringLiteral("Ostr\u00e9l") << 1;
    QTest::newRow("name in a code page") << head + "Ostr\xe9l 5\r\n" << QStringLiteral("Ostr\u00e9l") << 0;
    QTest::newRow("ASCII name among bad bytes") << head + "\xff\xfe OstrelContextMenu 5\r\n" << kName << 1;
}

void TestPeerCensus::countsLinesThatContainTheName()
{
    QFETCH(QByteArray, output);
    QFETCH(QString, name);
    QFETCH(int, count);
    QCOMPARE(countMatchingLines(output, name), count);
}

void TestPeerCensus::readsTheListerOutput()
{
    const QString lister = writePrintingLister(
        m_dir, QStringLiteral("two"), "\r\nImage Name PID\r\nOstrelContextMenu 4\r\nOstrelContextMenu 5\r\n");
    QCOMPARE(countRunningCopies(lister, kName), 2);
    const QString alone =
        writePrintingLister(m_dir, QStringLiteral("alone"), "x 1\r\nOstrelContextMenu 4\r\n");
    QCOMPARE(countRunningCopies(alone, kName), 1);
    // A path with spaces is one program, not a command line.
    const QString spaced = writePrintingLister(m_dir, QStringLiteral("my lister"), "OstrelContextMenu 4\r\n");
    QCOMPARE(countRunningCopies(spaced, kName), 1);
}

void TestPeerCensus::readsOutputLargerThanAPipe()
{
    QByteArray output;
    for (int i = 0; i < 20000; ++i)
        output += "some-process-with-a-long-name.exe " + QByteArray::number(i) + "\r\n";
    output += "OstrelContextMenu 99999\r\n";
    QVERIFY(output.size() > 256 * 1024);
    const QString lister = writePrintingLister(m_dir, QStringLiteral("big"), output);
    QCOMPARE(countRunningCopies(lister, kName), 1);
}

void TestPeerCensus::failingListersGiveNoCount()
{
    QCOMPARE(countRunningCopies(m_dir.path() + QLatin1String("/does-not-exist"), kName), -1);

    const QString notExecutable = m_dir.path() + QLatin1String("/not-executable");
    QFile file(notExecutable);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("#!/bin/sh\necho OstrelContextMenu\n");
    file.close();
    QCOMPARE(countRunningCopies(notExecutable, kName), -1);
}

void TestPeerCensus::listerThatEndsAbnormallyIsCounted_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<int>("count");
    // The list printed in full, then the lister dies: what it printed is the census.
    QTest::newRow("crashes after one line")
        << QByteArray("printf 'x 1\\r\\nOstrelContextMenu 4\\r\\n'; kill -SEGV $$") << 1;
    QTest::newRow("killed after two lines")
        << QByteArray("printf 'OstrelContextMenu 4\\r\\nOstrelContextMenu 5\\r\\n'; kill -KILL $$") << 2;
    QTest::newRow("aborts after printing nothing that matches")
        << QByteArray("printf 'x 1\\r\\n'; kill -ABRT $$") << 0;
    QTest::newRow("exit status 3") << QByteArray("printf 'OstrelContextMenu 4\\r\\n'; exit 3") << 1;
}

void TestPeerCensus::listerThatEndsAbnormallyIsCounted()
{
    QFETCH(QByteArray, body);
    QFETCH(int, count);
    const QString lister = writeFakeLister(m_dir, QStringLiteral("ends-abnormally"), body);
    QCOMPARE(countRunningCopies(lister, kName), count);
}

void TestPeerCensus::hangingListerIsEndedAfterTheTimeOut()
{
    const QString pidFile = m_dir.path() + QLatin1String("/hanging.pid");
    const QString lister = writeFakeLister(m_dir, QStringLiteral("hanging"),
                                           "printf 'OstrelContextMenu 1\\r\\n'; echo $$ > '" +
                                               QFile::encodeName(pidFile) + "'; exec sleep 120");
    QElapsedTimer timer;
    timer.start();
    QCOMPARE(countRunningCopies(lister, kName, 3000), -1);
    QVERIFY2(timer.elapsed() < 60000, "the time-out was not applied");

    QFile file(pidFile);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const qint64 pid = file.readAll().trimmed().toLongLong();
    QVERIFY(pid > 0);
    // Ended and reaped: not even a zombie is left.
    QVERIFY(!processExists(pid));
}

void TestPeerCensus::listerStandInPrintsATable()
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

void TestPeerCensus::listerStandInShowsFullImageNames()
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

void TestPeerCensus::listerStandInSurvivesProcessesThatEnd()
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

void TestPeerCensus::listerStandInSkipsAProcessReapedWhileRead()
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

void TestPeerCensus::waitEndsWhenOneCopyIsLeft()
{
    // Peers ending one after another, with a census that failed in between.
    QList<int> counts{5, 4, -1, 3, 3, 2, 1, 7};
    int calls = 0;
    SpoolArrivals arrivals(fixedFolder({QStringLiteral("own.txt")}));
    const PeerWaitOutcome outcome = waitForPeersToEnd(
        [&](int) {
            ++calls;
            return counts.takeFirst();
        },
        arrivals);
    QCOMPARE(outcome, PeerWaitOutcome::OnlyCopy);
    QCOMPARE(calls, 7);
}

void TestPeerCensus::waitProcessesEventsBetweenPasses()
{
    // Only an event posted during a pass, and delivered before the next one, lets the census report one
    // copy.
    bool delivered = false;
    int calls = 0;
    SpoolArrivals arrivals(fixedFolder());
    const PeerWaitOutcome outcome = waitForPeersToEnd(
        [&](int) {
            if (++calls == 1)
                QTimer::singleShot(0, this, [&] { delivered = true; });
            return delivered ? 1 : 2;
        },
        arrivals);
    QCOMPARE(outcome, PeerWaitOutcome::OnlyCopy);
    QVERIFY(calls >= 2);
}

void TestPeerCensus::waitEndsWhenTheCountSettles_data()
{
    QTest::addColumn<QString>("lister");
    QTest::addColumn<int>("pauseMs"); // the least time between two census passes
    const PeerWaitBounds bounds;
    // A lister that always shows a second copy, such as another account's.
    QTest::newRow("never alone") << writePrintingLister(m_dir, QStringLiteral("never-alone"),
                                                        "OstrelContextMenu 4\r\nOstrelContextMenu 5\r\n")
                                 << bounds.passPauseMs;
    QTest::newRow("lister cannot start")
        << m_dir.path() + QLatin1String("/no-lister-here") << bounds.retryPauseMs;
}

void TestPeerCensus::waitEndsWhenTheCountSettles()
{
    QFETCH(QString, lister);
    QFETCH(int, pauseMs);
    const PeerWaitBounds bounds;
    QElapsedTimer timer;
    timer.start();
    int calls = 0;
    SpoolArrivals arrivals(fixedFolder());
    const PeerWaitOutcome outcome = waitForPeersToEnd(
        [&](int listerTimeoutMs) {
            ++calls;
            return countRunningCopies(lister, kName, listerTimeoutMs);
        },
        arrivals, bounds);
    QCOMPARE(outcome, PeerWaitOutcome::CountSettled);
    QVERIFY(calls > 1);
    QVERIFY(timer.elapsed() >= bounds.settleMs);
    QVERIFY2(timer.elapsed() < bounds.capMs, QByteArray::number(timer.elapsed()).constData());
    // Neither a lister that fails at once nor a fast one may turn the wait into a busy loop.
    QVERIFY2(calls <= bounds.settleMs / pauseMs + 1, QByteArray::number(calls).constData());
}

void TestPeerCensus::waitEndsAtTheCap()
{
    // Copies that keep coming and going: the count never settles.
    PeerWaitBounds bounds;
    bounds.settleMs = 1000;
    bounds.capMs = 2500;
    int calls = 0;
    QElapsedTimer timer;
    timer.start();
    SpoolArrivals arrivals(fixedFolder());
    const PeerWaitOutcome outcome = waitForPeersToEnd(
        [&](int) {
            ++calls;
            QTest::qSleep(20);
            return 2 + calls % 2;
        },
        arrivals, bounds);
    QCOMPARE(outcome, PeerWaitOutcome::CapReached);
    QVERIFY(timer.elapsed() >= bounds.capMs);
    QVERIFY2(timer.elapsed() < 20000, QByteArray::number(timer.elapsed()).constData());
}

void TestPeerCensus::listerTimeOutStaysWithinTheCap()
{
    PeerWaitBounds bounds;
    bounds.capMs = 4000;
    QList<int> timeouts;
    SpoolArrivals arrivals(fixedFolder());
    waitForPeersToEnd(
        [&](int listerTimeoutMs) {
            timeouts.append(listerTimeoutMs);
            return 1;
        },
        arrivals, bounds);
    QCOMPARE(timeouts.size(), 1);
    QVERIFY(timeouts.first() <= bounds.capMs);
    QVERIFY(timeouts.first() >= 1000);
}

void TestPeerCensus::arrivalTimeStaysBetweenListings_data()
{
    QTest::addColumn<bool>("timeKnown");
    QTest::addColumn<qint64>("writtenMs"); // the file's time, relative to the wall clock at the listing
    QTest::addColumn<int>("expected"); // 0: noticed now, 1: 150 ms before that, 2: at the previous listing
    QTest::newRow("written as it was listed") << true << qint64(0) << 0;
    QTest::newRow("written 150 ms before") << true << qint64(-150) << 1;
    QTest::newRow("wall clock an hour behind") << true << qint64(-3600000) << 2;
    QTest::newRow("wall clock an hour ahead") << true << qint64(3600000) << 0;
    QTest::newRow("time unknown") << false << qint64(0) << 0;
}

void TestPeerCensus::arrivalTimeStaysBetweenListings()
{
    QFETCH(bool, timeKnown);
    QFETCH(qint64, writtenMs);
    QFETCH(int, expected);
    QStringList names{QStringLiteral("own.txt")};
    qint64 wallClockAtListing = 0;
    SpoolFolderView folder;
    folder.fileNames = [&] {
        wallClockAtListing = QDateTime::currentMSecsSinceEpoch();
        return names;
    };
    folder.modifiedMsSinceEpoch = [&](const QString &) {
        return timeKnown ? wallClockAtListing + writtenMs : qint64(-1);
    };
    SpoolArrivals arrivals(folder);
    // Long enough ago that an arrival placed before the previous listing would show.
    QTest::qSleep(300);
    QElapsedTimer sincePrevious;
    sincePrevious.start();
    arrivals.look();
    QCOMPARE(arrivals.arrivals(), 0);

    QTest::qSleep(400);
    names.append(QStringLiteral("4711.txt"));
    QElapsedTimer sinceNotice;
    sinceNotice.start();
    arrivals.look();
    const qint64 quiet = arrivals.quietMs();
    const qint64 upToNotice = sinceNotice.elapsed();
    const qint64 upToPrevious = sincePrevious.elapsed();
    QCOMPARE(arrivals.arrivals(), 1);

    const QByteArray figures =
        QStringLiteral("quiet %1 ms, %2 ms since the listing, %3 ms since the one before")
            .arg(quiet)
            .arg(upToNotice)
            .arg(upToPrevious)
            .toUtf8();
    const qint64 rounding = 2; // each reading of a millisecond clock is cut to the millisecond
    // Never before the previous listing, which did not show the file.
    QVERIFY2(quiet <= upToPrevious + rounding, figures.constData());
    switch (expected) {
    case 0:
        QVERIFY2(quiet >= 0 && quiet <= upToNotice + rounding, figures.constData());
        break;
    case 1:
        QVERIFY2(quiet >= 150 - rounding && quiet <= upToNotice + 150 + rounding, figures.constData());
        break;
    default:
        QVERIFY2(quiet >= 400 - rounding, figures.constData());
        break;
    }
}

void TestPeerCensus::loneCopyIsNotDelayed()
{
    // Its own spool file was written just before the wait began, and nothing else arrives: the first
    // census, right after the initial wait, decides.
    const PeerWaitBounds bounds;
    SpoolArrivals arrivals(fixedFolder({QStringLiteral("1.txt"), QStringLiteral("4711.txt")}));
    int calls = 0;
    QElapsedTimer timer;
    timer.start();
    const PeerWaitOutcome outcome = waitForPeersToEnd(
        [&](int) {
            ++calls;
            return 1;
        },
        arrivals, bounds);
    QCOMPARE(outcome, PeerWaitOutcome::OnlyCopy);
    QCOMPARE(calls, 1);
    QVERIFY(timer.elapsed() >= bounds.initialWaitMs);
    QCOMPARE(arrivals.arrivals(), 0);
}

void TestPeerCensus::eachNewSpoolFileStartsTheWindowAgain_data()
{
    QTest::addColumn<int>("gapMs");
    QTest::addColumn<bool>("timesKnown");
    const PeerWaitBounds bounds;
    // Every copy has ended by the time the census looks, so only the folder shows that more are coming.
    QTest::newRow("50 ms apart") << 50 << true;
    QTest::newRow("150 ms apart") << 150 << true;
    QTest::newRow("just inside the window") << bounds.quietWindowMs - 20 << true;
    QTest::newRow("150 ms apart, times unknown") << 150 << false;
}

void TestPeerCensus::eachNewSpoolFileStartsTheWindowAgain()
{
    QFETCH(int, gapMs);
    QFETCH(bool, timesKnown);
    const PeerWaitBounds bounds;
    const int files = 8;
    GrowingFolder growing(gapMs, files);
    SpoolFolderView folder = growing.view();
    if (!timesKnown)
        folder.modifiedMsSinceEpoch = [](const QString &) { return qint64(-1); };
    SpoolArrivals arrivals(folder);
    int calls = 0;
    const PeerWaitOutcome outcome = waitForPeersToEnd(
        [&](int) {
            ++calls;
            return 1;
        },
        arrivals, bounds);
    const qint64 ended = growing.clock.elapsed();
    QCOMPARE(outcome, PeerWaitOutcome::OnlyCopy);
    QCOMPARE(arrivals.arrivals(), files);
    // Not before the last file has been quiet for the whole window: each file started it again.
    const qint64 lastArrival = qint64(files) * gapMs;
    QVERIFY2(ended >= lastArrival + bounds.quietWindowMs - 2,
             qPrintable(QStringLiteral("ended after %1 ms, %2 census passes").arg(ended).arg(calls)));
    QVERIFY2(ended < 20000, QByteArray::number(ended).constData());
}

void TestPeerCensus::capEndsAStreamThatNeverGoesQuiet_data()
{
    QTest::addColumn<int>("count");
    // Copies that end at once after spooling, so the census keeps counting one.
    QTest::newRow("census counts one") << 1;
    // Another account's copy alongside: the count never changes, but the folder is never quiet either.
    QTest::newRow("count settled") << 2;
}

void TestPeerCensus::capEndsAStreamThatNeverGoesQuiet()
{
    QFETCH(int, count);
    PeerWaitBounds bounds;
    bounds.settleMs = 500;
    bounds.capMs = 1500;
    GrowingFolder growing(50, -1);
    SpoolArrivals arrivals(growing.view());
    QElapsedTimer timer;
    timer.start();
    const PeerWaitOutcome outcome = waitForPeersToEnd([&](int) { return count; }, arrivals, bounds);
    QCOMPARE(outcome, PeerWaitOutcome::CapReached);
    QVERIFY(timer.elapsed() >= bounds.initialWaitMs + bounds.capMs);
    QVERIFY2(timer.elapsed() < 20000, QByteArray::number(timer.elapsed()).constData());
    QVERIFY(arrivals.arrivals() > 0);
}

QTEST_GUILESS_MAIN(TestPeerCensus)
#include "tst_peercensus.moc"
