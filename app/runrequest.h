#ifndef OSTREL_APP_RUNREQUEST_H
#define OSTREL_APP_RUNREQUEST_H

#include <QString>
#include <QStringList>

// What one run of the program was asked to do, read once from its argument list (the program's own path
// not included).
struct RunRequest
{
    enum Action {
        Nothing,
        Install,
        Uninstall,
        HandOff,
    };

    Action action = Nothing;
    QString verbFlag;     // HandOff: the first argument, one of the verbs' flags
    QString selectedPath; // HandOff: the second argument, empty when there is none; later ones are ignored
};

// "install" or "uninstall" alone, in any letter case; a verb flag first, in its exact case, whatever follows
// it; anything else, or nothing, asks for nothing.
RunRequest parseRunRequest(const QStringList &arguments);

#endif
