#ifndef OSTREL_SINGLEAPPLICATION_H
#define OSTREL_SINGLEAPPLICATION_H

#include <QByteArray>
#include <QCoreApplication>
#include <QFlags>
#include <QScopedPointer>
#include <QString>

class ElectionLocker;
class SingleApplicationPrivate;

// The program's application object. Its constructor elects one primary among the copies of the program
// that run at the same time (shared-memory block plus a local server); the destructor hands the role back.
class SingleApplication : public QCoreApplication
{
    Q_OBJECT

public:
    enum StartOption : quint32 {
        UserScoped = 0x01,
        NotifyPrimaryOfSecondaries = 0x04,
        KeyWithoutVersion = 0x08,
        KeyWithoutPath = 0x10,
    };
    Q_DECLARE_FLAGS(StartOptions, StartOption)

    SingleApplication(int &argc, char **argv, bool allowSecondary, StartOptions options, int timeoutMs,
                      const QString &userData);
    ~SingleApplication() override;

    // True in a copy that did not become the primary.
    bool runsAsSecondary() const;
    // This copy's number: 0 for the primary, n for the n-th secondary since the shared block was reset.
    quint32 instanceId() const;
    // The name of the shared block and of the primary's local server.
    QString instanceKey() const;

Q_SIGNALS:
    void instanceStarted();
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
