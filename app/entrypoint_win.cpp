#include "run.h"

#include <QString>
#include <QStringList>

// Wide entry point of the Windows program (linked with -municode). QCoreApplication reads the command
// line itself there (GetCommandLineW), so no argument vector is handed on.
int wmain(int argc, wchar_t **argv)
{
    QStringList arguments;
    for (int i = 1; i < argc; ++i)
        arguments.append(QString::fromWCharArray(argv[i]));
    return runContextMenuHelper(argc, nullptr, arguments);
}
