#include "selection.h"

#include "verbkeys.h"

namespace {

bool endsWithPdf(const std::wstring &path)
{
    static const wchar_t extension[] = L".pdf";
    const int length = int(sizeof(extension) / sizeof(extension[0]) - 1);
    return path.size() >= size_t(length) && CompareStringOrdinal(path.c_str() + path.size() - length, length,
                                                                 extension, length, TRUE) == CSTR_EQUAL;
}

bool fileSystemPath(IShellItemArray *items, DWORD index, std::wstring &path)
{
    IShellItem *item = nullptr;
    if (FAILED(items->GetItemAt(index, &item)) || !item)
        return false;
    LPWSTR name = nullptr;
    const HRESULT named = item->GetDisplayName(SIGDN_FILESYSPATH, &name);
    item->Release();
    if (FAILED(named) || !name)
        return false;
    // The name is freed on every path, an exception from the copy included.
    struct Freed
    {
        LPWSTR text;
        ~Freed() { CoTaskMemFree(text); }
    } freed{name};
    path = name;
    return !path.empty();
}

} // namespace

bool Selection::fitsClassicVerbs(IShellItemArray *items)
{
    DWORD count = 0;
    if (!items || FAILED(items->GetCount(&count)) || count == 0 || count > PlayerSelectionLimit)
        return false;
    std::wstring path;
    for (DWORD index = 0; index < count; ++index) {
        if (!fileSystemPath(items, index, path) || !endsWithPdf(path))
            return false;
    }
    return true;
}

bool Selection::fileSystemPaths(IShellItemArray *items, std::vector<std::wstring> &paths)
{
    paths.clear();
    DWORD count = 0;
    if (!items || FAILED(items->GetCount(&count)))
        return false;
    std::wstring path;
    for (DWORD index = 0; index < count; ++index) {
        if (!fileSystemPath(items, index, path))
            return false;
        paths.push_back(path);
    }
    return true;
}
