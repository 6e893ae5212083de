#ifndef OSTREL_APP_WAITLOG_H
#define OSTREL_APP_WAITLOG_H

#include <QLoggingCategory>

// The trail of the primary's wait for its peers: how it ended, and when.
// Its debug lines, one per decision and each with the process id, are off unless a logging rule turns
// them on ("ostrel.wait.debug=true" in QT_LOGGING_RULES or in the user's QtProject/qtlogging.ini); its
// warnings are on.
Q_DECLARE_LOGGING_CATEGORY(lcWait)

#endif
