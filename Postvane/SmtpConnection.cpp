#include "SmtpConnection.h"
#include <ws2tcpip.h>
#include <cstring>
#include "Runlog.h"
#include "ServiceLog.h"
#include "qlframe.h"

namespace Postvane {

namespace {

const size_t kFormatSize = 256;
const DWORD kCloseNotifyMs = 1000;  // how long the TLS close notification may wait for room
const DWORD kDefaultConnectBudget = 60000;
// Most that one receive takes from the socket: every reply of a session fits many times.
const size_t kInputBlock = 4096;

const char kTimeoutText[] = "Таймаут ввода от сервера";
const char kClosedText[] = "Соединение разорвано";
const char kConnectText[] = "Не получилось соединиться с сервером, ошибка Winsock: %u";

[[noreturn]] void RaiseCode(const char* format, unsigned code) {
    throw QLAppException(FormatBuffer(kFormatSize, format, code));
}

[[noreturn]] void RaiseConnect(unsigned code) { throw ConnectFailure(FormatBuffer(kFormatSize, kConnectText, code), code); }

[[noreturn]] void RaiseSendError(int code) { RaiseCode("Ошибка Winsock при выводе данных: %u", unsigned(code)); }

// Milliseconds left of a budget of total ms that started at the tick start; 0 once spent.
DWORD Remaining(DWORD start, DWORD total) {
    DWORD elapsed = GetTickCount() - start;
    return elapsed >= total ? 0 : total - elapsed;
}

timeval Slice(DWORD ms) {
    if (ms > kStopSlice) ms = kStopSlice;
    timeval tv;
    tv.tv_sec = long(ms / 1000);
    tv.tv_usec = long(ms % 1000) * 1000;
    return tv;
}

enum class WaitFor { Read, Write, Connect };

// Waits up to one slice (at most ms) for the socket. 1: ready; 0: not yet; SOCKET_ERROR:
// select failed. For Connect, *failure receives the pending error of a failed connect.
int WaitSlice(SOCKET s, WaitFor what, DWORD ms, int* failure = nullptr) {
    fd_set ready, failed;
    FD_ZERO(&ready);
    FD_ZERO(&failed);
    FD_SET(s, &ready);
    FD_SET(s, &failed);
    timeval tv = Slice(ms);
    int r = what == WaitFor::Read ? select(0, &ready, nullptr, nullptr, &tv)
                                  : select(0, nullptr, &ready, what == WaitFor::Connect ? &failed : nullptr, &tv);
    if (r == SOCKET_ERROR || r == 0) return r;
    if (what == WaitFor::Connect && failure) {
        int pending = 0;
        int size = sizeof pending;
        if (getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&pending), &size) == SOCKET_ERROR)
            pending = WSAGetLastError();
        if (FD_ISSET(s, &failed) && pending == 0) pending = WSAECONNREFUSED;
        *failure = pending;
        return 1;
    }
    return FD_ISSET(s, &ready) ? 1 : 0;
}

}  // namespace

SmtpConnection::SmtpConnection(StopTest& stop, const DWORD& traceFlags, Runlog& log)
    : connectBudgetMs(kDefaultConnectBudget), stop_(stop), traceFlags_(traceFlags), log_(log), socket_(INVALID_SOCKET) {}

SmtpConnection::~SmtpConnection() {
    // Without a close notification: the service is going away.
    tls_.reset();
    if (socket_ != INVALID_SOCKET) closesocket(socket_);
}

void SmtpConnection::Open(const sockaddr* address, int addressLength, DWORD timeoutMs) {
    Close();  // never leave an earlier socket behind
    outcome_ = TlsOutcome();
    SOCKET s = socket(address->sa_family, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) RaiseCode("Не удаётся создать TCP сокет, ошибка Winsock: %u", unsigned(WSAGetLastError()));
    socket_ = s;
    try {
        // Commands and content lines go out at once instead of waiting for the peer's
        // delayed acknowledgement; the bytes on the wire are the same.
        BOOL noDelay = TRUE;
        setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&noDelay), sizeof noDelay);
        u_long nonBlocking = 1;
        if (ioctlsocket(s, FIONBIO, &nonBlocking) == SOCKET_ERROR) RaiseConnect(unsigned(WSAGetLastError()));
        if (connect(s, address, addressLength) == 0) return;
        int error = WSAGetLastError();
        if (error != WSAEWOULDBLOCK) RaiseConnect(unsigned(error));
        DWORD start = GetTickCount();
        for (;;) {
            DWORD left = Remaining(start, timeoutMs);
            if (left == 0) RaiseConnect(WSAETIMEDOUT);
            int failure = 0;
            int r = WaitSlice(s, WaitFor::Connect, left, &failure);
            if (r == SOCKET_ERROR) RaiseConnect(unsigned(WSAGetLastError()));
            if (r == 1) {
                if (failure) RaiseConnect(unsigned(failure));
                return;
            }
            CheckStop();
        }
    } catch (...) {
        Close();
        throw;
    }
}

