#include "SmtpTransport.h"
#include <ws2tcpip.h>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <string>
#include "Globals.h"
#include "MailService.h"
#include "Resolver.h"
#include "qlframe.h"

namespace Postvane {

namespace {

const char kSmtpSubkey[] = "SMTP";
const char kDefaultPort[] = "smtp";
const size_t kFormatSize = 256;  // FormatBuffer size of every composed message

const char kTimeoutText[] = "Таймаут ввода от сервера";
const char kClosedText[] = "Соединение разорвано";
const char kMalformedText[] = "Ошибка интерпретации ответа сервера";

struct TraceSlot {
    std::atomic<SmtpTraceSink> sink{nullptr};
    std::atomic<void*> context{nullptr};
};
TraceSlot g_trace;

[[noreturn]] void Raise(const string& text) { throw QLAppException(text); }

[[noreturn]] void RaiseCode(const char* format, unsigned code) { Raise(FormatBuffer(kFormatSize, format, code)); }

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

void Trace(MailService& service, bool sent, const char* data, size_t length) {
    DWORD bit = sent ? kTraceSent : kTraceReceived;
    SmtpTraceSink sink = g_trace.sink.load();
    if (!(service.debugFlags & bit) && !sink) return;
    string line(data, length);
    if (service.debugFlags & bit) ServiceLog().WriteText(Runlog::Detail, string(sent ? "C>" : "S>") + line);
    if (sink) sink(g_trace.context.load(), sent, line);
}

// Connects the non-blocking socket, waiting in slices and testing the stop event between
// them. How long an unanswered connect may take is the platform's.
void ConnectInSlices(MailService& service, const sockaddr* address) {
    const char* failText = "Не получилось соединиться с сервером, ошибка Winsock: %u";
    SOCKET s = service.socket;
    u_long nonBlocking = 1;
    if (ioctlsocket(s, FIONBIO, &nonBlocking) == SOCKET_ERROR) RaiseCode(failText, unsigned(WSAGetLastError()));
    if (connect(s, address, sizeof(sockaddr_in)) == 0) return;
    int error = WSAGetLastError();
    if (error != WSAEWOULDBLOCK) RaiseCode(failText, unsigned(error));
    for (;;) {
        int failure = 0;
        int r = WaitSlice(s, WaitFor::Connect, kStopSlice, &failure);
        if (r == SOCKET_ERROR) RaiseCode(failText, unsigned(WSAGetLastError()));
        if (r == 1) {
            if (failure) RaiseCode(failText, unsigned(failure));
            return;
        }
        service.CheckStop(false);
    }
}

// Sends all bytes; each wait for room is bounded by timeoutMs counted from the last progress.
void SendAll(MailService& service, const char* data, size_t length, DWORD timeoutMs) {
    SOCKET s = service.socket;
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
            service.CheckStop(false);
        }
    }
}

}  // namespace

// ---- Connection ---------------------------------------------------------------------------

bool SmtpConnect(MailService& service) {
    RegKey smtp(*ConfigKey(), kSmtpSubkey, false, KEY_READ);
    string server = smtp["Server"];
    string port = smtp["Port"];
    if (server.IsEmpty()) {
        ServiceLog().WriteText(Runlog::Error, "Почтовый сервер не задан, отправка невозможна");
        return false;
    }
    if (port.IsEmpty()) {
        // A port stored as a number is taken as its decimal text.
        int number = smtp["Port"];
        port = number > 0 ? FormatBuffer(kFormatSize, "%d", number) : string(kDefaultPort);
    }
    ServiceLog().WriteText(Runlog::Detail, "Почтовый сервер: " + server + ", порт: " + port);

    SmtpDisconnect(service);  // never leave an earlier socket behind
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) RaiseCode("Не удаётся создать TCP сокет, ошибка Winsock: %u", unsigned(WSAGetLastError()));
    service.socket = s;
    try {
        // Commands and content lines go out at once instead of waiting for the peer's
        // delayed acknowledgement; the bytes on the wire are the same.
        BOOL noDelay = TRUE;
        setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&noDelay), sizeof noDelay);

        AddrInfoRequest request(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        const addrinfo* address = request.Resolve(server.c_str(), port.c_str());
        if (!address) {
            unsigned error = unsigned(WSAGetLastError());
            Raise("Не удаётся разрешить адрес: сервер \"" + server + "\" порт \"" + port + "\"" +
                  FormatBuffer(kFormatSize, ". Ошибка Winsock: %u", error));
        }
        ConnectInSlices(service, address->ai_addr);
    } catch (...) {
        SmtpDisconnect(service);
        throw;
    }
    return true;
}

