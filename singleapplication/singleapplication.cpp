#include "singleapplication.h"
#include "singleapplication_p.h"

#include "platform.h"

#include <QDebug>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QSharedMemory>

#include <cstdlib>

namespace {

// How often a copy opens the segment anew when it vanished underneath (see openSharedBlock).
constexpr int SegmentOpenAttempts = 5;

// A block that stays inconsistent this long was left so by a copy that died halfway through a write.
constexpr qint64 InconsistentBlockGraceMs = 5000;

// Logs the segment's error string as its own message, at debug level like the message before it.
void debugSharedMemoryError(const char *message, const QSharedMemory *segment)
{
    qDebug().noquote() << message;
    qDebug().noquote() << segment->errorString();
}

// A primary that ended without its teardown (killed, crashed) leaves its claim behind, and on systems
// where the segment outlives every process that claim would never go away. Whoever decides next frees
// it as the teardown would have, keeping the count of secondaries.
void releaseDeadPrimary(InstanceBlock *block)
{
    if (!block->hasPrimary)
        return;
    const QString ownImage = QFileInfo(QCoreApplication::applicationFilePath()).fileName();
    if (!Platform::isProcessAlive(block->primaryProcessId, ownImage))
        releaseInstanceBlock(block);
}

} // namespace

SingleApplication::SingleApplication(int &argc, char **argv, bool allowSecondary, StartOptions options,
                                     int timeoutMs, const QString &userData)
    : QCoreApplication(argc, argv)
    , d_ptr(new SingleApplicationPrivate(this))
{
    Q_D(SingleApplication);
    d->startOptions = options;
    if (!userData.isEmpty())
        d->appendUserData(userData);
    d->computeInstanceKey();

    randomPause();
    openSharedBlock(); // returns holding the segment's lock
    waitForConsistentBlock();
    takeRole(allowSecondary, timeoutMs); // gives the lock back, or ends a refused copy
}

SingleApplication::~SingleApplication() = default;

// The last user of a segment may detach (and so remove it) at any point between our failed create and the
// end of our attach, or remove its key file while we derive the key from it. Ending with status 1 then
// would lose the path this copy was started for, so those failures start over, a few times at most: an
// attach that fails after a create found the segment, and a create that lost its key.
void SingleApplication::openSharedBlock()
{
    Q_D(SingleApplication);
    for (int attempt = 1;; ++attempt) {
        const bool mayRetry = attempt < SegmentOpenAttempts;
        d->sharedBlock = new QSharedMemory(d->instanceKey);
        if (d->sharedBlock->create(InstanceBlockSize, QSharedMemory::ReadWrite)) {
            if (!d->sharedBlock->lock()) {
                qCritical().noquote() << "SingleApplication: Unable to lock memory block after create.";
                failOnSharedMemoryError();
            }
            resetInstanceBlock(d->instanceBlock());
            return;
        }
        if (d->sharedBlock->error() == QSharedMemory::AlreadyExists) {
            // Attach through a fresh object: re-keying the one that tried to create would let go of the
            // lock it may have created a moment ago (see retireSharedBlock).
            retireSharedBlock(d->sharedBlock);
            d->sharedBlock = new QSharedMemory(d->instanceKey);
            if (d->sharedBlock->attach(QSharedMemory::ReadWrite)) {
                if (!d->sharedBlock->lock()) {
                    qCritical().noquote() << "SingleApplication: Unable to lock memory block after attach.";
                    failOnSharedMemoryError();
                }
                return;
            }
            if (!mayRetry) {
                qCritical().noquote() << "SingleApplication: Unable to attach to shared memory block.";
                failOnSharedMemoryError();
            }
        } else if (!mayRetry || (d->sharedBlock->error() != QSharedMemory::NotFound &&
                                 d->sharedBlock->error() != QSharedMemory::KeyError)) {
            qCritical().noquote() << "SingleApplication: Unable to create block.";
            failOnSharedMemoryError();
        }
        retireSharedBlock(d->sharedBlock);
        d->sharedBlock = nullptr;
        randomPause();
    }
}

// A mismatch means a copy stopped halfway through a write, or the creator has not reset a new segment yet.
// Give it time, then assume the writer is gone.
void SingleApplication::waitForConsistentBlock()
{
    Q_D(SingleApplication);
    QElapsedTimer inconsistentFor;
    inconsistentFor.start();
    while (!isInstanceBlockConsistent(d->instanceBlock())) {
        if (inconsistentFor.elapsed() > InconsistentBlockGraceMs) {
            qWarning().noquote()
                << "SingleApplication: Shared memory block has been in an inconsistent state "
                   "from more than 5s. Assuming primary instance failure.";
            resetInstanceBlock(d->instanceBlock());
        }
        if (!d->sharedBlock->unlock())
            debugSharedMemoryError("SingleApplication: Unable to unlock memory for random wait.",
                                   d->sharedBlock);
        randomPause();
        if (!d->sharedBlock->lock()) {
            qCritical().noquote() << "SingleApplication: Unable to lock memory after random wait.";
            failOnSharedMemoryError();
        }
    }
}

void SingleApplication::takeRole(bool allowSecondary, int timeoutMs)
{
    Q_D(SingleApplication);
    releaseDeadPrimary(d->instanceBlock());

    if (!d->instanceBlock()->hasPrimary) {
        d->becomePrimary();
        if (!d->sharedBlock->unlock())
            debugSharedMemoryError("SingleApplication: Unable to unlock memory after primary start.",
                                   d->sharedBlock);
        return;
    }

    if (allowSecondary) {
        d->becomeSecondary();
        // Still under the lock, so that the handshake carries the number just taken.
        if (d->startOptions.testFlag(NotifyPrimaryOfSecondaries))
            d->contactPrimary(timeoutMs, SecondaryLaunch);
        if (!d->sharedBlock->unlock())
            debugSharedMemoryError("SingleApplication: Unable to unlock memory after secondary start.",
                                   d->sharedBlock);
        return;
    }

    if (!d->sharedBlock->unlock())
        debugSharedMemoryError("SingleApplication: Unable to unlock memory at end of execution.",
                               d->sharedBlock);
    d->contactPrimary(timeoutMs, DuplicateLaunch);
    d_ptr.reset();
    ::exit(EXIT_SUCCESS);
}

bool SingleApplication::runsAsSecondary() const
{
    Q_D(const SingleApplication);
    return d->localServer == nullptr;
}

quint32 SingleApplication::instanceId() const
{
    Q_D(const SingleApplication);
    return d->ownInstanceId;
}

QString SingleApplication::instanceKey() const
{
    Q_D(const SingleApplication);
    return d->instanceKey;
}

void SingleApplication::failOnSharedMemoryError()
{
    Q_D(SingleApplication);
    // Three items of one stream: the prefix, the error code and the error string, which the stream quotes.
    qCritical() << "SingleApplication: " << int(d->sharedBlock->error()) << d->sharedBlock->errorString();
    d_ptr.reset();
    ::exit(EXIT_FAILURE);
}
