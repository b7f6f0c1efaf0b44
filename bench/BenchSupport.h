// What the benchmark programs share: a private registry for the run, an in-process answer
// to the EHLO name's DNS check, a clock in seconds and directory clean-up (the registry and
// the clean-up are those of the tests).
#pragma once
#include <winsock2.h>
#include <windows.h>
#include <windns.h>
#include <cstdio>
#include <string>
#include "Secret.h"
#include "SmtpPeer.h"
#include "TestSupport.h"

namespace bench {

const char kLogin[] = "bench";
const char kPassword[] = "bench-password";

// Every DNS question is answered with 127.0.0.1, so figures are those of the SMTP path alone.
inline DNS_STATUS WINAPI LocalDns(PCSTR, WORD, DWORD, PIP4_ARRAY, PDNS_RECORD* result, PVOID*) {
    PDNS_RECORD record = new DNS_RECORDA();
    record->wType = DNS_TYPE_A;
    record->Data.A.IpAddress = htonl(INADDR_LOOPBACK);
    *result = record;
    return 0;
}
inline VOID WINAPI FreeLocalDns(PVOID list, DNS_FREE_TYPE) { delete static_cast<PDNS_RECORD>(list); }

// HKEY_LOCAL_MACHINE redirected to a key of this run, removed at the end.
struct PrivateRegistry : testing_support::PrivateRegistry {
    PrivateRegistry() : testing_support::PrivateRegistry("Software\\PennarkBench") {}
};

// Seconds from an arbitrary start, from the performance counter.
inline double Now() {
    static LARGE_INTEGER frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return f;
    }();
    LARGE_INTEGER c;
    QueryPerformanceCounter(&c);
    return double(c.QuadPart) / double(frequency.QuadPart);
}

using testing_support::RemoveTree;

// The SMTP key of a run: the server on this machine, the bench account and its stored password
// (each benchmark sets the port of the server it measures).
inline void ConfigureAccount() {
    RegKey smtp(HKEY_LOCAL_MACHINE, testing_support::kSmtpKey, true, RegKey::AllAccess);
    smtp["Server"] = "127.0.0.1";
    smtp["Login"] = kLogin;
    smtp["ReversePath"] = "bench@example.test";
    StoreSecret(kSecretDescription, smtp.Handle(), "Pass", kPassword);
}

// Runs measure(port) against a private smtp-sink; false, with a line that says why, when the
// sink does not start.
template <class Measure>
bool WithSmtpSink(Measure measure) {
    smtppeer::HostPeer::Options options;
    options.server = "smtp-sink";
    smtppeer::HostPeer sink(options);
    if (!sink.Started()) {
        std::printf("smtp-sink did not start: %s\n", sink.Error().c_str());
        return false;
    }
    return measure(sink.Port());
}

}  // namespace bench
