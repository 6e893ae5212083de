#include "spoolfolder.h"
#include "testfiles.h"

#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <memory>
#include <unistd.h>

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

// Process ids no process can have (Linux hands out at most 2^22): primaries that are gone, and the primary
// that gathers in these tests. The test's own process is a running primary (its image is the one
// gather() compares).
constexpr qint64 GonePrimary = 4194305;
constexpr qint64 OtherGonePrimary = 4194307;
constexpr qint64 OwnPrimary = 4194306;

Gatherer gathererStarted(qint64 agoMs = 0, bool idUsedBefore = false)
{
    return Gatherer{OwnPrimary, QDateTime::currentMSecsSinceEpoch() - agoMs, idUsedBefore};
}

// A name with "%own", "%gone" and "%running" put in.
QString withProcessIds(QString name)
{
    return name.replace(QLatin1String("%own"), QString::number(OwnPrimary))
        .replace(QLatin1String("%gone"), QString::number(GonePrimary))
        .replace(QLatin1String("%running"), QString::number(QCoreApplication::applicationPid()));
}

// Each earlier selection as "<primary>: <paths>".
QStringList describedEarlier(const QList<EarlierSelection> &selections)
{
    QStringList lines;
    for (const EarlierSelection &selection : selections) {
        QStringList paths;
        for (const SpooledPath &spooled : selection.paths)
            paths.append(spooled.path);
        lines.append(
            QStringLiteral("%1: %2").arg(selection.primaryProcessId).arg(paths.join(QLatin1Char(' '))));
    }
    return lines;
}

} // namespace

class SpoolFolderTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();

    void spoolFileIsNamedAfterTheProcessId_data();
    void spoolFileIsNamedAfterTheProcessId();
    void writingAppendsOneLinePerPath();
    void writingRefusesALineBreak_data();
    void writingRefusesALineBreak();
    void writingCreatesAMissingFolder();
    void readingSplitsLines_data();
    void readingSplitsLines();
    void readingAMissingFileReportsIt();
    void listingIsByNameAndSkipsHiddenFilesAndFolders();
    void gatheringRemovesOnlyWhatWasRead();
    void folderIsRemovedWhenNothingIsLeft();
    void gatheringByAge_data();
    void gatheringByAge();
    void earlierSelectionsStayApart();
    void aFileIsClaimedOnce();
    void fileOfAReusedIdSetAsideIsKept();
    void handedOffFileThatCannotBeRemovedIsEmptied();

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

void SpoolFolderTest::spoolFileIsNamedAfterTheProcessId_data()
{
    QTest::addColumn<qint64>("processId");
    QTest::addColumn<qint64>("primary"); // of the writer's selection, 0 for a copy without a role
    QTest::addColumn<QString>("name");
    QTest::newRow("without a role") << qint64(1234) << qint64(0) << "1234.txt";
    QTest::newRow("secondary") << qint64(1234) << qint64(77) << "1234-77.txt";
    QTest::newRow("primary") << qint64(77) << qint64(77) << "77-77.txt";
    QTest::newRow("beyond 32 bits") << Q_INT64_C(4294967301) << Q_INT64_C(4294967302)
                                    << "4294967301-4294967302.txt";
}

void SpoolFolderTest::spoolFileIsNamedAfterTheProcessId()
{
    QFETCH(qint64, processId);
    QFETCH(qint64, primary);
    QFETCH(QString, name);
    const QString path =
        SpoolFolder(QStringLiteral("/x/spool")).forSelectionOf(primary).filePathFor(processId);
    QCOMPARE(path, QStringLiteral("/x/spool/") + name);
    QCOMPARE(selectionOfSpoolFile(name), primary);
    // Names that name no primary: earlier versions' files, and files that are not ours.
    for (const char *other : {"12.txt", "12-.txt", "-12.txt", "1-2-3.txt", "1-+2.txt", "1- 2.txt", "a-2.txt",
                              "1-2.log", "1-0.txt", "1-2.txt.partial"})
        QVERIFY2(selectionOfSpoolFile(QLatin1String(other)) == 0, other);
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

void SpoolFolderTest::writingRefusesALineBreak_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<bool>("written");
    // A name with a line break would end its line there; the rest would be read as a path that nobody
    // chose, under any verb it names.
    QTest::newRow("LF, then a verb and a path")
        << "/home/ann/report\n-ftype_print;/home/ann/private.pdf" << false;
    QTest::newRow("CR inside") << "/home/ann/a\rb.pdf" << false;
    QTest::newRow("CR at the end") << "/home/ann/a.pdf\r" << false;
    QTest::newRow("LF at the end") << "/home/ann/a.pdf\n" << false;
    QTest::newRow("tab and other controls") << "/home/ann/a\tb\x01.pdf" << true;
    QTest::newRow("line and paragraph separators") << QStringLiteral("/home/ann/a\u2028b\u2029.pdf") << true;
}

