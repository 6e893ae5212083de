// A peer written from the handshake's byte layout alone talks to the primary of the real program while it
// gathers a selection. The instance key is derived here from its definition, not taken from our code.

#include "byteformats.h"
#include "sandbox.h"
#include "testfiles.h"

#include <QCryptographicHash>
#include <QLocalSocket>
#include <QTest>

namespace {

// HandshakeKind::DuplicateLaunch as a byte: this test is built apart from the single-instance library.
constexpr qint8 DuplicateLaunchKind = 1;

QByteArray instanceKey(const QString &programPath)
{
    // Application name from the file name; organisation, domain, user data and version are empty; the
    // program runs with UserScoped.
    return instanceKeyOf(
        {"OstrelContextMenu", QFileInfo(programPath).canonicalFilePath().toLower().toUtf8(), accountName()});
}

QByteArray withBrokenChecksum(QByteArray message)
{
    message[message.size() - 1] = char(message.at(message.size() - 1) ^ 0x01);
    return message;
}

} // namespace

class RunningPrimaryTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void foreignPeerCompletesHandshake()
    {
        Sandbox sandbox;
        QVERIFY(sandbox.isValid());
        // A lister that always shows a second copy keeps the primary polling, and so serving its local
        // server between the passes, until its wait settles.
        QVERIFY(writeExecutable(sandbox.listerPath(),
                                "#!/bin/sh\nprintf 'OstrelContextMenu 1\\r\\nOstrelContextMenu 2\\r\\n'\n"));

        const auto primary =
            sandbox.startAll({{QStringLiteral("-ftype_edit"), QStringLiteral("/peer/a.pdf")}});
        const QByteArray key = instanceKey(sandbox.programPath());
        QCOMPARE(key.size(), 44);
        // The framework puts the server's socket into the temporary folder of the process that listens.
        const QString serverPath = sandbox.tempDir() + QLatin1Char('/') + QString::fromLatin1(key);
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(serverPath), 10000);

        QLocalSocket accepted;
        accepted.connectToServer(serverPath);
        QVERIFY(accepted.waitForConnected(5000));
        accepted.write(handshake(key, DuplicateLaunchKind, 0));
        QVERIFY(accepted.waitForBytesWritten(5000));

        QLocalSocket rejected;
        rejected.connectToServer(serverPath);
        QVERIFY(rejected.waitForConnected(5000));
        rejected.write(withBrokenChecksum(handshake(key, DuplicateLaunchKind, 0)));
        QVERIFY(rejected.waitForBytesWritten(5000));

        // The primary answers nothing; a rejected handshake only closes the connection.
        QTRY_COMPARE_WITH_TIMEOUT(rejected.state(), QLocalSocket::UnconnectedState, 5000);
        QCOMPARE(accepted.state(), QLocalSocket::ConnectedState);
        accepted.write("bytes after the handshake");
        QVERIFY(accepted.waitForBytesWritten(5000));
        QTest::qWait(200);
        QCOMPARE(accepted.state(), QLocalSocket::ConnectedState);

        QVERIFY(Sandbox::waitAll(primary, 60000));
        QCOMPARE(primary.front()->exitCode(), 0);
        QCOMPARE(primary.front()->readAllStandardError(), QByteArray());
    }
};

QTEST_GUILESS_MAIN(RunningPrimaryTest)
#include "tst_runningprimary.moc"
