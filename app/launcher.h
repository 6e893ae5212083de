#ifndef OSTREL_APP_LAUNCHER_H
#define OSTREL_APP_LAUNCHER_H

#include <QString>
#include <QStringList>

class SingleApplication;

// Hands one selection to the editor. A secondary copy spools its path and ends the process (exit code 0);
// the primary spools its own path, waits for its peers to finish, gathers every spooled path and starts
// the editor once with the verb flag and all paths.
void gatherAndLaunch(SingleApplication &app, const QStringList &arguments, const QString &spoolPath,
                     const QString &verbFlag);

#endif
