#include "interprocesslock.h"

#include <windows.h>

namespace Platform {

struct InterProcessLock::Native
{
    HANDLE mutex = nullptr;
    bool held = false;
    DWORD error = 0;
};

InterProcessLock::InterProcessLock(const QString &name)
    : d(std::make_unique<Native>())
{
    // Opened without taking it; the first process that names it creates it.
    d->mutex = CreateMutexW(nullptr, FALSE, reinterpret_cast<const wchar_t *>(name.utf16()));
    if (!d->mutex)
        d->error = GetLastError();
}

InterProcessLock::~InterProcessLock()
{
    unlock();
    if (d->mutex)
        CloseHandle(d->mutex);
}

InterProcessLock::Result InterProcessLock::lock(int timeoutMs)
{
    if (d->held)
        return Result::Acquired;
    if (!d->mutex)
        return Result::Failed;
    switch (WaitForSingleObject(d->mutex, DWORD(qMax(0, timeoutMs)))) {
    case WAIT_OBJECT_0:
        d->held = true;
        return Result::Acquired;
    case WAIT_ABANDONED:
        d->held = true;
        return Result::AcquiredAbandoned;
    case WAIT_TIMEOUT:
        return Result::TimedOut;
    default:
        d->error = GetLastError();
        return Result::Failed;
    }
}

bool InterProcessLock::unlock()
{
    if (!d->held)
        return true;
    d->held = false;
    if (ReleaseMutex(d->mutex))
        return true;
    d->error = GetLastError();
    return false;
}

bool InterProcessLock::isHeld() const
{
    return d->held;
}

QString InterProcessLock::errorString() const
{
    return qt_error_string(int(d->error));
}

} // namespace Platform
