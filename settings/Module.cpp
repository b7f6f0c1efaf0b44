// The module's entry points: the attach routine, DllGetClassObject and the registration export.
#include "ControlPlugin.h"

// {7A1C3E52-94B0-4D6F-8E21-5B9D0C4F7A13}
const frame::PluginModule kPostdeskModule = {
    {0x7A1C3E52, 0x94B0, 0x4D6F, {0x8E, 0x21, 0x5B, 0x9D, 0x0C, 0x4F, 0x7A, 0x13}},
    "Quillet Pennark Email Control Plugin",
    "Software\\Quillet\\Pennark\\Control Plugins\\Email",
};

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) frame::SetModuleHandle(instance);
    return TRUE;
}

extern "C" HRESULT WINAPI DllGetClassObject(REFCLSID classId, REFIID iid, LPVOID* out) {
    return frame::GetClassObject<ControlPlugin>(kPostdeskModule, classId, iid, out);
}

// Both arguments are ignored; the result is always 0.
extern "C" int WINAPI PennarkPlugin_InstallInit(void*, void*) { return frame::InstallModule(kPostdeskModule); }
