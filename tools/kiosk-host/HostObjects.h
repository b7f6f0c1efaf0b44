// The host's objects that a plugin calls: the plugin host, the terminal and session event
// sources that keep the extenders the plugin hands them, and a session with properties.
// They are dispatch objects like the plugins' (the frame's templates, the host's type
// information from Pennarkix).
#pragma once
#include <map>
#include <string>
#include <vector>
#include "PennarkObject.h"

namespace kiosk {

class TerminalEvents : public PennarkObject2<IPennarkTerminalEvents> {
public:
    HRESULT STDMETHODCALLTYPE Reserved1() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Reserved2() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Reserved3() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Reserved4() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Reserved5() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE AddTerminalExtender(IPennarkTerminalExtender* extender) override;
    // The extenders in the order they were added.
    std::vector<CoRef<IPennarkTerminalExtender>> extenders;
};

class SessionEvents : public PennarkObject2<IPennarkSessionEvents> {
public:
    HRESULT STDMETHODCALLTYPE Reserved1() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Reserved2() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Reserved3() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Reserved4() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Reserved5() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Reserved6() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Reserved7() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE AddSessionExtender(IPennarkSessionExtender* extender) override;
    std::vector<CoRef<IPennarkSessionExtender>> extenders;
};

// The object a plugin's Initialize receives.
class PluginHost : public PennarkObject2<IPennarkPluginHost> {
public:
    PluginHost();
    HRESULT STDMETHODCALLTYPE Reserved1() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetSessionEvents(IDispatch** events) override;
    HRESULT STDMETHODCALLTYPE Reserved3() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetTerminalEvents(IDispatch** events) override;

    CoRef<TerminalEvents> terminal;
    CoRef<SessionEvents> session;
};

// A session: named wide-text properties; a property it does not have reads as empty.
class Session : public PennarkObject2<IPennarkSession> {
public:
    HRESULT STDMETHODCALLTYPE Reserved1() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Reserved2() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Reserved3() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Reserved4() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Reserved5() override { return E_NOTIMPL; }
    // A new string the caller frees with SysFreeString.
    BSTR STDMETHODCALLTYPE GetProperty(BSTR name) override;

    std::map<std::wstring, std::wstring> properties;
};

}  // namespace kiosk
