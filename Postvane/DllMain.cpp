// The library's load notification: the module handle is kept and the process-wide objects
// are built (during the load, as the library's static objects are).
#include <windows.h>
#include "DialupClient.h"
#include "Globals.h"
#include "PKLib.h"

namespace {
struct LoadTimeObjects {
    LoadTimeObjects() {
        Postvane::CreateProcessObjects();
        GetRootPath();  // opens the product key now, as the library's other keys are
    }
} g_loadTimeObjects;
}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    if (reason == DLL_PROCESS_ATTACH) {
        Postvane::SetModuleHandle(instance);
        DisableThreadLibraryCalls(instance);
    } else if (reason == DLL_PROCESS_DETACH && reserved != nullptr) {
        PKXDK::Internet::NoteProcessEnding();
    }
    return TRUE;
}
