#ifndef OSTREL_SHELL_SHELLVERBS_H
#define OSTREL_SHELL_SHELLVERBS_H

#include "verbkeys.h"

#include <QString>

#include <array>

// One context-menu verb: its key below ShellKeyPath, the flag its command hands to this program, and the
// function that gives its caption in the interface language.
struct ShellVerb
{
    const char *keyName;
    const char *flag;
    QString (*caption)();

    QString keyPath() const;
};

// The verbs of VerbKeys, in its order, with their captions.
extern const std::array<ShellVerb, VerbKeyCount> ShellVerbs;

// The verb this flag names, compared exactly (letter case included); nullptr for anything else.
const ShellVerb *findShellVerb(const QString &flag);

#endif