void SmtpConnection::CheckStop() {
    if (graceMs_ == 0) {
        stop_.CheckStop(false);
        return;
    }
    if (!stop_.CheckStop(true)) return;
    if (!graceSeen_) {
        graceSeen_ = true;
        graceStart_ = GetTickCount();
    }
    if (GetTickCount() - graceStart_ >= graceMs_) stop_.CheckStop(false);
}

void SmtpConnection::Close() {
    input_.clear();
    inputAt_ = 0;
    if (tls_) {
        if (socket_ != INVALID_SOCKET) tls_->Close(*this, kCloseNotifyMs);
        tls_.reset();
    }
    if (socket_ != INVALID_SOCKET) {
        shutdown(socket_, SD_BOTH);
        closesocket(socket_);
        socket_ = INVALID_SOCKET;
    }
}

void SmtpConnection::StartTls(DWORD timeoutMs) {
    outcome_ = TlsOutcome();
    outcome_.attempted = true;
    try {
        // After the answer to STARTTLS the server says nothing until the client's hello.
        // Bytes that came anyway, with the answer or before the hello goes out, were put
        // there by someone on the way or by a broken server; they are no part of the
        // handshake, and fed to it they would leave it waiting for a record that never ends.
        // With TLS from the first byte nothing has been read, and whatever a server sends
        // unasked is judged by the handshake.
        if (policy.mode == TlsMode::StartTls) {
            size_t early = input_.size() - inputAt_;
            u_long waiting = 0;
            if (socket_ != INVALID_SOCKET && ioctlsocket(socket_, FIONREAD, &waiting) == 0) early += waiting;
            if (early)
                throw QLAppException(FormatBuffer(kFormatSize,
                                                  "Сервер прислал незашифрованные данные после ответа на STARTTLS (%u "
                                                  "байт): возможна подмена, соединение прервано",
                                                  unsigned(early)));
        }
        // A host given as an address literal is no server name to indicate.
        std::vector<CertificateOwner> pinned;
        if (!policy.skipCheck && policy.rootFile.HasText()) pinned = LoadRootCertificates(policy.rootFile);
        in6_addr probe;
        bool literal = inet_pton(AF_INET, policy.host.c_str(), &probe) == 1 ||
                       inet_pton(AF_INET6, policy.host.c_str(), &probe) == 1;
        tls_.reset(new TlsChannel());
        tls_->Handshake(*this, literal ? string("") : policy.host, timeoutMs);
        outcome_.secure = true;
        outcome_.protocol = tls_->Protocol();
        outcome_.cipher = tls_->Cipher();
        CertificateOwner certificate = tls_->ServerCertificate();
        if (policy.skipCheck) {
            log_.Write(Runlog::Error, "Проверка сертификата сервера отключена (TlsSkipCheck = 1): подлинность сервера "
                                      "не проверяется");
            if (certificate) {
                outcome_.certificate.subject = CertificateNameText(certificate->pCertInfo->Subject);
                outcome_.certificate.issuer = CertificateNameText(certificate->pCertInfo->Issuer);
            }
        } else {
            outcome_.checked = true;
            outcome_.certificate = CheckServerCertificate(certificate.get(), policy.host, pinned);
        }
        const CertificateVerdict& c = outcome_.certificate;
        string described = "сертификат: " + c.subject + "; издатель: " + c.issuer;
        if (outcome_.checked && !c.passed)
            throw QLAppException("Сертификат сервера не прошёл проверку: " + c.reason + " (" + described + ")");
        log_.WriteText(Runlog::Detail, "Соединение защищено (" + outcome_.protocol + "), " + LogSafe(described) +
                                           (outcome_.checked ? "; проверка пройдена" : "; проверка отключена"));
    } catch (...) {
        // No plaintext continues where TLS was asked for.
        tls_.reset();
        Close();
        throw;
    }
}

