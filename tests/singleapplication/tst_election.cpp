#include "byteformats.h"
#include "electionlocker.h"
#include "handshake.h"
#include "instanceblock.h"
#include "instancekey.h"
#include "probeprocess.h"
#include "singleapplication.h"
#include "testfiles.h"

#include <QDataStream>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLocalSocket>
#include <QRegularExpression>
#include <QTest>

#include <cstring>
#include <pwd.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

const QStringList PrimaryOptions = {QStringLiteral("--wait-file"), QStringLiteral("end")};

// Ends every copy that waits for the sandbox's "end" file.
void releaseWaiters(const Sandbox &sandbox)
{
    QFile file(sandbox.root() + QLatin1String("/end"));
    file.open(QIODevice::WriteOnly);
}

QStringList waitingFor(const QString &file, const QStringList &more = {})
{
    return QStringList{QStringLiteral("--wait-file"), file} + more;
}

// Attaches to a probe's segment from the test, the way an independent reader would, and takes the
// election's lock as a copy does.
class BlockView
{
public:
    BlockView(const Sandbox &sandbox, const QString &key)
        : m_folders(sandbox)
        , m_lock(electionLockName(key))
    {
        m_segment.setNativeKey(sharedBlockNativeKey(key));
        m_attached = m_segment.attach(QSharedMemory::ReadWrite);
    }
    bool isAttached() const { return m_attached; }
    QSharedMemory::SharedMemoryError error() const { return m_segment.error(); }
    bool lock() { return m_lock.lock(5000) == Platform::InterProcessLock::Result::Acquired; }
    bool unlock() { return m_lock.unlock(); }
    unsigned char *bytes() { return static_cast<unsigned char *>(m_segment.data()); }

    quint32 secondaryCount() { return blockSecondaryCount(bytes()); }
    qint64 processId() { return blockProcessId(bytes()); }
    void setProcessId(qint64 id) { setBlockProcessId(bytes(), id); }
    void storeChecksum() { storeBlockChecksum(bytes()); }

private:
    SandboxFolders m_folders;
    Platform::InterProcessLock m_lock;
    QSharedMemory m_segment;
    bool m_attached = false;
};

} // namespace

class ElectionTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void primaryThenNumberedSecondaries();
    void firstCopiesTogetherElectOnePrimary();
    void inconsistentBlockIsResetAfterFiveSeconds();
    void killedPrimaryDoesNotBlockLaterCopies();
    void liveProcessOfAnotherProgramIsNoPrimary();
    void refusedCopyNotifiesPrimaryAndEndsWithZero();
    void secondaryNotification();
    void foreignPeerCompletesHandshake();
    void keyIgnoresPathCaseAndEmptyUserData();
    void lockHolderThatDiesOrHangs_data();
    void lockHolderThatDiesOrHangs();
    void unusableSegmentEndsWithStatusOne_data();
    void unusableSegmentEndsWithStatusOne();
    void blockNotOfThisAccountIsNeverUsed_data();
    void blockNotOfThisAccountIsNeverUsed();
};

void ElectionTest::initTestCase()
{
    QVERIFY2(QFileInfo::exists(QStringLiteral(ELECTION_PROBE_PATH)), ELECTION_PROBE_PATH);
}

