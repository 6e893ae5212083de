// install and uninstall through the real program in a sandbox, checked against the registry layout the
// shell expects, written out here by hand; and writeVerbKey's guard, in process.

#include "contextmenu.h"
#include "expectedcaptions.h"
#include "exporttext.h"
#include "foreignhive.h"
#include "privatehome.h"
#include "registrydump.h"
#include "sandbox.h"
#include "testfiles.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

namespace {

const char RegistryHeader[] = "Windows Registry Editor Version 5.00\n\n";

// Keys stay until they are removed themselves, as in the registry: the keys above ours are created with
// them and outlive an uninstall. %SW% is the spelling of HKEY_CURRENT_USER's "Software" key: the program
// names it "Software" for its identifier and "SOFTWARE" for its verbs, and the registry keeps the spelling
// of the key's first creation (in a fresh hive the identifier's, written first).
const char UserParentsLayout[] = "[HKEY_CURRENT_USER]\n\n"
                                 "[HKEY_CURRENT_USER\\%SW%]\n\n"
                                 "[HKEY_CURRENT_USER\\%SW%\\Classes]\n\n";
const char ShellParentsLayout[] =
    "[HKEY_CURRENT_USER\\%SW%\\Classes\\SystemFileAssociations]\n\n"
    "[HKEY_CURRENT_USER\\%SW%\\Classes\\SystemFileAssociations\\.pdf]\n\n"
    "[HKEY_CURRENT_USER\\%SW%\\Classes\\SystemFileAssociations\\.pdf\\Shell]\n\n";
// What the stand-in makes of HKEY_CLASSES_ROOT in a hive of earlier versions: the machine's classes.
const char MachineParentsLayout[] = "[HKEY_LOCAL_MACHINE]\n\n"
                                    "[HKEY_LOCAL_MACHINE\\SOFTWARE]\n\n"
                                    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Classes]\n\n";

// Program identifier keys, as the hive lists them: "DefaultIcon" before "shell". %PI% is where they are:
// the current user's classes now, HKEY_CLASSES_ROOT in earlier versions.
const char ProgramIdentifierLayout[] = "[%PI%\\Ostrel PDF Editor.exe]\n"
                                       "\n"
                                       "[%PI%\\Ostrel PDF Editor.exe\\DefaultIcon]\n"
                                       "@=\"%DIR%/DocIcons.dll,0\"\n"
                                       "\n"
                                       "[%PI%\\Ostrel PDF Editor.exe\\shell]\n"
                                       "\n"
                                       "[%PI%\\Ostrel PDF Editor.exe\\shell\\open]\n"
                                       "\n"
                                       "[%PI%\\Ostrel PDF Editor.exe\\shell\\open\\command]\n"
                                       "@=\"%Q%%DIR%/Ostrel PDF Editor.exe%Q% \\\"%1\\\"\"\n"
                                       "\n";

