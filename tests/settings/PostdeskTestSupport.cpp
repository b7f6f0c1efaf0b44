#include "PostdeskTestSupport.h"
#include <gtest/gtest.h>
#include <cstdio>
#include <stdexcept>
#include "TestSupport.h"

namespace postdesk_test {

const PostdeskModule& PostdeskModule::Get() {
    static PostdeskModule postdesk = [] {
        PostdeskModule p{};
        p.path = testing_support::BesideTests("Postdesk.dll");
        p.module = LoadLibraryA(p.path.c_str());
        if (!p.module) throw std::runtime_error("cannot load Postdesk.dll");
        p.getClassObject = reinterpret_cast<host_test::GetClassObjectFunction>(
            reinterpret_cast<void*>(GetProcAddress(p.module, "DllGetClassObject")));
        p.installInit = reinterpret_cast<host_test::InstallInitFunction>(
            reinterpret_cast<void*>(GetProcAddress(p.module, "PennarkPlugin_InstallInit")));
        return p;
    }();
    return postdesk;
}

// ---- Private HKEY_CLASSES_ROOT ---------------------------------------------------------------

PrivateClassesRoot::PrivateClassesRoot() {
    static LONG counter = 0;
    char name[200];
    std::snprintf(name, sizeof name, "%s-classes-%ld", testing_support::RegistryRoot().c_str(),
                  InterlockedIncrement(&counter));
    path_ = name;
    if (RegCreateKeyExA(HKEY_CURRENT_USER, name, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key_, nullptr) !=
        ERROR_SUCCESS) {
        key_ = nullptr;
        return;
    }
    isolated_ = RegOverridePredefKey(HKEY_CLASSES_ROOT, key_) == ERROR_SUCCESS;
}

PrivateClassesRoot::~PrivateClassesRoot() {
    if (isolated_) RegOverridePredefKey(HKEY_CLASSES_ROOT, nullptr);
    if (key_) {
        RegCloseKey(key_);
        RegDeleteTreeA(HKEY_CURRENT_USER, path_.c_str());
    }
}

void PrivateClassesRoot::SetText(const std::string& keyPath, const char* name, const std::string& value) {
    HKEY k = nullptr;
    ASSERT_EQ(ERROR_SUCCESS,
              RegCreateKeyExA(key_, keyPath.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k, nullptr));
    RegSetValueExA(k, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()), DWORD(value.size() + 1));
    RegCloseKey(k);
}

// ---- Recording HTML Help module ---------------------------------------------------------------

namespace {
HMODULE Recorder() {
    static HMODULE module = LoadLibraryA(HelpRecorder::Path().c_str());
    return module;
}
template <class F>
F RecorderFunction(const char* name) {
    return reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(Recorder(), name)));
}
}  // namespace

std::string HelpRecorder::Path() { return testing_support::BesideTests("hhrecorder.dll"); }

std::vector<RecordedHelpCall> HelpRecorder::Calls() {
    RecordedHelpCallsFunction calls = RecorderFunction<RecordedHelpCallsFunction>(MAKEINTRESOURCEA(1));
    if (!calls) throw std::runtime_error("cannot load hhrecorder.dll");
    std::vector<RecordedHelpCall> result(calls(nullptr, 0));
    if (!result.empty()) result.resize(calls(result.data(), result.size()));
    return result;
}

void HelpRecorder::Clear() {
    if (ClearHelpCallsFunction clear = RecorderFunction<ClearHelpCallsFunction>(MAKEINTRESOURCEA(2))) clear();
}

// ---- Stub host ----------------------------------------------------------------------------------

StubControlHost::~StubControlHost() { ReleasePages(); }

void StubControlHost::ReleasePages() {
    for (AddedPage& p : pages)
        if (p.page) p.page->Release();
    pages.clear();
}

HRESULT StubControlHost::QueryInterface(REFIID iid, void** out) {
    if (!out) return E_INVALIDARG;
    if (iid == IID_IUnknown || iid == IID_IDispatch || iid == __uuidof(IPennarkControlHost)) {
        *out = static_cast<IPennarkControlHost*>(this);
        return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
}

HRESULT StubControlHost::GetTypeInfoCount(UINT*) {
    ADD_FAILURE() << "the plugin asked the host for type information";
    return E_NOTIMPL;
}
HRESULT StubControlHost::GetTypeInfo(UINT, LCID, ITypeInfo**) {
    ADD_FAILURE() << "the plugin asked the host for type information";
    return E_NOTIMPL;
}
HRESULT StubControlHost::GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) {
    ADD_FAILURE() << "the plugin called the host late-bound";
    return E_NOTIMPL;
}
HRESULT StubControlHost::Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) {
    ADD_FAILURE() << "the plugin called the host late-bound";
    return E_NOTIMPL;
}

