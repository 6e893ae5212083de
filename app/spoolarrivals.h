#ifndef OSTREL_APP_SPOOLARRIVALS_H
#define OSTREL_APP_SPOOLARRIVALS_H

#include "spoolfolder.h"

#include <QElapsedTimer>
#include <QSet>
#include <QString>

// Notices spool files that were not there before and keeps, on the monotonic clock, when the latest one
// arrived. What the folder holds when the object is made counts as already there, and the quiet time
// counts from then.
class SpoolArrivals
{
public:
    explicit SpoolArrivals(SpoolFolderView folder);

    // Lists the folder again; every name the previous listing did not have is an arrival.
    void look();

    // Milliseconds since the latest arrival (or since the object was made, when nothing arrived).
    qint64 quietMs() const;

    // How many files arrived so far.
    int arrivals() const { return m_arrivals; }

private:
    qint64 estimatedArrival(const QString &fileName, qint64 noticedAt, qint64 wallClockAtNotice) const;

    SpoolFolderView m_folder;
    QElapsedTimer m_clock;
    QSet<QString> m_known;
    qint64 m_previousListingAt = 0;
    qint64 m_latestArrivalAt = 0;
    int m_arrivals = 0;
};

#endif
