// One SMTP session with the configured server: the settings it was opened with, its state,
// what the server offers, the commands whose replies are still owed, and the transactions it
// carries. The connection below it (SmtpConnection.h) moves bytes and knows no command; the
// steps of the dialogue (SmtpDialogue.h) speak through a session; the outbox pass opens a
// session when a message is due, sends its messages over it one after another and decides,
// from the outcome that each transaction returns, what becomes of the message.
#pragma once
#include <functional>
#include <vector>
#include "OAuthToken.h"
#include "Secret.h"
#include "SmtpConnection.h"
#include "core.h"

namespace Postvane {

// The SMTP subkey's values that a session works with, read once when it opens.
struct SmtpSettings {
    string server;       // Server as stored; empty: no server set
    string port;         // as the resolver takes it: a number's text or a service name
    TlsPolicy policy;    // Tls, TlsRootCertificate, TlsSkipCheck, and the host the certificate must name
    SmtpAuth auth = SmtpAuth::Password;  // Auth: the password, or an OAuth 2.0 access token
    string login;        // Login: the mailbox that signs in and sends
    SecretText password; // Pass, unprotected in a wiping buffer; missing or unreadable: empty
    string reversePath;  // ReversePath
};

// Reads the SMTP subkey into *settings (the password replaced, the old one wiped). Raises
// BadSetting (Setting.h) for an Auth (ReadSmtpAuth, OAuthToken.h), Tls, TlsSkipCheck or Port value
// that cannot be used, naming the value, its key and what is allowed: a security setting that
// cannot be read as what it says is never taken for plain SMTP.
// settingsKey: the key to read, laid out like the SMTP subkey; null: the configured subkey.
void ReadSmtpSettings(SmtpSettings* settings, HKEY settingsKey = nullptr);

// What the server's EHLO reply offers, as far as the client acts on it.
struct ServerOffers {
    bool plain = false;     // AUTH PLAIN
    bool login = false;     // AUTH LOGIN
    bool xoauth2 = false;     // AUTH XOAUTH2
    bool oauthBearer = false; // AUTH OAUTHBEARER
    bool startTls = false;
    bool eightBit = false;  // 8BITMIME
    bool size = false;      // SIZE
    unsigned long long sizeLimit = 0;  // SIZE's number; 0: no fixed limit
    bool pipelining = false;  // PIPELINING: commands may go out before the replies before them
    bool chunking = false;    // CHUNKING: the content may go as BDAT chunks
};

// Commands sent ahead of the replies to the ones before them (PIPELINING), whose replies are
// still to be read in order: the step that would send one reads its reply instead.
struct SentAhead {
    bool mail = false;   // MAIL FROM
    unsigned rcpt = 0;   // RCPT TO, this many
    bool data = false;   // DATA
    bool bdat = false;   // BDAT ... LAST with the whole content
};

enum class SessionState {
    Closed,       // no connection
    Greeting,     // connected, the server's greeting is owed
    Hello,        // EHLO (or HELO) is being exchanged
    StartTls,     // STARTTLS and the handshake
    Auth,         // signing in
    Ready,        // between transactions: MAIL FROM may start one
    Transaction,  // MAIL FROM has gone out; RSET or the final reply ends it
};

// How far a transaction got: the step that ended it, or Done once the server's final reply
// to the content (the final dot, or BDAT LAST) took the message.
enum class TransactionStep { Mail, Recipients, Data, Content, Done };

// What the server said to one recipient's RCPT TO.
struct RecipientOutcome {
    string address;
    unsigned code = 0;  // 0: not offered (the transaction ended before it); 553: no plain address, never sent
    string reply;       // the whole reply
    bool Accepted() const { return code == 250 || code == 251; }
};

// What became of one message on a session.
struct TransactionOutcome {
    TransactionStep reached = TransactionStep::Mail;
    unsigned code = 0;   // the reply that ended the transaction; 0: none (a local check, the transport, a stop)
    string failure;      // what ended it, as the log says it; empty when Done
    bool tooBig = false;       // refused for its size: by the server's SIZE limit or a 552 to MAIL
    bool sessionLost = false;  // the session cannot carry another message: closed, or to be closed
    bool stopped = false;      // a stop request ended it
    std::vector<RecipientOutcome> recipients;
    bool Delivered() const { return reached == TransactionStep::Done; }
};

// A message's content as it goes to the server: a head held in memory, then, for a large
// message file, the file's bytes from an offset on, read in blocks while they are sent: the
// service's memory does not grow with the message.
class MessageContent {
public:
    // All of it in memory (implicit: a text is a content).
    MessageContent(const string& whole) : head_(whole) {}
    // head, then the file at path from offset on.
    MessageContent(const string& head, const string& path, unsigned long long offset)
        : head_(head), path_(path), offset_(offset) {}
    // Calls take for the bytes in order, in blocks of at most kContentReadBlock; raises
    // FileException when the file cannot be opened or read.
    void ForEachBlock(const std::function<void(const char* data, size_t length)>& take) const;
    // The whole content in memory.
    string Whole() const;
    bool IsWhole() const { return path_.IsEmpty(); }
private:
    string head_;
    string path_;
    unsigned long long offset_ = 0;
};
const size_t kContentReadBlock = 65536;

// The most messages one session carries: then QUIT, and the next message opens another.
const unsigned kMessagesPerSession = 100;
// How long the final reply to a message's content is still awaited after a stop request:
// the server may have taken the message, and only its reply tells.
const DWORD kFinalReplyGraceMs = 5000;

class SmtpSession {
public:
    explicit SmtpSession(SmtpConnection& connection)
        : connection(connection), stop_(connection), tokens(stop_, connection.Log()) {}
    SmtpSession(const SmtpSession&) = delete;
    SmtpSession& operator=(const SmtpSession&) = delete;