void ElectionTest::primaryThenNumberedSecondaries()
{
    Sandbox sandbox;
    QVERIFY(sandbox.isValid());

    Probe first = startProbe(sandbox, PrimaryOptions);
    QVERIFY(first.readIdentity());
    QVERIFY(first.isPrimary());
    QCOMPARE(first.instanceId, 0u);
    QCOMPARE(first.processId, first.process->processId());

    // A copy that starts while another holds the block's lock waits for it, and does not reset the lock and
    // come in beside the holder (as a create() of the existing block would).
    Probe secondary;
    bool electedWhileHeld = false;
    {
        BlockView view(sandbox, first.key);
        QVERIFY(view.isAttached());
        QVERIFY(view.lock());
        secondary = startProbe(sandbox, {});
        electedWhileHeld = secondary.readIdentity(2000);
        QVERIFY(view.unlock());
    }
    QVERIFY2(!electedWhileHeld, "a copy took the block's lock while another copy held it");
    QVERIFY(secondary.readIdentity());
    QCOMPARE(secondary.role, QStringLiteral("secondary"));
    QCOMPARE(secondary.instanceId, 1u);
    QCOMPARE(secondary.key, first.key);
    QVERIFY(secondary.finish());
    QCOMPARE(secondary.process->exitCode(), 0);
    // This one keeps the segment alive past the primary's end.
    Probe holder = startProbe(sandbox, waitingFor(QStringLiteral("end-holder")));
    QVERIFY(holder.readIdentity());
    QCOMPARE(holder.role, QStringLiteral("secondary"));
    QCOMPARE(holder.instanceId, 2u);

    // An orderly end gives the role back, and the count of secondaries stays.
    releaseWaiters(sandbox);
    QVERIFY(first.finish());
    QCOMPARE(first.process->exitCode(), 0);
    // The election's lock is a file that stays: a copy that removed it while another held the lock would let
    // a third lock a new file beside the holder. Nothing of the framework's own locks is made.
    QCOMPARE(QDir(sandbox.runtimeDir()).entryList({QStringLiteral("*.lock")}, QDir::Files).size(), 1);
    QCOMPARE(QDir(sandbox.tempDir()).entryList({QStringLiteral("qipc_*")}, QDir::Files), QStringList());
    QFile::remove(sandbox.root() + QLatin1String("/end"));

    Probe second = startProbe(sandbox, PrimaryOptions);
    QVERIFY(second.readIdentity());
    QVERIFY(second.isPrimary());
    QCOMPARE(second.instanceId, 0u);
    {
        BlockView view(sandbox, second.key);
        QVERIFY(view.isAttached());
        QVERIFY(view.lock());
        QCOMPARE(int(view.bytes()[0]), 1);
        QCOMPARE(view.secondaryCount(), 2u);
        QCOMPARE(view.processId(), second.process->processId());
        QCOMPARE(QByteArray(reinterpret_cast<const char *>(view.bytes() + 16)), accountName());
        QCOMPARE(crc16x25(QByteArray(reinterpret_cast<const char *>(view.bytes()), 144)),
                 quint16(view.bytes()[144] | view.bytes()[145] << 8));
        QVERIFY(view.unlock());
    }
    Probe third = startProbe(sandbox, {});
    QVERIFY(third.readIdentity());
    QCOMPARE(third.role, QStringLiteral("secondary"));
    QCOMPARE(third.instanceId, 3u);
    QVERIFY(third.finish());

    releaseWaiters(sandbox);
    QVERIFY(second.finish());
    QCOMPARE(second.process->exitCode(), 0);
    QFile(sandbox.root() + QLatin1String("/end-holder")).open(QIODevice::WriteOnly);
    QVERIFY(holder.finish());

    // With every copy gone the segment is gone, and numbering starts afresh.
    {
        BlockView view(sandbox, second.key);
        QVERIFY(!view.isAttached());
        QCOMPARE(view.error(), QSharedMemory::NotFound);
    }
    QFile::remove(sandbox.root() + QLatin1String("/end"));
    Probe fresh = startProbe(sandbox, PrimaryOptions);
    QVERIFY(fresh.readIdentity());
    QVERIFY(fresh.isPrimary());
    Probe next = startProbe(sandbox, {});
    QVERIFY(next.readIdentity());
    QCOMPARE(next.instanceId, 1u);
    QVERIFY(next.finish());
    releaseWaiters(sandbox);
    QVERIFY(fresh.finish());
}

