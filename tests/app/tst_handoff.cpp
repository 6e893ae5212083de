#include "handoff.h"
#include "peerwait.h"
#include "sandbox.h"
#include "spoolfolder.h"
#include "testfiles.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QSet>
#include <QTest>
#include <QThread>

#include <algorithm>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const QStringList Flags{"-ftype_edit", "-ftype_split", "-ftype_merge", "-ftype_print"};

// Every start the editor recorded once it has recorded `count` of them. The editor is started detached, so
// its record may come a moment after the program has ended.
QList<QStringList> editorStartsOnceThereAre(const Sandbox &sandbox, int count)
{
    QElapsedTimer timer;
    timer.start();
    while (sandbox.editorStarts().size() < count && timer.elapsed() < 20000)
        QTest::qWait(50);
    QTest::qWait(300); // a further, wrong start would have arrived by now as well
    return sandbox.editorStarts();
}

// The one start the hand-off should have made.
QStringList theOnlyEditorStart(const Sandbox &sandbox)
{
    const QList<QStringList> starts = editorStartsOnceThereAre(sandbox, 1);
    if (starts.size() != 1) {
        qWarning() << "editor starts:" << starts;
        return QStringList(QStringLiteral("<%1 starts>").arg(starts.size()));
    }
    return starts.first();
}

// The starts' arguments in a fixed order: the editor records detached starts in whatever order they reach
// it.
QStringList sortedArguments(const QList<QStringList> &starts)
{
    QStringList arguments;
    for (const QStringList &start : starts)
        arguments.append(start.size() == 1 ? start.first()
                                           : QStringLiteral("<%1 arguments>").arg(start.size()));
    arguments.sort();
    return arguments;
}

// A path for copy i that holds the awkward characters the hand-off must carry unchanged. Explorer's order
// of these is the order of i: one folder, names that differ in letter case and in a number of growing
// length ("Scan 9" before "SCAN 10").
QString selectedPath(int i)
{
    static const QString folder = QStringLiteral(
        "\\\\server\\\u6587\u4ef6\\Zo\u00eb a;b;c \"quoted\" it's/\u0444\u0430\u0439\u043b\u044b");
    return QStringLiteral("%1/%2 %3 \u00fcbersicht.pdf")
        .arg(folder, i % 2 ? QStringLiteral("SCAN") : QStringLiteral("scan"))
        .arg(i + 1);
}

// The order in which copies 0 to n - 1 are started: scattered, so that neither the order of their process
// ids nor that of their spool files' names is the order of their paths (n not a multiple of 37).
QList<int> scatteredOrder(int n)
{
    QList<int> order;
    for (int k = 0; k < n; ++k)
        order.append(int((qint64(k) * 37 + n / 2) % n));
    return order;
}

// Waits until the editor has received `count` paths in all, then a moment longer, so that a wrong extra
// start shows up too.
void waitForHandedOffPaths(const Sandbox &sandbox, const QString &verbFlag, int count)
{
    QElapsedTimer timer;
    timer.start();
    while (handedOffPaths(sandbox, verbFlag).size() < count && timer.elapsed() < 30000)
        QTest::qWait(50);
    QTest::qWait(300);
}

// The argument the editor should get: the verb flag, then the paths in Explorer's order, which these tests
// give by construction.
QString expectedArgument(const QString &verbFlag, const QStringList &pathsInOrder)
{
    return (QStringList(verbFlag) + pathsInOrder).join(QLatin1Char(';'));
}

qint64 wallClockMs()
{
    return QDateTime::currentMSecsSinceEpoch();
}

// Copies started one after another, as Explorer does on a busy machine, with what the test saw of each:
// when its process was certainly running, and when its spool file was written (the file's own time, on
// the same clock the primary reads it with).
class StaggeredCopies
{
public:
    StaggeredCopies(const Sandbox &sandbox, const QString &verbFlag)
        : m_sandbox(sandbox)
        , m_verbFlag(verbFlag)
    {
        m_clock.start();
    }

    // Makes every copy take startDelayMs from its start to the program's own: a shell (copied under a name
    // that contains the program's, so that the census counts it from its start) sleeps, then runs the
    // program in its own process, as a virus scanner or a cold disk slows a process start down.
    bool setStartDelay(int startDelayMs)
    {
        m_slowStart = m_sandbox.installDir() + QLatin1String("/OstrelContextMenuSlowStart");
        m_startDelayMs = startDelayMs;
        return QFile::copy(QStringLiteral("/bin/sh"), m_slowStart) &&
               QFile::setPermissions(m_slowStart, QFile::ReadOwner | QFile::ExeOwner);
    }

    // Starts `count` copies at t0 + i * gapMs on one clock (a late start does not delay the ones after
    // it), and keeps watching until every copy has ended.
    void run(int count, int gapMs, int endAfterMs = -1)
    {
        for (int i = 0; i < count || (endAfterMs >= 0 && m_clock.elapsed() < endAfterMs); ++i) {
            while (m_clock.elapsed() < qint64(i) * gapMs)
                watch();
            const QString path =
                QStringLiteral("C:/Users/Ann/stream/file %1.pdf").arg(i, 4, 10, QLatin1Char('0'));
            m_paths.append(path);
            if (m_startDelayMs > 0)
                m_processes.push_back(m_sandbox.start(
                    {QStringLiteral("-c"),
                     QStringLiteral("sleep %1; exec \"$0\" \"$@\"").arg(m_startDelayMs / 1000.0),
                     m_sandbox.programPath(), m_verbFlag, path},
                    m_slowStart));
            else
                m_processes.push_back(m_sandbox.start({m_verbFlag, path}));
            m_processes.back()->waitForStarted(30000);
            // Its image is executing by now: from here on a census counts it until it has spooled.
            m_started.append(wallClockMs());
            m_processIds.append(m_processes.back()->processId());
            m_spooled.append(-1);
            // On a loaded machine the starts themselves may fall behind the schedule, so that the loop
            // above never waits: spool files and the editor are looked for after every start as well.
            look();
        }
        m_lastStartAt = m_clock.elapsed();
        QElapsedTimer bound;
        bound.start();
        while (!allEnded() && bound.elapsed() < 180000)
            watch();
    }

