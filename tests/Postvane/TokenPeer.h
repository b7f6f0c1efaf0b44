// The OAuth 2.0 token endpoint of the tests (tools/smtppeer/token_peer.py, beside
// host_peer.py), started on the host and steered like the host peer: it connects back to a
// control port, reports its own port there, and ends when the control connection closes.
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
    // Serves with server.pem and server.key of the certificate directory.
    explicit TokenPeer(const std::string& certificates) {
        SOCKET listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in address = {};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        int length = sizeof address;
        if (bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(listener, 1) != 0 ||
            getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
            error_ = "cannot listen for the control connection";
            closesocket(listener);
            return;
        }
        std::string script = smtppeer::HostPeerScript();
        script = script.substr(0, script.rfind("host_peer.py")) + "token_peer.py";
        std::string command = "\"" + smtppeer::DosPath("/usr/bin/python3") + "\" \"" + script + "\" --control " +
                              std::to_string(ntohs(address.sin_port)) + " --certs \"" +
                              smtppeer::UnixPath(certificates) + "\"";
        STARTUPINFOA startup = {};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION process = {};
        std::vector<char> line(command.begin(), command.end());
        line.push_back('\0');
        if (!CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process)) {
            error_ = "cannot start " + command;
            closesocket(listener);
            return;
        }
        if (process.hThread) CloseHandle(process.hThread);
        if (process.hProcess) CloseHandle(process.hProcess);
        if (smtppeer::Readable(listener, kStartWait)) control_ = accept(listener, nullptr, nullptr);
        closesocket(listener);
        std::string first;
        DWORD start = GetTickCount();
        while (control_ != INVALID_SOCKET && first.find('\n') == std::string::npos && GetTickCount() - start < kStartWait) {
            if (!smtppeer::Readable(control_, 100)) continue;
            char buffer[64];
            int n = recv(control_, buffer, sizeof buffer, 0);
            if (n <= 0) break;
            first.append(buffer, size_t(n));
        }
        if (first.compare(0, 5, "PORT ") == 0) port_ = static_cast<unsigned short>(std::atoi(first.c_str() + 5));
        else error_ = "the token peer did not report its port: " + command;
    }
    ~TokenPeer() {
        if (control_ != INVALID_SOCKET) closesocket(control_);
    }
    TokenPeer(const TokenPeer&) = delete;
    TokenPeer& operator=(const TokenPeer&) = delete;

    unsigned short Port() const { return port_; }
    const std::string& Error() const { return error_; }  // empty when the peer serves

private:
    static const DWORD kStartWait = 30000;
    smtppeer::WinsockUser winsock_;
    SOCKET control_ = INVALID_SOCKET;
    unsigned short port_ = 0;
    std::string error_;
};

}  // namespace tokentest