bool SmtpDisconnect(MailService& service) {
    if (service.socket != INVALID_SOCKET) {
        shutdown(service.socket, SD_BOTH);
        closesocket(service.socket);
        service.socket = INVALID_SOCKET;
    }
    return true;
}

in_addr SmtpLocalAddress(MailService& service) {
    sockaddr_in local;
    std::memset(&local, 0, sizeof local);
    int length = sizeof local;
    if (getsockname(service.socket, reinterpret_cast<sockaddr*>(&local), &length) == SOCKET_ERROR)
        RaiseCode("Неожиданная ошибка Winsock: %u", unsigned(WSAGetLastError()));
    return local.sin_addr;
}

// ---- Sending ---------------------------------------------------------------------------------

void SmtpSendLineData(MailService& service, const char* text, size_t length, DWORD timeoutMs, const char* shownAs) {
    // A command line can never carry a line end from data: that would split it in two.
    if (std::memchr(text, '\r', length) || std::memchr(text, '\n', length))
        Raise("Строка команды SMTP содержит перевод строки");
    std::string buffer;
    buffer.reserve(length + 2);
    buffer.append(text, length);
    buffer.append("\r\n");
    if (shownAs) {
        std::string shown = std::string(shownAs) + "\r\n";
        Trace(service, true, shown.data(), shown.size());
    } else {
        Trace(service, true, buffer.data(), buffer.size());
    }
    try {
        SendAll(service, buffer.data(), buffer.size(), timeoutMs);
    } catch (...) {
        if (shownAs) SecureZeroMemory(&buffer[0], buffer.size());
        throw;
    }
    if (shownAs) SecureZeroMemory(&buffer[0], buffer.size());
    service.CheckStop(false);
}

void SmtpSendLines(MailService& service, const char* lines, size_t length, DWORD timeoutMs) {
    if (service.debugFlags & kTraceSent || g_trace.sink.load()) {
        for (size_t begin = 0; begin < length;) {
            const char* end = static_cast<const char*>(std::memchr(lines + begin, '\n', length - begin));
            size_t next = end ? size_t(end - lines) + 1 : length;
            Trace(service, true, lines + begin, next - begin);
            begin = next;
        }
    }
    SendAll(service, lines, length, timeoutMs);
    service.CheckStop(false);
}

void SmtpSendLine(MailService& service, const string& text, DWORD timeoutMs, const char* shownAs) {
    SmtpSendLineData(service, text.c_str(), text.Length(), timeoutMs, shownAs);
}

// ---- Receiving -------------------------------------------------------------------------------

namespace {

// SmtpReceive without the stop test after consuming: the caller tests it when the bytes
// taken do not end what it reads.
size_t Receive(MailService& service, char* buffer, size_t length, bool consume, DWORD timeoutMs) {
    SOCKET s = service.socket;
    DWORD start = GetTickCount();
    // Bytes to consume were peeked before and are there already: no wait first. A peek
    // usually waits for the server, so it waits first.
    bool wait = !consume;
    for (;;) {
        // Wait for data in slices; a stop request ends the wait between slices.
        while (wait) {
            DWORD left = Remaining(start, timeoutMs);
            int r = WaitSlice(s, WaitFor::Read, left);
            if (r == 1) break;
            if (r == SOCKET_ERROR || Remaining(start, timeoutMs) == 0) Raise(kTimeoutText);
            service.CheckStop(false);
        }
        int n = recv(s, buffer, int(length > 0x7FFFFFFF ? 0x7FFFFFFF : length), consume ? 0 : MSG_PEEK);
        if (n == SOCKET_ERROR) {
            int error = WSAGetLastError();
            if (error == WSAEWOULDBLOCK) {  // nothing there after all: wait
                wait = true;
                continue;
            }
            RaiseCode("Ошибка ввода от сервера, ошибка Winsock: %u", unsigned(error));
        }
        if (n == 0) Raise(kClosedText);
        return size_t(n);
    }
}

}  // namespace

size_t SmtpReceive(MailService& service, char* buffer, size_t length, bool consume, DWORD timeoutMs) {
    if (!buffer || length == 0) {
        service.CheckStop(false);
        return 0;
    }
    size_t n = Receive(service, buffer, length, consume, timeoutMs);
    // A peek and the consume that follows it are one receive: the stop test (a kernel call
    // of its own) follows the consume.
    if (consume) service.CheckStop(false);
    return n;
}

