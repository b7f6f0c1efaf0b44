// The HTML Help viewer, loaded at first use: the module registered for the HTML Help control
// (HKEY_CLASSES_ROOT CLSID\{ADB880A6-D8FF-11CF-9377-00AA003B7A11}\InprocServer32), else
// "hhctrl.ocx"; its entry points are taken by ordinal. A viewer that cannot be loaded is
// tried once: every later call answers 0 at once. A loaded viewer stays for the process.
#pragma once
#include <windows.h>
#include <mutex>

class HtmlHelpEntry {
public:
    static const WORD kAnsiOrdinal = 14;  // HtmlHelpA
    static const WORD kWideOrdinal = 15;  // HtmlHelpW

    explicit HtmlHelpEntry(WORD ordinal) : ordinal_(ordinal), entry_(nullptr) {}
    HtmlHelpEntry(const HtmlHelpEntry&) = delete;
    HtmlHelpEntry& operator=(const HtmlHelpEntry&) = delete;

    // The viewer's answer; 0 when it cannot be loaded. file is a narrow or wide text as the
    // entry point expects.
    HWND Call(HWND caller, const void* file, UINT command, DWORD_PTR data);

private:
    typedef HWND(WINAPI* Function)(HWND, const void*, UINT, DWORD_PTR);
    void Load();
    WORD ordinal_;
    std::once_flag once_;
    Function entry_;  // null after a failed load
};

// The process's two entry points, each with its own loading.
HWND CallHtmlHelpA(HWND caller, const char* file, UINT command, DWORD_PTR data);
HWND CallHtmlHelpW(HWND caller, const wchar_t* file, UINT command, DWORD_PTR data);

// Where the HTML Help control is registered.
extern const char kHtmlHelpServerKey[];
extern const char kHtmlHelpModule[];  // "hhctrl.ocx"
