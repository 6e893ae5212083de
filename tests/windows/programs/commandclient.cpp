// Loads the Explorer command module as the surrogate does (LoadLibrary, DllGetClassObject with the
// package's class id) and asks the root command and its sub-commands what Explorer asks while it builds
// its menu, for a selection made of real shell items.
//
//   commandclient <module> [--invoke <title>] [--repeat <n>] (--null | <path>...)
//
// Prints one "name=value" line per answer (UTF-8): root.title, root.icon, root.flags, root.state, then per
// sub-command k (from 1) subk.title, subk.icon, subk.flags, subk.state; "none <hr>" where a method failed.
// --invoke runs the sub-command of that title on the selection (invoke=<hr>); --repeat times the root's
// GetState over n calls (getstate.microseconds=<per call>). Last, whether the module could be unloaded
// while the objects are held and after they are released (unload.held, unload.released: 0 is S_OK).
// --null hands every method a null array. Exit code 0 when the module answered, 1 otherwise, 2 on wrong
// usage.

#include "commandclassid.h"

#include <windows.h>

#include <shlobj.h>
#include <shobjidl.h>

#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

namespace {

void print(const char *name, const std::wstring &value)
{
    const int bytes =
        WideCharToMultiByte(CP_UTF8, 0, value.c_str(), int(value.size()), nullptr, 0, nullptr, nullptr);
    std::string text(size_t(bytes), '\0');
    WideCharToMultiByte(CP_UTF8, 0, value.c_str(), int(value.size()), &text[0], bytes, nullptr, nullptr);
    std::printf("%s=%s\n", name, text.c_str());
}

std::wstring hex(HRESULT result)
{
    wchar_t text[16];
    std::swprintf(text, 16, L"%08lx", static_cast<unsigned long>(result));
    return text;
}

std::wstring failed(HRESULT result)
{
    return L"none " + hex(result);
}

// A string out-parameter as Explorer receives it: freed by the caller.
std::wstring taken(HRESULT result, LPWSTR text)
{
    if (FAILED(result) || !text)
        return failed(result);
    std::wstring copy = text;
    CoTaskMemFree(text);
    return copy;
}

void describe(const std::string &prefix, IExplorerCommand *command, IShellItemArray *items)
{
    LPWSTR text = nullptr;
    HRESULT result = command->GetTitle(items, &text);
    print((prefix + ".title").c_str(), taken(result, text));
    text = nullptr;
    result = command->GetIcon(items, &text);
    print((prefix + ".icon").c_str(), taken(result, text));
    EXPCMDFLAGS flags = 0;
    result = command->GetFlags(&flags);
    print((prefix + ".flags").c_str(), SUCCEEDED(result) ? std::to_wstring(flags) : failed(result));
    EXPCMDSTATE state = 0;
    result = command->GetState(items, TRUE, &state);
    print((prefix + ".state").c_str(), SUCCEEDED(result) ? std::to_wstring(state) : failed(result));
}

// The selection as Explorer hands it over: shell items of the parsed paths, in one array of their ID lists.
IShellItemArray *selectionOf(const std::vector<const wchar_t *> &paths)
{
    std::vector<PIDLIST_ABSOLUTE> lists;
    bool complete = true;
    for (const wchar_t *path : paths) {
        IShellItem *item = nullptr;
        PIDLIST_ABSOLUTE list = nullptr;
        if (SUCCEEDED(SHCreateItemFromParsingName(path, nullptr, IID_PPV_ARGS(&item))) &&
            SUCCEEDED(SHGetIDListFromObject(item, &list)))
            lists.push_back(list);
        else
            complete = false;
        if (item)
            item->Release();
    }
    IShellItemArray *items = nullptr;
    if (complete && !lists.empty())
        SHCreateShellItemArrayFromIDLists(UINT(lists.size()),
                                          const_cast<PCIDLIST_ABSOLUTE_ARRAY>(lists.data()), &items);
    for (PIDLIST_ABSOLUTE list : lists)
        ILFree(list);
    return items;
}

} // namespace

