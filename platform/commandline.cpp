#include "commandline.h"

namespace Platform {

int windowsCommandLineLength(const QString &program, const QStringList &arguments)
{
    int length = program.size();
    if (!program.startsWith(QLatin1Char('"')) && !program.endsWith(QLatin1Char('"')) &&
        program.contains(QLatin1Char(' ')))
        length += 2;
    length += 1; // the space after the program
    for (const QString &argument : arguments) {
        length += 1 + argument.size(); // the space before it
        int backslashes = 0;
        for (const QChar c : argument) {
            if (c == QLatin1Char('"'))
                length += backslashes + 1; // each backslash before it doubled, the quote escaped
            backslashes = c == QLatin1Char('\\') ? backslashes + 1 : 0;
        }
        if (argument.isEmpty() || argument.contains(QLatin1Char(' ')) || argument.contains(QLatin1Char('\t')))
            length += 2;
    }
    return length + 1; // the terminating NUL
}

} // namespace Platform
