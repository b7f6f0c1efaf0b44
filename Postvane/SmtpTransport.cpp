#include "SmtpTransport.h"
#include <ws2tcpip.h>
#include <atomic>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>
#include "Globals.h"
#include "Resolver.h"
#include "ServiceLog.h"
#include "MailService.h"
#include "SmtpSession.h"
#include "qlframe.h"

namespace Postvane {

namespace {

const size_t kFormatSize = 256;  // FormatBuffer size of every composed message

const char kMalformedText[] = "Ошибка интерпретации ответа сервера";

struct TraceSlot {
    std::atomic<SmtpTraceSink> sink{nullptr};
    std::atomic<void*> context{nullptr};
};
TraceSlot g_trace;

[[noreturn]] void Raise(const string& text) { throw QLAppException(text); }

[[noreturn]] void RaiseCode(const char* format, unsigned code) { Raise(FormatBuffer(kFormatSize, format, code)); }

// Milliseconds left of a budget of total ms that started at the tick start; 0 once spent.
DWORD Remaining(DWORD start, DWORD total) {
    DWORD elapsed = GetTickCount() - start;
    return elapsed >= total ? 0 : total - elapsed;
}

void Trace(SmtpConnection& connection, bool sent, const char* data, size_t length) {
    DWORD bit = sent ? kTraceSent : kTraceReceived;
    SmtpTraceSink sink = g_trace.sink.load();
    bool logged = (connection.TraceFlags() & bit) != 0;
    if (!logged && !sink) return;
    string line(data, length);
    if (logged) connection.Log().WriteText(Runlog::Detail, string(sent ? "C>" : "S>") + LogSafe(line));
    if (sink) sink(g_trace.context.load(), sent, line);
}

string AddressText(const sockaddr* address) {
    char text[INET6_ADDRSTRLEN] = "";
    const void* bytes = address->sa_family == AF_INET6
                            ? static_cast<const void*>(&reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr)
                            : static_cast<const void*>(&reinterpret_cast<const sockaddr_in*>(address)->sin_addr);
    inet_ntop(address->sa_family, const_cast<void*>(bytes), text, sizeof text);
    return string(text);
}

}  // namespace

// ---- Connection ---------------------------------------------------------------------------

bool SmtpConnect(SmtpSession& session) {
    SmtpConnection& connection = session.connection;
    SmtpDisconnect(session);  // never leave an earlier connection behind
    // Every value is checked before anything is opened.
    ReadSmtpSettings(&session.settings, session.settingsKey);
    const SmtpSettings& settings = session.settings;
    const string& server = settings.server;
    const string& port = settings.port;
    if (server.IsEmpty()) {
        connection.Log().WriteText(Runlog::Error, "Почтовый сервер не задан, отправка невозможна");
        return false;
    }
    connection.Log().WriteText(Runlog::Detail, "Почтовый сервер: " + LogSafe(server) + ", порт: " + port);
    connection.policy = settings.policy;
    const string& host = settings.policy.host;
    TlsMode mode = settings.policy.mode;

    AddrInfoRequest request(AF_UNSPEC, SOCK_STREAM, IPPROTO_TCP);
    const addrinfo* first = request.Resolve(host.c_str(), port.c_str());
    if (!first) {
        unsigned error = unsigned(WSAGetLastError());
        throw ConnectFailure("Не удаётся разрешить адрес: сервер \"" + server + "\" порт \"" + port + "\"" +
                                 FormatBuffer(kFormatSize, ". Ошибка Winsock: %u", error),
                             error, true);
    }
    // Each address in the resolver's order, each with an even share of the budget left, so
    // that one that never answers leaves time for the others.
    size_t count = 0;
    for (const addrinfo* a = first; a; a = a->ai_next) ++count;
    DWORD start = GetTickCount();
    for (const addrinfo* a = first; a; a = a->ai_next, --count) {
        DWORD share = Remaining(start, connection.connectBudgetMs) / DWORD(count);
        try {
            connection.Open(a->ai_addr, int(a->ai_addrlen), share);
            break;
        } catch (const QuilletException& e) {
            if (!a->ai_next) {
                // The failure of the server as a whole names it: the log tells at once which
                // setting or which machine to look at.
                const ConnectFailure* failure = dynamic_cast<const ConnectFailure*>(&e);
                if (failure)
                    throw ConnectFailure("Не получилось соединиться с сервером " + server + ":" + port +
                                             FormatBuffer(kFormatSize, ": ошибка Winsock %u", failure->Code()),
                                         failure->Code());
                throw;
            }
            if (connection.StopRequested()) throw;
            connection.Log().WriteText(Runlog::Detail, "Адрес " + AddressText(a->ai_addr) + " не отвечает (" + e.Reason() +
                                                           "), пробуем следующий");
        }
    }
    session.state = SessionState::Greeting;
    if (mode == TlsMode::Implicit) {
        try {
            connection.StartTls(kHandshakeTimeout);
        } catch (...) {
            session.state = SessionState::Closed;
            throw;
        }
    }
    return true;
}

bool SmtpDisconnect(SmtpSession& session) {
    session.connection.Close();
    session.state = SessionState::Closed;
    session.offers = ServerOffers();
    session.ahead = SentAhead();
    session.transactions = 0;
    return true;
}

sockaddr_storage SmtpLocalAddress(SmtpConnection& connection) {
    sockaddr_storage local;
    std::memset(&local, 0, sizeof local);
    int length = sizeof local;
    if (getsockname(connection.Socket(), reinterpret_cast<sockaddr*>(&local), &length) == SOCKET_ERROR)
        RaiseCode("Неожиданная ошибка Winsock: %u", unsigned(WSAGetLastError()));
    return local;
}

// ---- Sending ---------------------------------------------------------------------------------

void SmtpSendLineData(SmtpConnection& connection, const char* text, size_t length, DWORD timeoutMs,
                      const char* shownAs) {
    // A command line can never carry a line end from data: that would split it in two.
    if (std::memchr(text, '\r', length) || std::memchr(text, '\n', length))
        Raise("Строка команды SMTP содержит перевод строки");
    std::string buffer;
    buffer.reserve(length + 2);
    buffer.append(text, length);
    buffer.append("\r\n");
    if (shownAs) {
        std::string shown = std::string(shownAs) + "\r\n";
        Trace(connection, true, shown.data(), shown.size());
    } else {
        Trace(connection, true, buffer.data(), buffer.size());
    }
    try {
        connection.Send(buffer.data(), buffer.size(), timeoutMs);
    } catch (...) {
        if (shownAs) SecureZeroMemory(&buffer[0], buffer.size());
        throw;
    }
    if (shownAs) SecureZeroMemory(&buffer[0], buffer.size());
    connection.CheckStop();
}

void SmtpSendLines(SmtpConnection& connection, const char* lines, size_t length, DWORD timeoutMs) {
    if (connection.TraceFlags() & kTraceSent || g_trace.sink.load()) {
        for (size_t begin = 0; begin < length;) {
            const char* end = static_cast<const char*>(std::memchr(lines + begin, '\n', length - begin));
            size_t next = end ? size_t(end - lines) + 1 : length;
            Trace(connection, true, lines + begin, next - begin);
            begin = next;
        }
    }
    connection.Send(lines, length, timeoutMs);
    connection.CheckStop();
}

void SmtpSendLine(SmtpConnection& connection, const string& text, DWORD timeoutMs, const char* shownAs) {
    SmtpSendLineData(connection, text.c_str(), text.Length(), timeoutMs, shownAs);
}

// ---- Receiving -------------------------------------------------------------------------------

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

// Reads whole lines within timeoutMs until ends(line) is true for one. A line ends at LF,
// with or without a CR before it, and is kept ending with CR LF. Lines that arrived together
// are consumed with one receive, but never a byte after the line that ends the read: the
// connection keeps whatever follows.
template <class Ends>
void ReadLines(SmtpConnection& connection, DWORD timeoutMs, std::vector<std::string>* lines, Ends ends) {
    std::string current;  // consumed bytes of a line whose end has not come yet
    char peek[kLinePeek];
    DWORD start = GetTickCount();
    for (;;) {
        size_t n = connection.Receive(peek, sizeof peek, false, Remaining(start, timeoutMs));
        size_t first = lines->size();
        size_t take = 0;
        bool done = false;
        while (take < n && !done) {
            const char* lf = static_cast<const char*>(std::memchr(peek + take, '\n', n - take));
            // Without a line end all peeked bytes are taken; the line goes on in the next read.
            size_t stop = lf ? size_t(lf - peek) + 1 : n;
            if (current.size() + (stop - take) > kMaxReplyLine) Raise(kMalformedText);
            current.append(peek + take, stop - take);
            take = stop;
            if (!lf) break;
            current.pop_back();  // the LF
            if (!current.empty() && current.back() == '\r') current.pop_back();
            current += "\r\n";
            lines->push_back(std::move(current));
            current.clear();
            done = ends(lines->back());
        }
        for (size_t consumed = 0; consumed < take;)
            consumed += connection.Receive(peek + consumed, take - consumed, true, Remaining(start, timeoutMs));
        for (size_t i = first; i < lines->size(); ++i) Trace(connection, false, (*lines)[i].data(), (*lines)[i].size());
        // A reply that has come in whole is the server's answer, also when a stop request
        // came meanwhile: the answer to a final dot tells whether the message was taken.
        // The request ends the exchange at the next send or wait.
        if (done) return;
        connection.CheckStop();
    }
}

}  // namespace

unsigned SmtpReadReply(SmtpConnection& connection, vec<string>* list, DWORD timeoutMs, bool textOnly) {
    if (list) list->Clear();
    // The read ends at the reply's last line, or at the first line that cannot belong to it.
    std::vector<std::string> lines;
    size_t total = 0;
    unsigned firstCode = 0;
    bool haveFirst = false;
    ReadLines(connection, timeoutMs, &lines, [&](const std::string& line) {
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
