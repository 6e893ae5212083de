#ifndef OSTREL_TESTS_KILLATRANDOMMOMENTS_H
#define OSTREL_TESTS_KILLATRANDOMMOMENTS_H

#include <QProcess>
#include <QRandomGenerator>

#include <memory>
#include <vector>

// Kills `count` of the copies, chosen at random, each at a random moment of the first `withinMs` after the
// call (made right after the copies were started), as a crash, an anti-virus or a user ends them. Returns
// once the last of them is killed; the caller waits for all copies. The generator's seed, which the caller
// logs, replays the same choice.
void killAtRandomMoments(const std::vector<std::unique_ptr<QProcess>> &copies, int count, int withinMs,
                         QRandomGenerator &random);

#endif
