// The host's commands: session properties, terminal and session events, waiting, closing.
#include <windows.h>
#include <cwchar>
#include "Host.h"
#include "Output.h"
#include "Steps.h"

namespace kiosk {
namespace {

// A number of seconds (fractions allowed); false when the text is not one.
bool Seconds(const std::wstring& text, DWORD* ms) {
    wchar_t* end = nullptr;
    double seconds = std::wcstod(text.c_str(), &end);
    if (text.empty() || *end || seconds < 0 || seconds > 86400) return false;
    *ms = DWORD(seconds * 1000);
    return true;
}

bool BadSeconds(const Step& step) {
    Report(step.where + ": " + Quoted(step.args[0]) + " is not a number of seconds");
    return false;
}

// Files (not directories) in a directory; -1 when it cannot be read.
int CountFiles(const std::wstring& dir) {
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((dir + L"\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return GetLastError() == ERROR_FILE_NOT_FOUND ? 0 : -1;
    int n = 0;
    do {
        if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) ++n;
    } while (FindNextFileW(search, &found));
    FindClose(search);
    return n;
}

Command prop({"prop", 2, "NAME VALUE: sets a property of the session (--prop NAME=VALUE); \\r \\n \\t \\\\ in VALUE",
              [](KioskHost& host, const Step& step) {
                  host.CurrentSession().properties[step.args[0]] = Unescape(step.args[1]);
                  Report("session property " + Quoted(step.args[0]) + " = " + Quoted(step.args[1]));
                  return true;
              }});

Command clear({"clear", 0, ": removes every property of the session", [](KioskHost& host, const Step&) {
                   host.CurrentSession().properties.clear();
                   Report("session properties cleared");
                   return true;
               }});

Command terminal({"terminal", 1, "NAME: raises a terminal event on every terminal extender",
                  [](KioskHost& host, const Step& step) { return host.TerminalEvent(step.args[0]); }});

Command session({"session", 1, "NAME: raises a session event on every session extender",
                 [](KioskHost& host, const Step& step) { return host.SessionEvent(step.args[0]); }});

Command wait({"wait", 1, "SECONDS: runs the window's messages for that long",
              [](KioskHost& host, const Step& step) {
                  DWORD ms = 0;
                  if (!Seconds(step.args[0], &ms)) return BadSeconds(step);
                  host.Pump(ms);
                  return true;
              }});

Command waitEmpty({"wait-empty", 2, "SECONDS DIR: runs until DIR holds no file (at most SECONDS)",
                   [](KioskHost& host, const Step& step) {
                       DWORD ms = 0;
                       if (!Seconds(step.args[0], &ms)) return BadSeconds(step);
                       const std::wstring& dir = step.args[1];
                       DWORD start = GetTickCount();
                       bool empty = host.Pump(ms, [&] { return CountFiles(dir) == 0; });
                       char took[32];
                       std::snprintf(took, sizeof took, "%.1f s", (GetTickCount() - start) / 1000.0);
                       if (empty) Report(Quoted(dir) + " holds no file after " + took);
                       else Report(Quoted(dir) + " still holds " + std::to_string(CountFiles(dir)) + " file(s) after " + took);
                       return empty;
                   }});

Command close({"close", 0, ": closes the main window, as the operator does", [](KioskHost& host, const Step&) {
                   host.RequestClose();
                   host.Pump(5000, [&] { return !host.MainWindowOpen(); });
                   return true;
               }});

}  // namespace
}  // namespace kiosk
