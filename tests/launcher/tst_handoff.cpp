#include "sandbox.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTest>

#include <algorithm>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const QStringList kFlags{"-ftype_edit", "-ftype_split", "-ftype_merge", "-ftype_print"};

// Every start the editor stand-in recorded, each as its argument list; a malformed record reads as one
// start with the single argument "<malformed>", so that it cannot go unnoticed.
QList<QStringList> editorStarts(const Sandbox &sandbox)
{
    QList<QStringList> starts;
    QFile log(sandbox.editorLog());
    if (!log.open(QIODevice::ReadOnly))
        return starts;
    const QList<QByteArray> lines = log.readAll().split('\n');
    for (const QByteArray &line : lines) {
        if (line.isEmpty())
            continue;
        const QJsonDocument record = QJsonDocument::fromJson(line);
        QStringList arguments;
        if (!record.isArray())
            arguments.append(QStringLiteral("<malformed>"));
        for (const QJsonValue &value : record.array())
            arguments.append(value.toString());
        starts.append(arguments);
    }
    return starts;
}

// The one start the hand-off should have made. The editor is started detached, so its record may come
// a moment after the program has ended.
QStringList theOnlyEditorStart(const Sandbox &sandbox)
{
    QElapsedTimer timer;
    timer.start();
    while (editorStarts(sandbox).isEmpty() && timer.elapsed() < 20000)
        QTest::qWait(50);
    QTest::qWait(300); // a second, wrong start would have arrived by now as well
    const QList<QStringList> starts = editorStarts(sandbox);
    if (starts.size() != 1) {
        qWarning() << "editor starts:" << starts;
        return QStringList(QStringLiteral("<%1 starts>").arg(starts.size()));
    }
    return starts.first();
}

QStringList spoolEntries(const Sandbox &sandbox)
{
    return QDir(sandbox.spoolPath())
        .entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot, QDir::Name);
}

void writeBytes(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(file.write(bytes), qint64(bytes.size()));
}

// A path for copy i that holds the awkward characters the hand-off must carry unchanged.
QString selectedPath(int i)
{
    static const QStringList shapes{
        QStringLiteral("C:/Users/Ann/Documents/report %1.pdf"),
        QStringLiteral("C:/Users/Ann/a;b;c %1.pdf"),
        QStringLiteral("C:/Users/Zo\u00eb/Entw\u00fcrfe/\u00fcbersicht-%1.pdf"),
        QStringLiteral("D:\\\u6587\u4ef6\\\u0444\u0430\u0439\u043b %1.pdf"),
        QStringLiteral("\\\\server\\share\\it's \"quoted\" %1.pdf"),
    };
    return shapes.at(i % shapes.size()).arg(i);
}

// The process ids of started copies (a QProcess forgets its id once the process has ended).
QList<qint64> processIds(const std::vector<std::unique_ptr<QProcess>> &processes)
{
    QList<qint64> ids;
    for (const auto &process : processes) {
        process->waitForStarted(30000);
        ids.append(process->processId());
    }
    return ids;
}

// The argument the editor should get from these copies: their paths in the order of their spool-file names.
QString expectedArgument(const QString &verbFlag, const QList<qint64> &processIds, const QStringList &paths)
{
    QList<QPair<QString, QString>> bySpoolName;
    for (int i = 0; i < processIds.size(); ++i)
        bySpoolName.append({QStringLiteral("%1.txt").arg(processIds.at(i)), paths.at(i)});
    std::sort(bySpoolName.begin(), bySpoolName.end());
    QStringList parts{verbFlag};
    for (const auto &entry : bySpoolName)
        parts.append(entry.second);
    return parts.join(QLatin1Char(';'));
}

std::unique_ptr<QProcess> startCopy(const Sandbox &sandbox, const QProcessEnvironment &environment,
                                    const QStringList &arguments)
{
    auto process = std::make_unique<QProcess>();
    process->setProcessEnvironment(environment);
    process->setWorkingDirectory(sandbox.root());
    process->start(sandbox.programPath(), arguments);
    return process;
}

} // namespace

