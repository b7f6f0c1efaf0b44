#include "Resolver.h"
#include <atomic>
#include <cstddef>
#include <map>
#include <mutex>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>
#include "Globals.h"
#include "ServiceLog.h"
#include "qlframe.h"

namespace Postvane {

namespace {

const DWORD kHostBufferSize = NI_MAXHOST;  // 1025: the longest name a reverse lookup returns
const size_t kMaxHostNameLength = 255;      // longest domain name in its text form
const size_t kMaxLabelLength = 63;          // longest label of a domain name

std::atomic<const ResolverFunctions*> g_resolverOverride{nullptr};
std::atomic<DnsQueryFunction> g_dnsQuery{nullptr};
std::atomic<DnsFreeFunction> g_dnsFree{nullptr};

template <class F>
F Export(HMODULE module, const char* name) {
    return reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

// Decides once which implementation serves getaddrinfo, getnameinfo and freeaddrinfo.
// A library that qualifies stays loaded for the life of the process.
ResolverFunctions BindResolver() {
    const ResolverFunctions builtIn = {Fallback::GetAddrInfoIPv4, Fallback::GetNameInfoIPv4,
                                       Fallback::FreeAddrInfoIPv4, true};
    static const char* const kLibraries[] = {"ws2_32", "wship6"};
    for (const char* name : kLibraries) {
        HMODULE module = LoadLibraryA(name);
        if (!module) continue;
        GetAddrInfoFunction getaddrinfo = Export<GetAddrInfoFunction>(module, "getaddrinfo");
        if (!getaddrinfo) {
            FreeLibrary(module);
            continue;
        }
        GetNameInfoFunction getnameinfo = Export<GetNameInfoFunction>(module, "getnameinfo");
        FreeAddrInfoFunction freeaddrinfo = Export<FreeAddrInfoFunction>(module, "freeaddrinfo");
        if (getnameinfo && freeaddrinfo) return {getaddrinfo, getnameinfo, freeaddrinfo, false};
        // getaddrinfo alone is no use: results must be freed by the library that made them.
        FreeLibrary(module);
        break;
    }
    return builtIn;
}

struct DnsClient {
    DnsQueryFunction query;
    DnsFreeFunction free;
};

// The system's DNS client, bound at first use so that the library does not depend on
// dnsapi.dll at load time. Without it every query fails with ERROR_MOD_NOT_FOUND.
const DnsClient& SystemDnsClient() {
    static const DnsClient client = [] {
        DnsClient c = {nullptr, nullptr};
        HMODULE module = LoadLibraryA("dnsapi");
        if (!module) return c;
        c.query = Export<DnsQueryFunction>(module, "DnsQuery_A");
        c.free = Export<DnsFreeFunction>(module, "DnsRecordListFree");
        if (!c.query || !c.free) {
            FreeLibrary(module);
            c = DnsClient{nullptr, nullptr};
        }
        return c;
    }();
    return client;
}

}  // namespace

const ResolverFunctions& Resolver() {
    const ResolverFunctions* replacement = g_resolverOverride.load();
    if (replacement) return *replacement;
    static const ResolverFunctions bound = BindResolver();
    return bound;
}

void SetResolverFunctions(const ResolverFunctions* replacement) {
    g_resolverOverride.store(replacement);
    ForgetDnsChecks();
}

void SetDnsClient(DnsQueryFunction query, DnsFreeFunction free) {
    g_dnsQuery.store(query);
    g_dnsFree.store(free);
    ForgetDnsChecks();
}

// ---- AddrInfoRequest ----------------------------------------------------------------

AddrInfoRequest::AddrInfoRequest(int family, int socketType, int protocol)
    : family(family), socketType(socketType), protocol(protocol), result(nullptr) {}

AddrInfoRequest::~AddrInfoRequest() { Free(); }

const addrinfo* AddrInfoRequest::Resolve(const char* host, const char* service) {
    Free();
    addrinfo hints;
    std::memset(&hints, 0, sizeof hints);
    hints.ai_family = family;
    hints.ai_socktype = socketType;
    hints.ai_protocol = protocol;
    addrinfo* chain = nullptr;
    const ResolverFunctions& resolver = Resolver();
    if (resolver.getaddrinfo(host, service, &hints, &chain) != 0) {
        if (chain) {
            int error = WSAGetLastError();  // freeing must not hide the resolver's status
            resolver.freeaddrinfo(chain);
            WSASetLastError(error);
        }
        return nullptr;
    }
    result = chain;
    return result;
}

void AddrInfoRequest::Free() {
    if (!result) return;
    Resolver().freeaddrinfo(result);
    result = nullptr;
}

// ---- Host names -----------------------------------------------------------------------

namespace {

sockaddr_in AsSocketAddress(const in_addr& address) {
    sockaddr_in socketAddress;
    std::memset(&socketAddress, 0, sizeof socketAddress);
    socketAddress.sin_family = AF_INET;
    socketAddress.sin_addr = address;
    return socketAddress;
}

const sockaddr* Generic(const sockaddr_in& address) { return reinterpret_cast<const sockaddr*>(&address); }

}  // namespace

string AddressLiteral(const in_addr& address) {
    sockaddr_in socketAddress = AsSocketAddress(address);
    return AddressLiteral(Generic(socketAddress));
}

string AddressLiteral(const sockaddr* address) {
    char text[INET6_ADDRSTRLEN] = "";
    if (address->sa_family == AF_INET6) {
        const sockaddr_in6* v6 = reinterpret_cast<const sockaddr_in6*>(address);
        inet_ntop(AF_INET6, const_cast<in6_addr*>(&v6->sin6_addr), text, sizeof text);
        return string("[IPv6:") + text + "]";
    }
    const char* dotted = inet_ntoa(reinterpret_cast<const sockaddr_in*>(address)->sin_addr);
    return string("[") + (dotted ? dotted : "") + "]";
}

string LookupHostName(const in_addr& address, bool quiet) {
    sockaddr_in socketAddress = AsSocketAddress(address);
    return LookupHostName(Generic(socketAddress), quiet);
}

string LookupHostName(const sockaddr* address, bool quiet) {
    // The address alone, port 0: the name belongs to the address.
    sockaddr_storage query;
    std::memset(&query, 0, sizeof query);
    socklen_t length = sizeof(sockaddr_in);
    if (address->sa_family == AF_INET6) {
        sockaddr_in6* v6 = reinterpret_cast<sockaddr_in6*>(&query);
        v6->sin6_family = AF_INET6;
        v6->sin6_addr = reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr;
        length = sizeof(sockaddr_in6);
    } else {
        sockaddr_in* v4 = reinterpret_cast<sockaddr_in*>(&query);
        v4->sin_family = AF_INET;
        v4->sin_addr = reinterpret_cast<const sockaddr_in*>(address)->sin_addr;
    }
    char host[kHostBufferSize];
    host[0] = '\0';
    int status = Resolver().getnameinfo(reinterpret_cast<const sockaddr*>(&query), length, host, sizeof host, nullptr, 0,
                                        NI_NAMEREQD);
    if (status == 0) return string(host);
    return quiet ? string("") : AddressLiteral(address);
}

bool CheckNameInDns(const string& name, const in_addr& address) {
    sockaddr_in socketAddress = AsSocketAddress(address);
    return CheckNameInDns(name, Generic(socketAddress));
}

namespace {

// One DNS query, shared by the caller that waits for it and the thread that makes it: the
// last of the two to let go deletes it, so a query that outlasts its wait ends on its own.
struct DnsQueryJob {
    volatile LONG holders = 2;
    std::string name;
    WORD type = DNS_TYPE_A;
    sockaddr_storage address;
    DnsQueryFunction query = nullptr;
    DnsFreeFunction free = nullptr;
    DNS_STATUS status = 0;
    bool found = false;
    AHandle done;  // set when the query has returned