    const QStringList &paths() const { return m_paths; }
    const QList<qint64> &processIds() const { return m_processIds; }
    qint64 lastStartAt() const { return m_lastStartAt; }
    qint64 firstEditorStartAt() const { return m_firstEditorStartAt; }

    bool allEnded() const
    {
        for (const auto &process : m_processes) {
            if (process->state() != QProcess::NotRunning)
                return false;
        }
        return true;
    }

    bool allEndedWithZero() const
    {
        for (const auto &process : m_processes) {
            if (process->exitStatus() != QProcess::NormalExit || process->exitCode() != 0)
                return false;
        }
        return true;
    }

    // The places where the primary's quiet window could not be sure to bridge the gap: a copy whose
    // process was not certainly running before `limitMs` had passed since the latest spool file before it,
    // or whose predecessors' spool times the test did not see (their files were gathered first).
    QStringList gapsLongerThan(qint64 limitMs) const
    {
        QStringList late;
        for (int k = 1; k < m_started.size(); ++k) {
            qint64 latestSpool = -1;
            bool unseen = false;
            for (int j = 0; j < k; ++j) {
                unseen = unseen || m_spooled.at(j) < 0;
                if (m_spooled.at(j) >= 0 && m_spooled.at(j) <= m_started.at(k))
                    latestSpool = qMax(latestSpool, m_spooled.at(j));
            }
            if (unseen)
                late.append(QStringLiteral("copy %1: a spool time before it was not seen").arg(k));
            else if (latestSpool >= 0 && m_started.at(k) - latestSpool >= limitMs)
                late.append(QStringLiteral("copy %1: running %2 ms after the latest spool file")
                                .arg(k)
                                .arg(m_started.at(k) - latestSpool));
        }
        return late;
    }

    // The longest time from a spool file to the start of the next copy, for the record.
    qint64 longestGap() const
    {
        qint64 longest = 0;
        for (int k = 1; k < m_started.size(); ++k) {
            qint64 latestSpool = -1;
            for (int j = 0; j < k; ++j) {
                if (m_spooled.at(j) >= 0 && m_spooled.at(j) <= m_started.at(k))
                    latestSpool = qMax(latestSpool, m_spooled.at(j));
            }
            if (latestSpool >= 0)
                longest = qMax(longest, m_started.at(k) - latestSpool);
        }
        return longest;
    }

private:
    void watch()
    {
        QCoreApplication::processEvents();
        look();
        QThread::usleep(500);
    }

    void look()
    {
        for (int i = 0; i < m_spooled.size(); ++i) {
            if (m_spooled.at(i) >= 0)
                continue;
            // "<pid>-<its primary>.txt"
            const QStringList names =
                QDir(m_sandbox.spoolPath())
                    .entryList({QStringLiteral("%1-*.txt").arg(m_processIds.at(i))}, QDir::Files);
            if (names.isEmpty())
                continue;
            const QDateTime written =
                QFileInfo(m_sandbox.spoolPath() + QLatin1Char('/') + names.first()).lastModified();
            if (written.isValid())
                m_spooled[i] = written.toMSecsSinceEpoch();
        }
        if (m_firstEditorStartAt < 0 && QFileInfo(m_sandbox.editorLog()).size() > 0)
            m_firstEditorStartAt = m_clock.elapsed();
    }

    const Sandbox &m_sandbox;
    QString m_verbFlag;
    QElapsedTimer m_clock;
    std::vector<std::unique_ptr<QProcess>> m_processes;
    QStringList m_paths;
    QList<qint64> m_processIds;
    QList<qint64> m_started;
    QList<qint64> m_spooled;
    qint64 m_lastStartAt = -1;
    qint64 m_firstEditorStartAt = -1;
    QString m_slowStart;
    int m_startDelayMs = 0;
};

// A path spooled during a primary's hand-off waits for the next selection; one more copy collects it.
void collectLeftovers(const Sandbox &sandbox, const QString &verbFlag, const QString &markerPath)
{
    if (QDir(sandbox.spoolPath()).entryList(QDir::Files).isEmpty())
        return;
    qInfo() << "spool files left for the next selection; one more copy collects them";
    sandbox.run({verbFlag, markerPath});
}

} // namespace

class HandOffTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void oneCopy();
    void copiesStartedTogether_data();
    void copiesStartedTogether();
    void leftoversAreGathered_data();
    void leftoversAreGathered();
    void verbFlagWithoutPath();
    void boundedWaitForAMatchingProcess();
    void copiesArrivingOneAfterAnother_data();
    void copiesArrivingOneAfterAnother();
    void laterSelectionGetsItsOwnStart();
    void endlessStreamIsHandedOffAtTheCap();
    void longSelectionIsSplitAcrossStarts();
    void pathTooLongForAnyStartIsKept();
    void withoutAPrivateRuntimeFolder_data();
    void withoutAPrivateRuntimeFolder();
    void plantedSpoolBaseIsNotUsed_data();
    void plantedSpoolBaseIsNotUsed();
    void handOffArgumentIsNotEscaped_data();
    void handOffArgumentIsNotEscaped();
    void pathsAreGroupedByVerb_data();
    void pathsAreGroupedByVerb();
    void decisionTrail_data();
    void decisionTrail();
};

void HandOffTest::oneCopy()
{
    Sandbox sandbox;
    QVERIFY(sandbox.isValid());
    const QString path = QStringLiteral("C:/Users/Ann/My Documents/one; two.pdf");
    const Sandbox::Result result = sandbox.run({QStringLiteral("-ftype_edit"), path});
    QVERIFY(result.finished);
    QCOMPARE(result.exitStatus, QProcess::NormalExit);
    QCOMPARE(result.exitCode, 0);
    QCOMPARE(theOnlyEditorStart(sandbox), QStringList(QStringLiteral("-ftype_edit;") + path));
    QVERIFY2(!QFileInfo::exists(sandbox.spoolPath()), qPrintable(sandbox.spoolEntries().join(' ')));
}

