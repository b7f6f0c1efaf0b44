// A plugin module's entry points: DllGetClassObject, PennarkPlugin_InstallInit and the
// module handle. Each plugin describes itself once (PluginModule) and its module file
// forwards the two exports here.
#pragma once
#include "ClassFactory.h"
#include "qlframe.h"

namespace frame {

struct PluginModule {
    CLSID classId;            // the one class the module serves
    const char* description;  // default value of the class's key
    const char* pluginKey;    // the host's key for the plugin, under HKEY_LOCAL_MACHINE
};

// Where a failure to fetch type information is reported from.
extern const char kTypeInfoSource[];
const int kTypeInfoLine = 53;

// The module handle, saved when the module is attached to the process.
void SetModuleHandle(HMODULE module);
HMODULE ModuleHandle();

// "Ошибка загрузки модуля "<path>": <reason>" or the unknown-error text, in an error box
// without owner whose caption is the host program's name.
void ShowLoadError(const char* head, const char* unknownHead, const QuilletException* e);
extern const char kLoadErrorHead[];
extern const char kUnknownLoadErrorHead[];

// Registration: the class key with its InProcServer32 (this module, threading model Both),
// the host's plugin key with the class identifier, and the mail configuration's defaults.
// Every failure is shown in an error box; the steps done stay done. Returns 0.
int InstallModule(const PluginModule& module);

// The body of DllGetClassObject for the module's class T.
template <class T>
HRESULT GetClassObject(const PluginModule& module, REFCLSID classId, REFIID iid, void** out) {
    if (classId != module.classId) return E_NOINTERFACE;
    try {
        ClassFactory<T>* factory = new ClassFactory<T>();
        HRESULT result = factory->QueryInterface(iid, out);
        factory->Release();  // a factory the host did not take goes now
        return result;
    } catch (const QuilletException& e) {
        ShowLoadError(kLoadErrorHead, kUnknownLoadErrorHead, &e);
    } catch (...) {
        ShowLoadError(kLoadErrorHead, kUnknownLoadErrorHead, nullptr);
    }
    return E_FAIL;
}

}  // namespace frame