class TestHandOff : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void oneCopy();
    void copiesStartedTogether_data();
    void copiesStartedTogether();
    void leftoversAreGathered();
    void verbFlagWithoutPath();
    void boundedWaitForAMatchingProcess();
    void withoutAPrivateRuntimeFolder_data();
    void withoutAPrivateRuntimeFolder();
    void plantedSpoolBaseIsNotUsed_data();
    void plantedSpoolBaseIsNotUsed();
};

void TestHandOff::oneCopy()
{
    Sandbox sandbox;
    QVERIFY(sandbox.isValid());
    const QString path = QStringLiteral("C:/Users/Ann/My Documents/one; two.pdf");
    const Sandbox::Result result = sandbox.run({QStringLiteral("-ftype_edit"), path});
    QVERIFY(result.finished);
    QCOMPARE(result.exitStatus, QProcess::NormalExit);
    QCOMPARE(result.exitCode, 0);
    QCOMPARE(theOnlyEditorStart(sandbox), QStringList(QStringLiteral("-ftype_edit;") + path));
    QVERIFY2(!QFileInfo::exists(sandbox.spoolPath()), qPrintable(spoolEntries(sandbox).join(' ')));
}

void TestHandOff::copiesStartedTogether_data()
{
    QTest::addColumn<int>("copies");
    QTest::addColumn<bool>("mixedFlags");
    QTest::newRow("2, merge") << 2 << false;
    QTest::newRow("12, mixed flags") << 12 << true;
    QTest::newRow("50, mixed flags") << 50 << true;
}

void TestHandOff::copiesStartedTogether()
{
    QFETCH(int, copies);
    QFETCH(bool, mixedFlags);
    Sandbox sandbox;
    QVERIFY(sandbox.isValid());

    QList<QStringList> argumentLists;
    for (int i = 0; i < copies; ++i)
        argumentLists.append(
            {mixedFlags ? kFlags.at(i % kFlags.size()) : QStringLiteral("-ftype_merge"), selectedPath(i)});
    const auto processes = sandbox.startAll(argumentLists);
    for (const auto &process : processes)
        QVERIFY2(process->waitForStarted(30000), qPrintable(process->errorString()));

    // The paths arrive in the order of the spool-file names, which the process ids make.
    QList<QPair<QString, QString>> bySpoolName;
    for (int i = 0; i < copies; ++i)
        bySpoolName.append(
            {QStringLiteral("%1.txt").arg(processes[size_t(i)]->processId()), selectedPath(i)});
    std::sort(bySpoolName.begin(), bySpoolName.end());
    QStringList expectedPaths;
    for (const auto &entry : bySpoolName)
        expectedPaths.append(entry.second);

    QVERIFY(Sandbox::waitAll(processes, 120000));
    for (const auto &process : processes) {
        QCOMPARE(process->exitStatus(), QProcess::NormalExit);
        QCOMPARE(process->exitCode(), 0);
    }

    const QStringList start = theOnlyEditorStart(sandbox);
    QCOMPARE(start.size(), 1);
    const QString flag = start.first().section(QLatin1Char(';'), 0, 0);
    // Whichever copy won the election, every path goes under its flag.
    QVERIFY2(argumentLists.first().first() == flag || mixedFlags, qPrintable(flag));
    QVERIFY2(kFlags.contains(flag), qPrintable(flag));
    QCOMPARE(start.first(), flag + QLatin1Char(';') + expectedPaths.join(QLatin1Char(';')));
    QVERIFY2(!QFileInfo::exists(sandbox.spoolPath()), qPrintable(spoolEntries(sandbox).join(' ')));
}

