#ifndef OSTREL_EXPLORERCOMMAND_VERBCOMMAND_H
#define OSTREL_EXPLORERCOMMAND_VERBCOMMAND_H

#include "comobject.h"

#include <shobjidl.h>

#include <string>

// A sub-command: one classic verb that install registered, by its key name. Title, icon and command are
// read from that key each time they are asked for.
class VerbCommand final : public ComObject<IExplorerCommand>
{
public:
    explicit VerbCommand(std::wstring keyName)
        : m_keyName(std::move(keyName))
    {}

    HRESULT STDMETHODCALLTYPE GetTitle(IShellItemArray *items, LPWSTR *name) override;
    HRESULT STDMETHODCALLTYPE GetIcon(IShellItemArray *items, LPWSTR *icon) override;
    HRESULT STDMETHODCALLTYPE GetToolTip(IShellItemArray *items, LPWSTR *infoTip) override;
    HRESULT STDMETHODCALLTYPE GetCanonicalName(GUID *commandName) override;
    HRESULT STDMETHODCALLTYPE GetState(IShellItemArray *items, WINBOOL okToBeSlow,
                                       EXPCMDSTATE *state) override;
    HRESULT STDMETHODCALLTYPE Invoke(IShellItemArray *items, IBindCtx *bindContext) override;
    HRESULT STDMETHODCALLTYPE GetFlags(EXPCMDFLAGS *flags) override;
    HRESULT STDMETHODCALLTYPE EnumSubCommands(IEnumExplorerCommand **commands) override;

private:
    const std::wstring m_keyName;
};

#endif
