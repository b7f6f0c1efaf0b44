// The type library carried as this module's resource, loaded once per process.
#include "Pennarkix.h"

namespace {

HMODULE g_module = nullptr;

struct TypeLibrary {
    ITypeLib* library;
    HRESULT result;
};

BOOL CALLBACK LoadLibraryOnce(PINIT_ONCE, PVOID, PVOID* context) {
    static TypeLibrary loaded = {nullptr, E_UNEXPECTED};
    wchar_t path[MAX_PATH * 2];
    DWORD n = GetModuleFileNameW(g_module, path, MAX_PATH * 2);
    if (n == 0 || n >= MAX_PATH * 2) loaded.result = HRESULT_FROM_WIN32(GetLastError() ? GetLastError() : ERROR_BUFFER_OVERFLOW);
    else loaded.result = LoadTypeLibEx(path, REGKIND_NONE, &loaded.library);
    *context = &loaded;
    return TRUE;
}

// The library stays loaded for the life of the process, as the module does.
const TypeLibrary& Library() {
    static INIT_ONCE once = INIT_ONCE_STATIC_INIT;
    void* context = nullptr;
    InitOnceExecuteOnce(&once, LoadLibraryOnce, nullptr, &context);
    return *static_cast<TypeLibrary*>(context);
}

}  // namespace

HRESULT GetPennarkixTypeInfo(REFIID iid, ITypeInfo** info) {
    if (!info) return E_INVALIDARG;
    *info = nullptr;
    const TypeLibrary& library = Library();
    if (FAILED(library.result)) return library.result;
    return library.library->GetTypeInfoOfGuid(iid, info);
}

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) g_module = instance;
    return TRUE;
}