    void Run() {
        PDNS_RECORD records = nullptr;
        status = query ? query(name.c_str(), type, DNS_QUERY_STANDARD, nullptr, &records, nullptr)
                       : DNS_STATUS(ERROR_MOD_NOT_FOUND);
        if (status == 0) {
            bool v6 = address.ss_family == AF_INET6;
            for (PDNS_RECORD r = records; r && !found; r = r->pNext) {
                if (r->wType != type) continue;
                if (v6)
                    found = std::memcmp(&r->Data.AAAA.Ip6Address,
                                        &reinterpret_cast<const sockaddr_in6*>(&address)->sin6_addr,
                                        sizeof(IP6_ADDRESS)) == 0;
                else
                    found = r->Data.A.IpAddress == reinterpret_cast<const sockaddr_in*>(&address)->sin_addr.s_addr;
            }
        }
        if (records && free) free(records, DnsFreeRecordList);
    }
    void Release() {
        if (InterlockedDecrement(&holders) != 0) return;
        delete this;
    }
};

// The thread of one query. It keeps the module that holds this code loaded until it has
// returned, so that a library unloaded meanwhile is not pulled from under it.
DWORD WINAPI DnsQueryThread(void* argument) {
    DnsQueryJob* job = static_cast<DnsQueryJob*>(argument);
    HMODULE self = nullptr;
    GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCSTR>(&DnsQueryThread), &self);
    job->Run();
    SetEvent(job->done.Get());
    job->Release();
    if (self) FreeLibraryAndExitThread(self, 0);
    return 0;
}

std::atomic<DWORD> g_dnsCheckLimitMs{kDnsCheckLimitMs};

// What the checks of this service run found: one verdict per name and address, and whether
// a failed check has been logged.
struct DnsCheckMemory {
    std::mutex lock;
    std::map<std::string, bool> verdicts;
    bool failureLogged = false;
};
DnsCheckMemory& Memory() {
    static DnsCheckMemory memory;
    return memory;
}

std::string VerdictKey(const string& name, const sockaddr* address) {
    std::string key(reinterpret_cast<const char*>(address),
                    address->sa_family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in));
    // The port plays no part.
    if (address->sa_family == AF_INET6) std::memset(&key[offsetof(sockaddr_in6, sin6_port)], 0, 2);
    else std::memset(&key[offsetof(sockaddr_in, sin_port)], 0, 2);
    std::string lower = name.str();
    for (char& c : lower)
        if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
    return lower + '\0' + key;
}

// Writes a failed check once per service run.
void LogFailedCheck(const string& text) {
    DnsCheckMemory& memory = Memory();
    {
        std::lock_guard<std::mutex> guard(memory.lock);
        if (memory.failureLogged) return;
        memory.failureLogged = true;
    }
    ServiceLog().WriteText(Runlog::Error, text);
}

}  // namespace

