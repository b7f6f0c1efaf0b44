// SMTP peers for tests and benchmarks of the SMTP client, all on 127.0.0.1.
//
// ScriptedServer: an in-process server that plays a script on one connection: exact reply
// bytes, replies split over several sends, several replies in one send, pauses, silence,
// closing at any step; it records every byte the client sent.
//
// HostPeer: a real server run on the host (aiosmtpd under /usr/bin/python3, Postfix's
// smtp-sink, or a private Postfix instance for submission with STARTTLS and SASL) through
// tools/smtppeer/host_peer.py, steered over a control connection; it ends when the HostPeer
// is destroyed (or the program ends).
#pragma once
#include <winsock2.h>
#include <windows.h>
#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace smtppeer {

class ScriptedServer {
public:
    // Listens on a free port of 127.0.0.1 (of ::1 with ipv6). receiveBuffer > 0 sets
    // SO_RCVBUF of the accepted connection (small values let a test fill the path quickly).
    explicit ScriptedServer(int receiveBuffer = 0, bool ipv6 = false);
    ~ScriptedServer();
    ScriptedServer(const ScriptedServer&) = delete;
    ScriptedServer& operator=(const ScriptedServer&) = delete;

    unsigned short Port() const { return port_; }

    // Script steps, played in order on the first connection once Start is called.
    ScriptedServer& Send(const std::string& bytes);      // one send call
    ScriptedServer& Pause(DWORD ms);
    ScriptedServer& Expect(size_t lines = 1);            // waits for that many more lines
    ScriptedServer& ExpectLine(const std::string& line); // skips lines up to one equal to line
    ScriptedServer& Reply(const std::string& bytes) { return Expect().Send(bytes); }
    ScriptedServer& Close();                             // closes the connection
    ScriptedServer& Stall();                             // stops reading until destroyed
    // After the last step the server keeps reading and recording, answering nothing,
    // until the client closes or the server is destroyed.

    void Start();
    // Waits until the script has played (true) or ms passed (false).
    bool WaitScript(DWORD ms);
    // Waits until the client closed the connection (true) or ms passed.
    bool WaitClientClosed(DWORD ms);
    // Everything the client has sent so far.
    std::string Received() const;
    // What went wrong while playing (a wait that timed out, the client leaving); empty if nothing.
    std::string Error() const;
    // How many connections were accepted.
    int Connections() const { return connections_.load(); }

private:
    struct Step {
        enum Kind { Send, Pause, Expect, ExpectLine, Close, Stall } kind;
        std::string bytes;
        size_t count;
    };
    void Run();
    bool ReadMore(SOCKET s, DWORD waitMs);  // false: closed, failed or stopped
    bool NextLine(SOCKET s, std::string* line);
    void Fail(const std::string& what);

    SOCKET listener_;
    unsigned short port_;
    int receiveBuffer_;
    std::vector<Step> steps_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> scriptDone_{false};
    std::atomic<bool> clientClosed_{false};
    std::atomic<int> connections_{0};
    mutable std::mutex lock_;
    std::string received_;
    std::string error_;
    size_t cursor_ = 0;  // start of the next unread line in received_
};

// A delivered message as aiosmtpd saw it ("" for none).
struct DeliveredMessage {
    std::string mechanism;  // "PLAIN" or "LOGIN" when authenticated
    std::string login;
    std::string mailFrom;
    std::string recipients;  // joined by ","
    std::string content;     // after dot-unstuffing, with its CR LF line ends
};

class HostPeer {
public:
    struct Options {
        std::string server = "aiosmtpd";  // or "smtp-sink", "postfix"
        std::string login;
        std::string password;
        bool usualLogin = false;    // LOGIN challenges "Username:" and "Password:"
        bool authRequired = false;
        bool noPlain = false;       // PLAIN not offered
        // TLS: "starttls" or "implicit" (from the first byte); certificates is the folder of
        // MakeTestCertificates, certificate the server's ("server", "wrong-name", "unknown").
        std::string tls;
        std::string certificates;
        std::string certificate;
        bool requireTls = false;    // STARTTLS before anything else; AUTH only inside TLS
        unsigned sizeLimit = 0;     // postfix: message_size_limit (0: Postfix's default)
        bool no8BitMime = false;    // postfix: 8BITMIME not offered (smtpd_discard_ehlo_keywords)
        bool noSize = false;        // postfix: SIZE not offered, the limit checked at the end of data
        bool plain = false;         // postfix: no STARTTLS, AUTH in plain text (no certificates needed)
        std::vector<std::string> refuse;     // postfix: RCPT TO refused for good (554 5.7.1)
        std::vector<std::string> deferOnce;  // postfix: RCPT TO refused for now (450 4.2.0) the first time
    };
    // Starts the peer and waits until it listens. Started() tells whether it did.
    explicit HostPeer(const Options& options);
    ~HostPeer();
    HostPeer(const HostPeer&) = delete;
    HostPeer& operator=(const HostPeer&) = delete;

    bool Started() const { return port_ != 0; }
    std::string Error() const { return error_; }
    unsigned short Port() const { return port_; }
    // Waits until count messages have been delivered or ms passed; returns those delivered.
    std::vector<DeliveredMessage> Messages(size_t count, DWORD ms);

private:
    bool ReadLine(std::string* line, DWORD ms);
    void Collect();  // reads the reports as they come, so the peer never waits on them
    SOCKET control_;
    unsigned short port_;
    std::string error_;
    std::string pending_;
    std::thread collector_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> closed_{false};
    std::mutex lock_;
    std::vector<DeliveredMessage> messages_;
};

// The Unix path of the host peer script (fixed when the library is built).
const char* HostPeerScript();
// The Unix path of another script beside it (token_peer.py).
std::string PeerScript(const char* name);

// Starts a peer script (its Unix path) under /usr/bin/python3 with "--control PORT" and the
// arguments, and waits until it has connected back to that port. Returns the control
// connection, or INVALID_SOCKET with *error set. Wine hands out no handle for a Unix process:
// the control connection stands in, and the script ends when it closes.
SOCKET LaunchPeerScript(const std::string& script, const std::string& arguments, std::string* error);

// The Unix path of a Windows path (the Wine prefix's mapping); the path itself elsewhere.
std::string UnixPath(const std::string& windowsPath);

// The DOS form of a Unix path under Wine (Z:\usr\bin\python3); Wine starts a Unix program
// given that way as a process of its own.
std::string DosPath(const char* unixPath);

// Makes the test certificates (tools/smtppeer/test_certs.py, with openssl on the host) in
// dir, a Windows path: root.pem, root.der, other-root.pem, server.pem, wrong-name.pem,
// unknown.pem and their keys. Returns "" when they were made, else what went wrong.
std::string MakeTestCertificates(const std::string& dir);

}  // namespace smtppeer
