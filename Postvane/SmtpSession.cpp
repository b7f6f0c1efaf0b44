#include "SmtpSession.h"
#include <cctype>
#include <string>
#include "Globals.h"
#include "ServiceLog.h"
#include "Setting.h"
#include "SmtpDialogue.h"
#include "SmtpTransport.h"
#include "qlframe.h"

namespace Postvane {

namespace {

const char kDefaultPort[] = "smtp";
const char kImplicitTlsPort[] = "465";  // submission over TLS from the first byte
const size_t kFormatSize = 256;
const unsigned kServiceClosing = 421;
const unsigned kTooBig = 552;

// The host as the resolver and the certificate take it: an address literal loses its
// brackets and its "IPv6:" tag.
string BareHost(const string& server) {
    std::string host = server.str();
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
        host = host.substr(1, host.size() - 2);
        if (host.size() > 5 && _strnicmp(host.c_str(), "IPv6:", 5) == 0) host = host.substr(5);
    }
    return string(host);
}

// A service name for the port: a letter, then letters, digits and hyphens ("smtp").
bool IsServiceName(const std::string& text) {
    if (text.empty() || text.size() > 32 || !std::isalpha(static_cast<unsigned char>(text[0]))) return false;
    for (char c : text)
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-') return false;
    return true;
}

// Port as the resolver takes it: a number from 1 to 65535 (stored as a number or as its
// decimal text) or a service name; absent or empty gives "smtp", or 465 with TLS from the
// first byte. Anything else raises BadSetting: a port that wraps round to another, or a
// text that the resolver would read as something else, is never used.
string ServerPort(const RegKey& smtp, TlsMode mode) {
    const char kAllowed[] = "число от 1 до 65535 или имя службы (smtp)";
    StoredNumber stored = ReadStoredNumber(smtp, "Port");
    if (!stored.present) return string(mode == TlsMode::Implicit ? kImplicitTlsPort : kDefaultPort);
    if (stored.number) {
        if (stored.value < 1 || stored.value > 65535)
            throw BadSetting(BadSettingText(kSmtpKeyPath, "Port", stored.shown, kAllowed));
        return FormatBuffer(kFormatSize, "%lu", static_cast<unsigned long>(stored.value));
    }
    string text = smtp["Port"];
    if (!IsServiceName(text.str())) throw BadSetting(BadSettingText(kSmtpKeyPath, "Port", stored.shown, kAllowed));
    return text;
}

}  // namespace

