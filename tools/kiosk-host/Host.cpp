#include "Host.h"
#include "CoString.h"
#include "Output.h"
#include "qlbase.h"

namespace kiosk {

namespace {
const char kWindowClass[] = "PennarkKioskHost";
const char kProductKey[] = "Software\\Quillet\\Pennark\\";
KioskHost* g_host = nullptr;  // the window's host (one per process)

typedef int(WINAPI* InstallInitFunction)(void*, void*);

std::string HexResult(HRESULT hr) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08lX", static_cast<unsigned long>(hr));
    return text;
}
}  // namespace

CoRef<IDispatch> LoadPlugin(const std::string& modulePath, const std::string& hostKey, IDispatch* hostObject) {
    HMODULE module = LoadLibraryA(modulePath.c_str());
    if (!module) {
        Report("cannot load " + modulePath + ", error " + std::to_string(GetLastError()));
        return CoRef<IDispatch>();
    }
    InstallInitFunction install = reinterpret_cast<InstallInitFunction>(
        reinterpret_cast<void*>(GetProcAddress(module, "PennarkPlugin_InstallInit")));
    if (!install) {
        Report(modulePath + " does not export PennarkPlugin_InstallInit");
        return CoRef<IDispatch>();
    }
    Report("installing " + modulePath + ": PennarkPlugin_InstallInit returned " + std::to_string(install(nullptr, nullptr)));

    RegKey key(HKEY_LOCAL_MACHINE, (kProductKey + hostKey).c_str(), false, RegKey::ReadAccess);
    string classText = key["CLSID"].Text();
    CLSID classId;
    if (classText.IsEmpty() || FAILED(CLSIDFromString(CoString(classText).get(), &classId))) {
        Report("no class identifier in HKEY_LOCAL_MACHINE\\" + std::string(kProductKey) + hostKey);
        return CoRef<IDispatch>();
    }
    CoRef<IDispatch> plugin;
    HRESULT hr = CoCreateInstance(classId, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch, plugin.outv());
    Report("creating " + classText.str() + " through COM: " + (SUCCEEDED(hr) ? "S_OK" : "failed " + HexResult(hr)));
    if (FAILED(hr)) return CoRef<IDispatch>();

    CallResult init = Invoke(plugin.get(), L"Initialize", {Object(hostObject)});
    Report("Initialize: " + Describe(init));
    if (init.Failed()) return CoRef<IDispatch>();
    return plugin;
}

KioskHost::KioskHost(bool direct)
    : window_(nullptr), direct_(direct), host_(new PluginHost, false), session_(new Session, false) {
    g_host = this;
}

KioskHost::~KioskHost() {
    Shutdown();
    g_host = nullptr;
}

bool KioskHost::CreateMainWindow() {
    WNDCLASSA wc = {};
    wc.lpfnWndProc = &KioskHost::WindowProc;
    wc.hInstance = GetModuleHandleA(nullptr);
    wc.hCursor = LoadCursor(nullptr, IDC_ARROW);
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    wc.lpszClassName = kWindowClass;
    RegisterClassA(&wc);
    window_ = CreateWindowExA(0, kWindowClass, "Pennark kiosk host", WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, CW_USEDEFAULT,
                              480, 320, nullptr, nullptr, wc.hInstance, nullptr);
    if (!window_) {
        Report("cannot create the main window, error " + std::to_string(GetLastError()));
        return false;
    }
    ShowWindow(window_, SW_SHOWNOACTIVATE);
    return true;
}

LRESULT CALLBACK KioskHost::WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_SYSCOMMAND:
        if ((wParam & 0xFFF0) == SC_CLOSE) Report("main window: close requested (WM_SYSCOMMAND, SC_CLOSE)");
        break;
    case WM_DESTROY:
        if (g_host && g_host->window_ == window) g_host->window_ = nullptr;
        Report("main window closed");
        return 0;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

bool KioskHost::LoadPlugin(const std::string& modulePath, const std::string& name) {
    CoRef<IDispatch> plugin = kiosk::LoadPlugin(modulePath, "Plugins\\" + name, host_.get());
    if (!plugin) return false;
    plugins_.push_back(plugin);
    Report("extenders: " + std::to_string(host_->terminal->extenders.size()) + " terminal, " +
           std::to_string(host_->session->extenders.size()) + " session");
    return true;
}

bool KioskHost::TerminalEvent(const std::wstring& name) {
    bool ok = true;
    for (CoRef<IPennarkTerminalExtender>& extender : host_->terminal->extenders) {
        IPennarkTerminalExtender* e = extender.get();
        IDispatch* terminal = host_->terminal.get();
        CallResult r = direct_ ? Direct([&] { return e->OnTerminalEvent(terminal, CoString(name.c_str())); })
                               : Invoke(e, L"OnTerminalEvent", {Object(terminal), Text(name.c_str())});
        Report("terminal event " + Quoted(name) + ": " + Describe(r));
        ok = ok && !r.Failed();
    }
    return ok;
}

bool KioskHost::SessionEvent(const std::wstring& name) {
    bool ok = true;
    for (CoRef<IPennarkSessionExtender>& extender : host_->session->extenders) {
        IPennarkSessionExtender* e = extender.get();
        Session* session = session_.get();
        CallResult r = direct_ ? Direct([&] { return e->OnSessionEvent(session, CoString(name.c_str())); })
                               : Invoke(e, L"OnSessionEvent", {Object(session), Text(name.c_str())});
        Report("session event " + Quoted(name) + ": " + Describe(r));
        ok = ok && !r.Failed();
    }
    return ok;
}

bool KioskHost::Pump(DWORD ms, const std::function<bool()>& until) {
    DWORD start = GetTickCount();
    for (;;) {
        MSG msg;
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
        if (until && until()) return true;
        if (!window_) return false;
        DWORD elapsed = GetTickCount() - start;
        if (elapsed >= ms) return !until;
        // Wake for messages, and at least every 50 ms to look at the condition again.
        DWORD slice = ms - elapsed;
        if (until && slice > 50) slice = 50;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, slice, QS_ALLINPUT);
    }
}

void KioskHost::RequestClose() {
    if (window_) PostMessageA(window_, WM_CLOSE, 0, 0);
}

void KioskHost::Shutdown() {
    size_t terminal = host_->terminal->extenders.size(), session = host_->session->extenders.size();
    if (terminal || session) {
        // The terminal extender stops the service: this returns when its thread has ended.
        host_->terminal->extenders.clear();
        host_->session->extenders.clear();
        Report("released " + std::to_string(terminal) + " terminal and " + std::to_string(session) +
               " session extender(s); the service is stopped");
    }
    if (!plugins_.empty()) {
        plugins_.clear();
        Report("released the plugin");
    }
    if (window_) DestroyWindow(window_);
}

}  // namespace kiosk
