// Delivery over a slow link: messages queued while the service stood, then delivered by the
// running service through a relay (host_peer.py's delay) that holds every byte, each
// connection request and each close for half a round trip. Prints, for each server, TLS mode
// and round trip, the round trips per message, the SMTP sessions, and the wall time from the
// first connection to the last archive copy. A round trip is a turn of the traffic the relay
// saw: the server's bytes after the client's, which the client waited for; the connection
// request counts as the client's bytes, so that the greeting is a round trip too.
//
//   bench_roundtrips.exe [--rtt MS[,MS...]] [--messages N] [--server postfix|aiosmtpd|all]
//                        [--tls plain|starttls|both]
//
// The servers are host_peer.py's: a private Postfix set up for submission with SASL (it
// offers PIPELINING and CHUNKING; once with CHUNKING taken out of its EHLO reply), in plain
// text or with STARTTLS required, and aiosmtpd with AUTH (it offers neither). The registry is
// a private key and the directories temporary ones, removed at the end; the DNS check of the
// EHLO name is answered in-process.
#include "BenchSupport.h"
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>
#include "Globals.h"
#include "Resolver.h"
#include "Submit.h"

using namespace Postvane;
using namespace bench;

namespace {

const DWORD kGiveUpMs = 600000;  // a row that takes longer than this is broken, not slow
const DWORD kLookMs = 5;         // between two counts of the archive: a few ms against 20 and more per round trip

// One server set-up: how host_peer.py starts it for plain text and for STARTTLS.
struct ServerKind {
    const char* name;
    const char* offers;  // what its EHLO reply offers of PIPELINING and CHUNKING
    const char* family;  // what --server chooses
    const char* plain;
    const char* starttls;
};

const ServerKind kServers[] = {
    {"postfix smtpd + SASL", "PIPELINING CHUNKING", "postfix", "--plain postfix", "postfix"},
    {"postfix smtpd + SASL", "PIPELINING", "postfix", "--plain --no-chunking postfix", "--no-chunking postfix"},
    {"aiosmtpd + AUTH", "neither", "aiosmtpd", "--auth-required aiosmtpd",
     "--auth-required --tls starttls --require-tls aiosmtpd"},
};

// The relay of one row and the times, on this program's clock, of the connections it took
// and of the turns it saw.
class SlowLink {
public:
    SlowLink(int rttMs, unsigned short to)
        : script_("--rtt " + std::to_string(rttMs) + " --to " + std::to_string(to) + " delay",
                  [this](const std::string& line) { Note(line); }) {}
    bool Started() const { return script_.Started(); }
    const std::string& Error() const { return script_.Error(); }
    unsigned short Port() const { return script_.Port(); }
    // Connections and turns up to the time until (of Now()).
    size_t Connections(double until) const { return Before(opens_, until); }
    size_t Turns(double until) const { return Before(turns_, until); }
    // The time of the first connection, negative before it.
    double FirstConnection() const {
        std::lock_guard<std::mutex> guard(lock_);
        return opens_.empty() ? -1 : opens_.front();
    }

private:
    void Note(const std::string& line) {
        double now = Now();
        std::lock_guard<std::mutex> guard(lock_);
        if (line.compare(0, 5, "OPEN ") == 0) opens_.push_back(now);
        else if (line.compare(0, 5, "TURN ") == 0) turns_.push_back(now);
    }
    size_t Before(const std::vector<double>& times, double until) const {
        std::lock_guard<std::mutex> guard(lock_);
        size_t n = 0;
        for (double t : times)
            if (t <= until) ++n;
        return n;
    }

