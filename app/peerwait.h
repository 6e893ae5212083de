#ifndef OSTREL_APP_PEERWAIT_H
#define OSTREL_APP_PEERWAIT_H

#include "spoolarrivals.h"

#include <functional>

// How the primary waits for the peers of its selection: until the census counts one copy and the spool
// folder has been quiet for a while, or a bound is hit.

// The bounds of the wait. The census's own lister time-out is held to what is left of the cap.
struct PeerWaitBounds
{
    int initialWaitMs = 200; // after the own spool file, before the first pass
    int quietWindowMs = 200; // no new spool file for this long before a hand-off (the cap aside)
    int settleMs = 3000;     // stop when the copy count has not changed for this long
    int capMs = 30000;       // stop after this long in any case, counted from the first pass
    int retryPauseMs = 100;  // pause after a census that gave no usable count
    int passPauseMs = 10;    // pause between two passes that saw other copies, processing events
};

enum class PeerWaitOutcome {
    OnlyCopy,     // a census counted exactly one copy, and no spool file arrived for quietWindowMs nor
                  // while that census ran
    CountSettled, // neither the count (when a census worked) nor the folder changed for settleMs
    CapReached,   // capMs ran out while the count still changed or spool files kept arriving
};

// Waits initialWaitMs, then polls the census until it reports one copy and the spool folder has been quiet
// for quietWindowMs, or a bound is hit, processing pending events in every pause. The census runs only
// while the folder is quiet, since only then can its answer end the wait. The census gets the
// time-out to use for its lister and answers with the number of running copies; zero or less means it
// could not tell.
PeerWaitOutcome waitForPeersToEnd(const std::function<int(int listerTimeoutMs)> &census,
                                  SpoolArrivals &arrivals, const PeerWaitBounds &bounds = PeerWaitBounds());

#endif
