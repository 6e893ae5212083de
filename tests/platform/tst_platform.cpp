// What the program takes from the platform layer on Linux: where the selection spool may live, the
// temporary folder the framework is left with, the order of names, and the limits of a process start.

#include "commandline.h"
#include "platform.h"
#include "testfiles.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace {

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
const uid_t OtherAccount = 4242;

} // namespace

class PlatformTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void spoolBaseIsAPrivateFolder_data();
    void spoolBaseIsAPrivateFolder();
    void temporaryFolderNamesAFolder_data();
    void temporaryFolderNamesAFolder();
    void namesInExplorersOrder_data();
    void namesInExplorersOrder();
    void windowsCommandLineLength_data();
    void windowsCommandLineLength();
    void argumentWithinTheLinuxLimit();
    void cleanup();

private:
    std::unique_ptr<QTemporaryDir> m_dir;
    QByteArray m_runtimeVariable;
    QByteArray m_tmpdirVariable;
    bool m_hadRuntimeVariable = false;
    bool m_hadTmpdirVariable = false;
    QByteArray m_cacheVariable;
    bool m_hadCacheVariable = false;
};

void PlatformTest::init()
{
    m_hadRuntimeVariable = qEnvironmentVariableIsSet("XDG_RUNTIME_DIR");
    m_runtimeVariable = qgetenv("XDG_RUNTIME_DIR");
    m_hadTmpdirVariable = qEnvironmentVariableIsSet("TMPDIR");
    m_tmpdirVariable = qgetenv("TMPDIR");
    m_hadCacheVariable = qEnvironmentVariableIsSet("XDG_CACHE_HOME");
    m_cacheVariable = qgetenv("XDG_CACHE_HOME");
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
}

void PlatformTest::cleanup()
{
    if (m_hadRuntimeVariable)
        qputenv("XDG_RUNTIME_DIR", m_runtimeVariable);
    else
        qunsetenv("XDG_RUNTIME_DIR");
    if (m_hadTmpdirVariable)
        qputenv("TMPDIR", m_tmpdirVariable);
    else
        qunsetenv("TMPDIR");
    if (m_hadCacheVariable)
        qputenv("XDG_CACHE_HOME", m_cacheVariable);
    else
        qunsetenv("XDG_CACHE_HOME");
    qInstallMessageHandler(nullptr);
    // Planted folders of another account must not outlive the test; the temporary folder removes the rest.
    if (m_dir)
        QDir(m_dir->path()).removeRecursively();
}

void PlatformTest::spoolBaseIsAPrivateFolder_data()
{
    // The runtime folder as the environment names it, and what is found at "$TMPDIR/ostrel-<uid>".
    QTest::addColumn<QString>("runtime");
    QTest::addColumn<QString>("candidate");
    QTest::addColumn<int>("mask");
    QTest::addColumn<QString>("expected"); // "runtime", "candidate", "cache" or "none"

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
    // What another account planted (or ours, open to others) is refused, with a warning, for the same
    // folder in the account's cache folder.
    QTest::newRow("planted link") << "unset"
                                  << "symlink" << 022 << "cache";
    QTest::newRow("planted folder of another account") << "unset"
                                                       << "foreign" << 022 << "cache";
    QTest::newRow("folder of ours open to others") << "unset"
                                                   << "open" << 022 << "cache";
    QTest::newRow("a file in its place") << "unset"
                                         << "file" << 022 << "cache";
    QTest::newRow("planted in the cache folder too") << "unset"
                                                     << "foreign, also in the cache" << 022 << "none";
    // The temporary folder as $TMPDIR names it is missing: /tmp instead, as when $TMPDIR is unset.
    QTest::newRow("temporary folder missing") << "unset"
                                              << "no temporary folder" << 022 << "fallback";
    QTest::newRow("temporary folder a file") << "unset"
                                             << "temporary folder a file" << 022 << "fallback";
    QTest::newRow("temporary folder relative") << "unset"
                                               << "temporary folder relative" << 022 << "fallback";
}

