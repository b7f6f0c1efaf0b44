#include "RuleServer.h"
#include "Sockets.h"
#include <ws2tcpip.h>
#include <cstring>

namespace smtppeer {

namespace {
const DWORD kPollMs = 50;

bool StartsWithNoCase(const std::string& line, const char* prefix) {
    size_t n = std::strlen(prefix);
    return line.size() >= n && _strnicmp(line.c_str(), prefix, n) == 0;
}
}  // namespace

const char* RuleServer::StageName(Stage stage) {
    static const char* const names[] = {"connect", "greeting", "ehlo", "auth", "mail",
                                        "rcpt",    "data",     "content", "dot", "quit"};
    return stage < StageCount ? names[stage] : "?";
}

RuleServer::RuleServer(Rule rule, DWORD stallMs) : listener_(INVALID_SOCKET), port_(0), rule_(rule), stallMs_(stallMs) {
    listener_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int length = sizeof address;
    if (bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 && listen(listener_, 8) == 0 &&
        getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) == 0)
        port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { Run(); });
}

RuleServer::~RuleServer() {
    stop_ = true;
    thread_.join();
    if (listener_ != INVALID_SOCKET) closesocket(listener_);
}

std::vector<RuleServer::Message> RuleServer::Messages() const {
    std::lock_guard<std::mutex> guard(lock_);
    return messages_;
}

void RuleServer::Run() {
    while (!stop_) {
        if (!Readable(listener_, kPollMs)) continue;
        SOCKET s = accept(listener_, nullptr, nullptr);
        if (s == INVALID_SOCKET) continue;
        // Replies of several lines go out line by line: without this each further line would
        // wait for the client's delayed acknowledgement of the one before.
        BOOL noDelay = TRUE;
        setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&noDelay), sizeof noDelay);
        ++connections_;
        buffer_.clear();
        start_ = 0;
        lastOnConnection_ = SIZE_MAX;
        Serve(s);
        closesocket(s);
    }
}

bool RuleServer::ReadLine(SOCKET s, std::string* line) {
    for (;;) {
        size_t eol = buffer_.find("\r\n", start_);
        if (eol != std::string::npos) {
            line->assign(buffer_, start_, eol - start_);
            start_ = eol + 2;
            return true;
        }
        // Lines are taken from the front by moving a mark; the taken bytes go only before
        // more are read, so that a large message costs no copying per line.
        buffer_.erase(0, start_);
        start_ = 0;
        if (stop_) return false;
        if (!Readable(s, kPollMs)) continue;
        char chunk[65536];
        int got = recv(s, chunk, sizeof chunk, 0);
        if (got <= 0) return false;
        buffer_.append(chunk, size_t(got));
    }
}

bool RuleServer::SendLine(SOCKET s, const std::string& line) {
    std::string bytes = line + "\r\n";
    return send(s, bytes.data(), int(bytes.size()), 0) == int(bytes.size());
}

bool RuleServer::Check(SOCKET s, Stage stage, const std::string& line, bool* answered) {
    *answered = false;
    if (!rule_) return true;
    Decision d = rule_(stage, line);
    if (d.action == Proceed) return true;
    ++faults_;
    if (stage == Quit && lastOnConnection_ != SIZE_MAX) {
        std::lock_guard<std::mutex> guard(lock_);
        messages_[lastOnConnection_].faultAfterward = true;
    }
    switch (d.action) {
    case Drop:
        return false;
    case Stall: {
        // Silent, swallowing what comes in, until the client gives up: it closes, or says
        // QUIT after its time-out (a stalled server has no answer for that either).
        DWORD until = GetTickCount() + stallMs_;
        while (!stop_ && LONG(until - GetTickCount()) > 0) {
            std::string ignored;
            if (buffer_.find("\r\n", start_) != std::string::npos) {
                ReadLine(s, &ignored);
                if (StartsWithNoCase(ignored, "QUIT")) break;
                continue;
            }
            buffer_.erase(0, start_);
            start_ = 0;
            if (!Readable(s, kPollMs)) continue;
            char chunk[4096];
            int got = recv(s, chunk, sizeof chunk, 0);
            if (got <= 0) break;
            buffer_.append(chunk, size_t(got));
        }
        return false;
    }
    default:
        *answered = true;
        return SendLine(s, d.reply.empty() ? "451 4.3.0 injected failure" : d.reply);
    }
}