void HandOffTest::copiesStartedTogether_data()
{
    QTest::addColumn<int>("copies");
    QTest::addColumn<bool>("mixedFlags");
    QTest::addColumn<bool>("withTransportModule");
    QTest::newRow("2, merge") << 2 << false << true;
    QTest::newRow("12, mixed flags") << 12 << true << true;
    QTest::newRow("50, mixed flags") << 50 << true << true;
    // As many as Explorer offers the verbs for.
    QTest::newRow("100, merge") << 100 << false << true;
    // An installation that lost the module: the primary has no local server, which the hand-off does not
    // need, and still holds the role and hands off.
    QTest::newRow("12, merge, transport module missing") << 12 << false << false;
}

void HandOffTest::copiesStartedTogether()
{
    QFETCH(int, copies);
    QFETCH(bool, mixedFlags);
    QFETCH(bool, withTransportModule);
    Sandbox sandbox;
    QVERIFY(sandbox.isValid());
    if (!withTransportModule)
        QVERIFY(QFile::remove(sandbox.installDir() + QLatin1String("/ostrel_localtransport.so")));

    QList<QStringList> argumentLists;
    QStringList paths;
    for (int i = 0; i < copies; ++i)
        paths.append(selectedPath(i));
    for (int i : scatteredOrder(copies))
        argumentLists.append(
            {mixedFlags ? Flags.at(i % Flags.size()) : QStringLiteral("-ftype_merge"), selectedPath(i)});
    const auto processes = sandbox.startAll(argumentLists);
    for (const auto &process : processes)
        QVERIFY2(process->waitForStarted(30000), qPrintable(process->errorString()));

    QVERIFY(Sandbox::waitAll(processes, 120000));
    for (const auto &process : processes) {
        QCOMPARE(process->exitStatus(), QProcess::NormalExit);
        QCOMPARE(process->exitCode(), 0);
        // Without a logging rule nothing but the warning for a missing module.
        if (withTransportModule)
            QCOMPARE(process->readAllStandardError(), QByteArray());
    }

    if (mixedFlags) {
        // Every path under the verb its copy was started with: one start per verb, each in Explorer's order.
        QStringList expected;
        for (int verb = 0; verb < Flags.size(); ++verb) {
            QStringList pathsOfVerb;
            for (int i = verb; i < copies; i += Flags.size())
                pathsOfVerb.append(paths.at(i));
            expected.append(expectedArgument(Flags.at(verb), pathsOfVerb));
        }
        expected.sort();
        QCOMPARE(sortedArguments(editorStartsOnceThereAre(sandbox, Flags.size())), expected);
    } else {
        QCOMPARE(theOnlyEditorStart(sandbox),
                 QStringList(expectedArgument(argumentLists.first().first(), paths)));
    }
    QVERIFY2(!QFileInfo::exists(sandbox.spoolPath()), qPrintable(sandbox.spoolEntries().join(' ')));
}

void HandOffTest::leftoversAreGathered_data()
{
    QTest::addColumn<QByteArray>("leftover"); // beside a file of the earlier format, "C:/old one.pdf"
    QTest::addColumn<qint64>("ageMs");        // of the leftover's last change
    QTest::addColumn<QStringList>("starts");
    // From an earlier run that did not finish: files of the earlier format (named after no primary) are one
    // earlier selection, handed off in a start of its own under the primary's verb, before the own one.
    QTest::newRow("earlier format") << QByteArray("C:/a.pdf\nC:/b;c.pdf\n") << qint64(0)
                                    << QStringList{"-ftype_split;C:/a.pdf;C:/b;c.pdf;C:/old one.pdf",
                                                   "-ftype_split;C:/own.pdf"};
    // Paths whose primary never handed them off go under their own verb, in a start of their own.
    QTest::newRow("another verb") << QByteArray("-ftype_merge;C:/Scan 10.pdf\n-ftype_merge;C:/Scan 2.pdf\n"
                                                "-ftype_split;C:/b.pdf\n")
                                  << qint64(0)
                                  << QStringList{"-ftype_merge;C:/Scan 2.pdf;C:/Scan 10.pdf",
                                                 "-ftype_split;C:/b.pdf;C:/old one.pdf",
                                                 "-ftype_split;C:/own.pdf"};
    // Within the age bound a leftover is still handed off, under its own verb; older, it belongs to no
    // selection the user still waits for and goes without a start.
    QTest::newRow("another verb, within the age bound")
        << QByteArray("-ftype_merge;C:/m.pdf\n") << SpoolFileMaxAgeMs - 60000
        << QStringList{"-ftype_merge;C:/m.pdf", "-ftype_split;C:/old one.pdf", "-ftype_split;C:/own.pdf"};
    QTest::newRow("another verb, older than the age bound")
        << QByteArray("-ftype_merge;C:/m.pdf\n") << SpoolFileMaxAgeMs + 60000
        << QStringList{"-ftype_split;C:/old one.pdf", "-ftype_split;C:/own.pdf"};
    QTest::newRow("earlier format, older than the age bound")
        << QByteArray("C:/a.pdf\n") << SpoolFileMaxAgeMs + 60000
        << QStringList{"-ftype_split;C:/old one.pdf", "-ftype_split;C:/own.pdf"};
}

