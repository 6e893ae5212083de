#include "handoff.h"

#include "editorprogram.h"
#include "handofflog.h"
#include "peercensus.h"
#include "peerwait.h"
#include "platform.h"
#include "runrequest.h"
#include "shellverbs.h"
#include "singleapplication.h"
#include "spoolfolder.h"

#include <QCoreApplication>
#include <QDebug>
#include <QFileInfo>
#include <QProcess>

#include <algorithm>

// A file that a selection still being gathered wrote must never count as stale.
static_assert(SpoolFileMaxAgeMs > PeerWaitBounds{}.initialWaitMs + PeerWaitBounds{}.capMs +
                                      PeerWaitBounds{}.quietWindowMs + ProcessListerTimeoutMs,
              "the age bound must exceed the longest wait");

namespace {

// The longest a copy whose path cannot be spooled spends handing it to its primary instead.
constexpr int HandOverTimeoutMs = 2000;

// A path travels to the primary as the line its copy would have spooled.
QByteArray handOverLine(const QString &verbFlag, const QString &path)
{
    return verbFlag.toUtf8() + ';' + path.toUtf8() + '\n';
}

// The paths in lines that peers handed over; a line that is not "<verb flag>;<path>" carries none.
QList<SpooledPath> handedOverPaths(const QList<QByteArray> &lines)
{
    QList<SpooledPath> paths;
    for (const QByteArray &line : lines) {
        const int separator = line.indexOf(';');
        const QString verbFlag = QString::fromUtf8(line.left(separator));
        const QString path = QString::fromUtf8(line.mid(separator + 1));
        if (separator > 0 && findShellVerb(verbFlag) && !path.isEmpty())
            paths.append({verbFlag, path});
    }
    return paths;
}

// A path that neither the spool nor the primary took must not vanish without a word.
void reportLostPath(const QString &path)
{
    qCritical().noquote() << "OstrelContextMenu: The selected file could be neither spooled nor handed to "
                             "the primary:"
                          << path;
}

// Starts the editor for one selection, once per verb (more often when a group is too long); returns the
// paths too long for any start, with their verbs.
QList<SpooledPath> launchSelection(const QString &ownVerbFlag, const QList<SpooledPath> &paths)
{
    const QString editor = editorProgramPath();
    const auto fits = [&](const QString &argument) {
        return Platform::fitsProcessArgument(editor, argument);
    };
    QList<SpooledPath> heldBack;
    for (const VerbGroup &group : groupByVerb(ownVerbFlag, paths)) {
        const EditorStarts starts = planEditorStarts(group.verbFlag, group.paths, fits);
        qCDebug(lcHandOff, "pid %lld: %s: %d path(s) in %d editor start(s), %d held back as too long",
                QCoreApplication::applicationPid(), qUtf8Printable(group.verbFlag), group.paths.size(),
                starts.arguments.size(), starts.heldBack.size());
        for (int start = 0; start < starts.arguments.size(); ++start) {
            const QString &argument = starts.arguments.at(start);
            qint64 editorProcessId = 0;
            const bool started =
                QProcess::startDetached(editor, QStringList(argument), QString(), &editorProcessId);
            if (started)
                Platform::allowForegroundWindow(editorProcessId);
            qCDebug(lcHandOff, "pid %lld: editor start: %s, %d path(s), argument of %d characters: %s",
                    QCoreApplication::applicationPid(), qUtf8Printable(group.verbFlag),
                    starts.pathCounts.value(start), argument.size(),
                    started ? qUtf8Printable(QStringLiteral("started, process %1").arg(editorProcessId))
                            : "the start failed");
        }
        for (const QString &path : starts.heldBack)
            heldBack.append({group.verbFlag, path});
    }
    return heldBack;
}

} // namespace

