// postvane defaults: writes the missing default configuration values through the library
// and shows the Mail key afterwards.
#include <cstdio>
#include "Tool.h"
#include "Globals.h"
#include "core.h"
#include "qlbase.h"

namespace {

int Defaults(const tool::Args&) {
    // Exported under its C++ name only; it reports a failure through its result and the last
    // error, never by raising.
    if (!SmtpCreateDefaultConfig()) {
        std::fprintf(stderr, "postvane defaults: the default configuration was not written, error %lu\n",
                     GetLastError());
        return 1;
    }
    try {
        // The library is linked into this program and names the program as its module; the
        // components that read ServiceModule load Postvane.dll, which lies beside the tool.
        RegKey key(HKEY_LOCAL_MACHINE, Postvane::kMailKeyPath, true, RegKey::AllAccess);
        key["ServiceModule"] = string(tool::BesideTool("Postvane.dll").c_str());
    } catch (const QuilletException& e) {
        std::fprintf(stderr, "postvane defaults: %s\n", e.Reason().c_str());
        return 1;
    }
    RegKey key(HKEY_LOCAL_MACHINE, Postvane::kMailKeyPath, false, RegKey::ReadAccess);
    for (const char* name : {"DebugLog", "LogDir", "OutboxDir", "ArchiveDir", "BadMailDir", "ServiceModule"})
        std::printf("%s = %s\n", name, key[name].Text().c_str());
    std::printf("Retry Timeout = %d\n", key["Retry Timeout"].Number());
    return 0;
}

tool::Command command("defaults", ": writes the missing default values of the Mail key and shows them", Defaults);

}  // namespace
