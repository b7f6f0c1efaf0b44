// postvane test-smtp: checks the SMTP settings without sending mail. Connects to the
// configured server, runs the greeting, EHLO or HELO, STARTTLS when Tls asks for it,
// authentication and QUIT, and prints the exchange (credentials hidden) as it happens, then
// what became of TLS: the protocol, the server's certificate and the outcome of its check.
// With OAuth 2.0 (Auth = 1 or 2) it also prints the token step: the endpoint asked, its HTTP
// status, the token's expiry and granted scope, never the token. Last comes the outcome in
// one sentence, as the settings page shows it (the same test runs for both); the exit code
// is 0 only when every step succeeded.
#include <cstdio>
#include <cstdlib>
#include <string>
#include "ConnectionTest.h"
#include "SmtpDialogue.h"
#include "SmtpTransport.h"
#include "Tool.h"

namespace {

struct Exchange {
    bool authenticated = false;
};

void Print(void* context, bool sent, const string& line) {
    std::string text = line.str();
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    std::printf("%s %s\n", sent ? "C:" : "S:", text.c_str());
    std::fflush(stdout);
    if (!sent && text.compare(0, 4, "235 ") == 0) static_cast<Exchange*>(context)->authenticated = true;
}

// What became of TLS on the connection, also when the check refused the certificate.
void PrintTls(const Postvane::TlsPolicy& policy, const Postvane::TlsOutcome& tls) {
    const char* modes[] = {"none (Tls = 0)", "STARTTLS required (Tls = 1)", "TLS from the first byte (Tls = 2)"};
    std::printf("TLS asked for: %s\n", modes[DWORD(policy.mode) <= 2 ? DWORD(policy.mode) : 0]);
    if (policy.mode == Postvane::TlsMode::None) return;
    if (!tls.secure) {
        std::printf("TLS: not established\n");
        return;
    }
    std::printf("TLS: %s, %s\n", tls.protocol.c_str(), tls.cipher.c_str());
    std::printf("Certificate: %s\n", tls.certificate.subject.c_str());
    std::printf("Issued by: %s\n", tls.certificate.issuer.c_str());
    if (!tls.checked)
        std::printf("Check: switched off (TlsSkipCheck = 1): the server's identity is not proven\n");
    else if (tls.certificate.passed)
        std::printf("Check: passed (%s%s)\n", policy.rootFile.HasText() ? "trusted or pinned root, " : "trusted root, ",
                    ("name " + policy.host).c_str());
    else
        std::printf("Check: failed: %s\n", tls.certificate.reason.c_str());
}

int RunTestSmtp(const tool::Args& args) {
    WSADATA data;
    if (int error = WSAStartup(MAKEWORD(2, 2), &data)) {
        std::fprintf(stderr, "postvane: Winsock did not start, error %d\n", error);
        return 1;
    }
    std::string seconds = tool::Option(args, "--timeout");
    if (!seconds.empty()) {
        DWORD ms = DWORD(std::strtoul(seconds.c_str(), nullptr, 10)) * 1000;
        Postvane::SmtpTimeouts& t = Postvane::ReplyTimeouts();
        t.greeting = t.hello = t.auth = t.quit = ms;
    }
    Exchange exchange;
    Postvane::SetSmtpTraceSink(Print, &exchange);
    Postvane::EventStop never(nullptr);
    Postvane::ConnectionTestOutcome outcome = Postvane::TestConnection(nullptr, never);
    Postvane::SetSmtpTraceSink(nullptr, nullptr);
    if (exchange.authenticated) std::printf("Authentication accepted.\n");
    if (outcome.auth != Postvane::SmtpAuth::Password) std::printf("OAuth token: %s\n", outcome.token.c_str());
    PrintTls(outcome.policy, outcome.tls);
    std::printf("%s\n", outcome.sentence.c_str());
    int result = outcome.failed == Postvane::TestStage::None ? 0 : 1;
    WSACleanup();
    return result;
}

tool::Command testSmtp("test-smtp",
                       "[--timeout SECONDS] : greets, secures (Tls), authenticates and quits on the configured "
                       "server, printing the exchange and the TLS outcome",
                       RunTestSmtp);

}  // namespace