void SpoolFolderTest::writingRefusesALineBreak()
{
    QFETCH(QString, path);
    QFETCH(bool, written);
    const SpoolFolder spool = SpoolFolder(m_spool).forSelectionOf(OwnPrimary);
    QCOMPARE(isSpoolablePath(path), written);
    QCOMPARE(spool.write(9, QStringLiteral("-ftype_merge"), path), written);
    QCOMPARE(described(readSpoolFile(spool.filePathFor(9))),
             written ? QStringList("-ftype_merge | " + path) : QStringList());
    QCOMPARE(QFileInfo::exists(spool.filePathFor(9)), written);
}

void SpoolFolderTest::writingCreatesAMissingFolder()
{
    // A primary may have removed the folder after the entry point created it.
    QVERIFY(!QFileInfo::exists(m_spool));
    const QString file = SpoolFolder(m_spool).filePathFor(5);
    QVERIFY(SpoolFolder(m_spool).write(5, QStringLiteral("-ftype_edit"), QStringLiteral("/a.pdf")));
    QCOMPARE(readFile(file), QByteArray("-ftype_edit;/a.pdf\n"));
    // A folder that cannot be made (a file in its place): the write says so.
    QVERIFY(writeFile(m_dir->path() + QLatin1String("/blocked"), "not a folder"));
    QVERIFY(!SpoolFolder(m_dir->path() + QLatin1String("/blocked"))
                 .write(5, QStringLiteral("-ftype_edit"), QStringLiteral("/a.pdf")));
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

    const GatheredSelection gathered = SpoolFolder(m_spool).gather(gathererStarted());
    // Files that name no primary are one earlier selection.
    QCOMPARE(gathered.earlier.size(), 1);
    QCOMPARE(described(gathered.earlier.first().paths),
             QStringList({"-ftype_edit | C:/a.pdf", " | C:/b;x.pdf", "-ftype_split | C:/c.pdf"}));
    QCOMPARE(gathered.paths.size(), 0);
    QCOMPARE(fileNames(gathered.consumedFiles), QStringList({withProcessIds(".1234.txt.claimed-%own"),
                                                             withProcessIds(".456.txt.claimed-%own")}));

    // A copy that spools after the listing: its path was not handed off and must stay.
    SpoolFolder(m_spool).write(99, QStringLiteral("-ftype_print"), QStringLiteral("C:/late.pdf"));

    SpoolFolder(m_spool).removeGathered(gathered.consumedFiles);
    QDir spool(m_spool);
    QCOMPARE(spool.entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot, QDir::Name),
             QStringList({".hidden", "99.txt", "sub"}));
    QCOMPARE(readFile(m_spool + QLatin1String("/sub/7.txt")), QByteArray("-ftype_edit;C:/nested.pdf\n"));
    QCOMPARE(describedEarlier(SpoolFolder(m_spool).gather(gathererStarted()).earlier),
             QStringList{"0: C:/late.pdf"});
}

