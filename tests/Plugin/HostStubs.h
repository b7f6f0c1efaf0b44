// Stub host objects for the plugin tests: the plugin host, the terminal and session event
// sources and a session. They answer only what the plugin is meant to call; any other call
// fails the test.
#pragma once
#include <gtest/gtest.h>
#include <map>
#include <string>
#include <vector>
#include "FrameTestSupport.h"
#include "PennarkObject.h"

namespace host_test {

// IKnown's counting with every IDispatch method failing the test: the plugin calls the
// host's objects through their interfaces only.
template <class I>
class StrictDispatch : public IKnown<I> {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        if (iid == IID_IDispatch && out) {
            *out = static_cast<I*>(this);
            this->AddRef();
            return S_OK;
        }
        return IKnown<I>::QueryInterface(iid, out);
    }
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT*) override { return Unexpected("GetTypeInfoCount"); }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return Unexpected("GetTypeInfo"); }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
        return Unexpected("GetIDsOfNames");
    }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override {
        return Unexpected("Invoke");
    }

protected:
    static HRESULT Unexpected(const char* method) {
        ADD_FAILURE() << "the plugin called " << method << " of a host object";
        return E_NOTIMPL;
    }
};

// Keeps what the plugin adds to it and lets it go when the host does (Drop).
template <class Extender>
class Keeper {
public:
    ~Keeper() { Drop(); }
    void Add(Extender* extender) {
        extender->AddRef();
        held.push_back(extender);
    }
    // Releases every extender; true when each release was the last reference.
    bool Drop() {
        bool last = true;
        for (Extender* e : held) last = e->Release() == 0 && last;
        held.clear();
        return last;
    }
    std::vector<Extender*> held;
};

class StubTerminalEvents : public StrictDispatch<IPennarkTerminalEvents> {
public:
    HRESULT STDMETHODCALLTYPE Reserved1() override { return Unexpected("IPennarkTerminalEvents slot 1"); }
    HRESULT STDMETHODCALLTYPE Reserved2() override { return Unexpected("IPennarkTerminalEvents slot 2"); }
    HRESULT STDMETHODCALLTYPE Reserved3() override { return Unexpected("IPennarkTerminalEvents slot 3"); }
    HRESULT STDMETHODCALLTYPE Reserved4() override { return Unexpected("IPennarkTerminalEvents slot 4"); }
    HRESULT STDMETHODCALLTYPE Reserved5() override { return Unexpected("IPennarkTerminalEvents slot 5"); }
    HRESULT STDMETHODCALLTYPE AddTerminalExtender(IPennarkTerminalExtender* extender) override {
        extenders.Add(extender);
        return S_OK;
    }
    Keeper<IPennarkTerminalExtender> extenders;
};

class StubSessionEvents : public StrictDispatch<IPennarkSessionEvents> {
public:
    HRESULT STDMETHODCALLTYPE Reserved1() override { return Unexpected("IPennarkSessionEvents slot 1"); }
    HRESULT STDMETHODCALLTYPE Reserved2() override { return Unexpected("IPennarkSessionEvents slot 2"); }
    HRESULT STDMETHODCALLTYPE Reserved3() override { return Unexpected("IPennarkSessionEvents slot 3"); }
    HRESULT STDMETHODCALLTYPE Reserved4() override { return Unexpected("IPennarkSessionEvents slot 4"); }
    HRESULT STDMETHODCALLTYPE Reserved5() override { return Unexpected("IPennarkSessionEvents slot 5"); }
    HRESULT STDMETHODCALLTYPE Reserved6() override { return Unexpected("IPennarkSessionEvents slot 6"); }
    HRESULT STDMETHODCALLTYPE Reserved7() override { return Unexpected("IPennarkSessionEvents slot 7"); }
    HRESULT STDMETHODCALLTYPE AddSessionExtender(IPennarkSessionExtender* extender) override {
        extenders.Add(extender);
        return S_OK;
    }
    Keeper<IPennarkSessionExtender> extenders;
};

// The plugin host. What its two getters answer can be chosen; a host that does not answer
// IPennarkPluginHost at all is a StubHost with answersHost false.
class StubHost : public StrictDispatch<IPennarkPluginHost> {
public:
    StubHost() : terminal(new StubTerminalEvents), session(new StubSessionEvents) {}
    ~StubHost() override {
        terminal->Release();
        session->Release();
    }
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        if (!answersHost && iid == __uuidof(IPennarkPluginHost)) {
            *out = nullptr;
            return E_NOINTERFACE;
        }
        return StrictDispatch<IPennarkPluginHost>::QueryInterface(iid, out);
    }
    HRESULT STDMETHODCALLTYPE Reserved1() override { return Unexpected("IPennarkPluginHost slot 1"); }
    HRESULT STDMETHODCALLTYPE GetSessionEvents(IDispatch** events) override {
        return Hand(sessionResult, session, events);
    }
    HRESULT STDMETHODCALLTYPE Reserved3() override { return Unexpected("IPennarkPluginHost slot 3"); }
    HRESULT STDMETHODCALLTYPE GetTerminalEvents(IDispatch** events) override {
        return Hand(terminalResult, terminal, events);
    }

    bool answersHost = true;
    HRESULT terminalResult = S_OK;
    HRESULT sessionResult = S_OK;
    StubTerminalEvents* terminal;
    StubSessionEvents* session;

private:
    template <class Source>
    static HRESULT Hand(HRESULT result, Source* source, IDispatch** events) {
        if (FAILED(result)) return result;
        source->AddRef();
        *events = source;
        return result;
    }
};

// A session with properties (wide texts); records the names the plugin asked for.
class StubSession : public StrictDispatch<IPennarkSession> {
public:
    HRESULT STDMETHODCALLTYPE Reserved1() override { return Unexpected("IPennarkSession slot 1"); }
    HRESULT STDMETHODCALLTYPE Reserved2() override { return Unexpected("IPennarkSession slot 2"); }
    HRESULT STDMETHODCALLTYPE Reserved3() override { return Unexpected("IPennarkSession slot 3"); }
    HRESULT STDMETHODCALLTYPE Reserved4() override { return Unexpected("IPennarkSession slot 4"); }
    HRESULT STDMETHODCALLTYPE Reserved5() override { return Unexpected("IPennarkSession slot 5"); }
    BSTR STDMETHODCALLTYPE GetProperty(BSTR name) override {
        std::wstring key = name ? name : L"";
        asked.push_back(Narrow(key.c_str()));
        auto found = properties.find(key);
        return SysAllocString(found == properties.end() ? L"" : found->second.c_str());
    }
    std::map<std::wstring, std::wstring> properties;
    std::vector<std::string> asked;  // windows-1251
};

}  // namespace host_test
