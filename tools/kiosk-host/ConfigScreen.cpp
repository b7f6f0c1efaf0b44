#include "ConfigScreen.h"
#include <commctrl.h>
#include <prsht.h>
#include "AppMessages.h"
#include "CoString.h"
#include "qlframe.h"

namespace {

const wchar_t kPageError[] = L"Ошибка страницы настройки";  // caption of the host's error boxes

VARIANT Long(LONG value) {
    VARIANT v;
    VariantInit(&v);
    V_VT(&v) = VT_I4;
    V_I4(&v) = value;
    return v;
}

VARIANT LongPointer(LONG* value) {
    VARIANT v;
    VariantInit(&v);
    V_VT(&v) = VT_BYREF | VT_I4;
    V_I4REF(&v) = value;
    return v;
}

VARIANT UnsignedShort(unsigned short value) {
    VARIANT v;
    VariantInit(&v);
    V_VT(&v) = VT_UI2;
    V_UI2(&v) = value;
    return v;
}

LONG WindowNumber(HWND window) { return static_cast<LONG>(reinterpret_cast<LONG_PTR>(window)); }

}  // namespace

ConfigScreen::ConfigScreen() : sheet_(nullptr) {
    INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_WIN95_CLASSES | ICC_TAB_CLASSES};
    InitCommonControlsEx(&controls);
}

ConfigScreen::~ConfigScreen() {
    Close();
    for (PageEntry* entry : pages_) {
        entry->page->Release();
        if (entry->module) FreeLibrary(entry->module);
        delete entry;
    }
}

HRESULT ConfigScreen::AddPage(IPennarkControlPage* page, BSTR modulePath, BSTR name) {
    if (!page) return E_POINTER;
    PageEntry* entry = new PageEntry{this, page, modulePath ? modulePath : L"", name ? name : L"", nullptr, nullptr,
                                     false};
    page->AddRef();
    entry->module = LoadLibraryW(entry->modulePath.c_str());
    pages_.push_back(entry);
    if (sheet_) {
        HPROPSHEETPAGE created = CreatePage(entry);
        if (created) PropSheet_AddPage(sheet_, created);
    }
    return entry->module ? S_OK : HRESULT_FROM_WIN32(GetLastError());
}

HRESULT ConfigScreen::SetModified(LONG window, LONG modified) {
    HWND page = reinterpret_cast<HWND>(static_cast<LONG_PTR>(window));
    if (!sheet_) return S_FALSE;
    if (modified) PropSheet_Changed(sheet_, page);
    else PropSheet_UnChanged(sheet_, page);
    return S_OK;
}

bool ConfigScreen::AddPlugin(IDispatch* plugin) {
    DISPID id = 0;
    LPOLESTR names[] = {const_cast<LPOLESTR>(L"Initialize")};
    HRESULT result = plugin->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id);
    EXCEPINFO excep = {};
    if (SUCCEEDED(result)) {
        VARIANT host;
        VariantInit(&host);
        V_VT(&host) = VT_UNKNOWN;
        V_UNKNOWN(&host) = static_cast<IPennarkControlHost*>(this);
        DISPPARAMS params = {&host, nullptr, 1, 0};
        result = plugin->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, nullptr, &excep, nullptr);
    }
    if (SUCCEEDED(result)) return true;
    Failed(excep.bstrDescription ? CoString::Narrow(excep.bstrDescription).str()
                                 : FormatBuffer(256, "Initialize: 0x%08lX", static_cast<unsigned long>(result)).str());
    SysFreeString(excep.bstrSource);
    SysFreeString(excep.bstrDescription);
    SysFreeString(excep.bstrHelpFile);
    return false;
}

HPROPSHEETPAGE ConfigScreen::CreatePage(PageEntry* entry) {
    PROPSHEETPAGEW page = {};
    page.dwSize = sizeof page;
    page.dwFlags = PSP_DEFAULT;
    page.hInstance = entry->module;
    page.pszTemplate = entry->name.c_str();  // resource names ignore case
    page.pfnDlgProc = PageProcedure;
    page.lParam = reinterpret_cast<LPARAM>(entry);
    return CreatePropertySheetPageW(&page);
}

HWND ConfigScreen::Open(HWND owner, const wchar_t* caption) {
    if (sheet_) return sheet_;
    std::vector<HPROPSHEETPAGE> pages;
    for (PageEntry* entry : pages_)
        if (HPROPSHEETPAGE page = CreatePage(entry)) pages.push_back(page);
    PROPSHEETHEADERW header = {};
    header.dwSize = sizeof header;
    header.dwFlags = PSH_MODELESS | PSH_NOCONTEXTHELP;
    header.hwndParent = owner;
    header.pszCaption = caption;
    header.nPages = UINT(pages.size());
    header.phpage = pages.data();
    INT_PTR sheet = PropertySheetW(&header);
    sheet_ = sheet > 0 ? reinterpret_cast<HWND>(sheet) : nullptr;
    return sheet_;
}

void ConfigScreen::Close() {
    if (!sheet_) return;
    DestroyWindow(sheet_);
    sheet_ = nullptr;
    for (PageEntry* entry : pages_) entry->window = nullptr;
}

bool ConfigScreen::IsOpen() {
    // A modeless sheet that the operator ended has no current page any more.
    if (sheet_ && !PropSheet_GetCurrentPageHwnd(sheet_)) Close();
    return sheet_ != nullptr;
}