// The verbs in name order (01 Edit, 02 Print, 03 Merge, 04 Split), as the hive lists them. %MSM% is the
// MultiSelectModel line, which earlier versions did not write.
const char VerbLayout[] =
    "[HKEY_CURRENT_USER\\%SW%\\Classes\\SystemFileAssociations\\.pdf\\Shell\\OstrelPDFEditor01Edit]\n"
    "@=\"\"\n"
    "\"Icon\"=\"%DIR%/OstrelContextMenu,0\"\n"
    "\"MUIVerb\"=\"%EDIT%\"\n"
    "%MSM%"
    "\n"
    "[HKEY_CURRENT_USER\\%SW%\\Classes\\SystemFileAssociations\\."
    "pdf\\Shell\\OstrelPDFEditor01Edit\\Command]\n"
    "@=\"%Q%%DIR%/OstrelContextMenu%Q% -ftype_edit \\\"%1\\\"\"\n"
    "\n"
    "[HKEY_CURRENT_USER\\%SW%\\Classes\\SystemFileAssociations\\.pdf\\Shell\\OstrelPDFEditor02Print]\n"
    "@=\"\"\n"
    "\"Icon\"=\"%DIR%/OstrelContextMenu,0\"\n"
    "\"MUIVerb\"=\"%PRINT%\"\n"
    "%MSM%"
    "\n"
    "[HKEY_CURRENT_USER\\%SW%\\Classes\\SystemFileAssociations\\."
    "pdf\\Shell\\OstrelPDFEditor02Print\\Command]\n"
    "@=\"%Q%%DIR%/OstrelContextMenu%Q% -ftype_print \\\"%1\\\"\"\n"
    "\n"
    "[HKEY_CURRENT_USER\\%SW%\\Classes\\SystemFileAssociations\\.pdf\\Shell\\OstrelPDFEditor03Merge]\n"
    "@=\"\"\n"
    "\"Icon\"=\"%DIR%/OstrelContextMenu,0\"\n"
    "\"MUIVerb\"=\"%MERGE%\"\n"
    "%MSM%"
    "\n"
    "[HKEY_CURRENT_USER\\%SW%\\Classes\\SystemFileAssociations\\."
    "pdf\\Shell\\OstrelPDFEditor03Merge\\Command]\n"
    "@=\"%Q%%DIR%/OstrelContextMenu%Q% -ftype_merge \\\"%1\\\"\"\n"
    "\n"
    "[HKEY_CURRENT_USER\\%SW%\\Classes\\SystemFileAssociations\\.pdf\\Shell\\OstrelPDFEditor04Split]\n"
    "@=\"\"\n"
    "\"Icon\"=\"%DIR%/OstrelContextMenu,0\"\n"
    "\"MUIVerb\"=\"%SPLIT%\"\n"
    "%MSM%"
    "\n"
    "[HKEY_CURRENT_USER\\%SW%\\Classes\\SystemFileAssociations\\."
    "pdf\\Shell\\OstrelPDFEditor04Split\\Command]\n"
    "@=\"%Q%%DIR%/OstrelContextMenu%Q% -ftype_split \\\"%1\\\"\"\n"
    "\n";

// Keys of other programs: a class of the current user's beside our identifier, one of the machine's, and a
// verb beside ours.
const char ForeignProgramLayout[] =
    "[HKEY_CURRENT_USER\\%SW%\\Classes\\Other Viewer.exe]\n"
    "\n"
    "[HKEY_CURRENT_USER\\%SW%\\Classes\\Other Viewer.exe\\shell]\n"
    "\n"
    "[HKEY_CURRENT_USER\\%SW%\\Classes\\Other Viewer.exe\\shell\\open]\n"
    "\n"
    "[HKEY_CURRENT_USER\\%SW%\\Classes\\Other Viewer.exe\\shell\\open\\command]\n"
    "@=\"/opt/other/viewer \\\"%1\\\"\"\n"
    "\n";
const char ForeignMachineLayout[] = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Classes\\Other Editor.exe]\n"
                                    "@=\"Other Editor Document\"\n"
                                    "\n"
                                    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Classes\\Other Editor.exe\\DefaultIcon]\n"
                                    "@=hex(2):25,00,31,00,00,00\n"
                                    "\n";
const char ForeignVerbLayout[] =
    "[HKEY_CURRENT_USER\\%SW%\\Classes\\SystemFileAssociations\\.pdf\\Shell\\OtherTool]\n"
    "\"MUIVerb\"=\"Open with Other Tool\"\n"
    "\n"
    "[HKEY_CURRENT_USER\\%SW%\\Classes\\SystemFileAssociations\\.pdf\\Shell\\OtherTool\\Command]\n"
    "@=\"/opt/other/tool \\\"%1\\\"\"\n"
    "\n";
