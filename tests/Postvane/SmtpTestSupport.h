// What the SMTP client tests share: a service object with short reply time-outs, the SMTP
// settings in the isolated registry, a name service that answers from the test's table
// (no DNS traffic), and the service log captured in a file.
#pragma once
#include <gtest/gtest.h>
#include <functional>
#include <string>
#include <thread>
#include <vector>
#include "Globals.h"
#include "MailService.h"
#include "Resolver.h"
#include "Secret.h"
#include "SmtpDialogue.h"
#include "SmtpPeer.h"
#include "SmtpTransport.h"
#include "TestSupport.h"

namespace smtptest {

using testing_support::kSmtpKey;
const char kLogin[] = "kiosk-7";
const char kPassword[] = "s3cret pass";
const char kSender[] = "kiosk@example.test";
const char kStopText[] = "Обнаружен запрос на завершение работы сервиса";

struct Winsock {
    Winsock() {
        WSADATA data;
        WSAStartup(MAKEWORD(2, 2), &data);
    }
    ~Winsock() { WSACleanup(); }
};

// The service log written to a file of the test's own.
class LogCapture {
public:
    LogCapture() : path_(dir_ / "service.log") { Postvane::ServiceLog().SetLogPath(path_.c_str()); }
    ~LogCapture() { Postvane::ServiceLog().SetLogPath(nullptr); }
    std::string Text() const {
        return testing_support::PathExists(path_) ? testing_support::ReadFileBytes(path_) : std::string();
    }
    size_t Count(const std::string& what) const {
        std::string text = Text();
        size_t n = 0;
        for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
        return n;
    }
private:
    testing_support::TempDir dir_;
    std::string path_;
};

// A name service of the test's own: the reverse name of every address and the DNS answer
// for every name. Resolution of server names still goes to the real resolver.
struct FakeNames {
    struct Record {
        WORD type;
        const char* address;  // dotted, for A records
    };
    static std::string& ReverseName() { static std::string name = "kiosk.example.test"; return name; }
    static DNS_STATUS& Status() { static DNS_STATUS status = 0; return status; }
    static std::vector<Record>& Answer() { static std::vector<Record> answer; return answer; }
    static std::vector<std::string>& Queries() { static std::vector<std::string> queries; return queries; }

    static int WSAAPI GetNameInfo(const sockaddr*, socklen_t, char* host, DWORD hostLength, char*, DWORD, int) {
        if (ReverseName().empty() || ReverseName().size() + 1 > hostLength) return WSAHOST_NOT_FOUND;
        std::memcpy(host, ReverseName().c_str(), ReverseName().size() + 1);
        return 0;
    }
    static DNS_STATUS WINAPI Query(PCSTR name, WORD, DWORD, PIP4_ARRAY, PDNS_RECORD* result, PVOID*) {
        Queries().push_back(name);
        *result = nullptr;
        if (Status() != 0) return Status();
        PDNS_RECORD* tail = result;
        for (const Record& r : Answer()) {
            PDNS_RECORD record = new DNS_RECORDA();
            record->wType = r.type;
            if (r.type == DNS_TYPE_A) record->Data.A.IpAddress = inet_addr(r.address);
            *tail = record;
            tail = &record->pNext;
        }
        return 0;
    }
    static VOID WINAPI Free(PVOID list, DNS_FREE_TYPE) {
        PDNS_RECORD r = static_cast<PDNS_RECORD>(list);
        while (r) {
            PDNS_RECORD next = r->pNext;
            delete r;
            r = next;
        }
    }
    // Puts the fake in place: reverseName for every address, an A record of address.
    static void Install(const std::string& reverseName, const char* address) {
        static Postvane::ResolverFunctions functions;
        Postvane::SetResolverFunctions(nullptr);
        const Postvane::ResolverFunctions& real = Postvane::Resolver();
        functions = {real.getaddrinfo, GetNameInfo, real.freeaddrinfo, real.builtIn};
        Postvane::SetResolverFunctions(&functions);
        Postvane::SetDnsClient(Query, Free);
        ReverseName() = reverseName;
        Status() = 0;
        Answer().assign(1, Record{DNS_TYPE_A, address});
        Queries().clear();
    }
    static void Remove() {
        Postvane::SetResolverFunctions(nullptr);
        Postvane::SetDnsClient(nullptr, nullptr);
    }
};

// Sets the stop event after a delay, from a thread of its own.
class StopLater {
public:
    StopLater(Postvane::MailService& service, DWORD ms)
        : thread_([&service, ms] {
              Sleep(ms);
              service.stopEvent.Set();
          }) {}
    ~StopLater() { thread_.join(); }
private:
    std::thread thread_;
};

// The text of the QuilletException that f raises, or "<nothing raised>".
inline std::string Raised(const std::function<void()>& f) {
    try {
        f();
    } catch (const QuilletException& e) {
        return e.Reason().str();
    }
    return "<nothing raised>";
}

inline void StorePassword(const char* password) {
    RegKey key(HKEY_LOCAL_MACHINE, kSmtpKey, true, RegKey::AllAccess);
    ASSERT_TRUE(StoreSecret(kSecretDescription, key.Handle(), "Pass", password)) << "error " << GetLastError();
}

// A service object, SMTP settings for 127.0.0.1 and time-outs of a few seconds.
class SmtpFixture : public ::testing::Test {
protected:
    void SetUp() override {
        saved_ = Postvane::ReplyTimeouts();
        Postvane::SmtpTimeouts& t = Postvane::ReplyTimeouts();
        t.greeting = t.hello = t.auth = t.mailFrom = t.rcptTo = t.dataInit = t.dataEnd = t.quit = 5000;
        FakeNames::Install("kiosk.example.test", "127.0.0.1");
        testing_support::SetRegText(kSmtpKey, "Server", "127.0.0.1");
        testing_support::SetRegText(kSmtpKey, "Login", kLogin);
        testing_support::SetRegText(kSmtpKey, "ReversePath", kSender);
        StorePassword(kPassword);
    }
    void TearDown() override {
        Postvane::SmtpDisconnect(service.session);
        Postvane::ReplyTimeouts() = saved_;
        Postvane::SetSmtpTraceSink(nullptr, nullptr);
        FakeNames::Remove();
    }
    void UsePort(unsigned short port) { testing_support::SetRegText(kSmtpKey, "Port", std::to_string(port)); }
    // Starts the script and connects to it.
    void Connect(smtppeer::ScriptedServer& server) {
        UsePort(server.Port());
        server.Start();
        ASSERT_TRUE(Postvane::SmtpConnect(service.session));
    }

    Winsock winsock;
    LogCapture log;
    Postvane::MailService service;
    Postvane::SmtpTimeouts saved_;
};

}  // namespace smtptest
