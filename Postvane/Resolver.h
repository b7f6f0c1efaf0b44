// Name resolution for the SMTP client: the server's address, the host name announced in
// EHLO/HELO, and the resolver functions bound at first use with IPv4 fall-backs.
// Nothing here raises an exception: failures show as empty results.
#pragma once
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <windns.h>
#include "core.h"

namespace Postvane {

// One resolution request; owns the resolver's result chain.
class AddrInfoRequest {
public:
    AddrInfoRequest(int family, int socketType, int protocol);
    virtual ~AddrInfoRequest();
    AddrInfoRequest(const AddrInfoRequest&) = delete;
    AddrInfoRequest& operator=(const AddrInfoRequest&) = delete;

    // Resolves host and service (a decimal port or a service name) with the stored hints.
    // Returns the first entry of the chain, or null when resolution failed; an earlier
    // result is released first. The entries live until Free, the next Resolve or the
    // destructor. The resolver's status is not kept: callers report WSAGetLastError.
    const addrinfo* Resolve(const char* host, const char* service);
    // Releases the result chain; harmless when there is none.
    void Free();

    int family;
    int socketType;
    int protocol;
    addrinfo* result;  // released with the freeaddrinfo of the bound resolver
};

// "[" + the dotted address + "]". The address is in network byte order.
string AddressLiteral(const in_addr& address);

// The name of the address by reverse lookup (a name is required: a numeric answer is never
// taken for a name). Without a name: the empty text when quiet, else AddressLiteral.
string LookupHostName(const in_addr& address, bool quiet);

// True when the name has an A record holding exactly this address; CNAME records on the
// way are passed over. An empty name gives false without a query. The check of a name and
// address is made once per service run (ForgetDnsChecks starts afresh); its answer is kept.
// A query that has not returned within the limit (kDnsCheckLimitMs) is given up and gives
// false; it ends on its own thread. A failed or given-up check writes, once per service run,
// "Ошибка проверки DNS (DNS_STATUS %i) для имени <name>" or "Проверка DNS не получила ответа
// за %lu мс для имени <name>" (kind 2) to the service log.
bool CheckNameInDns(const string& name, const in_addr& address);
const DWORD kDnsCheckLimitMs = 1000;
// Forgets the checks made: called when a service run starts, and when the resolver
// functions or the DNS client are replaced.
void ForgetDnsChecks();
// Tests shorten the limit; 0 restores kDnsCheckLimitMs.
void SetDnsCheckLimit(DWORD ms);
// True for a name that no DNS check can confirm: "localhost" and address literals (what a
// reverse lookup may answer for a name it does not know). The address literal is announced
// instead, without a query.
bool NeedsNoDnsCheck(const string& name);

// True when text is a host name that may be announced in EHLO/HELO: labels of letters,
// digits and hyphens, separated by single dots, at most 255 characters. Guards the
// command line against whatever a reverse lookup may return.
bool IsValidHostName(const string& text);

// The name announced in EHLO/HELO for the local address: the reverse-lookup name when
// it is a valid host name that needs a check (NeedsNoDnsCheck false) and CheckNameInDns
// confirms it, else the address literal.
string ChooseHelloName(const in_addr& localAddress);

// The same for a socket address of either family (IPv4 or IPv6, as getsockname gives it).
// The literal of an IPv6 address is "[IPv6:" + the address + "]", as SMTP writes it; the DNS
// check asks for AAAA records for it.
string AddressLiteral(const sockaddr* address);
string LookupHostName(const sockaddr* address, bool quiet);
bool CheckNameInDns(const string& name, const sockaddr* address);
string ChooseHelloName(const sockaddr* localAddress);

// ---- Resolver functions ----------------------------------------------------------

typedef int(WSAAPI* GetAddrInfoFunction)(const char* host, const char* service, const addrinfo* hints,
                                         addrinfo** result);
typedef int(WSAAPI* GetNameInfoFunction)(const sockaddr* address, socklen_t length, char* host, DWORD hostLength,
                                         char* service, DWORD serviceLength, int flags);
typedef void(WSAAPI* FreeAddrInfoFunction)(addrinfo* chain);

// The three functions that serve all resolution: taken together from "ws2_32" (or
// "wship6") when it exports all three, else the built-in IPv4 fall-backs below.
struct ResolverFunctions {
    GetAddrInfoFunction getaddrinfo;
    GetNameInfoFunction getnameinfo;
    FreeAddrInfoFunction freeaddrinfo;
    bool builtIn;  // true when the fall-backs serve
};

// The functions in use; bound once per process at the first call.
const ResolverFunctions& Resolver();
// Tests put their own functions in place; null returns to the bound ones.
void SetResolverFunctions(const ResolverFunctions* replacement);

// The DNS client used by CheckNameInDns: by default DnsQuery_A and DnsRecordListFree of
// dnsapi.dll, bound at first use.
typedef DNS_STATUS(WINAPI* DnsQueryFunction)(PCSTR name, WORD type, DWORD options, PIP4_ARRAY servers,
                                            PDNS_RECORD* result, PVOID* reserved);
typedef VOID(WINAPI* DnsFreeFunction)(PVOID list, DNS_FREE_TYPE type);
// Tests put their own DNS client in place; nulls return to the system's.
void SetDnsClient(DnsQueryFunction query, DnsFreeFunction free);

// Built-in IPv4 implementations of getaddrinfo, getnameinfo and freeaddrinfo for systems
// whose socket library lacks them. They keep the published contracts for AF_INET: numeric
// hosts through inet_addr and names through gethostbyname; services as decimal numbers or
// through getservbyname ("tcp" or "udp" after the socket type); reverse lookups through
// gethostbyaddr with NI_NAMEREQD, NI_NUMERICHOST, NI_NOFQDN, NI_NUMERICSERV and NI_DGRAM;
// port names through getservbyport. Failures return (and set as the last Winsock error)
// 11001 host not found, 11002 try again, 11003 non-recoverable or a result that does not
// fit the caller's buffer, 10022 invalid argument, 10044 socket type not supported,
// 10047 family not supported, 10109 service type not found, 8 out of memory.
namespace Fallback {
int WSAAPI GetAddrInfoIPv4(const char* host, const char* service, const addrinfo* hints, addrinfo** result);
int WSAAPI GetNameInfoIPv4(const sockaddr* address, socklen_t length, char* host, DWORD hostLength, char* service,
                       DWORD serviceLength, int flags);
void WSAAPI FreeAddrInfoIPv4(addrinfo* chain);

// The host and service databases behind the fall-backs (Winsock's own by default).
struct Databases {
    hostent*(WSAAPI* gethostbyname)(const char* name);
    hostent*(WSAAPI* gethostbyaddr)(const char* address, int length, int type);
    servent*(WSAAPI* getservbyname)(const char* name, const char* protocol);
    servent*(WSAAPI* getservbyport)(int port, const char* protocol);
};
// Tests put their own databases in place; null returns to Winsock's.
void SetDatabases(const Databases* replacement);
}  // namespace Fallback

}  // namespace Postvane