// Left under our names by someone else; install and uninstall take them away.
const char StrayLayout[] =
    "[HKEY_CURRENT_USER\\%SW%\\Classes\\Ostrel PDF Editor.exe\\shell\\print\\command]\n"
    "@=\"/opt/stray/print \\\"%1\\\"\"\n"
    "\n"
    "[HKEY_CURRENT_USER\\%SW%\\Classes\\SystemFileAssociations\\.pdf\\Shell\\OstrelPDFEditorEdit]\n"
    "\"MUIVerb\"=\"Old caption\"\n"
    "\n"
    "[HKEY_CURRENT_USER\\%SW%\\Classes\\SystemFileAssociations\\."
    "pdf\\Shell\\OstrelPDFEditorPrint\\Command]\n"
    "@=\"old command\"\n"
    "\n";

// Both commands name their program in quotes. Versions before that left the path bare (%Q% empty), so the
// system's process start could take a prefix of it, up to a space, for the program.
enum class ProgramPath { Quoted, Unquoted };

// How a layout is spelled: the program's own now, or as a version before this one left it.
struct Spelling
{
    QString software = QStringLiteral("Software");
    ProgramPath programPath = ProgramPath::Quoted;
    bool multiSelectModel = true;
    QString identifierParent = QStringLiteral("HKEY_CURRENT_USER\\%SW%\\Classes");
};

// The layout that versions before this one left: the identifier under HKEY_CLASSES_ROOT, the verbs without
// MultiSelectModel, the program paths bare.
const Spelling OlderVersion{QStringLiteral("SOFTWARE"), ProgramPath::Unquoted, false,
                            QStringLiteral("HKEY_CLASSES_ROOT")};

QString filled(const char *layout, const QString &installDir, const QStringList &captions = {},
               const Spelling &spelling = Spelling())
{
    QString text =
        QString::fromUtf8(layout)
            .replace(QLatin1String("%PI%"), spelling.identifierParent)
            .replace(QLatin1String("%SW%"), spelling.software)
            .replace(QLatin1String("%Q%"),
                     spelling.programPath == ProgramPath::Quoted ? QLatin1String("\\\"") : QLatin1String(""))
            .replace(QLatin1String("%MSM%"), spelling.multiSelectModel
                                                 ? QLatin1String("\"MultiSelectModel\"=\"Player\"\n")
                                                 : QLatin1String(""))
            .replace(QLatin1String("%DIR%"), ExportText::escaped(installDir));
    if (captions.size() == 4) {
        text.replace(QLatin1String("%EDIT%"), captions.at(0))
            .replace(QLatin1String("%SPLIT%"), captions.at(1))
            .replace(QLatin1String("%MERGE%"), captions.at(2))
            .replace(QLatin1String("%PRINT%"), captions.at(3));
    }
    return text;
}

QString installLayout(const QString &installDir, const QStringList &captions,
                      const Spelling &spelling = Spelling())
{
    if (spelling.identifierParent.startsWith(QLatin1String("HKEY_CLASSES_ROOT")))
        return QLatin1String(RegistryHeader) + QLatin1String("[HKEY_CLASSES_ROOT]\n\n") +
               filled(ProgramIdentifierLayout, installDir, {}, spelling) +
               filled(UserParentsLayout, installDir, {}, spelling) +
               filled(ShellParentsLayout, installDir, {}, spelling) +
               filled(VerbLayout, installDir, captions, spelling);
    return QLatin1String(RegistryHeader) + filled(UserParentsLayout, installDir, {}, spelling) +
           filled(ProgramIdentifierLayout, installDir, {}, spelling) +
           filled(ShellParentsLayout, installDir, {}, spelling) +
           filled(VerbLayout, installDir, captions, spelling);
}

// What an uninstall leaves of an installation: the keys above ours.
QString uninstalledLayout(const QString &software = QStringLiteral("Software"))
{
    Spelling spelling;
    spelling.software = software;
    return QLatin1String(RegistryHeader) + filled(UserParentsLayout, QString(), {}, spelling) +
           filled(ShellParentsLayout, QString(), {}, spelling);
}

