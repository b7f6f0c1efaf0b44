#include "PluginModule.h"
#include "AppMessages.h"
#include "Postvane.h"

namespace frame {

const char kTypeInfoSource[] = "frame/PennarkObject";
const char kLoadErrorHead[] = "Ошибка загрузки модуля ";
const char kUnknownLoadErrorHead[] = "Неизвестная ошибка загрузки модуля ";

namespace {
const char kInstallErrorHead[] = "Ошибка установки модуля ";
const char kUnknownInstallErrorHead[] = "Неизвестная ошибка установки модуля ";

// Where a refused default configuration is reported from.
const char kDefaultsSource[] = "frame/PluginModule";
const int kDefaultsLine = 82;

HMODULE g_module = nullptr;

// The class identifier in braces, upper-case hexadecimal.
string ClassIdText(const CLSID& classId) {
    wchar_t text[64];
    StringFromGUID2(classId, text, 64);
    return CoString::Narrow(text);
}
}  // namespace

void SetModuleHandle(HMODULE module) { g_module = module; }
HMODULE ModuleHandle() { return g_module; }

void ShowLoadError(const char* head, const char* unknownHead, const QuilletException* e) {
    string path = GetModuleFileNameA(g_module);
    string text = e ? string(head) + "\"" + path + "\": " + e->Reason() : string(unknownHead) + "\"" + path + "\"";
    string caption = GetFileName(GetModuleFileNameA(nullptr));
    ErrorMessage(text, nullptr, caption.c_str(), 0);
}

HRESULT ConstructionFailed() {
    HRESULT result = E_FAIL;
    string reason(kUnknownErrorText);
    try {
        throw;
    } catch (const std::bad_alloc&) {
        result = E_OUTOFMEMORY;
    } catch (const CoError& e) {
        result = e.Code();
        reason = e.Reason();
    } catch (const WindowsError& e) {
        result = HRESULT_FROM_WIN32(DWORD(e.Code()));
        reason = e.Reason();
    } catch (const QuilletException& e) {
        reason = e.Reason();
    } catch (...) {
    }
    // The reason travels as error information, as a host expects from a failed creation.
    ICreateErrorInfo* create = nullptr;
    if (SUCCEEDED(CreateErrorInfo(&create))) {
        create->SetSource(const_cast<LPOLESTR>(kErrorSource));
        create->SetDescription(CoString(reason).get());
        IErrorInfo* info = nullptr;
        if (SUCCEEDED(create->QueryInterface(IID_IErrorInfo, reinterpret_cast<void**>(&info)))) {
            SetErrorInfo(0, info);
            info->Release();
        }
        create->Release();
    }
    return FAILED(result) ? result : E_FAIL;
}

int InstallModule(const PluginModule& module) {
    string path = GetModuleFileNameA(g_module);
    try {
        string classId = ClassIdText(module.classId);
        {
            RegKey classKey(HKEY_CLASSES_ROOT, ("CLSID\\" + classId).c_str(), true, RegKey::AllAccess);
            classKey[""] = module.description;
            RegKey server(classKey, "InProcServer32", true, RegKey::AllAccess);
            server[""] = path;
            server["ThreadingModel"] = "Both";
        }
        {
            RegKey pluginKey(HKEY_LOCAL_MACHINE, module.pluginKey, true, RegKey::AllAccess);
            pluginKey["CLSID"] = classId;
        }
        if (!SmtpCreateDefaultConfig()) ThrowWindowsError(GetLastError(), kDefaultsSource, kDefaultsLine);
    } catch (const QuilletException& e) {
        ShowLoadError(kInstallErrorHead, kUnknownInstallErrorHead, &e);
    } catch (...) {
        ShowLoadError(kInstallErrorHead, kUnknownInstallErrorHead, nullptr);
    }
    return 0;
}

}  // namespace frame
