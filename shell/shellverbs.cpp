#include "shellverbs.h"

#include "captions.h"

const std::array<ShellVerb, 4> ShellVerbs = {{
    {"OstrelPDFEditor01Edit", "-ftype_edit", editCaption},
    {"OstrelPDFEditor04Split", "-ftype_split", splitCaption},
    {"OstrelPDFEditor03Merge", "-ftype_merge", mergeCaption},
    {"OstrelPDFEditor02Print", "-ftype_print", printCaption},
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
