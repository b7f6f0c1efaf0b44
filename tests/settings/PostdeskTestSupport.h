// What the settings plugin's tests share: Postdesk.dll loaded from beside the test program, a
// private HKEY_CLASSES_ROOT, the recording HTML Help module, a stub host and the dialog
// template read back from the module.
#pragma once
#include <windows.h>
#include <ole2.h>
#include <string>
#include <vector>
#include "FrameTestSupport.h"
#include "HelpRecorder.h"
#include "Pennarkix.h"

namespace postdesk_test {

// {7A1C3E52-94B0-4D6F-8E21-5B9D0C4F7A13}
const CLSID kPostdeskClassId = {0x7A1C3E52, 0x94B0, 0x4D6F, {0x8E, 0x21, 0x5B, 0x9D, 0x0C, 0x4F, 0x7A, 0x13}};
const char kPostdeskClassKey[] = "CLSID\\{7A1C3E52-94B0-4D6F-8E21-5B9D0C4F7A13}";
const char kControlPluginKey[] = "Software\\Quillet\\Pennark\\Control Plugins\\Email";
const char kHtmlHelpServer[] = "CLSID\\{ADB880A6-D8FF-11CF-9377-00AA003B7A11}\\InprocServer32";

// Postdesk.dll, loaded once for the test program (never unloaded, as under COM).
struct PostdeskModule {
    static const PostdeskModule& Get();
    HMODULE module;
    std::string path;
    host_test::GetClassObjectFunction getClassObject;
    host_test::InstallInitFunction installInit;
};

// HKEY_CLASSES_ROOT of this process redirected to a fresh key while the object lives.
class PrivateClassesRoot {
public:
    PrivateClassesRoot();
    ~PrivateClassesRoot();
    PrivateClassesRoot(const PrivateClassesRoot&) = delete;
    PrivateClassesRoot& operator=(const PrivateClassesRoot&) = delete;
    bool Isolated() const { return isolated_; }
    // Sets the default value (or name) of a key below the private root.
    void SetText(const std::string& keyPath, const char* name, const std::string& value);
private:
    HKEY key_ = nullptr;
    std::string path_;
    bool isolated_ = false;
};

// The recording HTML Help module beside the test program.
class HelpRecorder {
public:
    static std::string Path();
    static std::vector<RecordedHelpCall> Calls();
    static void Clear();
};

// A stub of the host's configuration screen: records AddPage and SetModified; every other
// method fails the test.
class StubControlHost : public IPennarkControlHost {
public:
    struct AddedPage {
        IPennarkControlPage* page;  // counted while the host holds it
        std::string modulePath;
        std::string name;
    };
    StubControlHost() = default;
    ~StubControlHost();
    void ReleasePages();
    std::vector<AddedPage> pages;
    std::vector<std::pair<LONG, LONG>> modified;  // (window, modified)

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override;
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }   // lives on the test's stack
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT*) override;
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override;
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override;
    HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override;
    HRESULT STDMETHODCALLTYPE AddPage(IPennarkControlPage* page, BSTR modulePath, BSTR name) override;
    HRESULT STDMETHODCALLTYPE SetModified(LONG window, LONG modified) override;
};

// A DIALOG template as stored in a module.
struct DialogItem {
    DWORD style = 0;
    DWORD exStyle = 0;
    short x = 0, y = 0, cx = 0, cy = 0;
    DWORD id = 0;
    std::wstring className;  // predefined classes by their names ("Button", "Edit", "Static")
    std::wstring text;
};
struct DialogTemplate {
    bool found = false;
    DWORD style = 0;
    DWORD exStyle = 0;
    short x = 0, y = 0, cx = 0, cy = 0;
    std::wstring menu, windowClass, caption;
    WORD pointSize = 0;
    std::wstring face;
    std::vector<DialogItem> items;
};
DialogTemplate ReadDialogTemplate(HMODULE module, const char* name);

}  // namespace postdesk_test
