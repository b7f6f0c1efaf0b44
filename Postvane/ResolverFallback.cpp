// The built-in IPv4 resolver: getaddrinfo, getnameinfo and freeaddrinfo for systems whose
// socket library lacks them, over the host and service databases of Winsock.
#include "Resolver.h"
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace Postvane {

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
