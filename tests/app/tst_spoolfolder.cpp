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

namespace {

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

// Each spooled path as "<verb flag> | <path>", the flag empty for a line of the earlier format.
QStringList described(const QList<SpooledPath> &paths)
{
    QStringList lines;
    for (const SpooledPath &spooled : paths)
        lines.append(spooled.verbFlag + QLatin1String(" | ") + spooled.path);
    return lines;
}

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
    void gatheringByAge_data();
    void gatheringByAge();

    void folderViewSeesTheFilesThatAreGathered();
    void folderThatIsNotAvailableHoldsNothing();

    void cleanup();

private:
    std::unique_ptr<QTemporaryDir> m_dir;
    QString m_spool;
};

void SpoolFolderTest::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    m_spool = m_dir->path() + QLatin1String("/Ostrel_PDF_Editor_ContextMenu");
}

void SpoolFolderTest::cleanup()
{
    m_dir.reset();
}

void SpoolFolderTest::spoolFileIsNamedAfterTheProcessId()
{
    QCOMPARE(SpoolFolder(QStringLiteral("/x/spool")).filePathFor(1234), QStringLiteral("/x/spool/1234.txt"));
    QCOMPARE(SpoolFolder(QStringLiteral("/x/spool")).filePathFor(Q_INT64_C(4294967301)),
             QStringLiteral("/x/spool/4294967301.txt"));
}

void SpoolFolderTest::writingAppendsOneLinePerPath()
{
    const QString file = SpoolFolder(m_spool).filePathFor(77);
    QDir().mkpath(m_spool);
    const QString first = QStringLiteral("C:/Users/Zoë/My Files/a;b.pdf");
    const QString second = QStringLiteral("D:\\\u6587\u4ef6\\second.pdf");
    SpoolFolder(m_spool).write(77, QStringLiteral("-ftype_merge"), first);
    QCOMPARE(readFile(file), "-ftype_merge;" + first.toUtf8() + '\n');
    // The same name again (a reused process id): both paths must survive as separate lines, each with its
    // verb.
    SpoolFolder(m_spool).write(77, QStringLiteral("-ftype_print"), second);
    QCOMPARE(readFile(file), "-ftype_merge;" + first.toUtf8() + "\n-ftype_print;" + second.toUtf8() + '\n');
    QCOMPARE(described(readSpoolFile(file)),
             QStringList({"-ftype_merge | " + first, "-ftype_print | " + second}));
    // Written under another name and put in place: nothing else is left beside the spool file.
    const auto everything = QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot;
    QCOMPARE(QDir(m_spool).entryList(everything), QStringList("77.txt"));

    // A file of the earlier format ends without a line end; the new line still comes apart from it.
    QVERIFY(writeFile(SpoolFolder(m_spool).filePathFor(78), "C:/old.pdf"));
    SpoolFolder(m_spool).write(78, QStringLiteral("-ftype_edit"), first);
    QCOMPARE(readFile(SpoolFolder(m_spool).filePathFor(78)),
             "C:/old.pdf\n-ftype_edit;" + first.toUtf8() + '\n');
    QCOMPARE(QDir(m_spool).entryList(everything, QDir::Name), QStringList({"77.txt", "78.txt"}));
}

void SpoolFolderTest::writingCreatesAMissingFolder()
{
    // A primary may have removed the folder after the entry point created it.
    QVERIFY(!QFileInfo::exists(m_spool));
    const QString file = SpoolFolder(m_spool).filePathFor(5);
    SpoolFolder(m_spool).write(5, QStringLiteral("-ftype_edit"), QStringLiteral("/a.pdf"));
    QCOMPARE(readFile(file), QByteArray("-ftype_edit;/a.pdf\n"));
}

