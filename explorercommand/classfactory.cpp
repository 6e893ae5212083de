#include "classfactory.h"

#include "rootcommand.h"

HRESULT ClassFactory::CreateInstance(IUnknown *outer, REFIID iid, void **object)
{
    if (!object)
        return E_POINTER;
    *object = nullptr;
    if (outer)
        return CLASS_E_NOAGGREGATION;
    auto *root = new (std::nothrow) RootCommand;
    if (!root)
        return E_OUTOFMEMORY;
    // The caller's reference, if it asked for an interface the command has; the creator's goes.
    const HRESULT result = root->QueryInterface(iid, object);
    root->Release();
    return result;
}

HRESULT ClassFactory::LockServer(WINBOOL lock)
{
    ModuleState::lockServer(lock != FALSE);
    return S_OK;
}