HRESULT StubControlHost::AddPage(IPennarkControlPage* page, BSTR modulePath, BSTR name) {
    if (page) page->AddRef();
    pages.push_back(AddedPage{page, host_test::Narrow(modulePath), host_test::Narrow(name)});
    return S_OK;
}

HRESULT StubControlHost::SetModified(LONG window, LONG modified) {
    this->modified.emplace_back(window, modified);
    return S_OK;
}

// ---- Dialog templates ---------------------------------------------------------------------------

namespace {

class TemplateReader {
public:
    TemplateReader(const BYTE* data, size_t size) : p_(data), end_(data + size) {}
    template <class T>
    T Read() {
        T value{};
        if (p_ + sizeof(T) <= end_) std::memcpy(&value, p_, sizeof(T));
        p_ += sizeof(T);
        return value;
    }
    // A wide text ended by a zero, or 0xFFFF and an ordinal (given back as "#ordinal").
    std::wstring SzOrOrdinal() {
        WORD first = Read<WORD>();
        if (first == 0xFFFF) return L"#" + std::to_wstring(Read<WORD>());
        std::wstring text;
        for (WORD c = first; c != 0 && p_ <= end_; c = Read<WORD>()) text += wchar_t(c);
        return text;
    }
    void AlignDword(const BYTE* base) {
        size_t offset = size_t(p_ - base);
        p_ += (4 - offset % 4) % 4;
    }
    const BYTE* At() const { return p_; }
    void Skip(size_t n) { p_ += n; }

private:
    const BYTE* p_;
    const BYTE* end_;
};

std::wstring ClassName(const std::wstring& name) {
    static const struct {
        const wchar_t* ordinal;
        const wchar_t* name;
    } predefined[] = {{L"#128", L"Button"}, {L"#129", L"Edit"}, {L"#130", L"Static"},
                      {L"#131", L"ListBox"}, {L"#132", L"ScrollBar"}, {L"#133", L"ComboBox"}};
    for (const auto& p : predefined)
        if (name == p.ordinal) return p.name;
    return name;
}

}  // namespace

DialogTemplate ReadDialogTemplate(HMODULE module, const char* name) {
    DialogTemplate t;
    HRSRC resource = FindResourceA(module, name, reinterpret_cast<LPCSTR>(RT_DIALOG));
    if (!resource) return t;
    HGLOBAL loaded = LoadResource(module, resource);
    const BYTE* base = static_cast<const BYTE*>(LockResource(loaded));
    if (!base) return t;
    t.found = true;
    // The resource compiler writes a DIALOG template (not DIALOGEX).
    TemplateReader r(base, SizeofResource(module, resource));
    t.style = r.Read<DWORD>();
    t.exStyle = r.Read<DWORD>();
    WORD count = r.Read<WORD>();
    t.x = r.Read<short>();
    t.y = r.Read<short>();
    t.cx = r.Read<short>();
    t.cy = r.Read<short>();
    t.menu = r.SzOrOrdinal();
    t.windowClass = r.SzOrOrdinal();
    t.caption = r.SzOrOrdinal();
    if (t.style & (DS_SETFONT | DS_SHELLFONT)) {
        t.pointSize = r.Read<WORD>();
        t.face = r.SzOrOrdinal();
    }
    for (WORD i = 0; i < count; ++i) {
        r.AlignDword(base);
        DialogItem item;
        item.style = r.Read<DWORD>();
        item.exStyle = r.Read<DWORD>();
        item.x = r.Read<short>();
        item.y = r.Read<short>();
        item.cx = r.Read<short>();
        item.cy = r.Read<short>();
        item.id = r.Read<WORD>();
        item.className = ClassName(r.SzOrOrdinal());
        item.text = r.SzOrOrdinal();
        WORD extra = r.Read<WORD>();
        r.Skip(extra);
        t.items.push_back(item);
    }
    return t;
}

}  // namespace postdesk_test