// The first copies of a selection find no block and make it together. Only one of them may create it: a
// create() resets the lock's semaphore, and a copy that did so while another held the lock came in beside
// it and became a second primary (seen as one Merge opening twice, in about one of twenty selections of ten).
void ElectionTest::firstCopiesTogetherElectOnePrimary()
{
    Sandbox sandbox;
    QVERIFY(sandbox.isValid());
    constexpr int Rounds = 60;
    constexpr int CopiesPerRound = 6;
    for (int round = 0; round < Rounds; ++round) {
        // A key of its own for every round, so each round starts without a block.
        const QString end = QStringLiteral("end-%1").arg(round);
        std::vector<Probe> copies;
        for (int i = 0; i < CopiesPerRound; ++i)
            copies.push_back(startProbe(sandbox, waitingFor(end, {QStringLiteral("--user-data"), end})));
        int primaries = 0;
        for (Probe &copy : copies) {
            QVERIFY(copy.readIdentity());
            primaries += copy.isPrimary() ? 1 : 0;
        }
        QFile(sandbox.root() + QLatin1Char('/') + end).open(QIODevice::WriteOnly);
        for (Probe &copy : copies)
            QVERIFY(copy.finish());
        QVERIFY2(primaries == 1,
                 qPrintable(QStringLiteral("round %1: %2 primaries").arg(round).arg(primaries)));
    }
}

void ElectionTest::inconsistentBlockIsResetAfterFiveSeconds()
{
    Sandbox sandbox;
    QVERIFY(sandbox.isValid());
    Probe primary = startProbe(sandbox, PrimaryOptions);
    QVERIFY(primary.readIdentity());
    QVERIFY(primary.isPrimary());

    // A byte changed behind the checksum's back, as a copy that died halfway through a write leaves it.
    BlockView view(sandbox, primary.key);
    QVERIFY(view.isAttached());
    QVERIFY(view.lock());
    view.bytes()[2] ^= 0x5a;
    QVERIFY(view.unlock());

    QElapsedTimer clock;
    clock.start();
    Probe late = startProbe(sandbox, {});
    QVERIFY(late.readIdentity(30000));
    QVERIFY(late.finish());
    QVERIFY2(clock.elapsed() > 5000, QByteArray::number(clock.elapsed()).constData());
    // The reset cleared the primary's claim, but the primary still holds its role (its lock): the waiting
    // copy joins it as a secondary instead of becoming a second primary beside it.
    QCOMPARE(late.role, QStringLiteral("secondary"));
    QCOMPARE(late.instanceId, 1u);
    const QByteArray errors = late.process->readAllStandardError();
    QCOMPARE(errors.count(
                 "SingleApplication: Shared memory block has been in an inconsistent state from more than "
                 "5s. Assuming primary instance failure.\n"),
             1);

    releaseWaiters(sandbox);
    QVERIFY(primary.finish());
    QFile::remove(sandbox.root() + QLatin1String("/end"));
    Probe next = startProbe(sandbox, {});
    QVERIFY(next.readIdentity());
    QVERIFY(next.finish());
    QVERIFY(next.isPrimary());
}

void ElectionTest::killedPrimaryDoesNotBlockLaterCopies()
{
    Sandbox sandbox;
    QVERIFY(sandbox.isValid());
    Probe primary = startProbe(sandbox, PrimaryOptions);
    QVERIFY(primary.readIdentity());
    QVERIFY(primary.isPrimary());
    // A secondary keeps the segment alive while the primary dies.
    Probe holder = startProbe(sandbox, waitingFor(QStringLiteral("end-holder")));
    QVERIFY(holder.readIdentity());
    QCOMPARE(holder.instanceId, 1u);

    primary.process->kill();
    QVERIFY(primary.process->waitForFinished(20000));

    Probe successor = startProbe(sandbox, PrimaryOptions);
    QVERIFY(successor.readIdentity());
    QVERIFY(successor.isPrimary());
    Probe secondary = startProbe(sandbox, {});
    QVERIFY(secondary.readIdentity());
    QCOMPARE(secondary.instanceId, 2u);
    QVERIFY(secondary.finish());

    // Now the segment outlives every process that had it: the dead primary's claim must not stick.
    QFile(sandbox.root() + QLatin1String("/end-holder")).open(QIODevice::WriteOnly);
    QVERIFY(holder.finish());
    successor.process->kill();
    QVERIFY(successor.process->waitForFinished(20000));

    Probe third = startProbe(sandbox, PrimaryOptions);
    QVERIFY(third.readIdentity());
    QVERIFY(third.isPrimary());
    Probe counted = startProbe(sandbox, {});
    QVERIFY(counted.readIdentity());
    QCOMPARE(counted.instanceId, 3u);
    QVERIFY(counted.finish());
    releaseWaiters(sandbox);
    QVERIFY(third.finish());
}

