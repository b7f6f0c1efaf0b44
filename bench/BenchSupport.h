// What the benchmark programs share: a private registry for the run, an in-process answer
// to the EHLO name's DNS check, a clock in seconds and directory clean-up (the registry and
// the clean-up are those of the tests), and host_peer.py run with arguments of the
// benchmark's choosing.
#pragma once
#include <winsock2.h>
#include <windows.h>
#include <windns.h>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>
#include <vector>
#include "Secret.h"
#include "SmtpPeer.h"
#include "Sockets.h"
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
// Files (not directories) in a directory.
inline size_t CountFiles(const std::string& dir) {
    size_t n = 0;
    WIN32_FIND_DATAA fd;
    HANDLE h = FindFirstFileA((dir + "\\*").c_str(), &fd);
    if (h == INVALID_HANDLE_VALUE) return 0;
    do {
        if (!(fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) ++n;
    } while (FindNextFileA(h, &fd));
    FindClose(h);
    return n;
}

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

// host_peer.py run with any arguments (those after --control PORT) and steered over its
// control connection: the port it reports, then every line it writes handed to a handler on a
// thread of its own. The lines are read even without a handler: a report nobody reads would,
// once the connection's buffer filled, hold the script and its server up. The script ends,
// with its server, when this is destroyed.
class HostScript {
public:
    typedef std::function<void(const std::string& line)> LineHandler;

    explicit HostScript(const std::string& arguments, LineHandler handler = LineHandler())
        : handler_(handler), control_(INVALID_SOCKET), port_(0) {
        control_ = smtppeer::LaunchPeerScript(smtppeer::HostPeerScript(), arguments, &error_);
        if (control_ == INVALID_SOCKET) return;
        std::string first;
        DWORD start = GetTickCount();
        while (!NextLine(&first) && GetTickCount() - start < kStartWaitMs && Receive(100)) {
        }
        if (first.compare(0, 5, "PORT ") != 0) {
            error_ = "the script did not report its port: " + (first.empty() ? arguments : first);
            return;
        }
        port_ = static_cast<unsigned short>(std::atoi(first.c_str() + 5));
        reader_ = std::thread([this] {
            std::string text;
            while (!stop_) {
                while (NextLine(&text))
                    if (handler_) handler_(text);
                if (!Receive(50)) break;
            }
        });
    }
    ~HostScript() {
        stop_ = true;
        if (reader_.joinable()) reader_.join();
        if (control_ != INVALID_SOCKET) closesocket(control_);
    }
    HostScript(const HostScript&) = delete;
    HostScript& operator=(const HostScript&) = delete;

    bool Started() const { return port_ != 0; }
    unsigned short Port() const { return port_; }
    const std::string& Error() const { return error_; }

private:
    static const DWORD kStartWaitMs = 30000;  // a private Postfix takes a few seconds at most

    // Takes a whole line from what was received; false when none is there yet.
    bool NextLine(std::string* line) {
        size_t end = pending_.find('\n');
        if (end == std::string::npos) return false;
        line->assign(pending_, 0, end);
        pending_.erase(0, end + 1);
        return true;
    }
    // Waits up to ms for more bytes; false once the connection has closed or failed.
    bool Receive(DWORD ms) {
        if (!smtppeer::Readable(control_, ms)) return true;
        char buffer[16384];
        int n = recv(control_, buffer, sizeof buffer, 0);
        if (n <= 0) return false;
        pending_.append(buffer, size_t(n));
        return true;
    }

    smtppeer::WinsockUser winsock_;
    LineHandler handler_;
    SOCKET control_;
    unsigned short port_;
    std::string error_;
    std::string pending_;
    std::atomic<bool> stop_{false};
    std::thread reader_;
};

}  // namespace bench