void RuleServer::Serve(SOCKET s) {
    bool answered = false;
    if (!Check(s, Connect, "", &answered) || answered) return;
    if (!Check(s, Greeting, "", &answered)) return;
    if (answered) return;  // an error greeting: the client gives up
    if (!SendLine(s, "220 rule server ready")) return;
    Message current;
    bool inTransaction = false;
    std::string line;
    while (ReadLine(s, &line)) {
        if (StartsWithNoCase(line, "EHLO") || StartsWithNoCase(line, "HELO")) {
            if (!Check(s, Ehlo, line, &answered)) return;
            if (answered) continue;
            if (StartsWithNoCase(line, "EHLO")) {
                if (!SendLine(s, "250-rule server") || !SendLine(s, "250-PIPELINING") || !SendLine(s, "250 AUTH PLAIN LOGIN"))
                    return;
            } else if (!SendLine(s, "250 rule server")) {
                return;
            }
        } else if (StartsWithNoCase(line, "AUTH")) {
            if (!Check(s, Auth, line, &answered)) return;
            if (answered) continue;
            std::string reply;
            if (StartsWithNoCase(line, "AUTH PLAIN")) {
                if (line.size() <= 11) {  // the token follows on its own line
                    if (!SendLine(s, "334 ") || !ReadLine(s, &reply)) return;
                }
            } else if (StartsWithNoCase(line, "AUTH LOGIN")) {
                if (!SendLine(s, "334 VXNlcm5hbWU6") || !ReadLine(s, &reply)) return;
                if (!SendLine(s, "334 UGFzc3dvcmQ6") || !ReadLine(s, &reply)) return;
            } else {
                if (!SendLine(s, "504 unknown mechanism")) return;
                continue;
            }
            if (!SendLine(s, "235 authenticated")) return;
        } else if (StartsWithNoCase(line, "MAIL FROM:")) {
            if (!Check(s, Mail, line, &answered)) return;
            if (answered) continue;
            current = Message();
            current.mailFrom = line.substr(10);
            inTransaction = true;
            if (!SendLine(s, "250 sender ok")) return;
        } else if (StartsWithNoCase(line, "RCPT TO:")) {
            if (!Check(s, Rcpt, line, &answered)) return;
            if (answered) continue;
            current.recipients.push_back(line.substr(8));
            if (!SendLine(s, "250 recipient ok")) return;
        } else if (StartsWithNoCase(line, "DATA")) {
            if (!Check(s, Data, line, &answered)) return;
            if (answered) continue;
            if (!inTransaction || current.recipients.empty()) {
                if (!SendLine(s, "503 no recipients")) return;
                continue;
            }
            if (!SendLine(s, "354 go ahead")) return;
            bool first = true;
            for (;;) {
                if (!ReadLine(s, &line)) return;
                if (first) {
                    first = false;
                    // A content fault strikes after the first line has come in.
                    if (!Check(s, Content, "", &answered)) return;
                    if (answered) return;  // no reply is possible inside the content: drop
                }
                if (line == ".") break;
                if (!line.empty() && line[0] == '.') line.erase(0, 1);
                current.content += line + "\r\n";
            }
            if (!Check(s, Dot, "", &answered)) return;
            if (answered) {
                inTransaction = false;
                continue;
            }
            {
                std::lock_guard<std::mutex> guard(lock_);
                messages_.push_back(current);
                lastOnConnection_ = messages_.size() - 1;
            }
            inTransaction = false;
            if (!SendLine(s, "250 queued")) return;
        } else if (StartsWithNoCase(line, "QUIT")) {
            if (!Check(s, Quit, line, &answered)) return;
            if (!answered) SendLine(s, "221 bye");
            return;
        } else if (StartsWithNoCase(line, "RSET") || StartsWithNoCase(line, "NOOP")) {
            inTransaction = false;
            if (!SendLine(s, "250 ok")) return;
        } else {
            if (!SendLine(s, "502 command not implemented")) return;
        }
    }
}

}  // namespace smtppeer