void ElectionTest::liveProcessOfAnotherProgramIsNoPrimary()
{
    Sandbox sandbox;
    QVERIFY(sandbox.isValid());
    Probe primary = startProbe(sandbox, PrimaryOptions);
    QVERIFY(primary.readIdentity());
    // A secondary keeps the segment alive while the primary dies; the system then hands its id on.
    Probe holder = startProbe(sandbox, PrimaryOptions);
    QVERIFY(holder.readIdentity());
    primary.process->kill();
    QVERIFY(primary.process->waitForFinished(20000));

    // A reused process id: alive, but running another program (this test).
    {
        BlockView view(sandbox, primary.key);
        QVERIFY(view.isAttached());
        QVERIFY(view.lock());
        view.setProcessId(QCoreApplication::applicationPid());
        view.storeChecksum();
        QVERIFY(view.unlock());
    }
    Probe next = startProbe(sandbox, {});
    QVERIFY(next.readIdentity());
    QVERIFY(next.isPrimary());
    QVERIFY(next.finish());

    releaseWaiters(sandbox);
    QVERIFY(holder.finish());
}

void ElectionTest::refusedCopyNotifiesPrimaryAndEndsWithZero()
{
    Sandbox sandbox;
    QVERIFY(sandbox.isValid());
    Probe primary = startProbe(sandbox, waitingFor(QStringLiteral("end"), {QStringLiteral("--listen")}));
    QVERIFY(primary.readIdentity());
    QVERIFY(primary.isPrimary());

    Probe refused = startProbe(sandbox, {QStringLiteral("--no-secondary")});
    QVERIFY(refused.finish());
    QCOMPARE(refused.process->exitCode(), 0);
    // It never got past the constructor.
    QVERIFY(!refused.output.contains("role"));

    QVERIFY(primary.waitForLine("started"));
    releaseWaiters(sandbox);
    QVERIFY(primary.finish());
    QCOMPARE(primary.output.count("started\n"), 1);
    QVERIFY(!primary.output.contains("message"));
}

void ElectionTest::secondaryNotification()
{
    const QString notify =
        QString::number(SingleApplication::UserScoped | SingleApplication::NotifyPrimaryOfSecondaries);
    const QString plain = QString::number(SingleApplication::UserScoped);
    struct Case
    {
        QString primaryOptions;
        bool announced;
    };
    for (const Case &c : {Case{notify, true}, Case{plain, false}}) {
        Sandbox sandbox;
        QVERIFY(sandbox.isValid());
        Probe primary = startProbe(
            sandbox, waitingFor(QStringLiteral("end"),
                                {QStringLiteral("--listen"), QStringLiteral("--options"), c.primaryOptions}));
        QVERIFY(primary.readIdentity());
        Probe secondary = startProbe(sandbox, {QStringLiteral("--options"), notify});
        QVERIFY(secondary.readIdentity());
        QCOMPARE(secondary.instanceId, 1u);
        QVERIFY(secondary.finish());

        // A plain secondary never opens a socket; it is the last copy, so everything before it was handled.
        Probe silent = startProbe(sandbox, {QStringLiteral("--options"), plain, QStringLiteral("--listen")});
        QVERIFY(silent.readIdentity());
        QVERIFY(silent.finish());
        if (c.announced)
            QVERIFY(primary.waitForLine("started"));
        QTest::qWait(200);
        releaseWaiters(sandbox);
        QVERIFY(primary.finish());
        QCOMPARE(primary.output.count("started\n"), c.announced ? 1 : 0);
    }
}

