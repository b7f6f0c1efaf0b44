// Name resolution: the server address, the built-in IPv4 resolver over host and service
// databases of the test's own, and the choice of the name announced in EHLO.
#include <map>
#include "SmtpTestSupport.h"

using namespace Postvane;

namespace smtptest {
namespace {

// Host and service databases answered from tables.
struct FakeDatabases {
    struct Host {
        std::string name;
        std::vector<std::string> addresses;
    };
    static std::map<std::string, Host>& Hosts() { static std::map<std::string, Host> m; return m; }
    static int& HostError() { static int e = WSAHOST_NOT_FOUND; return e; }
    static int& HostLookups() { static int n = 0; return n; }

    static hostent* WSAAPI ByName(const char* name) {
        ++HostLookups();
        auto it = Hosts().find(name);
        if (it == Hosts().end()) {
            WSASetLastError(HostError());
            return nullptr;
        }
        return Fill(it->second);
    }
    static hostent* WSAAPI ByAddress(const char* address, int, int) {
        ++HostLookups();
        in_addr a;
        std::memcpy(&a, address, 4);
        for (auto& entry : Hosts())
            for (const std::string& dotted : entry.second.addresses)
                if (inet_addr(dotted.c_str()) == a.s_addr) return Fill(entry.second);
        WSASetLastError(HostError());
        return nullptr;
    }
    static servent* WSAAPI ServiceByName(const char* name, const char* protocol) {
        static servent entry;
        static char entryName[32];
        if (std::string(name) == "smtp" && std::string(protocol) == "tcp") entry.s_port = htons(25);
        else if (std::string(name) == "domain") entry.s_port = htons(std::string(protocol) == "udp" ? 53 : 5353);
        else return nullptr;
        std::strcpy(entryName, name);
        entry.s_name = entryName;
        return &entry;
    }
    static servent* WSAAPI ServiceByPort(int port, const char* protocol) {
        static servent entry;
        static char smtp[] = "smtp";
        if (ntohs(u_short(port)) != 25 || std::string(protocol) != "tcp") return nullptr;
        entry.s_name = smtp;
        entry.s_port = short(port);
        return &entry;
    }
    static hostent* Fill(const Host& host) {
        static hostent entry;
        static char name[256];
        static in_addr addresses[8];
        static char* list[9];
        std::strcpy(name, host.name.c_str());
        size_t n = 0;
        for (; n < host.addresses.size() && n < 8; ++n) {
            addresses[n].s_addr = inet_addr(host.addresses[n].c_str());
            list[n] = reinterpret_cast<char*>(&addresses[n]);
        }
        list[n] = nullptr;
        entry.h_name = name;
        entry.h_aliases = nullptr;
        entry.h_addrtype = AF_INET;
        entry.h_length = 4;
        entry.h_addr_list = list;
        return &entry;
    }
    static void Install() {
        static const Fallback::Databases databases = {ByName, ByAddress, ServiceByName, ServiceByPort};
        Hosts().clear();
        Hosts()["mail.example.test"] = {"mail.example.test", {"10.0.0.25", "10.0.0.26"}};
        Hosts()["kiosk"] = {"kiosk.branch.example.test", {"10.0.0.7"}};
        HostError() = WSAHOST_NOT_FOUND;
        HostLookups() = 0;
        Fallback::SetDatabases(&databases);
    }
};

class SmtpResolver : public SmtpFixture {
protected:
    void SetUp() override {
        SmtpFixture::SetUp();
        FakeDatabases::Install();
    }
    void TearDown() override {
        Fallback::SetDatabases(nullptr);
        SmtpFixture::TearDown();
    }
};

std::string Dotted(const addrinfo* a) {
    return inet_ntoa(reinterpret_cast<const sockaddr_in*>(a->ai_addr)->sin_addr);
}
int PortOf(const addrinfo* a) { return ntohs(reinterpret_cast<const sockaddr_in*>(a->ai_addr)->sin_port); }

in_addr Address(const char* dotted) {
    in_addr a;
    a.s_addr = inet_addr(dotted);
    return a;
}

TEST_F(SmtpResolver, ResolvesDottedAddressesAndPorts) {
    FakeNames::Remove();  // the resolver bound for the process
    AddrInfoRequest request(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    const addrinfo* a = request.Resolve("127.0.0.1", "587");
    ASSERT_NE(nullptr, a);
    EXPECT_EQ("127.0.0.1", Dotted(a));
    EXPECT_EQ(587, PortOf(a));
    a = request.Resolve("127.0.0.1", "smtp");
    ASSERT_NE(nullptr, a);
    EXPECT_EQ(25, PortOf(a));
    EXPECT_EQ(nullptr, request.Resolve("127.0.0.1", "no-such-service-name"));
    EXPECT_EQ(nullptr, request.result) << "a failed resolution keeps nothing";
}

TEST_F(SmtpResolver, FallbackResolvesNumericHostsNamesAndServices) {
    addrinfo hints = {};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    addrinfo* result = nullptr;
    ASSERT_EQ(0, Fallback::GetAddrInfoIPv4("10.1.2.3", "25", &hints, &result));
    EXPECT_EQ("10.1.2.3", Dotted(result));
    EXPECT_EQ(25, PortOf(result));
    EXPECT_EQ(SOCK_STREAM, result->ai_socktype);
    EXPECT_EQ(IPPROTO_TCP, result->ai_protocol);
    EXPECT_EQ(nullptr, result->ai_next);
    EXPECT_EQ(0, FakeDatabases::HostLookups()) << "a dotted address needs no lookup";
    Fallback::FreeAddrInfoIPv4(result);

    hints.ai_flags = AI_CANONNAME;
    ASSERT_EQ(0, Fallback::GetAddrInfoIPv4("mail.example.test", "smtp", &hints, &result));
    ASSERT_NE(nullptr, result->ai_next);
    EXPECT_EQ("10.0.0.25", Dotted(result));
    EXPECT_EQ("10.0.0.26", Dotted(result->ai_next)) << "every address, in order";
    EXPECT_EQ(25, PortOf(result->ai_next));
    ASSERT_NE(nullptr, result->ai_canonname);
    EXPECT_STREQ("mail.example.test", result->ai_canonname);
    Fallback::FreeAddrInfoIPv4(result);

    // The socket type chooses the services database entry.
    addrinfo datagram = {};
    datagram.ai_family = AF_UNSPEC;
    datagram.ai_socktype = SOCK_DGRAM;
    ASSERT_EQ(0, Fallback::GetAddrInfoIPv4("10.1.2.3", "domain", &datagram, &result));
    EXPECT_EQ(53, PortOf(result));
    EXPECT_EQ(IPPROTO_UDP, result->ai_protocol);
    Fallback::FreeAddrInfoIPv4(result);

    // Through the request, as the connection uses it.
    static const ResolverFunctions builtIn = {Fallback::GetAddrInfoIPv4, Fallback::GetNameInfoIPv4,
                                              Fallback::FreeAddrInfoIPv4, true};
    SetResolverFunctions(&builtIn);
    AddrInfoRequest request(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    const addrinfo* a = request.Resolve("mail.example.test", "2525");
    ASSERT_NE(nullptr, a);
    EXPECT_EQ("10.0.0.25", Dotted(a));
    EXPECT_EQ(2525, PortOf(a));
}

TEST_F(SmtpResolver, FallbackReportsWinsockCodes) {
    addrinfo hints = {};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* result = nullptr;
    auto code = [&](const char* host, const char* service, const addrinfo* h) {
        WSASetLastError(0);
        int r = Fallback::GetAddrInfoIPv4(host, service, h, &result);
        EXPECT_EQ(r, WSAGetLastError()) << "the code is also the last Winsock error";
        EXPECT_EQ(nullptr, result);
        return r;
    };
    EXPECT_EQ(11001, code("unknown.example.test", "25", &hints));
    FakeDatabases::HostError() = WSATRY_AGAIN;
    EXPECT_EQ(11002, code("unknown.example.test", "25", &hints));
    FakeDatabases::HostError() = WSANO_RECOVERY;
    EXPECT_EQ(11003, code("unknown.example.test", "25", &hints));
    EXPECT_EQ(11001, code(nullptr, nullptr, &hints));
    EXPECT_EQ(10109, code("10.1.2.3", "no-such-service", &hints));
    addrinfo numericOnly = hints;
    numericOnly.ai_flags = AI_NUMERICHOST;
    EXPECT_EQ(11001, code("mail.example.test", "25", &numericOnly));
    addrinfo v6 = hints;
    v6.ai_family = AF_INET6;
    EXPECT_EQ(10047, code("10.1.2.3", "25", &v6));
    addrinfo raw = hints;
    raw.ai_socktype = SOCK_RAW;
    EXPECT_EQ(10044, code("10.1.2.3", "25", &raw));
    addrinfo badFlags = hints;
    badFlags.ai_flags = 0x4000;
    EXPECT_EQ(10022, code("10.1.2.3", "25", &badFlags));
}

TEST_F(SmtpResolver, FallbackNamesAddressesAndPorts) {
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr = Address("10.0.0.7");
    address.sin_port = htons(25);
    const sockaddr* sa = reinterpret_cast<const sockaddr*>(&address);
    char host[NI_MAXHOST];
    char service[32];
    ASSERT_EQ(0, Fallback::GetNameInfoIPv4(sa, sizeof address, host, sizeof host, service, sizeof service, 0));
    EXPECT_STREQ("kiosk.branch.example.test", host);
    EXPECT_STREQ("smtp", service);
    ASSERT_EQ(0, Fallback::GetNameInfoIPv4(sa, sizeof address, host, sizeof host, service, sizeof service,
                                           NI_NOFQDN | NI_NUMERICSERV));
    EXPECT_STREQ("kiosk", host);
    EXPECT_STREQ("25", service);
    ASSERT_EQ(0, Fallback::GetNameInfoIPv4(sa, sizeof address, host, sizeof host, nullptr, 0, NI_NUMERICHOST));
    EXPECT_STREQ("10.0.0.7", host);
    EXPECT_EQ(11003, Fallback::GetNameInfoIPv4(sa, sizeof address, host, 5, nullptr, 0, 0))
        << "a name that does not fit the buffer";

    address.sin_addr = Address("10.9.9.9");  // no name
    ASSERT_EQ(0, Fallback::GetNameInfoIPv4(sa, sizeof address, host, sizeof host, nullptr, 0, 0));
    EXPECT_STREQ("10.9.9.9", host) << "without NI_NAMEREQD the dotted address stands in";
    EXPECT_EQ(11001, Fallback::GetNameInfoIPv4(sa, sizeof address, host, sizeof host, nullptr, 0, NI_NAMEREQD));

    sockaddr_in6 v6 = {};
    v6.sin6_family = AF_INET6;
    EXPECT_EQ(10047, Fallback::GetNameInfoIPv4(reinterpret_cast<const sockaddr*>(&v6), sizeof v6, host, sizeof host,
                                               nullptr, 0, 0));
    EXPECT_EQ(10022, Fallback::GetNameInfoIPv4(sa, 8, host, sizeof host, nullptr, 0, 0));
}

TEST_F(SmtpResolver, LooksUpHostNames) {
    static const ResolverFunctions builtIn = {Fallback::GetAddrInfoIPv4, Fallback::GetNameInfoIPv4,
                                              Fallback::FreeAddrInfoIPv4, true};
    SetResolverFunctions(&builtIn);
    EXPECT_EQ("kiosk.branch.example.test", LookupHostName(Address("10.0.0.7"), true).str());
    EXPECT_EQ("", LookupHostName(Address("10.0.0.8"), true).str());
    EXPECT_EQ("[10.0.0.8]", LookupHostName(Address("10.0.0.8"), false).str());
    EXPECT_EQ("[192.168.0.15]", AddressLiteral(Address("192.168.0.15")).str());
}

TEST_F(SmtpResolver, ChoosesTheHelloName) {
    in_addr local = Address("10.0.0.7");
    FakeNames::Install("kiosk.branch.example.test", "10.0.0.7");
    EXPECT_EQ("kiosk.branch.example.test", ChooseHelloName(local).str());
    EXPECT_EQ(std::vector<std::string>{"kiosk.branch.example.test"}, FakeNames::Queries());

    // Each case below stands for a service run of its own: a run checks a name once.
    // An alias reaches the A record through a CNAME.
    ForgetDnsChecks();
    FakeNames::Answer() = {{DNS_TYPE_CNAME, nullptr}, {DNS_TYPE_A, "10.0.0.99"}, {DNS_TYPE_A, "10.0.0.7"}};
    EXPECT_EQ("kiosk.branch.example.test", ChooseHelloName(local).str());

    // Address translation: the name's A records hold another address. No log record.
    ForgetDnsChecks();
    FakeNames::Answer() = {{DNS_TYPE_A, "192.0.2.1"}};
    EXPECT_EQ("[10.0.0.7]", ChooseHelloName(local).str());
    EXPECT_EQ(0u, log.Count("DNS_STATUS"));

    // No reverse name at all.
    FakeNames::ReverseName() = "";
    EXPECT_EQ("[10.0.0.7]", ChooseHelloName(local).str());

    // A failed DNS query: one log record, and the literal.
    ForgetDnsChecks();
    FakeNames::ReverseName() = "kiosk.branch.example.test";
    FakeNames::Status() = 9003;
    EXPECT_EQ("[10.0.0.7]", ChooseHelloName(local).str());
    EXPECT_EQ(1u, log.Count("Ошибка проверки DNS (DNS_STATUS 9003) для имени kiosk.branch.example.test")) << log.Text();
}

// A DNS query that does not return until the test lets it.
struct StalledDns {
    static HANDLE& Release() { static HANDLE h = nullptr; return h; }
    static HANDLE& Returned() { static HANDLE h = nullptr; return h; }
    static DNS_STATUS WINAPI Query(PCSTR name, WORD type, DWORD options, PIP4_ARRAY servers, PDNS_RECORD* result,
                                   PVOID* reserved) {
        WaitForSingleObject(Release(), 30000);
        DNS_STATUS status = FakeNames::Query(name, type, options, servers, result, reserved);
        SetEvent(Returned());
        return status;
    }
};

TEST_F(SmtpResolver, ChecksANameOncePerRunAndNeverWaitsLongForIt) {
    in_addr local = Address("10.0.0.7");
    struct Row {
        const char* reverseName;
        DNS_STATUS status;
        bool stalls;           // the DNS server does not answer
        const char* announced;
        size_t queries;        // over three connections of one run
        size_t logged;         // records of the failed check
    } rows[] = {
        {"kiosk.branch.example.test", 0, false, "kiosk.branch.example.test", 1, 0},
        {"kiosk.branch.example.test", 9003, false, "[10.0.0.7]", 1, 1},
        // Under Wine the reverse name of the loopback address is localhost, which no DNS knows.
        {"localhost", 123, false, "[10.0.0.7]", 0, 0},
        {"LOCALHOST.", 123, false, "[10.0.0.7]", 0, 0},
        {"10.0.0.7", 0, false, "[10.0.0.7]", 0, 0},
        {"kiosk.branch.example.test", 0, true, "[10.0.0.7]", 1, 1},
    };
    const DWORD kLimit = 50;
    SetDnsCheckLimit(kLimit);
    StalledDns::Release() = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    StalledDns::Returned() = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.reverseName) + (row.stalls ? ", stalls" : ""));
        FakeNames::Install(row.reverseName, "10.0.0.7");
        FakeNames::Status() = row.status;
        ResetEvent(StalledDns::Release());
        if (row.stalls) SetDnsClient(StalledDns::Query, FakeNames::Free);
        size_t before = log.Count("для имени ");
        DWORD start = GetTickCount();
        for (int connection = 0; connection < 3; ++connection)
            EXPECT_EQ(row.announced, ChooseHelloName(local).str()) << "connection " << connection;
        DWORD took = GetTickCount() - start;
        EXPECT_GT(kLimit * 20, took) << "a silent DNS server holds delivery up for the limit at most";
        SetEvent(StalledDns::Release());
        if (row.stalls) {
            EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(StalledDns::Returned(), 30000)) << "the query ends on its own";
        }
        EXPECT_EQ(row.queries, FakeNames::Queries().size());
        EXPECT_EQ(row.logged, log.Count("для имени ") - before) << log.Text();

