// The OAuth 2.0 token endpoint of the tests (tools/smtppeer/token_peer.py, beside
// host_peer.py), started on the host and steered like the host peer: it connects back to a
// control port, reports its own port there, and ends when the control connection closes.
// With its SMTP server (XOAUTH2, OAUTHBEARER) the test steers it and reads its reports on
// that connection.
#pragma once
#include <winsock2.h>
#include <windows.h>
#include <cstdlib>
#include <string>
#include <vector>
#include "SmtpPeer.h"
#include "Sockets.h"

namespace tokentest {

class TokenPeer {
public:
    // Serves with server.pem and server.key of the certificate directory; with smtp, SMTP too.
    explicit TokenPeer(const std::string& certificates, bool smtp = false) {
        std::string command = "--certs \"" + smtppeer::UnixPath(certificates) + "\"" + (smtp ? " --smtp" : "");
        control_ = smtppeer::LaunchPeerScript(smtppeer::PeerScript("token_peer.py"), command, &error_);
        std::string first = control_ == INVALID_SOCKET ? std::string() : NextLine(kStartWait);
        if (first.compare(0, 5, "PORT ") == 0) port_ = static_cast<unsigned short>(std::atoi(first.c_str() + 5));
        else if (error_.empty()) error_ = "the token peer did not report its port: " + command;
        size_t smtpAt = first.find(" SMTP ");
        if (smtpAt != std::string::npos) smtpPort_ = static_cast<unsigned short>(std::atoi(first.c_str() + smtpAt + 6));
        else if (smtp && error_.empty()) error_ = "the token peer did not report its SMTP port: " + first;
    }
    ~TokenPeer() {
        if (control_ != INVALID_SOCKET) closesocket(control_);
    }
    TokenPeer(const TokenPeer&) = delete;
    TokenPeer& operator=(const TokenPeer&) = delete;

    unsigned short Port() const { return port_; }
    unsigned short SmtpPort() const { return smtpPort_; }
    const std::string& Error() const { return error_; }  // empty when the peer serves

    // Sends a steering line ("OFFER XOAUTH2", "EXPIRE", "CLOSING 1") and waits for its "OK";
    // the reports that come before it are kept. False when no "OK" came.
    bool Steer(const std::string& line) {
        std::string text = line + "\n";
        if (send(control_, text.data(), int(text.size()), 0) != int(text.size())) return false;
        for (;;) {
            std::string got = NextLine(kStartWait);
            if (got.empty()) return false;
            if (got == "OK") return true;
            reports_.push_back(got);
        }
    }
    // The reports since the last call ("AUTH <mechanism> <user> <token> ok", "MSG ..."): all
    // that the peer wrote before it answered a steering line sent now.
    std::vector<std::string> Reports() {
        Steer("SYNC");
        std::vector<std::string> taken;
        taken.swap(reports_);
        return taken;
    }

private:
    // The next line from the control connection without its line end; empty after ms.
    std::string NextLine(DWORD ms) {
        DWORD start = GetTickCount();
        while (pending_.find('\n') == std::string::npos && GetTickCount() - start < ms) {
            if (!smtppeer::Readable(control_, 100)) continue;
            char buffer[512];
            int n = recv(control_, buffer, sizeof buffer, 0);
            if (n <= 0) break;
            pending_.append(buffer, size_t(n));
        }
        size_t end = pending_.find('\n');
        if (end == std::string::npos) return std::string();
        std::string line = pending_.substr(0, end);
        pending_.erase(0, end + 1);
        return line;
    }

    static const DWORD kStartWait = 30000;
    smtppeer::WinsockUser winsock_;
    SOCKET control_ = INVALID_SOCKET;
    unsigned short port_ = 0;
    unsigned short smtpPort_ = 0;
    std::string pending_;  // received from the control connection, not yet taken as lines
    std::vector<std::string> reports_;
    std::string error_;
};

}  // namespace tokentest
