// The session extender: session event to outbox.
#include "Plugin.h"
#include "Postvane.h"

namespace {
const char kSessionEventsKey[] = "Session Events";
const char kSessionPropsKey[] = "Session Props";
const char kSendMailEvent[] = "Email.SendMail";
const char kSubmitSource[] = "Plugin/SessionExtender";
const int kSubmitLine = 111;
}  // namespace

Plugin::SessionExtender::SessionExtender(Plugin* plugin) : plugin_(plugin), eventName_(kSendMailEvent) {
    RegKey events(plugin->PluginKey(), kSessionEventsKey, false, RegKey::ReadAccess);
    RegKey::Value sendMail = events[kSendMailEvent];
    if (sendMail.Valid()) eventName_ = sendMail.Text().IsNull() ? string("") : sendMail.Text();
}

Plugin::SessionExtender::~SessionExtender() {}

HRESULT Plugin::SessionExtender::OnSessionEvent(IPennarkSession* session, BSTR name) {
    return frame::RunMethod([&] {
        if (!SameEventName(CoString::Narrow(name), eventName_)) return;
        if (!session) throw CoError(E_POINTER, "the session event came without a session");

        // Each text is copied at once; the host's strings are freed here.
        auto property = [&](const char* name) {
            CoString asked = MapPropertyName(name);
            return CoString::Attach(session->GetProperty(asked.get())).Narrow();
        };
        string to = property("Email.To");
        string from = property("Email.From");
        string subject = property("Email.Subject");
        string text = property("Email.Text");

        SmtpMail mail = {};
        mail.Size = sizeof mail;
        mail.To = to.c_str();
        mail.From = from.c_str();
        mail.Subject = subject.c_str();
        mail.Text = text.c_str();
        if (!SmtpSendMail(&mail)) throw WindowsError(int(GetLastError()), kSubmitSource, kSubmitLine);
    });
}

CoString Plugin::SessionExtender::MapPropertyName(const string& name) {
    string asked = name;
    if (Plugin* plugin = dynamic_cast<Plugin*>(plugin_.get())) {
        RegKey props(plugin->PluginKey(), kSessionPropsKey, false, RegKey::ReadAccess);
        RegKey::Value mapped = props[name.c_str()];
        if (mapped.Valid()) asked = mapped.Text().IsNull() ? string("") : mapped.Text();
    }
    return CoString(asked);
}
