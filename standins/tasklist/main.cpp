// A process lister for platforms that lack the Windows one. It prints what the peer census reads, in the
// Windows lister's table layout: a blank line, a header, a rule, then one line per process with its image
// name and process id. Every line ends in CR LF, as on Windows; names are UTF-8 and never shortened.

#include "tasklist.h"

#include <cstdio>
#include <string>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif

namespace {

constexpr size_t NameColumnWidth = 25;
constexpr size_t PidColumnWidth = 8;

void appendPadded(std::string *line, const std::string &text, size_t width, bool alignRight)
{
    const size_t fill = text.size() < width ? width - text.size() : 0;
    if (alignRight)
        line->append(fill, ' ');
    line->append(text);
    if (!alignRight)
        line->append(fill, ' ');
}

} // namespace

int main()
{
#ifdef _WIN32
    // CR LF is written explicitly; text mode would turn it into CR CR LF.
    _setmode(_fileno(stdout), _O_BINARY);
#endif
    std::string table = "\r\n";
    appendPadded(&table, "Image Name", NameColumnWidth, false);
    table += ' ';
    appendPadded(&table, "PID", PidColumnWidth, true);
    table += "\r\n";
    table.append(NameColumnWidth, '=');
    table += ' ';
    table.append(PidColumnWidth, '=');
    table += "\r\n";
    for (const ListedProcess &process : listRunningProcesses()) {
        appendPadded(&table, process.imageName, NameColumnWidth, false);
        table += ' ';
        appendPadded(&table, std::to_string(process.processId), PidColumnWidth, true);
        table += "\r\n";
    }
    const bool written = std::fwrite(table.data(), 1, table.size(), stdout) == table.size();
    return written && std::fflush(stdout) == 0 ? 0 : 1;
}