void ForgetDnsChecks() {
    DnsCheckMemory& memory = Memory();
    std::lock_guard<std::mutex> guard(memory.lock);
    memory.verdicts.clear();
    memory.failureLogged = false;
}

void SetDnsCheckLimit(DWORD ms) { g_dnsCheckLimitMs.store(ms ? ms : kDnsCheckLimitMs); }

bool CheckNameInDns(const string& name, const sockaddr* address) {
    if (name.IsEmpty()) return false;
    std::string key = VerdictKey(name, address);
    {
        DnsCheckMemory& memory = Memory();
        std::lock_guard<std::mutex> guard(memory.lock);
        auto known = memory.verdicts.find(key);
        if (known != memory.verdicts.end()) return known->second;
    }
    DnsQueryJob* job = new DnsQueryJob;
    job->name = name.str();
    job->type = address->sa_family == AF_INET6 ? DNS_TYPE_AAAA : DNS_TYPE_A;
    std::memset(&job->address, 0, sizeof job->address);
    std::memcpy(&job->address, address, address->sa_family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in));
    job->query = g_dnsQuery.load();
    job->free = g_dnsFree.load();
    if (!job->query || !job->free) {
        const DnsClient& client = SystemDnsClient();
        job->query = client.query;
        job->free = client.free;
    }
    // The query runs on a thread of its own so that a DNS server that does not answer
    // holds delivery up for the limit at most; without a thread it runs here.
    job->done.Attach(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    AHandle thread(job->done.IsValid() ? CreateThread(nullptr, 0, DnsQueryThread, job, 0, nullptr) : nullptr);
    bool answered = true;
    if (thread.IsValid()) {
        answered = WaitForSingleObject(job->done.Get(), g_dnsCheckLimitMs.load()) == WAIT_OBJECT_0;
    } else {
        job->Run();
        InterlockedDecrement(&job->holders);  // no thread holds it
    }
    bool found = answered && job->found;
    if (!answered) {
        LogFailedCheck(FormatBuffer(256, "Проверка DNS не получила ответа за %lu мс для имени ",
                                    static_cast<unsigned long>(g_dnsCheckLimitMs.load())) +
                       LogSafe(name));
    } else if (job->status != 0) {
        // The name is appended, never formatted: a per cent sign in it is only a character.
        LogFailedCheck(FormatBuffer(256, "Ошибка проверки DNS (DNS_STATUS %i) для имени ", int(job->status)) +
                       LogSafe(name));
    }
    job->Release();
    {
        DnsCheckMemory& memory = Memory();
        std::lock_guard<std::mutex> guard(memory.lock);
        memory.verdicts[key] = found;
    }
    return found;
}

bool IsValidHostName(const string& text) {
    const std::string& s = text.str();
    if (s.empty() || s.size() > kMaxHostNameLength) return false;
    size_t label = 0;
    for (size_t i = 0; i < s.size(); ++i) {
        char c = s[i];
        if (c == '.') {
            if (label == 0 || s[i - 1] == '-') return false;
            label = 0;
            continue;
        }
        bool letterOrDigit = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
        if (!letterOrDigit && c != '-') return false;
        if (c == '-' && label == 0) return false;
        if (++label > kMaxLabelLength) return false;
    }
    // A trailing dot (the root) is allowed; a label may not end with a hyphen.
    return s.back() != '-';
}

string ChooseHelloName(const in_addr& localAddress) {
    sockaddr_in socketAddress = AsSocketAddress(localAddress);
    return ChooseHelloName(Generic(socketAddress));
}

bool NeedsNoDnsCheck(const string& name) {
    std::string s = name.str();
    if (!s.empty() && s.back() == '.') s.pop_back();
    if (_stricmp(s.c_str(), "localhost") == 0) return true;
    in6_addr probe;
    return inet_pton(AF_INET, s.c_str(), &probe) == 1 || inet_pton(AF_INET6, s.c_str(), &probe) == 1;
}

string ChooseHelloName(const sockaddr* localAddress) {
    string name = LookupHostName(localAddress, true);
    if (IsValidHostName(name) && !NeedsNoDnsCheck(name) && CheckNameInDns(name, localAddress)) return name;
    return AddressLiteral(localAddress);
}

}  // namespace Postvane
