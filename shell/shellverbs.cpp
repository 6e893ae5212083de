#include "shellverbs.h"

#include "captions.h"

static_assert(VerbKeyCount == 4, "one caption per verb key");
const std::array<ShellVerb, VerbKeyCount> ShellVerbs = {{
    {VerbKeys[0].keyName, VerbKeys[0].flag, editCaption},
    {VerbKeys[1].keyName, VerbKeys[1].flag, splitCaption},
    {VerbKeys[2].keyName, VerbKeys[2].flag, mergeCaption},
    {VerbKeys[3].keyName, VerbKeys[3].flag, printCaption},
}};

QString ShellVerb::keyPath() const
{
    return QLatin1String(ShellKeyPath) + QLatin1Char('\\') + QLatin1String(keyName);
}

const ShellVerb *findShellVerb(const QString &flag)
{
    for (const ShellVerb &verb : ShellVerbs) {
        if (flag == QLatin1String(verb.flag))
            return &verb;
    }
    return nullptr;
}