void HandOffTest::leftoversAreGathered()
{
    QFETCH(QByteArray, leftover);
    QFETCH(qint64, ageMs);
    QFETCH(QStringList, starts);
    Sandbox sandbox;
    QVERIFY(sandbox.isValid());
    QVERIFY(writeFile(sandbox.spoolPath() + QLatin1String("/1.txt"), "C:/old one.pdf"));
    QVERIFY(writeFileDated(sandbox.spoolPath() + QLatin1String("/2.txt"), leftover, ageMs));
    QVERIFY(writeFile(sandbox.spoolPath() + QLatin1String("/.hidden"), "C:/hidden.pdf\n"));
    QVERIFY(writeFile(sandbox.spoolPath() + QLatin1String("/folder/3.txt"), "C:/nested.pdf\n"));

    QProcess process;
    process.setProcessEnvironment(sandbox.environment());
    process.start(sandbox.programPath(), {QStringLiteral("-ftype_split"), QStringLiteral("C:/own.pdf")});
    QVERIFY(process.waitForFinished(60000));
    QCOMPARE(process.exitCode(), 0);

    starts.sort();
    QCOMPARE(sortedArguments(editorStartsOnceThereAre(sandbox, starts.size())), starts);
    // What was not gathered stays, and with it the folder; a stale leftover went too.
    QCOMPARE(sandbox.spoolEntries(), QStringList({".hidden", "folder"}));
    QVERIFY(QFileInfo::exists(sandbox.spoolPath() + QLatin1String("/folder/3.txt")));
}

void HandOffTest::verbFlagWithoutPath()
{
    Sandbox sandbox;
    QVERIFY(sandbox.isValid());
    Sandbox::Result result = sandbox.run({QStringLiteral("-ftype_print")});
    QVERIFY(result.finished);
    QCOMPARE(result.exitCode, 0);
    QCOMPARE(sandbox.spoolEntries(), QStringList());
    // Nothing to hand off: the editor is not started for an empty selection.
    QTest::qWait(1000);
    QCOMPARE(sandbox.editorStarts(), QList<QStringList>());

    // But a path left by a peer still reaches the editor, under this copy's flag.
    QVERIFY(writeFile(sandbox.spoolPath() + QLatin1String("/12.txt"), "C:/peer.pdf\n"));
    result = sandbox.run({QStringLiteral("-ftype_print")});
    QCOMPARE(result.exitCode, 0);
    QCOMPARE(theOnlyEditorStart(sandbox), QStringList(QStringLiteral("-ftype_print;C:/peer.pdf")));
    QVERIFY(!QFileInfo::exists(sandbox.spoolPath()));
}

