#include "Resolver.h"
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>
#include "Globals.h"
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

void SetResolverFunctions(const ResolverFunctions* replacement) { g_resolverOverride.store(replacement); }

void SetDnsClient(DnsQueryFunction query, DnsFreeFunction free) {
    g_dnsQuery.store(query);
    g_dnsFree.store(free);
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

string AddressLiteral(const in_addr& address) {
    const char* dotted = inet_ntoa(address);
    return string("[") + (dotted ? dotted : "") + "]";
}

string LookupHostName(const in_addr& address, bool quiet) {
    sockaddr_in socketAddress;
    std::memset(&socketAddress, 0, sizeof socketAddress);
    socketAddress.sin_family = AF_INET;
    socketAddress.sin_addr = address;
    char host[kHostBufferSize];
    host[0] = '\0';
    int status = Resolver().getnameinfo(reinterpret_cast<const sockaddr*>(&socketAddress), sizeof socketAddress, host,
                                        sizeof host, nullptr, 0, NI_NAMEREQD);
    if (status == 0) return string(host);
    return quiet ? string("") : AddressLiteral(address);
}

bool CheckNameInDns(const string& name, const in_addr& address) {
    if (name.IsEmpty()) return false;
    DnsQueryFunction query = g_dnsQuery.load();
    DnsFreeFunction free = g_dnsFree.load();
    if (!query || !free) {
        const DnsClient& client = SystemDnsClient();
        query = client.query;
        free = client.free;
    }
    PDNS_RECORD records = nullptr;
    DNS_STATUS status = query ? query(name.c_str(), DNS_TYPE_A, DNS_QUERY_STANDARD, nullptr, &records, nullptr)
                              : DNS_STATUS(ERROR_MOD_NOT_FOUND);
    bool found = false;
    if (status == 0) {
        for (PDNS_RECORD r = records; r && !found; r = r->pNext)
            found = r->wType == DNS_TYPE_A && r->Data.A.IpAddress == address.s_addr;
    } else {
        // The name is appended, never formatted: a per cent sign in it is only a character.
        string text = FormatBuffer(256, "Ошибка проверки DNS (DNS_STATUS %i) для имени ", int(status));
        ServiceLog().WriteText(Runlog::Error, text + name);
    }
    if (records) free(records, DnsFreeRecordList);
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
    string name = LookupHostName(localAddress, true);
    if (IsValidHostName(name) && CheckNameInDns(name, localAddress)) return name;
    return AddressLiteral(localAddress);
}

// ---- Built-in IPv4 resolver -------------------------------------------------------------

namespace Fallback {

namespace {

const Databases kWinsockDatabases = {::gethostbyname, ::gethostbyaddr, ::getservbyname, ::getservbyport};
std::atomic<const Databases*> g_databases{nullptr};

const Databases& Db() {
    const Databases* d = g_databases.load();
    return d ? *d : kWinsockDatabases;
}

int Fail(int code) {
    WSASetLastError(code);
    return code;
}

// The Winsock code of a failed host lookup, in getaddrinfo's terms.
int HostLookupError() {
    switch (WSAGetLastError()) {
    case WSATRY_AGAIN: return WSATRY_AGAIN;
    case WSANO_RECOVERY: return WSANO_RECOVERY;
    case WSAHOST_NOT_FOUND:
    case WSANO_DATA: return WSAHOST_NOT_FOUND;
    default: return WSANO_RECOVERY;
    }
}

// A decimal port number (1 to 5 digits, at most 65535).
bool ParsePort(const char* text, u_short* port) {
    size_t n = std::strlen(text);
    if (n == 0 || n > 5) return false;
    unsigned long value = 0;
    for (size_t i = 0; i < n; ++i) {
        if (text[i] < '0' || text[i] > '9') return false;
        value = value * 10 + unsigned(text[i] - '0');
    }
    if (value > 65535) return false;
    *port = htons(u_short(value));
    return true;
}

struct SocketKind {
    int type;
    int protocol;
    const char* serviceProtocol;  // the protocol name for the services database
};
const SocketKind kStream = {SOCK_STREAM, IPPROTO_TCP, "tcp"};
const SocketKind kDatagram = {SOCK_DGRAM, IPPROTO_UDP, "udp"};

addrinfo* NewEntry(const SocketKind& kind, int protocol, u_long address, u_short port) {
    // The entry and its socket address in one block, freed by FreeAddrInfo.
    void* block = std::calloc(1, sizeof(addrinfo) + sizeof(sockaddr_in));
    if (!block) return nullptr;
    addrinfo* entry = static_cast<addrinfo*>(block);
    sockaddr_in* socketAddress = reinterpret_cast<sockaddr_in*>(entry + 1);
    socketAddress->sin_family = AF_INET;
    socketAddress->sin_port = port;
    socketAddress->sin_addr.s_addr = address;
    entry->ai_family = AF_INET;
    entry->ai_socktype = kind.type;
    entry->ai_protocol = protocol ? protocol : kind.protocol;
    entry->ai_addrlen = sizeof(sockaddr_in);
    entry->ai_addr = reinterpret_cast<sockaddr*>(socketAddress);
    return entry;
}

const int kKnownFlags = AI_PASSIVE | AI_CANONNAME | AI_NUMERICHOST | AI_NUMERICSERV;

}  // namespace

void SetDatabases(const Databases* replacement) { g_databases.store(replacement); }

int WSAAPI GetAddrInfoIPv4(const char* host, const char* service, const addrinfo* hints, addrinfo** result) {
    if (!result) return Fail(WSAEINVAL);
    *result = nullptr;
    int family = hints ? hints->ai_family : AF_UNSPEC;
    int socketType = hints ? hints->ai_socktype : 0;
    int protocol = hints ? hints->ai_protocol : 0;
    int flags = hints ? hints->ai_flags : 0;
    if (hints && (hints->ai_addrlen || hints->ai_canonname || hints->ai_addr || hints->ai_next))
        return Fail(WSAEINVAL);
    if (flags & ~kKnownFlags) return Fail(WSAEINVAL);
    if (!host && !service) return Fail(WSAHOST_NOT_FOUND);
    if ((flags & AI_CANONNAME) && !host) return Fail(WSAEINVAL);
    if (family != AF_UNSPEC && family != AF_INET) return Fail(WSAEAFNOSUPPORT);

    // The socket kinds asked for, each with its port.
    std::vector<SocketKind> kinds;
    if (socketType == SOCK_STREAM) kinds.push_back(kStream);
    else if (socketType == SOCK_DGRAM) kinds.push_back(kDatagram);
    else if (socketType == 0) {
        if (protocol != IPPROTO_UDP) kinds.push_back(kStream);
        if (protocol != IPPROTO_TCP) kinds.push_back(kDatagram);
    } else {
        return Fail(WSAESOCKTNOSUPPORT);
    }
    std::vector<u_short> ports;
    std::vector<SocketKind> served;
    for (const SocketKind& kind : kinds) {
        u_short port = 0;
        if (service && !ParsePort(service, &port)) {
            if (flags & AI_NUMERICSERV) return Fail(WSAHOST_NOT_FOUND);
            servent* entry = Db().getservbyname(service, kind.serviceProtocol);
            if (!entry) continue;
            port = u_short(entry->s_port);
        }
        served.push_back(kind);
        ports.push_back(port);
    }
    if (served.empty()) return Fail(WSATYPE_NOT_FOUND);

    // The addresses, in the order the host database gives them.
    std::vector<u_long> addresses;
    std::string canonicalName;
    if (!host) {
        addresses.push_back(htonl((flags & AI_PASSIVE) ? INADDR_ANY : INADDR_LOOPBACK));
    } else {
        u_long numeric = inet_addr(host);
        if (numeric != INADDR_NONE || std::strcmp(host, "255.255.255.255") == 0) {
            addresses.push_back(numeric);
            canonicalName = host;
        } else {
            if (flags & AI_NUMERICHOST) return Fail(WSAHOST_NOT_FOUND);
            hostent* entry = Db().gethostbyname(host);
            if (!entry) return Fail(HostLookupError());
            if (entry->h_addrtype != AF_INET || entry->h_length != 4 || !entry->h_addr_list)
                return Fail(WSAHOST_NOT_FOUND);
            for (char** a = entry->h_addr_list; *a; ++a) {
                u_long address;
                std::memcpy(&address, *a, 4);
                addresses.push_back(address);
            }
            if (addresses.empty()) return Fail(WSAHOST_NOT_FOUND);
            canonicalName = entry->h_name ? entry->h_name : host;
        }
    }

    addrinfo* head = nullptr;
    addrinfo** tail = &head;
    for (u_long address : addresses) {
        for (size_t k = 0; k < served.size(); ++k) {
            addrinfo* entry = NewEntry(served[k], protocol, address, ports[k]);
            if (!entry) {
                FreeAddrInfoIPv4(head);
                return Fail(WSA_NOT_ENOUGH_MEMORY);
            }
            *tail = entry;
            tail = &entry->ai_next;
        }
    }
    if (flags & AI_CANONNAME) {
        head->ai_canonname = static_cast<char*>(std::malloc(canonicalName.size() + 1));
        if (!head->ai_canonname) {
            FreeAddrInfoIPv4(head);
            return Fail(WSA_NOT_ENOUGH_MEMORY);
        }
        std::memcpy(head->ai_canonname, canonicalName.c_str(), canonicalName.size() + 1);
    }
    *result = head;
    return 0;
}

int WSAAPI GetNameInfoIPv4(const sockaddr* address, socklen_t length, char* host, DWORD hostLength, char* service,
                       DWORD serviceLength, int flags) {
    if (!address) return Fail(WSAEINVAL);
    if (address->sa_family != AF_INET) return Fail(WSAEAFNOSUPPORT);
    if (length < socklen_t(sizeof(sockaddr_in))) return Fail(WSAEINVAL);
    bool wantHost = host && hostLength;
    bool wantService = service && serviceLength;
    if (!wantHost && !wantService) return Fail(WSAHOST_NOT_FOUND);
    const sockaddr_in* in = reinterpret_cast<const sockaddr_in*>(address);

    std::string hostText;
    if (wantHost) {
        const char* dotted = inet_ntoa(in->sin_addr);
        if (flags & NI_NUMERICHOST) {
            hostText = dotted ? dotted : "";
        } else {
            hostent* entry = Db().gethostbyaddr(reinterpret_cast<const char*>(&in->sin_addr), 4, AF_INET);
            if (entry && entry->h_name && *entry->h_name) {
                hostText = entry->h_name;
                if (flags & NI_NOFQDN) hostText = hostText.substr(0, hostText.find('.'));
            } else if (flags & NI_NAMEREQD) {
                return Fail(WSAGetLastError() == WSATRY_AGAIN ? WSATRY_AGAIN : WSAHOST_NOT_FOUND);
            } else {
                hostText = inet_ntoa(in->sin_addr);
            }
        }
        if (hostText.size() + 1 > hostLength) return Fail(WSANO_RECOVERY);
    }
    std::string serviceText;
    if (wantService) {
        if (!(flags & NI_NUMERICSERV)) {
            servent* entry = Db().getservbyport(in->sin_port, (flags & NI_DGRAM) ? "udp" : "tcp");
            if (entry && entry->s_name) serviceText = entry->s_name;
        }
        if (serviceText.empty()) serviceText = std::to_string(unsigned(ntohs(in->sin_port)));
        if (serviceText.size() + 1 > serviceLength) return Fail(WSANO_RECOVERY);
    }
    if (wantHost) std::memcpy(host, hostText.c_str(), hostText.size() + 1);
    if (wantService) std::memcpy(service, serviceText.c_str(), serviceText.size() + 1);
    return 0;
}

void WSAAPI FreeAddrInfoIPv4(addrinfo* chain) {
    while (chain) {
        addrinfo* next = chain->ai_next;
        std::free(chain->ai_canonname);
        std::free(chain);
        chain = next;
    }
}

}  // namespace Fallback

}  // namespace Postvane