// A value of the sandbox's hive as the program reads it, through the stand-in of this process pointed at
// the sandbox's configuration folder for the time of the read.
QVariant sandboxValue(const Sandbox &sandbox, const QString &keyPath, const QString &name)
{
    const QByteArray own = qgetenv("XDG_CONFIG_HOME");
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(sandbox.configDir()));
    const QVariant value = Platform::openRegistryKey(keyPath)->value(name);
    qputenv("XDG_CONFIG_HOME", own);
    return value;
}

// Where the shell looks for the editor's open command: HKEY_CLASSES_ROOT, which finds the current user's
// classes first, then the machine's.
const QString OpenCommandKey =
    QStringLiteral("HKEY_CLASSES_ROOT\\Ostrel PDF Editor.exe\\shell\\open\\command");

QString openCommand(const QString &installDir)
{
    return QLatin1Char('"') + installDir + QStringLiteral("/Ostrel PDF Editor.exe\" \"%1\"");
}

// Runs with the stand-in's elevation (as an administrator's elevated process) or without it.
class Elevation
{
public:
    explicit Elevation(bool elevated)
    {
        if (elevated)
            qputenv("OSTREL_STANDIN_ELEVATED", "1");
        else
            qunsetenv("OSTREL_STANDIN_ELEVATED");
    }
    ~Elevation() { qunsetenv("OSTREL_STANDIN_ELEVATED"); }
};

const char ClearCall[] = ".pdf\t\n";
const char SetCall[] = ".pdf\tOstrel PDF Editor.exe\n";

} // namespace

class ContextMenuTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void installWritesTheLayout_data();
    void installWritesTheLayout();
    void repeatedRunsKeepOneSet();
    void othersKeysSurviveOursGoWhole();
    void olderLayoutsGo_data();
    void olderLayoutsGo();
    void writeVerbKeyWithAnEmptyArgumentWritesNothing_data();
    void writeVerbKeyWithAnEmptyArgumentWritesNothing();
    void writeVerbKeyWritesKeyAndCommand();
    void foreignHiveSurvivesInstallAndUninstall_data();
    void foreignHiveSurvivesInstallAndUninstall();

private:
    void run(const Sandbox &sandbox, const char *command);
};

void ContextMenuTest::run(const Sandbox &sandbox, const char *command)
{
    const Sandbox::Result result = sandbox.run({QLatin1String(command)});
    QVERIFY2(result.finished, command);
    QCOMPARE(result.exitStatus, QProcess::NormalExit);
    QCOMPARE(result.exitCode, 0);
    QCOMPARE(result.standardOutput, QByteArray());
}

void ContextMenuTest::installWritesTheLayout_data()
{
    QTest::addColumn<QString>("language"); // null: no configuration file
    QTest::addColumn<QStringList>("captions");
    QTest::newRow("German") << QStringLiteral("German") << ExpectedCaptions::german();
    QTest::newRow("no configuration") << QString() << ExpectedCaptions::fallback();
}

void ContextMenuTest::installWritesTheLayout()
{
    QFETCH(QString, language);
    QFETCH(QStringList, captions);
    Sandbox sandbox;
    QVERIFY(sandbox.isValid());
    QVERIFY(sandbox.installDir().contains(QLatin1Char(' ')));
    if (!language.isNull())
        sandbox.writeEditorLanguage(language);
    const QString configBefore = readText(sandbox.editorConfigFile());

    run(sandbox, "install");

    // An account without elevation: the identifier is where it may write it, and the view finds it.
    QCOMPARE(sandboxValue(sandbox, OpenCommandKey, QStringLiteral(".")),
             QVariant(openCommand(sandbox.installDir())));
    QCOMPARE(readText(sandbox.registryFile()), installLayout(sandbox.installDir(), captions));
    // Cleared at the end of the removal, then set at the start of the registration.
    QCOMPARE(readText(sandbox.associationLog()), QString::fromLatin1(ClearCall) + QLatin1String(SetCall));
    QCOMPARE(readText(sandbox.editorConfigFile()), configBefore);
    QCOMPARE(QFileInfo::exists(sandbox.editorConfigFile()), !language.isNull());
}

