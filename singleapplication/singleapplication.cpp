// The election: keying, opening the shared block, waiting for it to be consistent, taking a role, and
// giving the role back in the teardown.

#include "singleapplication.h"
#include "singleapplication_p.h"

#include "instancekey.h"
#include "platform.h"

#include <QDebug>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QList>
#include <QLocalServer>
#include <QLocalSocket>
#include <QRandomGenerator64>
#include <QSystemSemaphore>
#include <QThread>

#include <cstdlib>

namespace {

// How often a copy opens the segment anew when it vanished underneath (see openSharedBlock).
constexpr int SegmentOpenAttempts = 5;

// A block that stays inconsistent this long was left so by a copy that died halfway through a write.
constexpr qint64 InconsistentBlockGraceMs = 5000;

// Logs the segment's error string as its own message, at debug level like the message before it.
void debugSharedMemoryError(const char *message, const QSharedMemory &segment)
{
    qDebug().noquote() << message;
    qDebug().noquote() << segment.errorString();
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

// The turn of one copy at creating the block: a semaphore of its own, which (unlike the block's lock) no
// create() resets. Released by the destructor, or by the system when the copy ends holding it.
class CreatorsTurn
{
public:
    explicit CreatorsTurn(const QString &instanceKey)
        : m_semaphore(keptSemaphore(instanceKey + QLatin1String("/creating")))
        , m_held(m_semaphore->acquire())
    {}
    ~CreatorsTurn()
    {
        if (m_held)
            m_semaphore->release();
    }
    Q_DISABLE_COPY(CreatorsTurn)

private:
    // One object per process (there is one application object, so one key), never destroyed, for the
    // reason given at retireSharedBlock: where the semaphore is a System V one, destroying the object
    // that made it would remove it under the copies waiting on it.
    static QSystemSemaphore *keptSemaphore(const QString &key)
    {
        static auto *const semaphore = new QSystemSemaphore(key, 1, QSystemSemaphore::Open);
        return semaphore;
    }

    QSystemSemaphore *const m_semaphore;
    const bool m_held;
};

} // namespace

void randomPause()
{
    // Scaled from 32 bits: a uniform whole number of milliseconds from 8 to 17.
    const quint64 r = quint32(QRandomGenerator64::global()->generate());
    QThread::msleep(8 + ((r * 10) >> 32));
}

// Where the lock is a System V semaphore, destroying the object that happened to create it removes the
// semaphore and its key file while other copies are waiting on it or deriving its key: their lock or create
// then fails and they end with status 1, or they make a second semaphore and lock each other out no longer.
// One semaphore per key that stays is the lesser cost. Detaching still lets the segment go with its last
// user.
void retireSharedBlock(std::unique_ptr<QSharedMemory> segment)
{
    segment->detach();
    // Deliberately never destroyed, not even by the static destructors that exit() runs: reachable to the
    // end, so that nothing reports it as lost either.
    static auto *const kept = new QList<QSharedMemory *>;
    kept->append(segment.release());
}

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
    // Attaches a fresh object to the block and takes its lock; false when there is no block to attach to.
    const auto attachFreshObject = [this, d] {
        d->sharedBlock = std::make_unique<QSharedMemory>(d->instanceKey);
        if (!d->sharedBlock->attach(QSharedMemory::ReadWrite))
            return false;
        if (!d->sharedBlock->lock()) {
            qCritical().noquote() << "SingleApplication: Unable to lock memory block after attach.";
            failOnSharedMemoryError();
        }
        return true;
    };
    for (int attempt = 1;; ++attempt) {
        const bool mayRetry = attempt < SegmentOpenAttempts;
        // A block that exists is attached without create(): on Unix, create() first resets the lock's
        // semaphore to one (to recover from an owner that crashed), also when the segment exists and another
        // copy holds the lock at that moment, and would let this copy in beside it (two primaries, one
        // selection handed off twice). Only when there is no block does the copy go on to create it.
        if (attachFreshObject())
            return;
        retireSharedBlock(std::move(d->sharedBlock));
        // Copies that find no block together would still create it together, and the later create() would
        // reset the lock under the first creator. So they take turns, and each looks again first: the one
        // before may have made the block. The turn ends when this function returns, by then holding the
        // block's lock.
        const CreatorsTurn turn(d->instanceKey);
        if (attachFreshObject())
            return;
        retireSharedBlock(std::move(d->sharedBlock));
        d->sharedBlock = std::make_unique<QSharedMemory>(d->instanceKey);
        if (d->sharedBlock->create(InstanceBlockSize, QSharedMemory::ReadWrite)) {
            if (!d->sharedBlock->lock()) {
                qCritical().noquote() << "SingleApplication: Unable to lock memory block after create.";
                failOnSharedMemoryError();
            }
            d->resetInstanceBlock();
            return;
        }
        if (d->sharedBlock->error() == QSharedMemory::AlreadyExists) {
            // Attach through a fresh object: re-keying the one that tried to create would let go of the
            // lock it may have created a moment ago (see retireSharedBlock).
            retireSharedBlock(std::move(d->sharedBlock));
            if (attachFreshObject())
                return;
            if (!mayRetry) {
                qCritical().noquote() << "SingleApplication: Unable to attach to shared memory block.";
                failOnSharedMemoryError();
            }
        } else if (!mayRetry || (d->sharedBlock->error() != QSharedMemory::NotFound &&
                                 d->sharedBlock->error() != QSharedMemory::KeyError)) {
            qCritical().noquote() << "SingleApplication: Unable to create block.";
            failOnSharedMemoryError();
        }
        retireSharedBlock(std::move(d->sharedBlock));
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
            d->resetInstanceBlock();
        }
        if (!d->sharedBlock->unlock())
            debugSharedMemoryError("SingleApplication: Unable to unlock memory for random wait.",
                                   *d->sharedBlock);
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
                                   *d->sharedBlock);
        return;
    }

    if (allowSecondary) {
        d->becomeSecondary();
        // Still under the lock, so that the handshake carries the number just taken.
        if (d->startOptions.testFlag(NotifyPrimaryOfSecondaries))
            d->contactPrimary(timeoutMs, HandshakeKind::SecondaryLaunch);
        if (!d->sharedBlock->unlock())
            debugSharedMemoryError("SingleApplication: Unable to unlock memory after secondary start.",
                                   *d->sharedBlock);
        return;
    }

    if (!d->sharedBlock->unlock())
        debugSharedMemoryError("SingleApplication: Unable to unlock memory at end of execution.",
                               *d->sharedBlock);
    d->contactPrimary(timeoutMs, HandshakeKind::DuplicateLaunch);
    d_ptr.reset();
    ::exit(EXIT_SUCCESS);
}

