#ifndef OSTREL_EXPLORERCOMMAND_MODULESTATE_H
#define OSTREL_EXPLORERCOMMAND_MODULESTATE_H

#include <windows.h>

#include <string>

// What the module as a whole keeps: how many of its objects live and how many locks its callers hold (the
// surrogate unloads it only when both are zero), and where it was loaded from.
namespace ModuleState {

void objectCreated() noexcept;
void objectDestroyed() noexcept;
void lockServer(bool lock) noexcept;
bool canUnload() noexcept;

void setModuleHandle(HMODULE module) noexcept;
// The module's folder (the install folder), without a trailing backslash; empty if unknown.
std::wstring moduleFolder();

} // namespace ModuleState

#endif
