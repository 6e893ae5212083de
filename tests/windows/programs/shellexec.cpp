// Invokes a verb on documents through the shell, as Explorer does for a selection: one ShellExecuteExW per
// item, with the verb's name and the item's path, so that the shell finds the verb's registered command,
// puts the path in for %1 and starts the result.
//
//   shellexec <verb> <document>...
//
// Every item is handed to the shell before any started process is awaited: Explorer starts the copies of
// a selection side by side, and a hand-off gathers only copies that run at the same time. Prints one line
// per item, then waits (at most two minutes) for every process the shell started. Exit code 0 when the
// shell accepted every item and each started process ended in time, 1 otherwise, 2 on wrong usage.

#include <windows.h>

#include <objbase.h>
#include <shellapi.h>

#include <cstdio>
#include <vector>

int wmain(int argc, wchar_t **argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: shellexec <verb> <document>...\n");
        return 2;
    }
    // As in Explorer's own threads; also what the shell asks of its callers before it is handed a verb.
    const HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);

    const ULONGLONG begin = GetTickCount64();
    bool allAccepted = true;
    std::vector<HANDLE> processes;
    for (int item = 2; item < argc; ++item) {
        SHELLEXECUTEINFOW info = {};
        info.cbSize = sizeof(info);
        // No error dialogs (nobody would close them), a process handle to wait for, and no deferred start
        // that could outlive this call.
        info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_NOASYNC | SEE_MASK_FLAG_NO_UI;
        info.lpVerb = argv[1];
        info.lpFile = argv[item];
        info.nShow = SW_SHOWNORMAL;
        if (!ShellExecuteExW(&info)) {
            std::printf("item %d: refused, error %lu\n", item - 1, GetLastError());
            allAccepted = false;
            continue;
        }
        // How far apart the starts lie shows whether the copies could meet in one hand-off.
        std::printf("item %d: started after %llu ms%s\n", item - 1, GetTickCount64() - begin,
                    info.hProcess ? "" : " (no process handle)");
        if (info.hProcess)
            processes.push_back(info.hProcess);
    }

    const ULONGLONG deadline = begin + 120000;
    bool allEnded = true;
    for (HANDLE process : processes) {
        const ULONGLONG now = GetTickCount64();
        const DWORD wait = WaitForSingleObject(process, now < deadline ? DWORD(deadline - now) : 0);
        DWORD exitCode = STILL_ACTIVE;
        GetExitCodeProcess(process, &exitCode);
        std::printf("process %lu: %s, exit code %lu\n", GetProcessId(process),
                    wait == WAIT_OBJECT_0 ? "ended" : "still running", exitCode);
        allEnded = allEnded && wait == WAIT_OBJECT_0;
        CloseHandle(process);
    }
    std::fflush(stdout);
    if (SUCCEEDED(com))
        CoUninitialize();
    return allAccepted && allEnded ? 0 : 1;
}
