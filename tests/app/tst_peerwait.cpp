// The primary's wait for its peers: the census, the quiet spool folder and the bounds, with fake censuses
// and fake folders.

#include "peercensus.h"
#include "peerwait.h"
#include "testfiles.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

namespace {

const QString ProgramName = QStringLiteral("OstrelContextMenu");

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

class PeerWaitTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
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
    void copySpooledDuringTheCensusStartsTheWindowAgain();
    void countComingAndGoingIsProgress();
    void capEndsAStreamThatNeverGoesQuiet_data();
    void capEndsAStreamThatNeverGoesQuiet();
    void arrivalsInARealFolder();

private:
    QTemporaryDir m_dir;
};

void PeerWaitTest::initTestCase()
{
    QVERIFY(m_dir.isValid());
}

void PeerWaitTest::waitEndsWhenOneCopyIsLeft()
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

void PeerWaitTest::waitProcessesEventsBetweenPasses()
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

void PeerWaitTest::waitEndsWhenTheCountSettles_data()
{
    QTest::addColumn<QString>("lister");
    QTest::addColumn<int>("pauseMs"); // the least time between two census passes
    const PeerWaitBounds bounds;
    // A lister that always shows a second copy, such as another account's.
    QTest::newRow("never alone") << writePrintingProgram(m_dir.path(), QStringLiteral("never-alone"),
                                                         "OstrelContextMenu 4\r\nOstrelContextMenu 5\r\n")
                                 << bounds.passPauseMs;
    QTest::newRow("lister cannot start")
        << m_dir.path() + QLatin1String("/no-lister-here") << bounds.retryPauseMs;
}

void PeerWaitTest::waitEndsWhenTheCountSettles()
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
            return countRunningCopies(lister, ProgramName, listerTimeoutMs);
        },
        arrivals, bounds);
    QCOMPARE(outcome, PeerWaitOutcome::CountSettled);
    QVERIFY(calls > 1);
    QVERIFY(timer.elapsed() >= bounds.settleMs);
    QVERIFY2(timer.elapsed() < bounds.capMs, QByteArray::number(timer.elapsed()).constData());
    // Neither a lister that fails at once nor a fast one may turn the wait into a busy loop.
    QVERIFY2(calls <= bounds.settleMs / pauseMs + 1, QByteArray::number(calls).constData());
}

void PeerWaitTest::waitEndsAtTheCap()
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

void PeerWaitTest::listerTimeOutStaysWithinTheCap()
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

void PeerWaitTest::arrivalTimeStaysBetweenListings_data()
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

void PeerWaitTest::arrivalTimeStaysBetweenListings()
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

void PeerWaitTest::loneCopyIsNotDelayed()
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

void PeerWaitTest::eachNewSpoolFileStartsTheWindowAgain_data()
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

void PeerWaitTest::eachNewSpoolFileStartsTheWindowAgain()
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
    qint64 leastQuietAtCensus = -1;
    const PeerWaitOutcome outcome = waitForPeersToEnd(
        [&](int) {
            ++calls;
            leastQuietAtCensus =
                leastQuietAtCensus < 0 ? arrivals.quietMs() : qMin(leastQuietAtCensus, arrivals.quietMs());
            return 1;
        },
        arrivals, bounds);
    const qint64 ended = growing.clock.elapsed();
    QCOMPARE(outcome, PeerWaitOutcome::OnlyCopy);
    QCOMPARE(arrivals.arrivals(), files);
    // No census while a file younger than the window was there: its answer could not have ended the wait.
    QVERIFY2(
        leastQuietAtCensus >= bounds.quietWindowMs,
        qPrintable(QStringLiteral("a census with the folder quiet for only %1 ms").arg(leastQuietAtCensus)));
    // Not before the last file has been quiet for the whole window: each file started it again. The fake
    // files' times are never before their true arrivals (the folder reads the wall clock after starting its
    // own clock). The wait maps them onto its monotonic clock with one wall-clock and one monotonic
    // reading, each cut to the millisecond: at most 1 ms early each. A pause between the readings, however
    // long on a busy machine, may only make the wait longer.
    const qint64 lastArrival = qint64(files) * gapMs;
    const qint64 rounding = 2;
    QVERIFY2(ended >= lastArrival + bounds.quietWindowMs - rounding,
             qPrintable(QStringLiteral("ended after %1 ms, %2 census passes").arg(ended).arg(calls)));
    QVERIFY2(ended < 20000, QByteArray::number(ended).constData());
}

