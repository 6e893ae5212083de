#ifndef OSTREL_APP_ENTRY_H
#define OSTREL_APP_ENTRY_H

#include <QString>
#include <QStringList>

// What one run of the program does, decided from its argument list alone.
enum class RunAction {
    Nothing,
    Install,
    Uninstall,
    HandOff,
};

// The verb flags of the context-menu commands, in the order Edit, Split, Merge, Print.
const QStringList &verbFlags();

// The dispatch rules: "install" or "uninstall" alone (any letter case), a verb flag first (exact case),
// anything else does nothing.
RunAction chooseRunAction(const QStringList &arguments);

// Folder that collects the paths of one selection; empty when the platform has no private folder for it.
QString selectionSpoolPath();

// The whole run after the platform's entry point has built the argument list. argc and argv are handed to
// the application object unchanged; the return value is the process exit code.
int runContextMenuHelper(int &argc, char **argv, const QStringList &arguments);

#endif
