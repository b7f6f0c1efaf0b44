// The module's entry points: the attach routine, DllGetClassObject and the registration export.
#include "Plugin.h"

// {3F8B6D20-1C47-4E95-A0B3-9E2D71C85F46}
const frame::PluginModule kEmailModule = {
    {0x3F8B6D20, 0x1C47, 0x4E95, {0xA0, 0xB3, 0x9E, 0x2D, 0x71, 0xC8, 0x5F, 0x46}},
    "Quillet Pennark Email Plugin",
    "Software\\Quillet\\Pennark\\Plugins\\Email",
};

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) frame::SetModuleHandle(instance);
    return TRUE;
}

extern "C" HRESULT WINAPI DllGetClassObject(REFCLSID classId, REFIID iid, LPVOID* out) {
    return frame::GetClassObject<Plugin>(kEmailModule, classId, iid, out);
}

// Both arguments are ignored; the result is always 0.
extern "C" int WINAPI PennarkPlugin_InstallInit(void*, void*) { return frame::InstallModule(kEmailModule); }
