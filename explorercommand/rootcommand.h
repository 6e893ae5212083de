#ifndef OSTREL_EXPLORERCOMMAND_ROOTCOMMAND_H
#define OSTREL_EXPLORERCOMMAND_ROOTCOMMAND_H

#include "comobject.h"

#include <shobjidl.h>

// The entry in Windows 11's first menu: the editor's name and icon, with the installed classic verbs as
// its sub-commands. Shown only where the classic verbs would be.
class RootCommand final : public ComObject<IExplorerCommand>
{
public:
    HRESULT STDMETHODCALLTYPE GetTitle(IShellItemArray *items, LPWSTR *name) override;
    HRESULT STDMETHODCALLTYPE GetIcon(IShellItemArray *items, LPWSTR *icon) override;
    HRESULT STDMETHODCALLTYPE GetToolTip(IShellItemArray *items, LPWSTR *infoTip) override;
    HRESULT STDMETHODCALLTYPE GetCanonicalName(GUID *commandName) override;
    HRESULT STDMETHODCALLTYPE GetState(IShellItemArray *items, WINBOOL okToBeSlow,
                                       EXPCMDSTATE *state) override;
    HRESULT STDMETHODCALLTYPE Invoke(IShellItemArray *items, IBindCtx *bindContext) override;
    HRESULT STDMETHODCALLTYPE GetFlags(EXPCMDFLAGS *flags) override;
    HRESULT STDMETHODCALLTYPE EnumSubCommands(IEnumExplorerCommand **commands) override;
};

#endif
