// The connection below the SMTP dialogue: the socket, the TLS channel once there is one,
// the stop test and the trace. The transport (SmtpTransport.h) reads and writes lines
// through it; it knows no SMTP command.
//
// Every wait (connect, readability, room to send) is cut into slices of at most kStopSlice;
// between slices the stop test runs, so a stop request ends any wait within about a second.
// After connect the socket is in non-blocking mode; only the connection uses it.
//
// Bytes go through TLS once StartTls has succeeded: the plaintext of the server's records
// is then what Receive peeks at and consumes. Before that, a peek with nothing left over
// takes what the socket holds (up to a few KiB) into the connection's input, and peeks and
// consumes serve from there: replies that came together cost one receive, and a peek
// followed by its consume no system call at all. The input is a stretch of the byte
// stream, nothing more. A server may say nothing between its answer to STARTTLS and the
// client's hello: bytes there (in the input or the socket) are taken for an injection and
// end the attempt before the handshake starts.
//
// While a StopGrace lives, a stop request ends the waits only after its grace: the final
// reply to a message's content is still read.
#pragma once
#include <winsock2.h>
#include <windows.h>
#include <memory>
#include <vector>
#include "CertificateCheck.h"
#include "TlsChannel.h"
#include "core.h"

class Runlog;

namespace Postvane {

const DWORD kStopSlice = 1000;  // longest wait between two tests of the stop event, ms

// The stop test of the service: true when a stop was requested; with quiet false a request
// raises QLAppException "Обнаружен запрос на завершение работы сервиса" instead.
class StopTest {
public:
    virtual bool CheckStop(bool quiet) = 0;
protected:
    ~StopTest() = default;
};

// A connect that failed: the text is "Не получилось соединиться с сервером, ошибка Winsock:
// %u" and the code the Winsock error (10060 after the time allowed).
// SmtpConnect raises it too, for the server as a whole, and with unresolved set when the
// server's name gave no address.
class ConnectFailure : public QLAppException {
public:
    ConnectFailure(const string& text, unsigned code, bool unresolved = false)
        : QLAppException(text), code_(code), unresolved_(unresolved) {}
    unsigned Code() const { return code_; }
    bool Unresolved() const { return unresolved_; }
private:
    unsigned code_;
    bool unresolved_;
};

// The security that the SMTP subkey's Tls number asks for.
enum class TlsMode : DWORD {
    None = 0,      // plain SMTP
    StartTls = 1,  // STARTTLS required before anything is said that matters
    Implicit = 2,  // TLS from the first byte
};

// How the server's certificate is judged (TlsRootCertificate, TlsSkipCheck) and for which name.
struct TlsPolicy {
    TlsMode mode = TlsMode::None;
    string host;      // the name or address the certificate must name (Server)
    string rootFile;  // TlsRootCertificate: a root to accept besides the machine's; empty: none
    bool skipCheck = false;
};

// What became of TLS on the connection, for the log and the console tool.
struct TlsOutcome {
    bool attempted = false;  // StartTls began on this connection
    bool secure = false;  // the handshake succeeded
    string protocol;      // "TLS 1.2"
    string cipher;
    bool checked = false;  // the certificate was checked (false when the check is off)
    CertificateVerdict certificate;
};

class SmtpConnection : private RecordCarrier {
public:
    // The connection keeps the addresses of its partners: the stop test, the trace flags
    // (kTraceSent, kTraceReceived of DebugFlags; read at each line) and the log.
    SmtpConnection(StopTest& stop, const DWORD& traceFlags, Runlog& log);
    ~SmtpConnection();
    SmtpConnection(const SmtpConnection&) = delete;
    SmtpConnection& operator=(const SmtpConnection&) = delete;