void ContextMenuTest::repeatedRunsKeepOneSet()
{
    Sandbox sandbox;
    QVERIFY(sandbox.isValid());
    sandbox.writeEditorLanguage(QStringLiteral("German"));
    const QString german = installLayout(sandbox.installDir(), ExpectedCaptions::german());

    run(sandbox, "install");
    sandbox.writeEditorLanguage(QStringLiteral("Nowhere"));
    run(sandbox, "install");
    // Overwritten in place with the captions of the language now set.
    QCOMPARE(readText(sandbox.registryFile()),
             installLayout(sandbox.installDir(), ExpectedCaptions::fallback()));

    run(sandbox, "uninstall");
    QCOMPARE(readText(sandbox.registryFile()), uninstalledLayout());
    QCOMPARE(sandboxValue(sandbox, OpenCommandKey, QStringLiteral(".")), QVariant());
    run(sandbox, "uninstall");
    QCOMPARE(readText(sandbox.registryFile()), uninstalledLayout());

    sandbox.writeEditorLanguage(QStringLiteral("German"));
    run(sandbox, "install");
    QCOMPARE(readText(sandbox.registryFile()), german);

    const QString install = QString::fromLatin1(ClearCall) + QLatin1String(SetCall);
    QCOMPARE(readText(sandbox.associationLog()),
             install + install + QLatin1String(ClearCall) + QLatin1String(ClearCall) + install);
}

void ContextMenuTest::othersKeysSurviveOursGoWhole()
{
    Sandbox sandbox;
    QVERIFY(sandbox.isValid());
    const QString dir = sandbox.installDir();
    const QString machine = filled(ForeignMachineLayout, dir);
    QVERIFY(writeText(sandbox.registryFile(), QLatin1String(RegistryHeader) + filled(StrayLayout, dir) +
                                                  filled(ForeignProgramLayout, dir) +
                                                  filled(ForeignVerbLayout, dir) + machine));

    // Other programs' keys in either tree come through byte for byte.
    run(sandbox, "install");
    QCOMPARE(readText(sandbox.registryFile()),
             QLatin1String(RegistryHeader) + filled(UserParentsLayout, dir) +
                 filled(ProgramIdentifierLayout, dir) + filled(ForeignProgramLayout, dir) +
                 filled(ShellParentsLayout, dir) + filled(VerbLayout, dir, ExpectedCaptions::fallback()) +
                 filled(ForeignVerbLayout, dir) + QLatin1String(MachineParentsLayout) + machine);

    // A further verb added under our program identifier goes with it.
    QVERIFY(writeText(sandbox.registryFile(), readText(sandbox.registryFile()) + filled(StrayLayout, dir)));
    run(sandbox, "uninstall");
    QCOMPARE(readText(sandbox.registryFile()),
             QLatin1String(RegistryHeader) + filled(UserParentsLayout, dir) +
                 filled(ForeignProgramLayout, dir) + filled(ShellParentsLayout, dir) +
                 filled(ForeignVerbLayout, dir) + QLatin1String(MachineParentsLayout) + machine);
    QVERIFY(QDir(sandbox.vendorConfigDir())
                .entryList({QStringLiteral("registry.reg.*")}, QDir::Files | QDir::Hidden)
                .isEmpty());
}

