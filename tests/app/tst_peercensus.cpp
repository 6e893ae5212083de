// The census: how it runs a process lister and counts the lines that name a running copy.

#include "peercensus.h"
#include "testfiles.h"

#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <cerrno>
#include <csignal>

namespace {

const QString ProgramName = QStringLiteral("OstrelContextMenu");

bool processExists(qint64 pid)
{
    return ::kill(pid_t(pid), 0) == 0 || errno == EPERM;
}

} // namespace

class PeerCensusTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void countsLinesThatContainTheName_data();
    void countsLinesThatContainTheName();
    void readsTheListerOutput();
    void readsOutputLargerThanAPipe();
    void failingListersGiveNoCount();
    void listerThatEndsAbnormallyIsCounted_data();
    void listerThatEndsAbnormallyIsCounted();
    void hangingListerIsEndedAfterTheTimeOut();

private:
    QTemporaryDir m_dir;
};

void PeerCensusTest::initTestCase()
{
    QVERIFY(m_dir.isValid());
}

void PeerCensusTest::countsLinesThatContainTheName_data()
{
    QTest::addColumn<QByteArray>("output");
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("count");

    const QByteArray head =
        "\r\nImage Name                     PID\r\n========================= ========\r\n";
    QTest::newRow("alone") << head + "init 1\r\nOstrelContextMenu 40\r\nsh 41\r\n" << ProgramName << 1;
    QTest::newRow("two copies") << head + "OstrelContextMenu 40\r\nOstrelContextMenu 41\r\n"
                                << ProgramName << 2;
    QTest::newRow("none") << head + "init 1\r\n" << ProgramName << 0;
    QTest::newRow("empty output") << QByteArray() << ProgramName << 0;
    QTest::newRow("other process containing the name")
        << head + "OstrelContextMenu 40\r\nOstrelContextMenuHelper 41\r\nxOstrelContextMenu 42\r\n"
        << ProgramName << 3;
    QTest::newRow("no line end at all") << QByteArray("OstrelContextMenu 40") << ProgramName << 1;
    QTest::newRow("LF alone does not split")
        << QByteArray("OstrelContextMenu 1\nOstrelContextMenu 2\n") << ProgramName << 1;
    QTest::newRow("CR alone does not split")
        << QByteArray("OstrelContextMenu 1\rOstrelContextMenu 2\r") << ProgramName << 1;
    QTest::newRow("case matters") << head + "ostrelcontextmenu 40\r\nOSTRELCONTEXTMENU 41\r\n"
                                  << ProgramName << 0;
    static const char withZero[] = "OstrelContextMenu 1\r\n\0OstrelContextMenu 2\r\n";
    QTest::newRow("text after a zero byte ignored")
        << QByteArray(withZero, int(sizeof withZero) - 1) << ProgramName << 1;
    QTest::newRow("dot is a dot") << head + "Ostrel.Menu 1\r\nOstrelXMenu 2\r\nOstrel-Menu 3\r\n"
                                  << QStringLiteral("Ostrel.Menu") << 1;
    QTest::newRow("parentheses are parentheses") << head + "Ostrel (2) 7\r\nOstrel 2 8\r\n"
                                                 << QStringLiteral("Ostrel (2)") << 1;
    QTest::newRow("pattern characters") << head + "Ostrel+[x]* 7\r\nOstrellx 8\r\n"
                                        << QStringLiteral("Ostrel+[x]*") << 1;
    QTest::newRow("name in UTF-8") << head + "Ostr\xc3\xa9l 5\r\n" << QStringLiteral("Ostr\u00e9l") << 1;
    QTest::newRow("name in a code page") << head + "Ostr\xe9l 5\r\n" << QStringLiteral("Ostr\u00e9l") << 0;
    QTest::newRow("ASCII name among bad bytes") << head + "\xff\xfe OstrelContextMenu 5\r\n"
                                                << ProgramName << 1;
}

void PeerCensusTest::countsLinesThatContainTheName()
{
    QFETCH(QByteArray, output);
    QFETCH(QString, name);
    QFETCH(int, count);
    QCOMPARE(countMatchingLines(output, name), count);
}

