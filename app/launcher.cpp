#include "launcher.h"

#include "singleapplication.h"

void gatherAndLaunch(SingleApplication &, const QStringList &, const QString &, const QString &)
{
}
