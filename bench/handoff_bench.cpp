// Measures the selection hand-off on this machine and prints one table. Every figure comes with a baseline
// measured in the same run (a bare core application started the same way), since absolute times on shared
// machines are noisy.

#include "benchsupport.h"
#include "handoff_bench_parts.h"

#include <QCoreApplication>
#include <QStringList>

#include <cstdio>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const int repeats = benchRepeats();
    // Parts named on the command line alone (hand-off, spread, copy, census, election), else every part.
    const QStringList only = app.arguments().mid(1);
    const auto wanted = [&](const char *part) {
        if (!only.isEmpty() && !only.contains(QLatin1String(part)))
            return false;
        std::fprintf(stderr, "%s...\n", part);
        return true;
    };

    if (wanted("hand-off"))
        benchHandOff(repeats);
    if (wanted("spread"))
        benchSpreadArrivals(repeats);
    if (wanted("copy"))
        benchCopyCost(repeats * 5);
    if (wanted("census"))
        benchCensus(repeats * 3);
    if (wanted("election"))
        benchElection(repeats);

    printRows();
    return 0;
}