void ContextMenuTest::olderLayoutsGo_data()
{
    QTest::addColumn<QString>("older"); // %DIR% for the install folder
    QTest::addColumn<QString>("command");
    QTest::addColumn<bool>("elevated");
    QTest::addColumn<QString>("expected");
    const QString dir = QStringLiteral("%DIR%");
    const QString older = installLayout(dir, ExpectedCaptions::german(), OlderVersion);
    Spelling current;
    current.software = OlderVersion.software; // the key as the older version created it
    Spelling leftover = OlderVersion;
    leftover.identifierParent = QStringLiteral("HKEY_LOCAL_MACHINE\\SOFTWARE\\Classes");
    const QString machine = QLatin1String(MachineParentsLayout);
    const QString machineIdentifier = filled(ProgramIdentifierLayout, dir, {}, leftover);
    const QString installed = installLayout(dir, ExpectedCaptions::german(), current);
    const QString uninstalled = uninstalledLayout(OlderVersion.software);

    // The older identifier is the machine's class: only an elevated run may take it away, and until then
    // the view finds the current user's first.
    QTest::newRow("earlier version: install")
        << older << QStringLiteral("install") << false << installed + machine + machineIdentifier;
    QTest::newRow("earlier version: install, elevated")
        << older << QStringLiteral("install") << true << installed + machine;
    QTest::newRow("earlier version: uninstall")
        << older << QStringLiteral("uninstall") << false << uninstalled + machine + machineIdentifier;
    QTest::newRow("earlier version: uninstall, elevated")
        << older << QStringLiteral("uninstall") << true << uninstalled + machine;
    Spelling withoutModel;
    withoutModel.multiSelectModel = false;
    QTest::newRow("verbs without MultiSelectModel: install")
        << installLayout(dir, ExpectedCaptions::german(), withoutModel) << QStringLiteral("install") << false
        << installLayout(dir, ExpectedCaptions::german());
    // Keys and values in other letter case (a hand-made .reg, a tool that spells names its own way) are the
    // program's own, as on Windows: install replaces them, uninstall takes them.
    QString otherCase = installLayout(dir, ExpectedCaptions::german());
    otherCase.replace(QLatin1String("\\OstrelPDFEditor"), QLatin1String("\\OSTRELPDFEDITOR"))
        .replace(QLatin1String("\\Command]"), QLatin1String("\\command]"))
        .replace(QLatin1String("Classes\\Ostrel PDF Editor.exe"),
                 QLatin1String("Classes\\ostrel pdf editor.exe"))
        .replace(QLatin1String("\"MUIVerb\"="), QLatin1String("\"muiverb\"="))
        .replace(QLatin1String("\"Icon\"="), QLatin1String("\"ICON\"="));
    QTest::newRow("names in other letter case: install")
        << otherCase << QStringLiteral("install") << false << installLayout(dir, ExpectedCaptions::german());
    QTest::newRow("names in other letter case: uninstall")
        << otherCase << QStringLiteral("uninstall") << false << uninstalledLayout();
}

// An installation by an earlier version: running install again must leave exactly the current layout
// (apart from what the account may not change), and uninstall must take the older layout away as
// completely as the current one.
void ContextMenuTest::olderLayoutsGo()
{
    QFETCH(QString, older);
    QFETCH(QString, command);
    QFETCH(bool, elevated);
    QFETCH(QString, expected);
    Sandbox sandbox;
    QVERIFY(sandbox.isValid());
    const QString dir = ExportText::escaped(sandbox.installDir());
    QVERIFY(dir.contains(QLatin1Char(' ')));
    QVERIFY(older != expected);
    QVERIFY(writeText(sandbox.registryFile(), older.replace(QLatin1String("%DIR%"), dir)));
    sandbox.writeEditorLanguage(QStringLiteral("German"));

    {
        const Elevation elevation(elevated);
        run(sandbox, command.toLatin1().constData());
    }

    QCOMPARE(readText(sandbox.registryFile()), expected.replace(QLatin1String("%DIR%"), dir));
    if (command == QLatin1String("install"))
        QCOMPARE(sandboxValue(sandbox, OpenCommandKey, QStringLiteral(".")),
                 QVariant(openCommand(sandbox.installDir())));
}

