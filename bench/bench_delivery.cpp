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
//   bench_delivery.exe [--sink rule|smtp-sink|both] [--small N] [--large N] [--single N]
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




// Files (not directories) in a directory.
size_t CountFiles(const std::string& dir) {
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
        mail["OutboxDir"] = outbox_.c_str();
        mail["ArchiveDir"] = archive_.c_str();
        mail["BadMailDir"] = (base + "\\Bad").c_str();
        mail["LogDir"] = (base + "\\Logs").c_str();
        mail["DebugLog"] = (base + "\\Logs\\DebugLog *.txt").c_str();
        mail["Retry Timeout"] = 1;
        CreateDirectoryA(outbox_.c_str(), nullptr);
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
        DWORD start = GetTickCount();
        while (CountFiles(archive_) < count) {
            if (GetTickCount() - start > kGiveUpMs) return -1;
            Sleep(1);
        }
        return Now();
    }
    bool WaitOutboxEmpty() {
        DWORD start = GetTickCount();
        while (CountFiles(outbox_) != 0) {
            if (GetTickCount() - start > kGiveUpMs) return false;
            Sleep(1);
        }
        return true;
    }

    // Messages submitted one after another to the running service.
    bool Live(const MessageKind& kind, int n) {
        size_t before = CountFiles(archive_);
        double start = Now();
        for (int i = 0; i < n; ++i)
            if (!Submit(kind)) return false;
        double submitted = Now();
        double done = WaitArchived(before + n);
        if (done < 0 || !WaitOutboxEmpty()) return Fail(kind, "live");
        std::printf("  %-22s submitted while running: %4d in %6.2f s = %7.1f messages/s (submitting took %.2f s)\n",
                    kind.name, n, done - start, n / (done - start), submitted - start);
        return true;
    }

    // Messages queued while the service stood, then delivered after its start.
    bool Queued(const MessageKind& kind, int n) {
        PostvaneStop(1);
        size_t before = CountFiles(archive_);
        for (int i = 0; i < n; ++i)
            if (!Submit(kind)) return false;
        if (!PostvaneStart()) return Fail(kind, "start");
        double first = WaitArchived(before + 1);
        double done = WaitArchived(before + n);
        if (first < 0 || done < 0 || !WaitOutboxEmpty()) return Fail(kind, "queued");
        std::printf("  %-22s queued before the start: %4d in %6.2f s = %7.1f messages/s (first to last)\n", kind.name,
                    n, done - first, (n - 1) / (done - first));
        return true;
    }

    // Single messages to an idle service: SmtpSendMail returning to the archive copy.
    bool Latency(const MessageKind& kind, int n) {
        std::vector<double> ms;
        for (int i = 0; i < n; ++i) {
            size_t before = CountFiles(archive_);
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
        return true;
    }

private:
    bool Fail(const MessageKind& kind, const char* what) {
        std::printf("  %s %s: the messages did not leave the outbox (%zu files stay)\n", kind.name, what,
                    CountFiles(outbox_));
        return false;
    }
    std::string outbox_, archive_;
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
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string option = argv[i];
        if (option == "--sink") sink = argv[i + 1];
        else if (option == "--small") small = std::atoi(argv[i + 1]);
        else if (option == "--large") large = std::atoi(argv[i + 1]);
        else if (option == "--single") single = std::atoi(argv[i + 1]);
    }
    if (small < 2 || large < 2 || single < 1 || (sink != "rule" && sink != "smtp-sink" && sink != "both")) {
        std::fprintf(stderr, "usage: bench_delivery [--sink rule|smtp-sink|both] [--small N>1] [--large N>1] [--single N]\n");
        return 2;
    }
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
    PrivateRegistry registry;
    SetDnsClient(LocalDns, FreeLocalDns);
    {
        RegKey smtp(HKEY_LOCAL_MACHINE, kSmtpKeyPath, true, RegKey::AllAccess);
        smtp["Server"] = "127.0.0.1";
        smtp["Login"] = kLogin;
        smtp["ReversePath"] = "bench@example.test";
        StoreSecret(kSecretDescription, smtp.Handle(), "Pass", kPassword);
    }
    bool ok = true;
    if (sink != "smtp-sink") {
        smtppeer::RuleServer server;
        ok = Run("rule server (in-process)", server.Port(), small, large, single) && ok;
    }
    if (sink != "rule") {
        smtppeer::HostPeer::Options o;
        o.server = "smtp-sink";
        smtppeer::HostPeer peer(o);
        if (!peer.Started()) {
            std::printf("smtp-sink did not start: %s\n", peer.Error().c_str());
            ok = false;
        } else {
            ok = Run("smtp-sink (host process)", peer.Port(), small, large, single) && ok;
        }
    }
    WSACleanup();
    return ok ? 0 : 1;
}