void SpoolFolderTest::folderIsRemovedWhenNothingIsLeft()
{
    const SpoolFolder spool = SpoolFolder(m_spool).forSelectionOf(OwnPrimary);
    spool.write(1, QStringLiteral("-ftype_edit"), QStringLiteral("C:/a.pdf"));
    spool.write(2, QStringLiteral("-ftype_edit"), QStringLiteral("C:/b.pdf"));
    const GatheredSelection gathered = SpoolFolder(m_spool).gather(gathererStarted());
    QCOMPARE(described(gathered.paths), QStringList({"-ftype_edit | C:/a.pdf", "-ftype_edit | C:/b.pdf"}));
    QCOMPARE(gathered.consumedFiles.size(), 2);
    SpoolFolder(m_spool).removeGathered(gathered.consumedFiles);
    QVERIFY(!QFileInfo::exists(m_spool));
    // Nothing to hand off and no folder: removal is harmless.
    SpoolFolder(m_spool).removeGathered(QStringList());
    QVERIFY(QFileInfo::exists(m_dir->path()));
}

void SpoolFolderTest::gatheringByAge_data()
{
    QTest::addColumn<QString>("name"); // "%own": the gathering primary, "%gone", "%running": other primaries
    QTest::addColumn<qint64>("ageMs"); // of the file's modification time, by the wall clock
    QTest::addColumn<qint64>("startedAgoMs"); // the gathering primary's start
    QTest::addColumn<bool>("idUsedBefore");
    QTest::addColumn<QString>("outcome"); // own, earlier (handed off apart), stale (removed unread), left

    const qint64 bound = SpoolFileMaxAgeMs;
    const qint64 older = bound + 60000;
    QTest::newRow("young") << "12.txt" << qint64(10000) << qint64(0) << false << "earlier";
    QTest::newRow("within the bound") << "12.txt" << bound - 60000 << qint64(0) << false << "earlier";
    QTest::newRow("older than the bound") << "12.txt" << older << qint64(0) << false << "stale";
    QTest::newRow("in the future (clock set back)")
        << "12.txt" << qint64(-3600000) << qint64(0) << false << "earlier";
    QTest::newRow("not a name of ours")
        << "leftover-1.txt" << qint64(1000) << qint64(0) << false << "earlier";
    // The machine slept, or the clock jumped, while the primary waited: its own selection is never old.
    QTest::newRow("own selection, older than the bound")
        << "77-%own.txt" << older << qint64(0) << false << "own";
    QTest::newRow("own selection, primary paused past the bound")
        << "77-%own.txt" << older - 30000 << older << false << "own";
    // Judged against the primary's start, not against the end of its wait.
    QTest::newRow("earlier, within the bound of the primary's start")
        << "12.txt" << older << qint64(120000) << false << "earlier";
    QTest::newRow("earlier, older than the bound at the primary's start")
        << "12.txt" << older + 120000 << qint64(120000) << false << "stale";
    QTest::newRow("of a running primary, older than the bound")
        << "77-%running.txt" << older << qint64(0) << false << "left";
    QTest::newRow("of a primary that is gone")
        << "77-%gone.txt" << qint64(10000) << qint64(0) << false << "earlier";
    QTest::newRow("of a primary that is gone, older than the bound")
        << "77-%gone.txt" << older << qint64(0) << false << "stale";
    // An earlier primary had this id: only what was written since this one's start is its own.
    QTest::newRow("own id used before, written before the start")
        << "77-%own.txt" << qint64(60000) << qint64(0) << true << "earlier";
    QTest::newRow("own id used before, written since the start")
        << "77-%own.txt" << qint64(1000) << qint64(60000) << true << "own";
    QTest::newRow("claimed by a primary that is gone")
        << ".77-%gone.txt.claimed-%gone" << qint64(10000) << qint64(0) << false << "earlier";
    QTest::newRow("claimed by a running primary")
        << ".77-%gone.txt.claimed-%running" << qint64(10000) << qint64(0) << false << "left";
    QTest::newRow("claimed by a primary that is gone, older than the bound")
        << ".12.txt.claimed-%gone" << older << qint64(0) << false << "stale";
    QTest::newRow("unfinished, young: still being written")
        << ".12.txt.partial" << qint64(0) << qint64(0) << false << "left";
    QTest::newRow("unfinished, older than the bound: its writer died")
        << ".12.txt.partial" << older << qint64(0) << false << "stale";
    QTest::newRow("unfinished, primary paused past the bound")
        << ".12.txt.partial" << older - 30000 << older << false << "left";
    QTest::newRow("someone else's hidden file") << ".hidden" << older << qint64(0) << false << "left";
}

