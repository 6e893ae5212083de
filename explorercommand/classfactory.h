#ifndef OSTREL_EXPLORERCOMMAND_CLASSFACTORY_H
#define OSTREL_EXPLORERCOMMAND_CLASSFACTORY_H

#include "comobject.h"

#include <unknwn.h>

// Makes root commands for the surrogate, which asks for one each time Explorer builds a menu.
class ClassFactory final : public ComObject<IClassFactory>
{
public:
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown *outer, REFIID iid, void **object) override;
    HRESULT STDMETHODCALLTYPE LockServer(WINBOOL lock) override;
};

#endif
