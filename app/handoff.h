#ifndef OSTREL_APP_HANDOFF_H
#define OSTREL_APP_HANDOFF_H

#include <QString>
#include <QStringList>

#include <functional>

class SingleApplication;
class SpoolFolder;
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
                            const SpoolFolder &spool);

// Puts the gathered paths in the order Explorer shows a folder sorted by name (Platform::compareLogically
// on whole paths, which for the files of one folder is the order of their names; the files of several
// folders come folder by folder). Paths with equal keys keep their order, and a path gathered twice stays
// twice.
void sortAsExplorerShows(QStringList &paths);

// The editor's starts for one hand-off: each argument holds the verb flag and as many whole paths, in
// order, as `fits` accepts; a path is never cut. A path that does not fit even alone is held back.
struct EditorStarts
{
    QStringList arguments;
    QStringList heldBack;
};
EditorStarts planEditorStarts(const QString &verbFlag, const QStringList &paths,
                              const std::function<bool(const QString &argument)> &fits);

// The one argument the editor receives: the verb flag and every path, joined by ';' without escaping.
QString handOffArgument(const QString &verbFlag, const QStringList &paths);

#endif
