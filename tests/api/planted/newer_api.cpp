// Qt names that came after Qt 5.12, each on a line that says what the check reports for it: the name as
// the check spells it and the Qt version that brought it. Never built; the check reads it as clang does.

#include <QAbstractItemModel>
#include <QCalendar>
#include <QDataStream>
#include <QDate>
#include <QFile>
#include <QList>
#include <QRecursiveMutex>
#include <QStringList>

namespace {

class Planted
{
    Q_DISABLE_COPY_MOVE(Planted) // refused: Q_DISABLE_COPY_MOVE 5.13
public:
    Planted() = default;
};

} // namespace

QStringList plantedNewerApi(const QString &text, QList<int> &numbers)
{
    numbers.swapItemsAt(0, 1); // refused: QList::swapItemsAt 5.13
    QRecursiveMutex mutex;     // refused: QRecursiveMutex 5.14
    QDate date;
    date.setDate(2020, 1, 1, QCalendar());                   // refused: QDate::setDate 5.14, QCalendar 5.14
    QFile::moveToTrash(text);                                // refused: QFile::moveToTrash 5.15
    const Qt::MatchFlags match = Qt::MatchRegularExpression; // refused: Qt::MatchRegularExpression 5.15
    const int streamVersion = QDataStream::Qt_5_13;          // refused: QDataStream::Qt_5_13 5.13
    Q_UNUSED(streamVersion)
    Q_UNUSED(match)
    const auto skip = Qt::SkipEmptyParts;      // refused: Qt::SkipEmptyParts 5.14
    return text.split(QLatin1Char(','), skip); // refused: QString::split 5.14
}
