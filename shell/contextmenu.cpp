#include "contextmenu.h"

void registerContextMenu()
{
}

void unregisterContextMenu()
{
}

void writeVerbKey(const QString &, const QString &, const QString &)
{
}
