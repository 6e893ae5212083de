#include "launcher.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

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

private:
    std::unique_ptr<QTemporaryDir> m_dir;
    QString m_spool;
};

void TestSpoolFiles::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    m_spool = m_dir->path() + QLatin1String("/Ostrel_PDF_Editor_ContextMenu");
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

QTEST_GUILESS_MAIN(TestSpoolFiles)
#include "tst_spoolfiles.moc"
