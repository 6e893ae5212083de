#include "installedverbs.h"

#include "verbkeys.h"

#include <windows.h>

#include <algorithm>

namespace {

std::wstring widened(const char *ascii)
{
    std::wstring wide;
    for (; *ascii; ++ascii)
        wide += wchar_t(static_cast<unsigned char>(*ascii));
    return wide;
}

std::wstring verbKeyPath(const std::wstring &keyName, const wchar_t *subkey)
{
    std::wstring path = std::wstring(ShellSubkeyWide) + L'\\' + keyName;
    if (subkey && *subkey)
        path += std::wstring(L"\\") + subkey;
    return path;
}

} // namespace

std::vector<std::wstring> InstalledVerbs::keyNames()
{
    std::vector<std::wstring> names;
    for (const VerbKey &verb : VerbKeys) {
        const std::wstring name = widened(verb.keyName);
        HKEY key = nullptr;
        if (RegOpenKeyExW(HKEY_CURRENT_USER, verbKeyPath(name, nullptr).c_str(), 0, KEY_READ, &key) ==
            ERROR_SUCCESS) {
            RegCloseKey(key);
            names.push_back(name);
        }
    }
    std::sort(names.begin(), names.end(), [](const std::wstring &left, const std::wstring &right) {
        return CompareStringOrdinal(left.c_str(), int(left.size()), right.c_str(), int(right.size()), TRUE) ==
               CSTR_LESS_THAN;
    });
    return names;
}

bool InstalledVerbs::read(const std::wstring &keyName, const wchar_t *subkey, const wchar_t *valueName,
                          std::wstring &value)
{
    const std::wstring path = verbKeyPath(keyName, subkey);
    // The value may change between the two calls; then its size is asked again.
    for (int attempt = 0; attempt < 4; ++attempt) {
        DWORD bytes = 0;
        LSTATUS status =
            RegGetValueW(HKEY_CURRENT_USER, path.c_str(), valueName, RRF_RT_REG_SZ, nullptr, nullptr, &bytes);
        if (status != ERROR_SUCCESS)
            return false;
        std::wstring text(bytes / sizeof(wchar_t) + 1, L'\0');
        bytes = DWORD(text.size() * sizeof(wchar_t));
        status = RegGetValueW(HKEY_CURRENT_USER, path.c_str(), valueName, RRF_RT_REG_SZ, nullptr, &text[0],
                              &bytes);
        if (status == ERROR_MORE_DATA)
            continue;
        if (status != ERROR_SUCCESS)
            return false;
        text.resize(text.find(L'\0'));
        if (text.empty())
            return false;
        value = text;
        return true;
    }
    return false;
}

bool InstalledVerbs::command(const std::wstring &keyName, std::wstring &commandLine)
{
    return read(keyName, L"Command", nullptr, commandLine);
}

bool InstalledVerbs::anyWithCommand()
{
    std::wstring commandLine;
    for (const std::wstring &name : keyNames()) {
        if (command(name, commandLine))
            return true;
    }
    return false;
}
