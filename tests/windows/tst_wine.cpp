// The real Windows program, run under Wine: registry layout of install and uninstall, the association
// library's calls, the selection hand-off and the election, and the registered commands as the shell runs
// them. One private Wine prefix serves the whole run; the program is installed into it from the deployable
// folder, the stand-ins beside it, and our process lister in place of Wine's, whose tasklist.exe prints
// nothing.

#include "expectedcaptions.h"
#include "exporttext.h"
#include "killatrandommoments.h"
#include "sandbox.h"
#include "testfiles.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QMap>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSet>
#include <QStandardPaths>
#include <QTest>

#include <algorithm>

namespace {

using ExportText::describe;
using ExportText::Hive;

const QString ShellKey =
    QStringLiteral("HKEY_CURRENT_USER\\Software\\Classes\\SystemFileAssociations\\.pdf\\Shell");
// The editor's program identifier: written for the current user. Wine does not merge that into
// HKEY_CLASSES_ROOT (there it is HKLM\Software\Classes alone), where earlier versions wrote it and where
// Wine's shell looks.
const QString ProgramIdKey = QStringLiteral("HKEY_CURRENT_USER\\Software\\Classes\\Ostrel PDF Editor.exe");
const QString ClassesRootIdKey = QStringLiteral("HKEY_CLASSES_ROOT\\Ostrel PDF Editor.exe");
// A folder name with spaces right below "Program Files", so that a space-split of the program paths would
// try the places where the tests plant programs (see PlantedPrograms).
const QString InstallDirWindows = QStringLiteral("C:\\Program Files\\Ostrel PDF Editor");
const QString ProgramWindows = InstallDirWindows + QStringLiteral("\\OstrelContextMenu.exe");
const QString EditorWindows = InstallDirWindows + QStringLiteral("\\Ostrel PDF Editor.exe");

// Below drive C. A command line whose program path stands bare lets the system's process start try each
// prefix up to a space: the verbs' command "C:\Program Files\Ostrel PDF Editor\OstrelContextMenu.exe ..."
// reaches the first of these, and the editor's command would reach the other two if the first were gone.
const char *const PlantedPrograms[] = {"Program Files/Ostrel.exe",
                                       "Program Files/Ostrel PDF Editor/Ostrel.exe",
                                       "Program Files/Ostrel PDF Editor/Ostrel PDF.exe"};

// The layout that install leaves, written out by hand for the install folder of these tests; the captions
// of Edit, Split, Merge and Print in that order.
Hive expectedLayout(const QStringList &captions)
{
    Hive hive;
    hive[ProgramIdKey];
    hive[ProgramIdKey + QLatin1String("\\DefaultIcon")][QStringLiteral("@")] =
        InstallDirWindows + QStringLiteral("\\DocIcons.dll,0");
    hive[ProgramIdKey + QLatin1String("\\shell")];
    hive[ProgramIdKey + QLatin1String("\\shell\\open")];
    hive[ProgramIdKey + QLatin1String("\\shell\\open\\command")][QStringLiteral("@")] =
        QLatin1Char('"') + EditorWindows + QStringLiteral("\" \"%1\"");
    hive[ShellKey];
    const struct
    {
        const char *name, *flag;
        QString caption;
    } verbs[] = {{"OstrelPDFEditor01Edit", "-ftype_edit", captions.value(0)},
                 {"OstrelPDFEditor04Split", "-ftype_split", captions.value(1)},
                 {"OstrelPDFEditor03Merge", "-ftype_merge", captions.value(2)},
                 {"OstrelPDFEditor02Print", "-ftype_print", captions.value(3)}};
    for (const auto &verb : verbs) {
        const QString key = ShellKey + QLatin1Char('\\') + QLatin1String(verb.name);
        hive[key][QStringLiteral("@")] = QString();
        hive[key][QStringLiteral("Icon")] = ProgramWindows + QStringLiteral(",0");
        hive[key][QStringLiteral("MUIVerb")] = verb.caption;
        hive[key][QStringLiteral("MultiSelectModel")] = QStringLiteral("Player");
        hive[key + QLatin1String("\\Command")][QStringLiteral("@")] =
            QLatin1Char('"') + ProgramWindows + QStringLiteral("\" ") + QLatin1String(verb.flag) +
            QStringLiteral(" \"%1\"");
    }
    return hive;
}

// The registry keeps the case of a key as first created ("Software" exists before we write "SOFTWARE"),
// and compares without case: the comparison with the other build lower-cases key paths and puts
// placeholders in for the install folder, so that only layout and values remain.
Hive normalised(const Hive &hive, const QString &programPath, const QString &installDir)
{
    Hive result;
    for (auto key = hive.cbegin(); key != hive.cend(); ++key) {
        auto &values = result[key.key().toLower()];
        for (auto value = key->cbegin(); value != key->cend(); ++value) {
            QString data = value.value();
            data.replace(programPath, QLatin1String("<program>"));
            data.replace(installDir, QLatin1String("<install>"));
            data.replace(QLatin1Char('\\'), QLatin1Char('/'));
            values[value.key()] = data;
        }
    }
    return result;
}

Hive subtree(const Hive &hive, const QString &root)
{
    Hive result;
    for (auto key = hive.cbegin(); key != hive.cend(); ++key) {
        if (key.key().compare(root, Qt::CaseInsensitive) == 0 ||
            key.key().startsWith(root + QLatin1Char('\\'), Qt::CaseInsensitive))
            result.insert(key.key(), key.value());
    }
    return result;
}

// The layout that versions before the quoting left: both commands with the program's path bare, the
// identifier under HKEY_CLASSES_ROOT, the verbs without MultiSelectModel.
Hive olderLayout(const QStringList &captions)
{
    Hive hive;
    const Hive current = expectedLayout(captions);
    for (auto key = current.cbegin(); key != current.cend(); ++key) {
        QString path = key.key();
        if (path.startsWith(ProgramIdKey))
            path.replace(0, ProgramIdKey.size(), ClassesRootIdKey);
        hive[path] = key.value();
        hive[path].remove(QStringLiteral("MultiSelectModel"));
    }
    for (auto key = hive.begin(); key != hive.end(); ++key) {
        if (!key.key().endsWith(QLatin1String("\\Command"), Qt::CaseInsensitive))
            continue;
        QString &command = (*key)[QStringLiteral("@")];
        const int closing = command.indexOf(QLatin1Char('"'), 1);
        if (command.startsWith(QLatin1Char('"')) && closing > 0)
            command.remove(closing, 1).remove(0, 1);
    }
    return hive;
}

// The values of IExplorerCommand's states and flags (shobjidl.h) that the command client prints.
const int CommandEnabled = 0, CommandHidden = 2; // ECS_ENABLED, ECS_HIDDEN
const int NoFlags = 0, HasSubCommands = 1;       // ECF_DEFAULT, ECF_HASSUBCOMMANDS

const QString PdfKey = QStringLiteral("HKEY_CLASSES_ROOT\\.pdf");

// Wine's shell looks verbs up only under the class that HKEY_CLASSES_ROOT\.pdf names and ignores
// SystemFileAssociations and the current user's classes: .pdf pointed at our program identifier, and the
// verb commands of the layout, and the open command of the current user's identifier, copied unchanged
// under HKEY_CLASSES_ROOT's, for the shell to find them there.
Hive shellLookup(const Hive &layout)
{
    Hive lookup;
    lookup[PdfKey][QStringLiteral("@")] = QStringLiteral("Ostrel PDF Editor.exe");
    const QString open = QStringLiteral("\\shell\\open\\command");
    if (layout.contains(ProgramIdKey + open))
        lookup[ClassesRootIdKey + open] = layout.value(ProgramIdKey + open);
    for (auto key = layout.cbegin(); key != layout.cend(); ++key) {
        if (!key.key().startsWith(ShellKey + QLatin1Char('\\'), Qt::CaseInsensitive) ||
            !key.key().endsWith(QLatin1String("\\Command"), Qt::CaseInsensitive))
            continue;
        const QString verb = key.key().section(QLatin1Char('\\'), -2, -2);
        lookup[ClassesRootIdKey + QLatin1String("\\shell\\") + verb + QLatin1String("\\command")]
              [QStringLiteral("@")] = key->value(QStringLiteral("@"));
    }
    return lookup;
}

// Lines that Wine itself prints (loader, debug channels, the window-less desktop process).
bool isWineNoise(const QByteArray &line)
{
    static const QRegularExpression noise(
        QStringLiteral("^(wine: |wineserver: |[0-9a-f]{4}:(fixme|err|warn|trace):)|X server|no driver could "
                       "be loaded|DISPLAY|nodrv_"));
    return line.trimmed().isEmpty() || noise.match(QString::fromUtf8(line)).hasMatch();
}

QByteArray withoutWineNoise(const QByteArray &output)
{
    QByteArray kept;
    for (const QByteArray &line : output.split('\n')) {
        if (!isWineNoise(line))
            kept += line + '\n';
    }
    return kept;
}

// Wine's relay trace, where a run turns it on: calls and their returns, threads starting.
bool isRelayLine(const QString &line)
{
    static const QRegularExpression relay(QStringLiteral("^[0-9a-f]+:(Call|Ret|Starting thread) "));
    return relay.match(line).hasMatch();
}

// True when the copy ended with status 0. Otherwise it says what the copy (the program, or Wine starting
// it) wrote, since a status alone does not tell which of them failed.
bool endedWell(const QProcess &copy, const QByteArray &standardOutput, const QByteArray &standardError)
{
    if (copy.state() == QProcess::NotRunning && copy.exitStatus() == QProcess::NormalExit &&
        copy.exitCode() == 0)
        return true;
    qWarning("wine %s: %s, status %d\nstandard output:\n%s\nstandard error:\n%s",
             qPrintable(copy.arguments().join(QLatin1Char(' '))),
             copy.state() != QProcess::NotRunning        ? "still runs"
             : copy.exitStatus() == QProcess::NormalExit ? "ended"
                                                         : "was killed",
             copy.exitCode(), standardOutput.constData(), standardError.constData());
    return false;
}

} // namespace

class WineTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void cleanupTestCase();

    void install_writesLayout_data();
    void install_writesLayout();
    void uninstall_removesOnlyOurKeys();
    void install_matchesLinuxRegistryStandIn();
    void handOff_reachesEditorOnce_data();
    void handOff_reachesEditorOnce();
    void handOff_pathsThatCannotBeSpooled();
    void election_simultaneousCopiesHaveOnePrimary();
    void election_deadHolderStallsNoCopy_data();
    void election_deadHolderStallsNoCopy();
    void election_copiesKilledAtRandom();
    void versionResource_describesShippedFile_data();
    void versionResource_describesShippedFile();
    void signing_signsEveryShippedFile();
    void explorerCommand_mirrorsInstalledVerbs_data();
    void explorerCommand_mirrorsInstalledVerbs();
    void explorerCommand_importsOnlySystemDlls();
    void shellVerbs_runOnlyTheRegisteredPrograms_data();
    void shellVerbs_runOnlyTheRegisteredPrograms();
    void cleanup();

private:
    using Run = Sandbox::Result;
    // Whether a run that fails prints what it wrote: not where the failure is the answer (a key that does not
    // exist, the fatal path).
    enum class OnFailure { Report, Quiet };

    QProcessEnvironment wineEnvironment() const;
    Run wine(const QStringList &arguments, OnFailure onFailure = OnFailure::Report) const;
    bool waitForWineServer() const;
    QString driveC() const { return m_prefix + QLatin1String("/drive_c"); }
    QString installDir() const { return driveC() + QLatin1String("/Program Files/Ostrel PDF Editor"); }
    QString profileDir() const { return driveC() + QLatin1String("/users/") + m_user; }
    QString localAppData() const { return profileDir() + QLatin1String("/AppData/Local"); }
    QString editorLog() const { return localAppData() + QLatin1String("/Ostrel/editor-starts.log"); }
    QString editorProcessLog() const
    {
        return localAppData() + QLatin1String("/Ostrel/editor-processes.log");
    }
    // Wine's %TEMP%, the program's temporary-files location.
    QString spoolDir() const { return profileDir() + QLatin1String("/Temp/Ostrel_PDF_Editor_ContextMenu"); }
    QString associationLog() const { return localAppData() + QLatin1String("/Ostrel/file-association.log"); }
    void setEditorLanguage(const QString &language) const;
    // settle: wait for the prefix to settle afterwards (not needed to read the registry again). The text
    // of the export, or nothing when the key does not exist.
    QString exportText(const QString &key, bool settle = true) const;
    Hive exportKey(const QString &key, bool settle = true) const
    {
        return ExportText::read(exportText(key, settle));
    }
    bool keyExists(const QString &key) const;
    QString electionLockName();
    std::unique_ptr<QProcess> startLockHolder(const QString &mode, const QString &name) const;
    std::unique_ptr<QProcess> startCopy(const QStringList &arguments) const;
    bool handsOffOnce(const QString &flag, const QStringList &paths, QProcess *keeper = nullptr);
    Run runProgram(const QStringList &arguments) const;
    QList<QJsonArray> editorStarts() const;
    bool importReg(const QString &text) const;
    QString plantedMarker(const char *planted) const
    {
        return driveC() + QLatin1Char('/') + QLatin1String(planted) + QLatin1String(".ran");
    }

    std::unique_ptr<Sandbox> m_sandbox;
    QString m_prefix;
    QString m_user;
    QString m_windowsBin;
    // The prefix's own HKEY_CLASSES_ROOT\.pdf, as exported before a test first pointed it at our program
    // identifier (empty if there was none); put back after every test that changed it.
    QString m_pdfKeyBefore;
    bool m_pdfRedirected = false;
    QString m_electionLockName;
};

QProcessEnvironment WineTest::wineEnvironment() const
{
    QProcessEnvironment env = m_sandbox->environment();
    env.insert(QStringLiteral("WINEPREFIX"), m_prefix);
    env.insert(QStringLiteral("WINEARCH"), QStringLiteral("win64"));
    // Wine's own debug output off; with it on, its lines would have to be told from ours one by one.
    env.insert(QStringLiteral("WINEDEBUG"), QStringLiteral("-all"));
    // No Mono or Gecko installer prompts while the prefix is created.
    env.insert(QStringLiteral("WINEDLLOVERRIDES"), QStringLiteral("mscoree,mshtml="));
    // No Qt switch here: Wine passes no variable whose name begins with QT_ on to Windows programs (only a
    // WINEQT_ one, as QT_). The program itself sends its messages to the standard error it is given.
    env.remove(QStringLiteral("DISPLAY"));
    env.remove(QStringLiteral("WAYLAND_DISPLAY"));
    return env;
}

WineTest::Run WineTest::wine(const QStringList &arguments, OnFailure onFailure) const
{
    const Run run = m_sandbox->run(arguments, 120000, QStringLiteral("wine"), wineEnvironment());
    // What the program (or tool) and Wine said, whenever a run fails: a status alone does not tell which.
    if (onFailure == OnFailure::Report && (!run.finished || run.exitCode != 0))
        qWarning("wine %s: %s, status %d\nstandard output:\n%s\nstandard error:\n%s",
                 qPrintable(arguments.join(QLatin1Char(' '))), run.finished ? "ended" : "did not end",
                 run.exitCode, run.standardOutput.constData(), run.standardError.constData());
    return run;
}

// Lets the prefix settle: every Wine process of it has ended and the registry is on disk.
bool WineTest::waitForWineServer() const
{
    QProcess server;
    server.setProcessEnvironment(wineEnvironment());
    server.start(QStringLiteral("wineserver"), {QStringLiteral("-w")});
    return server.waitForFinished(120000) && server.exitCode() == 0;
}

void WineTest::initTestCase()
{
    const QString windowsBin = m_windowsBin = QStringLiteral(OSTREL_WINDOWS_BUILD_DIR "/bin");
    const QString deploy = QStringLiteral(OSTREL_WINDOWS_BUILD_DIR "/deploy");
    QVERIFY2(!QStandardPaths::findExecutable(QStringLiteral("wine")).isEmpty(),
             "wine is not installed (scripts/install-deps.sh installs it)");
    QVERIFY2(QFile::exists(deploy + QLatin1String("/OstrelContextMenu.exe")),
             "no Windows build; run scripts/build-windows.sh");
    for (const char *standIn :
         {"tasklist.exe", "FileAssociation.dll", "Ostrel PDF Editor.exe", "shellexec.exe", "planted.exe",
          "lockholder.exe", "versioninfo.exe", "commandclient.exe"})
        QVERIFY2(QFile::exists(windowsBin + QLatin1Char('/') + QLatin1String(standIn)), standIn);

    m_sandbox = std::make_unique<Sandbox>();
    QVERIFY(m_sandbox->isValid());
    m_prefix = m_sandbox->root() + QLatin1String("/wine prefix");

    QProcess boot;
    boot.setProcessEnvironment(wineEnvironment());
    boot.start(QStringLiteral("wineboot"), {QStringLiteral("-i")});
    QVERIFY2(boot.waitForFinished(300000) && boot.exitCode() == 0, boot.readAllStandardError().constData());
    QVERIFY(waitForWineServer());

    const QStringList users = QDir(driveC() + QLatin1String("/users"))
                                  .entryList({}, QDir::Dirs | QDir::NoDotAndDotDot)
                                  .filter(QRegularExpression(QStringLiteral("^(?!Public$)")));
    QCOMPARE(users.size(), 1);
    m_user = users.first();

    // Our lister in place of Wine's stub, which prints nothing.
    const QString systemLister = driveC() + QLatin1String("/windows/system32/tasklist.exe");
    QFile::remove(systemLister);
    QVERIFY(QFile::copy(windowsBin + QLatin1String("/tasklist.exe"), systemLister));
    // Right after the prefix is made, Wine's registry tool now and then fails (seen once in CI, exit code 1);
    // the write is idempotent, so it is tried again once the prefix has settled.
    const auto addWineSetting = [&](const QString &key, const QString &name, const QString &data) {
        Run added;
        for (int attempt = 0; attempt < 3; ++attempt) {
            added = wine({QStringLiteral("reg"), QStringLiteral("add"), key, QStringLiteral("/v"), name,
                          QStringLiteral("/d"), data, QStringLiteral("/f")});
            if (added.finished && added.exitCode == 0)
                break;
            waitForWineServer();
        }
        return added.exitCode == 0;
    };
    QVERIFY(addWineSetting(QStringLiteral("HKCU\\Software\\Wine\\DllOverrides"),
                           QStringLiteral("tasklist.exe"), QStringLiteral("native")));
    // Wine gives files whose names begin with a dot the hidden attribute; Windows does not, and the spool
    // folder's listing must skip them by name there.
    QVERIFY(addWineSetting(QStringLiteral("HKCU\\Software\\Wine"), QStringLiteral("ShowDotFiles"),
                           QStringLiteral("Y")));
    // Wine's relay trace, where a case turns it on, shows only the call that lets the editor come to the
    // front and the making of named mutexes (the election's lock).
    QVERIFY(addWineSetting(QStringLiteral("HKCU\\Software\\Wine\\Debug"), QStringLiteral("RelayInclude"),
                           QStringLiteral("user32.AllowSetForegroundWindow;kernel32.CreateMutexW")));

    // The deployable folder as it would be installed, with the editor and the association library beside it.
    QVERIFY(QDir().mkpath(installDir()));
    for (const QFileInfo &file : QDir(deploy).entryInfoList(QDir::Files))
        QVERIFY(QFile::copy(file.filePath(), installDir() + QLatin1Char('/') + file.fileName()));
    for (const char *standIn : {"FileAssociation.dll", "Ostrel PDF Editor.exe"})
        QVERIFY(QFile::copy(windowsBin + QLatin1Char('/') + QLatin1String(standIn),
                            installDir() + QLatin1Char('/') + QLatin1String(standIn)));
    // Programs that only record that they ran, wherever a bare program path would let the system find one.
    for (const char *planted : PlantedPrograms)
        QVERIFY(QFile::copy(windowsBin + QLatin1String("/planted.exe"),
                            driveC() + QLatin1Char('/') + QLatin1String(planted)));
    QVERIFY(waitForWineServer());

    // The lister as the program will find it: through the program search, in its table layout.
    const Run listing = wine({QStringLiteral("tasklist.exe")});
    QCOMPARE(listing.exitCode, 0);
    QVERIFY2(listing.standardOutput.contains("Image Name") && listing.standardOutput.contains("\r\n"),
             listing.standardOutput.constData());
    QVERIFY(waitForWineServer());
}

