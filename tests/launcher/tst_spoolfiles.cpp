#include "launcher.h"
#include "platform.h"

#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QByteArray fileBytes(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

void writeBytes(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(file.write(bytes), qint64(bytes.size()));
}

QStringList fileNames(const QStringList &paths)
{
    QStringList names;
    for (const QString &path : paths)
        names.append(QFileInfo(path).fileName());
    return names;
}

QStringList sorted(QStringList list)
{
    list.sort();
    return list;
}

// What lstat says of a path, enough to tell whether anything about it changed.
QString describe(const QString &path)
{
    struct stat info
    {};
    if (lstat(QFile::encodeName(path).constData(), &info) != 0)
        return QStringLiteral("<missing>");
    return QStringLiteral("type %1 mode %2 owner %3 link %4 entries %5")
        .arg(info.st_mode & S_IFMT, 0, 8)
        .arg(info.st_mode & 07777, 0, 8)
        .arg(info.st_uid)
        .arg(QFile::symLinkTarget(path))
        .arg(QDir(path).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot).join(','));
}

// Messages the code under test sends to the framework's log.
QStringList g_messages;
void recordMessage(QtMsgType, const QMessageLogContext &, const QString &message)
{
    g_messages.append(message);
}

// An account id that is not ours, for folders another account planted (only root can make those).
const uid_t kOtherAccount = 4242;

} // namespace

class TestSpoolFiles : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();

    void spoolFileIsNamedAfterTheProcessId();
    void writingAppendsOneLinePerPath();
    void writingCreatesAMissingFolder();
    void readingSplitsLines_data();
    void readingSplitsLines();
    void readingAMissingFileReportsIt();
    void listingIsByNameAndSkipsHiddenFilesAndFolders();
    void gatheringRemovesOnlyWhatWasRead();
    void folderIsRemovedWhenNothingIsLeft();
    void handOffArgumentIsNotEscaped_data();
    void handOffArgumentIsNotEscaped();

    void folderViewSeesTheFilesThatAreGathered();
    void arrivalsInARealFolder();

    void spoolBaseIsAPrivateFolder_data();
    void spoolBaseIsAPrivateFolder();
    void cleanup();

private:
    std::unique_ptr<QTemporaryDir> m_dir;
    QString m_spool;
    QByteArray m_runtimeVariable;
    QByteArray m_tmpdirVariable;
    bool m_hadRuntimeVariable = false;
    bool m_hadTmpdirVariable = false;
};

void TestSpoolFiles::init()
{
    m_hadRuntimeVariable = qEnvironmentVariableIsSet("XDG_RUNTIME_DIR");
    m_runtimeVariable = qgetenv("XDG_RUNTIME_DIR");
    m_hadTmpdirVariable = qEnvironmentVariableIsSet("TMPDIR");
    m_tmpdirVariable = qgetenv("TMPDIR");
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    m_spool = m_dir->path() + QLatin1String("/Ostrel_PDF_Editor_ContextMenu");
}

void TestSpoolFiles::cleanup()
{
    if (m_hadRuntimeVariable)
        qputenv("XDG_RUNTIME_DIR", m_runtimeVariable);
    else
        qunsetenv("XDG_RUNTIME_DIR");
    if (m_hadTmpdirVariable)
        qputenv("TMPDIR", m_tmpdirVariable);
    else
        qunsetenv("TMPDIR");
    qInstallMessageHandler(nullptr);
    // Planted folders of another account must not outlive the test; the temporary folder removes the rest.
    if (m_dir)
        QDir(m_dir->path()).removeRecursively();
}

void TestSpoolFiles::spoolFileIsNamedAfterTheProcessId()
{
    QCOMPARE(spoolFilePath(QStringLiteral("/x/spool"), 1234), QStringLiteral("/x/spool/1234.txt"));
    QCOMPARE(spoolFilePath(QStringLiteral("/x/spool"), Q_INT64_C(4294967301)),
             QStringLiteral("/x/spool/4294967301.txt"));
}

