#ifndef OSTREL_APP_CENSUSLOG_H
#define OSTREL_APP_CENSUSLOG_H

#include <QLoggingCategory>

// The trail of the peer census: each run of the process lister, its count and time, or its failure.
// Its debug lines, one per decision and each with the process id, are off unless a logging rule turns
// them on ("ostrel.census.debug=true" in QT_LOGGING_RULES or in the user's QtProject/qtlogging.ini); its
// warnings are on.
Q_DECLARE_LOGGING_CATEGORY(lcCensus)

#endif
