#include "handoff.h"

#include "editorprogram.h"
#include "peercensus.h"
#include "peerwait.h"
#include "runrequest.h"
#include "singleapplication.h"
#include "spoolfolder.h"

#include <QCoreApplication>
#include <QProcess>

HandOffRole gatherAndLaunch(const SingleApplication &app, const RunRequest &request, const QString &spoolPath)
{
    const HandOffRole role = app.runsAsSecondary() ? HandOffRole::Secondary : HandOffRole::Primary;

    // No private folder could be had: a path written anywhere else could be read, or planted, by another
    // account. Every copy of the account sees the same folders, so none of them spools either.
    if (spoolPath.isEmpty())
        return role;

    // A verb flag without a path spools nothing.
    if (!request.selectedPath.isEmpty())
        writeSpoolFile(spoolFilePath(spoolPath, QCoreApplication::applicationPid()), request.selectedPath);
    if (role == HandOffRole::Secondary)
        return role;

    // Even a primary without a path of its own gathers: its peers' paths must not wait for the next
    // selection. What the folder holds now, our own file included, is already there.
    SpoolArrivals arrivals(spoolFolderView(spoolPath));
    waitForPeersToEnd([](int listerTimeoutMs) { return countRunningCopies(listerTimeoutMs); }, arrivals);

    const GatheredSelection gathered = gatherSpoolFiles(spoolPath);
    if (!gathered.paths.isEmpty())
        QProcess::startDetached(editorProgramPath(),
                                QStringList{handOffArgument(request.verbFlag, gathered.paths)});
    removeGatheredFiles(gathered.consumedFiles, spoolPath);
    return role;
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
