// The dispatch of real runs of the program, each in a sandbox of its own.

#include "sandbox.h"
#include "testfiles.h"

#include <QTest>

namespace {

QStringList readLines(const QString &path)
{
    QStringList lines = QString::fromUtf8(readFile(path)).split(QLatin1Char('\n'));
    if (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast();
    return lines;
}

bool endedQuietly(const Sandbox::Result &result)
{
    return result.finished && result.exitStatus == QProcess::NormalExit && result.exitCode == 0 &&
           result.standardOutput.isEmpty() && result.standardError.isEmpty();
}

} // namespace

class EntryPointTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void noArgumentsOnlyCreatesTheSpoolFolder()
    {
        Sandbox sandbox;
        QVERIFY(sandbox.isValid());
        QVERIFY(!QFileInfo::exists(sandbox.spoolPath()));

        const Sandbox::Result result = sandbox.run(QStringList());
        QVERIFY2(endedQuietly(result), result.standardError.constData());
        QVERIFY(QFileInfo(sandbox.spoolPath()).isDir());
        QVERIFY(sandbox.spoolEntries().isEmpty());
        QVERIFY(!QFileInfo::exists(sandbox.registryFile()));
        QVERIFY(!QFileInfo::exists(sandbox.associationLog()));
        QVERIFY(!QFileInfo::exists(sandbox.editorLog()));
    }

    // Qt Network comes with the transport module, which only a copy that becomes primary loads: the
    // secondaries, most of a selection, must not load it and the libraries it pulls in at their start.
    void startsWithoutQtNetwork()
    {
        Sandbox sandbox;
        QVERIFY(sandbox.isValid());
        QProcessEnvironment traced = sandbox.environment();
        traced.insert(QStringLiteral("LD_TRACE_LOADED_OBJECTS"), QStringLiteral("1"));
        const Sandbox::Result result = sandbox.run(QStringList(), 60000, QString(), traced);
        QVERIFY(result.finished);
        QVERIFY2(result.standardOutput.contains("libQt5Core"), result.standardOutput.constData());
        QVERIFY2(!result.standardOutput.contains("libQt5Network"), result.standardOutput.constData());
    }

    void commandWords_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QStringList>("associationCalls");
        QTest::addColumn<bool>("verbsRegistered");

        const QStringList installCalls{QStringLiteral(".pdf\t"),
                                       QStringLiteral(".pdf\tOstrel PDF Editor.exe")};
        const QStringList uninstallCalls{QStringLiteral(".pdf\t")};
        QTest::newRow("install") << QStringList{QStringLiteral("install")} << installCalls << true;
        QTest::newRow("INSTALL") << QStringList{QStringLiteral("INSTALL")} << installCalls << true;
        QTest::newRow("Install") << QStringList{QStringLiteral("Install")} << installCalls << true;
        QTest::newRow("uninstall") << QStringList{QStringLiteral("uninstall")} << uninstallCalls << false;
        QTest::newRow("UnInstall") << QStringList{QStringLiteral("UnInstall")} << uninstallCalls << false;
        QTest::newRow("install plus argument")
            << QStringList{QStringLiteral("install"), QStringLiteral("now")} << QStringList() << false;
        QTest::newRow("uninstall plus argument")
            << QStringList{QStringLiteral("uninstall"), QStringLiteral("now")} << QStringList() << false;
        QTest::newRow("unknown word") << QStringList{QStringLiteral("register")} << QStringList() << false;
    }

    void commandWords()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QStringList, associationCalls);
        QFETCH(bool, verbsRegistered);

        Sandbox sandbox;
        QVERIFY(sandbox.isValid());
        const Sandbox::Result result = sandbox.run(arguments);
        QVERIFY2(endedQuietly(result), result.standardError.constData());

        QCOMPARE(readLines(sandbox.associationLog()), associationCalls);
        QFile registry(sandbox.registryFile());
        const bool hasVerbs =
            registry.open(QIODevice::ReadOnly) && registry.readAll().contains("OstrelPDFEditor01Edit");
        QCOMPARE(hasVerbs, verbsRegistered);
        // Every run, whatever it does, leaves the (empty) spool folder behind.
        QVERIFY(QFileInfo(sandbox.spoolPath()).isDir());
        QVERIFY(sandbox.spoolEntries().isEmpty());
    }

    void unrecognisedVerbFlagSpoolsNothing()
    {
        Sandbox sandbox;
        QVERIFY(sandbox.isValid());
        const QString pdf = sandbox.root() + QLatin1String("/a.pdf");
        for (const QString &flag :
             {QStringLiteral("-FTYPE_MERGE"), QStringLiteral("-ftype_open"), QStringLiteral("ftype_merge")}) {
            const Sandbox::Result result = sandbox.run({flag, pdf});
            QVERIFY2(endedQuietly(result), qPrintable(flag));
        }
        QVERIFY(sandbox.spoolEntries().isEmpty());
        QVERIFY(!QFileInfo::exists(sandbox.editorLog()));
    }

    void verbFlagHandsOffOnlyTheFirstPath()
    {
        Sandbox sandbox;
        QVERIFY(sandbox.isValid());
        const QString pdf = sandbox.root() + QLatin1String("/first file.pdf");
        const Sandbox::Result result = sandbox.run(
            {QStringLiteral("-ftype_print"), pdf, QStringLiteral("/ignored.pdf"), QStringLiteral("x")});
        QVERIFY2(endedQuietly(result), result.standardError.constData());

        // The editor is started detached; give it a moment to record its start.
        QTRY_COMPARE_WITH_TIMEOUT(sandbox.editorStarts().size(), 1, 10000);
        QCOMPARE(sandbox.editorStarts().first(), QStringList(QStringLiteral("-ftype_print;") + pdf));
    }
};

QTEST_GUILESS_MAIN(EntryPointTest)
#include "tst_entrypoint.moc"
