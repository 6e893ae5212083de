#include "entry.h"

#include "contextmenu.h"
#include "launcher.h"
#include "platform.h"
#include "singleapplication.h"

#include <QDir>

const QStringList &verbFlags()
{
    static const QStringList flags{QStringLiteral("-ftype_edit"), QStringLiteral("-ftype_split"),
                                   QStringLiteral("-ftype_merge"), QStringLiteral("-ftype_print")};
    return flags;
}

RunAction chooseRunAction(const QStringList &arguments)
{
    if (arguments.isEmpty())
        return RunAction::Nothing;
    if (arguments.size() == 1) {
        if (arguments.first().compare(QLatin1String("install"), Qt::CaseInsensitive) == 0)
            return RunAction::Install;
        if (arguments.first().compare(QLatin1String("uninstall"), Qt::CaseInsensitive) == 0)
            return RunAction::Uninstall;
    }
    if (verbFlags().contains(arguments.first(), Qt::CaseSensitive))
        return RunAction::HandOff;
    return RunAction::Nothing;
}

QString selectionSpoolPath()
{
    const QString base = Platform::spoolBaseLocation();
    if (base.isEmpty())
        return QString(); // no private folder: no spool at all, rather than one at the root
    return base + QLatin1String("/Ostrel_PDF_Editor_ContextMenu");
}

int runContextMenuHelper(int &argc, char **argv, const QStringList &arguments)
{
    // Every run takes part in the election, whatever it was asked to do.
    SingleApplication app(argc, argv, true, SingleApplication::UserScoped, 1000, QString());

    const QString spoolPath = selectionSpoolPath();
    if (!spoolPath.isEmpty() && !QDir(spoolPath).exists())
        QDir().mkpath(spoolPath);

    switch (chooseRunAction(arguments)) {
    case RunAction::Install:
        unregisterContextMenu();
        registerContextMenu();
        break;
    case RunAction::Uninstall:
        unregisterContextMenu();
        break;
    case RunAction::HandOff:
        // No quit request here: it would make the launcher's wait return at once.
        gatherAndLaunch(app, arguments, spoolPath, arguments.first());
        return 0;
    case RunAction::Nothing:
        break;
    }
    QCoreApplication::quit();
    return 0;
}
