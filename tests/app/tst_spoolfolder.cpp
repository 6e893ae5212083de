#include "platform.h"
#include "spoolfolder.h"
#include "testfiles.h"

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

class SpoolFolderTest : public QObject
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

    void folderViewSeesTheFilesThatAreGathered();

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

void SpoolFolderTest::init()
{
    m_hadRuntimeVariable = qEnvironmentVariableIsSet("XDG_RUNTIME_DIR");
    m_runtimeVariable = qgetenv("XDG_RUNTIME_DIR");
    m_hadTmpdirVariable = qEnvironmentVariableIsSet("TMPDIR");
    m_tmpdirVariable = qgetenv("TMPDIR");
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    m_spool = m_dir->path() + QLatin1String("/Ostrel_PDF_Editor_ContextMenu");
}

void SpoolFolderTest::cleanup()
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

void SpoolFolderTest::spoolFileIsNamedAfterTheProcessId()
{
    QCOMPARE(spoolFilePath(QStringLiteral("/x/spool"), 1234), QStringLiteral("/x/spool/1234.txt"));
    QCOMPARE(spoolFilePath(QStringLiteral("/x/spool"), Q_INT64_C(4294967301)),
             QStringLiteral("/x/spool/4294967301.txt"));
}

void SpoolFolderTest::writingAppendsOneLinePerPath()
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

void SpoolFolderTest::writingCreatesAMissingFolder()
{
    // A primary may have removed the folder after the entry point created it.
    QVERIFY(!QFileInfo::exists(m_spool));
    const QString file = spoolFilePath(m_spool, 5);
    writeSpoolFile(file, QStringLiteral("/a.pdf"));
    QCOMPARE(fileBytes(file), QByteArray("/a.pdf\n"));
}

void SpoolFolderTest::readingSplitsLines_data()
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

void SpoolFolderTest::readingSplitsLines()
{
    QFETCH(QByteArray, content);
    QFETCH(QStringList, paths);
    const QString file = m_dir->path() + QLatin1String("/1.txt");
    QVERIFY(writeFile(file, content));
    bool opened = false;
    QCOMPARE(readSpoolFile(file, &opened), paths);
    QVERIFY(opened);
}

void SpoolFolderTest::readingAMissingFileReportsIt()
{
    bool opened = true;
    QCOMPARE(readSpoolFile(m_dir->path() + QLatin1String("/missing.txt"), &opened), QStringList());
    QVERIFY(!opened);
}

void SpoolFolderTest::listingIsByNameAndSkipsHiddenFilesAndFolders()
{
    for (const char *name :
         {"456.txt", "1234.txt", "123.txt", "99.log", "B.txt", "a.txt", ".hidden.txt", "0folder/1.txt"})
        QVERIFY(writeFile(m_spool + QLatin1Char('/') + QLatin1String(name), "x\n"));
    const QStringList listed = listSpoolFiles(m_spool);
    // Code unit order: '.' before digits, digits before capitals before small letters.
    QCOMPARE(fileNames(listed), QStringList({"123.txt", "1234.txt", "456.txt", "99.log", "B.txt", "a.txt"}));
    for (const QString &path : listed) {
        QVERIFY2(QFileInfo(path).isAbsolute(), qPrintable(path));
        QCOMPARE(QFileInfo(path).absolutePath(), QFileInfo(m_spool).absoluteFilePath());
    }
    QCOMPARE(listSpoolFiles(m_dir->path() + QLatin1String("/no such folder")), QStringList());
}

void SpoolFolderTest::gatheringRemovesOnlyWhatWasRead()
{
    QVERIFY(writeFile(m_spool + QLatin1String("/456.txt"), "C:/c.pdf\n"));
    QVERIFY(writeFile(m_spool + QLatin1String("/1234.txt"), "C:/a.pdf\nC:/b;x.pdf\n"));
    QVERIFY(writeFile(m_spool + QLatin1String("/.hidden"), "C:/hidden.pdf\n"));
    QVERIFY(writeFile(m_spool + QLatin1String("/sub/7.txt"), "C:/nested.pdf\n"));

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

void SpoolFolderTest::folderIsRemovedWhenNothingIsLeft()
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

void SpoolFolderTest::folderViewSeesTheFilesThatAreGathered()
{
    QVERIFY(writeFile(m_spool + QLatin1String("/456.txt"), "C:/c.pdf\n"));
    QVERIFY(writeFile(m_spool + QLatin1String("/leftover"), "C:/d.pdf\n"));
    QVERIFY(writeFile(m_spool + QLatin1String("/.hidden"), "C:/hidden.pdf\n"));
    QVERIFY(writeFile(m_spool + QLatin1String("/sub/7.txt"), "C:/nested.pdf\n"));
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

void SpoolFolderTest::spoolBaseIsAPrivateFolder_data()
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

void SpoolFolderTest::spoolBaseIsAPrivateFolder()
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
        QVERIFY(writeFile(runtimePath, "not a folder"));

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
        QVERIFY(writeFile(ownFolder, "not a folder"));

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

QTEST_GUILESS_MAIN(SpoolFolderTest)
#include "tst_spoolfolder.moc"
