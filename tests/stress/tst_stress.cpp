// Many copies at once, and the failures a desktop produces: killed copies, a damaged shared block, listers
// that hang or lie, an editor that is gone, a spool folder that is full or cannot be written. In every case
// each copy ends with exit code 0 within the poll's bounds, and no selected path is lost or handed off twice.

#include "boundedrepeat.h"
#include "killatrandommoments.h"
#include "sandbox.h"
#include "testfiles.h"

#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QTest>

#include <algorithm>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <sys/ipc.h>
#include <sys/mount.h>
#include <sys/ptrace.h>
#include <sys/shm.h>
#include <sys/syscall.h>
#include <sys/user.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

// Longest a hand-off may take: the census's own 30 s wait plus the poll's cap, with room for a loaded
// machine.
constexpr int HandOffBoundMs = 180000;
// Longest any copy may still run: the primary's 30 s cap, the quiet window and a loaded machine's starts.
constexpr int CapBoundMs = 45000;

QList<QStringList> selection(const QString &verbFlag, const QStringList &paths)
{
    QList<QStringList> lists;
    for (const QString &path : paths)
        lists.append({verbFlag, path});
    return lists;
}

QStringList numberedPaths(const QString &prefix, int count)
{
    QStringList paths;
    for (int i = 0; i < count; ++i)
        paths.append(QStringLiteral("/stress/%1 %2.pdf").arg(prefix).arg(i, 3, 10, QLatin1Char('0')));
    return paths;
}

bool allEndedWithZero(const std::vector<std::unique_ptr<QProcess>> &copies)
{
    for (const auto &copy : copies) {
        if (copy->exitStatus() != QProcess::NormalExit || copy->exitCode() != 0)
            return false;
    }
    return true;
}

// The editor's starts whose argument carries any of the paths.
QList<QStringList> startsCarrying(const QList<QStringList> &starts, const QStringList &paths)
{
    QList<QStringList> carrying;
    for (const QStringList &start : starts) {
        const QStringList parts = start.value(0).split(QLatin1Char(';'));
        if (std::any_of(paths.cbegin(), paths.cend(),
                        [&](const QString &path) { return parts.contains(path); }))
            carrying.append(start);
    }
    return carrying;
}

// A lister that signals its start with a marker file, which holds the id of the copy that ran it (the
// primary), and lists nothing until released.
void installBlockingLister(const Sandbox &sandbox)
{
    const QByteArray dir = QFile::encodeName(sandbox.root());
    QVERIFY(writeExecutable(sandbox.listerPath(),
                            "#!/bin/sh\necho $PPID > '" + dir + "/lister-starting'\nmv '" + dir +
                                "/lister-starting' '" + dir + "/lister-started'\nwhile [ ! -e '" + dir +
                                "/lister-release' ]; do sleep 0.05; done\n"));
}

// The copy that ran the blocking lister, once it has; 0 when none did within the time.
qint64 waitForBlockedPrimary(const Sandbox &sandbox)
{
    const QString marker = sandbox.root() + QLatin1String("/lister-started");
    QElapsedTimer timer;
    timer.start();
    while (!QFileInfo::exists(marker) && timer.elapsed() < 30000)
        QTest::qWait(10);
    return readFile(marker).trimmed().toLongLong();
}

// Lets the blocked census end (it lists nothing) and puts the real lister back for the next one.
void releaseBlockingLister(const Sandbox &sandbox)
{
    QFile(sandbox.root() + QLatin1String("/lister-release")).open(QIODevice::WriteOnly);
    QFile::remove(sandbox.listerPath());
    QVERIFY(QFile::copy(buildBinDir() + QLatin1String("/tasklist"), sandbox.listerPath()));
}

// Changes one byte of the live shared block behind its checksum. The block's System V key comes from the
// key file the copies keep in the (sandbox's) runtime folder.
bool corruptSharedBlock(const Sandbox &sandbox)
{
    const QStringList keyFiles = Sandbox::ipcKeyFiles(sandbox.runtimeDir());
    if (keyFiles.size() != 1)
        return false;
    const key_t key = ftok(QFile::encodeName(keyFiles.first()).constData(), 'Q');
    const int id = shmget(key, 0, 0);
    if (id == -1)
        return false;
    void *address = shmat(id, nullptr, 0);
    if (address == reinterpret_cast<void *>(-1))
        return false;
    static_cast<unsigned char *>(address)[5] ^= 0x5a; // inside secondaryCount, covered by the checksum
    shmdt(address);
    return true;
}

