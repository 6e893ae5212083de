#ifndef OSTREL_SINGLEAPPLICATION_ELECTIONLOCKER_H
#define OSTREL_SINGLEAPPLICATION_ELECTIONLOCKER_H

#include "interprocesslock.h"

#include <QDebug>

// Holds the election's lock for one scope and gives it back when the scope ends, on every path. Each
// place that gives the lock back has its own message for a failure to do so; the locker carries it, so
// that no path can forget either the unlock or its message.
class ElectionLocker
{
public:
    // The longest any copy waits for the lock. It is held for well under a millisecond at a time, for a
    // few milliseconds by a primary starting its server; a wait this long means a holder that hangs, and
    // a copy that gives up goes on without a role rather than stall its selection.
    static constexpr int WaitBoundMs = 10000;

    explicit ElectionLocker(Platform::InterProcessLock &lock)
        : m_lock(lock)
    {}
    ~ElectionLocker() { unlock(); }
    ElectionLocker(const ElectionLocker &) = delete;
    ElectionLocker &operator=(const ElectionLocker &) = delete;

    Platform::InterProcessLock::Result relock() { return m_lock.lock(WaitBoundMs); }
    bool isHeld() const { return m_lock.isHeld(); }
    QString errorString() const { return m_lock.errorString(); }

    // The debug message logged, with the lock's error string after it, when the next unlock fails.
    void setUnlockFailureMessage(const char *message) { m_unlockFailureMessage = message; }
    // Gives the lock back now, if held.
    void unlock();

private:
    Platform::InterProcessLock &m_lock;
    const char *m_unlockFailureMessage = nullptr;
};

inline void ElectionLocker::unlock()
{
    if (!m_lock.isHeld())
        return;
    if (!m_lock.unlock() && m_unlockFailureMessage) {
        qDebug().noquote() << m_unlockFailureMessage;
        qDebug().noquote() << m_lock.errorString();
    }
}

#endif
