// What the frame and plugin tests share: Email.dll loaded from beside the test program,
// COM on the test's thread, the isolated registry paths, texts of EXCEPINFO.
#pragma once
#include <windows.h>
#include <ole2.h>
#include <string>
#include <vector>
#include "Calls.h"
#include "Pennarkix.h"
#include "ProgramSeams.h"
#include "TestSupport.h"

namespace host_test {

// {3F8B6D20-1C47-4E95-A0B3-9E2D71C85F46}
const CLSID kEmailClassId = {0x3F8B6D20, 0x1C47, 0x4E95, {0xA0, 0xB3, 0x9E, 0x2D, 0x71, 0xC8, 0x5F, 0x46}};
const char kEmailClassKey[] = "CLSID\\{3F8B6D20-1C47-4E95-A0B3-9E2D71C85F46}";
const char kEmailPluginKey[] = "Software\\Quillet\\Pennark\\Plugins\\Email";
using testing_support::kMailKey;

typedef HRESULT(WINAPI* GetClassObjectFunction)(REFCLSID, REFIID, void**);
typedef int(WINAPI* InstallInitFunction)(void*, void*);

// Email.dll, loaded once for the test program (it is never unloaded, as under COM).
struct EmailModule {
    static const EmailModule& Get();
    HMODULE module;
    std::string path;
    GetClassObjectFunction getClassObject;
    InstallInitFunction installInit;
};


// COM initialised (apartment-threaded) on the current thread while the object lives.
class ComScope {
public:
    ComScope() { CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED); }
    ~ComScope() { CoUninitialize(); }
};

// The reference count of an object, read without changing it.
inline ULONG RefCount(IUnknown* object) {
    object->AddRef();
    return object->Release();
}

// EXCEPINFO owned by a test: zeroed when built, its strings freed when dropped.
struct ExcepInfo : EXCEPINFO {
    ExcepInfo() : EXCEPINFO() {}
    ~ExcepInfo() {
        SysFreeString(bstrSource);
        SysFreeString(bstrDescription);
        SysFreeString(bstrHelpFile);
    }
    std::string Source() const;       // as windows-1251
    std::string Description() const;
};

// The windows-1251 form of a wide text (UTF-8 sources hold the expected texts).
std::string Narrow(const wchar_t* text);

// Late-bound calls as the test host makes them.
using kiosk::InvokeByName;
using kiosk::Object;
using kiosk::Text;

// What kiosk-host.exe did: its exit code and its report (windows-1251).
using HostRun = testing_support::ProgramRun;
// Runs kiosk-host.exe from beside the test with the arguments on this test's private
// HKEY_LOCAL_MACHINE; a host that does not end within two minutes fails the test.
HostRun RunKioskHost(const std::string& arguments);

// What a loaded module's headers in memory say: the names it exports, the modules it imports
// at load time, and the functions it imports from one of them (by name; "#n" by ordinal).
std::vector<std::string> ExportedNames(HMODULE module);
std::vector<std::string> ImportedModules(HMODULE module);
std::vector<std::string> ImportedFunctions(HMODULE module, const char* dll);
// Whether names holds name, ignoring case.
bool Contains(const std::vector<std::string>& names, const char* name);

// A registry value under HKEY_CLASSES_ROOT, or "<absent>".
std::string ClassesText(const char* keyPath, const char* name);

}  // namespace host_test
