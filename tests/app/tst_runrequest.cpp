#include "runrequest.h"

#include <QTest>

class RunRequestTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void parseRunRequest_data();
    void parseRunRequest();
};

void RunRequestTest::parseRunRequest_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("action");
    QTest::addColumn<QString>("verbFlag");
    QTest::addColumn<QString>("selectedPath");

    const auto list = [](std::initializer_list<const char *> items) {
        QStringList result;
        for (const char *item : items)
            result.append(QString::fromUtf8(item));
        return result;
    };
    const QString none;
    QTest::newRow("empty") << QStringList() << int(RunRequest::Nothing) << none << none;
    QTest::newRow("install") << list({"install"}) << int(RunRequest::Install) << none << none;
    QTest::newRow("INSTALL") << list({"INSTALL"}) << int(RunRequest::Install) << none << none;
    QTest::newRow("InStAlL") << list({"InStAlL"}) << int(RunRequest::Install) << none << none;
    QTest::newRow("uninstall") << list({"uninstall"}) << int(RunRequest::Uninstall) << none << none;
    QTest::newRow("Uninstall") << list({"Uninstall"}) << int(RunRequest::Uninstall) << none << none;
    QTest::newRow("install plus argument")
        << list({"install", "x"}) << int(RunRequest::Nothing) << none << none;
    QTest::newRow("uninstall plus argument")
        << list({"uninstall", "x"}) << int(RunRequest::Nothing) << none << none;
    QTest::newRow("install with spaces") << list({" install"}) << int(RunRequest::Nothing) << none << none;
    for (const char *flag : {"-ftype_edit", "-ftype_split", "-ftype_merge", "-ftype_print"})
        QTest::newRow(flag) << list({flag, "C:\\a b;c.pdf"}) << int(RunRequest::HandOff)
                            << QString::fromLatin1(flag) << QStringLiteral("C:\\a b;c.pdf");
    QTest::newRow("flag alone") << list({"-ftype_merge"}) << int(RunRequest::HandOff)
                                << QStringLiteral("-ftype_merge") << none;
    QTest::newRow("flag with more paths")
        << list({"-ftype_edit", "a.pdf", "b.pdf"}) << int(RunRequest::HandOff)
        << QStringLiteral("-ftype_edit") << QStringLiteral("a.pdf");
    QTest::newRow("flag in capitals")
        << list({"-FTYPE_MERGE", "a.pdf"}) << int(RunRequest::Nothing) << none << none;
    QTest::newRow("flag second") << list({"a.pdf", "-ftype_merge"}) << int(RunRequest::Nothing) << none
                                 << none;
    QTest::newRow("unknown flag") << list({"-ftype_open", "a.pdf"}) << int(RunRequest::Nothing) << none
                                  << none;
    QTest::newRow("flag prefix") << list({"-ftype", "a.pdf"}) << int(RunRequest::Nothing) << none << none;
}

void RunRequestTest::parseRunRequest()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, action);
    QFETCH(QString, verbFlag);
    QFETCH(QString, selectedPath);
    const RunRequest request = ::parseRunRequest(arguments);
    QCOMPARE(int(request.action), action);
    QCOMPARE(request.verbFlag, verbFlag);
    QCOMPARE(request.selectedPath, selectedPath);
}

QTEST_GUILESS_MAIN(RunRequestTest)
#include "tst_runrequest.moc"
