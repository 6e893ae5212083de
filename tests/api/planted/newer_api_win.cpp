// A Windows-only source, which no Linux build compiles: the check reads it for the MinGW target, with
// the flags of the source beside it. Never built.

#include <QList>

void plantedWindowsOnly(QList<int> &numbers)
{
#ifdef Q_OS_WIN
    numbers.swapItemsAt(0, 1); // refused: QList::swapItemsAt 5.13
#else
    numbers.swap(0, 1);
#endif
}
