// The queue at scale: an outbox filled with N small messages, written directly as
// SmtpSendMail names them ("<number>.eml"), every tenth with an attempt log from an hour
// ago and every tenth (another one) to two recipients with a recipient record that refuses
// one of them. Prints for each N:
//   - the time of the status listing (the code `postvane status` runs), and its lines;
//   - the queue delivered by the running service against Postfix's smtp-sink: the service
//     thread's time per message in its passes (and, with --phases, in each step), and the
//     wall time from the start to an empty outbox;
//   - the process's memory (private bytes and working set) before the start and once the
//     queue is delivered, and the peak working set.
//
//   bench_queue.exe [--sizes N[,N...]] [--no-delivery] [--phases]
//
// The default sizes are 300 and 10000 (a few minutes); add 50000 for the large queue. The
// registry is a private key and the directories temporary ones, removed at the end. The DNS
// check of the EHLO name is answered in-process.
#include "BenchSupport.h"
#include <psapi.h>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>
#include "Globals.h"
#include "MailService.h"
#include "QueueStatus.h"
#include "Resolver.h"
#include "qlframe.h"

using namespace Postvane;
using namespace bench;

namespace {

bool g_phases = false;  // --phases

// A queue of this many messages that is not delivered in this time per message plus a
// minute is stuck, not slow.
const DWORD kGiveUpMsPerMessage = 100;
const DWORD kPollMs = 500;  // between two counts of the outbox while it is delivered
const unsigned kSinkLifetimeSeconds = 7200;

struct Memory {
    double privateMiB = 0, workingMiB = 0, peakMiB = 0;
};

Memory ProcessMemory() {
    PROCESS_MEMORY_COUNTERS_EX counters = {};
    counters.cb = sizeof counters;
    GetProcessMemoryInfo(GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters), sizeof counters);
    const double mib = 1024.0 * 1024.0;
    // Wine leaves PrivateUsage 0 and counts the private bytes as PagefileUsage, as Windows
    // also does.
    SIZE_T privateBytes = counters.PrivateUsage ? counters.PrivateUsage : counters.PagefileUsage;
    return Memory{privateBytes / mib, counters.WorkingSetSize / mib, counters.PeakWorkingSetSize / mib};
}

bool WriteWhole(const std::string& path, const std::string& text, DWORD attributes) {
    HANDLE h = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, attributes, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    bool ok = WriteFile(h, text.data(), DWORD(text.size()), &written, nullptr) && written == text.size();
    CloseHandle(h);
    return ok;
}

// The messages and state files of the queue, written by the host's Python under Wine: there
// every new name is first looked for through the whole directory without regard to case, so
// that writing the files through Windows calls would take longer than the figures measured
// (half an hour for 50000). Arguments: outbox, count, the attempt time, the file to write
// when done. The texts are those of FillHere.
const char kFillScript[] = R"(import os, sys
outbox, n, when, done = sys.argv[1], int(sys.argv[2]), sys.argv[3], sys.argv[4]
wait = os.path.join(outbox, "Wait")
os.makedirs(wait, exist_ok=True)
body = "A small message of the queue benchmark, one of many of the same size.\r\n" * 8
for i in range(1, n + 1):
    name = "%d.eml" % i
    split = i % 10 == 5
    to = "sink@example.test, gone@example.test" if split else "sink@example.test"
    with open(os.path.join(outbox, name), "wb") as f:
        f.write(("To: %s\r\nSubject: queue %d\r\n\r\n%s" % (to, i, body)).encode())
    if i % 10 == 0:
        with open(os.path.join(wait, name + ".msglog"), "wb") as f:
            f.write((when + "\r\n").encode())
    if split:
        with open(os.path.join(wait, name + ".rcpt"), "wb") as f:
            f.write(("refused\t%s\tgone@example.test\t550 5.1.1 no such user\r\n" % when).encode())
open(done, "w").close()
)";

std::string Body() {
    std::string body;
    for (int i = 0; i < 8; ++i) body += "A small message of the queue benchmark, one of many of the same size.\r\n";
    return body;
}

