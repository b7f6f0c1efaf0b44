#include "SmtpDialogue.h"
#include <algorithm>
#include <functional>
#include <cstring>
#include <cstdlib>
#include <string>
#include <vector>
#include "Globals.h"
#include "Resolver.h"
#include "Secret.h"
#include "ServiceLog.h"
#include "SmtpSession.h"
#include "SmtpTransport.h"
#include "Submit.h"
#include "qlframe.h"

namespace Postvane {

namespace {

const size_t kFormatSize = 256;

// SMTP reply codes the dialogue accepts or acts on.
const unsigned kReady = 220;
const unsigned kClosing = 221;
const unsigned kAuthenticated = 235;
const unsigned kOk = 250;
const unsigned kForwarded = 251;
const unsigned kChallenge = 334;
const unsigned kStartInput = 354;
const unsigned kUnknownCommand = 500;
const unsigned kBadArguments = 501;
const unsigned kNotImplemented = 502;
const unsigned kServiceClosing = 421;
const unsigned kAuthFailed = 535;
const unsigned kTooBig = 552;
const unsigned kBadMailbox = 553;

// The content goes out in blocks of whole lines of about this size: one send call per
// line would cost a kernel call per line.
const size_t kContentBlock = 65536;

// What the trace shows instead of lines that carry credentials.
const char kHiddenPlain[] = "AUTH PLAIN ********";
const char kHiddenXoauth2[] = "AUTH XOAUTH2 ********";
const char kHiddenBearer[] = "AUTH OAUTHBEARER ********";
const char kHidden[] = "********";

[[noreturn]] void Raise(const string& text) { throw QLAppException(text); }

// A reply as one log line: its line ends become blanks.
string OneLine(const string& text) {
    std::string s = text.str();
    for (char& c : s)
        if (c == '\r' || c == '\n') c = ' ';
    while (!s.empty() && s.back() == ' ') s.pop_back();
    return string(std::move(s));
}

// Appends the Base64 form of the bytes, through a small buffer that is wiped: a credential
// never passes through a shared text.
void AppendBase64(SecretText& out, const char* data, size_t length) {
    char block[64];
    const size_t step = 48;  // a multiple of 3: the pieces join into one Base64 text
    for (size_t at = 0; at < length; at += step) {
        size_t n = length - at < step ? length - at : step;
        out.Append(block, Base64Encode(data + at, n, block));
    }
    SecureZeroMemory(block, sizeof block);
}

// The text of one line of the EHLO reply without its code (the last line keeps it in
// whole-line mode) and its line end.
std::string OfferText(const string& line, bool last) {
    std::string text = line.str();
    size_t lineEnd = text.find_first_of("\r\n");
    if (lineEnd != std::string::npos) text.erase(lineEnd);
    if (last) {
        size_t digits = 0;
        while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9') ++digits;
        text.erase(0, digits < text.size() ? digits + 1 : digits);
    }
    return text;
}

// The offers of an EHLO reply in whole-line mode: one keyword per line with its
// parameters, compared without regard to case. "AUTH=" is an old spelling of "AUTH ".
ServerOffers ReadOffers(const vec<string>& reply) {
    ServerOffers offers;
    for (size_t i = 0; i < reply.Count(); ++i) {
        std::string text = OfferText(reply[i], i + 1 == reply.Count());
        std::vector<std::string> words;
        for (size_t pos = 0; pos < text.size();) {
            size_t blank = text.find(' ', pos);
            if (blank == std::string::npos) blank = text.size();
            if (blank > pos) words.push_back(text.substr(pos, blank - pos));
            pos = blank + 1;
        }
        if (words.empty()) continue;
        std::string keyword = words[0];
        if (_strnicmp(keyword.c_str(), "AUTH=", 5) == 0) {
            words[0] = keyword.substr(5);
            keyword = "AUTH";
        } else {
            words.erase(words.begin());
        }
        if (_stricmp(keyword.c_str(), "AUTH") == 0) {
            for (const std::string& w : words) {
                if (_stricmp(w.c_str(), "PLAIN") == 0) offers.plain = true;
                if (_stricmp(w.c_str(), "LOGIN") == 0) offers.login = true;
                if (_stricmp(w.c_str(), "XOAUTH2") == 0) offers.xoauth2 = true;
                if (_stricmp(w.c_str(), "OAUTHBEARER") == 0) offers.oauthBearer = true;
            }
        } else if (_stricmp(keyword.c_str(), "STARTTLS") == 0) {
            offers.startTls = true;
        } else if (_stricmp(keyword.c_str(), "8BITMIME") == 0) {
            offers.eightBit = true;
        } else if (_stricmp(keyword.c_str(), "PIPELINING") == 0) {
            offers.pipelining = true;
        } else if (_stricmp(keyword.c_str(), "CHUNKING") == 0) {
            offers.chunking = true;
        } else if (_stricmp(keyword.c_str(), "SIZE") == 0) {
            offers.size = true;
            if (!words.empty()) offers.sizeLimit = std::strtoull(words[0].c_str(), nullptr, 10);
        }
    }
    return offers;
}

// The time left of the authentication budget.
class Budget {
public:
    explicit Budget(DWORD totalMs) : start_(GetTickCount()), total_(totalMs) {}
    DWORD Left() const {
        DWORD elapsed = GetTickCount() - start_;
        return elapsed >= total_ ? 0 : total_ - elapsed;
    }
private:
    DWORD start_;
    DWORD total_;
};

// How an authentication exchange ended; the reply that ended it is kept for the log.
enum class AuthResult { Done, Rejected, Failed };

struct AuthExchange {
    AuthExchange(SmtpConnection& c, const string& l, const SecretText& p, DWORD budgetMs)
        : connection(c), login(l), password(p), budget(budgetMs) {}
    SmtpConnection& connection;
    const string& login;
    const SecretText& password;
    Budget budget;
    vec<string> reply;  // the last reply
    unsigned code = 0;
    bool replyTextOnly = false;

