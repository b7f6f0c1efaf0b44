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

// ---- Algorithms and keys too weak to trust ------------------------------------------------

// RSA keys shorter than this are refused; 1024-bit keys have been within reach of factoring
// for years.
const unsigned kLeastRsaBits = 2048;

// Signature algorithms whose hash allows forged certificates (collisions are known or
// practical), with the hash's name for the reason.
struct WeakSignature {
    const char* oid;
    const char* hash;
};
const WeakSignature kWeakSignatures[] = {
    {szOID_RSA_MD2RSA, "MD2"},          {szOID_RSA_MD4RSA, "MD4"},          {szOID_RSA_MD5RSA, "MD5"},
    {szOID_RSA_SHA1RSA, "SHA-1"},       {szOID_OIWSEC_md4RSA, "MD4"},       {szOID_OIWSEC_md5RSA, "MD5"},
    {szOID_OIWSEC_md4RSA2, "MD4"},      {szOID_OIWSEC_shaRSA, "SHA-0"},     {szOID_OIWSEC_sha1RSASign, "SHA-1"},
    {szOID_OIWSEC_shaDSA, "SHA-0"},     {szOID_OIWSEC_dsaSHA1, "SHA-1"},    {szOID_OIWSEC_dsaCommSHA1, "SHA-1"},
    {szOID_X957_SHA1DSA, "SHA-1"},      {szOID_ECDSA_SHA1, "SHA-1"},        {szOID_OIWDIR_md2RSA, "MD2"},
};

// The contents (DER without tag and length) of the hashes that RSASSA-PSS may name.
struct WeakHash {
    const char* contents;
    size_t length;
    const char* hash;
};
const WeakHash kWeakPssHashes[] = {
    {"\x2B\x0E\x03\x02\x1A", 5, "SHA-1"},
    {"\x2A\x86\x48\x86\xF7\x0D\x02\x02", 8, "MD2"},
    {"\x2A\x86\x48\x86\xF7\x0D\x02\x04", 8, "MD4"},
    {"\x2A\x86\x48\x86\xF7\x0D\x02\x05", 8, "MD5"},
};

// One DER item: its tag and contents. Only definite lengths of up to four bytes occur in
// the few structures read here.
struct DerItem {
    BYTE tag = 0;
    const BYTE* contents = nullptr;
    size_t length = 0;
};

// Reads the item at *at (before end) and moves *at past it; false when it does not fit.
bool ReadDer(const BYTE** at, const BYTE* end, DerItem* item) {
    const BYTE* p = *at;
    if (end - p < 2) return false;
    item->tag = p[0];
    size_t length = p[1];
    p += 2;
    if (length & 0x80) {
        size_t count = length & 0x7F;
        if (count == 0 || count > 4 || size_t(end - p) < count) return false;
        length = 0;
        for (size_t i = 0; i < count; ++i) length = (length << 8) | *p++;
    }
    if (size_t(end - p) < length) return false;
    item->contents = p;
    item->length = length;
    *at = p + length;
    return true;
}

// The hash that RSASSA-PSS parameters name; SHA-1 when they name none (its default).
const char* WeakPssHash(const CRYPT_OBJID_BLOB& parameters) {
    const BYTE* at = parameters.pbData;
    const BYTE* end = at + parameters.cbData;
    DerItem sequence, hashChoice, algorithm, oid;
    if (!parameters.cbData || !ReadDer(&at, end, &sequence) || sequence.tag != 0x30) return "SHA-1";
    at = sequence.contents;
    end = sequence.contents + sequence.length;
    if (at == end || *at != 0xA0) return "SHA-1";  // no [0] hashAlgorithm: the default
    if (!ReadDer(&at, end, &hashChoice)) return nullptr;
    at = hashChoice.contents;
    end = hashChoice.contents + hashChoice.length;
    if (!ReadDer(&at, end, &algorithm) || algorithm.tag != 0x30) return nullptr;
    at = algorithm.contents;
    end = algorithm.contents + algorithm.length;
    if (!ReadDer(&at, end, &oid) || oid.tag != 0x06) return nullptr;
    for (const WeakHash& h : kWeakPssHashes)
        if (oid.length == h.length && std::memcmp(oid.contents, h.contents, h.length) == 0) return h.hash;
    return nullptr;
}