// A peer written from the wire format alone.
void ElectionTest::foreignPeerCompletesHandshake()
{
    Sandbox sandbox;
    QVERIFY(sandbox.isValid());
    Probe primary = startProbe(sandbox, waitingFor(QStringLiteral("end"), {QStringLiteral("--listen")}));
    QVERIFY(primary.readIdentity());

    const QByteArray message = handshake(primary.key.toLatin1(), HandshakeKind::DuplicateLaunch, 42);
    QCOMPARE(message.size(), 8 + 55);

    {
        SandboxFolders folders(sandbox);
        QLocalSocket peer;
        peer.connectToServer(primary.key);
        QVERIFY(peer.waitForConnected(5000));
        peer.write(message + "hello");
        QVERIFY(peer.waitForBytesWritten(5000));
        QVERIFY(primary.waitForLine("message"));
        peer.write("again");
        QVERIFY(peer.waitForBytesWritten(5000));
        QVERIFY(primary.waitForLine("message 42 616761696e"));
    }
    releaseWaiters(sandbox);
    QVERIFY(primary.finish());
    const QList<QByteArray> lines = primary.output.split('\n');
    const int started = lines.indexOf("started");
    QVERIFY(started > 0);
    QCOMPARE(lines.value(started + 1), QByteArray("message 42 68656c6c6f"));
}

void ElectionTest::keyIgnoresPathCaseAndEmptyUserData()
{
    Sandbox sandbox;
    QVERIFY(sandbox.isValid());
    const auto copyProbe = [&](const QString &folder) {
        const QString path = sandbox.root() + QLatin1Char('/') + folder + QLatin1String("/election_probe");
        QDir().mkpath(QFileInfo(path).path());
        QFile::copy(QStringLiteral(ELECTION_PROBE_PATH), path);
        return path;
    };
    const auto keyOf = [&](const QString &program, const QStringList &arguments) {
        Probe probe = startProbe(sandbox, arguments, program);
        return probe.readIdentity() && probe.finish() ? probe.key : QString();
    };
    const QString upper = copyProbe(QStringLiteral("Probe Dir"));
    const QString lower = copyProbe(QStringLiteral("probe dir"));
    const QString other = copyProbe(QStringLiteral("other"));

    const QString key = keyOf(upper, {});
    QVERIFY(!key.isEmpty());
    QCOMPARE(keyOf(lower, {}), key);
    QVERIFY(keyOf(other, {}) != key);
    QCOMPARE(keyOf(upper, {QStringLiteral("--user-data"), QString()}), key);
    QVERIFY(keyOf(upper, {QStringLiteral("--user-data"), QStringLiteral("x")}) != key);
    const QStringList withoutPath{QStringLiteral("--options"), QStringLiteral("0x11")};
    QCOMPARE(keyOf(other, withoutPath), keyOf(upper, withoutPath));
}

void ElectionTest::lockHolderThatDiesOrHangs_data()
{
    QTest::addColumn<bool>("holderDies");
    QTest::newRow("holder killed inside the lock") << true;
    QTest::newRow("holder hangs past the bound") << false;
}