// ---- Bytes -------------------------------------------------------------------------------

void SmtpConnection::SendPlain(const char* data, size_t length, DWORD timeoutMs) {
    SOCKET s = socket_;
    if (s == INVALID_SOCKET) RaiseSendError(WSAENOTCONN);
    size_t sent = 0;
    DWORD start = GetTickCount();
    while (sent < length) {
        size_t chunk = length - sent;
        if (chunk > 0x40000000) chunk = 0x40000000;
        int n = send(s, data + sent, int(chunk), 0);
        if (n != SOCKET_ERROR) {
            // A partial send is progress, not failure: the rest follows.
            sent += size_t(n);
            start = GetTickCount();
            continue;
        }
        int error = WSAGetLastError();
        if (error != WSAEWOULDBLOCK) RaiseSendError(error);
        // The peer is not reading: wait for room in slices until the budget is spent.
        for (;;) {
            DWORD left = Remaining(start, timeoutMs);
            if (left == 0) RaiseSendError(WSAETIMEDOUT);
            int r = WaitSlice(s, WaitFor::Write, left);
            if (r == SOCKET_ERROR) RaiseSendError(WSAGetLastError());
            if (r == 1) break;
            CheckStop();
        }
    }
}

size_t SmtpConnection::ReceivePlain(char* buffer, size_t length, bool consume, DWORD timeoutMs) {
    if (inputAt_ == input_.size()) {
        // Records of a TLS session go straight to their reader, which keeps its own buffer.
        if (consume) return ReadSocket(buffer, length, false, timeoutMs);
        input_.resize(kInputBlock);
        try {
            input_.resize(ReadSocket(&input_[0], kInputBlock, true, timeoutMs));
        } catch (...) {
            input_.clear();
            throw;
        }
        inputAt_ = 0;
    }
    size_t available = input_.size() - inputAt_;
    size_t n = length < available ? length : available;
    std::memcpy(buffer, &input_[inputAt_], n);
    if (consume) inputAt_ += n;
    if (inputAt_ == input_.size()) {
        input_.clear();
        inputAt_ = 0;
    }
    return n;
}

size_t SmtpConnection::ReadSocket(char* buffer, size_t length, bool waitFirst, DWORD timeoutMs) {
    SOCKET s = socket_;
    if (s == INVALID_SOCKET) RaiseCode("Ошибка ввода от сервера, ошибка Winsock: %u", WSAENOTCONN);
    DWORD start = GetTickCount();
    bool wait = waitFirst;
    for (;;) {
        // Wait for data in slices; a stop request ends the wait between slices.
        while (wait) {
            DWORD left = Remaining(start, timeoutMs);
            int r = WaitSlice(s, WaitFor::Read, left);
            if (r == 1) break;
            if (r == SOCKET_ERROR || Remaining(start, timeoutMs) == 0) throw QLAppException(kTimeoutText);
            CheckStop();
        }
        int n = recv(s, buffer, int(length > 0x7FFFFFFF ? 0x7FFFFFFF : length), 0);
        if (n == SOCKET_ERROR) {
            int error = WSAGetLastError();
            if (error == WSAEWOULDBLOCK) {  // nothing there after all: wait
                wait = true;
                continue;
            }
            RaiseCode("Ошибка ввода от сервера, ошибка Winsock: %u", unsigned(error));
        }
        if (n == 0) throw QLAppException(kClosedText);
        return size_t(n);
    }
}

void SmtpConnection::SendRecords(const char* data, size_t length, DWORD timeoutMs) { SendPlain(data, length, timeoutMs); }

size_t SmtpConnection::ReceiveRecords(char* buffer, size_t length, DWORD timeoutMs) {
    return ReceivePlain(buffer, length, true, timeoutMs);
}

void SmtpConnection::Send(const char* data, size_t length, DWORD timeoutMs) {
    if (tls_)
        tls_->Send(*this, data, length, timeoutMs);
    else
        SendPlain(data, length, timeoutMs);
}

size_t SmtpConnection::Receive(char* buffer, size_t length, bool consume, DWORD timeoutMs) {
    if (tls_) return tls_->Receive(*this, buffer, length, consume, timeoutMs);
    return ReceivePlain(buffer, length, consume, timeoutMs);
}

}  // namespace Postvane
