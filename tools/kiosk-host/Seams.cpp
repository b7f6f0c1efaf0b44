// The host's side of the base library's seams: every module's message boxes and diagnostics
// are reported; with --answer-boxes the boxes are answered with their default button
// instead of being shown.
#include <windows.h>
#include "AppMessages.h"
#include "Output.h"

namespace kiosk {
bool g_answerBoxes = false;

namespace {
// The button a box answers with when the operator presses Enter.
int DefaultButton(UINT type) {
    static const int buttons[][3] = {
        {IDOK, IDOK, IDOK},          {IDOK, IDCANCEL, IDCANCEL},  {IDABORT, IDRETRY, IDIGNORE},
        {IDYES, IDNO, IDCANCEL},     {IDYES, IDNO, IDNO},         {IDRETRY, IDCANCEL, IDCANCEL},
        {IDCANCEL, IDTRYAGAIN, IDCONTINUE},
    };
    UINT kind = type & MB_TYPEMASK;
    UINT index = (type & MB_DEFMASK) >> 8;
    if (kind > 6 || index > 2) return IDOK;
    return buttons[kind][index];
}
}  // namespace
}  // namespace kiosk

extern "C" __declspec(dllexport) int __cdecl QlframeMessageBox(HWND, const char* text, const char* caption, UINT type) {
    kiosk::ReportRaw(std::string("message box \"") + (caption ? caption : "") + "\": " + (text ? text : ""));
    if (!kiosk::g_answerBoxes) return kMessageBoxNotTaken;
    int answer = kiosk::DefaultButton(type);
    kiosk::Report("message box answered with button " + std::to_string(answer));
    return answer;
}

extern "C" __declspec(dllexport) void __cdecl QlframeDebugMessage(const char* text) {
    kiosk::ReportRaw(std::string("debug: ") + (text ? text : ""));
}
