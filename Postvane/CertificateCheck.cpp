#include "CertificateCheck.h"
#include <winsock2.h>
#include <ws2tcpip.h>
#include <cstring>
#include <string>
#include "PKLib.h"
#include "qlframe.h"

namespace Postvane {

namespace {

const size_t kFormatSize = 256;
const DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

struct StoreClose {
    void operator()(HCERTSTORE s) const { CertCloseStore(s, 0); }
};
typedef std::unique_ptr<void, StoreClose> StoreOwner;

struct ChainRelease {
    void operator()(PCCERT_CHAIN_CONTEXT c) const { CertFreeCertificateChain(c); }
};
typedef std::unique_ptr<const CERT_CHAIN_CONTEXT, ChainRelease> ChainOwner;

// SECURITY_FLAG_IGNORE_UNKNOWN_CA of the server policy's checks (declared with WinINet).
const DWORD kIgnoreUnknownCa = 0x00000100;

// Trust problems that the check does not judge: revocation was not asked for.
const DWORD kNotJudged = CERT_TRUST_REVOCATION_STATUS_UNKNOWN | CERT_TRUST_IS_OFFLINE_REVOCATION;

string UntrustedText(bool pinned) {
    return string(pinned ? "цепочка не заканчивается ни доверенным корневым сертификатом, ни корневым сертификатом "
                           "из TlsRootCertificate"
                         : "цепочка не заканчивается доверенным корневым сертификатом");
}

// Why a chain with these trust errors does not pass; the most telling reason first.
string ChainReason(DWORD errors, bool pinned) {
    if (errors & CERT_TRUST_IS_REVOKED) return string("сертификат отозван");
    if (errors & CERT_TRUST_IS_NOT_SIGNATURE_VALID) return string("подпись в цепочке сертификатов неверна");
    if (errors & (CERT_TRUST_IS_NOT_TIME_VALID | CERT_TRUST_IS_NOT_TIME_NESTED))
        return string("срок действия сертификата истёк или ещё не наступил");
    // A chain whose issuer is nowhere to be found does not end at a trusted root either.
    if (errors & (CERT_TRUST_IS_PARTIAL_CHAIN | CERT_TRUST_IS_UNTRUSTED_ROOT | CERT_TRUST_IS_EXPLICIT_DISTRUST))
        return UntrustedText(pinned);
    if (errors & CERT_TRUST_IS_NOT_VALID_FOR_USAGE)
        return string("сертификат не предназначен для проверки подлинности сервера");
    return FormatBuffer(kFormatSize, "цепочка сертификатов недействительна (состояние %08X)", unsigned(errors));
}

string PolicyReason(DWORD error, const string& host, bool pinned) {
    switch (error) {
    case DWORD(CERT_E_CN_NO_MATCH):
        return "сертификат выдан не для имени \"" + host + "\"";
    case DWORD(CERT_E_UNTRUSTEDROOT):
    case DWORD(CERT_E_CHAINING):
        return UntrustedText(pinned);
    case DWORD(CERT_E_EXPIRED):
        return string("срок действия сертификата истёк или ещё не наступил");
    case DWORD(CERT_E_WRONG_USAGE):
        return string("сертификат не предназначен для проверки подлинности сервера");
    case DWORD(CERT_E_REVOKED):
        return string("сертификат отозван");
    default:
        return FormatBuffer(kFormatSize, "проверка сертификата сервера не пройдена (ошибка %08X)", unsigned(error));
    }
}

bool SameCertificate(PCCERT_CONTEXT a, PCCERT_CONTEXT b) {
    return a->cbCertEncoded == b->cbCertEncoded && std::memcmp(a->pbCertEncoded, b->pbCertEncoded, a->cbCertEncoded) == 0;
}

// The address bytes of an address literal ("192.0.2.1", "::1", "[::1]"); false for a name.
bool AddressOfLiteral(const string& host, std::string* bytes) {
    std::string text = host.str();
    if (text.size() >= 2 && text.front() == '[' && text.back() == ']') text = text.substr(1, text.size() - 2);
    in_addr v4;
    in6_addr v6;
    if (inet_pton(AF_INET, text.c_str(), &v4) == 1) {
        bytes->assign(reinterpret_cast<const char*>(&v4), sizeof v4);
        return true;
    }
    if (inet_pton(AF_INET6, text.c_str(), &v6) == 1) {
        bytes->assign(reinterpret_cast<const char*>(&v6), sizeof v6);
        return true;
    }
    return false;
}

// True when the certificate's alternative names hold this IP address. The system's server
// policy compares only DNS names (Wine's finds no match for an address).
bool NamesAddress(PCCERT_CONTEXT certificate, const std::string& address) {
    PCERT_EXTENSION extension = CertFindExtension(szOID_SUBJECT_ALT_NAME2, certificate->pCertInfo->cExtension,
                                                  certificate->pCertInfo->rgExtension);
    if (!extension) return false;
    CERT_ALT_NAME_INFO* names = nullptr;
    DWORD size = 0;
    if (!CryptDecodeObjectEx(X509_ASN_ENCODING, X509_ALTERNATE_NAME, extension->Value.pbData,
                             extension->Value.cbData, CRYPT_DECODE_ALLOC_FLAG, nullptr, &names, &size))
        return false;
    bool found = false;
    for (DWORD i = 0; i < names->cAltEntry && !found; ++i) {
        const CERT_ALT_NAME_ENTRY& entry = names->rgAltEntry[i];
        found = entry.dwAltNameChoice == CERT_ALT_NAME_IP_ADDRESS && entry.IPAddress.cbData == address.size() &&
                std::memcmp(entry.IPAddress.pbData, address.data(), address.size()) == 0;
    }
    LocalFree(names);
    return found;
}

std::wstring WideName(const string& host) {
    const std::string& name = host.str();
    std::wstring wide(name.size() + 1, L'\0');
    int n = MultiByteToWideChar(CP_ACP, 0, name.c_str(), int(name.size()), &wide[0], int(wide.size()));
    wide.resize(n > 0 ? size_t(n) : 0);
    return wide;
}

CertificateOwner DecodeCertificate(const BYTE* der, DWORD length) {
    return CertificateOwner(CertCreateCertificateContext(kEncoding, der, length));
}

}  // namespace

string CertificateNameText(const CERT_NAME_BLOB& name) {
    CERT_NAME_BLOB blob = name;
    const DWORD type = CERT_X500_NAME_STR | CERT_NAME_STR_REVERSE_FLAG;
    DWORD size = CertNameToStrA(X509_ASN_ENCODING, &blob, type, nullptr, 0);
    if (size <= 1) return string("");
    std::string text(size, '\0');
    size = CertNameToStrA(X509_ASN_ENCODING, &blob, type, &text[0], size);
    text.resize(size ? size - 1 : 0);
    for (char& c : text)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = ' ';
    return string(std::move(text));
}

std::vector<CertificateOwner> LoadRootCertificates(const string& path) {
    std::vector<CertificateOwner> roots;
    string why;
    try {
        std::string text = LoadTextFile(path).str();
        const char begin[] = "-----BEGIN CERTIFICATE-----";
        const char end[] = "-----END CERTIFICATE-----";
        if (text.find(begin) == std::string::npos) {
            // DER: the whole file is one certificate.
            if (CertificateOwner c = DecodeCertificate(reinterpret_cast<const BYTE*>(text.data()), DWORD(text.size())))
                roots.push_back(std::move(c));
        }
        for (size_t at = text.find(begin); at != std::string::npos; at = text.find(begin, at + 1)) {
            size_t stop = text.find(end, at);
            if (stop == std::string::npos) break;
            std::string block = text.substr(at, stop + sizeof end - 1 - at);
            DWORD size = 0;
            if (!CryptStringToBinaryA(block.c_str(), DWORD(block.size()), CRYPT_STRING_BASE64HEADER, nullptr, &size,
                                      nullptr, nullptr))
                continue;
            std::string der(size, '\0');
            if (!CryptStringToBinaryA(block.c_str(), DWORD(block.size()), CRYPT_STRING_BASE64HEADER,
                                      reinterpret_cast<BYTE*>(&der[0]), &size, nullptr, nullptr))
                continue;
            if (CertificateOwner c = DecodeCertificate(reinterpret_cast<const BYTE*>(der.data()), size))
                roots.push_back(std::move(c));
        }
        if (roots.empty()) why = "в файле нет сертификата";
    } catch (const QuilletException& e) {
        why = e.Reason();
    }
    if (roots.empty())
        throw QLAppException("Не удаётся прочитать корневой сертификат из файла \"" + path + "\": " + why);
    return roots;
}

CertificateVerdict CheckServerCertificate(PCCERT_CONTEXT certificate, const string& host,
                                          const std::vector<CertificateOwner>& pinnedRoots) {
    CertificateVerdict verdict;
    if (!certificate) {
        verdict.reason = "сервер не предъявил сертификат";
        return verdict;
    }
    verdict.subject = CertificateNameText(certificate->pCertInfo->Subject);
    verdict.issuer = CertificateNameText(certificate->pCertInfo->Issuer);
    bool pinned = !pinnedRoots.empty();

    // The chain is built from the certificates the server sent (the store of its
    // certificate) and the pinned roots.
    StoreOwner extra(CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, CERT_STORE_CREATE_NEW_FLAG, nullptr));
    if (!extra) {
        verdict.reason = FormatBuffer(kFormatSize, "не удаётся создать хранилище сертификатов (ошибка %u)",
                                      unsigned(GetLastError()));
        return verdict;
    }
    if (certificate->hCertStore) {
        for (PCCERT_CONTEXT c = CertEnumCertificatesInStore(certificate->hCertStore, nullptr); c;
             c = CertEnumCertificatesInStore(certificate->hCertStore, c))
            CertAddCertificateContextToStore(extra.get(), c, CERT_STORE_ADD_USE_EXISTING, nullptr);
    }
    for (const CertificateOwner& root : pinnedRoots)
        CertAddCertificateContextToStore(extra.get(), root.get(), CERT_STORE_ADD_USE_EXISTING, nullptr);

