#include "killatrandommoments.h"

#include <QElapsedTimer>
#include <QThread>

#include <algorithm>
#include <utility>

void killAtRandomMoments(const std::vector<std::unique_ptr<QProcess>> &copies, int count, int withinMs,
                         QRandomGenerator &random)
{
    QElapsedTimer clock;
    clock.start();
    std::vector<size_t> order(copies.size());
    for (size_t i = 0; i < order.size(); ++i)
        order[i] = i;
    std::shuffle(order.begin(), order.end(), random);
    std::vector<std::pair<int, size_t>> kills; // when, which
    for (size_t k = 0; k < std::min(size_t(qMax(count, 0)), order.size()); ++k)
        kills.emplace_back(int(random.bounded(withinMs)), order[k]);
    std::sort(kills.begin(), kills.end());
    for (const auto &kill : kills) {
        while (clock.elapsed() < kill.first)
            QThread::msleep(1);
        copies[kill.second]->kill();
    }
}