void WineTest::cleanup()
{
    if (m_pdfRedirected) {
        QVERIFY(importReg(QLatin1String("[-") + PdfKey + QLatin1String("]\r\n\r\n") + m_pdfKeyBefore));
        m_pdfRedirected = false;
    }
    for (const char *planted : PlantedPrograms)
        QFile::remove(plantedMarker(planted));
    QFile::remove(localAppData() + QLatin1String("/QtProject/qtlogging.ini"));
}

void WineTest::cleanupTestCase()
{
    if (m_prefix.isEmpty())
        return;
    QProcess server;
    server.setProcessEnvironment(wineEnvironment());
    server.start(QStringLiteral("wineserver"), {QStringLiteral("-k")});
    server.waitForFinished(30000);
}

void WineTest::setEditorLanguage(const QString &language) const
{
    const QString dir = profileDir() + QLatin1String("/AppData/Roaming/Ostrel/Ostrel PDF Editor");
    QDir().mkpath(dir);
    QFile config(dir + QLatin1String("/config.ini"));
    if (language.isNull()) {
        config.remove();
        return;
    }
    QVERIFY(config.open(QIODevice::WriteOnly | QIODevice::Truncate));
    config.write("[Main]\r\nLanguage=" + language.toUtf8() + "\r\n");
}

QString WineTest::exportText(const QString &key, bool settle) const
{
    const QString file = m_sandbox->root() + QLatin1String("/export.reg");
    QFile::remove(file);
    const Run run = wine({QStringLiteral("reg"), QStringLiteral("export"), key,
                          QDir::toNativeSeparators(QStringLiteral("Z:") + file), QStringLiteral("/y")},
                         OnFailure::Quiet);
    if (settle)
        waitForWineServer();
    QFile exported(file);
    if (run.exitCode != 0 || !exported.open(QIODevice::ReadOnly))
        return QString();
    return ExportText::decoded(exported.readAll());
}

bool WineTest::keyExists(const QString &key) const
{
    const Run run = wine({QStringLiteral("reg"), QStringLiteral("query"), key}, OnFailure::Quiet);
    waitForWineServer();
    return run.exitCode == 0;
}

WineTest::Run WineTest::runProgram(const QStringList &arguments) const
{
    const Run run = wine(QStringList{ProgramWindows} + arguments);
    waitForWineServer();
    return run;
}

QList<QJsonArray> WineTest::editorStarts() const
{
    QList<QJsonArray> starts;
    QFile log(editorLog());
    if (!log.open(QIODevice::ReadOnly))
        return starts;
    for (const QByteArray &line : log.readAll().split('\n')) {
        if (!line.trimmed().isEmpty())
            starts.append(QJsonDocument::fromJson(line).array());
    }
    return starts;
}

