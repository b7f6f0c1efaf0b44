// The library's load notification. Under the loader lock nothing is built, opened or loaded:
// the module handle is kept, and the process-wide objects (the service object, its log, the
// configuration key, the product key) come into being at their first use, once, whatever
// thread asks first.
#include <windows.h>
#include "DialupClient.h"
#include "Globals.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    if (reason == DLL_PROCESS_ATTACH) {
        Postvane::SetModuleHandle(instance);
        DisableThreadLibraryCalls(instance);
    } else if (reason == DLL_PROCESS_DETACH && reserved != nullptr) {
        // The process is ending: the dial-up module is left loaded rather than freed.
        PKXDK::Internet::NoteProcessEnding();
    }
    return TRUE;
}
