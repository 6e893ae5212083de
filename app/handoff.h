#ifndef OSTREL_APP_HANDOFF_H
#define OSTREL_APP_HANDOFF_H

#include <QString>
#include <QStringList>

#include <functional>

class SingleApplication;
class SpoolFolder;
struct RunRequest;
struct SpooledPath;

// The role a copy had in its selection's hand-off.
enum class HandOffRole {
    Secondary,
    Primary,
};

// Hands one selection to the editor. Every copy spools the path it was started for, with its verb flag; a
// secondary is done then. The primary waits for its peers, gathers every spooled path and starts the editor
// once per verb gathered, each start with that verb's flag and its paths. Without a spool folder nothing is
// spooled or handed off.
HandOffRole gatherAndLaunch(const SingleApplication &app, const RunRequest &request,
                            const SpoolFolder &spool);

// Puts the gathered paths in the order Explorer shows a folder sorted by name (Platform::compareLogically
// on whole paths, which for the files of one folder is the order of their names; the files of several
// folders come folder by folder). Paths with equal keys keep their order, and a path gathered twice stays
// twice.
void sortAsExplorerShows(QStringList &paths);

// The paths that go to the editor under one verb flag, in Explorer's order.
struct VerbGroup
{
    QString verbFlag;
    QStringList paths;
};

// The gathered paths by the verb each was spooled with; a path of the earlier format, which carries no
// verb, goes with ownVerbFlag. The groups of other verbs (paths that their own primary never handed off,
// or a selection made at the same moment) come first, in the order of the verbs' table, and the own verb's
// group last: a selection the user made before this one reaches the editor before it. Empty groups are
// left out.
QList<VerbGroup> groupByVerb(const QString &ownVerbFlag, const QList<SpooledPath> &paths);

// The editor's starts for one hand-off: each argument holds the verb flag and as many whole paths, in
// order, as `fits` accepts; a path is never cut. A path that does not fit even alone is held back.
struct EditorStarts
{
    QStringList arguments;
    QList<int> pathCounts; // how many paths each argument holds
    QStringList heldBack;
};
EditorStarts planEditorStarts(const QString &verbFlag, const QStringList &paths,
                              const std::function<bool(const QString &argument)> &fits);

// The one argument the editor receives: the verb flag and every path, joined by ';' without escaping.
QString handOffArgument(const QString &verbFlag, const QStringList &paths);

#endif
