#ifndef OSTREL_SHELL_REGISTRYLOG_H
#define OSTREL_SHELL_REGISTRYLOG_H

#include <QLoggingCategory>

// The trail of install and uninstall: keys written and removed, captions chosen, the association call.
// Its debug lines, one per decision and each with the process id, are off unless a logging rule turns
// them on ("ostrel.registry.debug=true" in QT_LOGGING_RULES or in the user's QtProject/qtlogging.ini); its
// warnings are on.
Q_DECLARE_LOGGING_CATEGORY(lcRegistry)

#endif
