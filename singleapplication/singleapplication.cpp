// The election: keying, opening the shared block, waiting for it to be consistent, taking a role, and
// giving the role back in the teardown.

#include "singleapplication.h"
#include "singleapplication_p.h"

#include "electionlocker.h"
#include "electionlog.h"
#include "instancekey.h"
#include "platform.h"
#include "randompause.h"

#include <QDebug>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>

#include <cstdlib>

namespace {

// A block that stays inconsistent this long was left so by a copy that died halfway through a write.
constexpr qint64 InconsistentBlockGraceMs = 5000;

// A primary that ended without its teardown (killed, crashed) leaves its claim behind, and on systems
// where the segment outlives every process that claim would never go away. Whoever decides next frees
// it as the teardown would have, keeping the count of secondaries. A claim in this copy's own process id
// is a dead primary's too: the system handed the id on (Windows reuses ids quickly), and this copy has
// not claimed anything yet.
void releaseDeadPrimary(InstanceBlock *block)
{
    if (!block->hasPrimary)
        return;
    const QString ownImage = QFileInfo(QCoreApplication::applicationFilePath()).fileName();
    if (block->primaryProcessId == QCoreApplication::applicationPid() ||
        !Platform::isProcessAlive(block->primaryProcessId, ownImage))
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
    // One lock for every step that opens, reads or writes the block. The system gives it back when a
    // holder dies, so no copy can leave the others waiting; and the block is opened by its native name,
    // which takes no lock of QSharedMemory's own (a QSystemSemaphore there, which nobody gives back for a
    // copy that dies holding it).
    d->electionLock = std::make_unique<Platform::InterProcessLock>(electionLockName(d->instanceKey));
    ElectionLocker locker(*d->electionLock);
    if (lockOrGiveUp(locker, "SingleApplication: Unable to lock memory block after attach.")) {
        openSharedBlock();
        if (waitForConsistentBlock(locker)) {
            takeRole(locker, allowSecondary, timeoutMs); // the locker gives the lock back on return
            return;
        }
    }
    goOnWithoutRole(allowSecondary, timeoutMs);
}

SingleApplication::~SingleApplication() = default;

// True once the lock is held. A lock that cannot be had at all is fatal; one held by a copy that hangs is
// waited for only so long (false then).
bool SingleApplication::lockOrGiveUp(ElectionLocker &locker, const char *failureMessage)
{
    switch (locker.relock()) {
    case Platform::InterProcessLock::Result::Acquired:
    case Platform::InterProcessLock::Result::AcquiredAbandoned:
        // A holder that died may have stopped halfway through a write: the checksum shows it, and a claim
        // of a process that is gone is released before the role is decided.
        return true;
    case Platform::InterProcessLock::Result::TimedOut:
        return false;
    case Platform::InterProcessLock::Result::Failed:
        break;
    }
    qCritical().noquote() << failureMessage;
    failOnLockError(locker.errorString());
}

// How long a copy keeps making the block's key file anew while something removes it.
constexpr qint64 KeyFileRetryBoundMs = 1000;

// Under the lock, so that no copy can take the segment away (the last one to detach removes it) between
// another's look for it and its attach, and no two copies create it together. Leaves no block when the
// one there is another account's: the election then rests on the primary's lock alone.
void SingleApplication::openSharedBlock()
{
    Q_D(SingleApplication);
    const QString nativeKey = sharedBlockNativeKey(d->instanceKey);
    const auto freshSegment = [&] {
        d->sharedBlock = std::make_unique<QSharedMemory>();
        d->sharedBlock->setNativeKey(nativeKey);
    };
    // NotFound when the key file was missing, KeyError when it went between that look and ftok().
    const auto keyFileGone = [&] {
        const QSharedMemory::SharedMemoryError error = d->sharedBlock->error();
        return error == QSharedMemory::NotFound || error == QSharedMemory::KeyError;
    };
    bool opened = false;
    // The key file lives in the account's folder, where a clean-up (or the account) may remove it at any
    // moment, also between create()'s making of it and its use: then both calls find nothing, and trying
    // again makes a new one. Bounded by time rather than by tries, since on a busy machine each try may be
    // slow enough for a remover to win several in a row; a key file that cannot be made at all (a link to
    // nowhere in its place) ends on the fatal path after the bound, as before.
    QElapsedTimer trying;
    trying.start();
    const auto tryAgain = [&] { return keyFileGone() && trying.elapsed() < KeyFileRetryBoundMs; };
    for (;;) {
        freshSegment();
        opened = d->sharedBlock->attach(QSharedMemory::ReadWrite);
        if (opened || !keyFileGone())
            break;
        if (d->sharedBlock->create(InstanceBlockSize, QSharedMemory::ReadWrite)) {
            // Made by this copy under the lock, with the system's mode for it: ours.
            d->resetInstanceBlock();
            return;
        }
        // The file gone again before create() derived the key from it (NotFound, or KeyError when
        // ftok() finds nothing).
        if (tryAgain())
            continue;
        // Another program that does not take our lock may have made it after all, or an account that
        // worked the key out. A QSharedMemory whose create() failed keeps an error in its own lock that
        // fails every later attach() (Qt 5.15), so the attach gets an object of its own.
        if (d->sharedBlock->error() != QSharedMemory::AlreadyExists &&
            d->sharedBlock->error() != QSharedMemory::PermissionDenied) {
            qCritical().noquote() << "SingleApplication: Unable to create block.";
            failOnSharedMemoryError();
        }
        freshSegment();
        opened = d->sharedBlock->attach(QSharedMemory::ReadWrite);
        if (opened || !tryAgain())
            break;
    }
    if (!opened && d->sharedBlock->error() != QSharedMemory::PermissionDenied) {
        qCritical().noquote() << "SingleApplication: Unable to attach to shared memory block.";
        failOnSharedMemoryError();
    }
    // A segment that another account made first under our key (it may read the key from the system's list
    // of segments), or one of ours that others may write: whoever holds it could stop every selection of
    // this account, or make two primaries. It is never used.
    if (!opened || Platform::isSharedBlockOfAnotherAccount(nativeKey)) {
        qWarning().noquote() << "SingleApplication: The memory block" << nativeKey
                             << "is not this account's own; electing without it.";
        // Left attached, untouched, until the process ends: QSharedMemory's detach removes a segment that
        // nobody else has attached, and its key file, and the segment is not ours to remove.
        // Held from a static, not dropped: the process keeps the attachment to its end on purpose.
        // (A plain pointer: a static that is destroyed at exit would lose it before the leak check.)
        static QSharedMemory *volatile keptAttached = nullptr;
        if (opened)
            keptAttached = d->sharedBlock.release();
        Q_UNUSED(keptAttached)
        d->sharedBlock.reset();
    }
}

// A mismatch means a copy stopped halfway through a write. Give it time, then assume the writer is gone.
// False when the lock could not be had again within its bound.
bool SingleApplication::waitForConsistentBlock(ElectionLocker &locker)
{
    Q_D(SingleApplication);
    QElapsedTimer inconsistentFor;
    inconsistentFor.start();
    while (d->sharedBlock && !isInstanceBlockConsistent(d->instanceBlock())) {
        if (inconsistentFor.elapsed() > InconsistentBlockGraceMs) {
            qWarning().noquote()
                << "SingleApplication: Shared memory block has been in an inconsistent state "
                   "from more than 5s. Assuming primary instance failure.";
            d->resetInstanceBlock();
        }
        locker.setUnlockFailureMessage("SingleApplication: Unable to unlock memory for random wait.");
        locker.unlock();
        randomPause();
        if (!lockOrGiveUp(locker, "SingleApplication: Unable to lock memory after random wait."))
            return false;
    }
    return true;
}

void SingleApplication::takeRole(ElectionLocker &locker, bool allowSecondary, int timeoutMs)
{
    Q_D(SingleApplication);
    InstanceBlock *block = d->sharedBlock ? d->instanceBlock() : nullptr;
    // For the trail: what the decision was made on.
    const InstanceBlock found = block ? *block : InstanceBlock{};
    if (block)
        releaseDeadPrimary(block);

    // The block decides first; the primary's lock then catches a primary that the block does not name: one
    // elected without a block, or on a block that was replaced while it ran (its key file removed and made
    // again gives a new segment), which would otherwise make this copy a second primary.
    if (!(block && block->hasPrimary) && d->takePrimaryLock()) {
        d->becomePrimary();
        if (found.hasPrimary)
            qCDebug(lcElection, "pid %lld: primary: the recorded primary, process %lld, is gone",
                    QCoreApplication::applicationPid(), found.primaryProcessId);
        else if (block)
            qCDebug(lcElection, "pid %lld: primary: the block named no primary",
                    QCoreApplication::applicationPid());
        else
            qCDebug(lcElection,
                    "pid %lld: primary: no block of this account, and no copy held the primary's lock",
                    QCoreApplication::applicationPid());
        locker.setUnlockFailureMessage("SingleApplication: Unable to unlock memory after primary start.");
        return;
    }

    if (allowSecondary) {
        d->becomeSecondary();
        qCDebug(lcElection, "pid %lld: secondary %u: primary %lld runs%s", QCoreApplication::applicationPid(),
                d->ownInstanceId, d->primaryProcessId,
                block && block->hasPrimary ? "" : " (its lock is held, the block names it not)");
        // Still under the lock, so that the handshake carries the number just taken.
        if (d->startOptions.testFlag(NotifyPrimaryOfSecondaries))
            d->contactPrimary(timeoutMs, HandshakeKind::SecondaryLaunch);
        locker.setUnlockFailureMessage("SingleApplication: Unable to unlock memory after secondary start.");
        return;
    }

    qCDebug(lcElection, "pid %lld: refused: primary %lld runs, and this copy may not run beside it",
            QCoreApplication::applicationPid(), qint64(block ? block->primaryProcessId : 0));
    locker.setUnlockFailureMessage("SingleApplication: Unable to unlock memory at end of execution.");
    locker.unlock();
    endRefusedCopy(timeoutMs);
}

// The lock stayed with a copy that hangs. Whatever this copy was started for goes on as a secondary's
// would (the launcher spools its path for whichever primary gathers next), uncounted, since the block
// cannot be written; a copy that may not run beside a primary ends as a refused one.
void SingleApplication::goOnWithoutRole(bool allowSecondary, int timeoutMs)
{
    qWarning().noquote() << "SingleApplication: Timed out waiting for the lock of the memory block; "
                            "going on without a role.";
    qCDebug(lcElection, "pid %lld: no role: the election's lock stayed taken for %d ms; going on %s",
            QCoreApplication::applicationPid(), ElectionLocker::WaitBoundMs,
            allowSecondary ? "as an uncounted secondary" : "as a refused copy");
    if (!allowSecondary)
        endRefusedCopy(timeoutMs);
}

void SingleApplication::endRefusedCopy(int timeoutMs)
{
    Q_D(SingleApplication);
    d->contactPrimary(timeoutMs, HandshakeKind::DuplicateLaunch);
    d_ptr.reset();
    ::exit(EXIT_SUCCESS);
}

void SingleApplication::failOnSharedMemoryError()
{
    Q_D(SingleApplication);
    failWith(int(d->sharedBlock->error()), d->sharedBlock->errorString());
}

void SingleApplication::failOnLockError(const QString &errorString)
{
    failWith(int(QSharedMemory::LockError), errorString);
}

void SingleApplication::failWith(int errorCode, const QString &errorString)
{
    // Three items of one stream: the prefix, the error code and the error string, which the stream quotes.
    qCritical() << "SingleApplication: " << errorCode << errorString;
    // The teardown gives the lock back, as the system would not on every platform after exit().
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

qint64 SingleApplication::primaryProcessId() const
{
    Q_D(const SingleApplication);
    return d->primaryProcessId;
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
    if ((sharedBlock || primaryLock) && electionLock) {
        ElectionLocker locker(*electionLock);
        const auto locked = locker.relock();
        if (locked == Platform::InterProcessLock::Result::Acquired ||
            locked == Platform::InterProcessLock::Result::AcquiredAbandoned) {
            if (holdsPrimaryRole) {
                stopLocalServer();
                if (sharedBlock)
                    releaseInstanceBlock(instanceBlock());
            }
            // Given back with the claim, under the election's lock, so that no copy decides in between.
            primaryLock.reset();
            // Detached under the lock: the last copy to detach takes the segment away.
            sharedBlock.reset();
        } else {
            // A copy that hangs holds the lock (or it cannot be had at all): leave the segment attached until
            // the process ends (the system detaches it then) and the claim of a primary to the next copy,
            // which releases the claim of a process that is gone.
            static_cast<void>(sharedBlock.release());
            static_cast<void>(primaryLock.release());
        }
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

bool SingleApplicationPrivate::takePrimaryLock()
{
    primaryLock = std::make_unique<Platform::InterProcessLock>(primaryLockName(instanceKey));
    const auto taken = primaryLock->lock(0);
    if (taken == Platform::InterProcessLock::Result::TimedOut) {
        primaryLock.reset();
        return false;
    }
    // A lock that cannot be had at all decides nothing: the block's answer stands (two primaries hand off
    // every path once; none would hand off nothing).
    return true;
}

void SingleApplicationPrivate::becomePrimary()
{
    if (sharedBlock)
        claimInstanceBlock(instanceBlock(), QCoreApplication::applicationPid(), Platform::userName());
    holdsPrimaryRole = true;
    ownInstanceId = 0;
    primaryProcessId = QCoreApplication::applicationPid();
    startLocalServer();
}

void SingleApplicationPrivate::becomeSecondary()
{
    // Without a block there is nobody to count with: the copy stays unnumbered, as one without a role.
    primaryProcessId = sharedBlock && instanceBlock()->hasPrimary ? instanceBlock()->primaryProcessId : 0;
    ownInstanceId = sharedBlock ? admitSecondary(instanceBlock()) : 0;
}
