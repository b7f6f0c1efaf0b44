// The plugin object and the terminal extender.
#include "Plugin.h"
#include <mutex>
#include "AppMessages.h"
#include "Postvane.h"

namespace {

// Source positions of the host calls that Initialize checks.
const char kQuerySource[] = "Apprig/Include/co";
const int kQueryLine = 114;
const char kPluginSource[] = "Plugin/Plugin";
const int kTerminalEventsLine = 66;
const int kSessionEventsLine = 72;

const char kTerminalEventsKey[] = "Terminal Events";
const char kPollEvent[] = "Poll";
const char kPollRecord[] = "Email received Poll";
const size_t kFatalTextSize = 4096;

// The terminal extenders of this module that are alive, in every plugin object of the
// process: the service runs from the first one's construction to the last one's end, so
// that a second plugin (or a second Initialize) never stops it under the first.
std::mutex g_extendersLock;
int g_extenders = 0;

// The counted interface of a host object, raised as a COM error when it is not there.
template <class I>
CoRef<I> Query(IUnknown* object) {
    CoRef<I> result;
    CoCallEx(object ? object->QueryInterface(__uuidof(I), result.outv()) : E_POINTER, frame::ModuleHandle(),
             kQuerySource, kQueryLine);
    return result;
}

// An event source of the host; a success without an object counts as a failure.
template <class Getter>
CoRef<IDispatch> EventSource(Getter get, int line) {
    CoRef<IDispatch> events;
    HRESULT result = get(events.out());
    if (SUCCEEDED(result) && !events) result = E_POINTER;
    CoCallEx(result, frame::ModuleHandle(), kPluginSource, line);
    return events;
}

}  // namespace

bool SameEventName(const string& a, const string& b) {
    if (a.IsEmpty() || b.IsEmpty()) return a.IsEmpty() && b.IsEmpty();
    return lstrcmpiA(a.c_str(), b.c_str()) == 0;
}

// ---- Plugin ------------------------------------------------------------------------------

Plugin::Plugin(ITypeInfo* typeInfo)
    : PennarkObject2<IPennarkPlugin>(typeInfo),
      terminal_(nullptr),
      session_(nullptr),
      key_(HKEY_LOCAL_MACHINE, kEmailModule.pluginKey, true, RegKey::AllAccess) {}

Plugin::~Plugin() {}

HRESULT Plugin::Initialize(IUnknown* hostObject) {
    return frame::RunMethod([&] {
        host_ = Query<IPennarkPluginHost>(hostObject);

        // From here an extender that the host has not taken yet is released on the way out
        // of a failure, which stops the service again.
        CoRef<TerminalExtender> terminal(new TerminalExtender(this), false);
        terminal_ = terminal.get();
        CoRef<IDispatch> terminalSource =
            EventSource([&](IDispatch** out) { return host_->GetTerminalEvents(out); }, kTerminalEventsLine);
        Query<IPennarkTerminalEvents>(terminalSource.get())->AddTerminalExtender(terminal.get());
        terminal.reset();

        CoRef<SessionExtender> session(new SessionExtender(this), false);
        session_ = session.get();
        CoRef<IDispatch> sessionSource =
            EventSource([&](IDispatch** out) { return host_->GetSessionEvents(out); }, kSessionEventsLine);
        Query<IPennarkSessionEvents>(sessionSource.get())->AddSessionExtender(session.get());
        session.reset();
    });
}

// ---- Terminal extender ----------------------------------------------------------------------

Plugin::TerminalExtender::TerminalExtender(Plugin* plugin) : plugin_(plugin), eventName_(kPollEvent) {
    {
        RegKey events(plugin->PluginKey(), kTerminalEventsKey, false, RegKey::ReadAccess);
        RegKey::Value poll = events[kPollEvent];
        if (poll.Valid()) eventName_ = poll.Text().IsNull() ? string("") : poll.Text();
    }
    std::lock_guard<std::mutex> guard(g_extendersLock);
    ++g_extenders;
    SetPostvaneCallback(&TerminalExtender::ServiceCallback, nullptr);
    // Every new extender asks: a service that was disabled for the first may be enabled by
    // now. A disabled or already running service is no reason not to exist.
    PostvaneStart();
}

Plugin::TerminalExtender::~TerminalExtender() {
    std::lock_guard<std::mutex> guard(g_extendersLock);
    if (--g_extenders > 0) return;
    PostvaneStop(1);
    SetPostvaneCallback(nullptr, nullptr);
}

HRESULT Plugin::TerminalExtender::OnTerminalEvent(IUnknown*, BSTR name) {
    return frame::RunMethod([&] {
        if (SameEventName(CoString::Narrow(name), eventName_)) DebugMessage(kPollRecord, 0, 0, nullptr, nullptr);
    });
}

void Plugin::TerminalExtender::ServiceCallback(int code, int, void*) {
    if (code != 0) return;
    // Nothing may leave a callback into the service thread.
    try {
        string text = FormatBuffer(kFatalTextSize, "Сервис Quillet Pennark Smtp внезапно прекратил работу. "
                                                   "Продолжение невозможно, программа будет закрыта.");
        ErrorMessage(text, nullptr, nullptr, 0);
        PostMessageA(GetAppMainWindow(), WM_SYSCOMMAND, SC_CLOSE, 0);
    } catch (...) {
    }
}
