#ifndef OSTREL_SHELL_SHELLVERBS_H
#define OSTREL_SHELL_SHELLVERBS_H

#include <QString>

#include <array>

// The key under which Explorer finds the current user's verbs for .pdf files.
constexpr char ShellKeyPath[] = "HKEY_CURRENT_USER\\SOFTWARE\\Classes\\SystemFileAssociations\\.pdf\\Shell";

// One context-menu verb: its key below ShellKeyPath, the flag its command hands to this program, and the
// function that gives its caption in the interface language.
struct ShellVerb
{
    const char *keyName;
    const char *flag;
    QString (*caption)();

    QString keyPath() const;
};

// Edit, Split, Merge, Print: the order in which they are written. The numbers in the key names give
// Explorer its menu order instead.
extern const std::array<ShellVerb, 4> ShellVerbs;

// The verb this flag names, compared exactly (letter case included); nullptr for anything else.
const ShellVerb *findShellVerb(const QString &flag);

#endif