HWND ConfigScreen::PageWindow(size_t index) const { return index < pages_.size() ? pages_[index]->window : nullptr; }

void ConfigScreen::Select(size_t index) {
    if (sheet_) PropSheet_SetCurSel(sheet_, nullptr, int(index));
    Pump();
}

bool ConfigScreen::Apply() {
    if (!sheet_) return false;
    BOOL saved = PropSheet_Apply(sheet_);
    Pump();
    return saved != FALSE;
}

bool ConfigScreen::ApplyEnabled() {
    HWND button = sheet_ ? GetDlgItem(sheet_, 0x3021) : nullptr;  // the sheet's Apply button
    return button && IsWindowEnabled(button);
}

void ConfigScreen::Pump() {
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        if (sheet_ && PropSheet_IsDialogMessage(sheet_, &message)) continue;
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
}

void ConfigScreen::Run() {
    MSG message;
    while (IsOpen() && GetMessageW(&message, nullptr, 0, 0) > 0) {
        if (PropSheet_IsDialogMessage(sheet_, &message)) continue;
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
}

bool ConfigScreen::CallPage(PageEntry* entry, const wchar_t* method, std::vector<VARIANT> arguments, LONG* answer) {
    DISPID id = 0;
    LPOLESTR names[] = {const_cast<LPOLESTR>(method)};
    HRESULT result = entry->page->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id);
    EXCEPINFO excep = {};
    VARIANT value;
    VariantInit(&value);
    if (SUCCEEDED(result)) {
        std::vector<VARIANT> reversed(arguments.rbegin(), arguments.rend());  // the dispatcher's order
        DISPPARAMS params = {reversed.empty() ? nullptr : reversed.data(), nullptr, UINT(reversed.size()), 0};
        result = entry->page->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, &value, &excep,
                                     nullptr);
    }
    if (SUCCEEDED(result)) {
        if (answer) *answer = V_VT(&value) == VT_I4 ? V_I4(&value) : 0;
        VariantClear(&value);
        return true;
    }
    std::string text = CoString::Narrow(method).str() + ": ";
    text += excep.bstrDescription ? CoString::Narrow(excep.bstrDescription).str()
                                  : FormatBuffer(256, "0x%08lX", static_cast<unsigned long>(result)).str();
    SysFreeString(excep.bstrSource);
    SysFreeString(excep.bstrDescription);
    SysFreeString(excep.bstrHelpFile);
    if (answer) *answer = 0;
    Failed(text);
    return false;
}

void ConfigScreen::Failed(const std::string& text) {
    errors_.push_back(text);
    ErrorMessage(string(text), sheet_, CoString::Narrow(kPageError).c_str(), 0);
}

ConfigScreen::PageEntry* ConfigScreen::EntryOf(HWND window) {
    return reinterpret_cast<PageEntry*>(GetWindowLongPtrW(window, DWLP_USER));
}

INT_PTR CALLBACK ConfigScreen::PageProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_INITDIALOG) {
        PageEntry* entry = reinterpret_cast<PageEntry*>(reinterpret_cast<PROPSHEETPAGEW*>(lParam)->lParam);
        SetWindowLongPtrW(window, DWLP_USER, reinterpret_cast<LONG_PTR>(entry));
        entry->window = window;
        entry->attaching = true;
        entry->screen->CallPage(entry, L"AttachWindow", {Long(WindowNumber(window))}, nullptr);
        entry->attaching = false;
        return TRUE;
    }
    PageEntry* entry = EntryOf(window);
    if (!entry) return FALSE;
    ConfigScreen* screen = entry->screen;
    LONG answer = 0;
    switch (message) {
    case WM_COMMAND:
        if (entry->attaching) return FALSE;
        screen->CallPage(entry, L"OnCommand",
                         {UnsignedShort(HIWORD(wParam)), UnsignedShort(LOWORD(wParam)),
                          Long(WindowNumber(reinterpret_cast<HWND>(lParam)))},
                         &answer);
        return answer ? TRUE : FALSE;
    case WM_HELP: {
        const HELPINFO* help = reinterpret_cast<const HELPINFO*>(lParam);
        if (help->iContextType != HELPINFO_WINDOW) return FALSE;
        screen->CallPage(entry, L"OnHelp", {Long(WindowNumber(static_cast<HWND>(help->hItemHandle)))}, &answer);
        return TRUE;
    }
    case WM_NOTIFY: {
        const NMHDR* header = reinterpret_cast<const NMHDR*>(lParam);
        if (header->code != UINT(PSN_APPLY)) return FALSE;
        // The page's two values: the sheet's window and whether OK (not Apply) was pressed.
        LONG saved = 0;
        bool called = screen->CallPage(entry, L"Apply",
                                       {Long(WindowNumber(header->hwndFrom)),
                                        Long(LONG(reinterpret_cast<const PSHNOTIFY*>(lParam)->lParam)),
                                        LongPointer(&saved)},
                                       &answer);
        SetWindowLongPtrW(window, DWLP_MSGRESULT, called && answer ? PSNRET_NOERROR : PSNRET_INVALID_NOCHANGEPAGE);
        return TRUE;
    }
    default:
        return FALSE;
    }
}
