// The default configuration of the Mail key.
#include "Globals.h"
#include "PKLib.h"
#include "Postvane.h"
#include "Submit.h"
#include "qlframe.h"

namespace Postvane {

namespace {
const int kDefaultRetrySeconds = 60;

void AssignIfMissing(RegKey& key, const char* name, const string& value) {
    if (!key[name].Valid()) key[name] = value;
}
}  // namespace

}  // namespace Postvane

void SmtpCreateDefaultConfig() {
    using namespace Postvane;
    RegKey key(HKEY_LOCAL_MACHINE, kMailKeyPath, true, RegKey::AllAccess);
    string logs = GetRootPath() + "Logs\\MSS";
    // The Sent and BadMail defaults hang under the default outbox, not under a configured one.
    string outbox = DefaultOutboxDir();
    AssignIfMissing(key, "DebugLog", logs + "\\DebugLog *.txt");
    AssignIfMissing(key, "LogDir", logs);
    AssignIfMissing(key, "OutboxDir", outbox);
    AssignIfMissing(key, "ArchiveDir", MakePathSpec(outbox) + "Sent");
    AssignIfMissing(key, "BadMailDir", MakePathSpec(outbox) + "BadMail");
    if (!key["Retry Timeout"].Valid()) key["Retry Timeout"] = kDefaultRetrySeconds;
    key["ServiceModule"] = GetModuleFileNameA(ModuleHandle());
}
