#ifndef OSTREL_APP_RUN_H
#define OSTREL_APP_RUN_H

#include <QStringList>

// The whole run after the platform's entry point has built the argument list (without the program's own
// path). argc and argv are handed to the application object unchanged; the return value is the process
// exit code.
int runContextMenuHelper(int &argc, char **argv, const QStringList &arguments);

#endif