// The name of the weak hash of the certificate's signature; null when the signature is sound.
const char* WeakSignatureHash(PCCERT_CONTEXT certificate) {
    const CRYPT_ALGORITHM_IDENTIFIER& algorithm = certificate->pCertInfo->SignatureAlgorithm;
    if (!algorithm.pszObjId) return nullptr;
    if (std::strcmp(algorithm.pszObjId, szOID_RSA_SSA_PSS) == 0) return WeakPssHash(algorithm.Parameters);
    for (const WeakSignature& w : kWeakSignatures)
        if (std::strcmp(algorithm.pszObjId, w.oid) == 0) return w.hash;
    return nullptr;
}

// The modulus length in bits of an RSA public key; 0 for a key of another kind (or one that
// cannot be read, which the chain check has refused already).
unsigned RsaKeyBits(PCCERT_CONTEXT certificate) {
    const CERT_PUBLIC_KEY_INFO& key = certificate->pCertInfo->SubjectPublicKeyInfo;
    const char* oid = key.Algorithm.pszObjId;
    if (!oid || (std::strcmp(oid, szOID_RSA_RSA) != 0 && std::strcmp(oid, szOID_RSA_SSA_PSS) != 0)) return 0;
    // RSAPublicKey ::= SEQUENCE { modulus INTEGER, publicExponent INTEGER }
    const BYTE* at = key.PublicKey.pbData;
    const BYTE* end = at + key.PublicKey.cbData;
    DerItem sequence, modulus;
    if (!ReadDer(&at, end, &sequence) || sequence.tag != 0x30) return 0;
    at = sequence.contents;
    if (!ReadDer(&at, sequence.contents + sequence.length, &modulus) || modulus.tag != 0x02) return 0;
    const BYTE* digits = modulus.contents;
    size_t count = modulus.length;
    while (count && *digits == 0) {
        ++digits;
        --count;
    }
    if (!count) return 0;
    unsigned bits = unsigned(count) * 8;
    for (BYTE top = *digits; !(top & 0x80); top = BYTE(top << 1)) --bits;
    return bits;
}

// Why a certificate of the chain is too weak to trust, or empty. The anchor (the chain's
// last certificate, trusted as it stands) is not judged: its self-signature proves nothing
// either way, and its key is the machine's or the administrator's choice. The server's own
// certificate always has its key judged, even when it is itself the pinned anchor: its key
// signs the handshake.
string WeaknessReason(const CERT_CHAIN_CONTEXT& chain) {
    for (DWORD i = 0; i < chain.cChain; ++i) {
        const CERT_SIMPLE_CHAIN* simple = chain.rgpChain[i];
        for (DWORD j = 0; j < simple->cElement; ++j) {
            bool leaf = i == 0 && j == 0;
            bool anchor = i + 1 == chain.cChain && j + 1 == simple->cElement;
            if (anchor && !leaf) continue;
            PCCERT_CONTEXT certificate = simple->rgpElement[j]->pCertContext;
            string who = leaf ? string("сертификат сервера")
                              : "промежуточный сертификат \"" + CertificateNameText(certificate->pCertInfo->Subject) +
                                    "\"";
            if (!anchor)
                if (const char* hash = WeakSignatureHash(certificate))
                    return who + " подписан устаревшим алгоритмом (" + hash + ")";
            unsigned bits = RsaKeyBits(certificate);
            if (bits && bits < kLeastRsaBits)
                return who + FormatBuffer(kFormatSize, ": ключ RSA длиной %u бит, короче %u", bits, kLeastRsaBits);
        }
    }
    return string("");
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

    // Weak algorithms and keys first: a system's chain engine may or may not call such a
    // signature invalid, and the reason should not depend on which one ran.
    verdict.reason = WeaknessReason(*chain);
    if (verdict.reason.HasText()) return verdict;

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