void TestSpoolFiles::writingAppendsOneLinePerPath()
{
    const QString file = spoolFilePath(m_spool, 77);
    QDir().mkpath(m_spool);
    const QString first = QStringLiteral("C:/Users/Zoë/My Files/a;b.pdf");
    const QString second = QStringLiteral("D:\\\u6587\u4ef6\\second.pdf");
    writeSpoolFile(file, first);
    QCOMPARE(fileBytes(file), first.toUtf8() + '\n');
    // The same name again (a reused process id): both paths must survive as separate lines.
    writeSpoolFile(file, second);
    QCOMPARE(fileBytes(file), first.toUtf8() + '\n' + second.toUtf8() + '\n');
    QCOMPARE(readSpoolFile(file), QStringList({first, second}));
}

void TestSpoolFiles::writingCreatesAMissingFolder()
{
    // A primary may have removed the folder after the entry point created it.
    QVERIFY(!QFileInfo::exists(m_spool));
    const QString file = spoolFilePath(m_spool, 5);
    writeSpoolFile(file, QStringLiteral("/a.pdf"));
    QCOMPARE(fileBytes(file), QByteArray("/a.pdf\n"));
}

void TestSpoolFiles::readingSplitsLines_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QStringList>("paths");

    QTest::newRow("one path, line end") << QByteArray("C:/a.pdf\n") << QStringList{"C:/a.pdf"};
    QTest::newRow("left over without line end")
        << QByteArray("C:/old one.pdf") << QStringList{"C:/old one.pdf"};
    QTest::newRow("two lines") << QByteArray("C:/a.pdf\nC:/b.pdf\n") << QStringList{"C:/a.pdf", "C:/b.pdf"};
    QTest::newRow("CR LF") << QByteArray("C:/a.pdf\r\nC:/b.pdf\r\n") << QStringList{"C:/a.pdf", "C:/b.pdf"};
    QTest::newRow("empty lines dropped")
        << QByteArray("\n\nC:/a.pdf\n\r\n\nC:/b.pdf") << QStringList{"C:/a.pdf", "C:/b.pdf"};
    QTest::newRow("empty file") << QByteArray() << QStringList();
    QTest::newRow("spaces kept") << QByteArray(" C:/a .pdf \n") << QStringList{" C:/a .pdf "};
    QTest::newRow("utf-8") << QByteArray("C:/gr\xc3\xbc\xc3\x9f/\xe6\x96\x87.pdf\n")
                           << QStringList{QStringLiteral("C:/gr\u00fc\u00df/\u6587.pdf")};
}

void TestSpoolFiles::readingSplitsLines()
{
    QFETCH(QByteArray, content);
    QFETCH(QStringList, paths);
    const QString file = m_dir->path() + QLatin1String("/1.txt");
    writeBytes(file, content);
    bool opened = false;
    QCOMPARE(readSpoolFile(file, &opened), paths);
    QVERIFY(opened);
}

void TestSpoolFiles::readingAMissingFileReportsIt()
{
    bool opened = true;
    QCOMPARE(readSpoolFile(m_dir->path() + QLatin1String("/missing.txt"), &opened), QStringList());
    QVERIFY(!opened);
}

void TestSpoolFiles::listingIsByNameAndSkipsHiddenFilesAndFolders()
{
    for (const char *name :
         {"456.txt", "1234.txt", "123.txt", "99.log", "B.txt", "a.txt", ".hidden.txt", "0folder/1.txt"})
        writeBytes(m_spool + QLatin1Char('/') + QLatin1String(name), "x\n");
    const QStringList listed = listSpoolFiles(m_spool);
    // Code unit order: '.' before digits, digits before capitals before small letters.
    QCOMPARE(fileNames(listed), QStringList({"123.txt", "1234.txt", "456.txt", "99.log", "B.txt", "a.txt"}));
    for (const QString &path : listed) {
        QVERIFY2(QFileInfo(path).isAbsolute(), qPrintable(path));
        QCOMPARE(QFileInfo(path).absolutePath(), QFileInfo(m_spool).absoluteFilePath());
    }
    QCOMPARE(listSpoolFiles(m_dir->path() + QLatin1String("/no such folder")), QStringList());
}