// The same files written through Windows calls (off Wine, or when the host script fails).
bool FillHere(const std::string& outbox, int n, const std::string& when) {
    std::string wait = outbox + "\\Wait", body = Body();
    CreateDirectoryA(wait.c_str(), nullptr);
    for (int i = 1; i <= n; ++i) {
        std::string name = std::to_string(i) + ".eml";
        bool split = i % 10 == 5;
        std::string text = std::string("To: ") + (split ? "sink@example.test, gone@example.test" : "sink@example.test") +
                           "\r\nSubject: queue " + std::to_string(i) + "\r\n\r\n" + body;
        if (!WriteWhole(outbox + "\\" + name, text, FILE_ATTRIBUTE_NORMAL)) return false;
        if (i % 10 == 0 && !WriteWhole(wait + "\\" + name + ".msglog", when + "\r\n", FILE_ATTRIBUTE_HIDDEN))
            return false;
        if (split && !WriteWhole(wait + "\\" + name + ".rcpt",
                                 "refused\t" + when + "\tgone@example.test\t550 5.1.1 no such user\r\n",
                                 FILE_ATTRIBUTE_HIDDEN))
            return false;
    }
    return true;
}

bool FillOnHost(const std::string& base, const std::string& outbox, int n, const std::string& when) {
    HMODULE kernel = GetModuleHandleA("kernel32.dll");
    if (!kernel || !GetProcAddress(kernel, "wine_get_unix_file_name")) return false;
    std::string script = base + "\\fill.py", done = base + "\\filled";
    if (!WriteWhole(script, kFillScript, FILE_ATTRIBUTE_NORMAL)) return false;
    std::string command = "\"" + smtppeer::DosPath("/usr/bin/python3") + "\" \"" + smtppeer::UnixPath(script) + "\" \"" +
                          smtppeer::UnixPath(outbox) + "\" " + std::to_string(n) + " \"" + when + "\" \"" +
                          smtppeer::UnixPath(base) + "/filled\"";
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    std::vector<char> line(command.begin(), command.end());
    line.push_back('\0');
    if (!CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
        return false;
    // Wine hands out no handles for a Unix process: the file it writes last says it is done.
    if (process.hThread) CloseHandle(process.hThread);
    if (process.hProcess) CloseHandle(process.hProcess);
    DWORD start = GetTickCount(), giveUp = 60000 + DWORD(n) * 2;
    while (GetFileAttributesA(done.c_str()) == INVALID_FILE_ATTRIBUTES)
        if (GetTickCount() - start > giveUp) return false;
        else Sleep(100);
    return true;
}

// Fills the outbox with n messages and the wait directory with their state files.
bool Fill(const std::string& base, const std::string& outbox, int n) {
    CreateDirectoryA(outbox.c_str(), nullptr);
    std::string hourAgo = Format(0, RealTime::Now().UTC() - RealTime(3600 * RealTime::Second), true, false).str();
    bool filled = FillOnHost(base, outbox, n, hourAgo) || FillHere(outbox, n, hourAgo);
    SetFileAttributesA((outbox + "\\Wait").c_str(), FILE_ATTRIBUTE_HIDDEN);
    return filled && CountFiles(outbox) == size_t(n);
}

void PrintPhases(int messages) {
    if (!g_phases) return;
    const DeliveryProfile& p = Postvane::Service().profile;
    std::printf("    per message, in microseconds (runs per message):");
    for (int i = 0; i < int(DeliveryPhase::Count); ++i)
        std::printf("%s %s %.0f (%.2f)", i % 5 ? "," : "\n     ", kDeliveryPhaseNames[i],
                    p.Microseconds(DeliveryPhase(i)) / messages, double(p.runs[i]) / messages);
    std::printf("\n");
}

// The status listing of the filled outbox.
void Status() {
    StatusSettings settings = ReadStatusSettings();
    size_t lines = 0, bytes = 0;
    double start = Now();
    WriteQueueStatus(settings, [&](const std::string& line) {
        ++lines;
        bytes += line.size() + 1;
    });
    std::printf("  status listing: %8.2f s (%zu lines, %zu KiB)\n", Now() - start, lines, bytes / 1024);
}

// The queue delivered by the running service.
bool Deliver(const std::string& outbox, int n) {
    Memory before = ProcessMemory();
    Postvane::Service().profile.Reset();
    double start = Now();
    if (!PostvaneStart()) {
        std::printf("  the service did not start, error %lu\n", GetLastError());
        return false;
    }
    DWORD giveUp = DWORD(n) * kGiveUpMsPerMessage + 60000, began = GetTickCount();
    size_t left = size_t(n);
    while ((left = CountFiles(outbox)) != 0 && GetTickCount() - began < giveUp) Sleep(kPollMs);
    double wall = Now() - start;
    Memory after = ProcessMemory();
    PostvaneStop(1);
    if (left) {
        std::printf("  delivery: %zu messages stay in the outbox after %.0f s\n", left, wall);
        return false;
    }
    const DeliveryProfile& p = Postvane::Service().profile;
    std::printf("  delivery: %8.2f ms per message in passes (%.0f s), %.1f s from start to empty outbox\n",
                p.Microseconds(DeliveryPhase::Pass) / n / 1000.0, p.Microseconds(DeliveryPhase::Pass) / 1e6, wall);
    PrintPhases(n);
    std::printf("  memory: private %.1f -> %.1f MiB, working set %.1f -> %.1f MiB, peak working set %.1f MiB\n",
                before.privateMiB, after.privateMiB, before.workingMiB, after.workingMiB, after.peakMiB);
    return true;
}

bool Run(unsigned short port, int n, bool deliver) {
    char temp[MAX_PATH];
    GetTempPathA(sizeof temp, temp);
    std::string base = std::string(temp) + "pennark-bench-queue-" + std::to_string(GetCurrentProcessId()) + "-" +
                       std::to_string(n);
    CreateDirectoryA(base.c_str(), nullptr);
    std::string outbox = base + "\\Outbox";
    {
        RegKey mail(HKEY_LOCAL_MACHINE, kMailKeyPath, true, RegKey::AllAccess);
        mail["OutboxDir"] = outbox.c_str();
        mail["ArchiveDir"] = (base + "\\Sent").c_str();
        mail["BadMailDir"] = (base + "\\Bad").c_str();
        mail["LogDir"] = (base + "\\Logs").c_str();
        mail["DebugLog"] = (base + "\\Logs\\DebugLog *.txt").c_str();
        mail["Retry Timeout"] = 1;
        RegKey smtp(HKEY_LOCAL_MACHINE, kSmtpKeyPath, true, RegKey::AllAccess);
        smtp["Port"] = std::to_string(port).c_str();
    }
    std::printf("%d messages:\n", n);
    double start = Now();
    bool ok = Fill(base, outbox, n);
    std::printf("  filling: %.2f s%s\n", Now() - start, ok ? "" : " (a file could not be written)");
    if (ok) {
        Status();
        if (deliver) ok = Deliver(outbox, n);
    }
    RemoveTree(base);
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<int> sizes;
    bool deliver = true;
    for (int i = 1; i < argc; ++i) {
        std::string option = argv[i];
        if (option == "--phases") {
            g_phases = true;
        } else if (option == "--no-delivery") {
            deliver = false;
        } else if (option == "--sizes" && i + 1 < argc) {
            for (const char* p = argv[++i]; *p;) {
                char* end = nullptr;
                long n = std::strtol(p, &end, 10);
                if (end == p || n < 1) {
                    sizes.push_back(0);
                    break;
                }
                sizes.push_back(int(n));
                p = *end == ',' ? end + 1 : end;
            }
        } else {
            sizes.push_back(0);
        }
    }
    if (sizes.empty()) sizes = {300, 10000};
    for (int n : sizes)
        if (n < 1) {
            std::fprintf(stderr, "usage: bench_queue [--sizes N[,N...]] [--no-delivery] [--phases]\n");
            return 2;
        }
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
    PrivateRegistry registry;
    SetDnsClient(LocalDns, FreeLocalDns);
    ConfigureAccount();
    bool ok = true;
    for (int n : sizes) {
        // A sink of its own for each queue, living long enough for the largest (the host
        // script ends its server after 300 s unless told otherwise).
        HostScript sink("--lifetime " + std::to_string(kSinkLifetimeSeconds) + " smtp-sink");
        if (!sink.Started()) {
            std::printf("smtp-sink did not start: %s\n", sink.Error().c_str());
            ok = false;
            break;
        }
        ok = Run(sink.Port(), n, deliver) && ok;
    }
    WSACleanup();
    return ok ? 0 : 1;
}