void PlatformTest::spoolBaseIsAPrivateFolder()
{
    QFETCH(QString, runtime);
    QFETCH(QString, candidate);
    QFETCH(int, mask);
    QFETCH(QString, expected);
    if ((runtime == QLatin1String("foreign") || candidate.startsWith(QLatin1String("foreign"))) &&
        geteuid() != 0)
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
        makeFolder(runtimePath, 0700, OtherAccount);
    else if (runtime == QLatin1String("file"))
        QVERIFY(writeFile(runtimePath, "not a folder"));

    const QString tmp = root + QLatin1String("/tmp");
    const QString ownFolder = tmp + QStringLiteral("/ostrel-%1").arg(geteuid());
    qputenv("TMPDIR", QFile::encodeName(tmp));
    if (candidate == QLatin1String("temporary folder a file"))
        QVERIFY(writeFile(tmp, "not a folder"));
    else if (candidate == QLatin1String("temporary folder relative"))
        qputenv("TMPDIR", "tmp");
    else if (candidate != QLatin1String("no temporary folder"))
        makeFolder(tmp, 01777, geteuid());
    if (candidate == QLatin1String("ours"))
        makeFolder(ownFolder, 0700, geteuid());
    else if (candidate == QLatin1String("symlink"))
        QVERIFY(QFile::link(elsewhere, ownFolder));
    else if (candidate.startsWith(QLatin1String("foreign")))
        makeFolder(ownFolder, 0700, OtherAccount);
    const QString cache = root + QLatin1String("/cache");
    const QString inCache = cache + QStringLiteral("/ostrel-%1").arg(geteuid());
    qputenv("XDG_CACHE_HOME", QFile::encodeName(cache));
    if (candidate == QLatin1String("foreign, also in the cache"))
        makeFolder(inCache, 0700, OtherAccount);
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

    // Only a refused folder is worth a word: it names that folder, and what is used instead.
    if (expected == QLatin1String("cache") || expected == QLatin1String("none")) {
        QCOMPARE(g_messages.size(), 1);
        QVERIFY2(g_messages.first().contains(ownFolder + QLatin1String(" is not a private folder")),
                 qPrintable(g_messages.first()));
        QCOMPARE(g_messages.first().contains(inCache), expected == QLatin1String("cache"));
    } else {
        QCOMPARE(g_messages, QStringList());
    }
    // The runtime folder and anything linked to are left as they were, whichever folder was chosen.
    QCOMPARE(describe(runtimePath), runtimeBefore);
    QCOMPARE(describe(elsewhere), elsewhereBefore);
    if (expected == QLatin1String("runtime")) {
        QCOMPARE(base, runtimePath);
    } else if (expected == QLatin1String("candidate")) {
        QCOMPARE(base, ownFolder);
        QCOMPARE(describe(ownFolder),
                 QStringLiteral("type 40000 mode 700 owner %1 link  entries ").arg(geteuid()));
    } else if (expected == QLatin1String("fallback")) {
        // The machine's own /tmp: our folder there may be older than this test, and is left in place.
        const QString fallback = QStringLiteral("/tmp/ostrel-%1").arg(geteuid());
        QCOMPARE(base, fallback);
        QCOMPARE(describe(fallback).section(QLatin1String(" link"), 0, 0),
                 QStringLiteral("type 40000 mode 700 owner %1").arg(geteuid()));
        QCOMPARE(describe(ownFolder), plantedBefore);
    } else if (expected == QLatin1String("cache")) {
        QCOMPARE(base, inCache);
        QCOMPARE(describe(inCache),
                 QStringLiteral("type 40000 mode 700 owner %1 link  entries ").arg(geteuid()));
        QCOMPARE(describe(ownFolder), plantedBefore);
    } else {
        QCOMPARE(base, QString());
        QCOMPARE(describe(ownFolder), plantedBefore);
    }
}

void PlatformTest::temporaryFolderNamesAFolder_data()
{
    QTest::addColumn<QString>("tmpdir"); // "folder", "missing", "file", "relative", "unset"
    QTest::addColumn<bool>("kept");
    QTest::newRow("a folder") << "folder" << true;
    QTest::newRow("unset") << "unset" << false;
    QTest::newRow("missing") << "missing" << false;
    QTest::newRow("a file") << "file" << false;
    QTest::newRow("relative") << "relative" << false;
}

void PlatformTest::temporaryFolderNamesAFolder()
{
    QFETCH(QString, tmpdir);
    QFETCH(bool, kept);
    const QString folder = m_dir->path() + QLatin1String("/tmp");
    QVERIFY(QDir().mkpath(folder));
    const QString file = m_dir->path() + QLatin1String("/a file");
    QVERIFY(writeFile(file, "not a folder"));
    QByteArray value;
    if (tmpdir == QLatin1String("folder"))
        value = QFile::encodeName(folder);
    else if (tmpdir == QLatin1String("missing"))
        value = QFile::encodeName(m_dir->path() + QLatin1String("/gone"));
    else if (tmpdir == QLatin1String("file"))
        value = QFile::encodeName(file);
    else if (tmpdir == QLatin1String("relative"))
        value = "tmp";
    if (tmpdir == QLatin1String("unset"))
        qunsetenv("TMPDIR");
    else
        qputenv("TMPDIR", value);

    Platform::prepareProcessEnvironment();
    // What the framework's lock and key files and a started editor get.
    QCOMPARE(qEnvironmentVariableIsSet("TMPDIR"), kept);
    QCOMPARE(QDir::tempPath(), kept ? folder : QStringLiteral("/tmp"));
}

