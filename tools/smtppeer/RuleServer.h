// An in-process SMTP server that takes connection after connection, speaks enough SMTP to
// accept mail (EHLO/HELO, AUTH PLAIN and LOGIN, MAIL, RCPT, DATA, QUIT, RSET, NOOP; commands
// in groups, as it offers PIPELINING) and lets
// a rule decide, at every step, to go on, drop the connection, stall, or answer an error.
// It records every message whose final dot it acknowledged.
#pragma once
#include <winsock2.h>
#include <windows.h>
#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace smtppeer {

class RuleServer {
public:
    enum Stage { Connect, Greeting, Ehlo, Auth, Mail, Rcpt, Data, Content, Dot, Quit, StageCount };
    enum Action { Proceed, Drop, Stall, Error };
    struct Decision {
        Action action = Proceed;
        std::string reply;  // for Error: the whole reply line without CR LF, e.g. "451 4.3.0 busy"
    };
    // Asked at each stage before the server answers; line is the client's command (empty for
    // Connect, Greeting, Content and Dot). Runs on the server's thread.
    typedef std::function<Decision(Stage stage, const std::string& line)> Rule;

    struct Message {
        std::string mailFrom;
        std::vector<std::string> recipients;
        std::string content;      // after dot-unstuffing, lines ending with CR LF
        bool faultAfterward = false;  // a fault struck later on the same connection (QUIT)
    };

    // Listens on a free port of 127.0.0.1. A stall keeps the connection silent, swallowing
    // what the client sends, until the client closes it or says QUIT, or stallMs has passed;
    // then the server closes it.
    explicit RuleServer(Rule rule = nullptr, DWORD stallMs = 1500);
    ~RuleServer();
    RuleServer(const RuleServer&) = delete;
    RuleServer& operator=(const RuleServer&) = delete;

    unsigned short Port() const { return port_; }
    std::vector<Message> Messages() const;
    int Connections() const { return connections_.load(); }
    int Faults() const { return faults_.load(); }
    static const char* StageName(Stage stage);

private:
    void Run();
    void Serve(SOCKET s);
    bool ReadLine(SOCKET s, std::string* line);
    bool SendLine(SOCKET s, const std::string& line);
    // Applies the rule: true to go on, false when the connection is to end.
    bool Check(SOCKET s, Stage stage, const std::string& line, bool* answered);

    SOCKET listener_;
    unsigned short port_;
    Rule rule_;
    DWORD stallMs_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<int> connections_{0};
    std::atomic<int> faults_{0};
    mutable std::mutex lock_;
    std::vector<Message> messages_;
    std::string buffer_;  // what the client sent and the server has not read yet, from start_ on
    size_t start_ = 0;
    size_t lastOnConnection_ = SIZE_MAX;  // index of the message delivered on this connection
};

}  // namespace smtppeer