namespace {

// One reply line taken apart: the code and where its text starts.
struct ReplyLine {
    bool wellFormed = false;
    bool continuation = false;  // "-" after the code
    unsigned code = 0;
    size_t textAt = 0;          // the text after the separator; the line's length for a bare code
};

ReplyLine ParseReplyLine(const std::string& line) {
    ReplyLine r;
    const char* p = line.c_str();
    if (*p < '0' || *p > '9') return r;
    char* end = nullptr;
    unsigned long value = std::strtoul(p, &end, 10);
    size_t separatorAt = size_t(end - p);
    bool atLineEnd = separatorAt + 2 == line.size();  // every line ends with CR LF
    if (!atLineEnd && *end != '-' && *end != ' ') return r;
    r.wellFormed = true;
    r.code = unsigned(value);
    r.continuation = !atLineEnd && *end == '-';
    r.textAt = atLineEnd ? line.size() : separatorAt + 1;
    return r;
}

// Reads whole lines (each ending with CR LF, kept) within timeoutMs until ends(line) is true
// for one. Lines that arrived together are consumed with one receive, but never a byte
// after the line that ends the read: the socket keeps whatever follows.
template <class Ends>
void ReadLines(MailService& service, DWORD timeoutMs, std::vector<std::string>* lines, Ends ends) {
    std::string current;  // consumed bytes of a line whose end has not come yet
    char peek[kLinePeek];
    DWORD start = GetTickCount();
    for (;;) {
        size_t n = Receive(service, peek, sizeof peek, false, Remaining(start, timeoutMs));
        size_t first = lines->size();
        size_t take = 0;
        bool done = false;
        while (take < n && !done) {
            size_t end = std::string::npos;
            if (take == 0 && peek[0] == '\n' && !current.empty() && current.back() == '\r') {
                end = 1;  // a CR LF split between two reads
            } else {
                for (size_t i = take; i + 1 < n; ++i) {
                    if (peek[i] == '\r' && peek[i + 1] == '\n') {
                        end = i + 2;
                        break;
                    }
                }
            }
            // Without a line end all peeked bytes are taken; a CR at the very end is
            // recognised with its LF on the next read.
            size_t stop = end == std::string::npos ? n : end;
            if (current.size() + (stop - take) > kMaxReplyLine) Raise(kMalformedText);
            current.append(peek + take, stop - take);
            take = stop;
            if (end == std::string::npos) break;
            lines->push_back(std::move(current));
            current.clear();
            done = ends(lines->back());
        }
        for (size_t consumed = 0; consumed < take;)
            consumed += Receive(service, peek + consumed, take - consumed, true, Remaining(start, timeoutMs));
        for (size_t i = first; i < lines->size(); ++i) Trace(service, false, (*lines)[i].data(), (*lines)[i].size());
        // A reply that has come in whole is the server's answer, also when a stop request
        // came meanwhile: the answer to a final dot tells whether the message was taken.
        // The request ends the exchange at the next send or wait.
        if (done) return;
        service.CheckStop(false);
    }
}

}  // namespace

string SmtpReadLine(MailService& service, DWORD timeoutMs) {
    std::vector<std::string> lines;
    ReadLines(service, timeoutMs, &lines, [](const std::string&) { return true; });
    return string(std::move(lines[0]));
}

unsigned SmtpReadReply(MailService& service, vec<string>* list, DWORD timeoutMs, bool textOnly) {
    if (list) list->Clear();
    // The read ends at the reply's last line, or at the first line that cannot belong to it.
    std::vector<std::string> lines;
    size_t total = 0;
    unsigned firstCode = 0;
    bool haveFirst = false;
    ReadLines(service, timeoutMs, &lines, [&](const std::string& line) {
        total += line.size();
        if (total > kMaxReplyBytes) Raise(kMalformedText);
        ReplyLine r = ParseReplyLine(line);
        if (!haveFirst) {
            firstCode = r.code;
            haveFirst = true;
        }
        return !r.wellFormed || !r.continuation || r.code != firstCode;
    });
    unsigned code = 0;
    for (size_t i = 0; i < lines.size(); ++i) {
        const std::string& line = lines[i];
        ReplyLine r = ParseReplyLine(line);
        if (!r.wellFormed || (i > 0 && r.code != code)) Raise(kMalformedText);
        code = r.code;
        if (r.continuation) {
            if (list) list->Add(string(line.substr(r.textAt)));
            continue;
        }
        if (list) list->Add(string(textOnly ? line.substr(r.textAt) : line));
        return code;
    }
    Raise(kMalformedText);  // not reached: the read ends only at a last or malformed line
}

string JoinReply(const vec<string>& list) {
    std::string joined;
    for (const string& s : list) joined += s.str();
    return string(std::move(joined));
}

void SetSmtpTraceSink(SmtpTraceSink sink, void* context) {
    g_trace.context.store(context);
    g_trace.sink.store(sink);
}

}  // namespace Postvane