void PlatformTest::namesInExplorersOrder_data()
{
    QTest::addColumn<QString>("a");
    QTest::addColumn<QString>("b");
    QTest::addColumn<int>("order"); // -1: a first, 0: equal keys, 1: b first
    QTest::newRow("digits by value") << "Scan 2.pdf"
                                     << "Scan 10.pdf" << -1;
    QTest::newRow("digits by value, reversed") << "Scan 10.pdf"
                                               << "Scan 9.pdf" << 1;
    QTest::newRow("several digit runs") << "Vol 2 Page 10"
                                        << "Vol 2 Page 9" << 1;
    QTest::newRow("digit runs longer than any integer") << "x 123456789012345678901234567890"
                                                        << "x 123456789012345678901234567891" << -1;
    QTest::newRow("leading zeros: the value counts") << "Scan 007.pdf"
                                                     << "Scan 10.pdf" << -1;
    QTest::newRow("leading zeros: equal values are equal keys") << "Scan 007.pdf"
                                                                << "Scan 7.pdf" << 0;
    QTest::newRow("letter case ignored") << "scan B.pdf"
                                         << "Scan a.pdf" << 1;
    QTest::newRow("letter case only: equal keys") << "REPORT.pdf"
                                                  << "report.pdf" << 0;
    QTest::newRow("non-ASCII letters, case ignored") << "\u00dcbersicht.pdf"
                                                     << "\u00fcbersicht.pdf" << 0;
    QTest::newRow("Cyrillic, case ignored") << "\u0424\u0430\u0439\u043b 2"
                                            << "\u0444\u0410\u0419\u041b 10" << -1;
    QTest::newRow("a number before a letter") << "1.pdf"
                                              << "a.pdf" << -1;
    QTest::newRow("a prefix first") << "Scan"
                                    << "Scan 1" << -1;
    QTest::newRow("identical") << "C:/a/Scan 1.pdf"
                               << "C:/a/Scan 1.pdf" << 0;
    QTest::newRow("whole paths: the folder decides first") << "C:/b/Scan 1.pdf"
                                                           << "C:/a/Scan 2.pdf" << 1;
    QTest::newRow("whole paths: folders with numbers") << "C:/Scans 9/z.pdf"
                                                       << "C:/Scans 10/a.pdf" << -1;
}

void PlatformTest::namesInExplorersOrder()
{
    QFETCH(QString, a);
    QFETCH(QString, b);
    QFETCH(int, order);
    QCOMPARE(qBound(-1, Platform::compareLogically(a, b), 1), order);
    QCOMPARE(qBound(-1, Platform::compareLogically(b, a), 1), -order);
}

void PlatformTest::windowsCommandLineLength_data()
{
    QTest::addColumn<QString>("program");
    QTest::addColumn<QString>("argument");
    QTest::addColumn<QString>("commandLine"); // as the framework's process start builds it on Windows
    QTest::newRow("program with spaces") << "C:/Program Files/Ostrel/Ostrel PDF Editor.exe"
                                         << "-ftype_merge;C:\\a.pdf"
                                         << "\"C:\\Program Files\\Ostrel\\Ostrel PDF Editor.exe\"  "
                                            "-ftype_merge;C:\\a.pdf";
    QTest::newRow("no spaces anywhere") << "C:/x/editor.exe"
                                        << "a;b"
                                        << "C:\\x\\editor.exe  a;b";
    QTest::newRow("argument with a space") << "e.exe"
                                           << "-ftype_edit;C:\\my file.pdf"
                                           << "e.exe  \"-ftype_edit;C:\\my file.pdf\"";
    QTest::newRow("trailing backslashes stay outside the quotes") << "e.exe"
                                                                  << "a b\\\\"
                                                                  << "e.exe  \"a b\"\\\\";
    QTest::newRow("quote escaped, backslashes before it doubled") << "e.exe"
                                                                  << "a\\\\\"b"
                                                                  << "e.exe  a\\\\\\\\\\\"b";
    QTest::newRow("empty argument") << "e.exe"
                                    << ""
                                    << "e.exe  \"\"";
}

void PlatformTest::windowsCommandLineLength()
{
    QFETCH(QString, program);
    QFETCH(QString, argument);
    QFETCH(QString, commandLine);
    // The terminating NUL counts too.
    QCOMPARE(Platform::windowsCommandLineLength(program, QStringList(argument)), commandLine.size() + 1);
}

void PlatformTest::argumentWithinTheLinuxLimit()
{
    // Bytes, not characters: "\u00fc" takes two.
    const QString program = QStringLiteral("/opt/editor");
    QVERIFY(Platform::fitsProcessArgument(program, QString(Platform::LinuxArgumentLimit, QLatin1Char('a'))));
    QVERIFY(
        !Platform::fitsProcessArgument(program, QString(Platform::LinuxArgumentLimit + 1, QLatin1Char('a'))));
    QVERIFY(Platform::fitsProcessArgument(program, QString(Platform::LinuxArgumentLimit / 2, QChar(0xfc))));
    QVERIFY(
        !Platform::fitsProcessArgument(program, QString(Platform::LinuxArgumentLimit / 2 + 1, QChar(0xfc))));
}

QTEST_GUILESS_MAIN(PlatformTest)
#include "tst_platform.moc"