    mutable std::mutex lock_;
    std::vector<double> opens_, turns_;
    HostScript script_;  // last: its reader calls Note, which uses the members above
};


// The text of about 2 KiB messages: lines of 74 characters up to textSize bytes.
std::string MessageText(size_t textSize) {
    std::string text, line(74, 'x');
    for (size_t i = 0; text.size() < textSize; ++i) {
        line[0] = char('A' + i % 26);
        text += line + "\r\n";
    }
    return text;
}

bool Submit(const std::string& text) {
    SmtpMail mail = {};
    mail.Size = sizeof mail;
    mail.To = "sink@example.test";
    mail.Subject = "benchmark";
    mail.Text = text.c_str();
    if (SmtpSendMail(&mail)) return true;
    std::printf("  SmtpSendMail refused, last error %lu\n", GetLastError());
    return false;
}

// The end of each of the service's log files in dir, to show why a row failed.
void ShowLogTail(const std::string& dir) {
    for (const std::string& name : testing_support::ListDir(dir)) {
        std::string text = testing_support::ReadFileBytes(dir + "\\" + name);
        std::printf("    %s, the end:\n%s\n", name.c_str(), text.substr(text.size() > 1200 ? text.size() - 1200 : 0).c_str());
    }
}

// One row: the server started, the relay in front of it, messages queued, the service run
// until the archive holds them all.
bool Row(const ServerKind& server, bool tls, int rttMs, int messages, const std::string& certificates) {
    std::string common = " --certs \"" + smtppeer::UnixPath(certificates) + "\" --login " + kLogin +
                         " --password " + kPassword + " ";
    HostScript peer(common + (tls ? server.starttls : server.plain));
    const char* mode = tls ? "STARTTLS" : "plain";
    std::printf("  %-21s %-19s %-8s %4d ", server.name, server.offers, mode, rttMs);
    std::fflush(stdout);
    if (!peer.Started()) {
        std::printf("the server did not start: %s\n", peer.Error().c_str());
        return false;
    }
    SlowLink link(rttMs, peer.Port());
    if (!link.Started()) {
        std::printf("the relay did not start: %s\n", link.Error().c_str());
        return false;
    }
    testing_support::TempDir dir;
    std::string outbox = dir / "Outbox", archive = dir / "Sent", logs = dir / "Logs";
    CreateDirectoryA(outbox.c_str(), nullptr);
    CreateDirectoryA(archive.c_str(), nullptr);
    testing_support::SetRegText(testing_support::kMailKey, "OutboxDir", outbox);
    testing_support::SetRegText(testing_support::kMailKey, "ArchiveDir", archive);
    testing_support::SetRegText(testing_support::kMailKey, "BadMailDir", dir / "Bad");
    testing_support::SetRegText(testing_support::kMailKey, "LogDir", logs);
    testing_support::SetRegText(testing_support::kMailKey, "DebugLog", logs + "\\DebugLog *.txt");
    testing_support::SetRegNumber(testing_support::kMailKey, "Retry Timeout", 1);
    testing_support::SetRegText(testing_support::kSmtpKey, "Port", std::to_string(link.Port()));
    testing_support::SetRegNumber(testing_support::kSmtpKey, "Tls", tls ? 1 : 0);
    testing_support::SetRegText(testing_support::kSmtpKey, "TlsRootCertificate", certificates + "\\root.pem");

    std::string text = MessageText(2048 - 600);  // with the headers, a message file of about 2 KiB
    for (int i = 0; i < messages; ++i)
        if (!Submit(text)) return false;
    if (!PostvaneStart()) {
        std::printf("the service did not start, error %lu\n", GetLastError());
        return false;
    }
    DWORD start = GetTickCount();
    double done = -1;
    while (GetTickCount() - start < kGiveUpMs) {
        if (CountFiles(archive) >= size_t(messages)) {
            done = Now();
            break;
        }
        Sleep(kLookMs);
    }
    PostvaneStop(1);
    double first = link.FirstConnection();
    if (done < 0 || first < 0) {
        std::printf("the messages were not delivered (%zu of %d archived, %zu in the outbox)\n", CountFiles(archive),
                    messages, CountFiles(outbox));
        ShowLogTail(logs);
        return false;
    }
    std::printf("%8d %9.2f %8zu %8.2f\n", messages, double(link.Turns(done)) / messages, link.Connections(done),
                done - first);
    return true;
}

std::vector<int> Numbers(const std::string& list) {
    std::vector<int> numbers;
    for (size_t at = 0; at < list.size();) {
        size_t comma = list.find(',', at);
        if (comma == std::string::npos) comma = list.size();
        numbers.push_back(std::atoi(list.substr(at, comma - at).c_str()));
        at = comma + 1;
    }
    return numbers;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<int> rtts = {20, 100};
    int messages = 50;
    std::string server = "all", tls = "both";
    bool usable = true;
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string option = argv[i];
        if (option == "--rtt") rtts = Numbers(argv[i + 1]);
        else if (option == "--messages") messages = std::atoi(argv[i + 1]);
        else if (option == "--server") server = argv[i + 1];
        else if (option == "--tls") tls = argv[i + 1];
        else usable = false;
    }
    for (int rtt : rtts) usable = usable && rtt >= 0;
    if (!usable || argc % 2 == 0 || messages < 1 || rtts.empty() ||
        (server != "postfix" && server != "aiosmtpd" && server != "all") ||
        (tls != "plain" && tls != "starttls" && tls != "both")) {
        std::fprintf(stderr, "usage: bench_roundtrips [--rtt MS[,MS...]] [--messages N] [--server postfix|aiosmtpd|all] "
                             "[--tls plain|starttls|both]\n");
        return 2;
    }
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
    PrivateRegistry registry;
    SetDnsClient(LocalDns, FreeLocalDns);
    ConfigureAccount();
    testing_support::TempDir certificates;
    std::string made = smtppeer::MakeTestCertificates(certificates.Path());
    if (!made.empty()) {
        std::printf("%s\n", made.c_str());
        return 1;
    }
    bool ok = true;
    std::printf("  %-21s %-19s %-8s %4s %8s %9s %8s %8s\n", "server", "offers", "TLS", "RTT", "messages",
                "RT/message", "sessions", "seconds");
    for (int rtt : rtts)
        for (const ServerKind& kind : kServers) {
            if (server != "all" && server != kind.family) continue;
            for (int withTls = 0; withTls < 2; ++withTls)
                if (tls == "both" || (tls == "starttls") == (withTls == 1))
                    ok = Row(kind, withTls == 1, rtt, messages, certificates.Path()) && ok;
        }
    WSACleanup();
    return ok ? 0 : 1;
}
