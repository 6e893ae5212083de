#include "contextmenu.h"

#include "captions.h"
#include "fileassociation.h"
#include "platform.h"

#include <QCoreApplication>
#include <QDir>
#include <QSettings>

namespace {

const char programIdentifier[] = "Ostrel PDF Editor.exe";
const char documentExtension[] = ".pdf";
const char shellKeyPath[] = "HKEY_CURRENT_USER\\SOFTWARE\\Classes\\SystemFileAssociations\\.pdf\\Shell";
const char quotedArgument[] = "\"%1\"";

struct ShellVerb
{
    const char *keyPath;
    const char *verbFlag;
    QString (*caption)();
};

// In the order written; the numbers in the key names give Explorer its menu order instead.
const ShellVerb shellVerbs[] = {
    {"HKEY_CURRENT_USER\\SOFTWARE\\Classes\\SystemFileAssociations\\.pdf\\Shell\\OstrelPDFEditor01Edit",
     "-ftype_edit", editCaption},
    {"HKEY_CURRENT_USER\\SOFTWARE\\Classes\\SystemFileAssociations\\.pdf\\Shell\\OstrelPDFEditor04Split",
     "-ftype_split", splitCaption},
    {"HKEY_CURRENT_USER\\SOFTWARE\\Classes\\SystemFileAssociations\\.pdf\\Shell\\OstrelPDFEditor03Merge",
     "-ftype_merge", mergeCaption},
    {"HKEY_CURRENT_USER\\SOFTWARE\\Classes\\SystemFileAssociations\\.pdf\\Shell\\OstrelPDFEditor02Print",
     "-ftype_print", printCaption},
};

// The unnumbered names are no longer written but are cleared all the same, so that no stale verb survives.
const char *const removedVerbKeys[] = {
    "OstrelPDFEditorEdit",   "OstrelPDFEditorSplit",   "OstrelPDFEditorMerge",   "OstrelPDFEditorPrint",
    "OstrelPDFEditor01Edit", "OstrelPDFEditor04Split", "OstrelPDFEditor03Merge", "OstrelPDFEditor02Print",
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

QString nativeApplicationFile(const char *fileName)
{
    return QDir::toNativeSeparators(QCoreApplication::applicationDirPath() + QLatin1Char('/') +
                                    QLatin1String(fileName));
}

void setDefaultValue(const QString &nativeKeyPath, const QString &value)
{
    // Each settings object is gone (and synced) before the next one opens.
    Platform::openRegistryKey(nativeKeyPath)->setValue(QStringLiteral("."), value);
}

} // namespace

void registerContextMenu()
{
    setFileAssociation(QLatin1String(documentExtension), QLatin1String(programIdentifier));

    const QString programIdentifierKey =
        QLatin1String("HKEY_CLASSES_ROOT\\") + QLatin1String(programIdentifier);
    setDefaultValue(programIdentifierKey + QLatin1String("\\shell\\open\\command"),
                    quotedPath(nativeApplicationFile("Ostrel PDF Editor.exe")) + QLatin1Char(' ') +
                        QLatin1String(quotedArgument));
    setDefaultValue(programIdentifierKey + QLatin1String("\\DefaultIcon"),
                    nativeApplicationFile("DocIcons.dll") + QLatin1String(",0"));

    for (const ShellVerb &verb : shellVerbs)
        writeVerbKey(QLatin1String(verb.keyPath), QLatin1String(verb.verbFlag), verb.caption());
}

void unregisterContextMenu()
{
    {
        const auto shellKey = Platform::openRegistryKey(QLatin1String(shellKeyPath));
        for (const char *verbKey : removedVerbKeys)
            shellKey->remove(QLatin1String(verbKey));
    }
    Platform::openRegistryKey(QStringLiteral("HKEY_CLASSES_ROOT"))->remove(QLatin1String(programIdentifier));

    // Last, so that during an install the association is cleared before it is set again.
    setFileAssociation(QLatin1String(documentExtension), QString());
}

void writeVerbKey(const QString &keyPath, const QString &verbFlag, const QString &caption)
{
    if (keyPath.isEmpty() || verbFlag.isEmpty() || caption.isEmpty())
        return;

    {
        const auto verbKey = Platform::openRegistryKey(keyPath);
        verbKey->setValue(QStringLiteral("."), QStringLiteral(""));
        verbKey->setValue(QStringLiteral("Icon"), nativeProgramPath() + QLatin1String(",0"));
        verbKey->setValue(QStringLiteral("MUIVerb"), caption);
    }

    const QString command = quotedPath(nativeProgramPath()) + QLatin1Char(' ') + verbFlag + QLatin1Char(' ') +
                            QLatin1String(quotedArgument);
    setDefaultValue(QDir::toNativeSeparators(keyPath + QLatin1String("/Command")), command);
}
