// Whole SMTP transactions (connect, EHLO, AUTH, MAIL, RCPT, DATA, QUIT) against local
// sinks: Postfix's smtp-sink and aiosmtpd with AUTH; then one aiosmtpd that offers STARTTLS,
// in plain text and with STARTTLS (certificates made with openssl, the root pinned), so that
// the two rows differ by TLS alone; last, STARTTLS with a sign-in by an OAuth 2.0 access
// token (the token endpoint's own SMTP server, token_peer.py), one token serving every
// session. Prints transactions per second for 2 KiB messages and MiB/s for 1 MiB messages.
//
//   bench_smtp.exe [--seconds N] [--large-count N]
//
// The settings live in a private registry key for the run. The DNS check of the EHLO name is
// answered in-process (A record 127.0.0.1), so the figures are those of the SMTP path alone.
#include "BenchSupport.h"
#include <cstdio>
#include <cstdlib>
#include <string>
#include "Globals.h"
#include "MailService.h"
#include "Resolver.h"
#include "Secret.h"
#include "SmtpDialogue.h"
#include "SmtpPeer.h"
#include "SmtpTransport.h"
#include "../tests/Postvane/TokenPeer.h"

using namespace Postvane;

using namespace bench;

namespace {




std::string Message(size_t size) {
    std::string m = "From: bench@example.test\r\nTo: sink@example.test\r\nSubject: benchmark\r\n\r\n";
    std::string line(74, 'x');
    for (size_t i = 0; m.size() < size; ++i) {
        line[0] = char('A' + i % 26);
        m += line + "\r\n";
    }
    return m;
}


void Transaction(MailService& service, const string& content) {
    SmtpConnect(service.session);
    SmtpHello(service.session);
    SmtpMailFrom(service.session);
    SmtpRcptTo(service.session, string("sink@example.test"));
    SmtpData(service.session, content);
    SmtpQuit(service.session, false);
    SmtpDisconnect(service.session);
}

bool Measure(const char* name, unsigned short port, double seconds, int largeCount, int tls = 0) {
    RegKey smtp(HKEY_LOCAL_MACHINE, kSmtpKeyPath, true, RegKey::AllAccess);
    smtp["Port"] = std::to_string(port).c_str();
    smtp["Tls"] = tls;
    MailService service;
    string small(Message(2048));
    string large(Message(1024 * 1024));
    try {
        Transaction(service, small);  // warm-up
        int count = 0;
        double start = Now(), elapsed = 0;
        while ((elapsed = Now() - start) < seconds) {
            Transaction(service, small);
            ++count;
        }
        std::printf("%-18s 2 KiB messages: %5d transactions in %.2f s = %7.1f transactions/s\n", name, count, elapsed,
                    count / elapsed);
        start = Now();
        for (int i = 0; i < largeCount; ++i) Transaction(service, large);
        elapsed = Now() - start;
        std::printf("%-18s 1 MiB messages: %5d transactions in %.2f s = %7.1f MiB/s\n", name, largeCount, elapsed,
                    largeCount * double(large.Length()) / (1024.0 * 1024.0) / elapsed);
    } catch (const QuilletException& e) {
        SmtpDisconnect(service.session);
        std::printf("%-18s failed: %s\n", name, e.Reason().c_str());
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    double seconds = 3;
    int largeCount = 10;
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::string(argv[i]) == "--seconds") seconds = std::atof(argv[++i]);
        if (std::string(argv[i]) == "--large-count") largeCount = std::atoi(argv[++i]);
    }
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
    PrivateRegistry registry;
    SetDnsClient(LocalDns, FreeLocalDns);
    ConfigureAccount();
    bool ok = WithSmtpSink([&](unsigned short port) { return Measure("smtp-sink", port, seconds, largeCount); });
    {
        smtppeer::HostPeer::Options o;
        o.login = kLogin;
        o.password = kPassword;
        o.authRequired = true;
        smtppeer::HostPeer aiosmtpd(o);
        if (!aiosmtpd.Started()) {
            std::printf("aiosmtpd did not start: %s\n", aiosmtpd.Error().c_str());
            ok = false;
        } else {
            ok = Measure("aiosmtpd", aiosmtpd.Port(), seconds, largeCount) && ok;
        }
    }
    {
        testing_support::TempDir certificates;
        std::string made = smtppeer::MakeTestCertificates(certificates.Path());
        smtppeer::HostPeer::Options o;
        o.login = kLogin;
        o.password = kPassword;
        o.authRequired = true;
        o.tls = "starttls";
        o.certificates = certificates.Path();
        smtppeer::HostPeer peer(o);
        if (!made.empty() || !peer.Started()) {
            std::printf("aiosmtpd with STARTTLS did not start: %s%s\n", made.c_str(), peer.Error().c_str());
            ok = false;
        } else {
            RegKey smtp(HKEY_LOCAL_MACHINE, kSmtpKeyPath, true, RegKey::AllAccess);
            smtp["TlsRootCertificate"] = (certificates / "root.pem").c_str();
            ok = Measure("aiosmtpd plain", peer.Port(), seconds, largeCount, 0) && ok;
            ok = Measure("aiosmtpd STARTTLS", peer.Port(), seconds, largeCount, 1) && ok;
        }
    }
    {
        testing_support::TempDir certificates;
        std::string made = smtppeer::MakeTestCertificates(certificates.Path());
        tokentest::TokenPeer peer(certificates.Path(), true);
        if (!made.empty() || !peer.Error().empty()) {
            std::printf("the token endpoint with SMTP did not start: %s%s\n", made.c_str(), peer.Error().c_str());
            ok = false;
        } else {
            RegKey smtp(HKEY_LOCAL_MACHINE, kSmtpKeyPath, true, RegKey::AllAccess);
            smtp["TlsRootCertificate"] = (certificates / "root.pem").c_str();
            smtp["Auth"] = 1;
            smtp["OAuthTokenUrl"] = ("https://localhost:" + std::to_string(peer.Port()) + "/token").c_str();
            smtp["OAuthClientId"] = "kiosk-client";
            StoreSecret(kSecretDescription, smtp.Handle(), "OAuthSecret", "cl&secret=+% \xEF");
            ok = Measure("OAuth STARTTLS", peer.SmtpPort(), seconds, largeCount, 1) && ok;
            smtp["Auth"] = 0;
        }
    }
    WSACleanup();
    return ok ? 0 : 1;
}