int wmain(int argc, wchar_t **argv)
{
    if (argc < 3) {
        std::fprintf(
            stderr, "usage: commandclient <module> [--invoke <title>] [--repeat <n>] (--null | <path>...)\n");
        return 2;
    }
    const wchar_t *invoke = nullptr;
    long repeat = 0;
    bool null = false;
    std::vector<const wchar_t *> paths;
    for (int i = 2; i < argc; ++i) {
        if (std::wcscmp(argv[i], L"--invoke") == 0 && i + 1 < argc)
            invoke = argv[++i];
        else if (std::wcscmp(argv[i], L"--repeat") == 0 && i + 1 < argc)
            repeat = std::wcstol(argv[++i], nullptr, 10);
        else if (std::wcscmp(argv[i], L"--null") == 0)
            null = true;
        else
            paths.push_back(argv[i]);
    }
    // As in Explorer's threads; the manifest declares the class for a single-threaded apartment.
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);

    HMODULE module = LoadLibraryW(argv[1]);
    const auto getClassObject =
        module ? reinterpret_cast<HRESULT(WINAPI *)(REFCLSID, REFIID, void **)>(
                     reinterpret_cast<void *>(GetProcAddress(module, "DllGetClassObject")))
               : nullptr;
    const auto canUnloadNow = module ? reinterpret_cast<HRESULT(WINAPI *)()>(reinterpret_cast<void *>(
                                           GetProcAddress(module, "DllCanUnloadNow")))
                                     : nullptr;
    IClassFactory *factory = nullptr;
    IExplorerCommand *root = nullptr;
    if (!getClassObject || !canUnloadNow || FAILED(getClassObject(CommandClassId, IID_PPV_ARGS(&factory))) ||
        FAILED(factory->CreateInstance(nullptr, IID_PPV_ARGS(&root)))) {
        std::fprintf(stderr, "commandclient: no root command from the module (error %lu)\n", GetLastError());
        return 1;
    }

    IShellItemArray *items = null ? nullptr : selectionOf(paths);
    if (!null && !items)
        std::printf("selection=none\n");
    describe("root", root, items);
    std::vector<IExplorerCommand *> verbs;
    IEnumExplorerCommand *enumerator = nullptr;
    if (SUCCEEDED(root->EnumSubCommands(&enumerator)) && enumerator) {
        IExplorerCommand *verb = nullptr;
        ULONG fetched = 0;
        while (enumerator->Next(1, &verb, &fetched) == S_OK && fetched == 1) {
            verbs.push_back(verb);
            describe("sub" + std::to_string(verbs.size()), verb, items);
        }
    }

    if (invoke) {
        for (IExplorerCommand *verb : verbs) {
            LPWSTR title = nullptr;
            const HRESULT titled = verb->GetTitle(items, &title);
            if (taken(titled, title) == invoke)
                print("invoke", hex(verb->Invoke(items, nullptr)));
        }
    }
    if (repeat > 0) {
        LARGE_INTEGER frequency, begin, end;
        QueryPerformanceFrequency(&frequency);
        QueryPerformanceCounter(&begin);
        EXPCMDSTATE state = 0;
        for (long i = 0; i < repeat; ++i)
            root->GetState(items, FALSE, &state);
        QueryPerformanceCounter(&end);
        std::printf("getstate.microseconds=%.1f\n", double(end.QuadPart - begin.QuadPart) * 1e6 /
                                                        double(frequency.QuadPart) / double(repeat));
    }

    std::printf("unload.held=%ld\n", static_cast<long>(canUnloadNow()));
    for (IExplorerCommand *verb : verbs)
        verb->Release();
    if (enumerator)
        enumerator->Release();
    root->Release();
    factory->Release();
    if (items)
        items->Release();
    std::printf("unload.released=%ld\n", static_cast<long>(canUnloadNow()));
    std::fflush(stdout);
    CoUninitialize();
    return 0;
}
