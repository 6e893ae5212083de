#include "verbcommand.h"

#include "installedverbs.h"
#include "selection.h"

#include <vector>

namespace {

// The registered command with every "%1" replaced by the path, as the shell expands a classic verb. The
// command quotes its program and the placeholder itself.
std::wstring expanded(const std::wstring &command, const std::wstring &path)
{
    std::wstring result;
    for (size_t at = 0; at < command.size();) {
        if (command.compare(at, 2, L"%1") == 0) {
            result += path;
            at += 2;
        } else {
            result += command[at++];
        }
    }
    return result;
}

} // namespace

HRESULT VerbCommand::GetTitle(IShellItemArray *, LPWSTR *name)
{
    if (!name)
        return E_POINTER;
    *name = nullptr;
    return guarded([&] {
        // As the classic menu: the caption, else the key's name.
        std::wstring title;
        if (!InstalledVerbs::read(m_keyName, nullptr, L"MUIVerb", title))
            title = m_keyName;
        return copyForCaller(title, name);
    });
}

HRESULT VerbCommand::GetIcon(IShellItemArray *, LPWSTR *icon)
{
    if (!icon)
        return E_POINTER;
    *icon = nullptr;
    return guarded([&] {
        std::wstring location;
        if (!InstalledVerbs::read(m_keyName, nullptr, L"Icon", location))
            return E_NOTIMPL;
        return copyForCaller(location, icon);
    });
}

HRESULT VerbCommand::GetToolTip(IShellItemArray *, LPWSTR *infoTip)
{
    if (!infoTip)
        return E_POINTER;
    *infoTip = nullptr;
    return E_NOTIMPL;
}

HRESULT VerbCommand::GetCanonicalName(GUID *commandName)
{
    if (!commandName)
        return E_POINTER;
    *commandName = GUID_NULL;
    return E_NOTIMPL;
}

HRESULT VerbCommand::GetState(IShellItemArray *, WINBOOL, EXPCMDSTATE *state)
{
    if (!state)
        return E_POINTER;
    *state = ECS_HIDDEN;
    return guarded([&] {
        std::wstring commandLine;
        if (InstalledVerbs::command(m_keyName, commandLine))
            *state = ECS_ENABLED;
        return S_OK;
    });
}

// One start per item, as Explorer runs the classic verb: the copies then elect one of them, which hands
// the whole selection to the editor at once.
HRESULT VerbCommand::Invoke(IShellItemArray *items, IBindCtx *)
{
    return guarded([&] {
        std::wstring command;
        std::vector<std::wstring> paths;
        // Where the menu would not have shown the verb (it was removed meanwhile, or the selection is not
        // one the classic verbs take), nothing happens, and that is no error.
        if (!InstalledVerbs::command(m_keyName, command) || !Selection::fitsClassicVerbs(items) ||
            !Selection::fileSystemPaths(items, paths))
            return S_OK;
        HRESULT result = S_OK;
        for (const std::wstring &path : paths) {
            std::wstring commandLine = expanded(command, path);
            STARTUPINFOW startup = {};
            startup.cb = sizeof(startup);
            PROCESS_INFORMATION process = {};
            if (!CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                                &startup, &process)) {
                if (result == S_OK)
                    result = HRESULT_FROM_WIN32(GetLastError());
                continue;
            }
            // The copy that becomes primary starts the editor, whose window should not open behind
            // Explorer: the right to take the foreground, where this process holds it, goes on to it.
            AllowSetForegroundWindow(process.dwProcessId);
            CloseHandle(process.hThread);
            CloseHandle(process.hProcess);
        }
        return result;
    });
}

HRESULT VerbCommand::GetFlags(EXPCMDFLAGS *flags)
{
    if (!flags)
        return E_POINTER;
    *flags = ECF_DEFAULT;
    return S_OK;
}

HRESULT VerbCommand::EnumSubCommands(IEnumExplorerCommand **commands)
{
    if (!commands)
        return E_POINTER;
    *commands = nullptr;
    return E_NOTIMPL;
}