void ContextMenuTest::writeVerbKeyWithAnEmptyArgumentWritesNothing_data()
{
    QTest::addColumn<QString>("keyPath");
    QTest::addColumn<QString>("verbFlag");
    QTest::addColumn<QString>("caption");
    const QString key =
        QStringLiteral("HKEY_CURRENT_USER\\SOFTWARE\\Classes\\SystemFileAssociations\\.pdf\\Shell\\X");
    QTest::newRow("key path") << QString() << QStringLiteral("-ftype_edit") << QStringLiteral("Edit");
    QTest::newRow("verb flag") << key << QStringLiteral("") << QStringLiteral("Edit");
    QTest::newRow("caption") << key << QStringLiteral("-ftype_edit") << QString();
}

void ContextMenuTest::writeVerbKeyWithAnEmptyArgumentWritesNothing()
{
    QFETCH(QString, keyPath);
    QFETCH(QString, verbFlag);
    QFETCH(QString, caption);
    const QString hive = privateHiveFile();
    QFile::remove(hive);
    writeVerbKey(keyPath, verbFlag, caption);
    QVERIFY(!QFile::exists(hive));

    const QString existing =
        QLatin1String(RegistryHeader) + QLatin1String("[HKEY_CURRENT_USER\\A]\n@=\"b\"\n\n");
    QVERIFY(writeText(hive, existing));
    writeVerbKey(keyPath, verbFlag, caption);
    QCOMPARE(readText(hive), existing);
}

void ContextMenuTest::writeVerbKeyWritesKeyAndCommand()
{
    const QString hive = privateHiveFile();
    QFile::remove(hive);
    writeVerbKey(QStringLiteral("HKEY_CURRENT_USER\\Shell\\Verb"), QStringLiteral("-ftype_x"),
                 QStringLiteral("Say \"x\""));
    const QString program = ExportText::escaped(QCoreApplication::applicationFilePath());
    QCOMPARE(
        readText(hive),
        QLatin1String(RegistryHeader) +
            QLatin1String(
                "[HKEY_CURRENT_USER]\n\n[HKEY_CURRENT_USER\\Shell]\n\n[HKEY_CURRENT_USER\\Shell\\Verb]\n@="
                "\"\"\n\"Icon\"=\"") +
            program +
            QLatin1String(",0\"\n\"MUIVerb\"=\"Say \\\"x\\\"\"\n\"MultiSelectModel\"=\"Player\"\n\n"
                          "[HKEY_CURRENT_USER\\Shell\\Verb\\Command]\n@=\"") +
            QLatin1String("\\\"") + program + QLatin1String("\\\" -ftype_x \\\"%1\\\"\"\n\n"));
}

namespace {

// The keys install writes (with all beneath them), and the keys above them that it creates and leaves.
const QStringList OurKeys{
    QStringLiteral("HKEY_CURRENT_USER\\SOFTWARE\\Classes\\Ostrel PDF Editor.exe"),
    QStringLiteral(
        "HKEY_CURRENT_USER\\SOFTWARE\\Classes\\SystemFileAssociations\\.pdf\\Shell\\OstrelPDFEditor01Edit"),
    QStringLiteral(
        "HKEY_CURRENT_USER\\SOFTWARE\\Classes\\SystemFileAssociations\\.pdf\\Shell\\OstrelPDFEditor02Print"),
    QStringLiteral(
        "HKEY_CURRENT_USER\\SOFTWARE\\Classes\\SystemFileAssociations\\.pdf\\Shell\\OstrelPDFEditor03Merge"),
    QStringLiteral(
        "HKEY_CURRENT_USER\\SOFTWARE\\Classes\\SystemFileAssociations\\.pdf\\Shell\\OstrelPDFEditor04Split"),
};
const QStringList KeysAboveOurs{
    QStringLiteral("HKEY_CURRENT_USER"),
    QStringLiteral("HKEY_CURRENT_USER\\SOFTWARE"),
    QStringLiteral("HKEY_CURRENT_USER\\SOFTWARE\\Classes"),
    QStringLiteral("HKEY_CURRENT_USER\\SOFTWARE\\Classes\\SystemFileAssociations"),
    QStringLiteral("HKEY_CURRENT_USER\\SOFTWARE\\Classes\\SystemFileAssociations\\.pdf"),
    QStringLiteral("HKEY_CURRENT_USER\\SOFTWARE\\Classes\\SystemFileAssociations\\.pdf\\Shell"),
};

// The sandbox's hive as the registry holds it (registrydump.h), read by the stand-in of this process
// pointed at the sandbox's configuration folder for the time of the read.
QStringList sandboxHive(const Sandbox &sandbox)
{
    const QByteArray own = qgetenv("XDG_CONFIG_HOME");
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(sandbox.configDir()));
    const QStringList lines = RegistryDump::hive();
    qputenv("XDG_CONFIG_HOME", own);
    return lines;
}

