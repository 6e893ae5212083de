#ifndef OSTREL_SINGLEAPPLICATION_H
#define OSTREL_SINGLEAPPLICATION_H

#include <QByteArray>
#include <QCoreApplication>
#include <QFlags>
#include <QScopedPointer>
#include <QString>

class ElectionLocker;
class SingleApplicationPrivate;

/**
 * @class SingleApplication singleapplication.h
 *
 * @short The application object of a program whose copies elect one primary.
 *
 * Copies of one installation that run at the same time, for the same user, meet at a block of shared
 * memory named after their instance key (see instanceKey()). The constructor runs the whole election: it
 * returns with this copy either the primary, which listens on a local server of the same name, or a
 * secondary, numbered in the order the copies came. The destructor hands the primary's role back, so that
 * the next copy to start becomes primary.
 *
 * A copy that may not run beside a primary (@p allowSecondary false) tells the primary so over its local
 * server and ends inside the constructor. A fatal error of the shared memory or its lock also ends the
 * process inside the constructor, with exit status 1.
 *
 * The primary's server serves any peer that sends a valid handshake (handshake.h): instanceStarted()
 * announces a peer, receivedMessage() hands on what it sends after the handshake.
 */
class SingleApplication : public QCoreApplication
{
    Q_OBJECT

public:
    /**
     * What the instance key holds and how copies meet. Every bit not listed here is ignored everywhere,
     * 0x02 among them: it has no meaning, and a number that sets it starts the same election as one that
     * does not. It is kept free rather than given to a new option, which would change what such a number
     * means to a caller that passes the flags as a number (the election's test probe takes them so).
     */
    enum StartOption : quint32 {
        /**
         * The user's account name enters the instance key, so that each account has an election of its
         * own, and the primary's server admits connections from the same account only. Without it, the
         * copies of every account meet in one election and the server admits every account.
         */
        UserScoped = 0x01,
        /**
         * An admitted secondary connects to the primary while it is constructed, still holding the
         * election's lock, and the primary emits instanceStarted() for it (only when the primary was
         * started with this option too). Without it a secondary never opens a socket.
         */
        NotifyPrimaryOfSecondaries = 0x04,
        /**
         * The application version is left out of the instance key, so that copies of two versions meet.
         */
        KeyWithoutVersion = 0x08,
        /**
         * The program's path is left out of the instance key, so that copies installed in two places meet.
         */
        KeyWithoutPath = 0x10,
    };
    Q_DECLARE_FLAGS(StartOptions, StartOption)

    /**
     * Runs the election and returns with this copy the primary or a secondary; see the class description
     * for the two ways it ends the process instead.
     *
     * @param argc the argument count, handed to QCoreApplication unchanged; it must outlive the object.
     * @param argv the argument vector, handed to QCoreApplication unchanged; QCoreApplication takes the
     *        application name, which enters the instance key, from it.
     * @param allowSecondary what a copy does when a primary runs already: true, it goes on as a secondary;
     *        false, it contacts the primary (which emits instanceStarted()) and ends with exit status 0.
     * @param options what the instance key holds and how copies meet, see StartOption.
     * @param timeoutMs the time, in milliseconds, that a copy spends at most on contacting the primary
     *        (connecting and writing its handshake): a refused copy, and a secondary with
     *        NotifyPrimaryOfSecondaries. A primary that cannot be reached in time is given up silently.
     * @param userData text that enters the instance key, so that one program can hold separate elections;
     *        an empty string adds nothing.
     */
    SingleApplication(int &argc, char **argv, bool allowSecondary, StartOptions options, int timeoutMs,
                      const QString &userData);
    /**
     * Hands the primary's role back (its server closes and the shared block no longer names it) and
     * detaches from the shared block, under the election's lock. When the lock stays with a copy that
     * hangs, the block stays attached until the process ends and the next copy releases the claim.
     */
    ~SingleApplication() override;

    /**
     * True in a copy that did not become the primary: a secondary, or a copy that went on without a role
     * because the election's lock stayed with a copy that hangs.
     */
    bool runsAsSecondary() const;
    /**
     * This copy's number: 0 for the primary (and a copy without a role), n for the n-th secondary since the
     * shared block was last reset.
     */
    quint32 instanceId() const;
    /**
     * The process id of the primary of this copy's election: this copy's own in the primary, the one the
     * shared block named when this copy became a secondary, and 0 in a copy without a role.
     */
    qint64 primaryProcessId() const;
    /**
     * The name of the shared block and of the primary's local server, which a peer also sends in its
     * handshake: 44 characters of letters, digits, "+" and "_", ending in "=" (instancekey.h).
     */
    QString instanceKey() const;

    /**
     * Sends the bytes to the running primary over its local server, after a handshake of the kind
     * SecondaryLaunch (which announces nothing to a primary without NotifyPrimaryOfSecondaries). The
     * primary hands them on through receivedMessage(), and line by line through takeReceivedLines(). A
     * server that another account runs under the name gets nothing.
     *
     * @return true when the bytes were confirmed written within @p timeoutMs milliseconds.
     */
    bool sendToPrimary(const QByteArray &message, int timeoutMs);
    /**
     * In the primary: takes in at once what peers have sent so far (connections still waiting to be
     * accepted, bytes still waiting to be read), and returns the complete lines, without their line feed,
     * that arrived since the last call; each connection's lines in the order sent. A line still unfinished
     * when its connection closes is dropped, never returned cut.
     */
    QList<QByteArray> takeReceivedLines();

Q_SIGNALS:
    /**
     * Emitted in the primary when a peer announces itself in its handshake: a copy that was refused, and a
     * secondary with NotifyPrimaryOfSecondaries when the primary has that option too.
     */
    void instanceStarted();
    /**
     * Emitted in the primary with what a peer sends after its handshake, as it arrives: the bytes buffered
     * at that moment, and once more those still buffered when the connection closes.
     *
     * @param instanceId the number the peer gave in its handshake (see instanceId()).
     * @param message the bytes, never interpreted; a message may arrive in several pieces.
     */
    void receivedMessage(quint32 instanceId, QByteArray message);

private:
    // The steps of the election, in the order the constructor takes them.
    bool lockOrGiveUp(ElectionLocker &locker, const char *failureMessage);
    void openSharedBlock();
    bool waitForConsistentBlock(ElectionLocker &locker);
    void takeRole(ElectionLocker &locker, bool allowSecondary, int timeoutMs);
    void goOnWithoutRole(bool allowSecondary, int timeoutMs);
    [[noreturn]] void endRefusedCopy(int timeoutMs);
    [[noreturn]] void failOnSharedMemoryError();
    [[noreturn]] void failOnLockError(const QString &errorString);
    [[noreturn]] void failWith(int errorCode, const QString &errorString);

    QScopedPointer<SingleApplicationPrivate> d_ptr;
    Q_DECLARE_PRIVATE(SingleApplication)
    Q_DISABLE_COPY(SingleApplication)
};

Q_DECLARE_OPERATORS_FOR_FLAGS(SingleApplication::StartOptions)

#endif