void PeerCensusTest::readsTheListerOutput()
{
    const QString lister =
        writePrintingProgram(m_dir.path(), QStringLiteral("two"),
                             "\r\nImage Name PID\r\nOstrelContextMenu 4\r\nOstrelContextMenu 5\r\n");
    QCOMPARE(countRunningCopies(lister, ProgramName), 2);
    const QString alone =
        writePrintingProgram(m_dir.path(), QStringLiteral("alone"), "x 1\r\nOstrelContextMenu 4\r\n");
    QCOMPARE(countRunningCopies(alone, ProgramName), 1);
    // A path with spaces is one program, not a command line.
    const QString spaced =
        writePrintingProgram(m_dir.path(), QStringLiteral("my lister"), "OstrelContextMenu 4\r\n");
    QCOMPARE(countRunningCopies(spaced, ProgramName), 1);
}

void PeerCensusTest::readsOutputLargerThanAPipe()
{
    QByteArray output;
    for (int i = 0; i < 20000; ++i)
        output += "some-process-with-a-long-name.exe " + QByteArray::number(i) + "\r\n";
    output += "OstrelContextMenu 99999\r\n";
    QVERIFY(output.size() > 256 * 1024);
    const QString lister = writePrintingProgram(m_dir.path(), QStringLiteral("big"), output);
    QCOMPARE(countRunningCopies(lister, ProgramName), 1);
}

void PeerCensusTest::failingListersGiveNoCount()
{
    QCOMPARE(countRunningCopies(m_dir.path() + QLatin1String("/does-not-exist"), ProgramName), -1);

    const QString notExecutable = m_dir.path() + QLatin1String("/not-executable");
    QFile file(notExecutable);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("#!/bin/sh\necho OstrelContextMenu\n");
    file.close();
    QCOMPARE(countRunningCopies(notExecutable, ProgramName), -1);
}

void PeerCensusTest::listerThatEndsAbnormallyIsCounted_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<int>("count");
    // The list printed in full, then the lister dies: what it printed is the census.
    QTest::newRow("crashes after one line")
        << QByteArray("printf 'x 1\\r\\nOstrelContextMenu 4\\r\\n'; kill -SEGV $$") << 1;
    QTest::newRow("killed after two lines")
        << QByteArray("printf 'OstrelContextMenu 4\\r\\nOstrelContextMenu 5\\r\\n'; kill -KILL $$") << 2;
    QTest::newRow("aborts after printing nothing that matches")
        << QByteArray("printf 'x 1\\r\\n'; kill -ABRT $$") << 0;
    QTest::newRow("exit status 3") << QByteArray("printf 'OstrelContextMenu 4\\r\\n'; exit 3") << 1;
}

void PeerCensusTest::listerThatEndsAbnormallyIsCounted()
{
    QFETCH(QByteArray, body);
    QFETCH(int, count);
    const QString lister = writeShellProgram(m_dir.path(), QStringLiteral("ends-abnormally"), body);
    QCOMPARE(countRunningCopies(lister, ProgramName), count);
}

void PeerCensusTest::hangingListerIsEndedAfterTheTimeOut()
{
    const QString pidFile = m_dir.path() + QLatin1String("/hanging.pid");
    const QString lister = writeShellProgram(m_dir.path(), QStringLiteral("hanging"),
                                             "printf 'OstrelContextMenu 1\\r\\n'; echo $$ > '" +
                                                 QFile::encodeName(pidFile) + "'; exec sleep 120");
    QElapsedTimer timer;
    timer.start();
    QCOMPARE(countRunningCopies(lister, ProgramName, 3000), -1);
    QVERIFY2(timer.elapsed() < 60000, "the time-out was not applied");

    QFile file(pidFile);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const qint64 pid = file.readAll().trimmed().toLongLong();
    QVERIFY(pid > 0);
    // Ended and reaped: not even a zombie is left.
    QVERIFY(!processExists(pid));
}

QTEST_GUILESS_MAIN(PeerCensusTest)
#include "tst_peercensus.moc"