void TestSpoolFiles::gatheringRemovesOnlyWhatWasRead()
{
    writeBytes(m_spool + QLatin1String("/456.txt"), "C:/c.pdf\n");
    writeBytes(m_spool + QLatin1String("/1234.txt"), "C:/a.pdf\nC:/b;x.pdf\n");
    writeBytes(m_spool + QLatin1String("/.hidden"), "C:/hidden.pdf\n");
    writeBytes(m_spool + QLatin1String("/sub/7.txt"), "C:/nested.pdf\n");

    const GatheredSelection gathered = gatherSpoolFiles(m_spool);
    QCOMPARE(gathered.paths, QStringList({"C:/a.pdf", "C:/b;x.pdf", "C:/c.pdf"}));
    QCOMPARE(fileNames(gathered.consumedFiles), QStringList({"1234.txt", "456.txt"}));

    // A copy that spools after the listing: its path was not handed off and must stay.
    writeSpoolFile(spoolFilePath(m_spool, 99), QStringLiteral("C:/late.pdf"));

    removeGatheredFiles(gathered.consumedFiles, m_spool);
    QDir spool(m_spool);
    QCOMPARE(spool.entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot, QDir::Name),
             QStringList({".hidden", "99.txt", "sub"}));
    QCOMPARE(fileBytes(m_spool + QLatin1String("/sub/7.txt")), QByteArray("C:/nested.pdf\n"));
    QCOMPARE(gatherSpoolFiles(m_spool).paths, QStringList{"C:/late.pdf"});
}

void TestSpoolFiles::folderIsRemovedWhenNothingIsLeft()
{
    writeSpoolFile(spoolFilePath(m_spool, 1), QStringLiteral("C:/a.pdf"));
    writeSpoolFile(spoolFilePath(m_spool, 2), QStringLiteral("C:/b.pdf"));
    const GatheredSelection gathered = gatherSpoolFiles(m_spool);
    QCOMPARE(gathered.consumedFiles.size(), 2);
    removeGatheredFiles(gathered.consumedFiles, m_spool);
    QVERIFY(!QFileInfo::exists(m_spool));
    // Nothing to hand off and no folder: removal is harmless.
    removeGatheredFiles(QStringList(), m_spool);
    QVERIFY(QFileInfo::exists(m_dir->path()));
}

void TestSpoolFiles::handOffArgumentIsNotEscaped_data()
{
    QTest::addColumn<QString>("flag");
    QTest::addColumn<QStringList>("paths");
    QTest::addColumn<QString>("argument");

    QTest::newRow("one path") << "-ftype_edit" << QStringList{"C:/a b.pdf"} << "-ftype_edit;C:/a b.pdf";
    QTest::newRow("merge, two") << "-ftype_merge" << QStringList{"A", "B"} << "-ftype_merge;A;B";
    QTest::newRow("semicolon kept") << "-ftype_print" << QStringList{"C:/x;y.pdf", "\"q\".pdf"}
                                    << "-ftype_print;C:/x;y.pdf;\"q\".pdf";
    QTest::newRow("no path") << "-ftype_split" << QStringList() << "-ftype_split";
}

void TestSpoolFiles::handOffArgumentIsNotEscaped()
{
    QFETCH(QString, flag);
    QFETCH(QStringList, paths);
    QFETCH(QString, argument);
    QCOMPARE(handOffArgument(flag, paths), argument);
}

void TestSpoolFiles::folderViewSeesTheFilesThatAreGathered()
{
    writeBytes(m_spool + QLatin1String("/456.txt"), "C:/c.pdf\n");
    writeBytes(m_spool + QLatin1String("/leftover"), "C:/d.pdf\n");
    writeBytes(m_spool + QLatin1String("/.hidden"), "C:/hidden.pdf\n");
    writeBytes(m_spool + QLatin1String("/sub/7.txt"), "C:/nested.pdf\n");
    const SpoolFolderView view = spoolFolderView(m_spool);
    QCOMPARE(sorted(view.fileNames()), sorted(fileNames(listSpoolFiles(m_spool))));

    const QDateTime written = QDateTime::fromMSecsSinceEpoch(Q_INT64_C(1600000000123));
    QFile file(m_spool + QLatin1String("/456.txt"));
    QVERIFY(file.open(QIODevice::ReadWrite));
    QVERIFY(file.setFileTime(written, QFileDevice::FileModificationTime));
    file.close();
    QCOMPARE(view.modifiedMsSinceEpoch(QStringLiteral("456.txt")), written.toMSecsSinceEpoch());
    QCOMPARE(view.modifiedMsSinceEpoch(QStringLiteral("gone.txt")), qint64(-1));
    QCOMPARE(spoolFolderView(m_dir->path() + QLatin1String("/no such folder")).fileNames(), QStringList());
}

