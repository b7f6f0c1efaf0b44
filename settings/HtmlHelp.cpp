#include "HtmlHelp.h"
#include "qlbase.h"

const char kHtmlHelpServerKey[] = "CLSID\\{ADB880A6-D8FF-11CF-9377-00AA003B7A11}\\InprocServer32";
const char kHtmlHelpModule[] = "hhctrl.ocx";

namespace {
// The registered path is read into a buffer of this size.
const size_t kPathLimit = 260;
}  // namespace

void HtmlHelpEntry::Load() {
    HMODULE module = nullptr;
    string path;
    try {
        RegKey server(HKEY_CLASSES_ROOT, kHtmlHelpServerKey, false, RegKey::ReadAccess);
        path = server[""];
    } catch (const QuilletException&) {
        // An unreadable registration is no registration.
    }
    if (path.HasText() && path.Length() < kPathLimit) module = LoadLibraryA(path.c_str());
    if (!module) module = LoadLibraryA(kHtmlHelpModule);
    if (!module) return;
    // The module stays loaded for the life of the process, also when it lacks the entry.
    entry_ = reinterpret_cast<Function>(
        reinterpret_cast<void*>(GetProcAddress(module, MAKEINTRESOURCEA(ordinal_))));
}

HWND HtmlHelpEntry::Call(HWND caller, const void* file, UINT command, DWORD_PTR data) {
    std::call_once(once_, [this] { Load(); });
    return entry_ ? entry_(caller, file, command, data) : nullptr;
}

HWND CallHtmlHelpA(HWND caller, const char* file, UINT command, DWORD_PTR data) {
    static HtmlHelpEntry entry(HtmlHelpEntry::kAnsiOrdinal);
    return entry.Call(caller, file, command, data);
}

HWND CallHtmlHelpW(HWND caller, const wchar_t* file, UINT command, DWORD_PTR data) {
    static HtmlHelpEntry entry(HtmlHelpEntry::kWideOrdinal);
    return entry.Call(caller, file, command, data);
}
