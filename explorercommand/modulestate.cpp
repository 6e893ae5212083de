#include "modulestate.h"

#include <atomic>

namespace {

std::atomic<long> liveObjects{0};
std::atomic<long> serverLocks{0};
HMODULE thisModule = nullptr;

} // namespace

void ModuleState::objectCreated() noexcept
{
    ++liveObjects;
}

void ModuleState::objectDestroyed() noexcept
{
    --liveObjects;
}

void ModuleState::lockServer(bool lock) noexcept
{
    if (lock)
        ++serverLocks;
    else
        --serverLocks;
}

bool ModuleState::canUnload() noexcept
{
    return liveObjects == 0 && serverLocks == 0;
}

void ModuleState::setModuleHandle(HMODULE module) noexcept
{
    thisModule = module;
}

std::wstring ModuleState::moduleFolder()
{
    // Long install paths are allowed to exceed MAX_PATH: grow until the name fits.
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = GetModuleFileNameW(thisModule, &path[0], DWORD(path.size()));
        if (length == 0)
            return std::wstring();
        if (length < path.size()) {
            path.resize(length);
            break;
        }
        path.resize(path.size() * 2);
    }
    const size_t slash = path.find_last_of(L'\\');
    return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash);
}
