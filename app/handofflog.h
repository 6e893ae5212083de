#ifndef OSTREL_APP_HANDOFFLOG_H
#define OSTREL_APP_HANDOFFLOG_H

#include <QLoggingCategory>

// The trail of the hand-off: the paths by verb, and each start of the editor.
// Its debug lines, one per decision and each with the process id, are off unless a logging rule turns
// them on ("ostrel.handoff.debug=true" in QT_LOGGING_RULES or in the user's QtProject/qtlogging.ini); its
// warnings are on.
Q_DECLARE_LOGGING_CATEGORY(lcHandOff)

#endif