void TestSpoolFiles::arrivalsInARealFolder()
{
    writeSpoolFile(spoolFilePath(m_spool, 1), QStringLiteral("C:/own.pdf"));
    SpoolArrivals arrivals(spoolFolderView(m_spool));
    arrivals.look();
    QCOMPARE(arrivals.arrivals(), 0);

    QTest::qSleep(300);
    QElapsedTimer sinceWrite;
    sinceWrite.start();
    writeSpoolFile(spoolFilePath(m_spool, 2), QStringLiteral("C:/peer.pdf"));
    arrivals.look();
    QCOMPARE(arrivals.arrivals(), 1);
    // The file's own time places its arrival: just now, not when the folder was first listed.
    QVERIFY2(arrivals.quietMs() < 300, QByteArray::number(arrivals.quietMs()).constData());
    QVERIFY(arrivals.quietMs() <= sinceWrite.elapsed() + 10); // the file system's clock is coarse

    // Neither what is not gathered nor a second path in a file already there is a new copy.
    writeBytes(m_spool + QLatin1String("/.hidden"), "C:/hidden.pdf\n");
    writeBytes(m_spool + QLatin1String("/sub/7.txt"), "C:/nested.pdf\n");
    writeSpoolFile(spoolFilePath(m_spool, 2), QStringLiteral("C:/again.pdf"));
    arrivals.look();
    QCOMPARE(arrivals.arrivals(), 1);
}

void TestSpoolFiles::spoolBaseIsAPrivateFolder_data()
{
    // The runtime folder as the environment names it, and what is found at "$TMPDIR/ostrel-<uid>".
    QTest::addColumn<QString>("runtime");
    QTest::addColumn<QString>("candidate");
    QTest::addColumn<int>("mask");
    QTest::addColumn<QString>("expected"); // "runtime", "candidate" or "none"

    QTest::newRow("private runtime folder") << "private"
                                            << "absent" << 022 << "runtime";
    QTest::newRow("runtime folder unset") << "unset"
                                          << "absent" << 022 << "candidate";
    QTest::newRow("runtime folder empty") << "empty"
                                          << "absent" << 022 << "candidate";
    QTest::newRow("runtime folder missing") << "missing"
                                            << "absent" << 022 << "candidate";
    QTest::newRow("runtime folder relative") << "relative"
                                             << "absent" << 022 << "candidate";
    QTest::newRow("runtime folder open to others") << "open"
                                                   << "absent" << 022 << "candidate";
    QTest::newRow("runtime folder a link to a private one") << "symlink"
                                                            << "absent" << 022 << "candidate";
    QTest::newRow("runtime folder of another account") << "foreign"
                                                       << "absent" << 022 << "candidate";
    QTest::newRow("runtime folder a file") << "file"
                                           << "absent" << 022 << "candidate";
    QTest::newRow("own folder already there") << "unset"
                                              << "ours" << 022 << "candidate";
    QTest::newRow("own folder made under a strict umask") << "unset"
                                                          << "absent" << 0277 << "candidate";
    QTest::newRow("planted link") << "unset"
                                  << "symlink" << 022 << "none";
    QTest::newRow("planted folder of another account") << "unset"
                                                       << "foreign" << 022 << "none";
    QTest::newRow("folder of ours open to others") << "unset"
                                                   << "open" << 022 << "none";
    QTest::newRow("a file in its place") << "unset"
                                         << "file" << 022 << "none";
    QTest::newRow("temporary folder missing") << "unset"
                                              << "no temporary folder" << 022 << "none";
}

