// postvane run [--seconds N] [--until-empty]: runs the delivery service through the exported
// functions until Ctrl+C, until N seconds have passed, until the outbox holds no message (with
// --until-empty), or until the service reports that it died.
#include <cstdio>
#include <cstdlib>
#include "OutboxMessage.h"
#include "Tool.h"

namespace {

HANDLE g_finish = nullptr;  // manual reset: Ctrl+C or the service's death
volatile LONG g_died = 0;

void __cdecl OnServiceDied(int code, int detail, void*) {
    std::printf("callback: code %d, detail %d\n", code, detail);
    std::fflush(stdout);
    InterlockedExchange(&g_died, 1);
    SetEvent(g_finish);
}

BOOL WINAPI OnConsoleBreak(DWORD) {
    SetEvent(g_finish);
    return TRUE;
}

const char* StartRefusal(DWORD error) {
    switch (error) {
    case ERROR_SERVICE_DISABLED: return "the service is disabled (Disabled is set)";
    case ERROR_SERVICE_ALREADY_RUNNING: return "the service is already running in this process";
    default: return "the service thread could not be started";
    }
}

int Run(const tool::Args& args) {
    std::string secondsText = tool::Option(args, "--seconds");
    double seconds = secondsText.empty() ? 0 : std::atof(secondsText.c_str());
    if (!secondsText.empty() && seconds <= 0) {
        std::fprintf(stderr, "postvane run: --seconds needs a positive number\n");
        return 2;
    }
    g_finish = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (!g_finish) {
        std::fprintf(stderr, "postvane run: cannot create an event, error %lu\n", GetLastError());
        return 1;
    }
    SetConsoleCtrlHandler(OnConsoleBreak, TRUE);
    SetPostvaneCallback(OnServiceDied, nullptr);
    if (!PostvaneStart()) {
        DWORD error = GetLastError();
        std::fprintf(stderr, "postvane run: %s (error %lu)\n", StartRefusal(error), error);
        SetPostvaneCallback(nullptr, nullptr);
        return 1;
    }
    if (seconds > 0) std::printf("service started for %g s\n", seconds);
    else std::printf("service started; Ctrl+C stops it\n");
    std::fflush(stdout);

    if (tool::HasFlag(args, "--until-empty")) {
        // Look at the outbox a few times a second; a message that waits for its next attempt
        // keeps the service running until the time limit.
        DWORD begin = GetTickCount();
        while (WaitForSingleObject(g_finish, 200) == WAIT_TIMEOUT) {
            string outbox = Postvane::ConfigText("OutboxDir");
            if (outbox.HasText() && Postvane::ListOutbox(outbox).empty()) break;
            if (seconds > 0 && GetTickCount() - begin >= DWORD(seconds * 1000)) break;
        }
    } else {
        WaitForSingleObject(g_finish, seconds > 0 ? DWORD(seconds * 1000) : INFINITE);
    }
    PostvaneStop(1);
    SetPostvaneCallback(nullptr, nullptr);
    std::printf(g_died ? "service stopped after it died\n" : "service stopped\n");
    CloseHandle(g_finish);
    return g_died ? 3 : 0;
}

tool::Command command("run",
                      "[--seconds N] [--until-empty] : runs the service until Ctrl+C, for N seconds, until the "
                      "outbox is empty, or until it dies (exit 3)",
                      Run);

}  // namespace
