#include "run.h"

#include <QString>
#include <QStringList>

// The development build's entry point. It hands the real argument vector to the application object:
// without it QCoreApplication cannot derive the application name, which the instance key and the process
// census depend on.
int main(int argc, char **argv)
{
    QStringList arguments;
    for (int i = 1; i < argc; ++i)
        arguments.append(QString::fromLocal8Bit(argv[i]));
    return runContextMenuHelper(argc, argv, arguments);
}
