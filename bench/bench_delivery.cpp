// Delivery through the running service: messages submitted with SmtpSendMail while the
// service runs against a local sink, and the time until they are archived. Prints, for each
// sink:
//   - messages delivered per second for 200 messages of 2 KiB and 20 with a 1 MiB
//     attachment: submitted one after another while the service runs (from the first
//     submission to the last archive copy), and queued while the service stood (from the
//     first archive copy to the last, so without the start);
//   - the latency from SmtpSendMail returning to the archive copy, which the service makes
//     right after SENDDONE, for single messages sent to an idle service (median and worst).
//
//   bench_delivery.exe [--sink rule|smtp-sink|both] [--small N] [--large N] [--single N] [--phases]
//
// With --phases each figure is followed by where the service thread's time went, per message:
// the wall time of each step of delivery in microseconds and how often it ran.
//
// "rule" is the in-process rule server without faults, "smtp-sink" Postfix's sink run on
// the host. The registry is a private key and the directories temporary ones, removed at
// the end. The DNS check of the EHLO name is answered in-process.
#include "BenchSupport.h"
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>
#include "Globals.h"
#include "MailService.h"
#include "Resolver.h"
#include "RuleServer.h"
#include "Secret.h"
#include "SmtpPeer.h"
#include "Submit.h"

using namespace Postvane;

using namespace bench;

namespace {

const DWORD kGiveUpMs = 300000;  // a run that takes longer than this is broken, not slow
const DWORD kLookMs = 20;        // longest wait between two counts of a directory

bool g_phases = false;  // --phases

// The service thread's time per message in each step of delivery since the last reset.
void PrintPhases(int messages) {
    if (!g_phases) return;
    const DeliveryProfile& p = Postvane::Service().profile;
    double inSteps = 0;
    std::printf("    per message, in microseconds (runs per message):");
    for (int i = 0; i < int(DeliveryPhase::Count); ++i) {
        DeliveryPhase phase = DeliveryPhase(i);
        double us = p.Microseconds(phase) / messages;
        if (phase != DeliveryPhase::Pass && phase != DeliveryPhase::Wake) inSteps += us;
        std::printf("%s %s %.0f (%.2f)", i % 5 ? "," : "\n     ", kDeliveryPhaseNames[i], us,
                    double(p.runs[i]) / messages);
    }
    std::printf("\n     rest of the passes %.0f\n", p.Microseconds(DeliveryPhase::Pass) / messages - inSteps);
}

void ResetPhases() { Postvane::Service().profile.Reset(); }






// The files of a directory (made when missing), counted once and then kept up to date from
// the directory's reports of names added and removed: a benchmark that waits so costs the
// service next to nothing, where listing the directory every millisecond took much of a core
// (and of Wine's server) from it. A report that overflowed is made good by a new count.
class FileCounter {
public:
    explicit FileCounter(const std::string& dir) : dir_(dir), report_(kReportBytes) {
        CreateDirectoryA(dir.c_str(), nullptr);
        directory_ = CreateFileA(dir.c_str(), FILE_LIST_DIRECTORY, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                 nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OVERLAPPED, nullptr);
        overlapped_.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        watching_ = Watch();
        count_ = CountFiles(dir_);
    }
    ~FileCounter() {
        if (directory_ != INVALID_HANDLE_VALUE) {
            CancelIo(directory_);
            if (watching_) WaitForSingleObject(overlapped_.hEvent, 1000);
            CloseHandle(directory_);
        }
        if (overlapped_.hEvent) CloseHandle(overlapped_.hEvent);
    }
    FileCounter(const FileCounter&) = delete;
    FileCounter& operator=(const FileCounter&) = delete;
    const std::string& Path() const { return dir_; }
    size_t Count() {
        if (!watching_) return CountFiles(dir_);
        Update(0);
        return count_;
    }
    // Waits until done(the number of files) is true; false after kGiveUpMs.
    template <class Done>
    bool WaitUntil(Done done) {
        DWORD start = GetTickCount();
        for (;;) {
            if (done(Count())) return true;
            if (GetTickCount() - start > kGiveUpMs) return false;
            if (watching_) Update(kLookMs);
            else Sleep(1);
        }
    }

private:
    static const DWORD kReportBytes = 65536;