// A small file system mounted on a folder and filled up: a file can be made there, but nothing written
// into it. Unmounted when it goes.
class FullDisk
{
public:
    ~FullDisk()
    {
        if (!m_mountPoint.isEmpty())
            ::umount2(m_mountPoint.constData(), MNT_DETACH);
    }

    // Empty when mounted and full; otherwise why the test cannot have one here.
    QString mountOn(const QString &folder)
    {
        if (geteuid() != 0)
            return QStringLiteral("mounting a small tmpfs needs root");
        const QByteArray path = QFile::encodeName(folder);
        if (::mount("tmpfs", path.constData(), "tmpfs", 0, "size=64k,mode=0700") != 0)
            return QStringLiteral("cannot mount a tmpfs here: %1")
                .arg(QString::fromLocal8Bit(strerror(errno)));
        m_mountPoint = path;
        QFile filler(folder + QLatin1String("/filler"));
        if (!filler.open(QIODevice::WriteOnly))
            return QStringLiteral("cannot fill the tmpfs");
        const QByteArray block(4096, 'x');
        while (filler.write(block) == block.size() && filler.flush()) {
        }
        return QString();
    }

private:
    QByteArray m_mountPoint;
};

// Removes the System V segments that these copies made and nobody holds any more.
void removeOrphanedSegments(const QList<qint64> &creators)
{
    QFile list(QStringLiteral("/proc/sysvipc/shm"));
    if (!list.open(QIODevice::ReadOnly))
        return;
    for (const QByteArray &line : list.readAll().split('\n')) {
        const QList<QByteArray> fields = line.simplified().split(' ');
        // key shmid perms size cpid lpid nattch ...
        if (fields.size() > 6 && creators.contains(fields.at(4).toLongLong()) && fields.at(6) == "0")
            shmctl(fields.at(1).toInt(), IPC_RMID, nullptr);
    }
}

#if defined(__x86_64__)
// One copy of the program run under ptrace and stopped as it enters its first write into the spool folder:
// by then it has opened the file that takes its path and written nothing into it. Stopped, it still runs
// for the census. release() lets it go on untraced.
class CopyHeldAtItsSpoolWrite
{
public:
    CopyHeldAtItsSpoolWrite(const Sandbox &sandbox, const QStringList &arguments)
    {
        // Everything the child needs is made before the fork.
        const QByteArray program = QFile::encodeName(sandbox.programPath());
        std::vector<QByteArray> argumentBytes{program};
        for (const QString &argument : arguments)
            argumentBytes.push_back(argument.toUtf8());
        std::vector<QByteArray> environmentBytes;
        for (const QString &variable : sandbox.environment().toStringList())
            environmentBytes.push_back(QFile::encodeName(variable));
        std::vector<char *> argv, envp;
        for (QByteArray &bytes : argumentBytes)
            argv.push_back(bytes.data());
        for (QByteArray &bytes : environmentBytes)
            envp.push_back(bytes.data());
        argv.push_back(nullptr);
        envp.push_back(nullptr);
        const QByteArray folder = QFile::encodeName(sandbox.spoolPath()) + '/';

        m_pid = ::fork();
        if (m_pid == 0) {
            if (::ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) != 0)
                ::_exit(126);
            ::raise(SIGSTOP);
            ::execve(argv.front(), argv.data(), envp.data());
            ::_exit(127);
        }
        int status = 0;
        if (m_pid < 0 || ::waitpid(m_pid, &status, 0) != m_pid || !WIFSTOPPED(status))
            return;
        ::ptrace(PTRACE_SETOPTIONS, m_pid, nullptr,
                 reinterpret_cast<void *>(PTRACE_O_TRACESYSGOOD | PTRACE_O_EXITKILL));
        long signal = 0;
        for (;;) {
            if (::ptrace(PTRACE_SYSCALL, m_pid, nullptr, reinterpret_cast<void *>(signal)) != 0 ||
                ::waitpid(m_pid, &status, 0) != m_pid)
                return;
            if (WIFEXITED(status) || WIFSIGNALED(status)) {
                m_ended = true; // it never wrote into the folder
                return;
            }
            signal = 0;
            if (WSTOPSIG(status) != (SIGTRAP | 0x80)) {
                // The trap after exec is ours; anything else belongs to the copy.
                signal = WSTOPSIG(status) == SIGTRAP ? 0 : WSTOPSIG(status);
                continue;
            }
            user_regs_struct registers{};
            if (::ptrace(PTRACE_GETREGS, m_pid, nullptr, &registers) != 0)
                return;
            const bool enteringWrite = qint64(registers.rax) == -ENOSYS && registers.orig_rax == SYS_write;
            if (!enteringWrite)
                continue;
            const QString descriptor = QStringLiteral("/proc/%1/fd/%2").arg(m_pid).arg(registers.rdi);
            if (QFile::encodeName(QFileInfo(descriptor).symLinkTarget()).startsWith(folder)) {
                m_held = true;
                return;
            }
        }
    }

    ~CopyHeldAtItsSpoolWrite()
    {
        if (m_pid > 0 && !m_ended) {
            ::kill(m_pid, SIGKILL);
            ::waitpid(m_pid, nullptr, 0);
        }
    }

    bool isHeld() const { return m_held; }

    // Lets the copy write and go on, and waits for its end: its exit code, or -1.
    int release()
    {
        if (!m_held || ::ptrace(PTRACE_DETACH, m_pid, nullptr, nullptr) != 0)
            return -1;
        int status = 0;
        QElapsedTimer timer;
        timer.start();
        pid_t waited = 0;
        while ((waited = ::waitpid(m_pid, &status, WNOHANG)) == 0 && timer.elapsed() < 60000)
            QTest::qWait(10);
        m_ended = waited == m_pid;
        return m_ended && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

private:
    pid_t m_pid = -1;
    bool m_held = false;
    bool m_ended = false;
};
#endif

} // namespace

class StressTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void manyCopiesAtOnce_data()
    {
        QTest::addColumn<int>("copies");
        QTest::newRow("200") << 200;
    }

    void manyCopiesAtOnce()
    {
        QFETCH(int, copies);
        Sandbox sandbox;
        QVERIFY(sandbox.isValid());
        const QStringList paths = numberedPaths(QStringLiteral("many"), copies);

        const auto started = sandbox.startAll(selection(QStringLiteral("-ftype_merge"), paths));
        QVERIFY(Sandbox::waitAll(started, HandOffBoundMs));
        QVERIFY(allEndedWithZero(started));

        // Late copies may need a second hand-off; every path arrives exactly once, over however many starts.
        QTRY_COMPARE_WITH_TIMEOUT(handedOffPaths(sandbox, QStringLiteral("-ftype_merge")).size(), copies,
                                  20000);
        QStringList handedOff = handedOffPaths(sandbox, QStringLiteral("-ftype_merge"));
        QStringList expected = paths;
        handedOff.sort();
        expected.sort();
        QCOMPARE(handedOff, expected);
        QVERIFY(sandbox.spoolEntries().isEmpty());
    }

    // Copies that come and go at once churn the shared block: its last user removes it while others are
    // about to attach. None of them may end with a failure.
    void shortRunsAtOnce()
    {
        Sandbox sandbox;
        QVERIFY(sandbox.isValid());
        const QList<QStringList> noArguments = QVector<QStringList>(150).toList();
        const int rounds = repeatWithinBudget(4, 60000, [&] {
            const auto copies = sandbox.startAll(noArguments);
            QVERIFY(Sandbox::waitAll(copies, HandOffBoundMs));
            for (const auto &copy : copies) {
                QCOMPARE(copy->exitStatus(), QProcess::NormalExit);
                QVERIFY2(copy->exitCode() == 0, copy->readAllStandardError().constData());
            }
        });
        qInfo("%d rounds of %d short runs", rounds, int(noArguments.size()));
    }

    void secondSelectionWhileFirstIsGathering()
    {
        Sandbox sandbox;
        QVERIFY(sandbox.isValid());
        const QStringList first = numberedPaths(QStringLiteral("first"), 20);
        const QStringList second = numberedPaths(QStringLiteral("second"), 20);

        const auto firstCopies = sandbox.startAll(selection(QStringLiteral("-ftype_split"), first));
        QTest::qWait(150); // inside the first primary's wait
        const auto secondCopies = sandbox.startAll(selection(QStringLiteral("-ftype_split"), second));
        QVERIFY(Sandbox::waitAll(firstCopies, HandOffBoundMs));
        QVERIFY(Sandbox::waitAll(secondCopies, HandOffBoundMs));
        QVERIFY(allEndedWithZero(firstCopies));
        QVERIFY(allEndedWithZero(secondCopies));

        // A path spooled after the last primary's listing waits for the next selection; start one to collect
        // it.
        if (!sandbox.spoolEntries().isEmpty()) {
            const Sandbox::Result result =
                sandbox.run({QStringLiteral("-ftype_split"), QStringLiteral("/stress/late.pdf")});
            QCOMPARE(result.exitCode, 0);
        }
        QStringList expected = first + second;
        QTRY_VERIFY_WITH_TIMEOUT(
            handedOffPaths(sandbox, QStringLiteral("-ftype_split")).size() >= expected.size(), 20000);
        QStringList handedOff = handedOffPaths(sandbox, QStringLiteral("-ftype_split"));
        handedOff.removeAll(QStringLiteral("/stress/late.pdf"));
        handedOff.sort();
        expected.sort();
        QCOMPARE(handedOff, expected);
        QVERIFY(sandbox.spoolEntries().isEmpty());
    }

    void primaryKilledWhileWaiting_data()
    {
        QTest::addColumn<bool>("corruptBlock");
        QTest::addColumn<QString>("killedVerb");
        QTest::addColumn<int>("killedCopies");
        QTest::addColumn<QString>("nextVerb");
        QTest::newRow("killed") << false << "-ftype_edit" << 1 << "-ftype_edit";
        QTest::newRow("killed, block corrupted") << true << "-ftype_edit" << 1 << "-ftype_edit";
        // The Merge's paths wait for the next selection, a Print of one file: they must be merged, not
        // printed.
        QTest::newRow("a Merge of 16 killed, then a Print")
            << false << "-ftype_merge" << 16 << "-ftype_print";
    }

    void primaryKilledWhileWaiting()
    {
        QFETCH(bool, corruptBlock);
        QFETCH(QString, killedVerb);
        QFETCH(int, killedCopies);
        QFETCH(QString, nextVerb);
        Sandbox sandbox;
        QVERIFY(sandbox.isValid());
        installBlockingLister(sandbox);

        const QStringList killedPaths = numberedPaths(QStringLiteral("killed"), killedCopies);
        const auto killed = sandbox.startAll(selection(killedVerb, killedPaths));
        const qint64 primary = waitForBlockedPrimary(sandbox);
        QVERIFY(primary > 0);
        ::kill(pid_t(primary), SIGKILL);
        int killedCount = 0;
        for (const auto &copy : killed) {
            QVERIFY(copy->state() == QProcess::NotRunning || copy->waitForFinished(HandOffBoundMs));
            if (copy->exitStatus() == QProcess::CrashExit)
                ++killedCount;
            else
                QCOMPARE(copy->exitCode(), 0);
        }
        QCOMPARE(killedCount, 1);
        releaseBlockingLister(sandbox);
        if (corruptBlock)
            QVERIFY(corruptSharedBlock(sandbox));

        QElapsedTimer clock;
        clock.start();
        const QString nextPath = QStringLiteral("/next/b.pdf");
        const Sandbox::Result next = sandbox.run({nextVerb, nextPath}, HandOffBoundMs);
        QVERIFY(next.finished);
        QCOMPARE(next.exitCode, 0);
        if (corruptBlock) {
            QVERIFY2(next.standardError.contains(
                         "SingleApplication: Shared memory block has been in an inconsistent "
                         "state from more than 5s. Assuming primary instance failure."),
                     next.standardError.constData());
            QVERIFY(clock.elapsed() > 5000);
        } else {
            QVERIFY2(next.standardError.isEmpty(), next.standardError.constData());
        }

        // The killed primary's selection had spooled; the next primary hands it off, each path once and
        // under the verb it was selected for.
        QMap<QString, QStringList> expected;
        expected[killedVerb] += killedPaths;
        expected[nextVerb] += nextPath;
        for (QStringList &paths : expected)
            paths.sort();
        QTRY_COMPARE_WITH_TIMEOUT(handedOffPathsByVerb(sandbox), expected, 20000);
        QTest::qWait(300); // a wrong extra start would have arrived by now
        QCOMPARE(handedOffPathsByVerb(sandbox), expected);
        QVERIFY(sandbox.spoolEntries().isEmpty());
    }

    // The ground moves under a selection: the machine sleeps while its primary waits, an earlier
    // selection of the same verb was left behind, a name holds a line break. No path is lost, none goes
    // into another selection's start, none is made up.
    void groundMoves_data()
    {
        QTest::addColumn<QString>("scenario");
        QTest::newRow("primary paused past the age bound") << "paused";
        QTest::newRow("leftovers of the same verb") << "leftovers";
        QTest::newRow("a line break in a name") << "line break";
    }

    void groundMoves()
    {
        QFETCH(QString, scenario);
        Sandbox sandbox;
        QVERIFY(sandbox.isValid());
        const QString merge = QStringLiteral("-ftype_merge");
        const QStringList first = numberedPaths(QStringLiteral("first"), 4);
        QList<QStringList> expectedStarts;
        if (scenario == QLatin1String("line break")) {
            const QString injected = QStringLiteral("/stress/report\n-ftype_print;/stress/private.pdf");
            const auto copies =
                sandbox.startAll(selection(merge, first) + QList<QStringList>{{merge, injected}});
            QVERIFY(Sandbox::waitAll(copies, HandOffBoundMs));
            QVERIFY(allEndedWithZero(copies));
            QByteArray warnings;
            for (const auto &copy : copies)
                warnings += copy->readAllStandardError();
            QVERIFY2(warnings.contains("OstrelContextMenu: A path that holds a line break is not handed off: "
                                       "\"/stress/report\\n-ftype_print;/stress/private.pdf\""),
                     warnings.constData());
            expectedStarts.append({merge + QLatin1Char(';') + first.join(QLatin1Char(';'))});
        } else {
            installBlockingLister(sandbox);
            const auto copies = sandbox.startAll(selection(merge, first));
            const qint64 primary = waitForBlockedPrimary(sandbox);
            QVERIFY(primary > 0);
            // Every copy has spooled, under its primary's name.
            QTRY_COMPARE_WITH_TIMEOUT(QDir(sandbox.spoolPath())
                                          .entryList({QStringLiteral("*-%1.txt").arg(primary)}, QDir::Files)
                                          .size(),
                                      first.size(), 20000);
            if (scenario == QLatin1String("paused")) {
                // The machine sleeps for six minutes: the primary stands still, and when it goes on, the
                // files of its selection are older than the age bound.
                QCOMPARE(::kill(pid_t(primary), SIGSTOP), 0);
                const QDateTime sixMinutesBack = QDateTime::currentDateTime().addSecs(-6 * 60);
                for (const QString &name : QDir(sandbox.spoolPath()).entryList(QDir::Files)) {
                    QFile file(sandbox.spoolPath() + QLatin1Char('/') + name);
                    QVERIFY(file.open(QIODevice::ReadWrite));
                    QVERIFY(file.setFileTime(sixMinutesBack, QFileDevice::FileModificationTime));
                }
                QTest::qWait(500);
                QCOMPARE(::kill(pid_t(primary), SIGCONT), 0);
                releaseBlockingLister(sandbox);
                QVERIFY(Sandbox::waitAll(copies, HandOffBoundMs));
                QVERIFY(allEndedWithZero(copies));
                expectedStarts.append({merge + QLatin1Char(';') + first.join(QLatin1Char(';'))});
            } else {
                // The primary is killed while it waits; the next Merge must not take these paths in.
                ::kill(pid_t(primary), SIGKILL);
                for (const auto &copy : copies)
                    QVERIFY(copy->state() == QProcess::NotRunning || copy->waitForFinished(HandOffBoundMs));
                releaseBlockingLister(sandbox);
                const QStringList next = numberedPaths(QStringLiteral("next"), 2);
                const auto nextCopies = sandbox.startAll(selection(merge, next));
                QVERIFY(Sandbox::waitAll(nextCopies, HandOffBoundMs));
                QVERIFY(allEndedWithZero(nextCopies));
                expectedStarts.append({merge + QLatin1Char(';') + first.join(QLatin1Char(';'))});
                expectedStarts.append({merge + QLatin1Char(';') + next.join(QLatin1Char(';'))});
            }
        }
        QTRY_COMPARE_WITH_TIMEOUT(sandbox.editorStarts().size(), expectedStarts.size(), 20000);
        QTest::qWait(300); // a wrong extra start would have arrived by now
        QList<QStringList> starts = sandbox.editorStarts();
        std::sort(starts.begin(), starts.end());
        QCOMPARE(starts, expectedStarts);
        QVERIFY2(sandbox.spoolEntries().isEmpty(), qPrintable(sandbox.spoolEntries().join(' ')));
    }

    // Copies die at any moment (a crash, an anti-virus, Task Manager): a third of each selection is killed
    // at random moments of its first half second. No other copy may stall (each ends within the cap), and
    // the next selection still reaches the editor in one start, with each of its paths once.
    void copiesKilledAtRandom()
    {
        Sandbox sandbox;
        QVERIFY(sandbox.isValid());
        const quint32 seed = QRandomGenerator::global()->generate();
        qInfo("seed %u", seed);
        QRandomGenerator random(seed);
        int round = 0;
        const int rounds = repeatWithinBudget(8, 120000, [&] {
            QFile::remove(sandbox.editorLog());
            const auto copies = sandbox.startAll(selection(
                QStringLiteral("-ftype_merge"), numberedPaths(QStringLiteral("killed %1").arg(round), 12)));
            killAtRandomMoments(copies, 4, 500, random);
            QVERIFY(Sandbox::waitAll(copies, CapBoundMs));

            const QStringList next = numberedPaths(QStringLiteral("after %1").arg(round), 3);
            const auto nextCopies = sandbox.startAll(selection(QStringLiteral("-ftype_edit"), next));
            QVERIFY(Sandbox::waitAll(nextCopies, CapBoundMs));
            QVERIFY(allEndedWithZero(nextCopies));
            QTRY_VERIFY_WITH_TIMEOUT(!startsCarrying(sandbox.editorStarts(), next).isEmpty(), 20000);
            const QList<QStringList> starts = startsCarrying(sandbox.editorStarts(), next);
            QCOMPARE(starts.size(), 1);
            QStringList handed = starts.first().first().split(QLatin1Char(';'));
            QCOMPARE(handed.takeFirst(), QStringLiteral("-ftype_edit"));
            for (const QString &path : next)
                QCOMPARE(handed.count(path), 1);
            ++round;
        });
        qInfo("%d rounds", rounds);
    }