    unsigned Read(bool textOnly = false) {
        code = SmtpReadReply(connection, &reply, budget.Left(), textOnly);
        replyTextOnly = textOnly;
        return code;
    }
    // The last reply as one log line, its code first.
    string ReplyText() const {
        string text = JoinReply(reply);
        if (replyTextOnly) text = FormatBuffer(kFormatSize, "%u ", code) + text;
        return OneLine(text);
    }
    void Send(const char* line) { SmtpSendLine(connection, string(line), budget.Left()); }
    void SendSecret(const SecretText& line, const char* shownAs) {
        SmtpSendLineData(connection, line.Data(), line.Length(), budget.Left(), shownAs);
    }
    AuthResult Outcome(unsigned last, bool logSuccess = true) const {
        if (last == kAuthenticated) {
            if (logSuccess) connection.Log().Write(Runlog::Detail, "Авторизация пройдена");
            return AuthResult::Done;
        }
        return last == kAuthFailed ? AuthResult::Rejected : AuthResult::Failed;
    }
};

AuthResult AuthenticatePlain(AuthExchange& x) {
    // NUL, login, NUL, password: no authorisation identity, no terminating NUL.
    SecretText raw;
    raw.Append('\0');
    raw.Append(x.login.c_str(), x.login.Length());
    raw.Append('\0');
    raw.Append(x.password.Data(), x.password.Length());
    SecretText token;
    AppendBase64(token, raw.Data(), raw.Length());
    raw.Clear();
    SecretText command;
    command.Append("AUTH PLAIN ", 11);
    command.Append(token.Data(), token.Length());
    x.SendSecret(command, kHiddenPlain);
    command.Clear();
    unsigned code = x.Read();
    if (code == kBadArguments) {
        // A server that takes no initial response: the token goes on a line of its own.
        x.Send("AUTH PLAIN");
        code = x.Read();
        if (code != kChallenge) return x.Outcome(code);
    }
    if (code == kChallenge) {
        x.SendSecret(token, kHidden);
        return x.Outcome(x.Read(), false);  // success on this path goes unlogged, as ever
    }
    return x.Outcome(code);
}

AuthResult AuthenticateLogin(AuthExchange& x) {
    x.Send("AUTH LOGIN");
    for (unsigned answered = 0;;) {
        unsigned code = x.Read(true);
        if (code != kChallenge) return x.Outcome(code);
        std::string challenge = x.reply.IsEmpty() ? std::string() : x.reply[0].str();
        size_t lineEnd = challenge.find_first_of("\r\n");
        if (lineEnd != std::string::npos) challenge.erase(lineEnd);
        vec<unsigned char> decoded;
        bool valid = Base64Decode(&decoded, challenge.c_str());
        if (!valid) x.connection.Log().Write(Runlog::Error, "Ошибка base64 в запросе сервера");
        if (!valid || answered >= 2) {
            // Cancelled, so that the next command is not taken for an answer; the reply
            // to the cancellation ends the exchange.
            x.Send("*");
            return x.Outcome(x.Read(true));
        }
        // The user name first, the password second, whatever the prompts say ("Username:",
        // "User Name", ...).
        const char* data = answered == 0 ? x.login.c_str() : x.password.Data();
        size_t length = answered == 0 ? x.login.Length() : x.password.Length();
        SecretText answer;
        AppendBase64(answer, data, length);
        x.SendSecret(answer, kHidden);
        ++answered;
    }
}

void RaiseWithReply(const char* text, const vec<string>& reply) { Raise(text + JoinReply(reply)); }

}  // namespace

SmtpTimeouts& ReplyTimeouts() {
    static SmtpTimeouts timeouts;
    return timeouts;
}

namespace {

// EHLO, or HELO when the server knows no EHLO (500, 502); the offers of the reply.
ServerOffers Greet(SmtpConnection& connection, const string& host) {
    const SmtpTimeouts& t = ReplyTimeouts();
    vec<string> reply;
    SmtpSendLine(connection, "EHLO " + host, t.hello);
    unsigned code = SmtpReadReply(connection, &reply, t.hello, false);
    if (code == kOk) return ReadOffers(reply);
    if (code != kUnknownCommand && code != kNotImplemented) RaiseWithReply("Неожиданный ответ сервера: ", reply);
    SmtpSendLine(connection, "HELO " + host, t.hello);
    if (SmtpReadReply(connection, &reply, t.hello, false) != kOk) RaiseWithReply("Неожиданный ответ сервера: ", reply);
    return ServerOffers();
}

// The greeting, EHLO, and with Tls = 1 STARTTLS and EHLO again inside TLS: everything before
// the sign-in.
void GreetAndSecure(SmtpSession& session) {
    const SmtpTimeouts& t = ReplyTimeouts();
    SmtpConnection& connection = session.connection;
    sockaddr_storage local = SmtpLocalAddress(connection);

    vec<string> reply;
    session.state = SessionState::Greeting;
    unsigned code = SmtpReadReply(connection, &reply, t.greeting, false);
    if (code != kReady) Raise(FormatBuffer(kFormatSize, "Неожиданный код начального ответа сервера: %u", code));

    string host = ChooseHelloName(reinterpret_cast<const sockaddr*>(&local));
    connection.CheckStop();
    session.state = SessionState::Hello;
    session.offers = Greet(connection, host);

    if (connection.policy.mode == TlsMode::StartTls && !connection.IsSecure()) {
        if (!session.offers.startTls)
            Raise("Сервер не предлагает STARTTLS, а защищённое соединение обязательно (Tls = 1)");
        session.state = SessionState::StartTls;
        SmtpSendLine(connection, "STARTTLS", t.hello);
        if (SmtpReadReply(connection, &reply, t.hello, false) != kReady)
            RaiseWithReply("Неожиданный ответ сервера (STARTTLS): ", reply);
        connection.StartTls(t.hello);
        // What the server offered in plain text counts no more.
        session.offers = ServerOffers();
        session.state = SessionState::Hello;
        session.offers = Greet(connection, host);
    }
}

// ---- Signing in with an OAuth 2.0 access token (XOAUTH2, OAUTHBEARER) -----------------------

enum class TokenMechanism { Bearer, Xoauth2 };

const char* MechanismName(TokenMechanism m) { return m == TokenMechanism::Bearer ? "OAUTHBEARER" : "XOAUTH2"; }

// How one AUTH with a token ended.
struct TokenAttempt {
    enum Result { Done, Refused, Closing, Failed } result = Failed;
    string reply;      // the reply that ended it, its code first
    string challenge;  // the server's error challenge, decoded; empty when none came
};

// The login as the authorization identity of a GS2 header: "," and "=" escaped.
void AppendGs2Name(SecretText& out, const string& login) {
    for (const char* p = login.c_str(); *p; ++p) {
        if (*p == ',') out.Append("=2C", 3);
        else if (*p == '=') out.Append("=3D", 3);
        else out.Append(*p);
    }
}

// The port the connection reached, as decimal digits: OAUTHBEARER names it, and Port may be
// a service name.
std::string PeerPort(SmtpConnection& connection) {
    sockaddr_storage peer = {};
    int length = sizeof peer;
    if (getpeername(connection.Socket(), reinterpret_cast<sockaddr*>(&peer), &length) != 0) return std::string();
    unsigned short port = peer.ss_family == AF_INET6 ? reinterpret_cast<const sockaddr_in6*>(&peer)->sin6_port
                                                     : reinterpret_cast<const sockaddr_in*>(&peer)->sin_port;
    return std::to_string(ntohs(port));
}

// The initial response of the mechanism, not yet in Base64:
//   XOAUTH2      user=<login> ^A auth=Bearer <token> ^A ^A
//   OAUTHBEARER  n,a=<login>, ^A host=<server> ^A port=<port> ^A auth=Bearer <token> ^A ^A
void BuildTokenResponse(SmtpSession& session, TokenMechanism mechanism, const SecretText& token, SecretText& raw) {
    const string& login = session.settings.login;
    raw.Clear();
    if (mechanism == TokenMechanism::Xoauth2) {
        raw.Append("user=", 5);
        raw.Append(login.c_str(), login.Length());
    } else {
        raw.Append("n,a=", 4);
        AppendGs2Name(raw, login);
        raw.Append(",\x01" "host=", 7);
        const string& host = session.connection.policy.host;
        raw.Append(host.c_str(), host.Length());
        std::string port = PeerPort(session.connection);
        raw.Append("\x01" "port=", 6);
        raw.Append(port.c_str(), port.size());
    }
    raw.Append("\x01" "auth=Bearer ", 13);
    raw.Append(token.Data(), token.Length());
    raw.Append("\x01\x01", 2);
}

// One AUTH with the token. The error challenge (334 with a Base64 JSON text) is answered with
// the empty response, as both mechanisms require; the reply to that ends the exchange.
TokenAttempt TryToken(SmtpSession& session, TokenMechanism mechanism, const SecretText& token) {
    SmtpConnection& connection = session.connection;
    AuthExchange x(connection, session.settings.login, token, ReplyTimeouts().auth);
    SecretText raw;
    BuildTokenResponse(session, mechanism, token, raw);
    SecretText command;
    command.Append("AUTH ", 5);
    const char* name = MechanismName(mechanism);
    command.Append(name, std::strlen(name));
    command.Append(' ');
    AppendBase64(command, raw.Data(), raw.Length());
    raw.Clear();
    x.SendSecret(command, mechanism == TokenMechanism::Bearer ? kHiddenBearer : kHiddenXoauth2);
    command.Clear();
    TokenAttempt attempt;
    unsigned code = x.Read(true);
    if (code == kChallenge) {
        std::string text = x.reply.IsEmpty() ? std::string() : x.reply[0].str();
        size_t lineEnd = text.find_first_of("\r\n");
        if (lineEnd != std::string::npos) text.erase(lineEnd);
        vec<unsigned char> decoded;
        if (Base64Decode(&decoded, text.c_str()))
            attempt.challenge = OneLine(string(std::string(reinterpret_cast<const char*>(decoded.Data()), decoded.Count())));
        else
            attempt.challenge = OneLine(string(text));
        x.Send("");
        code = x.Read(true);
    }
    attempt.reply = x.ReplyText();
    if (code == kAuthenticated) attempt.result = TokenAttempt::Done;
    else if (code == kServiceClosing) attempt.result = TokenAttempt::Closing;
    else if (code == kAuthFailed || attempt.challenge.HasText()) attempt.result = TokenAttempt::Refused;
    else attempt.result = TokenAttempt::Failed;
    return attempt;
}

// The mechanism to use: OAUTHBEARER, the standard one, before XOAUTH2.
TokenMechanism ChooseMechanism(const SmtpSession& session) {
    const ServerOffers& offered = session.offers;
    if (!offered.oauthBearer && !offered.xoauth2)
        Raise("Сервер не предлагает вход OAuth 2.0 (AUTH OAUTHBEARER или XOAUTH2)");
    return offered.oauthBearer ? TokenMechanism::Bearer : TokenMechanism::Xoauth2;
}

string RefusalText(TokenMechanism mechanism, const SmtpSession& session, const TokenAttempt& attempt) {
    string text = string("Сервер не принял маркер доступа OAuth (") + MechanismName(mechanism) + ", имя \"" +
                  session.settings.login + "\"), ответ сервера: " + attempt.reply;
    if (attempt.challenge.HasText()) text += " (запрос сервера: " + attempt.challenge + ")";
    return text;
}

// Signs in with the access token of session.tokens. A token the server refuses is dropped and
// a new one fetched once; the sign-in is tried once more with it, on a new connection when
// the server has closed this one. Every failure raises: it is the server's or the settings'
// as a whole, and the pass ends.
void SignInWithToken(SmtpSession& session) {
    SmtpConnection& connection = session.connection;
    const string& login = session.settings.login;
    // A token is worth as much as a password: it never travels in plain text.
    if (!connection.IsSecure())
        Raise(FormatBuffer(kFormatSize, "Вход OAuth 2.0 (Auth = %lu) возможен только в защищённом соединении: задайте "
                                        "Tls = 1 или 2", static_cast<unsigned long>(session.settings.auth)));
    if (login.IsEmpty()) Raise("Не задано входное имя пользователя");
    // The login goes into a text whose fields control characters separate.
    for (const char* p = login.c_str(); *p; ++p)
        if (static_cast<unsigned char>(*p) < 0x20 || *p == 0x7F)
            Raise("Входное имя пользователя (Login) содержит управляющие символы");
    TokenMechanism mechanism = ChooseMechanism(session);
    SecretText token;
    session.tokens.AccessToken(&token);
    TokenAttempt attempt = TryToken(session, mechanism, token);
    if (attempt.result == TokenAttempt::Done) {
        connection.Log().WriteText(Runlog::Detail, string("Авторизация пройдена (") + MechanismName(mechanism) + ")");
        return;
    }
    if (attempt.result != TokenAttempt::Refused) Raise(RefusalText(mechanism, session, attempt));
    connection.Log().WriteText(Runlog::Detail, LogSafe(RefusalText(mechanism, session, attempt)) +
                                                   "; запрашиваем новый маркер доступа");
    session.tokens.Drop();
    session.tokens.AccessToken(&token);
    bool reconnect = false;
    try {
        attempt = TryToken(session, mechanism, token);
        reconnect = attempt.result == TokenAttempt::Closing;
    } catch (const QuilletException&) {
        // The server closed the connection after refusing the token.
        if (connection.StopRequested()) throw;
        reconnect = true;
    }
    if (reconnect) {
        connection.Log().Write(Runlog::Detail, "Сервер закрыл соединение после отказа, входим заново");
        if (!SmtpConnect(session)) Raise("Почтовый сервер не задан, отправка невозможна");
        GreetAndSecure(session);
        session.state = SessionState::Auth;
        mechanism = ChooseMechanism(session);
        attempt = TryToken(session, mechanism, token);
    }
    if (attempt.result != TokenAttempt::Done) Raise(RefusalText(mechanism, session, attempt));
    connection.Log().WriteText(Runlog::Detail, string("Авторизация пройдена (") + MechanismName(mechanism) + ")");
}

}  // namespace

void SmtpHello(SmtpSession& session) {
    GreetAndSecure(session);
    SmtpSignIn(session);
}

void SmtpGreetAndSecure(SmtpSession& session) { GreetAndSecure(session); }

SignInOutcome SmtpSignIn(SmtpSession& session) {
    const SmtpTimeouts& t = ReplyTimeouts();
    SmtpConnection& connection = session.connection;
    SignInOutcome outcome;
    if (session.settings.auth != SmtpAuth::Password) {
        session.state = SessionState::Auth;
        SignInWithToken(session);
        session.state = SessionState::Ready;
        outcome.accepted = outcome.offered = true;
        return outcome;
    }

    const string& login = session.settings.login;
    const SecretText& password = session.settings.password;

    // Authentication is always attempted: LOGIN stands in when nothing was offered.
    session.state = SessionState::Auth;
    ServerOffers offered = session.offers;
    bool anyOffered = offered.plain || offered.login;
    if (login.IsEmpty()) Raise("Не задано входное имя пользователя");
    AuthExchange exchange(connection, login, password, t.auth);
    AuthResult result = AuthResult::Failed;
    if (offered.plain) result = AuthenticatePlain(exchange);
    if (result == AuthResult::Failed && (offered.login || !offered.plain)) result = AuthenticateLogin(exchange);
    // A rejected password is told once; a LOGIN tried without being offered that the server
    // does not know ends quietly.
    if (result == AuthResult::Rejected || (result == AuthResult::Failed && anyOffered))
        connection.Log().WriteText(Runlog::Error, "Авторизация не пройдена (имя \"" + login + "\"), ответ сервера: " +
                                                      LogSafe(exchange.ReplyText()));
    session.state = SessionState::Ready;
    outcome.accepted = result == AuthResult::Done;
    outcome.offered = anyOffered;
    if (!outcome.accepted) {
        outcome.code = exchange.code;
        outcome.reply = exchange.ReplyText();
    }
    return outcome;
}

namespace {

// The MAIL FROM command for the message; the checks that come before it raise.
string MailFromCommand(const SmtpSession& session, string* reversePath, unsigned long long messageSize) {
    const string& sender = session.settings.reversePath;
    if (sender.IsEmpty()) Raise("Не задан адрес отправителя (\"ReversePath\")");
    // An address with a line end, brackets or blanks would add commands or parameters.
    if (!IsPlainAddress(sender.str())) Raise("Недопустимый адрес отправителя (\"ReversePath\"): " + OneLine(sender));
    const ServerOffers& offers = session.offers;
    if (offers.size && offers.sizeLimit && messageSize > offers.sizeLimit)
        throw SmtpRefusal(kTooBig, FormatBuffer(kFormatSize, "Письмо больше, чем принимает сервер: %llu байт при пределе %llu",
                                                messageSize, offers.sizeLimit));
    string command = "MAIL FROM: <" + sender + ">";
    if (offers.eightBit) command += " BODY=8BITMIME";
    if (offers.size && messageSize) command += FormatBuffer(kFormatSize, " SIZE=%llu", messageSize);
    if (reversePath) *reversePath = sender;
    return command;
}


bool HasLineEnd(const string& text) { return std::strpbrk(text.c_str(), "\r\n") != nullptr; }

}  // namespace

std::vector<string> Recipients(const string& recipients) {
    std::vector<string> list;
    const std::string& all = recipients.str();
    for (size_t pos = 0; pos <= all.size() && recipients.HasText();) {
        size_t comma = all.find(',', pos);
        std::string piece = all.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos);
        std::string unfolded;
        for (char c : piece)
            if (c != '\r' && c != '\n') unfolded += c;
        string recipient(unfolded);
        trim(recipient);
        // Nothing between two commas is no recipient (RCPT TO: <> would be refused).
        if (recipient.HasText()) list.push_back(recipient);
        if (comma == std::string::npos) break;
        pos = comma + 1;
    }
    return list;
}

