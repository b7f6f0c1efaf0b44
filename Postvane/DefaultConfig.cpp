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

BOOL SmtpCreateDefaultConfig() {
    using namespace Postvane;
    try {
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
        SetLastError(0);
        return TRUE;
    } catch (const WindowsError& e) {
        SetLastError(e.Code() ? DWORD(e.Code()) : ERROR_INTERNAL_ERROR);
    } catch (...) {
        // The C++ caller is told through the result too: nothing leaves the library.
        SetLastError(ERROR_INTERNAL_ERROR);
    }
    return FALSE;
}
