#include "entry.h"

#include <QtTest>

Q_DECLARE_METATYPE(RunAction)

class DispatchTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void chooseRunAction_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<RunAction>("expected");

        const auto list = [](std::initializer_list<const char *> items) {
            QStringList result;
            for (const char *item : items)
                result.append(QString::fromUtf8(item));
            return result;
        };
        QTest::newRow("empty") << QStringList() << RunAction::Nothing;
        QTest::newRow("install") << list({"install"}) << RunAction::Install;
        QTest::newRow("INSTALL") << list({"INSTALL"}) << RunAction::Install;
        QTest::newRow("InStAlL") << list({"InStAlL"}) << RunAction::Install;
        QTest::newRow("uninstall") << list({"uninstall"}) << RunAction::Uninstall;
        QTest::newRow("Uninstall") << list({"Uninstall"}) << RunAction::Uninstall;
        QTest::newRow("install plus argument") << list({"install", "x"}) << RunAction::Nothing;
        QTest::newRow("uninstall plus argument") << list({"uninstall", "x"}) << RunAction::Nothing;
        QTest::newRow("install with spaces") << list({" install"}) << RunAction::Nothing;
        QTest::newRow("edit") << list({"-ftype_edit", "a.pdf"}) << RunAction::HandOff;
        QTest::newRow("split") << list({"-ftype_split", "a.pdf"}) << RunAction::HandOff;
        QTest::newRow("merge") << list({"-ftype_merge", "a.pdf"}) << RunAction::HandOff;
        QTest::newRow("print") << list({"-ftype_print", "a.pdf"}) << RunAction::HandOff;
        QTest::newRow("flag alone") << list({"-ftype_merge"}) << RunAction::HandOff;
        QTest::newRow("flag with more paths")
            << list({"-ftype_edit", "a.pdf", "b.pdf"}) << RunAction::HandOff;
        QTest::newRow("flag in capitals") << list({"-FTYPE_MERGE", "a.pdf"}) << RunAction::Nothing;
        QTest::newRow("flag second") << list({"a.pdf", "-ftype_merge"}) << RunAction::Nothing;
        QTest::newRow("unknown flag") << list({"-ftype_open", "a.pdf"}) << RunAction::Nothing;
        QTest::newRow("flag prefix") << list({"-ftype", "a.pdf"}) << RunAction::Nothing;
    }

    void chooseRunAction()
    {
        QFETCH(QStringList, arguments);
        QFETCH(RunAction, expected);
        QCOMPARE(::chooseRunAction(arguments), expected);
    }
};

QTEST_GUILESS_MAIN(DispatchTest)
#include "tst_dispatch.moc"