namespace {
MessageContent ContentFor(const SmtpSession& session, const MessageContent& content);
}  // namespace

void SmtpSendAhead(SmtpSession& session, const string& recipients, const MessageContent& content,
                   unsigned long long messageSize) {
    SmtpConnection& connection = session.connection;
    if (!session.offers.pipelining) return;
    string mail;
    try {
        mail = MailFromCommand(session, nullptr, messageSize);
    } catch (const QuilletException&) {
        return;  // raised again, in its place, by SmtpMailFrom
    }
    std::vector<string> list = Recipients(recipients);
    // A command with a line end in it is refused by the step that sends it, not sent here.
    if (HasLineEnd(mail) || list.empty()) return;
    for (const string& r : list)
        if (!IsPlainAddress(r.str())) return;  // no line end either
    std::string block = mail.str() + "\r\n";
    for (const string& r : list) block += "RCPT TO: <" + r.str() + ">\r\n";
    // With CHUNKING the content joins the group: the server delivers it to the recipients it
    // accepted, and refuses the chunk when it accepted none.
    bool chunk = session.offers.chunking;
    if (chunk) {
        SmtpSendLines(connection, block.data(), block.size(), ReplyTimeouts().mailFrom);
        SmtpSendChunk(connection, ContentFor(session, content), ReplyTimeouts().dataEnd);
    } else {
        block += "DATA\r\n";
        SmtpSendLines(connection, block.data(), block.size(), ReplyTimeouts().mailFrom);
    }
    session.ahead.mail = true;
    session.ahead.rcpt = unsigned(list.size());
    session.ahead.data = !chunk;
    session.ahead.bdat = chunk;
    session.state = SessionState::Transaction;
}