void SingleApplication::failOnSharedMemoryError()
{
    Q_D(SingleApplication);
    // Three items of one stream: the prefix, the error code and the error string, which the stream quotes.
    qCritical() << "SingleApplication: " << int(d->sharedBlock->error()) << d->sharedBlock->errorString();
    d_ptr.reset();
    ::exit(EXIT_FAILURE);
}

bool SingleApplication::runsAsSecondary() const
{
    Q_D(const SingleApplication);
    return !d->holdsPrimaryRole;
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

SingleApplicationPrivate::SingleApplicationPrivate(SingleApplication *owner)
    : owner(owner)
{}

// The teardown, run by the owner's destructor and on the two paths that end the process inside the
// constructor. A secondary that ends the process itself runs none of it.
SingleApplicationPrivate::~SingleApplicationPrivate()
{
    if (primarySocket) {
        primarySocket->close();
        primarySocket.reset();
    }
    if (sharedBlock) {
        sharedBlock->lock();
        if (holdsPrimaryRole) {
            stopLocalServer();
            releaseInstanceBlock(instanceBlock());
        }
        sharedBlock->unlock();
        retireSharedBlock(std::move(sharedBlock));
    }
    // A server started without a block (see startLocalServer) goes too, while the records its sockets
    // remove themselves from still exist.
    stopLocalServer();
}

void SingleApplicationPrivate::appendUserData(const QString &userData)
{
    userDataList.append(userData);
}

void SingleApplicationPrivate::computeInstanceKey()
{
    InstanceIdentity identity;
    identity.applicationName = QCoreApplication::applicationName();
    identity.organizationName = QCoreApplication::organizationName();
    identity.organizationDomain = QCoreApplication::organizationDomain();
    identity.userData = userDataList;
    if (!startOptions.testFlag(SingleApplication::KeyWithoutVersion))
        identity.applicationVersion = QCoreApplication::applicationVersion();
    if (!startOptions.testFlag(SingleApplication::KeyWithoutPath))
        identity.applicationFilePath = QCoreApplication::applicationFilePath();
    if (startOptions.testFlag(SingleApplication::UserScoped))
        identity.userName = Platform::userName();
    instanceKey = deriveInstanceKey(identity);
}

InstanceBlock *SingleApplicationPrivate::instanceBlock() const
{
    return static_cast<InstanceBlock *>(sharedBlock->data());
}

void SingleApplicationPrivate::resetInstanceBlock()
{
    ::resetInstanceBlock(instanceBlock());
}

void SingleApplicationPrivate::becomePrimary()
{
    claimInstanceBlock(instanceBlock(), QCoreApplication::applicationPid(), Platform::userName());
    holdsPrimaryRole = true;
    ownInstanceId = 0;
    startLocalServer();
}

void SingleApplicationPrivate::becomeSecondary()
{
    ownInstanceId = admitSecondary(instanceBlock());
}
