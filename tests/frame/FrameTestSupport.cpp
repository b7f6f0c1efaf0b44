#include "FrameTestSupport.h"
#include <stdexcept>
#include "CoString.h"

namespace host_test {

std::string ProgramDirectory() {
    char path[MAX_PATH];
    DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
    std::string dir(path, n);
    return dir.substr(0, dir.find_last_of("\\/") + 1);
}

const EmailModule& EmailModule::Get() {
    static EmailModule email = [] {
        EmailModule e{};
        e.path = ProgramDirectory() + "Email.dll";
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