    bool Watch() {
        if (directory_ == INVALID_HANDLE_VALUE || !overlapped_.hEvent) return false;
        ResetEvent(overlapped_.hEvent);
        return ReadDirectoryChangesW(directory_, report_.data(), kReportBytes, FALSE, FILE_NOTIFY_CHANGE_FILE_NAME, nullptr,
                                     &overlapped_, nullptr) != FALSE;
    }
    // Takes in what the directory reported within ms, and watches on.
    void Update(DWORD ms) {
        if (WaitForSingleObject(overlapped_.hEvent, ms) != WAIT_OBJECT_0) return;
        DWORD bytes = 0;
        bool read = GetOverlappedResult(directory_, &overlapped_, &bytes, FALSE) != FALSE;
        std::vector<char> report(report_.begin(), report_.begin() + (read ? bytes : 0));
        watching_ = Watch();
        if (!read || bytes == 0) {
            count_ = CountFiles(dir_);  // more changes than the report held
            return;
        }
        for (size_t at = 0;;) {
            const FILE_NOTIFY_INFORMATION* entry = reinterpret_cast<const FILE_NOTIFY_INFORMATION*>(&report[at]);
            if (entry->Action == FILE_ACTION_ADDED || entry->Action == FILE_ACTION_RENAMED_NEW_NAME) ++count_;
            else if ((entry->Action == FILE_ACTION_REMOVED || entry->Action == FILE_ACTION_RENAMED_OLD_NAME) && count_)
                --count_;
            if (!entry->NextEntryOffset) break;
            at += entry->NextEntryOffset;
        }
    }

    std::string dir_;
    HANDLE directory_ = INVALID_HANDLE_VALUE;
    OVERLAPPED overlapped_ = {};
    std::vector<char> report_;
    bool watching_ = false;
    size_t count_ = 0;
};

// One kind of message: a text of about textSize bytes and an optional attachment.
struct MessageKind {
    const char* name;
    std::string text;
    std::string attachment;
};

MessageKind Kind(const char* name, size_t textSize, size_t attachmentSize) {
    MessageKind k{name, std::string(), std::string()};
    std::string line(74, 'x');
    for (size_t i = 0; k.text.size() < textSize; ++i) {
        line[0] = char('A' + i % 26);
        k.text += line + "\r\n";
    }
    k.attachment.resize(attachmentSize);
    for (size_t i = 0; i < attachmentSize; ++i) k.attachment[i] = char(i * 31 + i / 4099);
    return k;
}

class Bench {
public:
    explicit Bench(const std::string& base) : outbox_(base + "\\Outbox"), archive_(base + "\\Sent") {
        RegKey mail(HKEY_LOCAL_MACHINE, kMailKeyPath, true, RegKey::AllAccess);
        mail["OutboxDir"] = outbox_.Path().c_str();
        mail["ArchiveDir"] = archive_.Path().c_str();
        mail["BadMailDir"] = (base + "\\Bad").c_str();
        mail["LogDir"] = (base + "\\Logs").c_str();
        mail["DebugLog"] = (base + "\\Logs\\DebugLog *.txt").c_str();
        mail["Retry Timeout"] = 1;
    }

    bool Submit(const MessageKind& kind) {
        SmtpMailAttachment a = {sizeof a, kind.attachment.data(), DWORD(kind.attachment.size()), "application/pdf",
                                "receipt.pdf"};
        SmtpMail mail = {};
        mail.Size = sizeof mail;
        mail.To = "sink@example.test";
        mail.Subject = "benchmark";
        mail.Text = kind.text.c_str();
        mail.Attachments = kind.attachment.empty() ? nullptr : &a;
        mail.AttachmentCount = kind.attachment.empty() ? 0 : 1;
        if (SmtpSendMail(&mail)) return true;
        std::printf("  SmtpSendMail refused, last error %lu\n", GetLastError());
        return false;
    }

    // Waits until the archive holds count files; the time it did, or a negative number.
    double WaitArchived(size_t count) {
        if (!archive_.WaitUntil([&](size_t n) { return n >= count; })) return -1;
        return Now();
    }
    bool WaitOutboxEmpty() { return outbox_.WaitUntil([](size_t n) { return n == 0; }); }

    // Messages submitted one after another to the running service.
    bool Live(const MessageKind& kind, int n) {
        size_t before = archive_.Count();
        ResetPhases();
        double start = Now();
        for (int i = 0; i < n; ++i)
            if (!Submit(kind)) return false;
        double submitted = Now();
        double done = WaitArchived(before + n);
        if (done < 0 || !WaitOutboxEmpty()) return Fail(kind, "live");
        std::printf("  %-22s submitted while running: %4d in %6.2f s = %7.1f messages/s (submitting took %.2f s)\n",
                    kind.name, n, done - start, n / (done - start), submitted - start);
        PrintPhases(n);
        return true;
    }

