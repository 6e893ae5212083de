#ifndef OSTREL_TESTS_BOUNDEDREPEAT_H
#define OSTREL_TESTS_BOUNDEDREPEAT_H

#include <QElapsedTimer>
#include <QTest>

// Repeats a round that hunts for a rare fault until it has run maxRounds times or budgetMs has passed,
// whichever comes first, and stops at the first failed check. The budget keeps a slow build (sanitizers)
// or a busy machine within the test's time-out; the first round always runs. Returns the rounds run, which
// the caller reports, so that a run that managed few rounds is visible in the log.
template<typename Round>
int repeatWithinBudget(int maxRounds, qint64 budgetMs, Round round)
{
    QElapsedTimer clock;
    clock.start();
    int rounds = 0;
    while (rounds < maxRounds && (rounds == 0 || clock.elapsed() < budgetMs)) {
        ++rounds;
        round();
        if (QTest::currentTestFailed())
            break;
    }
    return rounds;
}

#endif
