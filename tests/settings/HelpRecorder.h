// The recording HTML Help module (hhrecorder.dll), a test-only stand-in for the viewer: its
// entry points at the viewer's ordinals (14 ANSI, 15 wide) record their arguments and answer
// kRecorderAnswer. RecordedHelpCalls copies the records out.
#pragma once
#include <windows.h>

const HWND kRecorderAnswer = reinterpret_cast<HWND>(0x4242);

struct RecordedHelpCall {
    int ordinal;       // 14 or 15
    HWND caller;
    char file[520];    // the ANSI text, or the wide text converted to UTF-8
    UINT command;
    // A copy of the popup record when the command is HH_DISPLAY_TEXT_POPUP.
    int size;
    HINSTANCE instance;
    UINT topic;
    bool textNull;
    POINT position;
    COLORREF foreground;
    COLORREF background;
    RECT margins;
    char font[64];
};

typedef size_t(__cdecl* RecordedHelpCallsFunction)(RecordedHelpCall* out, size_t capacity);
typedef void(__cdecl* ClearHelpCallsFunction)();