        ForgetDnsChecks();  // the next run checks again
        ResetEvent(StalledDns::Returned());
        ChooseHelloName(local);
        if (row.stalls) WaitForSingleObject(StalledDns::Returned(), 30000);
        EXPECT_EQ(row.queries * 2, FakeNames::Queries().size());
        SetDnsClient(nullptr, nullptr);
    }
    CloseHandle(StalledDns::Release());
    CloseHandle(StalledDns::Returned());
    EXPECT_EQ(1u, log.Count("[2] Проверка DNS не получила ответа за 50 мс для имени kiosk.branch.example.test"))
        << log.Text();
    SetDnsCheckLimit(0);
}

TEST_F(SmtpResolver, WritesTheCheckedNameLiterally) {
    FakeNames::Status() = 123;
    EXPECT_FALSE(CheckNameInDns(string("host%s%n.test"), Address("10.0.0.7")));
    EXPECT_EQ(1u, log.Count("Ошибка проверки DNS (DNS_STATUS 123) для имени host%s%n.test")) << log.Text();
    FakeNames::Queries().clear();
    EXPECT_FALSE(CheckNameInDns(string(""), Address("10.0.0.7")));
    EXPECT_TRUE(FakeNames::Queries().empty()) << "an empty name is not queried";
}

TEST_F(SmtpResolver, AcceptsOnlyHostNamesForHello) {
    for (const char* good : {"kiosk", "kiosk-7.example.test", "a.b.c.", "XN--80AKHBYKNJ4F.test"})
        EXPECT_TRUE(IsValidHostName(string(good))) << good;
    for (const char* bad : {"", "kiosk example", "a..b", ".a", "-a.test", "a-.test", "a_b.test", "a\r\nb",
                            "host%s", "[10.0.0.7]"})
        EXPECT_FALSE(IsValidHostName(string(bad))) << testing_support::Printable(bad);
    EXPECT_FALSE(IsValidHostName(string(std::string(64, 'a') + ".test"))) << "a label over 63 characters";
}

}  // namespace
}  // namespace smtptest
