#ifndef OSTREL_SHELL_VERBKEYS_H
#define OSTREL_SHELL_VERBKEYS_H

// The registry names of the context-menu verbs as plain data, without Qt: the program's verb table
// (shellverbs.h) is built on them, and the Explorer command module, which links no Qt, reads the keys that
// install wrote by the same names.

// The editor's name, as menus show it, and its executable beside this program. The executable's file
// name is also the editor's program identifier in the registry.
#define OSTREL_EDITOR_NAME "Ostrel PDF Editor"
constexpr char EditorName[] = OSTREL_EDITOR_NAME;
constexpr wchar_t EditorNameWide[] = L"" OSTREL_EDITOR_NAME;
constexpr char EditorFileName[] = OSTREL_EDITOR_NAME ".exe";
constexpr wchar_t EditorFileNameWide[] = L"" OSTREL_EDITOR_NAME ".exe";

// The key under which Explorer finds the current user's verbs for .pdf files, below HKEY_CURRENT_USER.
#define OSTREL_SHELL_SUBKEY "SOFTWARE\\Classes\\SystemFileAssociations\\.pdf\\Shell"
constexpr char ShellKeyPath[] = "HKEY_CURRENT_USER\\" OSTREL_SHELL_SUBKEY;
constexpr wchar_t ShellSubkeyWide[] = L"" OSTREL_SHELL_SUBKEY;

// Explorer offers a verb registered with MultiSelectModel "Player" for selections of up to this many
// items (and starts one copy per item); beyond it the verb is not shown.
constexpr unsigned PlayerSelectionLimit = 100;

// One verb: its key below the shell key and the flag its command hands to this program.
struct VerbKey
{
    const char *keyName;
    const char *flag;
};

// Edit, Split, Merge, Print: the order in which they are written. The numbers in the key names give
// Explorer its menu order instead.
constexpr VerbKey VerbKeys[] = {
    {"OstrelPDFEditor01Edit", "-ftype_edit"},
    {"OstrelPDFEditor04Split", "-ftype_split"},
    {"OstrelPDFEditor03Merge", "-ftype_merge"},
    {"OstrelPDFEditor02Print", "-ftype_print"},
};
constexpr unsigned VerbKeyCount = sizeof(VerbKeys) / sizeof(VerbKeys[0]);

#endif
