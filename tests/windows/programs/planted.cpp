// Stands in for a program that someone planted where the system would look for the first word of an
// unquoted command line. It only records that it ran: it appends its command line, as UTF-8 and CR LF, to
// "<its own path>.ran", so that a test can tell which planted copy ran and with what.

#include <windows.h>

#include <string>

int wmain()
{
    std::wstring marker(32768, L'\0');
    const DWORD length = GetModuleFileNameW(nullptr, &marker[0], DWORD(marker.size()));
    if (length == 0 || length >= marker.size())
        return 1;
    marker.resize(length);
    marker += L".ran";

    const wchar_t *commandLine = GetCommandLineW();
    const int size = WideCharToMultiByte(CP_UTF8, 0, commandLine, -1, nullptr, 0, nullptr, nullptr);
    std::string line(size > 0 ? size_t(size) : 1, '\0');
    WideCharToMultiByte(CP_UTF8, 0, commandLine, -1, &line[0], size, nullptr, nullptr);
    line.resize(line.size() - 1); // the terminating NUL
    line += "\r\n";

    // Copies started together append to one file. Each holds it alone while it appends (Wine's appends from
    // several processes at once can lose a line), and waits a little for the others when it is taken.
    HANDLE file = INVALID_HANDLE_VALUE;
    for (int attempt = 0; attempt < 500 && file == INVALID_HANDLE_VALUE; ++attempt) {
        file = CreateFileW(marker.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                           nullptr);
        if (file == INVALID_HANDLE_VALUE) {
            const DWORD error = GetLastError();
            if (error != ERROR_SHARING_VIOLATION && error != ERROR_ACCESS_DENIED)
                return 1;
            Sleep(10);
        }
    }
    if (file == INVALID_HANDLE_VALUE)
        return 1;
    DWORD written = 0;
    const BOOL ok = SetFilePointer(file, 0, nullptr, FILE_END) != INVALID_SET_FILE_POINTER &&
                    WriteFile(file, line.data(), DWORD(line.size()), &written, nullptr);
    CloseHandle(file);
    return ok && written == line.size() ? 0 : 1;
}
