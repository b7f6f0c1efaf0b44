// The Email plugin hosted as a kiosk host hosts it (Email.dll created through COM from its
// registration, session events raised late-bound through IDispatch::Invoke), with the delivery
// service of Postvane.dll running against a local sink. For single messages of about 2 KiB
// sent to an idle service it prints, median and worst:
//   - the host raising "Email.SendMail" to the call returning, which it does as soon as
//     SmtpSendMail has returned (the message file is in the outbox);
//   - the host raising the event to the SENDDONE record in the day's event log.
// A message that arrives while the service takes its pause of 1 s between two outbox passes
// waits for the pause to end: the worst figure shows it.
//
//   bench_email.exe [--sink smtp-sink|rule] [--events N]
//
// "smtp-sink" is Postfix's sink run on the host (the default), "rule" the in-process rule
// server. The registry is a private key and the directories temporary ones, removed at the
// end; the COM registration of Email.dll is the machine's, as a host needs it. The service
// runs in Postvane.dll as shipped, so the DNS check of the EHLO name is the system's.
#include "BenchSupport.h"
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>
#include "Host.h"
#include "Output.h"
#include "RuleServer.h"
#include "Secret.h"
#include "SmtpPeer.h"

namespace {

const DWORD kGiveUpMs = 60000;  // a message that takes longer than this is broken, not slow

// The day's event log of the service, read as it grows: counts its SENDDONE records.
class EventLog {
public:
    explicit EventLog(const std::string& dir) : dir_(dir) {}
    size_t SendDone() {
        if (file_ == INVALID_HANDLE_VALUE) {
            SYSTEMTIME now;
            GetLocalTime(&now);
            char name[32];
            std::snprintf(name, sizeof name, "\\%04u-%02u-%02u.txt", now.wYear, now.wMonth, now.wDay);
            file_ = CreateFileA((dir_ + name).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
            if (file_ == INVALID_HANDLE_VALUE) return 0;
        }
        char buffer[4096];
        DWORD n = 0;
        while (ReadFile(file_, buffer, sizeof buffer, &n, nullptr) && n > 0) {
            pending_.append(buffer, n);
            for (size_t end; (end = pending_.find('\n')) != std::string::npos; pending_.erase(0, end + 1))
                if (pending_.substr(0, end).find("\tSENDDONE") != std::string::npos) ++done_;
        }
        return done_;
    }
    ~EventLog() {
        if (file_ != INVALID_HANDLE_VALUE) CloseHandle(file_);
    }
private:
    std::string dir_;
    HANDLE file_ = INVALID_HANDLE_VALUE;
    std::string pending_;
    size_t done_ = 0;
};

std::string Beside(const char* name) {
    char path[MAX_PATH];
    DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
    std::string dir(path, n);
    return dir.substr(0, dir.find_last_of("\\/") + 1) + name;
}

void PrintFigures(const char* what, std::vector<double> ms) {
    std::sort(ms.begin(), ms.end());
    std::printf("  %-52s median %7.2f ms, worst %7.2f ms (%zu events)\n", what, ms[ms.size() / 2], ms.back(), ms.size());
}

bool Run(const char* sinkName, unsigned short port, int events) {
    char temp[MAX_PATH];
    GetTempPathA(sizeof temp, temp);
    std::string base = std::string(temp) + "pennark-bench-email-" + std::to_string(GetCurrentProcessId());
    CreateDirectoryA(base.c_str(), nullptr);
    {
        RegKey mail(HKEY_LOCAL_MACHINE, testing_support::kMailKey, true, RegKey::AllAccess);
        mail["OutboxDir"] = (base + "\\Outbox").c_str();
        mail["ArchiveDir"] = (base + "\\Sent").c_str();
        mail["BadMailDir"] = (base + "\\Bad").c_str();
        mail["LogDir"] = (base + "\\Logs").c_str();
        mail["DebugLog"] = (base + "\\Logs\\DebugLog *.txt").c_str();
        mail["Retry Timeout"] = 1;
        RegKey smtp(HKEY_LOCAL_MACHINE, testing_support::kSmtpKey, true, RegKey::AllAccess);
        smtp["Port"] = std::to_string(port).c_str();
    }
    // The outbox exists before the service starts: a missing one is only looked for every 5 s.
    CreateDirectoryA((base + "\\Outbox").c_str(), nullptr);
    std::printf("%s:\n", sinkName);
    bool ok = true;
    {
        kiosk::KioskHost host(false);
        if (!host.LoadPlugin(Beside("Email.dll"), "Email")) return false;
        IPennarkSessionExtender* extender = host.Objects().session->extenders.at(0).get();
        kiosk::Session& session = host.CurrentSession();
        session.properties[L"Email.To"] = L"sink@example.test";
        std::wstring text;
        while (text.size() < 2048 - 600) text += L"Квитанция об оплате: строка текста письма для замера.\r\n";
        session.properties[L"Email.Text"] = text;

        EventLog log(base + "\\Logs");
        Sleep(1500);  // past the service's start pause
        std::vector<double> returned, sent;
        for (int i = 0; i < events && ok; ++i) {
            session.properties[L"Email.Subject"] = L"замер " + std::to_wstring(i);
            size_t before = log.SendDone();
            Sleep(50);  // the service is back in its wait
            double start = bench::Now();
            kiosk::CallResult r = kiosk::Invoke(extender, L"OnSessionEvent", {kiosk::Object(&session), kiosk::Text(L"Email.SendMail")});
            double back = bench::Now();
            if (r.Failed()) {
                std::printf("  the event failed: %s\n", kiosk::Describe(r).c_str());
                ok = false;
                break;
            }
            DWORD waited = GetTickCount();
            while (log.SendDone() == before) {
                if (GetTickCount() - waited > kGiveUpMs) {
                    std::printf("  message %d was not sent within %lu s\n", i, kGiveUpMs / 1000);
                    ok = false;
                    break;
                }
                Sleep(1);
            }
            double done = bench::Now();
            returned.push_back((back - start) * 1000.0);
            sent.push_back((done - start) * 1000.0);
        }
        if (ok) {
            PrintFigures("\"Email.SendMail\" raised to SmtpSendMail returned", returned);
            PrintFigures("\"Email.SendMail\" raised to SENDDONE", sent);
        }
        host.Shutdown();  // the terminal extender stops the service
    }
    bench::RemoveTree(base);
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    std::string sink = "smtp-sink";
    int events = 200;
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string option = argv[i];
        if (option == "--sink") sink = argv[i + 1];
        else if (option == "--events") events = std::atoi(argv[i + 1]);
    }
    if (events < 1 || (sink != "rule" && sink != "smtp-sink")) {
        std::fprintf(stderr, "usage: bench_email [--sink smtp-sink|rule] [--events N]\n");
        return 2;
    }
    kiosk::SetReportName("bench_email");
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    bool ok = true;
    {
        bench::PrivateRegistry registry;
        bench::ConfigureAccount();
        if (sink == "rule") {
            smtppeer::RuleServer server;
            ok = Run("rule server (in-process)", server.Port(), events);
        } else {
            ok = bench::WithSmtpSink([&](unsigned short port) { return Run("smtp-sink (host process)", port, events); });
        }
    }
    CoUninitialize();
    WSACleanup();
    return ok ? 0 : 1;
}