void SmtpMailFrom(SmtpSession& session, string* reversePath, unsigned long long messageSize) {
    const SmtpTimeouts& t = ReplyTimeouts();
    SmtpConnection& connection = session.connection;
    if (session.ahead.mail) {
        session.ahead.mail = false;
        if (reversePath) MailFromCommand(session, reversePath, 0);
    } else {
        string command = MailFromCommand(session, reversePath, messageSize);
        session.state = SessionState::Transaction;
        SmtpSendLine(connection, command, t.mailFrom);
    }
    vec<string> reply;
    unsigned code = SmtpReadReply(connection, &reply, t.mailFrom, false);
    if (code != kOk) throw SmtpRefusal(code, "Неожиданный ответ сервера (MAIL): " + JoinReply(reply));
}

namespace {

// The content as SMTP carries it, fed in pieces: every CR LF, bare LF and bare CR ends a line
// and goes out as CR LF, text after the last line end is a last line; with stuffing a line
// beginning with "." gets one more "." (after DATA; never in a BDAT chunk). out(data, length)
// receives the wire bytes in blocks of about kContentBlock.
class WireWriter {
public:
    WireWriter(bool stuffing, std::function<void(const char*, size_t)> out) : stuffing_(stuffing), out_(std::move(out)) {
        block_.reserve(kContentBlock + 1024);
    }
    void Feed(const char* data, size_t length) {
        for (size_t i = 0; i < length; ++i) {
            char c = data[i];
            if (afterCr_) {
                afterCr_ = false;
                if (c == '\n') continue;  // the LF of a CR LF already ended the line
            }
            if (c == '\r' || c == '\n') {
                block_ += "\r\n";
                lineStart_ = true;
                afterCr_ = c == '\r';
            } else {
                if (lineStart_ && stuffing_ && c == '.') block_ += '.';
                lineStart_ = false;
                block_ += c;
            }
            if (block_.size() >= kContentBlock) Flush();
        }
    }
    // Ends the last line, adds tail ("" or the final dot) and hands over what is left.
    void Finish(const char* tail) {
        if (!lineStart_) block_ += "\r\n";
        lineStart_ = true;
        block_ += tail;
        Flush();
    }
private:
    void Flush() {
        if (!block_.empty()) out_(block_.data(), block_.size());
        block_.clear();
    }
    bool stuffing_;
    std::function<void(const char*, size_t)> out_;
    std::string block_;
    bool lineStart_ = true;
    bool afterCr_ = false;
};

// The size of the content on the wire, with or without stuffing, before any final dot.
unsigned long long WireSize(const MessageContent& content, bool stuffing) {
    unsigned long long size = 0;
    WireWriter writer(stuffing, [&](const char*, size_t length) { size += length; });
    content.ForEachBlock([&](const char* data, size_t length) { writer.Feed(data, length); });
    writer.Finish("");
    return size;
}

}  // namespace

