#include "peerwait.h"

#include "peercensus.h"
#include "waitlog.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>

namespace {

// The only places where this program lets events through: the local server of a primary can accept a
// connection here, and nowhere else.
void waitProcessingEvents(int milliseconds)
{
    QEventLoop loop;
    // A coarse timer may end a 200 ms pause up to 10 ms early or late; the window is a bound we promise.
    QTimer::singleShot(milliseconds, Qt::PreciseTimer, &loop, &QEventLoop::quit);
    loop.exec(QEventLoop::AllEvents);
}

} // namespace

namespace {

int listerTimeoutWithinCap(const PeerWaitBounds &bounds, qint64 elapsed)
{
    const qint64 remaining = bounds.capMs - elapsed;
    return int(qMin<qint64>(ProcessListerTimeoutMs, qMax<qint64>(remaining, 1000)));
}

// How long to let events through before the next pass. count: the census's answer, 1 also when no census
// ran because the window was still open.
int pauseBeforeNextPass(const PeerWaitBounds &bounds, int count, qint64 quietLeftMs, qint64 elapsed)
{
    int pause = bounds.passPauseMs;
    if (count <= 0)
        pause = bounds.retryPauseMs; // a missing lister fails at once; do not spin
    else if (count == 1)
        // Only the window keeps us: nothing can end the wait before it ends, and a new copy shows up in
        // the next pass either running or as its spool file.
        pause = int(qMax<qint64>(quietLeftMs, 1));
    // Otherwise a fast lister would start a hundred processes a second while the peers it waits for still
    // need the processor (see the benchmark's lingering-peer figures).
    return int(qBound<qint64>(1, pause, bounds.capMs - elapsed));
}

} // namespace

PeerWaitOutcome waitForPeersToEnd(const std::function<int(int)> &census, SpoolArrivals &arrivals,
                                  const PeerWaitBounds &bounds)
{
    // Give the peers started with us time to spool before the first pass.
    waitProcessingEvents(bounds.initialWaitMs);

    // Peers normally end within moments of spooling, but Explorer starts them one after another, and on a
    // busy machine one may start only after the one before it has ended: a census alone would then see one
    // copy between two peers and split the selection. So a hand-off also needs a spool folder in which no
    // new file appeared for quietWindowMs. A copy that never ends (another account's, an unrelated process
    // whose name matches, a hung one) or a lister that cannot run would keep the selection from ever
    // reaching the editor, so the wait also ends once neither the count nor the folder has changed for
    // settleMs (with a quiet folder), and after capMs in any case, even while files still arrive: the rest
    // forms the next selection.
    QElapsedTimer total;
    total.start();
    QElapsedTimer sinceChange;
    sinceChange.start();
    int lastCount = 0;
    int arrivalsSeen = arrivals.arrivals();
    const auto noticeArrivals = [&] {
        if (arrivals.arrivals() == arrivalsSeen)
            return false;
        arrivalsSeen = arrivals.arrivals();
        sinceChange.restart(); // copies are still arriving
        return true;
    };
    for (;;) {
        // The folder first, then the census: a copy that starts after a quiet listing is still running
        // when the census looks, or has spooled and is seen by the look after the census. So how long the
        // census takes never eats into the window.
        arrivals.look();
        noticeArrivals();
        int count = 1;
        // While a spool file younger than the window exists, no census can end the wait; a lister run then
        // would only take the processor from the copies that are still starting.
        if (arrivals.quietMs() >= bounds.quietWindowMs) {
            count = census(listerTimeoutWithinCap(bounds, total.elapsed()));
            if (count >= 1 && count != lastCount) {
                // Any change is progress: a count going 2, 1, 2, 1 means copies still come and go.
                lastCount = count;
                sinceChange.restart();
            }
            // A copy that spooled and ended while the census ran is not counted; only the folder shows it,
            // and its file starts the window again.
            if (count == 1) {
                arrivals.look();
                if (!noticeArrivals()) {
                    qCDebug(lcWait,
                            "pid %lld: wait ended after %d + %lld ms: one copy left, and no new spool file "
                            "for %lld "
                            "ms (%d arrived while waiting)",
                            QCoreApplication::applicationPid(), bounds.initialWaitMs, total.elapsed(),
                            arrivals.quietMs(), arrivals.arrivals());
                    return PeerWaitOutcome::OnlyCopy;
                }
            }
        }
        if (arrivals.quietMs() >= bounds.quietWindowMs && sinceChange.elapsed() >= bounds.settleMs) {
            qCDebug(lcWait,
                    "pid %lld: wait ended after %d + %lld ms: settled, the count (last %d) and the folder "
                    "unchanged "
                    "for %lld ms, no new spool file for %lld ms (%d arrived while waiting)",
                    QCoreApplication::applicationPid(), bounds.initialWaitMs, total.elapsed(), lastCount,
                    sinceChange.elapsed(), arrivals.quietMs(), arrivals.arrivals());
            return PeerWaitOutcome::CountSettled;
        }
        if (total.elapsed() >= bounds.capMs) {
            qCDebug(lcWait,
                    "pid %lld: wait ended after %d + %lld ms: the cap, the last count %d, the last new "
                    "spool file came %lld ms ago (%d arrived while waiting)",
                    QCoreApplication::applicationPid(), bounds.initialWaitMs, total.elapsed(), lastCount,
                    arrivals.quietMs(), arrivals.arrivals());
            return PeerWaitOutcome::CapReached;
        }
        const qint64 quietLeft = bounds.quietWindowMs - arrivals.quietMs();
        waitProcessingEvents(pauseBeforeNextPass(bounds, count, quietLeft, total.elapsed()));
    }
}
