// Measures the selection hand-off on this machine and prints one table. Every figure comes with a baseline
// measured in the same run (a bare core application started the same way), since absolute times on shared
// machines are noisy.

#include "ostrel_bench.h"
#include "benchsupport.h"

#include <QCoreApplication>

#include <cstdio>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const int repeats = benchRepeats();

    std::fprintf(stderr, "hand-off...\n");
    benchHandOff(repeats);
    std::fprintf(stderr, "spread arrivals...\n");
    benchSpreadArrivals(repeats);
    std::fprintf(stderr, "copy cost...\n");
    benchCopyCost(repeats * 5);
    std::fprintf(stderr, "census...\n");
    benchCensus(repeats * 3);
    std::fprintf(stderr, "election...\n");
    benchElection(repeats);

    printRows();
    return 0;
}