void TestHandOff::leftoversAreGathered()
{
    Sandbox sandbox;
    QVERIFY(sandbox.isValid());
    // From an earlier run that did not finish: the old one-path format and a file of two lines.
    writeBytes(sandbox.spoolPath() + QLatin1String("/1.txt"), "C:/old one.pdf");
    writeBytes(sandbox.spoolPath() + QLatin1String("/2.txt"), "C:/a.pdf\nC:/b;c.pdf\n");
    writeBytes(sandbox.spoolPath() + QLatin1String("/.hidden"), "C:/hidden.pdf\n");
    writeBytes(sandbox.spoolPath() + QLatin1String("/folder/3.txt"), "C:/nested.pdf\n");

    const QString own = QStringLiteral("C:/own.pdf");
    QProcess process;
    process.setProcessEnvironment(sandbox.environment());
    process.start(sandbox.programPath(), {QStringLiteral("-ftype_split"), own});
    QVERIFY(process.waitForStarted(30000));
    const QString ownName = QStringLiteral("%1.txt").arg(process.processId());
    QVERIFY(process.waitForFinished(60000));
    QCOMPARE(process.exitCode(), 0);

    QMap<QString, QStringList> byName{{QStringLiteral("1.txt"), {QStringLiteral("C:/old one.pdf")}},
                                      {QStringLiteral("2.txt"), {"C:/a.pdf", "C:/b;c.pdf"}},
                                      {ownName, {own}}};
    QStringList expected{QStringLiteral("-ftype_split")};
    for (const QStringList &paths : byName)
        expected += paths;
    QCOMPARE(theOnlyEditorStart(sandbox), QStringList(expected.join(QLatin1Char(';'))));
    // What was not gathered stays, and with it the folder.
    QCOMPARE(spoolEntries(sandbox), QStringList({".hidden", "folder"}));
    QVERIFY(QFileInfo::exists(sandbox.spoolPath() + QLatin1String("/folder/3.txt")));
}

void TestHandOff::verbFlagWithoutPath()
{
    Sandbox sandbox;
    QVERIFY(sandbox.isValid());
    Sandbox::Result result = sandbox.run({QStringLiteral("-ftype_print")});
    QVERIFY(result.finished);
    QCOMPARE(result.exitCode, 0);
    QCOMPARE(spoolEntries(sandbox), QStringList());
    // Nothing to hand off: the editor is not started for an empty selection.
    QTest::qWait(1000);
    QCOMPARE(editorStarts(sandbox), QList<QStringList>());

    // But a path left by a peer still reaches the editor, under this copy's flag.
    writeBytes(sandbox.spoolPath() + QLatin1String("/12.txt"), "C:/peer.pdf\n");
    result = sandbox.run({QStringLiteral("-ftype_print")});
    QCOMPARE(result.exitCode, 0);
    QCOMPARE(theOnlyEditorStart(sandbox), QStringList(QStringLiteral("-ftype_print;C:/peer.pdf")));
    QVERIFY(!QFileInfo::exists(sandbox.spoolPath()));
}

