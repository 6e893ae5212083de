// Stands in for a copy of the program that holds one of its named objects when it dies: it opens the
// object, prints "ready" and sleeps until it is killed.
//
//   lockholder take|open|occupy <name>
//
// take: opens the mutex of that name and holds it; open: opens it and only keeps it open, as a copy
// waiting for it would; occupy: makes an event of that name, so that a mapping of the name cannot be made.

#include <windows.h>

#include <cstdio>
#include <cwchar>

int wmain(int argc, wchar_t **argv)
{
    if (argc != 3)
        return 2;
    const wchar_t *mode = argv[1];
    const wchar_t *name = argv[2];
    HANDLE object = std::wcscmp(mode, L"occupy") == 0 ? CreateEventW(nullptr, TRUE, FALSE, name)
                                                      : CreateMutexW(nullptr, FALSE, name);
    if (!object)
        return 3;
    if (std::wcscmp(mode, L"take") == 0 && WaitForSingleObject(object, 10000) != WAIT_OBJECT_0)
        return 4;
    std::puts("ready");
    std::fflush(stdout);
    Sleep(INFINITE);
    return 0;
}
