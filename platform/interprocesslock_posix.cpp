#include "interprocesslock.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QThread>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace Platform {

struct InterProcessLock::Native
{
    QByteArray path;
    int fd = -1;
    bool held = false;
    int error = 0;
};

namespace {

// flock() has no time-out of its own. The lock is held for well under a millisecond at a time, so a waiter
// looks again soon at first and then less often, instead of sleeping a fixed step.
constexpr unsigned long FirstRetryMicroseconds = 200;
constexpr unsigned long LongestRetryMicroseconds = 5000;

} // namespace

InterProcessLock::InterProcessLock(const QString &name)
    : d(std::make_unique<Native>())
{
    d->path = QFile::encodeName(name);
}

InterProcessLock::~InterProcessLock()
{
    unlock();
    if (d->fd >= 0)
        ::close(d->fd);
}

InterProcessLock::Result InterProcessLock::lock(int timeoutMs)
{
    if (d->held)
        return Result::Acquired;
    if (d->fd < 0) {
        // The file is never removed: a copy that removed it while another held the lock would let a third
        // copy lock a new file beside the holder.
        d->fd = ::open(d->path.constData(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (d->fd < 0) {
            d->error = errno;
            return Result::Failed;
        }
    }
    QDeadlineTimer deadline(qMax(0, timeoutMs));
    unsigned long pause = FirstRetryMicroseconds;
    for (;;) {
        if (::flock(d->fd, LOCK_EX | LOCK_NB) == 0) {
            d->held = true;
            return Result::Acquired;
        }
        if (errno == EINTR)
            continue;
        if (errno != EWOULDBLOCK) {
            d->error = errno;
            return Result::Failed;
        }
        if (deadline.hasExpired())
            return Result::TimedOut;
        QThread::usleep(qMin<qint64>(pause, deadline.remainingTimeNSecs() / 1000 + 1));
        pause = qMin(pause * 2, LongestRetryMicroseconds);
    }
}

bool InterProcessLock::unlock()
{
    if (!d->held)
        return true;
    d->held = false;
    if (::flock(d->fd, LOCK_UN) == 0)
        return true;
    d->error = errno;
    return false;
}

bool InterProcessLock::isHeld() const
{
    return d->held;
}

QString InterProcessLock::errorString() const
{
    return QString::fromLocal8Bit(d->path) + QLatin1String(": ") +
           QString::fromLocal8Bit(std::strerror(d->error));
}

} // namespace Platform
