#include "singleapplication.h"
#include "singleapplication_p.h"

#include "platform.h"

#include <QCryptographicHash>
#include <QDebug>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <QRandomGenerator64>
#include <QSharedMemory>
#include <QThread>

#include <cstdlib>
#include <cstring>

quint16 instanceBlockChecksum(const InstanceBlock *block)
{
    return qChecksum(reinterpret_cast<const char *>(block), uint(InstanceBlockChecksummedBytes));
}

// Writers touch only their own fields: padding and the tail of the user name keep whatever they held,
// and the checksum covers them all the same.
void resetInstanceBlock(InstanceBlock *block)
{
    block->hasPrimary = 0;
    block->secondaryCount = 0;
    block->primaryProcessId = -1;
    block->primaryUserName[0] = '\0';
    block->checksum = instanceBlockChecksum(block);
}

void claimInstanceBlock(InstanceBlock *block, qint64 processId, const QString &userName)
{
    block->hasPrimary = 1;
    block->primaryProcessId = processId;
    // Cut by bytes, not characters: the field is a C string for readers in any language.
    qstrncpy(block->primaryUserName, userName.toUtf8().constData(), sizeof block->primaryUserName);
    block->checksum = instanceBlockChecksum(block);
}

void releaseInstanceBlock(InstanceBlock *block)
{
    block->hasPrimary = 0;
    block->primaryProcessId = -1;
    block->primaryUserName[0] = '\0';
    block->checksum = instanceBlockChecksum(block);
}

QString currentUserName()
{
    return Platform::userName();
}

void randomPause()
{
    // Scaled from 32 bits: a uniform whole number of milliseconds from 8 to 17.
    const quint64 r = quint32(QRandomGenerator64::global()->generate());
    QThread::msleep(8 + ((r * 10) >> 32));
}

// Logs the segment's error string as its own message, at debug level like the message before it.
static void debugSharedMemoryError(const char *message, const QSharedMemory *segment)
{
    qDebug().noquote() << message;
    qDebug().noquote() << segment->errorString();
}

// How often a copy opens the segment anew when it vanished underneath (see the constructor).
static constexpr int SegmentOpenAttempts = 5;

// Detaches the segment (which goes away with its last user) but keeps the object, and with it the
// system-wide lock, until the process ends. Where the lock is a System V semaphore, destroying the object
// that happened to create it removes the semaphore and its key file while other copies are waiting on it
// or deriving its key: their lock or create then fails and they end with status 1, or they make a second
// semaphore and lock each other out no longer. One semaphore per key that stays is the lesser cost.
static void retireSegment(QSharedMemory *segment)
{
    segment->detach();
    static auto *const retired = new QList<QSharedMemory *>; // reachable to the end, never freed
    retired->append(segment);
}

SingleApplicationPrivate::SingleApplicationPrivate(SingleApplication *owner)
    : owner(owner)
    , sharedBlock(nullptr)
    , primarySocket(nullptr)
    , localServer(nullptr)
    , ownInstanceId(0)
{}

SingleApplicationPrivate::~SingleApplicationPrivate()
{
    if (primarySocket) {
        primarySocket->close();
        delete primarySocket;
        primarySocket = nullptr;
    }
    if (sharedBlock) {
        sharedBlock->lock();
        if (localServer) {
            localServer->close();
            delete localServer;
            localServer = nullptr;
            releaseInstanceBlock(instanceBlock());
        }
        sharedBlock->unlock();
        retireSegment(sharedBlock);
        sharedBlock = nullptr;
    }
    // A server started without a block (see startLocalServer) still has to go.
    delete localServer;
    localServer = nullptr;
}

void SingleApplicationPrivate::appendUserData(const QString &userData)
{
    userDataList.append(userData);
}

void SingleApplicationPrivate::computeInstanceKey()
{
    QCryptographicHash hash(QCryptographicHash::Sha256);
    hash.addData("SingleApplication", 17);
    hash.addData(QCoreApplication::applicationName().toUtf8());
    hash.addData(QCoreApplication::organizationName().toUtf8());
    hash.addData(QCoreApplication::organizationDomain().toUtf8());
    if (!userDataList.isEmpty())
        hash.addData(userDataList.join(QString()).toUtf8());
    if (!startOptions.testFlag(SingleApplication::KeyWithoutVersion))
        hash.addData(QCoreApplication::applicationVersion().toUtf8());
    // Lower-cased so that a copy started through a differently cased path still meets its peers.
    if (!startOptions.testFlag(SingleApplication::KeyWithoutPath))
        hash.addData(QCoreApplication::applicationFilePath().toLower().toUtf8());
    if (startOptions.testFlag(SingleApplication::UserScoped))
        hash.addData(currentUserName().toUtf8());
    // "/" would not survive as part of a file or server name.
    instanceKey = QString::fromLatin1(hash.result().toBase64().replace('/', '_'));
}

