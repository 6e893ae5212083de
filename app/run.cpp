#include "run.h"

#include "contextmenu.h"
#include "handoff.h"
#include "platform.h"
#include "runrequest.h"
#include "singleapplication.h"
#include "spoolfolder.h"

#include <QDateTime>

#include <cstdlib>

namespace {

// How every copy takes part in the election. Explorer starts one copy per selected file, and all but the
// primary go on as secondaries that spool their path; none contacts the primary, so the time for doing so
// is never spent. The key holds the account, the version and the program's path: each account's selection
// is its own, and so is each installation's.
constexpr bool SecondariesAllowed = true;
constexpr SingleApplication::StartOption ElectionOptions = SingleApplication::UserScoped;
constexpr int PrimaryContactTimeoutMs = 1000;
const QString NoUserData;

} // namespace

int runContextMenuHelper(int &argc, char **argv, const QStringList &arguments)
{
    // Before the application object, whose lock and key files go into the temporary folder.
    Platform::prepareProcessEnvironment();
    // Before the election: from the moment this copy may be a primary, its peers spool under its name, and
    // the earlier selections' files are judged stale against this moment, not against the end of a wait
    // that a sleeping machine may stretch.
    const qint64 startedMsSinceEpoch = QDateTime::currentMSecsSinceEpoch();
    // Every run takes part in the election, whatever it was asked to do.
    SingleApplication app(argc, argv, SecondariesAllowed, ElectionOptions, PrimaryContactTimeoutMs,
                          NoUserData);

    const SpoolFolder spool = SpoolFolder::ofThisAccount();
    spool.create();

    const RunRequest request = parseRunRequest(arguments);
    switch (request.action) {
    case RunRequest::Install:
        unregisterContextMenu();
        registerContextMenu();
        break;
    case RunRequest::Uninstall:
        unregisterContextMenu();
        break;
    case RunRequest::HandOff:
        // A secondary has no role to give back, and its teardown would only take the shared block's lock
        // once more while the rest of its selection still holds elections: it ends at once.
        if (gatherAndLaunch(app, request, spool, startedMsSinceEpoch) == HandOffRole::Secondary)
            std::exit(0);
        break;
    case RunRequest::Nothing:
        break;
    }
    return 0;
}