namespace {

bool HasEightBit(const char* text, size_t length) {
    for (size_t i = 0; i < length; ++i)
        if (static_cast<unsigned char>(text[i]) >= 0x80) return true;
    return false;
}

// One header field of an entity's header block, unfolded; empty when there is none.
std::string FieldValue(const std::string& header, const char* name) {
    size_t nameLength = std::strlen(name);
    for (size_t pos = 0; pos < header.size();) {
        size_t eol = header.find("\r\n", pos);
        if (eol == std::string::npos) eol = header.size();
        if (eol - pos > nameLength && _strnicmp(header.c_str() + pos, name, nameLength) == 0 &&
            header[pos + nameLength] == ':') {
            std::string value = header.substr(pos + nameLength + 1, eol - pos - nameLength - 1);
            // Continuation lines belong to the field.
            while (eol + 2 < header.size() && (header[eol + 2] == ' ' || header[eol + 2] == '\t')) {
                size_t next = header.find("\r\n", eol + 2);
                if (next == std::string::npos) next = header.size();
                value += header.substr(eol + 2, next - eol - 2);
                eol = next;
            }
            return value;
        }
        pos = eol + 2;
    }
    return std::string();
}

std::string Trimmed(const std::string& text) {
    size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos) return std::string();
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

// The boundary parameter of a multipart Content-Type value; empty for any other type.
std::string MultipartBoundary(const std::string& type) {
    std::string t = Trimmed(type);
    if (_strnicmp(t.c_str(), "multipart/", 10) != 0) return std::string();
    for (size_t pos = t.find(';'); pos != std::string::npos; pos = t.find(';', pos + 1)) {
        size_t name = t.find_first_not_of(" \t", pos + 1);
        if (name == std::string::npos || _strnicmp(t.c_str() + name, "boundary=", 9) != 0) continue;
        size_t value = name + 9;
        if (value < t.size() && t[value] == '"') {
            size_t close = t.find('"', value + 1);
            return close == std::string::npos ? std::string() : t.substr(value + 1, close - value - 1);
        }
        size_t end = t.find_first_of("; \t", value);
        return t.substr(value, end == std::string::npos ? std::string::npos : end - value);
    }
    return std::string();
}

// The header block with the value of its Content-Transfer-Encoding field replaced.
std::string WithEncoding(const std::string& header, const char* encoding) {
    const char name[] = "content-transfer-encoding:";
    for (size_t pos = 0; pos < header.size();) {
        size_t eol = header.find("\r\n", pos);
        if (eol == std::string::npos) eol = header.size();
        if (_strnicmp(header.c_str() + pos, name, sizeof name - 1) == 0) {
            size_t end = eol;
            while (end + 2 < header.size() && (header[end + 2] == ' ' || header[end + 2] == '\t')) {
                end = header.find("\r\n", end + 2);
                if (end == std::string::npos) end = header.size();
            }
            return header.substr(0, pos) + "Content-Transfer-Encoding: " + encoding + header.substr(end);
        }
        pos = eol + 2;
    }
    return header;
}

// Appends the entity text[begin, end) with every part that declares 8bit made
// quoted-printable; multipart bodies are walked part by part, everything else is copied.
void AppendSevenBit(std::string& out, const std::string& text, size_t begin, size_t end) {
    // The header block ends at the blank line; an entity may start with it (no fields).
    size_t blank = text.compare(begin, 2, "\r\n") == 0 ? begin : text.find("\r\n\r\n", begin);
    if (blank == std::string::npos || blank + 2 > end || !HasEightBit(text.data() + begin, end - begin)) {
        out.append(text, begin, end - begin);
        return;
    }
    size_t headerEnd = blank == begin ? begin : blank + 2;  // after the last field's CR LF
    std::string header = text.substr(begin, headerEnd - begin);
    size_t body = std::min(headerEnd + 2, end);
    std::string boundary = MultipartBoundary(FieldValue(header, "Content-Type"));
    if (!boundary.empty()) {
        const std::string dash = "--" + boundary;
        // The next delimiter line at or after from: the offset of its "--".
        auto delimiter = [&](size_t from) -> size_t {
            if (from == body && text.compare(body, dash.size(), dash) == 0) return body;
            size_t at = text.find("\r\n" + dash, from);
            return at == std::string::npos || at + 2 >= end ? std::string::npos : at + 2;
        };
        size_t d = delimiter(body);
        if (d == std::string::npos) {
            out.append(text, begin, end - begin);
            return;
        }
        out.append(text, begin, d - begin);  // the header block and the preamble
        for (;;) {
            size_t eol = text.find("\r\n", d);
            if (eol == std::string::npos || eol + 2 > end) {
                out.append(text, d, end - d);
                return;
            }
            out.append(text, d, eol + 2 - d);  // the delimiter line
            if (text.compare(d + dash.size(), 2, "--") == 0) {
                out.append(text, eol + 2, end - eol - 2);  // the epilogue
                return;
            }
            size_t part = eol + 2;
            size_t next = delimiter(eol);
            if (next == std::string::npos) {
                AppendSevenBit(out, text, part, end);
                return;
            }
            // The CR LF before the next delimiter belongs to it, not to the part; an empty
            // part shares it with the delimiter line before.
            if (next - 2 >= part) {
                AppendSevenBit(out, text, part, next - 2);
                out += "\r\n";
            }
            d = next;
        }
    }
    std::string encoding = Trimmed(FieldValue(header, "Content-Transfer-Encoding"));
    if (_stricmp(encoding.c_str(), "8bit") != 0) {
        out.append(text, begin, end - begin);
        return;
    }
    out += WithEncoding(header, "quoted-printable");
    out += "\r\n";
    AppendQuotedPrintable(out, text.data() + body, end - body, true);
}

}  // namespace