void HandOffTest::boundedWaitForAMatchingProcess()
{
    Sandbox sandbox;
    QVERIFY(sandbox.isValid());
    // An unrelated process whose lister line contains the program's name, and that does not end.
    const QString sleeper = sandbox.root() + QLatin1String("/OstrelContextMenuHelperSleep");
    QVERIFY(QFile::copy(QStringLiteral("/bin/sleep"), sleeper));
    QFile::setPermissions(sleeper, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    QProcess blocker;
    blocker.start(sleeper, {QStringLiteral("300")});
    QVERIFY(blocker.waitForStarted());

    QElapsedTimer timer;
    timer.start();
    const Sandbox::Result result =
        sandbox.run({QStringLiteral("-ftype_edit"), QStringLiteral("C:/x.pdf")}, 90000);
    const qint64 elapsed = timer.elapsed();
    blocker.kill();
    blocker.waitForFinished();

    QVERIFY(result.finished);
    QCOMPARE(result.exitCode, 0);
    QCOMPARE(theOnlyEditorStart(sandbox), QStringList(QStringLiteral("-ftype_edit;C:/x.pdf")));
    // The census counted the other process (so the copy waited for the count to settle, 3 s) and the
    // wait ended well within the 30 s cap.
    QVERIFY2(elapsed >= 3000, QByteArray::number(elapsed).constData());
    QVERIFY2(elapsed < 45000, QByteArray::number(elapsed).constData());
}

void HandOffTest::copiesArrivingOneAfterAnother_data()
{
    QTest::addColumn<int>("copyCount");
    QTest::addColumn<int>("gapMs");
    QTest::addColumn<int>("startDelayMs"); // from a copy's start to its program's
    QTest::newRow("all at once") << 20 << 0 << 0;
    QTest::newRow("20 ms apart") << 20 << 20 << 0;
    QTest::newRow("60 ms apart") << 20 << 60 << 0;
    QTest::newRow("150 ms apart") << 20 << 150 << 0;
    // Each copy spools only 300 ms after its start, and ends; the next one starts 100 ms later. The
    // primary's census often runs just as one of them spools and ends.
    QTest::newRow("slow starts, 400 ms apart") << 12 << 400 << 300;
}

void HandOffTest::copiesArrivingOneAfterAnother()
{
    QFETCH(int, copyCount);
    QFETCH(int, gapMs);
    QFETCH(int, startDelayMs);
    Sandbox sandbox;
    QVERIFY(sandbox.isValid());
    const QString flag = QStringLiteral("-ftype_merge");
    StaggeredCopies copies(sandbox, flag);
    if (startDelayMs > 0)
        QVERIFY(copies.setStartDelay(startDelayMs));
    copies.run(copyCount, gapMs);
    QVERIFY(copies.allEnded());
    QVERIFY(copies.allEndedWithZero());

    // A copy that is running is counted by the census until it has spooled, so the window only has to
    // bridge the time from one copy's spool file to the next copy's start. The primary compares the
    // file's own time with its listings; that time comes from the file system's coarse clock, and each
    // reading is cut to the millisecond: a little less than the window is what it bridges for sure. Where
    // this machine was slower than that, a second start is the documented outcome, not a fault.
    const QStringList late = copies.gapsLongerThan(PeerWaitBounds().quietWindowMs - 15);
    qInfo() << "longest time from a spool file to the next copy's start:" << copies.longestGap() << "ms";
    if (!late.isEmpty())
        qInfo() << "gaps the window could not be sure to bridge:" << late;
    const bool leftovers = !late.isEmpty();
    if (leftovers)
        collectLeftovers(sandbox, flag, QStringLiteral("C:/collector.pdf"));
    waitForHandedOffPaths(sandbox, flag, copies.paths().size());

    const QList<QStringList> starts = sandbox.editorStarts();
    QVERIFY2(starts.size() <= 1 + late.size(),
             qPrintable(QStringLiteral("%1 editor starts").arg(starts.size())));
    QStringList handedOff = handedOffPaths(sandbox, flag);
    handedOff.removeAll(QStringLiteral("C:/collector.pdf"));
    if (starts.size() == 1)
        QCOMPARE(starts.first(), QStringList(expectedArgument(flag, copies.paths())));
    handedOff.sort();
    QCOMPARE(handedOff, copies.paths());
    QVERIFY2(!QFileInfo::exists(sandbox.spoolPath()), qPrintable(sandbox.spoolEntries().join(' ')));
}

void HandOffTest::laterSelectionGetsItsOwnStart()
{
    Sandbox sandbox;
    QVERIFY(sandbox.isValid());
    QList<QStringList> first, second;
    QStringList firstPaths, secondPaths;
    for (int i = 0; i < 5; ++i) {
        firstPaths.append(selectedPath(i));
        first.append({QStringLiteral("-ftype_edit"), firstPaths.last()});
        secondPaths.append(QStringLiteral("C:/later/second %1.pdf").arg(i));
        second.append({QStringLiteral("-ftype_print"), secondPaths.last()});
    }
    const auto firstCopies = sandbox.startAll(first);
    QVERIFY(Sandbox::waitAll(firstCopies, 120000));
    QTRY_COMPARE_WITH_TIMEOUT(sandbox.editorStarts().size(), 1, 20000);
    // Well after the first hand-off: its primary has ended, and the window has long passed.
    QTest::qWait(2 * PeerWaitBounds().quietWindowMs);

    const auto secondCopies = sandbox.startAll(second);
    QVERIFY(Sandbox::waitAll(secondCopies, 120000));
    QTRY_COMPARE_WITH_TIMEOUT(sandbox.editorStarts().size(), 2, 20000);
    QTest::qWait(300);
    const QList<QStringList> starts = sandbox.editorStarts();
    QCOMPARE(starts.size(), 2);
    QCOMPARE(starts.at(0), QStringList(expectedArgument(QStringLiteral("-ftype_edit"), firstPaths)));
    QCOMPARE(starts.at(1), QStringList(expectedArgument(QStringLiteral("-ftype_print"), secondPaths)));
}

void HandOffTest::endlessStreamIsHandedOffAtTheCap()
{
    // Copies that keep arriving closer together than the window: the folder never goes quiet, so only the
    // cap ends the first primary's wait. It must hand off by: its initial wait, the cap, one last census
    // (held to at least 1 s when the cap is nearly out), and 5 s for starting the copy, gathering and
    // starting the editor on a loaded machine. The stream lasts longer than that, so a wait that held on
    // until the stream ended would miss it.
    const PeerWaitBounds bounds;
    const qint64 firstHandOffBy = bounds.initialWaitMs + bounds.capMs + 1000 + 5000;
    const int gapMs = bounds.quietWindowMs / 2;
    Sandbox sandbox;
    QVERIFY(sandbox.isValid());
    const QString flag = QStringLiteral("-ftype_split");
    StaggeredCopies copies(sandbox, flag);
    copies.run(0, gapMs, int(firstHandOffBy + 3000));
    QVERIFY(copies.allEnded());
    QVERIFY(copies.allEndedWithZero());
    qInfo() << copies.paths().size() << "copies; first editor start after" << copies.firstEditorStartAt()
            << "ms, last copy started after" << copies.lastStartAt() << "ms";

    collectLeftovers(sandbox, flag, QStringLiteral("C:/collector.pdf"));
    waitForHandedOffPaths(sandbox, flag, copies.paths().size());
    QVERIFY(copies.firstEditorStartAt() >= 0);
    QVERIFY2(copies.firstEditorStartAt() <= firstHandOffBy,
             QByteArray::number(copies.firstEditorStartAt()).constData());
    // Nothing lost and nothing twice, over however many starts.
    QStringList handedOff = handedOffPaths(sandbox, flag);
    handedOff.removeAll(QStringLiteral("C:/collector.pdf"));
    qInfo() << sandbox.editorStarts().size() << "editor starts";
    handedOff.sort();
    QCOMPARE(handedOff, copies.paths());
}

// What the kernel lets one argument hold: MAX_ARG_STRLEN (32 pages) less the terminating NUL.
constexpr int ArgumentBytes = 32 * 4096 - 1;

void HandOffTest::longSelectionIsSplitAcrossStarts()
{
    // 40 paths of about 3,900 bytes (deep folders; "\u00fc" takes two bytes), together far more than one
    // argument may hold.
    Sandbox sandbox;
    QVERIFY(sandbox.isValid());
    const QString flag = QStringLiteral("-ftype_merge");
    const QString folder = QStringLiteral("C:/Users/Ann/") + QString(1930, QChar(0xfc));
    QStringList paths;
    for (int i = 0; i < 40; ++i)
        paths.append(QStringLiteral("%1/Scan %2.pdf").arg(folder).arg(i + 1));
    QList<QStringList> argumentLists;
    for (int i : scatteredOrder(paths.size()))
        argumentLists.append({flag, paths.at(i)});
    const int joinedBytes = expectedArgument(flag, paths).toUtf8().size();
    QVERIFY2(joinedBytes > ArgumentBytes, QByteArray::number(joinedBytes).constData());

    const auto processes = sandbox.startAll(argumentLists);
    QVERIFY(Sandbox::waitAll(processes, 120000));
    for (const auto &process : processes)
        QCOMPARE(process->exitCode(), 0);
    waitForHandedOffPaths(sandbox, flag, paths.size());

    // Every path once and whole, over as few starts as the limit allows (two here), each within the limit
    // and in Explorer's order; which start the editor records first is up to the system.
    const QList<QStringList> starts = sandbox.editorStarts();
    qInfo() << paths.size() << "paths," << joinedBytes << "bytes joined," << starts.size() << "editor starts";
    QCOMPARE(starts.size(), joinedBytes / ArgumentBytes + 1);
    QStringList handedOff;
    for (const QStringList &start : starts) {
        QCOMPARE(start.size(), 1);
        QVERIFY2(start.first().toUtf8().size() <= ArgumentBytes,
                 QByteArray::number(start.first().toUtf8().size()).constData());
        QStringList parts = start.first().split(QLatin1Char(';'));
        QCOMPARE(parts.takeFirst(), flag);
        QVERIFY(!parts.isEmpty());
        const int first = paths.indexOf(parts.first());
        QVERIFY2(first >= 0, qPrintable(parts.first().right(40)));
        QCOMPARE(parts, paths.mid(first, parts.size()));
        handedOff += parts;
    }
    handedOff.sort();
    QStringList expected = paths;
    expected.sort();
    QCOMPARE(handedOff, expected);
    QVERIFY2(!QFileInfo::exists(sandbox.spoolPath()), qPrintable(sandbox.spoolEntries().join(' ')));
}

void HandOffTest::pathTooLongForAnyStartIsKept()
{
    // A leftover that no start could carry whole. Cut, it could name another file; so it stays spooled.
    Sandbox sandbox;
    QVERIFY(sandbox.isValid());
    const QString tooLong = QStringLiteral("C:/") + QString(ArgumentBytes, QLatin1Char('x')) + ".pdf";
    QVERIFY(writeFile(sandbox.spoolPath() + QLatin1String("/1.txt"),
                      "-ftype_merge;" + tooLong.toUtf8() + "\nC:/b.pdf\n"));
    const Sandbox::Result result = sandbox.run({QStringLiteral("-ftype_print"), QStringLiteral("C:/a.pdf")});
    QCOMPARE(result.exitCode, 0);
    // The leftover's other path in a start of its own, before the own selection's.
    QCOMPARE(sortedArguments(editorStartsOnceThereAre(sandbox, 2)),
             QStringList({"-ftype_print;C:/a.pdf", "-ftype_print;C:/b.pdf"}));
    const QStringList left = sandbox.spoolEntries();
    QCOMPARE(left.size(), 1);
    // Kept with its own verb.
    const QList<SpooledPath> kept = readSpoolFile(sandbox.spoolPath() + QLatin1Char('/') + left.first());
    QCOMPARE(kept.size(), 1);
    QCOMPARE(kept.first().verbFlag, QStringLiteral("-ftype_merge"));
    QCOMPARE(kept.first().path, tooLong);
}

void HandOffTest::withoutAPrivateRuntimeFolder_data()
{
    QTest::addColumn<bool>("runtimeSet");
    QTest::addColumn<bool>("temporaryFolderMissing"); // $TMPDIR names a folder that is not there
    QTest::newRow("runtime folder unset") << false << false;
    QTest::newRow("runtime folder open to others") << true << false;
    QTest::newRow("runtime folder unset, $TMPDIR names no folder") << false << true;
}

void HandOffTest::withoutAPrivateRuntimeFolder()
{
    QFETCH(bool, runtimeSet);
    QFETCH(bool, temporaryFolderMissing);
    Sandbox sandbox;
    QVERIFY(sandbox.isValid());
    QProcessEnvironment environment = sandbox.environment();
    // Then /tmp is the temporary folder, also for the election's key files, which must not land in "/".
    const QString temporary = temporaryFolderMissing ? QStringLiteral("/tmp") : sandbox.tempDir();
    if (temporaryFolderMissing)
        environment.insert(QStringLiteral("TMPDIR"), sandbox.root() + QLatin1String("/gone"));
    const QStringList keyFilesAtRootBefore = Sandbox::ipcKeyFiles(QStringLiteral("/"));
    const QStringList keyFilesInTemporaryBefore = Sandbox::ipcKeyFiles(temporary);
    if (runtimeSet)
        QVERIFY(QFile::setPermissions(
            sandbox.runtimeDir(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadGroup |
                                      QFile::ExeGroup | QFile::ReadOther | QFile::ExeOther));
    else
        environment.remove(QStringLiteral("XDG_RUNTIME_DIR"));
    const QString ownFolder = sandbox.ownTempFolder(temporary);
    const QString spool = sandbox.spoolPath(ownFolder);
    const QStringList lockFiles{QStringLiteral("*.lock")};
    const QStringList keyFilesBefore = Sandbox::ipcKeyFiles(ownFolder);
    const QStringList lockFilesBefore = QDir(ownFolder).entryList(lockFiles, QDir::Files);

    // A run without arguments makes the spool folder, silently, in our own folder of the temporary one.
    auto plain = sandbox.start({}, QString(), environment);
    QVERIFY(plain->waitForFinished(60000));
    QCOMPARE(plain->exitCode(), 0);
    QCOMPARE(plain->readAllStandardError(), QByteArray());
    QVERIFY(QFileInfo(spool).isDir());
    struct stat info
    {};
    QCOMPARE(lstat(QFile::encodeName(ownFolder).constData(), &info), 0);
    QCOMPARE(info.st_mode & 0777, mode_t(0700));
    QCOMPARE(QDir(sandbox.runtimeDir()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList());

    // And a selection still reaches the editor in one start.
    std::vector<std::unique_ptr<QProcess>> processes;
    QStringList paths;
    for (int i = 0; i < 3; ++i) {
        paths.append(selectedPath(i));
        processes.push_back(
            sandbox.start({QStringLiteral("-ftype_merge"), paths.last()}, QString(), environment));
    }
    QVERIFY(Sandbox::waitAll(processes, 120000));
    for (const auto &process : processes) {
        QCOMPARE(process->exitCode(), 0);
        QCOMPARE(process->readAllStandardError(), QByteArray());
    }
    QCOMPARE(theOnlyEditorStart(sandbox),
             QStringList(expectedArgument(QStringLiteral("-ftype_merge"), paths)));
    QVERIFY(!QFileInfo::exists(spool));

    // The election's files went to our own folder, none loose in the temporary folder or in "/"; those the
    // runs added go with this test.
    QCOMPARE(Sandbox::ipcKeyFiles(QStringLiteral("/")), keyFilesAtRootBefore);
    QCOMPARE(Sandbox::ipcKeyFiles(temporary), keyFilesInTemporaryBefore);
    QStringList addedLocks = QDir(ownFolder).entryList(lockFiles, QDir::Files);
    for (const QString &file : lockFilesBefore)
        addedLocks.removeAll(file);
    QCOMPARE(addedLocks.size(), 1);
    QFile::remove(ownFolder + QLatin1Char('/') + addedLocks.first());
    QStringList added = Sandbox::ipcKeyFiles(ownFolder);
    for (const QString &file : keyFilesBefore)
        added.removeAll(file);
    Sandbox::removeIpcObjects(added);
    for (const QString &file : added)
        QFile::remove(file);
}

void HandOffTest::plantedSpoolBaseIsNotUsed_data()
{
    QTest::addColumn<bool>("link");
    QTest::newRow("a link to a folder") << true;
    QTest::newRow("a folder of another account") << false;
}

void HandOffTest::plantedSpoolBaseIsNotUsed()
{
    QFETCH(bool, link);
    if (!link && geteuid() != 0)
        QSKIP("only root can make a folder owned by another account");
    Sandbox sandbox;
    QVERIFY(sandbox.isValid());
    QProcessEnvironment environment = sandbox.environment();
    environment.remove(QStringLiteral("XDG_RUNTIME_DIR"));
    const QString ownFolder = sandbox.ownTempFolder();
    const QString target = sandbox.root() + QLatin1String("/planted");
    QVERIFY(QDir().mkpath(target));
    QVERIFY(QFile::setPermissions(target, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    if (link) {
        QVERIFY(QFile::link(target, ownFolder));
    } else {
        QVERIFY(QDir().rename(target, ownFolder));
        QCOMPARE(chown(QFile::encodeName(ownFolder).constData(), 4242, gid_t(-1)), 0);
    }

    auto copy =
        sandbox.start({QStringLiteral("-ftype_edit"), QStringLiteral("C:/a.pdf")}, QString(), environment);
    QVERIFY(copy->waitForFinished(60000));
    QCOMPARE(copy->exitCode(), 0);
    // The refused folder is named, and the same folder in the account's cache folder used instead.
    const QString instead = sandbox.ownTempFolder(sandbox.root() + QLatin1String("/cache"));
    QCOMPARE(
        copy->readAllStandardError(),
        (QStringLiteral("OstrelContextMenu: %1 is not a private folder of this account; using %2 instead.\n")
             .arg(ownFolder, instead))
            .toUtf8());
    // Nothing was written through what another account planted, and the selection reached the editor.
    const QString planted = link ? target : ownFolder;
    QCOMPARE(QDir(planted).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot), QStringList());
    QCOMPARE(theOnlyEditorStart(sandbox), QStringList(QStringLiteral("-ftype_edit;C:/a.pdf")));
    if (!link)
        QCOMPARE(chown(QFile::encodeName(ownFolder).constData(), geteuid(), gid_t(-1)), 0);
}

void HandOffTest::handOffArgumentIsNotEscaped_data()
{
    QTest::addColumn<QString>("flag");
    QTest::addColumn<QStringList>("paths");
    QTest::addColumn<QString>("argument");

    QTest::newRow("one path") << "-ftype_edit" << QStringList{"C:/a b.pdf"} << "-ftype_edit;C:/a b.pdf";
    QTest::newRow("merge, two") << "-ftype_merge" << QStringList{"A", "B"} << "-ftype_merge;A;B";
    QTest::newRow("semicolon kept") << "-ftype_print" << QStringList{"C:/x;y.pdf", "\"q\".pdf"}
                                    << "-ftype_print;C:/x;y.pdf;\"q\".pdf";
    QTest::newRow("no path") << "-ftype_split" << QStringList() << "-ftype_split";
}

void HandOffTest::handOffArgumentIsNotEscaped()
{
    QFETCH(QString, flag);
    QFETCH(QStringList, paths);
    QFETCH(QString, argument);
    QCOMPARE(handOffArgument(flag, paths), argument);
}

void HandOffTest::pathsAreGroupedByVerb_data()
{
    // Spooled paths as "<verb flag> | <path>" (no flag: the earlier format); the groups as hand-off
    // arguments, in the order of the editor's starts.
    QTest::addColumn<QString>("ownFlag");
    QTest::addColumn<QStringList>("spooled");
    QTest::addColumn<QStringList>("groups");
    QTest::newRow("one verb") << "-ftype_merge" << QStringList{"-ftype_merge | b", "-ftype_merge | a"}
                              << QStringList{"-ftype_merge;a;b"};
    QTest::newRow("earlier format goes with the own verb")
        << "-ftype_print" << QStringList{" | c", "-ftype_print | a", " | b"}
        << QStringList{"-ftype_print;a;b;c"};
    QTest::newRow("others first, in the verbs' order, the own verb last")
        << "-ftype_split"
        << QStringList{"-ftype_split | s", "-ftype_print | p2", "-ftype_edit | e", "-ftype_print | p1",
                       " | old",           "-ftype_merge | m"}
        << QStringList{"-ftype_edit;e", "-ftype_merge;m", "-ftype_print;p1;p2", "-ftype_split;old;s"};
    QTest::newRow("only others") << "-ftype_edit" << QStringList{"-ftype_print | p"}
                                 << QStringList{"-ftype_print;p"};
    QTest::newRow("nothing") << "-ftype_edit" << QStringList() << QStringList();
}

void HandOffTest::pathsAreGroupedByVerb()
{
    QFETCH(QString, ownFlag);
    QFETCH(QStringList, spooled);
    QFETCH(QStringList, groups);
    QList<SpooledPath> paths;
    for (const QString &line : spooled)
        paths.append({line.section(QLatin1String(" | "), 0, 0), line.section(QLatin1String(" | "), 1)});
    QStringList arguments;
    for (const VerbGroup &group : groupByVerb(ownFlag, paths))
        arguments.append(handOffArgument(group.verbFlag, group.paths));
    QCOMPARE(arguments, groups);
}

void HandOffTest::decisionTrail_data()
{
    // The rule as support would give it: in the variable for a program started by hand, or in the user's
    // qtlogging.ini; and the categories it turns on.
    QTest::addColumn<QString>("variableRules");
    QTest::addColumn<QByteArray>("iniRules");
    QTest::addColumn<QStringList>("categories");
    const QStringList all{"ostrel.census",   "ostrel.election", "ostrel.handoff",
                          "ostrel.registry", "ostrel.spool",    "ostrel.wait"};
    QTest::newRow("QT_LOGGING_RULES") << "ostrel.*.debug=true" << QByteArray() << all;
    QTest::newRow("qtlogging.ini") << QString() << QByteArray("[Rules]\nostrel.*.debug=true\n") << all;
    QTest::newRow("the election alone")
        << "ostrel.election.debug=true" << QByteArray() << QStringList{"ostrel.election"};
}

void HandOffTest::decisionTrail()
{
    QFETCH(QString, variableRules);
    QFETCH(QByteArray, iniRules);
    QFETCH(QStringList, categories);
    Sandbox sandbox;
    QVERIFY(sandbox.isValid());
    QProcessEnvironment environment = sandbox.environment();
    if (!variableRules.isEmpty())
        environment.insert(QStringLiteral("QT_LOGGING_RULES"), variableRules);
    if (!iniRules.isEmpty())
        QVERIFY(writeFile(sandbox.configDir() + QLatin1String("/QtProject/qtlogging.ini"), iniRules));

    std::vector<std::unique_ptr<QProcess>> copies;
    QStringList paths;
    for (int i = 0; i < 3; ++i) {
        paths.append(selectedPath(i));
        copies.push_back(
            sandbox.start({QStringLiteral("-ftype_merge"), paths.last()}, QString(), environment));
    }
    QList<qint64> pids;
    for (const auto &copy : copies) {
        QVERIFY(copy->waitForStarted(30000));
        pids.append(copy->processId());
    }
    QVERIFY(Sandbox::waitAll(copies, 120000));
    const QString argument = expectedArgument(QStringLiteral("-ftype_merge"), paths);
    QCOMPARE(theOnlyEditorStart(sandbox), QStringList(argument));

    // Every line comes from a category the rule turned on and carries the process id of the copy that
    // wrote it.
    const QRegularExpression trailLine(QStringLiteral("^(ostrel\\.[a-z]+): pid (\\d+): (.*)$"));
    const auto trailOf = [&](const QByteArray &standardError, qint64 pid) {
        QStringList lines = QString::fromUtf8(standardError).split('\n');
        lines.removeAll(QString());
        for (const QString &line : lines) {
            const QRegularExpressionMatch match = trailLine.match(line);
            if (!match.hasMatch() || !categories.contains(match.captured(1)) ||
                (pid > 0 && match.captured(2).toLongLong() != pid))
                return QStringList(QLatin1String("<unexpected> ") + line);
        }
        return lines;
    };
    QStringList roles;
    QStringList primaryTrail;
    QList<QStringList> trails;
    qint64 primaryPid = -1;
    for (int i = 0; i < 3; ++i) {
        const QStringList lines = trailOf(copies[i]->readAllStandardError(), pids[i]);
        QVERIFY2(!lines.isEmpty() && !lines.first().startsWith('<'), qPrintable(lines.join('\n')));
        const QStringList election = lines.filter(QRegularExpression(QStringLiteral("^ostrel.election: ")));
        QCOMPARE(election.size(), 1);
        roles.append(election.first().section(QLatin1String(": "), 2));
        if (roles.last().startsWith(QLatin1String("primary: "))) {
            primaryPid = pids[i];
            primaryTrail = lines;
        }
        trails.append(lines);
    }
    // Each copy's file is named after it and its selection's primary.
    for (int i = 0; i < 3; ++i) {
        const QString spooled =
            QStringLiteral("ostrel.spool: pid %1: spooled %1-%2.txt: 1 line(s), 0 of them "
                           "kept from before");
        QCOMPARE(trails[i].contains(spooled.arg(pids[i]).arg(primaryPid)),
                 categories.contains(QLatin1String("ostrel.spool")));
    }
    roles.sort();
    QCOMPARE(roles, QStringList({QStringLiteral("primary: the block named no primary"),
                                 QStringLiteral("secondary 1: primary %1 runs").arg(primaryPid),
                                 QStringLiteral("secondary 2: primary %1 runs").arg(primaryPid)}));

    const Sandbox::Result install = sandbox.run({QStringLiteral("install")}, 60000, QString(), environment);
    const QStringList installTrail = trailOf(install.standardError, -1);
    if (!categories.contains(QLatin1String("ostrel.wait"))) {
        QCOMPARE(primaryTrail.size(), 1);
        QCOMPARE(installTrail.size(), 1);
        return;
    }
    // How the wait ended, the gathering, and the one start with three paths to the editor that recorded it.
    QCOMPARE(primaryTrail.filter(QRegularExpression(QStringLiteral(": wait ended after 200 \\+ \\d+ ms: ")))
                 .size(),
             1);
    QCOMPARE(primaryTrail.filter(QStringLiteral(": gathered 3 paths from 3 of 3 spool files;")).size(), 1);
    const QByteArray editorPid = readFile(sandbox.vendorConfigDir() + QLatin1String("/editor-processes.log"));
    QCOMPARE(
        primaryTrail.filter(QStringLiteral(": editor start: ")),
        QStringList(QStringLiteral("ostrel.handoff: pid %1: editor start: -ftype_merge, 3 path(s), argument "
                                   "of %2 characters: started, process %3")
                        .arg(primaryPid)
                        .arg(argument.size())
                        .arg(QString::fromLatin1(editorPid.trimmed()))));
    QCOMPARE(installTrail
                 .filter(QStringLiteral(": SetFileAssociation(\".pdf\", \"Ostrel PDF Editor.exe\") "
                                        "returned 1"))
                 .size(),
             1);
    QCOMPARE(installTrail.filter(QStringLiteral("\\Command, default value: ")).size(), 4);
}

QTEST_GUILESS_MAIN(HandOffTest)
#include "tst_handoff.moc"