void SpoolFolderTest::gatheringByAge()
{
    QFETCH(QString, name);
    QFETCH(qint64, ageMs);
    QFETCH(qint64, startedAgoMs);
    QFETCH(bool, idUsedBefore);
    QFETCH(QString, outcome);
    name = withProcessIds(name);
    const QString file = m_spool + QLatin1Char('/') + name;
    QVERIFY(writeFileDated(file, "-ftype_merge;C:/a.pdf\n", ageMs));

    const GatheredSelection gathered =
        SpoolFolder(m_spool).gather(gathererStarted(startedAgoMs, idUsedBefore));
    const QStringList read("-ftype_merge | C:/a.pdf");
    QCOMPARE(described(gathered.paths), outcome == QLatin1String("own") ? read : QStringList());
    QCOMPARE(gathered.earlier.size(), outcome == QLatin1String("earlier") ? 1 : 0);
    if (!gathered.earlier.isEmpty())
        QCOMPARE(described(gathered.earlier.first().paths), read);
    QCOMPARE(gathered.staleFiles, outcome == QLatin1String("stale") ? QStringList(file) : QStringList());
    SpoolFolder(m_spool).removeGathered(gathered.consumedFiles + gathered.staleFiles);
    const auto everything = QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot;
    QCOMPARE(QDir(m_spool).entryList(everything),
             outcome == QLatin1String("left") ? QStringList(name) : QStringList());

    // A copy that reuses the process id of a file older than the bound keeps none of its paths.
    if (name == QLatin1String("12.txt") && outcome == QLatin1String("stale") && startedAgoMs == 0) {
        QVERIFY(writeFileDated(file, "-ftype_merge;C:/a.pdf\n", ageMs));
        SpoolFolder(m_spool).write(12, QStringLiteral("-ftype_print"), QStringLiteral("C:/b.pdf"));
        QCOMPARE(readFile(file), QByteArray("-ftype_print;C:/b.pdf\n"));
    }
}

void SpoolFolderTest::earlierSelectionsStayApart()
{
    // Two selections whose primaries are gone, files of an earlier version, and the own selection: each
    // earlier one apart, the oldest first, never merged into the own one.
    const struct
    {
        const char *name;
        qint64 ageMs;
        const char *path;
    } files[] = {{"5-%gone.txt", 20000, "gone 5"},    {"6-%gone.txt", 30000, "gone 6"},
                 {"7-4194307.txt", 60000, "other 7"}, {"8.txt", 10000, "old 8"},
                 {"9-%own.txt", 0, "own 9"},          {"%own-%own.txt", 0, "own"}};
    for (const auto &file : files)
        QVERIFY(writeFileDated(m_spool + QLatin1Char('/') + withProcessIds(QLatin1String(file.name)),
                               QByteArray("-ftype_merge;") + file.path + '\n', file.ageMs));
    const GatheredSelection gathered = SpoolFolder(m_spool).gather(gathererStarted());
    QCOMPARE(describedEarlier(gathered.earlier),
             QStringList({QStringLiteral("%1: other 7").arg(OtherGonePrimary),
                          QStringLiteral("%1: gone 5 gone 6").arg(GonePrimary), QStringLiteral("0: old 8")}));
    QCOMPARE(described(gathered.paths), QStringList({"-ftype_merge | own", "-ftype_merge | own 9"}));
    QCOMPARE(gathered.consumedFiles.size(), 6);
}

void SpoolFolderTest::aFileIsClaimedOnce()
{
    // Two primaries that want one file (two elections at once): one rename succeeds, the other finds nothing.
    const SpoolFolder spool(m_spool);
    QVERIFY(writeFile(m_spool + QLatin1String("/5-7.txt"), "-ftype_edit;C:/a.pdf\n"));
    const QString claimed = spool.claim(m_spool + QLatin1String("/5-7.txt"), 11);
    QCOMPARE(QFileInfo(claimed).fileName(), QStringLiteral(".5-7.txt.claimed-11"));
    QCOMPARE(spool.claim(m_spool + QLatin1String("/5-7.txt"), 12), QString());
    QCOMPARE(readFile(claimed), QByteArray("-ftype_edit;C:/a.pdf\n"));
    // Not listed, and not watched, as a spool file.
    QCOMPARE(spool.list(), QStringList());
    QCOMPARE(spool.view().fileNames(), QStringList());
    // Taken again from a claimer that is gone, it keeps its own name.
    QCOMPARE(QFileInfo(spool.claim(claimed, 13)).fileName(), QStringLiteral(".5-7.txt.claimed-13"));
}