HandOffRole gatherAndLaunch(SingleApplication &app, const RunRequest &request, const SpoolFolder &spool,
                            qint64 startedMsSinceEpoch)
{
    const HandOffRole role = app.runsAsSecondary() ? HandOffRole::Secondary : HandOffRole::Primary;

    const qint64 processId = QCoreApplication::applicationPid();
    const SpoolFolder ours = spool.forSelectionOf(app.primaryProcessId());
    Gatherer gatherer{processId, startedMsSinceEpoch, false};
    if (role == HandOffRole::Primary && spool.isAvailable()) {
        // Only this process writes under this name, and it has not yet: the file is an earlier primary's of
        // the same id (Windows hands ids on quickly). It is set aside as that selection's, unread, so that
        // our path does not join it.
        const QString earlier = ours.filePathFor(processId);
        gatherer.idUsedBefore = QFileInfo::exists(earlier);
        if (gatherer.idUsedBefore)
            ours.claim(earlier, processId);
    }

    // A verb flag without a path spools nothing. A path with a line break would end its line in the spool
    // file (or in what goes to the primary), and the rest would be read as another path, under any verb it
    // names: it is refused. A path that cannot be spooled (a full disk, no private folder to be had) goes
    // to the primary over its local server, or stays with the primary itself.
    QList<SpooledPath> kept;
    if (!isSpoolablePath(request.selectedPath)) {
        // Quoted, its line breaks escaped: the message itself stays one line.
        qWarning().nospace() << "OstrelContextMenu: A path that holds a line break is not handed off: "
                             << request.selectedPath;
    } else if (!request.selectedPath.isEmpty() &&
               !ours.write(processId, request.verbFlag, request.selectedPath)) {
        if (role == HandOffRole::Primary) {
            kept.append({request.verbFlag, request.selectedPath});
            qCDebug(lcHandOff, "pid %lld: could not spool its own path; the primary keeps it",
                    QCoreApplication::applicationPid());
        } else if (app.sendToPrimary(handOverLine(request.verbFlag, request.selectedPath),
                                     HandOverTimeoutMs)) {
            qCDebug(lcHandOff,
                    "pid %lld: could not spool; the path went to primary %lld over its local server",
                    QCoreApplication::applicationPid(), app.primaryProcessId());
        } else {
            reportLostPath(request.selectedPath);
        }
    }
    if (role == HandOffRole::Secondary)
        return role;

    // Even a primary without a path of its own gathers: its peers' paths must not wait for the next
    // selection. What the folder holds now, our own file included, is already there. A path handed over
    // by a peer arrives as a spool file does, and starts the quiet window again.
    SpoolFolderView view = spool.isAvailable() ? spool.view()
                                               : SpoolFolderView{[] { return QStringList(); },
                                                                 [](const QString &) { return qint64(-1); }};
    const auto folderNames = view.fileNames;
    view.fileNames = [&app, &kept, folderNames] {
        QStringList names = folderNames();
        kept += handedOverPaths(app.takeReceivedLines());
        // Names that no spool file can have: the listing skips names that begin with a dot.
        for (int i = 0; i < kept.size(); ++i)
            names.append(QStringLiteral(".handed-over-%1").arg(i));
        return names;
    };
    SpoolArrivals arrivals(view);
    waitForPeersToEnd([](int listerTimeoutMs) { return countRunningCopies(listerTimeoutMs); }, arrivals);
    kept += handedOverPaths(app.takeReceivedLines());

    GatheredSelection gathered = spool.gather(gatherer);
    gathered.paths += kept;
    // Earlier selections first, each in starts of its own: the user made them before this one, and a path
    // of one never joins another's Merge.
    QList<SpooledPath> heldBack;
    for (const EarlierSelection &selection : gathered.earlier)
        heldBack += launchSelection(request.verbFlag, selection.paths);
    heldBack += launchSelection(request.verbFlag, gathered.paths);
    // Only after the starts: a primary killed before it removes what it handed off lets a later one pass
    // those paths again, rather than lose them.
    spool.removeGathered(gathered.consumedFiles + gathered.staleFiles);
    // Handed over while the editor started: a start of their own, since the sender counts them delivered.
    const QList<SpooledPath> late = handedOverPaths(app.takeReceivedLines());
    if (!late.isEmpty())
        heldBack += launchSelection(request.verbFlag, late);
    // A path too long to pass even alone can only reach the editor cut, and a cut path may name another
    // file, which the editor would then merge, split or print. It is spooled again instead, under our own
    // name and with its verb, so that it is neither lost without a trace nor handed off twice.
    for (const SpooledPath &spooled : heldBack) {
        if (!ours.write(processId, spooled.verbFlag, spooled.path))
            reportLostPath(spooled.path);
    }
    return role;
}

void sortAsExplorerShows(QStringList &paths)
{
    std::stable_sort(paths.begin(), paths.end(),
                     [](const QString &a, const QString &b) { return Platform::compareLogically(a, b) < 0; });
}

QList<VerbGroup> groupByVerb(const QString &ownVerbFlag, const QList<SpooledPath> &paths)
{
    QList<VerbGroup> groups;
    const auto collect = [&](const QString &verbFlag) {
        VerbGroup group{verbFlag, {}};
        for (const SpooledPath &spooled : paths) {
            if ((spooled.verbFlag.isEmpty() ? ownVerbFlag : spooled.verbFlag) == verbFlag)
                group.paths.append(spooled.path);
        }
        if (group.paths.isEmpty())
            return;
        sortAsExplorerShows(group.paths);
        groups.append(group);
    };
    for (const ShellVerb &verb : ShellVerbs) {
        if (QLatin1String(verb.flag) != ownVerbFlag)
            collect(QLatin1String(verb.flag));
    }
    collect(ownVerbFlag);
    return groups;
}

EditorStarts planEditorStarts(const QString &verbFlag, const QStringList &paths,
                              const std::function<bool(const QString &)> &fits)
{
    EditorStarts starts;
    for (int first = 0; first < paths.size();) {
        const auto fitting = [&](int count) {
            return fits(handOffArgument(verbFlag, paths.mid(first, count)));
        };
        if (!fitting(1)) {
            starts.heldBack.append(paths.at(first++));
            continue;
        }
        // The most paths that fit: more paths only make the argument longer, so double until one count
        // does not fit, then halve the gap. Each start costs a few joins however many paths there are.
        const int left = paths.size() - first;
        int fitCount = 1;
        int tooMany = left + 1;
        while (fitCount < left) {
            const int next = qMin(2 * fitCount, left);
            if (!fitting(next)) {
                tooMany = next;
                break;
            }
            fitCount = next;
        }
        while (tooMany - fitCount > 1) {
            const int middle = fitCount + (tooMany - fitCount) / 2;
            if (fitting(middle))
                fitCount = middle;
            else
                tooMany = middle;
        }
        starts.arguments.append(handOffArgument(verbFlag, paths.mid(first, fitCount)));
        starts.pathCounts.append(fitCount);
        first += fitCount;
    }
    return starts;
}

QString handOffArgument(const QString &verbFlag, const QStringList &paths)
{
    // The editor splits at ';' and expects no escaping, so a path holding ';' is passed as it is.
    QStringList parts;
    parts.reserve(paths.size() + 1);
    parts.append(verbFlag);
    parts += paths;
    return parts.join(QLatin1Char(';'));
}
