// What the program takes from the platform layer on Linux: where the selection spool may live.

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
const uid_t kOtherAccount = 4242;

} // namespace

class PlatformTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void spoolBaseIsAPrivateFolder_data();
    void spoolBaseIsAPrivateFolder();
    void cleanup();

private:
    std::unique_ptr<QTemporaryDir> m_dir;
    QByteArray m_runtimeVariable;
    QByteArray m_tmpdirVariable;
    bool m_hadRuntimeVariable = false;
    bool m_hadTmpdirVariable = false;
};

void PlatformTest::init()
{
    m_hadRuntimeVariable = qEnvironmentVariableIsSet("XDG_RUNTIME_DIR");
    m_runtimeVariable = qgetenv("XDG_RUNTIME_DIR");
    m_hadTmpdirVariable = qEnvironmentVariableIsSet("TMPDIR");
    m_tmpdirVariable = qgetenv("TMPDIR");
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

void PlatformTest::spoolBaseIsAPrivateFolder()
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

QTEST_GUILESS_MAIN(PlatformTest)
#include "tst_platform.moc"
