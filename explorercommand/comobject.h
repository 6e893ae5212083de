#ifndef OSTREL_EXPLORERCOMMAND_COMOBJECT_H
#define OSTREL_EXPLORERCOMMAND_COMOBJECT_H

#include "modulestate.h"

#include <objbase.h>

#include <atomic>
#include <cstring>
#include <new>
#include <string>

// The IUnknown part of every object of the module, for its one interface. An object starts with one
// reference, its creator's; it counts among the module's live objects until the last Release.
template<class Interface>
class ComObject : public Interface
{
public:
    ComObject() noexcept { ModuleState::objectCreated(); }
    ComObject(const ComObject &) = delete;
    ComObject &operator=(const ComObject &) = delete;
    virtual ~ComObject() { ModuleState::objectDestroyed(); }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void **object) override
    {
        if (!object)
            return E_POINTER;
        if (IsEqualIID(iid, __uuidof(IUnknown)) || IsEqualIID(iid, __uuidof(Interface))) {
            *object = static_cast<Interface *>(this);
            AddRef();
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++m_references; }
    ULONG STDMETHODCALLTYPE Release() override
    {
        const ULONG left = --m_references;
        if (left == 0)
            delete this;
        return left;
    }

private:
    std::atomic<ULONG> m_references{1};
};

// One reference to a COM object, given back when the holder goes.
template<class Interface>
class ComReference
{
public:
    // Takes over the reference the caller holds.
    explicit ComReference(Interface *object) noexcept
        : m_object(object)
    {}
    ComReference(const ComReference &other) noexcept
        : m_object(other.m_object)
    {
        if (m_object)
            m_object->AddRef();
    }
    ComReference(ComReference &&other) noexcept
        : m_object(other.m_object)
    {
        other.m_object = nullptr;
    }
    ComReference &operator=(const ComReference &) = delete;
    ~ComReference()
    {
        if (m_object)
            m_object->Release();
    }
    Interface *get() const noexcept { return m_object; }

private:
    Interface *m_object;
};

// Runs the body of a COM method: no C++ exception may reach the caller, which is Explorer's surrogate or
// Explorer itself. Out-pointers are set before, so that they hold something defined on this path too.
template<class Body>
HRESULT guarded(Body body) noexcept
{
    try {
        return body();
    } catch (const std::bad_alloc &) {
        return E_OUTOFMEMORY;
    } catch (...) {
        return E_UNEXPECTED;
    }
}

// A copy of the text in memory the caller frees with CoTaskMemFree, as the shell's string out-parameters
// are.
inline HRESULT copyForCaller(const std::wstring &text, LPWSTR *out) noexcept
{
    const size_t bytes = (text.size() + 1) * sizeof(wchar_t);
    auto *copy = static_cast<LPWSTR>(CoTaskMemAlloc(bytes));
    if (!copy)
        return E_OUTOFMEMORY;
    std::memcpy(copy, text.c_str(), bytes);
    *out = copy;
    return S_OK;
}

#endif
