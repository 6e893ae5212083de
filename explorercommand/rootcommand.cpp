#include "rootcommand.h"

#include "commandclassid.h"
#include "commandenumerator.h"
#include "installedverbs.h"
#include "selection.h"
#include "verbcommand.h"
#include "verbkeys.h"

HRESULT RootCommand::GetTitle(IShellItemArray *, LPWSTR *name)
{
    if (!name)
        return E_POINTER;
    *name = nullptr;
    return guarded([&] { return copyForCaller(EditorNameWide, name); });
}

// The editor's own icon, from its executable in the install folder, which is this module's folder.
HRESULT RootCommand::GetIcon(IShellItemArray *, LPWSTR *icon)
{
    if (!icon)
        return E_POINTER;
    *icon = nullptr;
    return guarded([&] {
        const std::wstring folder = ModuleState::moduleFolder();
        if (folder.empty())
            return E_NOTIMPL;
        return copyForCaller(folder + L'\\' + EditorFileNameWide + L",0", icon);
    });
}

HRESULT RootCommand::GetToolTip(IShellItemArray *, LPWSTR *infoTip)
{
    if (!infoTip)
        return E_POINTER;
    *infoTip = nullptr;
    return E_NOTIMPL;
}

HRESULT RootCommand::GetCanonicalName(GUID *commandName)
{
    if (!commandName)
        return E_POINTER;
    *commandName = CommandClassId;
    return S_OK;
}

HRESULT RootCommand::GetState(IShellItemArray *items, WINBOOL, EXPCMDSTATE *state)
{
    if (!state)
        return E_POINTER;
    *state = ECS_HIDDEN;
    return guarded([&] {
        // The selection first: it needs no registry access, and most menus Explorer opens are not ours.
        if (Selection::fitsClassicVerbs(items) && InstalledVerbs::anyWithCommand())
            *state = ECS_ENABLED;
        return S_OK;
    });
}

// Explorer opens the flyout instead; there is nothing to run.
HRESULT RootCommand::Invoke(IShellItemArray *, IBindCtx *)
{
    return S_OK;
}

HRESULT RootCommand::GetFlags(EXPCMDFLAGS *flags)
{
    if (!flags)
        return E_POINTER;
    *flags = ECF_HASSUBCOMMANDS;
    return S_OK;
}

HRESULT RootCommand::EnumSubCommands(IEnumExplorerCommand **commands)
{
    if (!commands)
        return E_POINTER;
    *commands = nullptr;
    return guarded([&] {
        const std::vector<std::wstring> keyNames = InstalledVerbs::keyNames();
        CommandEnumerator::Commands verbs;
        verbs.reserve(keyNames.size());
        for (const std::wstring &keyName : keyNames) {
            auto *verb = new (std::nothrow) VerbCommand(keyName);
            if (!verb)
                return E_OUTOFMEMORY;
            verbs.emplace_back(verb);
        }
        auto *enumerator = new (std::nothrow) CommandEnumerator(std::move(verbs));
        if (!enumerator)
            return E_OUTOFMEMORY;
        *commands = enumerator;
        return S_OK;
    });
}
