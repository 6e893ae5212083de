#include "spoolarrivals.h"

#include <QDateTime>

#include <utility>

SpoolArrivals::SpoolArrivals(SpoolFolderView folder)
    : m_folder(std::move(folder))
{
    m_clock.start();
    const QStringList names = m_folder.fileNames();
    for (const QString &name : names)
        m_known.insert(name);
}

void SpoolArrivals::look()
{
    const qint64 listedFrom = m_clock.elapsed();
    const QStringList names = m_folder.fileNames();
    // The pair of readings that maps the files' wall-clock times onto the monotonic clock: the wall clock
    // first, so that a pause between the two (the process preempted on a busy machine) can only place an
    // arrival later, never shorten the quiet window. What remains is the cut of each reading to the
    // millisecond.
    const qint64 wallClock = QDateTime::currentMSecsSinceEpoch();
    const qint64 noticedAt = m_clock.elapsed();
    QSet<QString> current;
    current.reserve(names.size());
    for (const QString &name : names) {
        current.insert(name);
        if (m_known.contains(name))
            continue;
        ++m_arrivals;
        m_latestArrivalAt = qMax(m_latestArrivalAt, estimatedArrival(name, noticedAt, wallClock));
    }
    m_known.swap(current);
    m_previousListingAt = listedFrom;
}

qint64 SpoolArrivals::quietMs() const
{
    return m_clock.elapsed() - m_latestArrivalAt;
}

qint64 SpoolArrivals::estimatedArrival(const QString &fileName, qint64 noticedAt,
                                       qint64 wallClockAtNotice) const
{
    // Copies that spool together must not each pay the whole window again just because the wait noticed
    // their files late, so the file's own time counts. It is a wall-clock time, though, and the wall clock
    // may be wrong or jump: the file was not there at the previous listing and is there now, and nothing
    // may move its arrival outside those two moments.
    const qint64 modified = m_folder.modifiedMsSinceEpoch ? m_folder.modifiedMsSinceEpoch(fileName) : -1;
    if (modified < 0)
        return noticedAt;
    return qBound(m_previousListingAt, noticedAt - (wallClockAtNotice - modified), noticedAt);
}