void MessageContent::ForEachBlock(const std::function<void(const char* data, size_t length)>& take) const {
    if (head_.Length()) take(head_.c_str(), head_.Length());
    if (path_.IsEmpty()) return;
    FilePort file(path_, CreateFileA(path_.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                     OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!file.IsValid())
        throw QLAppException(FormatBuffer(kFormatSize, "Не удаётся открыть файл письма (системная ошибка %08x): ",
                                          unsigned(GetLastError())) + path_);
    std::vector<char> block(kContentReadBlock);
    LONGLONG position = LONGLONG(offset_);
    for (;;) {
        DWORD got = file.Read(&position, block.data(), DWORD(block.size()));
        if (got == 0) return;
        take(block.data(), got);
    }
}

string MessageContent::Whole() const {
    if (path_.IsEmpty()) return head_;
    std::string whole;
    ForEachBlock([&](const char* data, size_t length) { whole.append(data, length); });
    return string(std::move(whole));
}

void ReadSmtpSettings(SmtpSettings* out, HKEY settingsKey) {
    SmtpSettings& settings = *out;
    std::unique_ptr<RegKey> key = OpenSmtpKey(settingsKey, KEY_READ);
    const RegKey& smtp = *key;
    settings.server = smtp["Server"];
    TlsMode mode = TlsMode(CheckedNumber(smtp, kSmtpKeyPath, "Tls", DWORD(TlsMode::None), DWORD(TlsMode::Implicit),
                                         DWORD(TlsMode::None), "0, 1 или 2"));
    bool skipCheck = CheckedNumber(smtp, kSmtpKeyPath, "TlsSkipCheck", 0, 1, 0, "0 или 1") == 1;
    settings.port = ServerPort(smtp, mode);
    settings.policy.mode = mode;
    settings.policy.host = BareHost(settings.server);
    settings.policy.rootFile = smtp["TlsRootCertificate"];
    settings.policy.skipCheck = skipCheck;
    settings.auth = ReadSmtpAuth(settingsKey);
    settings.login = smtp["Login"];
    settings.password.Clear();
    LoadSecret(smtp.Handle(), "Pass", &settings.password);  // a missing or unreadable value is the empty password
    settings.reversePath = smtp["ReversePath"];
}

TransactionOutcome SmtpSession::Send(const string& recipients, const MessageContent& content) {
    TransactionOutcome outcome;
    bool beforeData = true;
    try {
        unsigned long long size = SmtpWireSize(content);
        SmtpSendAhead(*this, recipients, content, size);
        outcome.reached = TransactionStep::Mail;
        SmtpMailFrom(*this, nullptr, size);
        outcome.reached = TransactionStep::Recipients;
        SmtpRcptTo(*this, recipients, &outcome.recipients);
        outcome.reached = TransactionStep::Data;
        SmtpData(*this, content, &beforeData);
        outcome.reached = TransactionStep::Done;
        ++transactions;
        state = SessionState::Ready;
        return outcome;
    } catch (const QuilletException& e) {
        if (outcome.reached == TransactionStep::Data && !beforeData) outcome.reached = TransactionStep::Content;
        outcome.failure = e.Reason();
        const SmtpRefusal* refusal = dynamic_cast<const SmtpRefusal*>(&e);
        if (refusal) outcome.code = refusal->Code();
        outcome.tooBig = outcome.reached == TransactionStep::Mail && refusal && refusal->Code() == kTooBig;
        outcome.stopped = connection.StopRequested();
        // A reply leaves the session in step, and so does a check of our own that raised before
        // anything of the transaction went out; a transport failure, a stop or a closing server
        // ends it.
        bool nothingSent = state == SessionState::Ready && !ahead.mail && !ahead.rcpt && !ahead.data && !ahead.bdat;
        outcome.sessionLost = outcome.stopped || (refusal ? refusal->Code() == kServiceClosing : !nothingSent);
    }
    // Replies that are still owed (a pipelined group cut short) come before anything else the
    // server says: they are read and dropped, and a DATA the server accepted all the same is
    // never given content (the connection goes instead: without its final dot the server
    // discards the transaction).
    try {
        if (!outcome.sessionLost) {
            const SmtpTimeouts& t = ReplyTimeouts();
            vec<string> reply;
            if (ahead.mail) {
                ahead.mail = false;
                SmtpReadReply(connection, &reply, t.mailFrom, false);
            }
            for (; ahead.rcpt; --ahead.rcpt) SmtpReadReply(connection, &reply, t.rcptTo, false);
            if (ahead.data) {
                ahead.data = false;
                if (SmtpReadReply(connection, &reply, t.dataInit, false) == 354) outcome.sessionLost = true;
            }
            if (ahead.bdat) {
                ahead.bdat = false;
                SmtpReadReply(connection, &reply, t.dataEnd, false);
            }
            if (!outcome.sessionLost && state == SessionState::Transaction) SmtpReset(*this);
        }
    } catch (const QuilletException& e) {
        connection.Log().WriteText(Runlog::Detail, "Сеанс SMTP не удаётся продолжить: " + LogSafe(e.Reason()));
        outcome.sessionLost = true;
    }
    if (outcome.sessionLost) SmtpDisconnect(*this);
    state = connection.IsOpen() ? SessionState::Ready : SessionState::Closed;
    return outcome;
}

void SmtpSession::End() {
    if (connection.IsOpen() && state != SessionState::Closed && !connection.StopRequested()) {
        try {
            SmtpQuit(*this, false);
        } catch (const QuilletException& e) {
            // The server's answer to each final dot made its message delivered: a QUIT that
            // fails (an error reply, a closed connection) changes nothing.
            if (transactions)
                connection.Log().WriteText(Runlog::Survived,
                                           "Письмо принято сервером, ошибка при завершении сеанса SMTP не мешает доставке: " +
                                               LogSafe(e.Reason()));
            else
                connection.Log().WriteText(Runlog::Detail, "Ошибка при завершении сеанса SMTP: " + LogSafe(e.Reason()));
        }
    }
    SmtpDisconnect(*this);
}

}  // namespace Postvane
