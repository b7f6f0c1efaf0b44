// The host's configuration screen from the command line: opening it with the control plugin,
// and what an operator does on its current page (typing into a field, clicking, Apply,
// reading a field), or handing it to the operator until it is closed.
#include <windows.h>
#include <prsht.h>
#include <cwchar>
#include "ConfigScreen.h"
#include "CoString.h"
#include "Host.h"
#include "Output.h"
#include "Steps.h"

namespace kiosk {
namespace {

const char kControlPluginKey[] = "Control Plugins\\Email";
const wchar_t kCaption[] = L"Настройка киоска";

// The one configuration screen of the process, kept by the host until it shuts down.
ConfigScreen* g_screen = nullptr;

std::string BesideProgram(const char* name) {
    char path[MAX_PATH];
    DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
    std::string dir(path, n);
    return dir.substr(0, dir.find_last_of("\\/") + 1) + name;
}

bool NotOpen(const Step& step) {
    Report(step.where + ": the configuration screen is not open (the config command opens it)");
    return false;
}

// A control of the current page by its id; null (reported) when there is none.
HWND Control(const Step& step) {
    if (!g_screen || !g_screen->IsOpen()) {
        NotOpen(step);
        return nullptr;
    }
    wchar_t* end = nullptr;
    long id = std::wcstol(step.args[0].c_str(), &end, 10);
    HWND page = PropSheet_GetCurrentPageHwnd(g_screen->Sheet());
    HWND control = (*end || step.args[0].empty()) ? nullptr : GetDlgItem(page, int(id));
    if (!control) Report(step.where + ": the page has no control " + Quoted(step.args[0]));
    return control;
}

std::string Place(HWND window) {
    RECT r = {};
    GetWindowRect(window, &r);
    return std::to_string(r.left) + "," + std::to_string(r.top) + " " + std::to_string(r.right - r.left) + "x" +
           std::to_string(r.bottom - r.top);
}

Command config({"config", 0, ": opens the configuration screen with the control plugin Postdesk.dll beside the host",
                [](KioskHost& host, const Step& step) {
                    if (!g_screen) {
                        g_screen = new ConfigScreen();
                        host.KeepUntilShutdown(static_cast<IPennarkControlHost*>(g_screen), [] {
                            g_screen = nullptr;
                            Report("released the configuration screen");
                        });
                        g_screen->Release();  // the host keeps it
                        CoRef<IDispatch> plugin =
                            LoadPlugin(BesideProgram("Postdesk.dll"), kControlPluginKey, g_screen);
                        if (!plugin) return false;
                        host.KeepUntilShutdown(plugin.get(), nullptr);
                    }
                    HWND sheet = g_screen->Open(host.MainWindow(), kCaption);
                    if (!sheet) {
                        Report(step.where + ": the configuration screen cannot be opened, error " +
                               std::to_string(GetLastError()));
                        return false;
                    }
                    host.Pump(200);
                    Report("configuration screen open with " + std::to_string(g_screen->PageCount()) +
                           " page(s) at " + Place(sheet));
                    return g_screen->Errors().empty();
                }});

Command field({"field", 2, "ID TEXT: types TEXT into the field ID of the current page",
               [](KioskHost& host, const Step& step) {
                   HWND control = Control(step);
                   if (!control) return false;
                   SetWindowTextW(control, Unescape(step.args[1]).c_str());
                   g_screen->Pump();
                   Report("field " + Quoted(step.args[0]) + " = " + Quoted(step.args[1]));
                   return true;
               }});

Command click({"click", 1, "ID: clicks the button or check box ID of the current page",
               [](KioskHost& host, const Step& step) {
                   HWND control = Control(step);
                   if (!control) return false;
                   SendMessageW(control, BM_CLICK, 0, 0);
                   g_screen->Pump();
                   Report("clicked " + Quoted(step.args[0]));
                   return true;
               }});

Command choose({"choose", 2, "ID INDEX: chooses the item INDEX (from 0) of the drop-down list ID of the current page",
                [](KioskHost& host, const Step& step) {
                    HWND control = Control(step);
                    if (!control) return false;
                    int index = _wtoi(step.args[1].c_str());
                    if (SendMessageW(control, CB_SETCURSEL, WPARAM(index), 0) == CB_ERR) {
                        Report(step.where + ": the list " + Quoted(step.args[0]) + " has no item " + Quoted(step.args[1]));
                        return false;
                    }
                    // The list tells its page, as it does when the operator chooses.
                    SendMessageW(GetParent(control), WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(control), CBN_SELCHANGE),
                                 reinterpret_cast<LPARAM>(control));
                    g_screen->Pump();
                    Report("chose item " + Quoted(step.args[1]) + " of " + Quoted(step.args[0]));
                    return true;
                }});

Command read({"read", 1, "ID: reports the text (or the check state) of the control ID of the current page",
              [](KioskHost& host, const Step& step) {
                  HWND control = Control(step);
                  if (!control) return false;
                  wchar_t kind[32] = L"";
                  GetClassNameW(control, kind, 32);
                  LONG style = GetWindowLongW(control, GWL_STYLE) & BS_TYPEMASK;
                  bool box = _wcsicmp(kind, L"Button") == 0 &&
                             (style == BS_AUTOCHECKBOX || style == BS_CHECKBOX || style == BS_AUTO3STATE);
                  if (box) {
                      bool checked = SendMessageW(control, BM_GETCHECK, 0, 0) == BST_CHECKED;
                      Report("check box " + Quoted(step.args[0]) + (checked ? " is checked" : " is not checked"));
                  } else {
                      std::wstring text(size_t(GetWindowTextLengthW(control)) + 1, L'\0');
                      text.resize(size_t(GetWindowTextW(control, &text[0], int(text.size()))));
                      Report("field " + Quoted(step.args[0]) + " reads " + Quoted(text));
                  }
                  return true;
              }});

Command apply({"apply", 0, ": presses Apply on the configuration screen; fails when a page refuses",
               [](KioskHost& host, const Step& step) {
                   if (!g_screen || !g_screen->IsOpen()) return NotOpen(step);
                   bool saved = g_screen->Apply();
                   Report(saved ? "Apply: saved" : "Apply: a page refused to save");
                   return saved;
               }});

Command operate({"operate", 0, ": hands the configuration screen to the operator until it is closed",
                 [](KioskHost& host, const Step& step) {
                     if (!g_screen || !g_screen->IsOpen()) return NotOpen(step);
                     Report("the configuration screen is the operator's until it is closed");
                     g_screen->Run();
                     Report("configuration screen closed");
                     return true;
                 }});

}  // namespace
}  // namespace kiosk