void PeerWaitTest::copySpooledDuringTheCensusStartsTheWindowAgain()
{
    // A slow copy that was still starting when the folder was listed spools and ends while the census runs:
    // the census counts one, and only a second look at the folder shows the new file.
    const PeerWaitBounds bounds;
    QStringList names{QStringLiteral("own.txt")};
    SpoolFolderView folder = fixedFolder();
    folder.fileNames = [&] { return names; };
    SpoolArrivals arrivals(folder);
    int calls = 0;
    QElapsedTimer sinceFirstCensus;
    const PeerWaitOutcome outcome = waitForPeersToEnd(
        [&](int) {
            if (++calls == 1) {
                sinceFirstCensus.start();
                names.append(QStringLiteral("4711.txt"));
            }
            return 1;
        },
        arrivals, bounds);
    QCOMPARE(outcome, PeerWaitOutcome::OnlyCopy);
    QCOMPARE(arrivals.arrivals(), 1);
    QCOMPARE(calls, 2);
    // The file started the window again: the next copy had that long to show up.
    QVERIFY2(sinceFirstCensus.elapsed() >= bounds.quietWindowMs - 2,
             QByteArray::number(sinceFirstCensus.elapsed()).constData());
}

void PeerWaitTest::countComingAndGoingIsProgress()
{
    // Slow copies, one after another: each census sees the next copy still starting (two copies) or, when
    // it has just spooled and ended, one copy and a new file. Neither the count going 2, 1, 2, 1 nor the
    // files may read as "nothing changed" while copies still arrive.
    PeerWaitBounds bounds;
    bounds.settleMs = 500;
    const int files = 8;
    QStringList names{QStringLiteral("own.txt")};
    SpoolFolderView folder = fixedFolder();
    folder.fileNames = [&] { return names; };
    SpoolArrivals arrivals(folder);
    int calls = 0;
    QElapsedTimer timer;
    timer.start();
    const PeerWaitOutcome outcome = waitForPeersToEnd(
        [&](int) {
            if (++calls % 2 == 1 && names.size() <= files)
                return 2;
            if (names.size() <= files)
                names.append(QStringLiteral("%1.txt").arg(names.size()));
            return 1;
        },
        arrivals, bounds);
    QCOMPARE(outcome, PeerWaitOutcome::OnlyCopy);
    QCOMPARE(arrivals.arrivals(), files);
    // Each file kept the window open for its whole length.
    QVERIFY2(timer.elapsed() >= bounds.initialWaitMs + qint64(files) * bounds.quietWindowMs,
             QByteArray::number(timer.elapsed()).constData());
}

void PeerWaitTest::capEndsAStreamThatNeverGoesQuiet_data()
{
    QTest::addColumn<int>("count");
    // Copies that end at once after spooling, so the census keeps counting one.
    QTest::newRow("census counts one") << 1;
    // Another account's copy alongside: the count never changes, but the folder is never quiet either.
    QTest::newRow("count settled") << 2;
}

void PeerWaitTest::capEndsAStreamThatNeverGoesQuiet()
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

void PeerWaitTest::arrivalsInARealFolder()
{
    const QString spool = m_dir.path() + QLatin1String("/spool");
    SpoolFolder(spool).write(1, QStringLiteral("-ftype_edit"), QStringLiteral("C:/own.pdf"));
    SpoolArrivals arrivals(SpoolFolder(spool).view());
    arrivals.look();
    QCOMPARE(arrivals.arrivals(), 0);

    QTest::qSleep(300);
    QElapsedTimer sinceWrite;
    sinceWrite.start();
    SpoolFolder(spool).write(2, QStringLiteral("-ftype_edit"), QStringLiteral("C:/peer.pdf"));
    arrivals.look();
    QCOMPARE(arrivals.arrivals(), 1);
    // The file's own time places its arrival: just now, not when the folder was first listed.
    QVERIFY2(arrivals.quietMs() < 300, QByteArray::number(arrivals.quietMs()).constData());
    QVERIFY(arrivals.quietMs() <= sinceWrite.elapsed() + 10); // the file system's clock is coarse

    // Neither what is not gathered nor a second path in a file already there is a new copy.
    QVERIFY(writeFile(spool + QLatin1String("/.hidden"), "C:/hidden.pdf\n"));
    QVERIFY(writeFile(spool + QLatin1String("/sub/7.txt"), "C:/nested.pdf\n"));
    SpoolFolder(spool).write(2, QStringLiteral("-ftype_edit"), QStringLiteral("C:/again.pdf"));
    arrivals.look();
    QCOMPARE(arrivals.arrivals(), 1);
}

QTEST_GUILESS_MAIN(PeerWaitTest)
#include "tst_peerwait.moc"