string SmtpSevenBitContent(const string& content) {
    const std::string& text = content.str();
    if (!HasEightBit(text.data(), text.size())) return content;
    std::string out;
    out.reserve(text.size() + text.size() / 2);
    AppendSevenBit(out, text, 0, text.size());
    return string(std::move(out));
}

unsigned long long SmtpWireSize(const MessageContent& content) { return WireSize(content, true); }

void SmtpRcptTo(SmtpSession& session, const string& recipients, std::vector<RecipientOutcome>* outcomes) {
    const SmtpTimeouts& t = ReplyTimeouts();
    SmtpConnection& connection = session.connection;
    std::vector<RecipientOutcome> local;
    std::vector<RecipientOutcome>& results = outcomes ? *outcomes : local;
    results.clear();
    bool accepted = false;
    const SmtpRefusal* first = nullptr;
    SmtpRefusal refusal(0, string());
    auto refuse = [&](unsigned code, const string& text) {
        if (!first) {
            refusal = SmtpRefusal(code, text);
            first = &refusal;
        }
    };
    for (const string& recipient : Recipients(recipients)) {
        results.push_back(RecipientOutcome());
        RecipientOutcome& outcome = results.back();
        outcome.address = recipient;
        // Never sent: brackets or blanks would end the address and add ESMTP parameters.
        if (!IsPlainAddress(recipient.str())) {
            outcome.code = kBadMailbox;
            outcome.reply = "Недопустимый адрес получателя: " + OneLine(recipient);
            refuse(kBadMailbox, outcome.reply);
            continue;
        }
        if (session.ahead.rcpt) --session.ahead.rcpt;
        else SmtpSendLine(connection, "RCPT TO: <" + recipient + ">", t.rcptTo);
        vec<string> reply;
        outcome.code = SmtpReadReply(connection, &reply, t.rcptTo, false);
        outcome.reply = JoinReply(reply);
        if (outcome.Accepted()) {
            accepted = true;
            continue;
        }
        SmtpRefusal refused(outcome.code, "Неожиданный ответ сервера (RCPT): " + outcome.reply);
        // A server that closes the session answers nothing more.
        if (outcome.code == kServiceClosing) throw refused;
        refuse(refused.Code(), refused.Reason());
    }
    if (results.empty()) throw SmtpRefusal(kBadMailbox, "Не задан адрес получателя этого сообщения");
    if (first && !accepted) throw refusal;
}