    // Connects a new socket to address (TCP_NODELAY set), waiting at most timeoutMs; how long
    // an unanswered connect may take is otherwise the platform's. An earlier connection is
    // closed first. Raises "Не удаётся создать TCP сокет, ошибка Winsock: %u" or
    // ConnectFailure "Не получилось соединиться с сервером, ошибка Winsock: %u" (10060 after
    // timeoutMs), leaving no socket.
    void Open(const sockaddr* address, int addressLength, DWORD timeoutMs);
    // Sends the TLS close notification when there is a session, shuts the socket down in
    // both directions and closes it. Harmless when there is no connection.
    void Close();
    bool IsOpen() const { return socket_ != INVALID_SOCKET; }
    SOCKET Socket() const { return socket_; }

    // The TLS handshake over the open connection (policy.host as the server name), then the
    // check of the server's certificate by the policy. Logs the outcome; a certificate check
    // that is switched off logs the kind 2 warning. Raises the texts of TlsChannel.h,
    // "Сертификат сервера не прошёл проверку: <why> (сертификат: <subject>; издатель:
    // <issuer>)", that of LoadRootCertificates, and for STARTTLS "Сервер прислал
    // незашифрованные данные после ответа на STARTTLS (%u байт): возможна подмена,
    // соединение прервано"; the connection is closed then.
    void StartTls(DWORD timeoutMs);
    bool IsSecure() const { return tls_ != nullptr && outcome_.secure; }
    const TlsOutcome& Tls() const { return outcome_; }

    // Sends all bytes (through TLS when secure); each wait for room is bounded by timeoutMs
    // counted from the last progress. Raises "Ошибка Winsock при выводе данных: %u" (10060
    // when no room came in time).
    void Send(const char* data, size_t length, DWORD timeoutMs);
    // Waits until bytes are there (at most timeoutMs), then takes up to length of them:
    // peeked when consume is false, removed when true. Returns their count. Raises
    // "Таймаут ввода от сервера", "Ошибка ввода от сервера, ошибка Winsock: %u",
    // "Соединение разорвано".
    size_t Receive(char* buffer, size_t length, bool consume, DWORD timeoutMs);

    // The stop test with quiet false; while a grace is set (StopGrace), a stop request raises
    // only once the grace has passed since the request was first seen.
    void CheckStop();
    // True when a stop was requested; raises nothing.
    bool StopRequested() { return stop_.CheckStop(true); }

    Runlog& Log() { return log_; }
    DWORD TraceFlags() const { return traceFlags_; }

    TlsPolicy policy;     // set by SmtpConnect for this connection
    DWORD connectBudgetMs;  // all addresses of a server together (SmtpConnect); tests shorten it

private:
    void SendRecords(const char* data, size_t length, DWORD timeoutMs) override;
    size_t ReceiveRecords(char* buffer, size_t length, DWORD timeoutMs) override;
    void SendPlain(const char* data, size_t length, DWORD timeoutMs);
    size_t ReceivePlain(char* buffer, size_t length, bool consume, DWORD timeoutMs);
    // One receive from the socket into buffer, waiting for data first when waitFirst is set
    // (and when the socket has none after all).
    size_t ReadSocket(char* buffer, size_t length, bool waitFirst, DWORD timeoutMs);

    friend class StopGrace;
    StopTest& stop_;
    DWORD graceMs_ = 0;        // 0: a stop request raises at once
    bool graceSeen_ = false;   // the request has been seen while the grace is set
    DWORD graceStart_ = 0;     // when it was first seen
    const DWORD& traceFlags_;
    Runlog& log_;
    SOCKET socket_;
    std::vector<char> input_;  // received from the socket, not yet consumed from inputAt_ on
    size_t inputAt_ = 0;
    std::unique_ptr<TlsChannel> tls_;  // closed before the socket
    TlsOutcome outcome_;
};

// While it lives, a stop request ends the connection's waits only after ms: a reply that
// tells whether the server took a message is still read when it comes in that time.
class StopGrace {
public:
    StopGrace(SmtpConnection& connection, DWORD ms) : connection_(connection) {
        connection_.graceMs_ = ms;
        connection_.graceSeen_ = false;
    }
    ~StopGrace() { connection_.graceMs_ = 0; }
    StopGrace(const StopGrace&) = delete;
    StopGrace& operator=(const StopGrace&) = delete;
private:
    SmtpConnection& connection_;
};

}  // namespace Postvane
