#ifndef OSTREL_PLATFORM_INTERPROCESSLOCK_H
#define OSTREL_PLATFORM_INTERPROCESSLOCK_H

#include <QString>

#include <memory>

namespace Platform {

// A lock that every process naming it alike shares, and that the system gives back when its holder ends
// in any way: returns, exits, crashes or is killed. Windows: a named mutex (a holder that died hands it to
// the next waiter as "abandoned"). Elsewhere: an advisory lock (flock) on a file that stays, which the
// kernel drops with the holder's last descriptor. Not recursive across processes; within one process a
// second lock() of a held lock succeeds at once and one unlock() gives it back.
class InterProcessLock
{
public:
    enum class Result {
        Acquired,
        // Acquired from a holder that ended without giving it back: what it guarded may be half-written.
        AcquiredAbandoned,
        TimedOut,
        Failed, // the lock cannot be opened or waited on; errorString() says why
    };

    // `name` as Platform::ipcObjectName gives it.
    explicit InterProcessLock(const QString &name);
    ~InterProcessLock(); // gives the lock back if this object holds it
    InterProcessLock(const InterProcessLock &) = delete;
    InterProcessLock &operator=(const InterProcessLock &) = delete;

    // Waits at most timeoutMs for the lock.
    Result lock(int timeoutMs);
    bool unlock();
    bool isHeld() const;
    QString errorString() const;

private:
    struct Native;
    std::unique_ptr<Native> d;
};

} // namespace Platform

#endif
