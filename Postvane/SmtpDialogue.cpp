#include "SmtpDialogue.h"
#include <cstring>
#include <string>
#include "Globals.h"
#include "MailService.h"
#include "Resolver.h"
#include "Secret.h"
#include "SmtpTransport.h"
#include "qlframe.h"

namespace Postvane {

namespace {

const char kSmtpSubkey[] = "SMTP";
const size_t kFormatSize = 256;

// SMTP reply codes the dialogue accepts or acts on.
const unsigned kReady = 220;
const unsigned kClosing = 221;
const unsigned kAuthenticated = 235;
const unsigned kOk = 250;
const unsigned kChallenge = 334;
const unsigned kStartInput = 354;
const unsigned kUnknownCommand = 500;
const unsigned kBadArguments = 501;
const unsigned kAuthFailed = 535;

// The content goes out in blocks of whole lines of about this size: one send call per
// line would cost a kernel call per line.
const size_t kContentBlock = 65536;

// What the trace shows instead of lines that carry credentials.
const char kHiddenPlain[] = "AUTH PLAIN ********";
const char kHidden[] = "********";

[[noreturn]] void Raise(const string& text) { throw QLAppException(text); }

// Overwrites and drops a text that this code alone holds (a fresh Base64 form of a
// credential), so the credential does not stay behind in freed memory.
void Forget(string& text) {
    if (text.Length()) SecureZeroMemory(const_cast<char*>(text.c_str()), text.Length());
    text = string();
}

bool StartsWithNoCase(const string& text, const char* prefix) {
    size_t n = std::strlen(prefix);
    return text.Length() >= n && _strnicmp(text.c_str(), prefix, n) == 0;
}

struct Mechanisms {
    bool plain = false;
    bool login = false;
};

// Marks PLAIN and LOGIN when an "AUTH ..." line of the EHLO reply offers them. The list is
// in whole-line mode, so its last string starts with the code and is never an AUTH line.
Mechanisms OfferedMechanisms(const vec<string>& capabilities) {
    Mechanisms offered;
    for (const string& line : capabilities) {
        if (offered.plain && offered.login) break;
        if (!StartsWithNoCase(line, "AUTH ")) continue;
        std::string words = line.str().substr(5);
        size_t lineEnd = words.find_first_of("\r\n");
        if (lineEnd != std::string::npos) words.erase(lineEnd);
        size_t pos = 0;
        while (pos <= words.size()) {
            size_t blank = words.find(' ', pos);
            if (blank == std::string::npos) blank = words.size();
            string word(words.substr(pos, blank - pos));
            if (word.CompareNoCase("PLAIN") == 0) offered.plain = true;
            if (word.CompareNoCase("LOGIN") == 0) offered.login = true;
            pos = blank + 1;
        }
    }
    return offered;
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

void SendSecret(MailService& service, const string& line, const Budget& budget, const char* shownAs) {
    SmtpSendLine(service, line, budget.Left(), shownAs);
}

bool AuthenticatePlain(MailService& service, const string& login, const SecretText& password, const Budget& budget) {
    // NUL, login, NUL, password: no authorisation identity, no terminating NUL.
    SecretText raw;
    raw.Append('\0');
    raw.Append(login.c_str(), login.Length());
    raw.Append('\0');
    raw.Append(password.Data(), password.Length());
    string token = Base64Encode(raw.Data(), raw.Length());
    raw.Clear();
    string command = "AUTH PLAIN " + token;
    bool done = false;
    try {
        SendSecret(service, command, budget, kHiddenPlain);
        Forget(command);
        unsigned code = SmtpReadReply(service, nullptr, budget.Left(), false);
        if (code == kAuthenticated) {
            ServiceLog().WriteText(Runlog::Detail, "Авторизация пройдена");
            done = true;
        } else if (code == kAuthFailed || code == kBadArguments || code == kChallenge) {
            // The server may want the token on a line of its own, after an empty challenge.
            if (code != kChallenge) {
                SmtpSendLine(service, "AUTH PLAIN", budget.Left());
                code = SmtpReadReply(service, nullptr, budget.Left(), false);
            }
            if (code == kChallenge) {
                SendSecret(service, token, budget, kHidden);
                done = SmtpReadReply(service, nullptr, budget.Left(), false) == kAuthenticated;
            }
        }
    } catch (...) {
        Forget(command);
        Forget(token);
        throw;
    }
    Forget(token);
    return done;
}

bool AuthenticateLogin(MailService& service, const string& login, const SecretText& password, const Budget& budget) {
    SmtpSendLine(service, "AUTH LOGIN", budget.Left());
    for (;;) {
        vec<string> reply;
        unsigned code = SmtpReadReply(service, &reply, budget.Left(), true);
        if (code == kAuthenticated) {
            ServiceLog().WriteText(Runlog::Detail, "Авторизация пройдена");
            return true;
        }
        if (code != kChallenge) return false;
        std::string challenge = reply.IsEmpty() ? std::string() : reply[0].str();
        size_t lineEnd = challenge.find_first_of("\r\n");
        if (lineEnd != std::string::npos) challenge.erase(lineEnd);
        vec<unsigned char> decoded;
        if (!Base64Decode(&decoded, challenge.c_str())) {
            ServiceLog().WriteText(Runlog::Error, "Ошибка base64 в запросе сервера");
            return false;
        }
        // The prompt as a text: it ends at a zero byte, like any C text.
        string prompt(reinterpret_cast<const char*>(decoded.Data()), decoded.Count());
        prompt = string(prompt.c_str());
        string answer;
        if (prompt.CompareNoCase("Username:") == 0) answer = Base64Encode(login.c_str(), login.Length());
        else if (prompt.CompareNoCase("Password:") == 0) answer = Base64Encode(password.Data(), password.Length());
        if (answer.IsNull()) {
            SmtpSendLine(service, "*", budget.Left());
            continue;
        }
        try {
            SendSecret(service, answer, budget, kHidden);
        } catch (...) {
            Forget(answer);
            throw;
        }
        Forget(answer);
    }
}

void RaiseWithReply(const char* text, const vec<string>& reply) { Raise(text + JoinReply(reply)); }

}  // namespace

SmtpTimeouts& ReplyTimeouts() {
    static SmtpTimeouts timeouts;
    return timeouts;
}

void SmtpHello(MailService& service) {
    const SmtpTimeouts& t = ReplyTimeouts();
    RegKey smtp(*ConfigKey(), kSmtpSubkey, false, KEY_READ);
    in_addr local = SmtpLocalAddress(service);

    vec<string> reply;
    unsigned code = SmtpReadReply(service, &reply, t.greeting, false);
    if (code != kReady) Raise(FormatBuffer(kFormatSize, "Неожиданный код начального ответа сервера: %u", code));

    string host = ChooseHelloName(local);
    service.CheckStop(false);

    vec<string> capabilities;
    SmtpSendLine(service, "EHLO " + host, t.hello);
    code = SmtpReadReply(service, &capabilities, t.hello, false);

    string login = smtp["Login"];
    SecretText password;
    LoadSecret(smtp.Handle(), "Pass", &password);  // a missing or unreadable value is the empty password

    Mechanisms offered;
    if (code == kOk) {
        offered = OfferedMechanisms(capabilities);
    } else if (code == kUnknownCommand) {
        SmtpSendLine(service, "HELO " + host, t.hello);
        if (SmtpReadReply(service, &reply, t.hello, false) != kOk)
            RaiseWithReply("Неожиданный ответ сервера: ", reply);
    } else {
        RaiseWithReply("Неожиданный ответ сервера: ", capabilities);
    }

    // Authentication is always attempted: LOGIN stands in when nothing was offered.
    if (!offered.plain) offered.login = true;
    if (login.IsEmpty()) Raise("Не задано входное имя пользователя");
    Budget budget(t.auth);
    if (offered.plain && AuthenticatePlain(service, login, password, budget)) return;
    if (offered.login) AuthenticateLogin(service, login, password, budget);
}

void SmtpMailFrom(MailService& service, string* reversePath) {
    const SmtpTimeouts& t = ReplyTimeouts();
    RegKey smtp(*ConfigKey(), kSmtpSubkey, false, KEY_READ);
    string sender = smtp["ReversePath"];
    if (sender.IsEmpty()) Raise("Не задан адрес отправителя (\"ReversePath\")");
    SmtpSendLine(service, "MAIL FROM: <" + sender + ">", t.mailFrom);
    vec<string> reply;
    if (SmtpReadReply(service, &reply, t.mailFrom, false) != kOk)
        RaiseWithReply("Неожиданный ответ сервера (MAIL): ", reply);
    if (reversePath) *reversePath = sender;
}

void SmtpRcptTo(MailService& service, const string& recipients) {
    const SmtpTimeouts& t = ReplyTimeouts();
    if (recipients.IsEmpty()) return;
    const std::string& all = recipients.str();
    size_t pos = 0;
    for (;;) {
        size_t comma = all.find(',', pos);
        std::string piece = all.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos);
        // A folded header leaves CR LF inside a recipient; unfold it before trimming.
        std::string unfolded;
        for (char c : piece)
            if (c != '\r' && c != '\n') unfolded += c;
        string recipient(unfolded);
        trim(recipient);
        SmtpSendLine(service, "RCPT TO: <" + recipient + ">", t.rcptTo);
        vec<string> reply;
        unsigned code = SmtpReadReply(service, &reply, t.rcptTo, false);
        if (code != kOk) throw SmtpRefusal(code, "Неожиданный ответ сервера (RCPT): " + JoinReply(reply));
        if (comma == std::string::npos) break;
        pos = comma + 1;
    }
}

void SmtpData(MailService& service, const string& content, bool* beforeData) {
    const SmtpTimeouts& t = ReplyTimeouts();
    if (beforeData) *beforeData = true;
    SmtpSendLine(service, "DATA", t.dataInit);
    vec<string> reply;
    if (SmtpReadReply(service, &reply, t.dataInit, false) != kStartInput)
        RaiseWithReply("Неожиданный ответ сервера (DATA init): ", reply);
    if (beforeData) *beforeData = false;

    // Every CR LF, bare LF and bare CR ends a line: no line end other than CR LF ever
    // reaches the wire, so no text can end the data early or smuggle commands after it.
    // The wire form is sent in blocks of whole lines, not one send call per line.
    const char* text = content.c_str();
    size_t length = content.Length();
    std::string block;
    block.reserve(kContentBlock + 1024);
    auto addLine = [&](size_t begin, size_t end) {
        if (end > begin && text[begin] == '.') block += '.';
        block.append(text + begin, end - begin);
        block += "\r\n";
        if (block.size() >= kContentBlock) {
            SmtpSendLines(service, block.data(), block.size(), t.dataEnd);
            block.clear();
        }
    };
    size_t lineStart = 0;
    for (size_t i = 0; i < length; ++i) {
        char c = text[i];
        if (c != '\r' && c != '\n') continue;
        addLine(lineStart, i);
        if (c == '\r' && i + 1 < length && text[i + 1] == '\n') ++i;
        lineStart = i + 1;
    }
    if (lineStart < length) addLine(lineStart, length);
    block += ".\r\n";  // the end of the content travels with its last lines
    SmtpSendLines(service, block.data(), block.size(), t.dataEnd);
    if (SmtpReadReply(service, &reply, t.dataEnd, false) != kOk)
        RaiseWithReply("Неожиданный ответ сервера (DATA finalize): ", reply);
}

void SmtpQuit(MailService& service, bool tolerant) {
    const SmtpTimeouts& t = ReplyTimeouts();
    SmtpSendLine(service, "QUIT", t.quit);
    vec<string> reply;
    unsigned code = SmtpReadReply(service, &reply, t.quit, false);
    if (code != kClosing && !tolerant) RaiseWithReply("Неожиданный ответ сервера (QUIT): ", reply);
}

}  // namespace Postvane
