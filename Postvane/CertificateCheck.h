// The check of a mail server's certificate after the TLS handshake. The system's TLS
// layer is told to leave validation to us (it does none at all under Wine), so the same
// rules hold everywhere:
//
// - the chain, built with the certificates the server sent, ends at a root that the
//   machine trusts, or at one of the pinned roots (the TlsRootCertificate file, for a
//   private relay); nothing else may be wrong with it: every link valid now, correctly
//   signed, allowed for server authentication, the chain complete;
// - below the anchor (the server's certificate and the intermediates) nothing is signed with
//   MD2, MD4, MD5, SHA-0 or SHA-1, RSA-PSS naming one of them included, and no RSA key is
//   shorter than 2048 bits; the server's key is judged even when its certificate is itself
//   the pinned anchor. The anchor is trusted as it stands: its self-signature proves
//   nothing, and the key of a machine's or pinned root is the administrator's choice;
// - the certificate names the server (the name or address literal of SMTP\Server).
//
// Revocation is not checked: a kiosk often has no way to the revocation lists.
#pragma once
#include <windows.h>
#include <wincrypt.h>
#include <vector>
#include "TlsChannel.h"
#include "core.h"

namespace Postvane {

// What the check found, for the log and the console tool.
struct CertificateVerdict {
    bool passed = false;
    string subject;  // of the server's certificate, "CN=..., O=..."
    string issuer;
    string reason;   // why it did not pass; empty when it passed, e.g.
                     // "сертификат сервера подписан устаревшим алгоритмом (SHA-1)",
                     // "промежуточный сертификат \"CN=...\": ключ RSA длиной 1024 бит, короче 2048"
};

// Reads root certificates from a file in PEM (one or more BEGIN CERTIFICATE blocks) or DER
// form. Raises QLAppException
//   "Не удаётся прочитать корневой сертификат из файла \"<path>\": <why>"
// when the file cannot be read or holds no certificate.
std::vector<CertificateOwner> LoadRootCertificates(const string& path);

// Checks the server's certificate for host (a name, or an address literal with or
// without brackets) against the machine's trusted roots and the pinned ones.
CertificateVerdict CheckServerCertificate(PCCERT_CONTEXT certificate, const string& host,
                                          const std::vector<CertificateOwner>& pinnedRoots);

// "CN=..., O=..." for a certificate name; line breaks and other control characters
// become blanks, so the text may go into a log record as it is.
string CertificateNameText(const CERT_NAME_BLOB& name);

}  // namespace Postvane
