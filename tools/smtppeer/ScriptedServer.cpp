#include "SmtpPeer.h"
#include "Sockets.h"
#include <ws2tcpip.h>

namespace smtppeer {

namespace {
const DWORD kStepWait = 10000;  // longest wait of one step for the client
const DWORD kPoll = 20;         // how often a waiting thread looks at the stop flag

}  // namespace

ScriptedServer::ScriptedServer(int receiveBuffer, bool ipv6)
    : listener_(INVALID_SOCKET), port_(0), receiveBuffer_(receiveBuffer) {
    static WinsockUser winsock;
    listener_ = socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (receiveBuffer_ > 0)
        setsockopt(listener_, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&receiveBuffer_), sizeof(int));
    sockaddr_storage address = {};
    int length = sizeof address;
    if (ipv6) {
        sockaddr_in6* v6 = reinterpret_cast<sockaddr_in6*>(&address);
        v6->sin6_family = AF_INET6;
        v6->sin6_addr = in6addr_loopback;
        length = sizeof *v6;
    } else {
        sockaddr_in* v4 = reinterpret_cast<sockaddr_in*>(&address);
        v4->sin_family = AF_INET;
        v4->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        length = sizeof *v4;
    }
    sockaddr* a = reinterpret_cast<sockaddr*>(&address);
    if (bind(listener_, a, length) == 0 && listen(listener_, 4) == 0 && getsockname(listener_, a, &length) == 0)
        port_ = ntohs(ipv6 ? reinterpret_cast<sockaddr_in6*>(a)->sin6_port : reinterpret_cast<sockaddr_in*>(a)->sin_port);
}

ScriptedServer::~ScriptedServer() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    if (listener_ != INVALID_SOCKET) closesocket(listener_);
}

ScriptedServer& ScriptedServer::Send(const std::string& bytes) {
    steps_.push_back({Step::Send, bytes, 0});
    return *this;
}
ScriptedServer& ScriptedServer::Pause(DWORD ms) {
    steps_.push_back({Step::Pause, std::string(), ms});
    return *this;
}
ScriptedServer& ScriptedServer::Expect(size_t lines) {
    steps_.push_back({Step::Expect, std::string(), lines});
    return *this;
}
ScriptedServer& ScriptedServer::ExpectLine(const std::string& line) {
    steps_.push_back({Step::ExpectLine, line, 0});
    return *this;
}
ScriptedServer& ScriptedServer::Close() {
    steps_.push_back({Step::Close, std::string(), 0});
    return *this;
}
ScriptedServer& ScriptedServer::Stall() {
    steps_.push_back({Step::Stall, std::string(), 0});
    return *this;
}

void ScriptedServer::Start() { thread_ = std::thread(&ScriptedServer::Run, this); }

bool ScriptedServer::WaitScript(DWORD ms) {
    DWORD start = GetTickCount();
    while (!scriptDone_) {
        if (GetTickCount() - start >= ms) return false;
        Sleep(5);
    }
    return true;
}

bool ScriptedServer::WaitClientClosed(DWORD ms) {
    DWORD start = GetTickCount();
    while (!clientClosed_) {
        if (GetTickCount() - start >= ms) return false;
        Sleep(5);
    }
    return true;
}

std::string ScriptedServer::Received() const {
    std::lock_guard<std::mutex> guard(lock_);
    return received_;
}

std::string ScriptedServer::Error() const {
    std::lock_guard<std::mutex> guard(lock_);
    return error_;
}

void ScriptedServer::Fail(const std::string& what) {
    std::lock_guard<std::mutex> guard(lock_);
    if (error_.empty()) error_ = what;
}

bool ScriptedServer::ReadMore(SOCKET s, DWORD waitMs) {
    DWORD start = GetTickCount();
    while (!stop_) {
        if (Readable(s, kPoll)) {
            char buffer[65536];
            int n = recv(s, buffer, sizeof buffer, 0);
            if (n <= 0) {
                clientClosed_ = true;
                return false;
            }
            std::lock_guard<std::mutex> guard(lock_);
            received_.append(buffer, size_t(n));
            return true;
        }
        if (GetTickCount() - start >= waitMs) return false;
    }
    return false;
}

bool ScriptedServer::NextLine(SOCKET s, std::string* line) {
    for (;;) {
        {
            std::lock_guard<std::mutex> guard(lock_);
            size_t end = received_.find("\r\n", cursor_);
            if (end != std::string::npos) {
                *line = received_.substr(cursor_, end - cursor_);
                cursor_ = end + 2;
                return true;
            }
        }
        if (!ReadMore(s, kStepWait)) return false;
    }
}

void ScriptedServer::Run() {
    SOCKET s = INVALID_SOCKET;
    while (!stop_ && s == INVALID_SOCKET) {
        if (Readable(listener_, kPoll)) s = accept(listener_, nullptr, nullptr);
    }
    if (s == INVALID_SOCKET) return;
    ++connections_;
    BOOL noDelay = TRUE;  // every Send step leaves as its own segment
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&noDelay), sizeof noDelay);
    if (receiveBuffer_ > 0)
        setsockopt(s, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&receiveBuffer_), sizeof(int));

    bool open = true;
    bool stalled = false;
    for (const Step& step : steps_) {
        if (stop_ || !open || stalled) break;
        std::string line;
        switch (step.kind) {
        case Step::Send:
            if (send(s, step.bytes.data(), int(step.bytes.size()), 0) != int(step.bytes.size()))
                Fail("send failed: " + std::to_string(WSAGetLastError()));
            break;
        case Step::Pause:
            for (DWORD waited = 0; waited < step.count && !stop_; waited += kPoll) Sleep(kPoll);
            break;
        case Step::Expect:
            for (size_t i = 0; i < step.count && open; ++i) {
                if (!NextLine(s, &line)) {
                    Fail("the client sent no line where one was expected");
                    open = false;
                }
            }
            break;
        case Step::ExpectLine:
            while (open) {
                if (!NextLine(s, &line)) {
                    Fail("the client never sent the line \"" + step.bytes + "\"");
                    open = false;
                } else if (line == step.bytes) {
                    break;
                }
            }
            break;
        case Step::Close:
            closesocket(s);
            s = INVALID_SOCKET;
            open = false;
            break;
        case Step::Stall:
            stalled = true;
            break;
        }
    }
    scriptDone_ = true;
    if (stalled) {
        while (!stop_) Sleep(kPoll);
    } else if (s != INVALID_SOCKET && !clientClosed_) {
        while (!stop_ && (ReadMore(s, kPoll) || !clientClosed_)) {
        }
    }
    if (s != INVALID_SOCKET) closesocket(s);
}

}  // namespace smtppeer
