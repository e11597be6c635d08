#pragma once
// The library's module handle, recorded by the DLL entry point (or by a test that links the core
// directly). Its presence is the sign that the library was attached to the process.
#include <windows.h>

namespace ffm {
void SetModuleHandle(HMODULE module) noexcept;
HMODULE ModuleHandle() noexcept;
} // namespace ffm