    // The message over this session, from MAIL FROM to the final reply, without raising for
    // what the server or the connection does: the outcome tells. With PIPELINING, MAIL FROM,
    // every RCPT TO and DATA go out in one write and their replies are read in order; with
    // CHUNKING as well and one recipient, the content goes with them as BDAT ... LAST. A failed
    // transaction on a session that stays is ended with RSET (a failed RSET loses the session).
    // Every owed reply is read before the outcome returns, so the next transaction starts in
    // step. A stop request while the final reply is owed waits kFinalReplyGraceMs for it.
    TransactionOutcome Send(const string& recipients, const MessageContent& content);

    // Ends the session: QUIT (its reply read, any reply accepted) unless a stop was requested
    // or the connection is gone, then the connection closed. Harmless when closed.
    void End();

    bool IsReady() const { return state == SessionState::Ready && connection.IsOpen(); }

    // Reads the settings (and the OAuth values of the token source) from key instead of the
    // configured SMTP subkey; null: the configured one. The key must outlive the session's use.
    void ReadSettingsFrom(HKEY key) {
        settingsKey = key;
        tokens.settingsKey = key;
    }

    SmtpConnection& connection;
    SmtpSettings settings;  // read by SmtpConnect
    SessionState state = SessionState::Closed;
    ServerOffers offers;    // the last EHLO reply's offers; cleared by SmtpConnect
    SentAhead ahead;        // commands whose replies are owed; cleared by SmtpConnect
    unsigned transactions = 0;  // transactions whose final reply came on this session
    HKEY settingsKey = nullptr; // where SmtpConnect reads the settings (ReadSettingsFrom); null: the SMTP subkey

private:
    // The connection's stop test, for the token fetches: a stop request ends them as it
    // ends the SMTP waits.
    class ConnectionStop : public StopTest {
    public:
        explicit ConnectionStop(SmtpConnection& connection) : connection_(connection) {}
        bool CheckStop(bool quiet) override {
            if (!quiet) connection_.CheckStop();
            return connection_.StopRequested();
        }
    private:
        SmtpConnection& connection_;
    };
    ConnectionStop stop_;

public:
    // The OAuth 2.0 access token (Auth 1 or 2): it outlives the connections, so one token
    // serves every session until shortly before it expires (OAuthTokenSource).
    OAuthTokenSource tokens;
};

}  // namespace Postvane