// The election's lock held by a process that is killed while holding it, or that hangs: the system gives a
// dead holder's lock back at once, and a copy waits for a live one only up to the bound, then goes on without
// a role and keeps its path spooled for the next primary.
void ElectionTest::lockHolderThatDiesOrHangs()
{
    QFETCH(bool, holderDies);
    Sandbox sandbox;
    QVERIFY(sandbox.isValid());
    // A run without arguments takes part in the election and leaves the lock's file, which stays.
    QCOMPARE(sandbox.run({}).exitCode, 0);
    const QStringList lockFiles =
        QDir(sandbox.runtimeDir()).entryList({QStringLiteral("*.lock")}, QDir::Files);
    QCOMPARE(lockFiles.size(), 1);
    QProcess holder;
    holder.start(QStringLiteral("/bin/sh"),
                 {QStringLiteral("-c"),
                  QStringLiteral("exec 9>>\"$1\" && flock 9 && echo held && exec sleep 600"),
                  QStringLiteral("sh"), sandbox.runtimeDir() + QLatin1Char('/') + lockFiles.first()});
    QVERIFY(holder.waitForReadyRead(20000));
    QCOMPARE(holder.readAllStandardOutput(), QByteArray("held\n"));

    const QString first = QStringLiteral("/documents/first.pdf");
    auto copy = sandbox.start({QStringLiteral("-ftype_print"), first});
    QElapsedTimer sinceHolderEnded;
    if (holderDies) {
        QTest::qWait(1000);
        holder.kill();
        QVERIFY(holder.waitForFinished(20000));
        sinceHolderEnded.start();
        QVERIFY(copy->waitForFinished(60000));
        // Waiting out the bound would have left the copy without a role, and its path without a hand-off.
        QVERIFY2(sinceHolderEnded.elapsed() < ElectionLocker::WaitBoundMs,
                 QByteArray::number(sinceHolderEnded.elapsed()).constData());
        QCOMPARE(copy->readAllStandardError(), QByteArray());
        QCOMPARE(copy->exitCode(), 0);
        QTRY_COMPARE_WITH_TIMEOUT(handedOffPaths(sandbox, QStringLiteral("-ftype_print")), QStringList(first),
                                  20000);
        return;
    }
    QElapsedTimer waited;
    waited.start();
    QVERIFY(copy->waitForFinished(60000));
    QVERIFY(waited.elapsed() >= ElectionLocker::WaitBoundMs);
    QCOMPARE(copy->exitCode(), 0);
    QCOMPARE(copy->readAllStandardError(),
             QByteArray("SingleApplication: Timed out waiting for the lock of the memory block; going on "
                        "without a role.\n"));
    QCOMPARE(sandbox.editorStarts(), QList<QStringList>());
    const QStringList spooled = sandbox.spoolEntries();
    QCOMPARE(spooled.size(), 1);
    QVERIFY(readFile(sandbox.spoolPath() + QLatin1Char('/') + spooled.first()).contains(first.toUtf8()));

    // Once the holder is gone, the next selection's primary hands the kept path off too.
    holder.kill();
    QVERIFY(holder.waitForFinished(20000));
    const QString second = QStringLiteral("/documents/second.pdf");
    const Sandbox::Result next = sandbox.run({QStringLiteral("-ftype_print"), second});
    QCOMPARE(next.exitCode, 0);
    QStringList handed;
    QTRY_VERIFY_WITH_TIMEOUT((handed = handedOffPaths(sandbox, QStringLiteral("-ftype_print"))).size() == 2,
                             20000);
    handed.sort();
    QCOMPARE(handed, QStringList({first, second}));
}

void ElectionTest::unusableSegmentEndsWithStatusOne_data()
{
    QTest::addColumn<QString>("planted");
    QTest::addColumn<QByteArray>("message");
    // A folder where the lock's file should be: the lock cannot be opened at all.
    QTest::newRow("lock") << QStringLiteral(".lock")
                          << QByteArray("SingleApplication: Unable to lock memory block after attach.");
    // A link to nowhere where the block's key file should be: the block can be neither found nor made.
    QTest::newRow("block") << QStringLiteral(".block")
                           << QByteArray("SingleApplication: Unable to create block.");
}