namespace {

// Sends the content as SMTP carries it (WireWriter), in blocks; with stuffing the final dot
// follows, travelling with the last lines.
void SendContent(SmtpConnection& connection, const MessageContent& sent, bool stuffing, DWORD timeoutMs) {
    WireWriter writer(stuffing, [&](const char* data, size_t length) { SmtpSendLines(connection, data, length, timeoutMs); });
    sent.ForEachBlock([&](const char* data, size_t length) { writer.Feed(data, length); });
    writer.Finish(stuffing ? ".\r\n" : "");
}

// The content as it goes to this server: 8bit parts quoted-printable for a server without
// 8BITMIME (the conversion needs the whole content in memory), otherwise as it is.
MessageContent ContentFor(const SmtpSession& session, const MessageContent& content) {
    if (session.offers.eightBit) return content;
    return MessageContent(SmtpSevenBitContent(content.Whole()));
}

// The final reply to the content: a stop request meanwhile waits kFinalReplyGraceMs for it,
// since only the reply tells whether the server took the message.
unsigned ReadFinalReply(SmtpConnection& connection, vec<string>* reply, DWORD timeoutMs) {
    StopGrace grace(connection, kFinalReplyGraceMs);
    return SmtpReadReply(connection, reply, timeoutMs, false);
}

}  // namespace