void TestHandOff::boundedWaitForAMatchingProcess()
{
    Sandbox sandbox;
    QVERIFY(sandbox.isValid());
    // An unrelated process whose lister line contains the program's name, and that does not end.
    const QString sleeper = sandbox.root() + QLatin1String("/OstrelContextMenuHelperSleep");
    QVERIFY(QFile::copy(QStringLiteral("/bin/sleep"), sleeper));
    QFile::setPermissions(sleeper, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    QProcess blocker;
    blocker.start(sleeper, {QStringLiteral("300")});
    QVERIFY(blocker.waitForStarted());

    QElapsedTimer timer;
    timer.start();
    const Sandbox::Result result =
        sandbox.run({QStringLiteral("-ftype_edit"), QStringLiteral("C:/x.pdf")}, 90000);
    const qint64 elapsed = timer.elapsed();
    blocker.kill();
    blocker.waitForFinished();

    QVERIFY(result.finished);
    QCOMPARE(result.exitCode, 0);
    QCOMPARE(theOnlyEditorStart(sandbox), QStringList(QStringLiteral("-ftype_edit;C:/x.pdf")));
    // The census counted the other process (so the copy waited for the count to settle, 3 s) and the
    // wait ended well within the 30 s cap.
    QVERIFY2(elapsed >= 3000, QByteArray::number(elapsed).constData());
    QVERIFY2(elapsed < 45000, QByteArray::number(elapsed).constData());
}

void TestHandOff::withoutAPrivateRuntimeFolder_data()
{
    QTest::addColumn<bool>("runtimeSet");
    QTest::newRow("runtime folder unset") << false;
    QTest::newRow("runtime folder open to others") << true;
}

void TestHandOff::withoutAPrivateRuntimeFolder()
{
    QFETCH(bool, runtimeSet);
    Sandbox sandbox;
    QVERIFY(sandbox.isValid());
    QProcessEnvironment environment = sandbox.environment();
    if (runtimeSet)
        QVERIFY(QFile::setPermissions(
            sandbox.runtimeDir(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadGroup |
                                      QFile::ExeGroup | QFile::ReadOther | QFile::ExeOther));
    else
        environment.remove(QStringLiteral("XDG_RUNTIME_DIR"));
    const QString ownFolder = sandbox.tempDir() + QStringLiteral("/ostrel-%1").arg(geteuid());
    const QString spool = ownFolder + QLatin1String("/Ostrel_PDF_Editor_ContextMenu");

    // A run without arguments makes the spool folder, silently, in our own folder of the temporary one.
    auto plain = startCopy(sandbox, environment, {});
    QVERIFY(plain->waitForFinished(60000));
    QCOMPARE(plain->exitCode(), 0);
    QCOMPARE(plain->readAllStandardError(), QByteArray());
    QVERIFY(QFileInfo(spool).isDir());
    struct stat info
    {};
    QCOMPARE(lstat(QFile::encodeName(ownFolder).constData(), &info), 0);
    QCOMPARE(info.st_mode & 0777, mode_t(0700));
    QCOMPARE(QDir(sandbox.runtimeDir()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList());

    // And a selection still reaches the editor in one start.
    std::vector<std::unique_ptr<QProcess>> processes;
    QStringList paths;
    for (int i = 0; i < 3; ++i) {
        paths.append(selectedPath(i));
        processes.push_back(startCopy(sandbox, environment, {QStringLiteral("-ftype_merge"), paths.last()}));
    }
    const QList<qint64> ids = processIds(processes);
    QVERIFY(Sandbox::waitAll(processes, 120000));
    for (const auto &process : processes) {
        QCOMPARE(process->exitCode(), 0);
        QCOMPARE(process->readAllStandardError(), QByteArray());
    }
    QCOMPARE(theOnlyEditorStart(sandbox),
             QStringList(expectedArgument(QStringLiteral("-ftype_merge"), ids, paths)));
    QVERIFY(!QFileInfo::exists(spool));
}

void TestHandOff::plantedSpoolBaseIsNotUsed_data()
{
    QTest::addColumn<bool>("link");
    QTest::newRow("a link to a folder") << true;
    QTest::newRow("a folder of another account") << false;
}

void TestHandOff::plantedSpoolBaseIsNotUsed()
{
    QFETCH(bool, link);
    if (!link && geteuid() != 0)
        QSKIP("only root can make a folder owned by another account");
    Sandbox sandbox;
    QVERIFY(sandbox.isValid());
    QProcessEnvironment environment = sandbox.environment();
    environment.remove(QStringLiteral("XDG_RUNTIME_DIR"));
    const QString ownFolder = sandbox.tempDir() + QStringLiteral("/ostrel-%1").arg(geteuid());
    const QString target = sandbox.root() + QLatin1String("/planted");
    QVERIFY(QDir().mkpath(target));
    QVERIFY(QFile::setPermissions(target, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    if (link) {
        QVERIFY(QFile::link(target, ownFolder));
    } else {
        QVERIFY(QDir().rename(target, ownFolder));
        QCOMPARE(chown(QFile::encodeName(ownFolder).constData(), 4242, gid_t(-1)), 0);
    }

    auto copy = startCopy(sandbox, environment, {QStringLiteral("-ftype_edit"), QStringLiteral("C:/a.pdf")});
    QVERIFY(copy->waitForFinished(60000));
    QCOMPARE(copy->exitCode(), 0);
    QCOMPARE(copy->readAllStandardError(), QByteArray());
    // Nothing was written through what another account planted, and so nothing could be handed off.
    const QString planted = link ? target : ownFolder;
    QCOMPARE(QDir(planted).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot), QStringList());
    QTest::qWait(1000);
    QCOMPARE(editorStarts(sandbox), QList<QStringList>());
}

QTEST_GUILESS_MAIN(TestHandOff)
#include "tst_handoff.moc"