#if defined(__x86_64__)
    // A copy stopped between opening the file that takes its path and writing it, as a slow disk or a
    // scanner holds it, while its primary gathers: the census still counts it, so the wait ends on the
    // settle bound. What the copy has begun must be neither read nor removed, and its path must reach the
    // editor once it is written, under its own verb.
    void copyHeldWhileWritingItsPath()
    {
        Sandbox sandbox;
        QVERIFY(sandbox.isValid());
        installBlockingLister(sandbox);
        // The primary first, held in its first census, so that the held copy is counted by every later one.
        const auto primary =
            sandbox.startAll({{QStringLiteral("-ftype_edit"), QStringLiteral("/own/a.pdf")}});
        const qint64 primaryId = waitForBlockedPrimary(sandbox);
        QVERIFY(primaryId > 0);
        CopyHeldAtItsSpoolWrite held(sandbox,
                                     {QStringLiteral("-ftype_merge"), QStringLiteral("/held/b.pdf")});
        QVERIFY(held.isHeld());
        const QStringList beforeGathering = sandbox.spoolEntries();
        QCOMPARE(beforeGathering.size(), 2);

        QElapsedTimer clock;
        clock.start();
        releaseBlockingLister(sandbox);
        QVERIFY(primary.front()->waitForFinished(HandOffBoundMs));
        QCOMPARE(primary.front()->exitCode(), 0);
        qInfo() << "the primary handed off" << clock.elapsed() << "ms after its first census";
        QVERIFY2(clock.elapsed() >= 3000, QByteArray::number(clock.elapsed()).constData()); // settle bound
        QTRY_COMPARE_WITH_TIMEOUT(sandbox.editorStarts().size(), 1, 20000);
        QCOMPARE(sandbox.editorStarts().first(), QStringList(QStringLiteral("-ftype_edit;/own/a.pdf")));
        // Only the primary's own file went.
        QStringList left = beforeGathering;
        QCOMPARE(left.removeAll(QStringLiteral("%1-%1.txt").arg(primaryId)), 1);
        QCOMPARE(sandbox.spoolEntries(), left);

        QCOMPARE(held.release(), 0);
        const Sandbox::Result next =
            sandbox.run({QStringLiteral("-ftype_print"), QStringLiteral("/next/c.pdf")}, HandOffBoundMs);
        QCOMPARE(next.exitCode, 0);
        const QMap<QString, QStringList> expected{
            {QStringLiteral("-ftype_edit"), {QStringLiteral("/own/a.pdf")}},
            {QStringLiteral("-ftype_merge"), {QStringLiteral("/held/b.pdf")}},
            {QStringLiteral("-ftype_print"), {QStringLiteral("/next/c.pdf")}}};
        QTRY_COMPARE_WITH_TIMEOUT(handedOffPathsByVerb(sandbox), expected, 20000);
        QTest::qWait(300);
        QCOMPARE(sandbox.editorStarts().size(), 3);
        QVERIFY(sandbox.spoolEntries().isEmpty());
    }
