#include "HostObjects.h"

namespace kiosk {

HRESULT TerminalEvents::AddTerminalExtender(IPennarkTerminalExtender* extender) {
    if (!extender) return E_POINTER;
    extenders.push_back(CoRef<IPennarkTerminalExtender>(extender));
    return S_OK;
}

HRESULT SessionEvents::AddSessionExtender(IPennarkSessionExtender* extender) {
    if (!extender) return E_POINTER;
    extenders.push_back(CoRef<IPennarkSessionExtender>(extender));
    return S_OK;
}

PluginHost::PluginHost() : terminal(new TerminalEvents, false), session(new SessionEvents, false) {}

HRESULT PluginHost::GetSessionEvents(IDispatch** events) {
    if (!events) return E_POINTER;
    session->AddRef();
    *events = session.get();
    return S_OK;
}

HRESULT PluginHost::GetTerminalEvents(IDispatch** events) {
    if (!events) return E_POINTER;
    terminal->AddRef();
    *events = terminal.get();
    return S_OK;
}

BSTR Session::GetProperty(BSTR name) {
    auto found = properties.find(name ? name : L"");
    return SysAllocString(found == properties.end() ? L"" : found->second.c_str());
}

}  // namespace kiosk
