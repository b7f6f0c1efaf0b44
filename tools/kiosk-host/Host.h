// The test host: a main window, the host's objects, the plugins it loaded and the calls it
// makes on them as a kiosk host does. Everything runs on the thread that built it (the
// window's thread); waits pump the window's messages.
#pragma once
#include <windows.h>
#include <functional>
#include <string>
#include "Calls.h"
#include "HostObjects.h"

namespace kiosk {

// A plugin module loaded as a host loads it: its PennarkPlugin_InstallInit is called, the
// class identifier is read from the host's key that registration wrote (below
// "Software\Quillet\Pennark" of HKEY_LOCAL_MACHINE, e.g. "Plugins\Email"), and the class is
// created through COM from its registration (InProcServer32). Initialize is called late-bound
// with hostObject. Reports each step; null (with the reason reported) when a step failed.
CoRef<IDispatch> LoadPlugin(const std::string& modulePath, const std::string& hostKey, IDispatch* hostObject);

class KioskHost {
public:
    // direct: the extenders are called through their interface tables instead of Invoke.
    explicit KioskHost(bool direct);
    ~KioskHost();
    KioskHost(const KioskHost&) = delete;
    KioskHost& operator=(const KioskHost&) = delete;

    // The main window, shown; false when it cannot be made.
    bool CreateMainWindow();
    HWND MainWindow() const { return window_; }
    bool MainWindowOpen() const { return window_ != nullptr; }

    // Loads the Email-like plugin (host key "Plugins\<name>") with the plugin host object.
    bool LoadPlugin(const std::string& modulePath, const std::string& name);

    // Raises the event on every extender of its kind; reports each call. False when one failed.
    bool TerminalEvent(const std::wstring& name);
    bool SessionEvent(const std::wstring& name);
    Session& CurrentSession() { return *session_.get(); }

    // Pumps the window's messages until the condition holds (true), ms pass or the main window
    // is gone (false). Without a condition, for ms.
    bool Pump(DWORD ms, const std::function<bool()>& until = nullptr);
    // Asks the main window to close, as the operator's close button does.
    void RequestClose();

    // Releases the extenders (the terminal extender stops the service) and the plugins, then
    // the window. Reports what it released.
    void Shutdown();

    PluginHost& Objects() { return *host_.get(); }

private:
    static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    HWND window_;
    bool direct_;
    CoRef<PluginHost> host_;
    CoRef<Session> session_;
    std::vector<CoRef<IDispatch>> plugins_;
};

}  // namespace kiosk