#endif

    void faultyLister_data()
    {
        QTest::addColumn<QByteArray>("script");
        QTest::newRow("hangs") << QByteArray("#!/bin/sh\nexec sleep 3600\n");
        QTest::newRow("garbage") << QByteArray("#!/bin/sh\nhead -c 65536 /dev/urandom\n");
        QTest::newRow("every line names us") << QByteArray("#!/bin/sh\nprintf 'OstrelContextMenu 1\\r\\n"
                                                           "OstrelContextMenu 2\\r\\n'\n");
        QTest::newRow("missing") << QByteArray();
    }

    void faultyLister()
    {
        QFETCH(QByteArray, script);
        Sandbox sandbox;
        QVERIFY(sandbox.isValid());
        if (script.isEmpty())
            QVERIFY(QFile::remove(sandbox.listerPath()));
        else
            QVERIFY(writeExecutable(sandbox.listerPath(), script));

        const QStringList paths = numberedPaths(QStringLiteral("lister"), 3);
        const auto copies = sandbox.startAll(selection(QStringLiteral("-ftype_print"), paths));
        QVERIFY(Sandbox::waitAll(copies, HandOffBoundMs));
        QVERIFY(allEndedWithZero(copies));
        QTRY_COMPARE_WITH_TIMEOUT(handedOffPaths(sandbox, QStringLiteral("-ftype_print")).size(), 3, 20000);
        QStringList handedOff = handedOffPaths(sandbox, QStringLiteral("-ftype_print"));
        handedOff.sort();
        QCOMPARE(handedOff, paths);
    }

    void editorMissing()
    {
        Sandbox sandbox;
        QVERIFY(sandbox.isValid());
        QVERIFY(QFile::remove(sandbox.installDir() + QLatin1String("/Ostrel PDF Editor.exe")));
        const auto copies = sandbox.startAll(
            selection(QStringLiteral("-ftype_merge"), numberedPaths(QStringLiteral("noeditor"), 3)));
        QVERIFY(Sandbox::waitAll(copies, HandOffBoundMs));
        QVERIFY(allEndedWithZero(copies));
        QVERIFY(!QFileInfo::exists(sandbox.editorLog()));
    }

    void tenThousandLeftoverSpoolFiles()
    {
        Sandbox sandbox;
        QVERIFY(sandbox.isValid());
        QVERIFY(QDir().mkpath(sandbox.spoolPath()));
        QStringList expected;
        for (int i = 0; i < 10000; ++i) {
            // Names that no running copy can have (process ids are positive and below 2^22).
            QFile leftover(sandbox.spoolPath() + QStringLiteral("/leftover-%1.txt").arg(i));
            QVERIFY(leftover.open(QIODevice::WriteOnly));
            const QString path = QStringLiteral("/l/%1").arg(i);
            leftover.write(path.toUtf8() + '\n');
            expected.append(path);
        }
        expected.append(QStringLiteral("/now.pdf"));

        const Sandbox::Result result =
            sandbox.run({QStringLiteral("-ftype_merge"), QStringLiteral("/now.pdf")}, HandOffBoundMs);
        QVERIFY(result.finished);
        QCOMPARE(result.exitCode, 0);
        // The leftovers in a start of their own, then the own selection.
        QTRY_COMPARE_WITH_TIMEOUT(sandbox.editorStarts().size(), 2, 20000);
        QVERIFY(sandbox.editorStarts().contains(QStringList(QStringLiteral("-ftype_merge;/now.pdf"))));
        QStringList handedOff = handedOffPaths(sandbox, QStringLiteral("-ftype_merge"));
        handedOff.sort();
        expected.sort();
        QCOMPARE(handedOff, expected);
        QVERIFY(sandbox.spoolEntries().isEmpty());
    }

    void pathThatCannotBeSpooled_data()
    {
        QTest::addColumn<QString>("ground");
        QTest::addColumn<bool>("serverThere");
        // A plain file where the folder should be: neither making the folder nor writing into it can work,
        // whoever runs the test (permission bits do not stop root).
        QTest::newRow("a file in the spool folder's place") << "file" << true;
        QTest::newRow("a full disk") << "full disk" << true;
        // Nothing can carry the secondaries' paths: the primary keeps its own, the others say so.
        QTest::newRow("a full disk, the local server's module missing") << "full disk" << false;
    }

    // Each path still reaches the editor, over the primary's local server, or kept by the primary itself.
    void pathThatCannotBeSpooled()
    {
        QFETCH(QString, ground);
        QFETCH(bool, serverThere);
        Sandbox sandbox;
        QVERIFY(sandbox.isValid());
        FullDisk disk;
        if (ground == QLatin1String("file")) {
            QVERIFY(writeFile(sandbox.spoolPath(), "not a folder"));
        } else {
            const QString why = disk.mountOn(sandbox.runtimeDir());
            if (!why.isEmpty())
                QSKIP(qPrintable(why));
        }
        if (!serverThere)
            QVERIFY(QFile::remove(sandbox.installDir() + QLatin1String("/ostrel_localtransport.so")));

        const QStringList paths = numberedPaths(QStringLiteral("unspooled"), 3);
        const auto copies = sandbox.startAll(selection(QStringLiteral("-ftype_edit"), paths));
        QVERIFY(Sandbox::waitAll(copies, HandOffBoundMs));
        QVERIFY(allEndedWithZero(copies));
        if (serverThere) {
            for (const auto &copy : copies)
                QCOMPARE(copy->readAllStandardError(), QByteArray());
            QTRY_COMPARE_WITH_TIMEOUT(handedOffPaths(sandbox, QStringLiteral("-ftype_edit")).size(), 3,
                                      20000);
            QStringList handedOff = handedOffPaths(sandbox, QStringLiteral("-ftype_edit"));
            handedOff.sort();
            QCOMPARE(handedOff, paths);
        } else {
            QTRY_COMPARE_WITH_TIMEOUT(sandbox.editorStarts().size(), 1, 20000);
            const QStringList handedOff = handedOffPaths(sandbox, QStringLiteral("-ftype_edit"));
            QCOMPARE(handedOff.size(), 1);
            // Every other path is named in its copy's critical message.
            int named = 0;
            for (int i = 0; i < int(copies.size()); ++i) {
                const QByteArray errors = copies.at(size_t(i))->readAllStandardError();
                if (errors.contains(
                        "could be neither spooled nor handed to the primary: " + paths.at(i).toUtf8() + '\n'))
                    ++named;
                else
                    QCOMPARE(paths.at(i), handedOff.first());
            }
            QCOMPARE(named, 2);
        }
        if (ground == QLatin1String("file"))
            QVERIFY(QFileInfo(sandbox.spoolPath()).isFile());
    }

    // The block's key file removed again and again while selections start (a clean-up of the folder, or
    // Qt's own last detach of a segment, which removes the key file of a newer one): no copy fails, and
    // every path reaches the editor once.
    void blockKeyFileRemovedMidSelection()
    {
        Sandbox sandbox;
        QVERIFY(sandbox.isValid());
        QCOMPARE(sandbox.run({}).exitCode, 0);
        const QStringList locks =
            QDir(sandbox.runtimeDir()).entryList({QStringLiteral("*.lock")}, QDir::Files);
        QCOMPARE(locks.size(), 1);
        const QByteArray keyFile = QFile::encodeName(sandbox.runtimeDir() + QLatin1Char('/') +
                                                     locks.first().chopped(5) + QLatin1String(".block"));
        int round = 0;
        QList<qint64> copyIds;
        const int rounds = repeatWithinBudget(6, 90000, [&] {
            QFile::remove(sandbox.editorLog());
            const QStringList paths = numberedPaths(QStringLiteral("removed %1").arg(round++), 8);
            std::atomic<bool> stop{false};
            std::thread remover([&] {
                while (!stop) {
                    ::unlink(keyFile.constData());
                    ::usleep(500);
                }
            });
            const auto copies = sandbox.startAll(selection(QStringLiteral("-ftype_merge"), paths));
            for (const auto &copy : copies)
                copyIds.append(copy->processId());
            const bool ended = Sandbox::waitAll(copies, CapBoundMs);
            stop = true;
            remover.join();
            QVERIFY(ended);
            for (const auto &copy : copies) {
                QCOMPARE(copy->exitStatus(), QProcess::NormalExit);
                const QByteArray errors = copy->readAllStandardError();
                QVERIFY2(copy->exitCode() == 0 && errors.isEmpty(), errors.constData());
            }
            QTRY_COMPARE_WITH_TIMEOUT(handedOffPaths(sandbox, QStringLiteral("-ftype_merge")).size(),
                                      paths.size(), 20000);
            QTest::qWait(300); // a second primary's start would have arrived by now
            QStringList handedOff = handedOffPaths(sandbox, QStringLiteral("-ftype_merge"));
            handedOff.sort();
            QCOMPARE(handedOff, paths);
        });
        qInfo("%d rounds", rounds);
        // Segments whose key file went are out of the sandbox's reach: removed here, if nobody holds them.
        removeOrphanedSegments(copyIds);
    }
};

QTEST_GUILESS_MAIN(StressTest)
#include "tst_stress.moc"
