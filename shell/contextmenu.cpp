#include "contextmenu.h"

#include "editorprogram.h"
#include "fileassociation.h"
#include "platform.h"
#include "registrykey.h"
#include "registrylog.h"
#include "shellverbs.h"

#include <QCoreApplication>
#include <QDir>

#include <iterator>

namespace {

// The editor's program identifier is named after its executable.
constexpr const char *ProgramIdentifier = EditorFileName;
const char DocumentExtension[] = ".pdf";
const char QuotedArgument[] = "\"%1\"";
// Where the current user's classes live. HKEY_CLASSES_ROOT is a merged view: a key created through it
// lands under HKEY_LOCAL_MACHINE\Software\Classes, which only an elevated process may change, so a
// program that runs with the caller's rights writes its identifier here, where the view looks first.
const char UserClassesKey[] = "HKEY_CURRENT_USER\\Software\\Classes";
// Explorer offers a verb without this value for selections of up to 15 items; "Player" raises that to
// PlayerSelectionLimit and still starts one copy per item, which is what the hand-off expects.
const char MultiSelectModel[] = "Player";

// Names an earlier version wrote; cleared on every install and uninstall, so that no stale verb survives.
const char *const UnnumberedVerbKeys[] = {
    "OstrelPDFEditorEdit",
    "OstrelPDFEditorSplit",
    "OstrelPDFEditorMerge",
    "OstrelPDFEditorPrint",
};

// The shell hands a command line to the system's process start, which tries each space-separated prefix of
// an unquoted program path in turn ("C:\Program.exe", "C:\Program Files\Ostrel.exe", ...): whoever can put a
// file at one of those places would run in place of the program. The quotes leave it only the full path.
QString quotedPath(const QString &path)
{
    return QLatin1Char('"') + path + QLatin1Char('"');
}

QString nativeProgramPath()
{
    return QDir::toNativeSeparators(QCoreApplication::applicationFilePath());
}

void setDefaultValue(const QString &nativeKeyPath, const QString &value)
{
    // Each settings object is gone (and synced) before the next one opens.
    Platform::openRegistryKey(nativeKeyPath)->setValue(QStringLiteral("."), value);
    qCDebug(lcRegistry, "pid %lld: wrote %s, default value: %s", QCoreApplication::applicationPid(),
            qUtf8Printable(nativeKeyPath), qUtf8Printable(value));
}

} // namespace

void registerContextMenu()
{
    setFileAssociation(QLatin1String(DocumentExtension), QLatin1String(ProgramIdentifier));

    const QString programIdentifierKey =
        QLatin1String(UserClassesKey) + QLatin1Char('\\') + QLatin1String(ProgramIdentifier);
    setDefaultValue(programIdentifierKey + QLatin1String("\\shell\\open\\command"),
                    quotedPath(QDir::toNativeSeparators(editorProgramPath())) + QLatin1Char(' ') +
                        QLatin1String(QuotedArgument));
    setDefaultValue(
        programIdentifierKey + QLatin1String("\\DefaultIcon"),
        QDir::toNativeSeparators(QCoreApplication::applicationDirPath() + QLatin1String("/DocIcons.dll")) +
            QLatin1String(",0"));

    for (const ShellVerb &verb : ShellVerbs)
        writeVerbKey(verb.keyPath(), QLatin1String(verb.flag), verb.caption());
}

void unregisterContextMenu()
{
    {
        const auto shellKey = Platform::openRegistryKey(QLatin1String(ShellKeyPath));
        for (const char *keyName : UnnumberedVerbKeys)
            shellKey->remove(QLatin1String(keyName));
        for (const ShellVerb &verb : ShellVerbs)
            shellKey->remove(QLatin1String(verb.keyName));
    }
    qCDebug(lcRegistry, "pid %lld: removed the %d verb keys and the %d of an earlier version under %s",
            QCoreApplication::applicationPid(), int(ShellVerbs.size()), int(std::size(UnnumberedVerbKeys)),
            ShellKeyPath);
    // The current user's identifier first; then, through the merged view, whatever is left there: an
    // identifier that an older, elevated install wrote under HKEY_LOCAL_MACHINE (refused to an account
    // without the rights, which changes nothing).
    Platform::openRegistryKey(QLatin1String(UserClassesKey))->remove(QLatin1String(ProgramIdentifier));
    Platform::openRegistryKey(QStringLiteral("HKEY_CLASSES_ROOT"))->remove(QLatin1String(ProgramIdentifier));
    qCDebug(lcRegistry, "pid %lld: removed the program identifier %s under %s and through HKEY_CLASSES_ROOT",
            QCoreApplication::applicationPid(), ProgramIdentifier, UserClassesKey);

    // Last, so that during an install the association is cleared before it is set again.
    setFileAssociation(QLatin1String(DocumentExtension), QString());
}

void writeVerbKey(const QString &keyPath, const QString &verbFlag, const QString &caption)
{
    if (keyPath.isEmpty() || verbFlag.isEmpty() || caption.isEmpty()) {
        qCDebug(lcRegistry, "pid %lld: no verb key written: key \"%s\", flag \"%s\", caption \"%s\"",
                QCoreApplication::applicationPid(), qUtf8Printable(keyPath), qUtf8Printable(verbFlag),
                qUtf8Printable(caption));
        return;
    }

    {
        const auto verbKey = Platform::openRegistryKey(keyPath);
        verbKey->setValue(QStringLiteral("."), QStringLiteral(""));
        verbKey->setValue(QStringLiteral("Icon"), nativeProgramPath() + QLatin1String(",0"));
        verbKey->setValue(QStringLiteral("MUIVerb"), caption);
        verbKey->setValue(QStringLiteral("MultiSelectModel"), QLatin1String(MultiSelectModel));
    }
    qCDebug(lcRegistry, "pid %lld: wrote %s: MUIVerb \"%s\", Icon %s,0, MultiSelectModel %s",
            QCoreApplication::applicationPid(), qUtf8Printable(keyPath), qUtf8Printable(caption),
            qUtf8Printable(nativeProgramPath()), MultiSelectModel);

    const QString command = quotedPath(nativeProgramPath()) + QLatin1Char(' ') + verbFlag + QLatin1Char(' ') +
                            QLatin1String(QuotedArgument);
    setDefaultValue(keyPath + QLatin1String("\\Command"), command);
}
