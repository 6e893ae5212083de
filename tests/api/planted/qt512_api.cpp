// Near misses: Qt names that Qt 5.12 has, some beside a newer overload or spelled like a newer name. The
// check passes this file. Never built; the check reads it as clang does.

#include <QDataStream>
#include <QDate>
#include <QList>
#include <QMutex>
#include <QRandomGenerator64>
#include <QStringList>

QStringList plantedQt512Api(const QString &text, QList<int> &numbers)
{
    numbers.swap(0, 1);
    QMutex mutex(QMutex::Recursive);
    QDate date;
    date.setDate(2020, 1, 1);
    const int streamVersion = QDataStream::Qt_5_12;
    Q_UNUSED(streamVersion)
    for (const int number : qAsConst(numbers))
        Q_UNUSED(number)
    // With the separator alone, Qt 5.12 picks the overload that takes QString::SplitBehavior; newer Qt's
    // headers pick the one with Qt::SplitBehavior, which the call does not name.
    QStringList words = text.split(QLatin1Char(','));
    words += text.split(QLatin1Char(';'), QString::SkipEmptyParts);
    words << QString::number(QRandomGenerator64::global()->generate()) << QStringLiteral("literal");
    return words;
}
