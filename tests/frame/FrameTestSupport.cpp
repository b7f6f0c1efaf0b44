#include "FrameTestSupport.h"
#include <gtest/gtest.h>
#include <stdexcept>
#include "CoString.h"

namespace host_test {

const EmailModule& EmailModule::Get() {
    static EmailModule email = [] {
        EmailModule e{};
        e.path = testing_support::BesideTests("Email.dll");
        e.module = LoadLibraryA(e.path.c_str());
        if (!e.module) throw std::runtime_error("cannot load Email.dll");
        e.getClassObject = reinterpret_cast<GetClassObjectFunction>(
            reinterpret_cast<void*>(GetProcAddress(e.module, "DllGetClassObject")));
        e.installInit = reinterpret_cast<InstallInitFunction>(
            reinterpret_cast<void*>(GetProcAddress(e.module, "PennarkPlugin_InstallInit")));
        return e;
    }();
    return email;
}

std::string Narrow(const wchar_t* text) { return CoString::Narrow(text).str(); }
std::string ExcepInfo::Source() const { return Narrow(bstrSource); }
std::string ExcepInfo::Description() const { return Narrow(bstrDescription); }

namespace {
const IMAGE_DATA_DIRECTORY& Directory(HMODULE module, int index) {
    const BYTE* base = reinterpret_cast<const BYTE*>(module);
    const IMAGE_NT_HEADERS* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(
        base + reinterpret_cast<const IMAGE_DOS_HEADER*>(base)->e_lfanew);
    return nt->OptionalHeader.DataDirectory[index];
}
}  // namespace

std::vector<std::string> ExportedNames(HMODULE module) {
    const BYTE* base = reinterpret_cast<const BYTE*>(module);
    const IMAGE_DATA_DIRECTORY& entry = Directory(module, IMAGE_DIRECTORY_ENTRY_EXPORT);
    std::vector<std::string> names;
    if (!entry.VirtualAddress) return names;
    const IMAGE_EXPORT_DIRECTORY* exports = reinterpret_cast<const IMAGE_EXPORT_DIRECTORY*>(base + entry.VirtualAddress);
    const DWORD* nameOffsets = reinterpret_cast<const DWORD*>(base + exports->AddressOfNames);
    for (DWORD i = 0; i < exports->NumberOfNames; ++i) names.push_back(reinterpret_cast<const char*>(base + nameOffsets[i]));
    EXPECT_EQ(exports->NumberOfNames, exports->NumberOfFunctions) << "no entry without a name";
    return names;
}

std::vector<std::string> ImportedModules(HMODULE module) {
    const BYTE* base = reinterpret_cast<const BYTE*>(module);
    const IMAGE_DATA_DIRECTORY& entry = Directory(module, IMAGE_DIRECTORY_ENTRY_IMPORT);
    std::vector<std::string> names;
    for (const IMAGE_IMPORT_DESCRIPTOR* d = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(base + entry.VirtualAddress);
         entry.VirtualAddress && d->Name; ++d)
        names.push_back(reinterpret_cast<const char*>(base + d->Name));
    return names;
}

std::vector<std::string> ImportedFunctions(HMODULE module, const char* dll) {
    const BYTE* base = reinterpret_cast<const BYTE*>(module);
    const IMAGE_DATA_DIRECTORY& entry = Directory(module, IMAGE_DIRECTORY_ENTRY_IMPORT);
    std::vector<std::string> names;
    for (const IMAGE_IMPORT_DESCRIPTOR* d = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(base + entry.VirtualAddress);
         entry.VirtualAddress && d->Name; ++d) {
        if (lstrcmpiA(reinterpret_cast<const char*>(base + d->Name), dll) != 0) continue;
        // The names table (the address table is bound to the entries by now).
        for (const IMAGE_THUNK_DATA* t = reinterpret_cast<const IMAGE_THUNK_DATA*>(base + d->OriginalFirstThunk);
             t->u1.AddressOfData; ++t) {
            if (IMAGE_SNAP_BY_ORDINAL(t->u1.Ordinal))
                names.push_back("#" + std::to_string(IMAGE_ORDINAL(t->u1.Ordinal)));
            else
                names.push_back(reinterpret_cast<const char*>(
                    reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(base + t->u1.AddressOfData)->Name));
        }
    }
    return names;
}

bool Contains(const std::vector<std::string>& names, const char* name) {
    for (const std::string& n : names)
        if (lstrcmpiA(n.c_str(), name) == 0) return true;
    return false;
}

HostRun RunKioskHost(const std::string& arguments) {
    HostRun run = testing_support::RunBesideTests("kiosk-host.exe", arguments, 120000);
    EXPECT_TRUE(run.ended) << "kiosk-host ended\n" << run.output;
    return run;
}

std::string ClassesText(const char* keyPath, const char* name) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_CLASSES_ROOT, keyPath, 0, KEY_READ, &key) != ERROR_SUCCESS) return "<absent>";
    char buffer[1024];
    DWORD size = sizeof buffer, type = 0;
    LONG r = RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size);
    RegCloseKey(key);
    if (r != ERROR_SUCCESS || type != REG_SZ) return "<absent>";
    return std::string(buffer, size ? size - 1 : 0);
}

}  // namespace host_test
