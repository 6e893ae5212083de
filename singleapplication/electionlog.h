#ifndef OSTREL_SINGLEAPPLICATION_ELECTIONLOG_H
#define OSTREL_SINGLEAPPLICATION_ELECTIONLOG_H

#include <QLoggingCategory>

// The trail of the election: the role each copy took, and why.
// Its debug lines, one per decision and each with the process id, are off unless a logging rule turns
// them on ("ostrel.election.debug=true" in QT_LOGGING_RULES or in the user's QtProject/qtlogging.ini); its
// warnings are on.
Q_DECLARE_LOGGING_CATEGORY(lcElection)

#endif
