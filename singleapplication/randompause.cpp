#include "randompause.h"

#include <QRandomGenerator64>
#include <QThread>

void randomPause()
{
    // Scaled from 32 bits: a uniform whole number of milliseconds from 8 to 17.
    const quint64 r = quint32(QRandomGenerator64::global()->generate());
    QThread::msleep(8 + ((r * 10) >> 32));
}