void SpoolFolderTest::readingSplitsLines_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QStringList>("paths"); // "<verb flag> | <path>", the flag empty for the earlier format

    QTest::newRow("one path, line end")
        << QByteArray("-ftype_edit;C:/a.pdf\n") << QStringList{"-ftype_edit | C:/a.pdf"};
    QTest::newRow("two lines, two verbs")
        << QByteArray("-ftype_merge;C:/a.pdf\n-ftype_print;C:/b.pdf\n")
        << QStringList{"-ftype_merge | C:/a.pdf", "-ftype_print | C:/b.pdf"};
    QTest::newRow("semicolons in the path") << QByteArray("-ftype_split;C:/a;b;-ftype_edit;c.pdf\n")
                                            << QStringList{"-ftype_split | C:/a;b;-ftype_edit;c.pdf"};
    QTest::newRow("CR LF") << QByteArray("-ftype_edit;C:/a.pdf\r\n-ftype_edit;C:/b.pdf\r\n")
                           << QStringList{"-ftype_edit | C:/a.pdf", "-ftype_edit | C:/b.pdf"};
    QTest::newRow("empty lines and empty paths dropped")
        << QByteArray("\n\n-ftype_edit;C:/a.pdf\n\r\n-ftype_edit;\n\n-ftype_edit;C:/b.pdf")
        << QStringList{"-ftype_edit | C:/a.pdf", "-ftype_edit | C:/b.pdf"};
    QTest::newRow("empty file") << QByteArray() << QStringList();
    QTest::newRow("spaces kept") << QByteArray("-ftype_edit; C:/a .pdf \n")
                                 << QStringList{"-ftype_edit |  C:/a .pdf "};
    QTest::newRow("utf-8") << QByteArray("-ftype_print;C:/gr\xc3\xbc\xc3\x9f/\xe6\x96\x87.pdf\n")
                           << QStringList{QStringLiteral("-ftype_print | C:/gr\u00fc\u00df/\u6587.pdf")};
    // Files of the earlier format held paths alone; their paths carry no verb.
    QTest::newRow("earlier format, without line end")
        << QByteArray("C:/old one.pdf") << QStringList{" | C:/old one.pdf"};
    QTest::newRow("earlier format, semicolon in the path")
        << QByteArray("C:/a.pdf\nC:/b;c.pdf\n") << QStringList{" | C:/a.pdf", " | C:/b;c.pdf"};
    QTest::newRow("earlier format beside the current one")
        << QByteArray("C:/old.pdf\n-ftype_merge;C:/new.pdf\n")
        << QStringList{" | C:/old.pdf", "-ftype_merge | C:/new.pdf"};
    // Only the verbs' own flags, in their exact case, mark a verb.
    QTest::newRow("no verb's flag") << QByteArray("-ftype_scan;C:/a.pdf\n-FTYPE_EDIT;C:/b.pdf\n;C:/c.pdf\n")
                                    << QStringList{" | -ftype_scan;C:/a.pdf", " | -FTYPE_EDIT;C:/b.pdf",
                                                   " | ;C:/c.pdf"};
}

void SpoolFolderTest::readingSplitsLines()
{
    QFETCH(QByteArray, content);
    QFETCH(QStringList, paths);
    const QString file = m_dir->path() + QLatin1String("/1.txt");
    QVERIFY(writeFile(file, content));
    bool opened = false;
    QCOMPARE(described(readSpoolFile(file, &opened)), paths);
    QVERIFY(opened);
}

void SpoolFolderTest::readingAMissingFileReportsIt()
{
    bool opened = true;
    QCOMPARE(readSpoolFile(m_dir->path() + QLatin1String("/missing.txt"), &opened).size(), 0);
    QVERIFY(!opened);
}

