#include "tasklist.h"

#include <cerrno>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <unistd.h>

namespace {

std::string baseName(const std::string &path)
{
    const std::string::size_type slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Plain reads: a process that ends while we read makes the read fail (ESRCH), which the standard streams
// report by throwing from inside their buffer.
bool readWholeFile(const std::string &path, std::string *content)
{
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    content->clear();
    char buffer[4096];
    for (;;) {
        const ssize_t count = read(fd, buffer, sizeof buffer);
        if (count > 0) {
            content->append(buffer, size_t(count));
            continue;
        }
        if (count < 0 && errno == EINTR)
            continue;
        close(fd);
        return count == 0;
    }
}

// The state letter follows the command name in parentheses; the name may itself hold ')' and spaces.
bool isZombie(const std::string &procDir)
{
    std::string stat;
    if (!readWholeFile(procDir + "/stat", &stat))
        return true; // gone already
    const std::string::size_type close = stat.rfind(')');
    return close == std::string::npos || close + 2 >= stat.size() || stat[close + 2] == 'Z' ||
           stat[close + 2] == 'X';
}

std::string imageNameOf(const std::string &procDir)
{
    // The executable's own file name, as the Windows lister shows it. Other accounts' links are
    // unreadable without privileges; their command line is readable by everyone.
    char target[PATH_MAX];
    const ssize_t length = readlink((procDir + "/exe").c_str(), target, sizeof target - 1);
    if (length > 0) {
        std::string path(target, size_t(length));
        static const std::string deleted = " (deleted)"; // the image was replaced while it runs
        if (path.size() > deleted.size() &&
            path.compare(path.size() - deleted.size(), deleted.size(), deleted) == 0)
            path.resize(path.size() - deleted.size());
        return baseName(path);
    }
    std::string commandLine;
    if (readWholeFile(procDir + "/cmdline", &commandLine)) {
        const std::string argv0 = commandLine.substr(0, commandLine.find('\0'));
        if (!argv0.empty())
            return baseName(argv0);
    }
    // Kernel threads have neither; their short name is all there is.
    std::string comm;
    if (readWholeFile(procDir + "/comm", &comm)) {
        while (!comm.empty() && (comm.back() == '\n' || comm.back() == '\0'))
            comm.pop_back();
        return comm;
    }
    return std::string();
}

bool parseProcessId(const char *name, std::int64_t *processId)
{
    if (*name < '1' || *name > '9')
        return false;
    char *end = nullptr;
    errno = 0;
    const long long value = std::strtoll(name, &end, 10);
    if (errno != 0 || *end != '\0')
        return false;
    *processId = value;
    return true;
}

} // namespace

std::vector<ListedProcess> listRunningProcesses()
{
    std::vector<ListedProcess> processes;
    DIR *proc = opendir("/proc");
    if (!proc)
        return processes;
    while (const dirent *entry = readdir(proc)) {
        ListedProcess process;
        if (!parseProcessId(entry->d_name, &process.processId))
            continue;
        const std::string procDir = std::string("/proc/") + entry->d_name;
        // A process that has ended but is not reaped yet no longer runs; Windows does not list it either.
        if (isZombie(procDir))
            continue;
        process.imageName = imageNameOf(procDir);
        if (process.imageName.empty())
            continue; // vanished while we looked
        processes.push_back(std::move(process));
    }
    closedir(proc);
    return processes;
}
