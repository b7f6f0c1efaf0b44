// The recording HTML Help module. Only the test program loads it, through the registration
// of the HTML Help control in its private HKEY_CLASSES_ROOT.
#include "HelpRecorder.h"
#include <commctrl.h>
#include <htmlhelp.h>
#include <cstring>
#include <mutex>
#include <vector>

namespace {
std::mutex g_lock;
std::vector<RecordedHelpCall> g_calls;

HWND Record(int ordinal, HWND caller, const char* file, UINT command, DWORD_PTR data) {
    RecordedHelpCall call = {};
    call.ordinal = ordinal;
    call.caller = caller;
    if (file) lstrcpynA(call.file, file, sizeof call.file);
    call.command = command;
    if (command == HH_DISPLAY_TEXT_POPUP && data) {
        const HH_POPUP* popup = reinterpret_cast<const HH_POPUP*>(data);
        call.size = popup->cbStruct;
        call.instance = popup->hinst;
        call.topic = popup->idString;
        call.textNull = popup->pszText == nullptr;
        call.position = popup->pt;
        call.foreground = popup->clrForeground;
        call.background = popup->clrBackground;
        call.margins = popup->rcMargins;
        if (popup->pszFont) lstrcpynA(call.font, popup->pszFont, sizeof call.font);
    }
    std::lock_guard<std::mutex> guard(g_lock);
    g_calls.push_back(call);
    return kRecorderAnswer;
}
}  // namespace

extern "C" HWND WINAPI RecordHtmlHelpA(HWND caller, const char* file, UINT command, DWORD_PTR data) {
    return Record(14, caller, file, command, data);
}

extern "C" HWND WINAPI RecordHtmlHelpW(HWND caller, const wchar_t* file, UINT command, DWORD_PTR data) {
    char utf8[520] = "";
    if (file) WideCharToMultiByte(CP_UTF8, 0, file, -1, utf8, sizeof utf8, nullptr, nullptr);
    return Record(15, caller, utf8, command, data);
}

extern "C" size_t __cdecl RecordedHelpCalls(RecordedHelpCall* out, size_t capacity) {
    std::lock_guard<std::mutex> guard(g_lock);
    size_t n = g_calls.size() < capacity ? g_calls.size() : capacity;
    if (out && n) std::memcpy(out, g_calls.data(), n * sizeof(RecordedHelpCall));
    return g_calls.size();
}

extern "C" void __cdecl ClearHelpCalls() {
    std::lock_guard<std::mutex> guard(g_lock);
    g_calls.clear();
}
