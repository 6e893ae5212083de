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
#include <QProcess>

#include <algorithm>

// A file that a selection still being gathered wrote must never count as stale.
static_assert(SpoolFileMaxAgeMs > PeerWaitBounds{}.initialWaitMs + PeerWaitBounds{}.capMs +
                                      PeerWaitBounds{}.quietWindowMs + ProcessListerTimeoutMs,
              "the age bound must exceed the longest wait");

HandOffRole gatherAndLaunch(const SingleApplication &app, const RunRequest &request, const SpoolFolder &spool)
{
    const HandOffRole role = app.runsAsSecondary() ? HandOffRole::Secondary : HandOffRole::Primary;

    // No private folder could be had: a path written anywhere else could be read, or planted, by another
    // account. Every copy of the account sees the same folders, so none of them spools either.
    if (!spool.isAvailable()) {
        qCDebug(lcHandOff, "pid %lld: no private spool folder: nothing is spooled or handed off",
                QCoreApplication::applicationPid());
        return role;
    }

    // A verb flag without a path spools nothing.
    if (!request.selectedPath.isEmpty())
        spool.write(QCoreApplication::applicationPid(), request.verbFlag, request.selectedPath);
    if (role == HandOffRole::Secondary)
        return role;

    // Even a primary without a path of its own gathers: its peers' paths must not wait for the next
    // selection. What the folder holds now, our own file included, is already there.
    SpoolArrivals arrivals(spool.view());
    waitForPeersToEnd([](int listerTimeoutMs) { return countRunningCopies(listerTimeoutMs); }, arrivals);

    const GatheredSelection gathered = spool.gather();
    const QString editor = editorProgramPath();
    const auto fits = [&](const QString &argument) {
        return Platform::fitsProcessArgument(editor, argument);
    };
    QList<SpooledPath> heldBack;
    for (const VerbGroup &group : groupByVerb(request.verbFlag, gathered.paths)) {
        const EditorStarts starts = planEditorStarts(group.verbFlag, group.paths, fits);
        qCDebug(lcHandOff, "pid %lld: %s: %d path(s) in %d editor start(s), %d held back as too long",
                QCoreApplication::applicationPid(), qUtf8Printable(group.verbFlag), group.paths.size(),
                starts.arguments.size(), starts.heldBack.size());
        for (const QString &argument : starts.arguments) {
            qint64 editorProcessId = 0;
            const bool started =
                QProcess::startDetached(editor, QStringList(argument), QString(), &editorProcessId);
            if (started)
                Platform::allowForegroundWindow(editorProcessId);
            qCDebug(lcHandOff, "pid %lld: editor start: %s, %d path(s), argument of %d characters: %s",
                    QCoreApplication::applicationPid(), qUtf8Printable(group.verbFlag),
                    starts.pathCounts.value(starts.arguments.indexOf(argument)), argument.size(),
                    started ? qUtf8Printable(QStringLiteral("started, process %1").arg(editorProcessId))
                            : "the start failed");
        }
        for (const QString &path : starts.heldBack)
            heldBack.append({group.verbFlag, path});
    }
    spool.removeGathered(gathered.consumedFiles + gathered.staleFiles);
    // A path too long to pass even alone can only reach the editor cut, and a cut path may name another
    // file, which the editor would then merge, split or print. It is spooled again instead, under our own
    // name and with its verb, so that it is neither lost without a trace nor handed off twice.
    for (const SpooledPath &spooled : heldBack)
        spool.write(QCoreApplication::applicationPid(), spooled.verbFlag, spooled.path);
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