InstanceBlock *SingleApplicationPrivate::instanceBlock() const
{
    return static_cast<InstanceBlock *>(sharedBlock->data());
}

quint16 SingleApplicationPrivate::computeBlockChecksum() const
{
    return instanceBlockChecksum(instanceBlock());
}

void SingleApplicationPrivate::resetInstanceBlock()
{
    ::resetInstanceBlock(instanceBlock());
}

void SingleApplicationPrivate::becomePrimary()
{
    claimInstanceBlock(instanceBlock(), QCoreApplication::applicationPid(), currentUserName());
    ownInstanceId = 0;
    startLocalServer();
}

void SingleApplicationPrivate::startLocalServer()
{
    // Clears a server file that a primary which did not end in order left behind.
    QLocalServer::removeServer(instanceKey);
    localServer = new QLocalServer();
    localServer->setSocketOptions(startOptions.testFlag(SingleApplication::UserScoped)
                                      ? QLocalServer::UserAccessOption
                                      : QLocalServer::WorldAccessOption);
    // A copy whose server cannot listen stays primary all the same; nobody would be served otherwise.
    localServer->listen(instanceKey);
    QObject::connect(localServer, &QLocalServer::newConnection, this,
                     &SingleApplicationPrivate::slotConnectionEstablished);
}

void SingleApplicationPrivate::becomeSecondary()
{
    InstanceBlock *block = instanceBlock();
    block->secondaryCount += 1;
    block->checksum = instanceBlockChecksum(block);
    ownInstanceId = block->secondaryCount;
}

// A primary that ended without its teardown (killed, crashed) leaves its claim behind, and on systems
// where the segment outlives every process that claim would never go away. Whoever decides next frees
// it as the teardown would have, keeping the count of secondaries.
static void releaseDeadPrimary(InstanceBlock *block)
{
    if (!block->hasPrimary)
        return;
    const QString ownImage = QFileInfo(QCoreApplication::applicationFilePath()).fileName();
    if (!Platform::isProcessAlive(block->primaryProcessId, ownImage))
        releaseInstanceBlock(block);
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

    // The last user of a segment may detach (and so remove it) at any point between our failed create and
    // the end of our attach, or remove its key file while we derive the key from it. Ending with status 1
    // then would lose the path this copy was started for, so those failures start over, a few times at
    // most: an attach that fails after a create found the segment, and a create that lost its key.
    for (int attempt = 1;; ++attempt) {
        const bool mayRetry = attempt < SegmentOpenAttempts;
        d->sharedBlock = new QSharedMemory(d->instanceKey);
        if (d->sharedBlock->create(InstanceBlockSize, QSharedMemory::ReadWrite)) {
            if (!d->sharedBlock->lock()) {
                qCritical().noquote() << "SingleApplication: Unable to lock memory block after create.";
                failOnSharedMemoryError();
            }
            d->resetInstanceBlock();
            break;
        }
        if (d->sharedBlock->error() == QSharedMemory::AlreadyExists) {
            // Attach through a fresh object: re-keying the one that tried to create would let go of the
            // lock it may have created a moment ago (see retireSegment).
            retireSegment(d->sharedBlock);
            d->sharedBlock = new QSharedMemory(d->instanceKey);
            if (d->sharedBlock->attach(QSharedMemory::ReadWrite)) {
                if (!d->sharedBlock->lock()) {
                    qCritical().noquote() << "SingleApplication: Unable to lock memory block after attach.";
                    failOnSharedMemoryError();
                }
                break;
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
        retireSegment(d->sharedBlock);
        d->sharedBlock = nullptr;
        randomPause();
    }

    // A mismatch means a copy stopped halfway through a write, or the creator has not reset a new
    // segment yet. Give it time, then assume the writer is gone.
    QElapsedTimer inconsistentFor;
    inconsistentFor.start();
    while (d->computeBlockChecksum() != d->instanceBlock()->checksum) {
        if (inconsistentFor.elapsed() > 5000) {
            qWarning().noquote()
                << "SingleApplication: Shared memory block has been in an inconsistent state "
                   "from more than 5s. Assuming primary instance failure.";
            d->resetInstanceBlock();
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
    delete d_ptr;
    d_ptr = nullptr;
    ::exit(EXIT_SUCCESS);
}

SingleApplication::~SingleApplication()
{
    delete d_ptr;
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
    qCritical().noquote() << "SingleApplication: " << int(d->sharedBlock->error())
                          << d->sharedBlock->errorString();
    delete d_ptr;
    d_ptr = nullptr;
    ::exit(EXIT_FAILURE);
}
