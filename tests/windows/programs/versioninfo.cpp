// Prints a file's version resource as Explorer's Properties > Details reads it, through the version API:
// the fixed part, then each standard string of the language and code page that the resource's first
// translation names. One "name=value" line each, UTF-8.
//
//   versioninfo <file>
//
// Exit code 0 when the file has a version resource with a translation, 1 otherwise, 2 on wrong usage.

#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

void printLine(const wchar_t *name, const std::wstring &value)
{
    const std::wstring line = std::wstring(name) + L"=" + value + L"\n";
    const int size =
        WideCharToMultiByte(CP_UTF8, 0, line.data(), int(line.size()), nullptr, 0, nullptr, nullptr);
    std::string utf8(size_t(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, line.data(), int(line.size()), &utf8[0], size, nullptr, nullptr);
    std::fwrite(utf8.data(), 1, utf8.size(), stdout);
}

std::wstring fourParts(DWORD high, DWORD low)
{
    return std::to_wstring(HIWORD(high)) + L"." + std::to_wstring(LOWORD(high)) + L"." +
           std::to_wstring(HIWORD(low)) + L"." + std::to_wstring(LOWORD(low));
}

} // namespace

int wmain(int argc, wchar_t **argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: versioninfo <file>\n");
        return 2;
    }
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(argv[1], &ignored);
    if (size == 0)
        return 1;
    std::vector<BYTE> data(size);
    if (!GetFileVersionInfoW(argv[1], 0, size, data.data()))
        return 1;

    void *found = nullptr;
    UINT length = 0;
    if (VerQueryValueW(data.data(), L"\\", &found, &length) && length >= sizeof(VS_FIXEDFILEINFO)) {
        const auto *fixed = static_cast<const VS_FIXEDFILEINFO *>(found);
        printLine(L"FixedFileVersion", fourParts(fixed->dwFileVersionMS, fixed->dwFileVersionLS));
        printLine(L"FixedProductVersion", fourParts(fixed->dwProductVersionMS, fixed->dwProductVersionLS));
        printLine(L"FileType", fixed->dwFileType == VFT_APP   ? L"application"
                               : fixed->dwFileType == VFT_DLL ? L"library"
                                                              : std::to_wstring(fixed->dwFileType));
    }

    struct Translation
    {
        WORD language, codePage;
    };
    if (!VerQueryValueW(data.data(), L"\\VarFileInfo\\Translation", &found, &length) ||
        length < sizeof(Translation))
        return 1;
    const auto *translation = static_cast<const Translation *>(found);
    wchar_t block[64];
    swprintf(block, 64, L"\\StringFileInfo\\%04x%04x\\", translation->language, translation->codePage);
    // Every name the version API documents, so that one a file should not carry shows as well.
    for (const wchar_t *name : {L"Comments", L"CompanyName", L"FileDescription", L"FileVersion",
                                L"InternalName", L"LegalCopyright", L"LegalTrademarks", L"OriginalFilename",
                                L"PrivateBuild", L"ProductName", L"ProductVersion", L"SpecialBuild"}) {
        if (VerQueryValueW(data.data(), (std::wstring(block) + name).c_str(), &found, &length) && length > 0)
            printLine(name, std::wstring(static_cast<const wchar_t *>(found)));
    }
    std::fflush(stdout);
    return 0;
}