void SpoolFolderTest::fileOfAReusedIdSetAsideIsKept()
{
    // An earlier primary of our id left its own file; we set it aside (claimed, unread) and spool ours under
    // the same name, which our claim then takes too.
    const SpoolFolder spool = SpoolFolder(m_spool).forSelectionOf(OwnPrimary);
    QVERIFY(writeFileDated(spool.filePathFor(OwnPrimary), "-ftype_print;C:/earlier.pdf\n", 60000));
    QVERIFY(!spool.claim(spool.filePathFor(OwnPrimary), OwnPrimary).isEmpty());
    QVERIFY(spool.write(OwnPrimary, QStringLiteral("-ftype_merge"), QStringLiteral("C:/own.pdf")));
    const GatheredSelection gathered = SpoolFolder(m_spool).gather(gathererStarted(1000, true));
    QCOMPARE(described(gathered.paths), QStringList("-ftype_merge | C:/own.pdf"));
    QCOMPARE(describedEarlier(gathered.earlier),
             QStringList(QStringLiteral("%1: C:/earlier.pdf").arg(OwnPrimary)));
}

void SpoolFolderTest::handedOffFileThatCannotBeRemovedIsEmptied()
{
    const SpoolFolder spool = SpoolFolder(m_spool).forSelectionOf(OwnPrimary);
    QVERIFY(spool.write(OwnPrimary, QStringLiteral("-ftype_merge"), QStringLiteral("C:/a.pdf")));
    const GatheredSelection gathered = SpoolFolder(m_spool).gather(gathererStarted());
    QCOMPARE(gathered.consumedFiles.size(), 1);
    const QString claimed = gathered.consumedFiles.first();

    // The folder refuses removals now (root ignores permission bits, not the immutable attribute).
    const QStringList lock =
        geteuid() == 0 ? QStringList{"chattr", "+i", m_spool} : QStringList{"chmod", "a-w", m_spool};
    if (QProcess::execute(lock.first(), lock.mid(1)) != 0)
        QSKIP("the folder cannot be made to refuse removals here");
    QTest::ignoreMessage(
        QtWarningMsg, qPrintable(QStringLiteral("OstrelContextMenu: Unable to remove the spool file %1 after "
                                                "its paths were handed off; it was emptied.")
                                     .arg(claimed)));
    SpoolFolder(m_spool).removeGathered(gathered.consumedFiles);
    const QStringList unlock =
        geteuid() == 0 ? QStringList{"chattr", "-i", m_spool} : QStringList{"chmod", "u+w", m_spool};
    QCOMPARE(QProcess::execute(unlock.first(), unlock.mid(1)), 0);
    QVERIFY(QFileInfo::exists(claimed));
    QCOMPARE(readFile(claimed), QByteArray());

    // A later primary takes it again, its claimer gone, and hands nothing off twice.
    const Gatherer later{OtherGonePrimary, QDateTime::currentMSecsSinceEpoch(), false};
    const GatheredSelection again = SpoolFolder(m_spool).gather(later);
    QCOMPARE(again.paths.size(), 0);
    QCOMPARE(again.earlier.size(), 0);
    SpoolFolder(m_spool).removeGathered(again.consumedFiles);
    QVERIFY(!QFileInfo::exists(m_spool));
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
    QVERIFY(!none.write(4242, QStringLiteral("-ftype_edit"), QStringLiteral("C:/a.pdf")));
    QVERIFY(!QFileInfo::exists(none.filePathFor(4242)));
    QCOMPARE(none.gather(gathererStarted()).paths.size(), 0);
    QVERIFY(SpoolFolder(m_spool).isAvailable());
}

QTEST_GUILESS_MAIN(SpoolFolderTest)
#include "tst_spoolfolder.moc"
