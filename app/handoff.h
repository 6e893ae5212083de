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

// Hands one selection to the editor. Every copy spools the path it was started for, with its verb flag,
// under its primary's name; a secondary is done then. The primary waits for its peers, gathers its own
// selection and what earlier selections left, and starts the editor for each earlier selection apart, the
// oldest first, then for its own, each time once per verb gathered, with that verb's flag and its paths. A
// path that cannot be spooled travels to the primary over its local server (a primary keeps its own); one
// that nothing can carry is named in a critical message. startedMsSinceEpoch: the wall clock, read before
// the application object held its election.
HandOffRole gatherAndLaunch(SingleApplication &app, const RunRequest &request, const SpoolFolder &spool,
                            qint64 startedMsSinceEpoch);

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
