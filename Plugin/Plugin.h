// The Email plugin: the plugin object that the host creates, and its two extenders. The
// terminal extender runs the delivery service as long as the host holds it; the session
// extender turns the session event "Email.SendMail" into a message in the outbox.
#pragma once
#include "PennarkObject.h"
#include "PluginModule.h"
#include "qlbase.h"

// The module's description: class identifier, registry description and plugin key.
extern const frame::PluginModule kEmailModule;

// Event names are equal when both are empty, or when both have text and agree ignoring
// case (lstrcmpiA).
bool SameEventName(const string& a, const string& b);

class Plugin : public PennarkObject2<IPennarkPlugin> {
public:
    class TerminalExtender;
    class SessionExtender;

    explicit Plugin(ITypeInfo* typeInfo);
    ~Plugin() override;

    // Keeps the host object, builds both extenders and hands them to the host's event
    // sources. Failures of the host's calls are raised as COM errors (CoCallEx).
    HRESULT STDMETHODCALLTYPE Initialize(IUnknown* host) override;

    // Software\Quillet\Pennark\Plugins\Email under HKEY_LOCAL_MACHINE, open while the object lives.
    const RegKey& PluginKey() const { return key_; }

private:
    CoRef<IPennarkPluginHost> host_;
    TerminalExtender* terminal_;  // not owned: the host's references keep the extenders
    SessionExtender* session_;
    RegKey key_;
};

// Keeps the delivery service running while it lives and turns the service's death into a
// fatal message that asks the host's main window to close. The extenders of the module are
// counted: the service runs from the first one's construction to the last one's end.
class Plugin::TerminalExtender : public PennarkObject2<IPennarkTerminalExtender> {
public:
    // Registers the service callback and starts the service unless it runs (a refusal is
    // not reported).
    explicit TerminalExtender(Plugin* plugin);
    // The last extender of the module stops the service, waiting until its thread has
    // ended, then clears the callback; any other leaves both alone.
    ~TerminalExtender() override;

    HRESULT STDMETHODCALLTYPE Reserved1(VARIANT) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE Reserved2(VARIANT) override { return S_OK; }
    // Writes the diagnostic "Email received Poll" when name is the configured event name.
    HRESULT STDMETHODCALLTYPE OnTerminalEvent(IUnknown* object, BSTR name) override;
    HRESULT STDMETHODCALLTYPE Reserved4(VARIANT, VARIANT, VARIANT) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE Reserved5(VARIANT) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE Reserved6(VARIANT) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE Reserved7(VARIANT) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE Reserved8(VARIANT) override { return S_OK; }

    // The service's death notice, on the service thread while Postvane holds its callback
    // lock: code 0 shows the fatal message and posts the close request; others do nothing.
    static void __cdecl ServiceCallback(int code, int detail, void* userData);

private:
    CoRef<IPennarkPlugin> plugin_;
    string eventName_;
};

// Sends a message built from the session's properties when the session raises its event.
class Plugin::SessionExtender : public PennarkObject2<IPennarkSessionExtender> {
public:
    explicit SessionExtender(Plugin* plugin);
    ~SessionExtender() override;

    HRESULT STDMETHODCALLTYPE Reserved1(VARIANT) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE Reserved2(VARIANT) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE Reserved3(VARIANT) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE Reserved4(VARIANT) override { return S_OK; }
    // On the configured event: reads "Email.To", "Email.From", "Email.Subject" and
    // "Email.Text" (each name mapped by MapPropertyName) and submits the message. A refused
    // submission fails with WindowsError of its last error ("Plugin/SessionExtender", 111), a
    // null session with CoError (E_POINTER), and anything the submission raises as itself:
    // each becomes the method's failure (RunMethod), never an exception in the host.
    HRESULT STDMETHODCALLTYPE OnSessionEvent(IPennarkSession* session, BSTR name) override;
    HRESULT STDMETHODCALLTYPE Reserved6(VARIANT) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE Reserved7(VARIANT) override { return S_OK; }

    // The session property to read for name: the text of the value name under
    // "Session Props" of the plugin key when it exists (also an empty one), else name.
    virtual CoString MapPropertyName(const string& name);

private:
    CoRef<IPennarkPlugin> plugin_;
    string eventName_;
};