void TestSpoolFiles::spoolBaseIsAPrivateFolder()
{
    QFETCH(QString, runtime);
    QFETCH(QString, candidate);
    QFETCH(int, mask);
    QFETCH(QString, expected);
    if ((runtime == QLatin1String("foreign") || candidate == QLatin1String("foreign")) && geteuid() != 0)
        QSKIP("only root can make a folder owned by another account");

    const QString root = m_dir->path();
    const QString elsewhere = root + QLatin1String("/elsewhere"); // a private folder of ours, to link to
    QVERIFY(QDir().mkpath(elsewhere));
    QVERIFY(QFile::setPermissions(elsewhere, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));

    const QString runtimePath = root + QLatin1String("/runtime");
    const auto makeFolder = [](const QString &path, mode_t mode, uid_t owner) {
        QVERIFY(QDir().mkpath(path));
        QCOMPARE(chmod(QFile::encodeName(path).constData(), mode), 0);
        QCOMPARE(chown(QFile::encodeName(path).constData(), owner, gid_t(-1)), 0);
    };
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtimePath));
    if (runtime == QLatin1String("private"))
        makeFolder(runtimePath, 0700, geteuid());
    else if (runtime == QLatin1String("unset"))
        qunsetenv("XDG_RUNTIME_DIR");
    else if (runtime == QLatin1String("empty"))
        qputenv("XDG_RUNTIME_DIR", QByteArray());
    else if (runtime == QLatin1String("relative"))
        qputenv("XDG_RUNTIME_DIR", "runtime");
    else if (runtime == QLatin1String("open"))
        makeFolder(runtimePath, 0755, geteuid());
    else if (runtime == QLatin1String("symlink"))
        QVERIFY(QFile::link(elsewhere, runtimePath));
    else if (runtime == QLatin1String("foreign"))
        makeFolder(runtimePath, 0700, kOtherAccount);
    else if (runtime == QLatin1String("file"))
        writeBytes(runtimePath, "not a folder");

    const QString tmp = root + QLatin1String("/tmp");
    const QString ownFolder = tmp + QStringLiteral("/ostrel-%1").arg(geteuid());
    qputenv("TMPDIR", QFile::encodeName(tmp));
    if (candidate != QLatin1String("no temporary folder"))
        makeFolder(tmp, 01777, geteuid());
    if (candidate == QLatin1String("ours"))
        makeFolder(ownFolder, 0700, geteuid());
    else if (candidate == QLatin1String("symlink"))
        QVERIFY(QFile::link(elsewhere, ownFolder));
    else if (candidate == QLatin1String("foreign"))
        makeFolder(ownFolder, 0700, kOtherAccount);
    else if (candidate == QLatin1String("open"))
        makeFolder(ownFolder, 0755, geteuid());
    else if (candidate == QLatin1String("file"))
        writeBytes(ownFolder, "not a folder");

    const QString runtimeBefore = describe(runtimePath);
    const QString elsewhereBefore = describe(elsewhere);
    const QString plantedBefore = describe(ownFolder);

    g_messages.clear();
    qInstallMessageHandler(recordMessage);
    const mode_t previousMask = umask(mode_t(mask));
    const QString base = Platform::spoolBaseLocation();
    umask(previousMask);
    qInstallMessageHandler(nullptr);

    QCOMPARE(g_messages, QStringList());
    // The runtime folder and anything linked to are left as they were, whichever folder was chosen.
    QCOMPARE(describe(runtimePath), runtimeBefore);
    QCOMPARE(describe(elsewhere), elsewhereBefore);
    if (expected == QLatin1String("runtime")) {
        QCOMPARE(base, runtimePath);
    } else if (expected == QLatin1String("candidate")) {
        QCOMPARE(base, ownFolder);
        QCOMPARE(describe(ownFolder),
                 QStringLiteral("type 40000 mode 700 owner %1 link  entries ").arg(geteuid()));
    } else {
        QCOMPARE(base, QString());
        QCOMPARE(describe(ownFolder), plantedBefore);
    }
}

QTEST_GUILESS_MAIN(TestSpoolFiles)
#include "tst_spoolfiles.moc"