    char serverAuth[] = szOID_PKIX_KP_SERVER_AUTH;
    LPSTR usages[] = {serverAuth};
    CERT_CHAIN_PARA para = {};
    para.cbSize = sizeof para;
    para.RequestedUsage.dwType = USAGE_MATCH_TYPE_AND;
    para.RequestedUsage.Usage.cUsageIdentifier = 1;
    para.RequestedUsage.Usage.rgpszUsageIdentifier = usages;
    PCCERT_CHAIN_CONTEXT chainContext = nullptr;
    if (!CertGetCertificateChain(nullptr, certificate, nullptr, extra.get(), &para, 0, nullptr, &chainContext)) {
        verdict.reason = FormatBuffer(kFormatSize, "не удаётся построить цепочку сертификатов (ошибка %08X)",
                                      unsigned(GetLastError()));
        return verdict;
    }
    ChainOwner chain(chainContext);

    // An untrusted root is allowed only when it is one of the pinned roots. Every other
    // trust error fails, also those that a system's policy check might let through (a
    // partial chain).
    DWORD errors = chain->TrustStatus.dwErrorStatus & ~kNotJudged;
    bool pinnedRootEnds = false;
    if (pinned && chain->cChain > 0 && chain->rgpChain[0]->cElement > 0) {
        const CERT_SIMPLE_CHAIN* simple = chain->rgpChain[0];
        PCCERT_CONTEXT root = simple->rgpElement[simple->cElement - 1]->pCertContext;
        for (const CertificateOwner& p : pinnedRoots)
            if (SameCertificate(root, p.get())) pinnedRootEnds = true;
        if (pinnedRootEnds) errors &= ~DWORD(CERT_TRUST_IS_UNTRUSTED_ROOT);
    }
    if (errors) {
        verdict.reason = ChainReason(errors, pinned);
        return verdict;
    }

