#include "tasklist.h"

#include <windows.h>

#include <tlhelp32.h>

namespace {

std::string toUtf8(const wchar_t *text)
{
    const int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (size <= 1)
        return std::string();
    std::string result(size_t(size - 1), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, &result[0], size, nullptr, nullptr);
    return result;
}

} // namespace

std::vector<ListedProcess> listRunningProcesses()
{
    std::vector<ListedProcess> processes;
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return processes;
    PROCESSENTRY32W entry;
    entry.dwSize = sizeof entry;
    // The snapshot is one consistent picture, so processes that end meanwhile need no special care.
    for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
        ListedProcess process;
        process.imageName = toUtf8(entry.szExeFile);
        process.processId = std::int64_t(entry.th32ProcessID);
        processes.push_back(std::move(process));
    }
    CloseHandle(snapshot);
    return processes;
}