// Writes registry keys and values through the registry tool's import of an export file; body: the keys
// and values, without the header.
bool WineTest::importReg(const QString &text) const
{
    const QString file = m_sandbox->root() + QLatin1String("/import.reg");
    QFile reg(file);
    if (!reg.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    // As the registry tool writes its exports: UTF-16 little endian with a byte-order mark, CR LF.
    const QString whole = QStringLiteral("\uFEFFWindows Registry Editor Version 5.00\r\n\r\n") + text;
    QByteArray bytes;
    for (const QChar c : whole) {
        bytes.append(char(c.unicode() & 0xff));
        bytes.append(char(c.unicode() >> 8));
    }
    reg.write(bytes);
    reg.close();
    const Run run = wine({QStringLiteral("reg"), QStringLiteral("import"),
                          QDir::toNativeSeparators(QStringLiteral("Z:") + file)});
    return run.finished && run.exitCode == 0;
}

void WineTest::install_writesLayout_data()
{
    QTest::addColumn<QString>("language");
    QTest::addColumn<QStringList>("captions");
    QTest::newRow("German") << QStringLiteral("German") << ExpectedCaptions::german();
    // Non-ASCII text must survive the native registry as it is.
    QTest::newRow("ChineseSimplified")
        << QStringLiteral("ChineseSimplified") << ExpectedCaptions::chineseSimplified();
    QTest::newRow("unknown language: fallback") << QStringLiteral("english") << ExpectedCaptions::fallback();
    QTest::newRow("no configuration: fallback") << QString() << ExpectedCaptions::fallback();
}

void WineTest::install_writesLayout()
{
    QFETCH(QString, language);
    QFETCH(QStringList, captions);
    setEditorLanguage(language);
    QFile::remove(associationLog());

    const Run run = runProgram({QStringLiteral("install")});
    QVERIFY(run.finished);
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(withoutWineNoise(run.standardOutput), QByteArray());
    QCOMPARE(withoutWineNoise(run.standardError), QByteArray());

    Hive actual = exportKey(ProgramIdKey);
    const Hive verbs = exportKey(ShellKey);
    for (auto key = verbs.cbegin(); key != verbs.cend(); ++key)
        actual.insert(key.key(), key.value());
    const Hive expected = expectedLayout(captions);
    QVERIFY2(
        actual == expected,
        qPrintable(QStringLiteral("actual:\n%1\nexpected:\n%2").arg(describe(actual), describe(expected))));
    // Nothing written through HKEY_CLASSES_ROOT, which would need an administrator on Windows.
    QVERIFY(!keyExists(ClassesRootIdKey));

    // install is removal, then registration: an empty identifier first, then the editor's.
    QFile log(associationLog());
    QVERIFY(log.open(QIODevice::ReadOnly));
    QCOMPARE(log.readAll(), QByteArray(".pdf\t\n.pdf\tOstrel PDF Editor.exe\n"));
}

void WineTest::uninstall_removesOnlyOurKeys()
{
    setEditorLanguage(QStringLiteral("German"));
    QCOMPARE(runProgram({QStringLiteral("install")}).exitCode, 0);
    // Another program's verb under the same key, and something another party added to our identifier.
    const QString foreign = ShellKey + QLatin1String("\\OtherVendorPrint");
    for (const QStringList &add :
         {QStringList{foreign, QStringLiteral("/v"), QStringLiteral("MUIVerb"), QStringLiteral("/d"),
                      QStringLiteral("Print elsewhere")},
          QStringList{foreign + QLatin1String("\\Command"), QStringLiteral("/ve"), QStringLiteral("/d"),
                      QStringLiteral("C:\\other.exe \"%1\"")},
          QStringList{ProgramIdKey + QLatin1String("\\shell\\print\\command"), QStringLiteral("/ve"),
                      QStringLiteral("/d"), QStringLiteral("x")}}) {
        QCOMPARE(wine(QStringList{QStringLiteral("reg"), QStringLiteral("add")} + add +
                      QStringList{QStringLiteral("/f")})
                     .exitCode,
                 0);
    }
    QVERIFY(waitForWineServer());
    QFile::remove(associationLog());

    const Run run = runProgram({QStringLiteral("uninstall")});
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(withoutWineNoise(run.standardOutput), QByteArray());
    QCOMPARE(withoutWineNoise(run.standardError), QByteArray());

    Hive expected;
    expected[ShellKey];
    expected[foreign][QStringLiteral("MUIVerb")] = QStringLiteral("Print elsewhere");
    expected[foreign + QLatin1String("\\Command")][QStringLiteral("@")] =
        QStringLiteral("C:\\other.exe \"%1\"");
    const Hive actual = exportKey(ShellKey);
    QVERIFY2(actual == expected, qPrintable(describe(actual)));
    QVERIFY(!keyExists(ProgramIdKey));
    QVERIFY(!keyExists(ClassesRootIdKey));

    QFile log(associationLog());
    QVERIFY(log.open(QIODevice::ReadOnly));
    QCOMPARE(log.readAll(), QByteArray(".pdf\t\n"));

    // Clean state for the cases that follow.
    wine({QStringLiteral("reg"), QStringLiteral("delete"), foreign, QStringLiteral("/f")});
    QVERIFY(waitForWineServer());
}

void WineTest::install_matchesLinuxRegistryStandIn()
{
    setEditorLanguage(QStringLiteral("German"));
    QCOMPARE(runProgram({QStringLiteral("install")}).exitCode, 0);
    Hive windows = exportKey(ProgramIdKey);
    const Hive verbs = exportKey(ShellKey);
    for (auto key = verbs.cbegin(); key != verbs.cend(); ++key)
        windows.insert(key.key(), key.value());

    Sandbox linuxBox;
    QVERIFY(linuxBox.isValid());
    linuxBox.writeEditorLanguage(QStringLiteral("German"));
    const Sandbox::Result linuxRun = linuxBox.run({QStringLiteral("install")});
    QCOMPARE(linuxRun.exitCode, 0);
    const Hive linuxHive = ExportText::read(ExportText::decoded(readFile(linuxBox.registryFile())));
    QVERIFY2(!linuxHive.isEmpty(), qPrintable(linuxBox.registryFile()));
    Hive linuxOurs = subtree(linuxHive, ProgramIdKey);
    const Hive linuxVerbs = subtree(linuxHive, ShellKey);
    for (auto key = linuxVerbs.cbegin(); key != linuxVerbs.cend(); ++key)
        linuxOurs.insert(key.key(), key.value());

    const Hive fromWine = normalised(windows, ProgramWindows, InstallDirWindows);
    const Hive fromLinux = normalised(linuxOurs, QDir::toNativeSeparators(linuxBox.programPath()),
                                      QDir::toNativeSeparators(linuxBox.installDir()));
    // Only the keys that differ, so that the message stays short enough for the test log.
    QStringList keys = fromWine.keys() + fromLinux.keys();
    keys.removeDuplicates();
    QString differences;
    for (const QString &key : keys) {
        if (fromWine.contains(key) != fromLinux.contains(key) ||
            fromWine.value(key) != fromLinux.value(key)) {
            const Hive wineKey{{key, fromWine.value(key)}}, linuxKey{{key, fromLinux.value(key)}};
            differences +=
                QStringLiteral("Wine%1: %2Linux%3: %4")
                    .arg(fromWine.contains(key) ? QString() : QStringLiteral(" (missing)"), describe(wineKey),
                         fromLinux.contains(key) ? QString() : QStringLiteral(" (missing)"),
                         describe(linuxKey));
        }
    }
    QVERIFY2(differences.isEmpty(), qPrintable(differences));
}

void WineTest::handOff_reachesEditorOnce_data()
{
    QTest::addColumn<QString>("flag");
    QTest::addColumn<int>("copies");
    QTest::addColumn<int>("folderLength"); // of the deep folder the files lie in, 0 for a short one
    QTest::addColumn<int>("startCount");
    QTest::addColumn<bool>("trail"); // the user's qtlogging.ini turns the trail on
    QTest::newRow("one copy") << QStringLiteral("-ftype_edit") << 1 << 0 << 1 << false;
    QTest::newRow("ten copies at once") << QStringLiteral("-ftype_merge") << 10 << 0 << 1 << false;
    // Together about 36,000 units: more than one command line holds (32,767 with its NUL), so two starts.
    QTest::newRow("paths too long for one command line")
        << QStringLiteral("-ftype_merge") << 12 << 2950 << 2 << false;
    QTest::newRow("three copies, trail on") << QStringLiteral("-ftype_merge") << 3 << 0 << 1 << true;
}

void WineTest::handOff_reachesEditorOnce()
{
    QFETCH(QString, flag);
    QFETCH(int, copies);
    QFETCH(int, folderLength);
    QFETCH(int, startCount);
    QFETCH(bool, trail);
    // Where Qt looks for it on Windows: QStandardPaths::GenericConfigLocation, %LOCALAPPDATA%.
    if (trail)
        QVERIFY(writeFile(localAppData() + QLatin1String("/QtProject/qtlogging.ini"),
                          "[Rules]\nostrel.*.debug=true\n"));
    QFile::remove(editorLog());
    QFile::remove(editorProcessLog());

    QString folder = QStringLiteral("C:\\Users\\Public\\Documents");
    if (folderLength > 0)
        folder += QLatin1Char('\\') + QString(folderLength - folder.size() - 1, QChar(0xdc));
    QStringList paths;
    for (int i = 0; i < copies; ++i) {
        // Spaces and non-ASCII letters, as Explorer hands them over; Explorer's order is the numbers' order.
        paths << folder + QStringLiteral("\\Bericht Nr %1 \u00dcbersicht.pdf").arg(i + 1);
    }
    // Wine's relay trace, which the prefix limits to the call that lets a started process come to the
    // front (see initTestCase), besides modules and threads coming and going.
    const auto traceFile = [&](int copy) {
        return m_sandbox->root() + QStringLiteral("/copy %1.stderr").arg(copy);
    };
    QProcessEnvironment environment = wineEnvironment();
    environment.insert(QStringLiteral("WINEDEBUG"), QStringLiteral("-all,+relay"));
    // A copy's unfinished spool file: a leading dot hides nothing on Windows, yet no primary may read it
    // (nor remove it while it is young). Beside it a path left over in the same folder by an earlier
    // version (a file named after no primary), which is handed off in a start of its own, before the
    // selection's.
    const QString unfinished = spoolDir() + QLatin1String("/.4242.txt.partial");
    QVERIFY(writeFile(unfinished, "-ftype_merge;C:\\unfinished.pdf\n"));
    const QString leftover = folder + QStringLiteral("\\Bericht Nr 0 \u00dcbersicht.pdf");
    QVERIFY(
        writeFile(spoolDir() + QLatin1String("/4243.txt"), flag.toUtf8() + ';' + leftover.toUtf8() + '\n'));
    std::vector<std::unique_ptr<QProcess>> processes;
    // Started out of order, so that neither process ids nor spool-file names give the order.
    for (int k = 0; k < copies; ++k) {
        auto process = std::make_unique<QProcess>();
        process->setProcessEnvironment(environment);
        // Into a file: the trace is long, and Wine's own processes that the first copy starts write into the
        // same stream; a pipe that nobody reads while the test waits for another copy would stop them all.
        process->setStandardErrorFile(traceFile(k));
        process->start(QStringLiteral("wine"),
                       {ProgramWindows, flag, paths.at((k * 7 + copies / 2) % copies)});
        processes.push_back(std::move(process));
    }
    paths.prepend(leftover); // first in Explorer's order, and in a start of its own
    ++startCount;
    const bool allEnded = Sandbox::waitAll(processes, 180000);
    // The editor is started detached; it has written its line once the prefix is idle, and Wine's own
    // processes have finished their traces.
    QVERIFY(waitForWineServer());
    static const QRegularExpression allowCall(
        QStringLiteral("^[0-9a-f]+:Call user32\\.AllowSetForegroundWindow\\(([0-9a-f]+)\\)"));
    QList<qint64> allowed;
    QList<QStringList> trails;
    for (int k = 0; k < copies; ++k) {
        QProcess &process = *processes.at(size_t(k));
        const QByteArray output = process.readAllStandardOutput();
        QByteArray errors;
        for (const QByteArray &line : readFile(traceFile(k)).split('\n')) {
            const QString text = QString::fromUtf8(line);
            const QRegularExpressionMatch call = allowCall.match(text);
            if (call.hasMatch())
                allowed.append(call.captured(1).toLongLong(nullptr, 16));
            else if (!isRelayLine(text))
                errors += line + '\n';
        }
        QVERIFY(endedWell(process, output, errors));
        QCOMPARE(withoutWineNoise(output), QByteArray());
        if (trail)
            trails.append(QString::fromUtf8(withoutWineNoise(errors))
                              .remove(QLatin1Char('\r'))
                              .split(QLatin1Char('\n')));
        else
            QCOMPARE(withoutWineNoise(errors), QByteArray());
    }
    QVERIFY(allEnded);

    // Each editor that was started may take the foreground: the primary passed the right on to exactly
    // those processes. (Wine keeps no such rule, so whether a window then comes to the front is not seen.)
    QList<qint64> editors;
    for (const QByteArray &line : readFile(editorProcessLog()).split('\n')) {
        if (!line.trimmed().isEmpty())
            editors.append(line.trimmed().toLongLong());
    }
    std::sort(allowed.begin(), allowed.end());
    std::sort(editors.begin(), editors.end());
    QCOMPARE(editors.size(), startCount);
    QCOMPARE(allowed, editors);

    // With the trail on: each copy's lines carry its own process id; one primary, the secondaries name it;
    // the wait's end, the gathering (the unfinished file left) and one start with every path.
    QStringList roles;
    QStringList primaryTrail;
    for (QStringList lines : trails) {
        lines.removeAll(QString());
        QVERIFY(!lines.isEmpty());
        const QString pid = lines.first().section(QLatin1Char(' '), 2, 2);
        for (const QString &line : lines)
            QVERIFY2(QRegularExpression(QStringLiteral("^ostrel\\.[a-z]+: pid ") + pid + QLatin1Char(' '))
                         .match(line)
                         .hasMatch(),
                     qPrintable(line));
        const QStringList election = lines.filter(QRegularExpression(QStringLiteral("^ostrel.election: ")));
        QCOMPARE(election.size(), 1);
        roles.append(election.first().section(QLatin1String(": "), 2));
        if (roles.last().startsWith(QLatin1String("primary: ")))
            primaryTrail = lines;
    }
    roles.sort();
    if (trail) {
        const QString primaryPid = primaryTrail.value(0).section(QLatin1Char(' '), 2, 2).chopped(1);
        QStringList expectedRoles{QStringLiteral("primary: the block named no primary")};
        for (int n = 1; n < copies; ++n)
            expectedRoles.append(QStringLiteral("secondary %1: primary %2 runs").arg(n).arg(primaryPid));
        QCOMPARE(roles, expectedRoles);
        QCOMPARE(
            primaryTrail.filter(QRegularExpression(QStringLiteral(": wait ended after 200 \\+ \\d+ ms: ")))
                .size(),
            1);
        QCOMPARE(primaryTrail
                     .filter(QStringLiteral(": gathered %1 paths from %1 of %1 spool files; 0 stale spool "
                                            "files and 0 stale unfinished ones to be removed unread; 0 "
                                            "unreadable and 1 unfinished ones left")
                                 .arg(paths.size()))
                     .size(),
                 1);
        // The earlier version's leftover first, in a start of its own, then the selection's one start.
        const QStringList startLines = primaryTrail.filter(QStringLiteral(": editor start: "));
        QCOMPARE(startLines.size(), startCount);
        const QStringList selection = paths.mid(1);
        const QString processMark = QStringLiteral(", process ");
        QCOMPARE(startLines.last().section(processMark, 0, 0),
                 QStringLiteral("ostrel.handoff: pid %1: editor start: %2, %3 path(s), argument of %4 "
                                "characters: started")
                     .arg(primaryPid, flag)
                     .arg(selection.size())
                     .arg((QStringList(flag) + selection).join(QLatin1Char(';')).size()));
        QVERIFY(editors.contains(startLines.last().section(processMark, 1).toLongLong()));
    }

    // Every path once and whole, in Explorer's order within each start, and each start's command line (the
    // quoted editor path, two spaces, the argument, in quotes since it holds spaces, and the NUL) within
    // what Windows allows; Wine would cut a longer one silently.
    const QList<QJsonArray> starts = editorStarts();
    QCOMPARE(starts.size(), startCount);
    QStringList handed;
    for (const QJsonArray &start : starts) {
        QCOMPARE(start.size(), 1);
        const QString argument = start.first().toString();
        const int commandLine = 1 + EditorWindows.size() + 1 + 2 + 1 + argument.size() + 2 + 1;
        QVERIFY2(commandLine <= 32767, QByteArray::number(commandLine).constData());
        QStringList parts = argument.split(QLatin1Char(';'));
        QCOMPARE(parts.takeFirst(), flag);
        QVERIFY(!parts.isEmpty());
        QCOMPARE(parts, paths.mid(paths.indexOf(parts.first()), parts.size()));
        if (parts.contains(leftover))
            QCOMPARE(parts, QStringList(leftover));
        handed += parts;
    }
    handed.sort();
    paths.sort();
    QCOMPARE(handed, paths);
    QCOMPARE(QDir(spoolDir()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
             QStringList(QFileInfo(unfinished).fileName()));
    QVERIFY(QFile::remove(unfinished));
}

// A file where the spool folder should be: no copy can spool. The secondaries hand their paths to the
// primary over its named pipe (whose server process they check is of their own account), the primary
// keeps its own, and the editor still gets every path once.
void WineTest::handOff_pathsThatCannotBeSpooled()
{
    QVERIFY(!QFileInfo(spoolDir()).isDir() || QDir().rmdir(spoolDir()));
    QVERIFY(writeFile(spoolDir(), "not a folder"));
    const QStringList paths{QStringLiteral("C:\\unspooled\\1.pdf"), QStringLiteral("C:\\unspooled\\2.pdf"),
                            QStringLiteral("C:\\unspooled\\3.pdf")};
    const bool once = handsOffOnce(QStringLiteral("-ftype_split"), paths);
    QVERIFY(QFile::remove(spoolDir()));
    QVERIFY(once);
}

void WineTest::election_simultaneousCopiesHaveOnePrimary()
{
    // Only the primary starts the editor, and it hands over every copy's path: two primaries would show
    // as two starts (or as a hand-off missing the other primary's paths), none as no start at all.
    // Wine reports every DLL it loads: only the primary loads the transport module, and Qt Network with it.
    QProcessEnvironment environment = wineEnvironment();
    environment.insert(QStringLiteral("WINEDEBUG"), QStringLiteral("-all,+loaddll"));
    for (int round = 0; round < 2; ++round) {
        QFile::remove(editorLog());
        std::vector<std::unique_ptr<QProcess>> processes;
        QStringList paths;
        for (int i = 0; i < 6; ++i) {
            paths << QStringLiteral("C:\\round%1\\%2.pdf").arg(round).arg(i);
            auto process = std::make_unique<QProcess>();
            process->setProcessEnvironment(environment);
            process->start(QStringLiteral("wine"),
                           {ProgramWindows, QStringLiteral("-ftype_print"), paths.last()});
            processes.push_back(std::move(process));
        }
        const bool allEnded = Sandbox::waitAll(processes, 180000);
        int loadedModule = 0;
        for (const auto &process : processes) {
            const QByteArray traces = process->readAllStandardError();
            QVERIFY(endedWell(*process, process->readAllStandardOutput(), traces));
            const bool module = traces.contains("ostrel_localtransport.dll");
            QCOMPARE(traces.contains("Qt5Network.dll"), module);
            loadedModule += module ? 1 : 0;
            // Nothing but Wine's lines: no message of ours, such as a module that failed to load.
            for (const QByteArray &line : traces.split('\n'))
                QVERIFY2(line.isEmpty() || line.contains(":trace:loaddll:"), line.constData());
        }
        QVERIFY(allEnded);
        QCOMPARE(loadedModule, 1);
        QVERIFY(waitForWineServer());
        const QList<QJsonArray> starts = editorStarts();
        QCOMPARE(starts.size(), 1);
        QStringList handed = starts.first().first().toString().split(QLatin1Char(';')).mid(1);
        handed.sort();
        QCOMPARE(handed, paths);
    }
}

// The name of the election's lock, as the program under Wine makes it: from Wine's relay trace of a run.
QString WineTest::electionLockName()
{
    if (!m_electionLockName.isEmpty())
        return m_electionLockName;
    QProcessEnvironment environment = wineEnvironment();
    environment.insert(QStringLiteral("WINEDEBUG"), QStringLiteral("-all,+relay"));
    const Run run = m_sandbox->run({ProgramWindows}, 120000, QStringLiteral("wine"), environment);
    waitForWineServer();
    const QRegularExpression created(QStringLiteral("CreateMutexW\\([^)]*L\"([A-Za-z0-9+_]{43}=\\.lock)\""));
    m_electionLockName = created.match(QString::fromUtf8(run.standardError)).captured(1);
    if (m_electionLockName.isEmpty() || !run.finished || run.exitCode != 0) {
        // The run's own words, without the relay trace around them.
        QByteArray said;
        for (const QByteArray &line : run.standardError.split('\n')) {
            if (!isRelayLine(QString::fromUtf8(line)))
                said += line + '\n';
        }
        qWarning(
            "no election lock seen; the run %s with status %d\nstandard output:\n%s\nstandard error:\n%s",
            run.finished ? "ended" : "did not end", run.exitCode, run.standardOutput.constData(),
            said.constData());
    }
    return m_electionLockName;
}

std::unique_ptr<QProcess> WineTest::startLockHolder(const QString &mode, const QString &name) const
{
    auto holder = std::make_unique<QProcess>();
    holder->setProcessEnvironment(wineEnvironment());
    holder->start(QStringLiteral("wine"), {m_windowsBin + QLatin1String("/lockholder.exe"), mode, name});
    for (QDeadlineTimer deadline(60000); !deadline.hasExpired() && holder->state() != QProcess::NotRunning;) {
        holder->waitForReadyRead(200);
        if (holder->readAllStandardOutput().contains("ready"))
            return holder;
    }
    return nullptr;
}

std::unique_ptr<QProcess> WineTest::startCopy(const QStringList &arguments) const
{
    auto process = std::make_unique<QProcess>();
    process->setProcessEnvironment(wineEnvironment());
    process->start(QStringLiteral("wine"), QStringList{ProgramWindows} + arguments);
    return process;
}

// A selection of these paths, started together, reaches the editor in one start, with each path once; no
// copy says anything.
bool WineTest::handsOffOnce(const QString &flag, const QStringList &paths, QProcess *keeper)
{
    QFile::remove(editorLog());
    std::vector<std::unique_ptr<QProcess>> copies;
    for (const QString &path : paths)
        copies.push_back(startCopy({flag, path}));
    bool quiet = Sandbox::waitAll(copies, 120000);
    for (const auto &copy : copies) {
        const QByteArray output = copy->readAllStandardOutput();
        const QByteArray errors = copy->readAllStandardError();
        if (!endedWell(*copy, output, errors))
            quiet = false;
        else if (!withoutWineNoise(output + errors).isEmpty()) {
            qWarning("copy %s said:\n%s", qPrintable(copy->arguments().join(QLatin1Char(' '))),
                     (output + errors).constData());
            quiet = false;
        }
    }
    // The prefix settles only once every process of it has ended.
    if (keeper) {
        keeper->kill();
        keeper->waitForFinished(20000);
    }
    waitForWineServer();
    int carrying = 0;
    for (const QJsonArray &start : editorStarts()) {
        QStringList parts = start.first().toString().split(QLatin1Char(';'));
        if (!std::any_of(paths.cbegin(), paths.cend(),
                         [&](const QString &path) { return parts.contains(path); }))
            continue;
        ++carrying;
        if (parts.takeFirst() != flag)
            return false;
        for (const QString &path : paths) {
            if (parts.count(path) != 1)
                return false;
        }
    }
    return quiet && carrying == 1;
}

void WineTest::election_deadHolderStallsNoCopy_data()
{
    QTest::addColumn<bool>("fatalPath");
    QTest::newRow("holder killed while another process keeps the lock open") << false;
    QTest::newRow("holder ends by the fatal path") << true;
}

// A mutex, unlike a semaphore, is given back when its holder dies: the next copies hand off normally.
void WineTest::election_deadHolderStallsNoCopy()
{
    QFETCH(bool, fatalPath);
    const QString lock = electionLockName();
    QVERIFY(!lock.isEmpty());
    // As a copy waiting for the lock would, this keeps the object alive while its holder dies.
    const auto keeper = startLockHolder(QStringLiteral("open"), lock);
    QVERIFY(keeper);
    if (fatalPath) {
        // Something else under the block's name: the copy cannot attach, and ends with status 1 while it
        // holds the lock.
        QString block = lock;
        block.replace(QLatin1String(".lock"), QLatin1String(".block"));
        const auto occupant = startLockHolder(QStringLiteral("occupy"), block);
        QVERIFY(occupant);
        const Run failed =
            wine({ProgramWindows, QStringLiteral("-ftype_print"), QStringLiteral("C:\\lost.pdf")},
                 OnFailure::Quiet);
        QCOMPARE(failed.exitCode, 1);
        // The two critical messages of the fatal path, on the standard error it was given: what failed,
        // then the framework's error code and string (UnknownError, for the system's ERROR_INVALID_HANDLE:
        // the name is an event's).
        QCOMPARE(withoutWineNoise(failed.standardError).replace("\r\n", "\n"),
                 QByteArray("SingleApplication: Unable to attach to shared memory block.\n"
                            "SingleApplication:  8 \"QSharedMemory::handle: unknown error 6\"\n"));
        occupant->kill();
        QVERIFY(occupant->waitForFinished(20000));
    } else {
        const auto holder = startLockHolder(QStringLiteral("take"), lock);
        QVERIFY(holder);
        holder->kill();
        QVERIFY(holder->waitForFinished(20000));
    }
    QElapsedTimer clock;
    clock.start();
    // Waiting for a lock that is never given back would end each copy without a role after 10 s, and no
    // editor would start.
    QVERIFY(handsOffOnce(QStringLiteral("-ftype_print"),
                         {QStringLiteral("C:\\after\\1.pdf"), QStringLiteral("C:\\after\\2.pdf"),
                          QStringLiteral("C:\\after\\3.pdf")},
                         keeper.get()));
    qInfo("hand-off after the holder ended: %lld ms", clock.elapsed());
}

// Copies killed at random moments of their first half second, a third of each selection: no copy still
// runs after the cap, and the next selection hands off once.
void WineTest::election_copiesKilledAtRandom()
{
    const quint32 seed = QRandomGenerator::global()->generate();
    qInfo("seed %u", seed);
    QRandomGenerator random(seed);
    for (int round = 0; round < 2; ++round) {
        std::vector<std::unique_ptr<QProcess>> copies;
        for (int i = 0; i < 12; ++i)
            copies.push_back(startCopy(
                {QStringLiteral("-ftype_merge"), QStringLiteral("C:\\killed%1\\%2.pdf").arg(round).arg(i)}));
        killAtRandomMoments(copies, 4, 500, random);
        // The 30 s cap, the quiet window and Wine's slower starts.
        QVERIFY(Sandbox::waitAll(copies, 60000));
        QVERIFY(waitForWineServer());
        QVERIFY(
            handsOffOnce(QStringLiteral("-ftype_edit"), {QStringLiteral("C:\\next%1\\a.pdf").arg(round),
                                                         QStringLiteral("C:\\next%1\\b.pdf").arg(round)}));
    }
}

void WineTest::versionResource_describesShippedFile_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<QString>("fileType");
    QTest::addColumn<QString>("description");
    QTest::newRow("program") << QStringLiteral("OstrelContextMenu.exe") << QStringLiteral("application")
                             << QStringLiteral("Ostrel PDF Editor context-menu helper");
    QTest::newRow("transport module")
        << QStringLiteral("ostrel_localtransport.dll") << QStringLiteral("library")
        << QStringLiteral("Ostrel PDF Editor context-menu helper: local transport");
    QTest::newRow("Explorer command")
        << QStringLiteral("OstrelExplorerCommand.dll") << QStringLiteral("library")
        << QStringLiteral("Ostrel PDF Editor context-menu helper: Explorer command");
}

// What Explorer's Properties > Details shows and what Windows Installer compares, read through the
// version API from the installed file: every field, the numbers those of the project's version.
void WineTest::versionResource_describesShippedFile()
{
    QFETCH(QString, file);
    QFETCH(QString, fileType);
    QFETCH(QString, description);
    QStringList parts = QStringLiteral(OSTREL_PROJECT_VERSION).split(QLatin1Char('.'));
    while (parts.size() < 4)
        parts.append(QStringLiteral("0"));
    const QString version = parts.join(QLatin1Char('.'));

    const Run run = wine(
        {m_windowsBin + QLatin1String("/versioninfo.exe"), InstallDirWindows + QLatin1Char('\\') + file});
    QVERIFY(waitForWineServer());
    QVERIFY2(run.finished && run.exitCode == 0, run.standardError.constData());
    QMap<QString, QString> fields;
    for (const QByteArray &line : run.standardOutput.split('\n')) {
        const QString text = QString::fromUtf8(line).trimmed();
        if (!text.isEmpty())
            fields.insert(text.section(QLatin1Char('='), 0, 0), text.section(QLatin1Char('='), 1));
    }
    const QMap<QString, QString> expected{
        {QStringLiteral("FixedFileVersion"), version},
        {QStringLiteral("FixedProductVersion"), version},
        {QStringLiteral("FileType"), fileType},
        {QStringLiteral("CompanyName"), QStringLiteral("Ostrel")},
        {QStringLiteral("FileDescription"), description},
        {QStringLiteral("FileVersion"), version},
        {QStringLiteral("InternalName"), file.section(QLatin1Char('.'), 0, 0)},
        {QStringLiteral("LegalCopyright"), QStringLiteral("Copyright \u00a9 2026 Ostrel")},
        {QStringLiteral("OriginalFilename"), file},
        {QStringLiteral("ProductName"), QStringLiteral("Ostrel PDF Editor Context Menu")},
        {QStringLiteral("ProductVersion"), version}};
    const auto lines = [](const QMap<QString, QString> &map) {
        QString text;
        for (auto field = map.cbegin(); field != map.cend(); ++field)
            text += field.key() + QLatin1Char('=') + field.value() + QLatin1Char('\n');
        return text;
    };
    QVERIFY2(fields == expected,
             qPrintable(QStringLiteral("actual:\n%1expected:\n%2").arg(lines(fields), lines(expected))));
}

// The release step: scripts/build-windows.sh --sign-pkcs12 signs every program and DLL of the deployable
// folder, checked with a certificate made here that nothing else trusts; without the option the folder is
// as the fixture left it, unsigned.
void WineTest::signing_signsEveryShippedFile()
{
    const QString keys = m_sandbox->root() + QLatin1String("/signing");
    QVERIFY(QDir().mkpath(keys));
    const auto tool = [&](const QString &program, const QStringList &arguments,
                          const QProcessEnvironment &environment = QProcessEnvironment::systemEnvironment()) {
        return m_sandbox->run(arguments, 300000, program, environment);
    };
    const auto succeeds = [](const Run &run) { return run.finished && run.exitCode == 0; };
    const auto openssl = [&](const char *words, const QStringList &more) {
        return succeeds(
            tool(QStringLiteral("openssl"), QString::fromLatin1(words).split(QLatin1Char(' ')) + more));
    };
    const auto keyFile = [&](const char *name) { return keys + QLatin1Char('/') + QLatin1String(name); };
    // A certificate authority, and a code-signing certificate issued by it in a PKCS#12 file, as a vendor
    // gets them; a second authority of the same name whose key signed nothing here.
    for (const char *name : {"authority", "stranger"}) {
        QVERIFY(openssl("req -x509 -newkey rsa:2048 -nodes -days 2 -addext basicConstraints=critical,CA:TRUE "
                        "-addext keyUsage=critical,keyCertSign -subj",
                        {QStringLiteral("/CN=Throw-away test authority"), QStringLiteral("-keyout"),
                         keyFile(name) + QLatin1String(".key"), QStringLiteral("-out"),
                         keyFile(name) + QLatin1String(".pem")}));
    }
    QVERIFY(writeFile(
        keyFile("signer.ext"),
        "basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\nextendedKeyUsage=codeSigning\n"));
    QVERIFY(openssl("req -newkey rsa:2048 -nodes -subj /CN=Ostrel-test-signer -keyout",
                    {keyFile("signer.key"), QStringLiteral("-out"), keyFile("signer.csr")}));
    QVERIFY(openssl("x509 -req -set_serial 1 -days 2 -in",
                    {keyFile("signer.csr"), QStringLiteral("-CA"), keyFile("authority.pem"),
                     QStringLiteral("-CAkey"), keyFile("authority.key"), QStringLiteral("-extfile"),
                     keyFile("signer.ext"), QStringLiteral("-out"), keyFile("signer.pem")}));
    // A password with a space and a semicolon, which must reach the tool whole.
    const QString password = QStringLiteral("not a secret; only a test");
    const QString pkcs12 = keyFile("signer.p12");
    QVERIFY(openssl("pkcs12 -export -inkey",
                    {keyFile("signer.key"), QStringLiteral("-in"), keyFile("signer.pem"),
                     QStringLiteral("-certfile"), keyFile("authority.pem"), QStringLiteral("-passout"),
                     QLatin1String("pass:") + password, QStringLiteral("-out"), pkcs12}));

    const QString deploy = QStringLiteral(OSTREL_WINDOWS_BUILD_DIR "/deploy");
    const auto shippedFiles = [&] {
        return QDir(deploy).entryList({QStringLiteral("*.exe"), QStringLiteral("*.dll")}, QDir::Files,
                                      QDir::Name);
    };
    const QStringList shipped = shippedFiles();
    for (const char *expected : {"OstrelContextMenu.exe", "ostrel_localtransport.dll", "Qt5Core.dll",
                                 "Qt5Network.dll", "libstdc++-6.dll"})
        QVERIFY2(shipped.contains(QLatin1String(expected)), expected);
    const auto verify = [&](const QString &file, const QStringList &authority) {
        return tool(
            QStringLiteral("osslsigncode"),
            QStringList{QStringLiteral("verify"), QStringLiteral("-in"), deploy + QLatin1Char('/') + file} +
                authority);
    };

    // Everything is checked after the folder is built again without the option, so that a failure leaves
    // it as the other cases and later runs expect it.
    const QString script = QStringLiteral(OSTREL_SOURCE_DIR "/scripts/build-windows.sh");
    const QStringList build{QStringLiteral("--build-dir"), QStringLiteral(OSTREL_WINDOWS_BUILD_DIR)};
    QProcessEnvironment withPassword = QProcessEnvironment::systemEnvironment();
    withPassword.insert(QStringLiteral("OSTREL_SIGN_PASSWORD"), password);
    const Run signing =
        tool(script, build + QStringList{QStringLiteral("--sign-pkcs12"), pkcs12}, withPassword);
    const QStringList signedFiles = shippedFiles();
    QStringList faults;
    for (const QString &file : signedFiles) {
        const Run trusted = verify(file, {QStringLiteral("-CAfile"), keyFile("authority.pem")});
        if (!succeeds(trusted) || !trusted.standardOutput.contains("Signature verification: ok"))
            faults << file + QLatin1String(": ") + QString::fromUtf8(trusted.standardOutput);
        if (succeeds(verify(file, {QStringLiteral("-CAfile"), keyFile("stranger.pem")})))
            faults << file + QLatin1String(": verified by an authority that signed nothing");
    }
    // The package: signed with the same certificate, its Publisher that certificate's subject, its block
    // map still true to its payload.
    const QString package = QStringLiteral("OstrelPDFEditor.msix");
    const Run packageTrusted = verify(package, {QStringLiteral("-CAfile"), keyFile("authority.pem")});
    if (!succeeds(packageTrusted) || !packageTrusted.standardOutput.contains("Signature verification: ok"))
        faults << package + QLatin1String(": ") + QString::fromUtf8(packageTrusted.standardOutput);
    const Run packageRead =
        tool(QStringLiteral("python3"),
             {QStringLiteral(OSTREL_CHECK_MSIX), deploy + QLatin1Char('/') + package,
              QStringLiteral(OSTREL_EXPLORER_COMMAND_CLSID), QStringLiteral("CN=Ostrel-test-signer")});
    if (!succeeds(packageRead) || !packageRead.standardOutput.contains("AppxSignature"))
        faults << package + QLatin1String(": ") + QString::fromUtf8(packageRead.standardOutput);
    withPassword.insert(QStringLiteral("OSTREL_SIGN_PASSWORD"), QStringLiteral("not the password"));
    const Run wrongPassword =
        tool(script, build + QStringList{QStringLiteral("--sign-pkcs12"), pkcs12}, withPassword);
    const bool folderAfterWrongPassword = QFileInfo::exists(deploy);
    const Run plain = tool(script, build);
    QStringList signedAfterPlainBuild;
    for (const QString &file : shippedFiles()) {
        const Run check = verify(file, {});
        // (The message goes to standard output or, in later versions of the tool, to standard error.)
        if (succeeds(check) || !(check.standardOutput + check.standardError).contains("No signature found"))
            signedAfterPlainBuild << file;
    }

    QVERIFY2(succeeds(signing), signing.standardError.constData());
    QCOMPARE(signedFiles, shipped);
    QVERIFY2(faults.isEmpty(), qPrintable(faults.join(QLatin1Char('\n'))));
    // A file that cannot be signed fails the build, and no half-signed folder is left to ship.
    QVERIFY(wrongPassword.finished && wrongPassword.exitCode != 0);
    QVERIFY(!folderAfterWrongPassword);
    // Without the option: the same files, no signature in any of them.
    QVERIFY2(succeeds(plain), plain.standardError.constData());
    QCOMPARE(shippedFiles(), shipped);
    QCOMPARE(signedAfterPlainBuild, QStringList());
}

void WineTest::explorerCommand_mirrorsInstalledVerbs_data()
{
    QTest::addColumn<QString>("registry");  // "install", "uninstall", or "no Merge command" (after install)
    QTest::addColumn<QStringList>("items"); // names of files in one folder; none: a null array
    QTest::addColumn<int>("rootState");
    QTest::addColumn<QString>("verbStates"); // of the sub-commands in menu order, one digit each
    QTest::addColumn<bool>("invokeMerge");
    // A space, a non-ASCII letter and a semicolon (the hand-off's separator) in the names.
    const QStringList three{QStringLiteral("C;D.pdf"), QStringLiteral("Akte 1.pdf"),
                            QStringLiteral("B\u00e9.pdf")};
    QStringList many;
    for (int i = 1; i <= 101; ++i)
        many << QStringLiteral("Scan %1.pdf").arg(i);
    const int shown = CommandEnabled, hidden = CommandHidden;
    const QString install = QStringLiteral("install");
    QTest::newRow("three .pdf files") << install << three << shown << QStringLiteral("0000") << false;
    QTest::newRow("extension in capitals")
        << install << QStringList{QStringLiteral("GROSS.PDF")} << shown << QStringLiteral("0000") << false;
    QTest::newRow("a .txt among them")
        << install << QStringList(three + QStringList{QStringLiteral("notes.txt")}) << hidden
        << QStringLiteral("0000") << false;
    QTest::newRow("100 items") << install << QStringList(many.mid(0, 100)) << shown << QStringLiteral("0000")
                               << false;
    QTest::newRow("101 items") << install << many << hidden << QStringLiteral("0000") << false;
    QTest::newRow("null array") << install << QStringList() << hidden << QStringLiteral("0000") << false;
    QTest::newRow("Merge without its command")
        << QStringLiteral("no Merge command") << three << shown << QStringLiteral("0020") << false;
    QTest::newRow("after uninstall") << QStringLiteral("uninstall") << three << hidden << QStringLiteral("")
                                     << false;
    QTest::newRow("Invoke Merge on three files")
        << install << three << shown << QStringLiteral("0000") << true;
}

// The module as the surrogate loads it, after install with German captions: the root command and the
// classic verbs it mirrors, read from the registry, shown only where the classic verbs would be; Merge
// invoked on real shell items reaches the editor once, as the classic verb does.
void WineTest::explorerCommand_mirrorsInstalledVerbs()
{
    QFETCH(QString, registry);
    QFETCH(QStringList, items);
    QFETCH(int, rootState);
    QFETCH(QString, verbStates);
    QFETCH(bool, invokeMerge);
    setEditorLanguage(QStringLiteral("German"));
    QCOMPARE(
        runProgram({registry == QLatin1String("uninstall") ? registry : QStringLiteral("install")}).exitCode,
        0);
    if (registry == QLatin1String("no Merge command")) {
        QCOMPARE(wine({QStringLiteral("reg"), QStringLiteral("delete"),
                       ShellKey + QLatin1String("\\OstrelPDFEditor03Merge\\Command"), QStringLiteral("/f")})
                     .exitCode,
                 0);
        QVERIFY(waitForWineServer());
    }
    const QString folder = QStringLiteral("C:\\users\\Public\\Documents\\Explorer command");
    QVERIFY(QDir().mkpath(driveC() + QLatin1String("/users/Public/Documents/Explorer command")));
    QStringList arguments{m_windowsBin + QLatin1String("/commandclient.exe"),
                          InstallDirWindows + QLatin1String("\\OstrelExplorerCommand.dll")};
    const QStringList german = ExpectedCaptions::german();
    // Menu order is key order: 01Edit, 02Print, 03Merge, 04Split.
    const QStringList menu{german.at(0), german.at(3), german.at(2), german.at(1)};
    if (invokeMerge)
        arguments << QStringLiteral("--invoke") << menu.at(2);
    if (items.size() == 100)
        arguments << QStringLiteral("--repeat") << QStringLiteral("20");
    QStringList paths;
    for (const QString &name : items) {
        QVERIFY(writeFile(driveC() + QLatin1String("/users/Public/Documents/Explorer command/") + name,
                          "%PDF-1.4\n"));
        paths << folder + QLatin1Char('\\') + name;
    }
    arguments << (paths.isEmpty() ? QStringList{QStringLiteral("--null")} : paths);
    QFile::remove(editorLog());
    const Run run = wine(arguments);
    QVERIFY(waitForWineServer());
    QVERIFY(run.finished && run.exitCode == 0);
    QMap<QString, QString> said;
    for (const QByteArray &line : run.standardOutput.split('\n')) {
        const QString text = QString::fromUtf8(line).trimmed();
        if (text.contains(QLatin1Char('=')))
            said.insert(text.section(QLatin1Char('='), 0, 0), text.section(QLatin1Char('='), 1));
    }
    QMap<QString, QString> expected{{QStringLiteral("root.title"), QStringLiteral("Ostrel PDF Editor")},
                                    {QStringLiteral("root.icon"), EditorWindows + QLatin1String(",0")},
                                    {QStringLiteral("root.flags"), QString::number(HasSubCommands)},
                                    {QStringLiteral("root.state"), QString::number(rootState)},
                                    // Every object released, the module may go; not before.
                                    {QStringLiteral("unload.held"), QStringLiteral("1")},
                                    {QStringLiteral("unload.released"), QStringLiteral("0")}};
    for (int k = 0; k < verbStates.size(); ++k) {
        const QString sub = QStringLiteral("sub%1.").arg(k + 1);
        expected.insert(sub + QLatin1String("title"), menu.at(k));
        expected.insert(sub + QLatin1String("icon"), ProgramWindows + QLatin1String(",0"));
        expected.insert(sub + QLatin1String("flags"), QString::number(NoFlags));
        expected.insert(sub + QLatin1String("state"), verbStates.mid(k, 1));
    }
    if (invokeMerge)
        expected.insert(QStringLiteral("invoke"), QStringLiteral("00000000"));
    const QString timing = said.take(QStringLiteral("getstate.microseconds"));
    if (!timing.isEmpty())
        qInfo("root GetState for %d items under Wine: %s us per call", int(items.size()), qPrintable(timing));
    QCOMPARE(said, expected);
    if (!invokeMerge)
        return;
    // One start per item, as Explorer runs the classic verb: the copies hand the selection to one editor
    // start, the paths in name order.
    paths.sort();
    const QList<QJsonArray> starts = editorStarts();
    QCOMPARE(starts.size(), 1);
    QCOMPARE(starts.first(), QJsonArray{QStringLiteral("-ftype_merge;") + paths.join(QLatin1Char(';'))});
}

// The surrogate does not look in the install folder for DLLs: the module may need only Windows' own.
void WineTest::explorerCommand_importsOnlySystemDlls()
{
    const Run dump = m_sandbox->run(
        {QStringLiteral("-p"), QStringLiteral(OSTREL_WINDOWS_BUILD_DIR "/deploy/OstrelExplorerCommand.dll")},
        60000, QStringLiteral(OSTREL_MINGW_OBJDUMP));
    QVERIFY2(dump.finished && dump.exitCode == 0, dump.standardError.constData());
    QStringList imports;
    static const QRegularExpression dllName(QStringLiteral("^\\s*DLL Name: (\\S+)\\s*$"));
    for (const QByteArray &line : dump.standardOutput.split('\n')) {
        const QRegularExpressionMatch match = dllName.match(QString::fromUtf8(line));
        if (match.hasMatch())
            imports << match.captured(1).toLower();
    }
    imports.sort();
    QCOMPARE(imports, (QStringList{QStringLiteral("advapi32.dll"), QStringLiteral("kernel32.dll"),
                                   QStringLiteral("msvcrt.dll"), QStringLiteral("ole32.dll"),
                                   QStringLiteral("user32.dll")}));
}

void WineTest::shellVerbs_runOnlyTheRegisteredPrograms_data()
{
    QTest::addColumn<QString>("verb"); // as Explorer hands it to the shell: the verb's key name
    QTest::addColumn<QString>("flag"); // null: the editor's own open command
    QTest::addColumn<int>("items");
    QTest::addColumn<bool>("upgraded"); // else the installation of an earlier version, as it was left
    // The hazard itself, so that this prefix is known to show it: the planted program runs.
    QTest::newRow("earlier version: Merge is hijacked")
        << QStringLiteral("OstrelPDFEditor03Merge") << QStringLiteral("-ftype_merge") << 3 << false;
    QTest::newRow("earlier version: open is hijacked") << QStringLiteral("open") << QString() << 1 << false;
    QTest::newRow("upgraded: Merge on three items")
        << QStringLiteral("OstrelPDFEditor03Merge") << QStringLiteral("-ftype_merge") << 3 << true;
    QTest::newRow("upgraded: open through the program identifier")
        << QStringLiteral("open") << QString() << 1 << true;
}

// The shell itself runs the registered commands, one invocation per selected item as Explorer makes them.
// Each case starts from an installation by an earlier version, whose commands name the programs bare; an
// install over it is an upgrade, and after it only our programs may run.
void WineTest::shellVerbs_runOnlyTheRegisteredPrograms()
{
    QFETCH(QString, verb);
    QFETCH(QString, flag);
    QFETCH(int, items);
    QFETCH(bool, upgraded);
    QFile::remove(editorLog());
    // Nothing starts detached here, and the registry tool reads what the server holds, so the prefix need
    // not settle between these steps.
    if (m_pdfKeyBefore.isNull()) {
        // The export's keys and values without its header line, ready to be imported again.
        m_pdfKeyBefore = exportText(PdfKey, false).section(QLatin1Char('\n'), 1);
    }
    m_pdfRedirected = true;
    Hive older = olderLayout(ExpectedCaptions::fallback());
    const Hive olderLookup = shellLookup(older);
    for (auto key = olderLookup.cbegin(); key != olderLookup.cend(); ++key)
        older.insert(key.key(), key.value());
    QString reg = QLatin1String("[-") + ProgramIdKey + QLatin1String("]\r\n\r\n[-") + ClassesRootIdKey +
                  QLatin1String("]\r\n\r\n");
    for (const char *name : {"OstrelPDFEditor01Edit", "OstrelPDFEditor04Split", "OstrelPDFEditor03Merge",
                             "OstrelPDFEditor02Print"})
        reg += QLatin1String("[-") + ShellKey + QLatin1Char('\\') + QLatin1String(name) +
               QLatin1String("]\r\n\r\n");
    QVERIFY(importReg(reg + ExportText::written(older)));

    if (upgraded) {
        setEditorLanguage(QString());
        QCOMPARE(wine({ProgramWindows, QStringLiteral("install")}).exitCode, 0);
        // Exactly the current layout: nothing of the earlier one is left, the copies under the program
        // identifier included.
        Hive installed = exportKey(ProgramIdKey, false);
        const Hive verbs = exportKey(ShellKey, false);
        for (auto key = verbs.cbegin(); key != verbs.cend(); ++key)
            installed.insert(key.key(), key.value());
        const Hive expected = expectedLayout(ExpectedCaptions::fallback());
        QVERIFY2(
            installed == expected,
            qPrintable(
                QStringLiteral("actual:\n%1\nexpected:\n%2").arg(describe(installed), describe(expected))));
        // The earlier identifier, with the copies under it, went through HKEY_CLASSES_ROOT (Wine runs as
        // an administrator).
        QVERIFY(exportText(ClassesRootIdKey, false).isEmpty());
        // What install registered, copied where Wine's shell looks.
        const Hive lookup = shellLookup(installed);
        QCOMPARE(lookup.size(), 6);
        QVERIFY(importReg(ExportText::written(lookup)));
    }

    // Spaces and a non-ASCII letter in folder and file names, as documents have them.
    const QString documentsWindows = QStringLiteral("C:\\users\\Public\\Documents\\Scans 2024");
    QVERIFY(QDir().mkpath(driveC() + QLatin1String("/users/Public/Documents/Scans 2024")));
    QStringList documents;
    for (int i = 0; i < items; ++i) {
        const QString name = QStringLiteral("Bericht Nr %1 Übersicht.pdf").arg(i + 1);
        QFile file(driveC() + QLatin1String("/users/Public/Documents/Scans 2024/") + name);
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write("%PDF-1.4\n");
        documents << documentsWindows + QLatin1Char('\\') + name;
    }

    const Run shell = wine(QStringList{m_windowsBin + QLatin1String("/shellexec.exe"), verb} + documents);
    // Every program started there (the editor detached from the primary, too) has ended.
    QVERIFY(waitForWineServer());
    QVERIFY2(shell.finished && shell.exitCode == 0, shell.standardOutput.constData());

    // The first planted program is the first that a bare command reaches; none may run after the upgrade.
    for (const char *planted : PlantedPrograms) {
        QFile marker(plantedMarker(planted));
        const bool hijacked = !upgraded && planted == PlantedPrograms[0];
        const QString runs =
            marker.open(QIODevice::ReadOnly) ? QString::fromUtf8(marker.readAll()) : QString();
        QVERIFY2(marker.exists() == hijacked,
                 qPrintable(QLatin1String(planted) + QLatin1String(": ") + runs));
        if (hijacked) {
            QCOMPARE(runs.count(QLatin1String("\r\n")), items);
            for (const QString &document : documents)
                QVERIFY2(runs.contains(document), qPrintable(runs));
        }
    }

    const QList<QJsonArray> starts = editorStarts();
    if (!upgraded) {
        QCOMPARE(starts.size(), 0);
        return;
    }
    QCOMPARE(starts.size(), 1);
    if (flag.isNull()) {
        QCOMPARE(starts.first(), QJsonArray::fromStringList(documents));
        return;
    }
    // One start for the whole selection, whichever copy became primary.
    QCOMPARE(starts.first().size(), 1);
    const QStringList parts = starts.first().first().toString().split(QLatin1Char(';'));
    QCOMPARE(parts.first(), flag);
    QStringList handed = parts.mid(1);
    handed.sort();
    documents.sort();
    QCOMPARE(handed, documents);
}

QTEST_GUILESS_MAIN(WineTest)
#include "tst_wine.moc"
