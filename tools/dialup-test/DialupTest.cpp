// A dial-up service module for tests. Its answers come from environment variables of the
// process that loaded it, read at every call:
//   PENNARK_DIALUP_ENABLED           answer of DialupServiceEnabled (default 1)
//   PENNARK_DIALUP_HANDLE            handle DialupServiceConnect returns; 0 fails (default 7)
//   PENNARK_DIALUP_CONNECT_ERROR     last error of a failed connect (default 1225)
//   PENNARK_DIALUP_DISCONNECT        1 succeeds, 0 fails (default 1)
//   PENNARK_DIALUP_DISCONNECT_ERROR  last error of a failed disconnect (default 1236)
// Every call is appended to PENNARK_DIALUP_TRACE: "enabled;", "connect NAME;",
// "disconnect HANDLE;".
#include <windows.h>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {
DWORD Number(const char* name, DWORD fallback) {
    char buf[32];
    DWORD n = GetEnvironmentVariableA(name, buf, sizeof buf);
    if (n == 0 || n >= sizeof buf) return fallback;
    return DWORD(std::strtoul(buf, nullptr, 10));
}

void Trace(const std::string& entry) {
    char buf[8192];
    DWORD n = GetEnvironmentVariableA("PENNARK_DIALUP_TRACE", buf, sizeof buf);
    std::string trace = n > 0 && n < sizeof buf ? std::string(buf, n) : std::string();
    trace += entry + ";";
    SetEnvironmentVariableA("PENNARK_DIALUP_TRACE", trace.c_str());
}
}  // namespace

extern "C" {

int DialupServiceEnabled() {
    Trace("enabled");
    return int(Number("PENNARK_DIALUP_ENABLED", 1));
}

DWORD WINAPI DialupServiceConnect(const char* name) {
    Trace(std::string("connect ") + (name ? name : "(null)"));
    DWORD handle = Number("PENNARK_DIALUP_HANDLE", 7);
    SetLastError(handle ? 0 : Number("PENNARK_DIALUP_CONNECT_ERROR", ERROR_CONNECTION_REFUSED));
    return handle;
}

BOOL WINAPI DialupServiceDisconnect(DWORD handle) {
    Trace("disconnect " + std::to_string(handle));
    if (Number("PENNARK_DIALUP_DISCONNECT", 1)) return TRUE;
    SetLastError(Number("PENNARK_DIALUP_DISCONNECT_ERROR", ERROR_CONNECTION_ABORTED));
    return FALSE;
}

}  // extern "C"
