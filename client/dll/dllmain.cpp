// Load and unload notifications of kvtrcifx.dll.
#include "client/region.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    switch (reason) {
    case DLL_PROCESS_ATTACH:
        ::DisableThreadLibraryCalls(instance);
        kv::ProcessAttach(instance);
        break;
    case DLL_PROCESS_DETACH:
        kv::ProcessDetach();
        break;
    default:
        break;
    }
    return TRUE;
}