bool isOursOrBeneath(const QString &line)
{
    return std::any_of(OurKeys.cbegin(), OurKeys.cend(), [&](const QString &key) {
        return line.startsWith(key) &&
               (line.size() == key.size() || line.at(key.size()) == QLatin1Char('\\') ||
                line.at(key.size()) == QLatin1Char('|'));
    });
}

QStringList withoutOurs(QStringList lines)
{
    lines.erase(std::remove_if(lines.begin(), lines.end(), isOursOrBeneath), lines.end());
    return lines;
}

} // namespace

void ContextMenuTest::foreignHiveSurvivesInstallAndUninstall_data()
{
    QTest::addColumn<QByteArray>("hive");
    QTest::addColumn<QStringList>("foreign");
    const QString everyKind = ForeignHive::everyKindText();
    QTest::newRow("every kind of value, Windows export")
        << ExportText::windowsEncoded(everyKind) << ForeignHive::everyKindDump();
    QTest::newRow("every kind of value, UTF-8") << everyKind.toUtf8() << ForeignHive::everyKindDump();
    const ForeignHive::Generated deep = ForeignHive::deepKey(512);
    QTest::newRow("a key 512 levels deep") << ExportText::windowsEncoded(deep.text) << deep.dump;
    const ForeignHive::Generated many = ForeignHive::manyKeys(5000);
    QTest::newRow("5,000 keys with values") << ExportText::windowsEncoded(many.text) << many.dump;
}

// Other programs' keys and values come through install, a second install and uninstall with the same names,
// types and bytes; only ours come and go.
void ContextMenuTest::foreignHiveSurvivesInstallAndUninstall()
{
    QFETCH(QByteArray, hive);
    QFETCH(QStringList, foreign);
    Sandbox sandbox;
    QVERIFY(sandbox.isValid());
    QVERIFY(QDir().mkpath(QFileInfo(sandbox.registryFile()).path()));
    QFile file(sandbox.registryFile());
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write(hive) == hive.size());
    file.close();
    QStringList expected = foreign + KeysAboveOurs;
    std::sort(expected.begin(), expected.end());
    expected.removeDuplicates();

    for (int round = 1; round <= 2; ++round) {
        run(sandbox, "install");
        const QStringList installed = sandboxHive(sandbox);
        for (const QString &key : OurKeys)
            QVERIFY2(installed.contains(key), qPrintable(QStringLiteral("round %1: %2").arg(round).arg(key)));
        QCOMPARE(withoutOurs(installed), expected);
    }
    run(sandbox, "uninstall");
    QCOMPARE(sandboxHive(sandbox), expected);
    QVERIFY(QDir(sandbox.vendorConfigDir())
                .entryList({QStringLiteral("registry.reg.*")}, QDir::Files | QDir::Hidden)
                .isEmpty());
}

int main(int argc, char **argv)
{
    return execWithPrivateHome<ContextMenuTest>(argc, argv);
}

#include "tst_contextmenu.moc"