    // The system's server policy, which also tells whether the certificate names the host;
    // an address is compared here instead.
    std::string address;
    bool literal = AddressOfLiteral(host, &address);
    if (literal && !NamesAddress(certificate, address)) {
        verdict.reason = "сертификат выдан не для адреса \"" + host + "\"";
        return verdict;
    }
    std::wstring name = WideName(host);
    SSL_EXTRA_CERT_CHAIN_POLICY_PARA ssl = {};
    ssl.cbSize = sizeof ssl;
    ssl.dwAuthType = AUTHTYPE_SERVER;
    ssl.fdwChecks = pinnedRootEnds ? kIgnoreUnknownCa : 0;
    ssl.pwszServerName = literal ? nullptr : &name[0];
    CERT_CHAIN_POLICY_PARA policy = {};
    policy.cbSize = sizeof policy;
    policy.dwFlags = pinnedRootEnds ? CERT_CHAIN_POLICY_ALLOW_UNKNOWN_CA_FLAG : 0;
    policy.pvExtraPolicyPara = &ssl;
    CERT_CHAIN_POLICY_STATUS status = {};
    status.cbSize = sizeof status;
    if (!CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain.get(), &policy, &status)) {
        verdict.reason = FormatBuffer(kFormatSize, "не удаётся проверить сертификат сервера (ошибка %08X)",
                                      unsigned(GetLastError()));
        return verdict;
    }
    if (status.dwError) {
        verdict.reason = PolicyReason(status.dwError, host, pinned);
        return verdict;
    }
    verdict.passed = true;
    return verdict;
}

}  // namespace Postvane