void SpoolFolderTest::listingIsByNameAndSkipsHiddenFilesAndFolders()
{
    for (const char *name : {"456.txt", "1234.txt", "123.txt", "99.log", "B.txt", "a.txt", ".hidden.txt",
                             ".5.txt.partial", "0folder/1.txt"})
        QVERIFY(writeFile(m_spool + QLatin1Char('/') + QLatin1String(name), "x\n"));
    const QStringList listed = SpoolFolder(m_spool).list();
    // Code unit order: '.' before digits, digits before capitals before small letters.
    QCOMPARE(fileNames(listed), QStringList({"123.txt", "1234.txt", "456.txt", "99.log", "B.txt", "a.txt"}));
    for (const QString &path : listed) {
        QVERIFY2(QFileInfo(path).isAbsolute(), qPrintable(path));
        QCOMPARE(QFileInfo(path).absolutePath(), QFileInfo(m_spool).absoluteFilePath());
    }
    QCOMPARE(SpoolFolder(m_dir->path() + QLatin1String("/no such folder")).list(), QStringList());
}

void SpoolFolderTest::gatheringRemovesOnlyWhatWasRead()
{
    QVERIFY(writeFile(m_spool + QLatin1String("/456.txt"), "-ftype_split;C:/c.pdf\n"));
    QVERIFY(writeFile(m_spool + QLatin1String("/1234.txt"), "-ftype_edit;C:/a.pdf\nC:/b;x.pdf\n"));
    QVERIFY(writeFile(m_spool + QLatin1String("/.hidden"), "-ftype_edit;C:/hidden.pdf\n"));
    QVERIFY(writeFile(m_spool + QLatin1String("/sub/7.txt"), "-ftype_edit;C:/nested.pdf\n"));

    const GatheredSelection gathered = SpoolFolder(m_spool).gather();
    QCOMPARE(described(gathered.paths),
             QStringList({"-ftype_edit | C:/a.pdf", " | C:/b;x.pdf", "-ftype_split | C:/c.pdf"}));
    QCOMPARE(fileNames(gathered.consumedFiles), QStringList({"1234.txt", "456.txt"}));

    // A copy that spools after the listing: its path was not handed off and must stay.
    SpoolFolder(m_spool).write(99, QStringLiteral("-ftype_print"), QStringLiteral("C:/late.pdf"));

    SpoolFolder(m_spool).removeGathered(gathered.consumedFiles);
    QDir spool(m_spool);
    QCOMPARE(spool.entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot, QDir::Name),
             QStringList({".hidden", "99.txt", "sub"}));
    QCOMPARE(readFile(m_spool + QLatin1String("/sub/7.txt")), QByteArray("-ftype_edit;C:/nested.pdf\n"));
    QCOMPARE(described(SpoolFolder(m_spool).gather().paths), QStringList{"-ftype_print | C:/late.pdf"});
}

void SpoolFolderTest::folderIsRemovedWhenNothingIsLeft()
{
    SpoolFolder(m_spool).write(1, QStringLiteral("-ftype_edit"), QStringLiteral("C:/a.pdf"));
    SpoolFolder(m_spool).write(2, QStringLiteral("-ftype_edit"), QStringLiteral("C:/b.pdf"));
    const GatheredSelection gathered = SpoolFolder(m_spool).gather();
    QCOMPARE(gathered.consumedFiles.size(), 2);
    SpoolFolder(m_spool).removeGathered(gathered.consumedFiles);
    QVERIFY(!QFileInfo::exists(m_spool));
    // Nothing to hand off and no folder: removal is harmless.
    SpoolFolder(m_spool).removeGathered(QStringList());
    QVERIFY(QFileInfo::exists(m_dir->path()));
}

void SpoolFolderTest::gatheringByAge_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<qint64>("ageMs"); // of the file's modification time, by the wall clock
    QTest::addColumn<bool>("read");
    QTest::addColumn<bool>("removed"); // unread, as too old

    const qint64 bound = SpoolFileMaxAgeMs;
    QTest::newRow("young") << "12.txt" << qint64(10000) << true << false;
    QTest::newRow("within the bound") << "12.txt" << bound - 60000 << true << false;
    QTest::newRow("older than the bound") << "12.txt" << bound + 60000 << false << true;
    QTest::newRow("in the future (clock set back)") << "12.txt" << qint64(-3600000) << true << false;
    QTest::newRow("unfinished, young: still being written")
        << ".12.txt.partial" << qint64(0) << false << false;
    QTest::newRow("unfinished, older than the bound: its writer died")
        << ".12.txt.partial" << bound + 60000 << false << true;
    QTest::newRow("someone else's hidden file") << ".hidden" << bound + 60000 << false << false;
}

