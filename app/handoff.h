#ifndef OSTREL_APP_HANDOFF_H
#define OSTREL_APP_HANDOFF_H

#include <QString>
#include <QStringList>

class SingleApplication;
struct RunRequest;

// The role a copy had in its selection's hand-off.
enum class HandOffRole {
    Secondary,
    Primary,
};

// Hands one selection to the editor. Every copy spools the path it was started for; a secondary is done
// then. The primary waits for its peers, gathers every spooled path and starts the editor once with its own
// verb flag and all paths. Without a spool folder nothing is spooled or handed off.
HandOffRole gatherAndLaunch(const SingleApplication &app, const RunRequest &request,
                            const QString &spoolPath);

// The one argument the editor receives: the verb flag and every path, joined by ';' without escaping.
QString handOffArgument(const QString &verbFlag, const QStringList &paths);

#endif