    // Messages queued while the service stood, then delivered after its start.
    bool Queued(const MessageKind& kind, int n) {
        PostvaneStop(1);
        size_t before = archive_.Count();
        for (int i = 0; i < n; ++i)
            if (!Submit(kind)) return false;
        ResetPhases();
        if (!PostvaneStart()) return Fail(kind, "start");
        double first = WaitArchived(before + 1);
        double done = WaitArchived(before + n);
        if (first < 0 || done < 0 || !WaitOutboxEmpty()) return Fail(kind, "queued");
        std::printf("  %-22s queued before the start: %4d in %6.2f s = %7.1f messages/s (first to last)\n", kind.name,
                    n, done - first, (n - 1) / (done - first));
        PrintPhases(n);
        return true;
    }

    // Single messages to an idle service: SmtpSendMail returning to the archive copy.
    bool Latency(const MessageKind& kind, int n) {
        std::vector<double> ms;
        ResetPhases();
        for (int i = 0; i < n; ++i) {
            size_t before = archive_.Count();
            Sleep(50);  // the service is back in its wait
            if (!Submit(kind)) return false;
            double start = Now();
            double done = WaitArchived(before + 1);
            if (done < 0 || !WaitOutboxEmpty()) return Fail(kind, "single");
            ms.push_back((done - start) * 1000.0);
        }
        std::sort(ms.begin(), ms.end());
        std::printf("  %-22s single messages, SmtpSendMail to archived (after SENDDONE) over %d: median %.1f ms, "
                    "worst %.1f ms\n",
                    kind.name, n, ms[ms.size() / 2], ms.back());
        PrintPhases(n);
        return true;
    }

private:
    bool Fail(const MessageKind& kind, const char* what) {
        std::printf("  %s %s: the messages did not leave the outbox (%zu files stay)\n", kind.name, what,
                    outbox_.Count());
        return false;
    }
    FileCounter outbox_, archive_;
};

bool Run(const char* sinkName, unsigned short port, int small, int large, int single) {
    char temp[MAX_PATH];
    GetTempPathA(sizeof temp, temp);
    std::string base = std::string(temp) + "pennark-bench-delivery-" + std::to_string(GetCurrentProcessId());
    CreateDirectoryA(base.c_str(), nullptr);
    {
        RegKey smtp(HKEY_LOCAL_MACHINE, kSmtpKeyPath, true, RegKey::AllAccess);
        smtp["Port"] = std::to_string(port).c_str();
    }
    bool ok = true;
    {
        Bench bench(base);
        MessageKind text = Kind("2 KiB text", 2048 - 600, 0);
        MessageKind attached = Kind("1 MiB attachment", 256, 1024 * 1024);
        std::printf("%s:\n", sinkName);
        if (!PostvaneStart()) {
            std::printf("  the service did not start, error %lu\n", GetLastError());
            ok = false;
        } else {
            Sleep(1500);  // past the service's start pause
            ok = bench.Live(text, small) && bench.Queued(text, small) && bench.Live(attached, large) &&
                 bench.Queued(attached, large) && bench.Latency(text, single);
        }
        PostvaneStop(1);
    }
    RemoveTree(base);
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    std::string sink = "both";
    int small = 200, large = 20, single = 50;
    for (int i = 1; i < argc; ++i) {
        std::string option = argv[i];
        if (option == "--phases") {
            g_phases = true;
            continue;
        }
        if (++i == argc) break;
        if (option == "--sink") sink = argv[i];
        else if (option == "--small") small = std::atoi(argv[i]);
        else if (option == "--large") large = std::atoi(argv[i]);
        else if (option == "--single") single = std::atoi(argv[i]);
    }
    if (small < 2 || large < 2 || single < 1 || (sink != "rule" && sink != "smtp-sink" && sink != "both")) {
        std::fprintf(stderr, "usage: bench_delivery [--sink rule|smtp-sink|both] [--small N>1] [--large N>1] [--single N] [--phases]\n");
        return 2;
    }
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
    PrivateRegistry registry;
    SetDnsClient(LocalDns, FreeLocalDns);
    ConfigureAccount();
    bool ok = true;
    if (sink != "smtp-sink") {
        smtppeer::RuleServer server;
        ok = Run("rule server (in-process)", server.Port(), small, large, single) && ok;
    }
    if (sink != "rule") {
        ok = WithSmtpSink([&](unsigned short port) {
                 return Run("smtp-sink (host process)", port, small, large, single);
             }) && ok;
    }
    WSACleanup();
    return ok ? 0 : 1;
}
