// Many copies at once, and the failures a desktop produces: killed copies, a damaged shared block, listers
// that hang or lie, an editor that is gone, a spool folder that is full or cannot be written. In every case
// each copy ends with exit code 0 within the poll's bounds, and no selected path is lost or handed off twice.

#include "boundedrepeat.h"
#include "sandbox.h"
#include "testfiles.h"

#include <QElapsedTimer>
#include <QRandomGenerator>
#include <QTest>
#include <QThread>

#include <algorithm>

#include <csignal>
#include <sys/ipc.h>
#include <sys/shm.h>

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

// Kills `count` of the copies, each at a random moment of the first `withinMs` after they were started.
void killAtRandomMoments(const std::vector<std::unique_ptr<QProcess>> &copies, int count, int withinMs,
                         QRandomGenerator &random)
{
    QElapsedTimer clock;
    clock.start();
    std::vector<std::pair<int, size_t>> kills; // when, which
    std::vector<size_t> order(copies.size());
    for (size_t i = 0; i < order.size(); ++i)
        order[i] = i;
    std::shuffle(order.begin(), order.end(), random);
    for (int k = 0; k < count; ++k)
        kills.emplace_back(random.bounded(withinMs), order[size_t(k)]);
    std::sort(kills.begin(), kills.end());
    for (const auto &kill : kills) {
        while (clock.elapsed() < kill.first)
            QThread::msleep(1);
        copies[kill.second]->kill();
    }
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

// A lister that signals its start with a marker file and lists nothing until released.
void installBlockingLister(const Sandbox &sandbox)
{
    const QByteArray dir = QFile::encodeName(sandbox.root());
    QVERIFY(writeExecutable(sandbox.listerPath(), "#!/bin/sh\ntouch '" + dir +
                                                      "/lister-started'\nwhile [ ! -e '" + dir +
                                                      "/lister-release' ]; do sleep 0.05; done\n"));
}

void restoreLister(const Sandbox &sandbox)
{
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
        QTest::newRow("killed") << false;
        QTest::newRow("killed, block corrupted") << true;
    }

    void primaryKilledWhileWaiting()
    {
        QFETCH(bool, corruptBlock);
        Sandbox sandbox;
        QVERIFY(sandbox.isValid());
        installBlockingLister(sandbox);

        const auto primary =
            sandbox.startAll({{QStringLiteral("-ftype_edit"), QStringLiteral("/killed/a.pdf")}});
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(sandbox.root() + QLatin1String("/lister-started")), 30000);
        ::kill(pid_t(primary.front()->processId()), SIGKILL);
        QVERIFY(primary.front()->waitForFinished(10000));
        QFile(sandbox.root() + QLatin1String("/lister-release")).open(QIODevice::WriteOnly);
        restoreLister(sandbox);
        if (corruptBlock)
            QVERIFY(corruptSharedBlock(sandbox));

        QElapsedTimer clock;
        clock.start();
        const Sandbox::Result next =
            sandbox.run({QStringLiteral("-ftype_edit"), QStringLiteral("/next/b.pdf")}, HandOffBoundMs);
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

        // The killed primary had spooled its path; the next primary hands it off with its own.
        QTRY_COMPARE_WITH_TIMEOUT(handedOffPaths(sandbox, QStringLiteral("-ftype_edit")).size(), 2, 20000);
        QStringList handedOff = handedOffPaths(sandbox, QStringLiteral("-ftype_edit"));
        handedOff.sort();
        QCOMPARE(handedOff, QStringList({QStringLiteral("/killed/a.pdf"), QStringLiteral("/next/b.pdf")}));
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
        QTRY_COMPARE_WITH_TIMEOUT(sandbox.editorStarts().size(), 1, 20000);
        QStringList handedOff = handedOffPaths(sandbox, QStringLiteral("-ftype_merge"));
        handedOff.sort();
        expected.sort();
        QCOMPARE(handedOff, expected);
        QVERIFY(sandbox.spoolEntries().isEmpty());
    }

    void spoolFolderCannotBeWritten()
    {
        Sandbox sandbox;
        QVERIFY(sandbox.isValid());
        // A plain file where the folder should be: neither creating the folder nor writing into it can work,
        // whoever runs the test (permission bits do not stop root).
        QFile blocker(sandbox.spoolPath());
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        blocker.write("not a folder");
        blocker.close();

        const auto copies = sandbox.startAll(
            selection(QStringLiteral("-ftype_edit"), numberedPaths(QStringLiteral("blocked"), 3)));
        QVERIFY(Sandbox::waitAll(copies, HandOffBoundMs));
        QVERIFY(allEndedWithZero(copies));
        QVERIFY(QFileInfo(sandbox.spoolPath()).isFile());
        QCOMPARE(handedOffPaths(sandbox, QStringLiteral("-ftype_edit")), QStringList());
    }
};

QTEST_GUILESS_MAIN(StressTest)
#include "tst_stress.moc"