void ElectionTest::unusableSegmentEndsWithStatusOne()
{
    QFETCH(QString, planted);
    QFETCH(QByteArray, message);
    Sandbox sandbox;
    QVERIFY(sandbox.isValid());
    Probe first = startProbe(sandbox, {});
    QVERIFY(first.readIdentity());
    QVERIFY(first.finish());
    const QString path = sandbox.runtimeDir() + QLatin1Char('/') + first.key + planted;
    QFile::remove(path);
    if (planted == QLatin1String(".lock"))
        QVERIFY(QDir().mkdir(path));
    else
        QVERIFY(QFile::link(sandbox.root() + QLatin1String("/gone/key"), path));

    Probe probe = startProbe(sandbox, {});
    QVERIFY(probe.finish());
    QCOMPARE(probe.process->exitCode(), 1);
    QVERIFY(probe.output.isEmpty());
    const QList<QByteArray> lines = probe.process->readAllStandardError().trimmed().split('\n');
    QCOMPARE(lines.size(), 2);
    QCOMPARE(lines.at(0), message);
    // The prefix, the numeric error code and the quoted error string, as one stream writes three items.
    const QRegularExpression fatal(QStringLiteral("^SingleApplication:  [0-9]+ \"[^\"]+\"$"));
    QVERIFY2(fatal.match(QString::fromUtf8(lines.at(1))).hasMatch(), lines.at(1).constData());
}

void ElectionTest::blockNotOfThisAccountIsNeverUsed_data()
{
    QTest::addColumn<bool>("otherAccount");
    // Another account read the key (from the system's list of segments) and made the segment first.
    QTest::newRow("another account's segment") << true;
    // One of ours that other accounts may write into.
    QTest::newRow("our own, open to others") << false;
}

// Such a block is never read or written: the copies elect one primary under the primary's lock alone, and
// no account can stop another's selections.
void ElectionTest::blockNotOfThisAccountIsNeverUsed()
{
    QFETCH(bool, otherAccount);
    if (otherAccount && geteuid() != 0)
        QSKIP("only root can make a segment of another account (a child that drops to another uid)");
    Sandbox sandbox;
    QVERIFY(sandbox.isValid());
    Probe first = startProbe(sandbox, {});
    QVERIFY(first.readIdentity());
    QVERIFY(first.finish());
    // The last copy to detach removed the block and its key file; the squatter knows the key all the same.
    const QString keyFile = sandbox.runtimeDir() + QLatin1Char('/') + first.key + QLatin1String(".block");
    QVERIFY(writeFile(keyFile, QByteArray()));
    const key_t key = ftok(QFile::encodeName(keyFile).constData(), 'Q');
    int id = -1;
    if (otherAccount) {
        const pid_t child = fork();
        if (child == 0)
            _exit(setuid(4242) == 0 && shmget(key, 152, IPC_CREAT | IPC_EXCL | 0600) != -1 ? 0 : 1);
        int status = 0;
        QCOMPARE(waitpid(child, &status, 0), child);
        QVERIFY(WIFEXITED(status) && WEXITSTATUS(status) == 0);
        id = shmget(key, 0, 0);
    } else {
        id = shmget(key, 152, IPC_CREAT | IPC_EXCL | 0644);
    }
    QVERIFY(id != -1);

    Probe primary = startProbe(sandbox, PrimaryOptions);
    QVERIFY(primary.readIdentity());
    QVERIFY(primary.isPrimary());
    Probe second = startProbe(sandbox, {});
    QVERIFY(second.readIdentity());
    QVERIFY(second.finish());
    // Unnumbered: there is no block to count in.
    QCOMPARE(second.role, QStringLiteral("secondary"));
    QCOMPARE(second.instanceId, 0u);
    const QByteArray warning = "SingleApplication: The memory block " + QFile::encodeName(keyFile) +
                               " is not this account's own; electing without it.\n";
    QCOMPARE(second.process->readAllStandardError(), warning);
    releaseWaiters(sandbox);
    QVERIFY(primary.finish());
    QCOMPARE(primary.process->readAllStandardError(), warning);

    // Never written: its bytes are still the zeros it was made with.
    const void *address = shmat(id, nullptr, SHM_RDONLY);
    QVERIFY(address != reinterpret_cast<void *>(-1));
    const QByteArray bytes(static_cast<const char *>(address), 152);
    shmdt(address);
    shmctl(id, IPC_RMID, nullptr);
    QCOMPARE(bytes, QByteArray(152, '\0'));
}

QTEST_GUILESS_MAIN(ElectionTest)
#include "tst_election.moc"