void SpoolFolderTest::gatheringByAge()
{
    QFETCH(QString, name);
    QFETCH(qint64, ageMs);
    QFETCH(bool, read);
    QFETCH(bool, removed);
    const QString file = m_spool + QLatin1Char('/') + name;
    QVERIFY(writeFileDated(file, "-ftype_merge;C:/a.pdf\n", ageMs));

    const GatheredSelection gathered = SpoolFolder(m_spool).gather();
    QCOMPARE(described(gathered.paths), read ? QStringList("-ftype_merge | C:/a.pdf") : QStringList());
    QCOMPARE(gathered.consumedFiles, read ? QStringList(file) : QStringList());
    QCOMPARE(gathered.staleFiles, removed ? QStringList(file) : QStringList());
    SpoolFolder(m_spool).removeGathered(gathered.consumedFiles + gathered.staleFiles);
    QCOMPARE(QFileInfo::exists(file), !read && !removed);

    // A copy that reuses the process id of a file older than the bound keeps none of its paths.
    if (name == QLatin1String("12.txt") && removed) {
        QVERIFY(writeFileDated(file, "-ftype_merge;C:/a.pdf\n", ageMs));
        SpoolFolder(m_spool).write(12, QStringLiteral("-ftype_print"), QStringLiteral("C:/b.pdf"));
        QCOMPARE(readFile(file), QByteArray("-ftype_print;C:/b.pdf\n"));
    }
}

void SpoolFolderTest::folderViewSeesTheFilesThatAreGathered()
{
    QVERIFY(writeFile(m_spool + QLatin1String("/456.txt"), "C:/c.pdf\n"));
    QVERIFY(writeFile(m_spool + QLatin1String("/leftover"), "C:/d.pdf\n"));
    QVERIFY(writeFile(m_spool + QLatin1String("/.hidden"), "C:/hidden.pdf\n"));
    QVERIFY(writeFile(m_spool + QLatin1String("/.8.txt.partial"), "-ftype_edit;C:/hal"));
    QVERIFY(writeFile(m_spool + QLatin1String("/sub/7.txt"), "C:/nested.pdf\n"));
    const SpoolFolderView view = SpoolFolder(m_spool).view();
    QCOMPARE(sorted(view.fileNames()), sorted(fileNames(SpoolFolder(m_spool).list())));

    const QDateTime written = QDateTime::fromMSecsSinceEpoch(Q_INT64_C(1600000000123));
    QFile file(m_spool + QLatin1String("/456.txt"));
    QVERIFY(file.open(QIODevice::ReadWrite));
    QVERIFY(file.setFileTime(written, QFileDevice::FileModificationTime));
    file.close();
    QCOMPARE(view.modifiedMsSinceEpoch(QStringLiteral("456.txt")), written.toMSecsSinceEpoch());
    QCOMPARE(view.modifiedMsSinceEpoch(QStringLiteral("gone.txt")), qint64(-1));
    QCOMPARE(SpoolFolder(m_dir->path() + QLatin1String("/no such folder")).view().fileNames(), QStringList());
}

void SpoolFolderTest::folderThatIsNotAvailableHoldsNothing()
{
    // No private folder could be had: nothing may be written anywhere else, such as at the root.
    const SpoolFolder none;
    QVERIFY(!none.isAvailable());
    none.create();
    none.write(4242, QStringLiteral("-ftype_edit"), QStringLiteral("C:/a.pdf"));
    QVERIFY(!QFileInfo::exists(none.filePathFor(4242)));
    QCOMPARE(none.gather().paths.size(), 0);
    QVERIFY(SpoolFolder(m_spool).isAvailable());
}

QTEST_GUILESS_MAIN(SpoolFolderTest)
#include "tst_spoolfolder.moc"