void SmtpSendChunk(SmtpConnection& connection, const MessageContent& sent, DWORD timeoutMs) {
    string command = FormatBuffer(kFormatSize, "BDAT %llu LAST", WireSize(sent, false));
    SmtpSendLine(connection, command, timeoutMs);
    SendContent(connection, sent, false, timeoutMs);
}

void SmtpData(SmtpSession& session, const MessageContent& content, bool* beforeData) {
    const SmtpTimeouts& t = ReplyTimeouts();
    SmtpConnection& connection = session.connection;
    if (beforeData) *beforeData = true;
    vec<string> reply;
    // A server that offers CHUNKING takes the content as one BDAT chunk: no dot stuffing, no
    // reply to wait for before the content. The chunk may have gone with MAIL and RCPT.
    if (session.offers.chunking) {
        if (beforeData) *beforeData = false;
        if (session.ahead.bdat) {
            session.ahead.bdat = false;
        } else {
            SmtpSendChunk(connection, ContentFor(session, content), t.dataEnd);
        }
        unsigned code = ReadFinalReply(connection, &reply, t.dataEnd);
        session.state = SessionState::Ready;
        if (code != kOk) throw SmtpRefusal(code, "Неожиданный ответ сервера (BDAT): " + JoinReply(reply));
        return;
    }
    if (session.ahead.data) session.ahead.data = false;
    else SmtpSendLine(connection, "DATA", t.dataInit);
    unsigned code = SmtpReadReply(connection, &reply, t.dataInit, false);
    if (code != kStartInput) throw SmtpRefusal(code, "Неожиданный ответ сервера (DATA init): " + JoinReply(reply));
    if (beforeData) *beforeData = false;

    // No line end other than CR LF ever reaches the wire, so no text can end the data early
    // or smuggle commands after it. A server without 8BITMIME gets 8bit parts
    // quoted-printable; the file stays as it is.
    SendContent(connection, ContentFor(session, content), true, t.dataEnd);
    code = ReadFinalReply(connection, &reply, t.dataEnd);
    session.state = SessionState::Ready;
    if (code != kOk) throw SmtpRefusal(code, "Неожиданный ответ сервера (DATA finalize): " + JoinReply(reply));
}

void SmtpReset(SmtpSession& session) {
    const SmtpTimeouts& t = ReplyTimeouts();
    SmtpSendLine(session.connection, "RSET", t.mailFrom);
    vec<string> reply;
    if (SmtpReadReply(session.connection, &reply, t.mailFrom, false) != kOk)
        RaiseWithReply("Неожиданный ответ сервера (RSET): ", reply);
    session.state = SessionState::Ready;
}

void SmtpQuit(SmtpSession& session, bool tolerant) {
    const SmtpTimeouts& t = ReplyTimeouts();
    SmtpConnection& connection = session.connection;
    SmtpSendLine(connection, "QUIT", t.quit);
    vec<string> reply;
    unsigned code = SmtpReadReply(connection, &reply, t.quit, false);
    session.state = SessionState::Closed;
    if (code != kClosing && !tolerant) RaiseWithReply("Неожиданный ответ сервера (QUIT): ", reply);
}

}  // namespace Postvane
