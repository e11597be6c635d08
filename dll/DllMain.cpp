// Entry point of FileFmtMgr.dll. The manager itself is a global of the core, constructed when the
// DLL is loaded; attaching only records the module handle that initialisation requires.
#include "foundation/Module.h"
#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    switch (reason) {
    case DLL_PROCESS_ATTACH:
        DisableThreadLibraryCalls(instance);
        ffm::SetModuleHandle(instance);
        break;
    case DLL_PROCESS_DETACH:
        ffm::SetModuleHandle(nullptr);
        break;
    default:
        break;
    }
    return TRUE;
}
