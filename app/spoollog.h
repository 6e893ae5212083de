#ifndef OSTREL_APP_SPOOLLOG_H
#define OSTREL_APP_SPOOLLOG_H

#include <QLoggingCategory>

// The trail of the spool folder: each spool file written, what the primary gathered and removed.
// Its debug lines, one per decision and each with the process id, are off unless a logging rule turns
// them on ("ostrel.spool.debug=true" in QT_LOGGING_RULES or in the user's QtProject/qtlogging.ini); its
// warnings are on.
Q_DECLARE_LOGGING_CATEGORY(lcSpool)

#endif
