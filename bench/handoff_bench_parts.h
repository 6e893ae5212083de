#ifndef OSTREL_BENCH_HANDOFF_BENCH_PARTS_H
#define OSTREL_BENCH_HANDOFF_BENCH_PARTS_H

#include <QStringList>

// The parts of the hand-off benchmark; each adds its rows to the table that main (handoff_bench.cpp)
// prints.

// The arguments of the index-th copy of a selection, as Explorer gives them (distinct paths).
QStringList selectionArguments(int index);

// handoff_bench_selections.cpp: copies started together, with a lingering peer, and spread out in time.
void benchHandOff(int repeats);
void benchSpreadArrivals(int repeats);

// handoff_bench_processcost.cpp: what one copy, one lister run and one election cost.
void benchCopyCost(int repeats);
void benchCensus(int repeats);
void benchElection(int repeats);

#endif
