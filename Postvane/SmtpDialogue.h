// The steps of the SMTP conversation over a session (SmtpSession.h): greeting, EHLO (HELO
// after a 500), authentication, then for each message MAIL FROM, RCPT TO for each recipient,
// DATA (or BDAT) with the content, and at the end QUIT. Each step sends its command, reads
// the reply and accepts one code; any other raises QLAppException whose text names the step
// and quotes the reply (the reply list joined: continuation texts, then the last line whole).
// A password that fails raises nothing: the conversation goes on and the server decides; a
// failed sign-in with an OAuth 2.0 token raises (SmtpHello).
//
// Configuration: the session's settings, read once when it was opened (Login, Pass,
// ReversePath). Transport failures and stop requests raise the texts listed in
// SmtpTransport.h.
#pragma once
#include <vector>
#include "SmtpSession.h"
#include "core.h"

namespace Postvane {

class SmtpConnection;

// Reply time-outs in milliseconds; each bounds the whole reply of its step and every wait
// for room while sending that step's lines. Tests shorten them.
struct SmtpTimeouts {
    DWORD greeting = 300000;
    DWORD hello = 120000;     // EHLO, and HELO after it
    DWORD auth = 120000;      // the whole authentication exchange together
    DWORD mailFrom = 300000;
    DWORD rcptTo = 300000;    // each recipient
    DWORD dataInit = 120000;  // the reply to DATA
    DWORD dataEnd = 600000;   // the reply to the final dot, and each content line sent
    DWORD quit = 600000;
};
SmtpTimeouts& ReplyTimeouts();

// Reply codes that refuse for good (5yz) and for now (4yz).
inline bool IsPermanentReply(unsigned code) { return code >= 500 && code <= 599; }
inline bool IsTemporaryReply(unsigned code) { return code >= 400 && code <= 499; }

// A refusal by the server of a step of a transaction (MAIL, RCPT, DATA, BDAT, the final dot):
// the text names the step and quotes the reply, the code tells a permanent refusal (5xx) from
// a temporary one (4xx).
class SmtpRefusal : public QLAppException {
public:
    SmtpRefusal(unsigned code, const string& text) : QLAppException(text), code_(code) {}
    unsigned Code() const { return code_; }
    bool IsPermanent() const { return IsPermanentReply(code_); }
private:
    unsigned code_;
};

// Greeting (220), then EHLO with the announced host name (the reverse-lookup name of the
// local address when valid and confirmed by DNS, else the address literal), HELO after a
// 500 or 502. The EHLO reply's offers (AUTH, STARTTLS, 8BITMIME, SIZE, PIPELINING, CHUNKING;
// on any of its lines, the last included) go into session.offers.
//
// With Tls = 1 (connection.policy) STARTTLS follows: the server must offer it and answer it
// with 220; then the TLS handshake and the certificate check (SmtpConnection::StartTls),
// and EHLO again inside TLS, whose offers replace the first ones. Nothing else is said in
// plain text, so the credentials never travel unencrypted.
//
// Then authentication: PLAIN when offered, otherwise LOGIN (also when nothing was offered);
// LOGIN after a failed PLAIN when both were offered, but never after the server rejected
// the password (535): no password is tried twice in one attempt. LOGIN challenges are
// answered by their order: the user name first, the password second, whatever their text;
// a challenge that is not base64 logs "Ошибка base64 в запросе сервера" (kind 2) and is
// cancelled with "*". Success logs "Авторизация пройдена" (kind 6); a refusal by a server
// that offered the mechanism logs once "Авторизация не пройдена (имя \"<Login>\"), ответ
// сервера: <reply>" (kind 2) and the conversation goes on: the server decides at MAIL FROM.
// The AUTH exchange is never traced in clear; credentials are built only in wiping buffers.
//
// With Auth 1 or 2 (session.settings.auth) the sign-in is by an OAuth 2.0 access token from
// session.tokens instead: OAUTHBEARER when offered, else XOAUTH2, the token in the initial
// response. It is only spoken inside TLS. The server's error challenge (334 with Base64 JSON)
// gets the empty response, then its final reply. A refused token (the error challenge, 535)
// is dropped, a new one fetched once and the sign-in tried once more, on a new connection
// (SmtpConnect, then the greeting, EHLO and STARTTLS again) when the server has closed this
// one. Success logs "Авторизация пройдена (<mechanism>)" (kind 6), the first refusal its
// reply (kind 6). Every failure raises: the settings' or the server's, never a message's.
// Raises, besides the texts of OAuthTokenSource::AccessToken (OAuthFailure, BadSetting):
//   "Вход OAuth 2.0 (Auth = %u) возможен только в защищённом соединении: задайте Tls = 1 или 2"
//                                                       before any AUTH is sent
//   "Сервер не предлагает вход OAuth 2.0 (AUTH OAUTHBEARER или XOAUTH2)"
//   "Входное имя пользователя (Login) содержит управляющие символы"
//   "Сервер не принял маркер доступа OAuth (<mechanism>, имя \"<Login>\"), ответ сервера:
//    <reply>[ (запрос сервера: <the error challenge's JSON>)]"
//
// Raises:
//   "Неожиданная ошибка Winsock: %u"                   getsockname failed
//   "Неожиданный код начального ответа сервера: %u"    greeting not 220
//   "Неожиданный ответ сервера: <reply>"               EHLO neither 250, 500 nor 502, HELO not 250
//   "Сервер не предлагает STARTTLS, а защищённое соединение обязательно (Tls = 1)"
//   "Неожиданный ответ сервера (STARTTLS): <reply>"    reply to STARTTLS not 220
//   "Не задано входное имя пользователя"               Login empty (before any AUTH)
// and the TLS texts of SmtpConnection::StartTls.
void SmtpHello(SmtpSession& session);

// How a sign-in ended (SmtpSignIn).
struct SignInOutcome {
    bool accepted = false;  // the server took the password or the token
    bool offered = false;   // it offered a mechanism the client speaks (PLAIN or LOGIN; a token sign-in: true)
    unsigned code = 0;      // its code
    string reply;           // the reply that ended a password sign-in that was not accepted, as one line
};
// SmtpHello in its two halves: the greeting, EHLO and STARTTLS; then the sign-in, which a
// password failure does not raise but reports. Each raises what SmtpHello raises in it.
void SmtpGreetAndSecure(SmtpSession& session);
SignInOutcome SmtpSignIn(SmtpSession& session);

// MAIL FROM: <ReversePath>, with BODY=8BITMIME when the server offers 8BITMIME (the text of
// our messages is 8-bit) and SIZE=messageSize when it offers SIZE and a size is given.
// Hands back the ReversePath used when asked. Raises
//   "Не задан адрес отправителя (\"ReversePath\")"     ReversePath empty
//   "Недопустимый адрес отправителя (\"ReversePath\"): <address>"   not a plain address
//                                                        (IsPlainAddress), nothing sent
//   SmtpRefusal 552 "Письмо больше, чем принимает сервер: <size> байт при пределе <limit>"
//                                                        before anything is sent
//   SmtpRefusal <code> "Неожиданный ответ сервера (MAIL): <reply>"   any reply but 250
void SmtpMailFrom(SmtpSession& session, string* reversePath = nullptr, unsigned long long messageSize = 0);

// With a server that offers PIPELINING: sends MAIL FROM (as SmtpMailFrom would), RCPT TO
// for each recipient and DATA together, and leaves their replies to SmtpMailFrom, SmtpRcptTo
// and SmtpData, which then read them in order instead of sending. With CHUNKING as well and
// one recipient, the content goes in the same write as BDAT ... LAST instead of DATA. Saves
// two round trips per message (three with the chunk); the outcome of every step, and what
// each failure raises, are those of the steps one by one. Sends nothing when the server does
// not offer PIPELINING, or when a step would raise before sending (it does, in its place).
void SmtpSendAhead(SmtpSession& session, const string& recipients, const MessageContent& content,
                   unsigned long long messageSize = 0);

// The size of the content on the wire, as SmtpData sends it (line ends as CR LF, dots
// doubled), without the final dot: what SIZE= declares.
unsigned long long SmtpWireSize(const MessageContent& content);

// The content as it goes to a server that does not offer 8BITMIME: every part that
// declares "Content-Transfer-Encoding: 8bit" and holds 8-bit bytes becomes quoted-printable
// (its lines as SMTP takes them: CR LF, bare CR and bare LF each end one), the parts of a
// multipart body are walked, everything else is kept byte for byte. Content without 8-bit
// bytes is returned as it is.
string SmtpSevenBitContent(const string& content);

// The recipients of a comma-separated text, in order: CR and LF removed from each piece (a
// folded header), then white space at both ends; a piece left empty (a,,b) is passed over.
std::vector<string> Recipients(const string& recipients);

// RCPT TO: <recipient> for each of Recipients(recipients), in order. 250 and 251 (forwarded)
// accept a recipient. Every recipient is offered and its reply read (with PIPELINING every
// reply is owed anyway) and, when outcomes is given, recorded there in order. When none was
// accepted, the first refusal raises SmtpRefusal "Неожиданный ответ сервера (RCPT): <reply>";
// otherwise the transaction goes on for the accepted ones and outcomes tells of the others.
// A 421 raises at once: the server closes the session. A recipient that is no plain address
// (IsPlainAddress) is never sent: its refusal is 553 "Недопустимый адрес получателя: <address>".
void SmtpRcptTo(SmtpSession& session, const string& recipients, std::vector<RecipientOutcome>* outcomes = nullptr);

// The content (SmtpSevenBitContent of it when the server does not offer 8BITMIME) and the
// reply that tells whether the server took it, which a stop request meanwhile waits
// kFinalReplyGraceMs for. With CHUNKING: one chunk, BDAT <size> LAST, unless SmtpSendAhead sent
// it already. Otherwise DATA, the content, the final dot; *beforeData is true on entry and
// becomes false once the server has answered DATA with 354 (at once with CHUNKING): a failure
// with it false happened during the content. On the wire every CR LF, bare LF and bare CR of
// the content is one line end and every line goes out with CR LF; after DATA a line
// beginning with "." gets one more "."; a content ending with a line end adds no empty line.
// Raises SmtpRefusal with the reply's code:
//   "Неожиданный ответ сервера (DATA init): <reply>"      reply to DATA not 354
//   "Неожиданный ответ сервера (DATA finalize): <reply>"  reply to the dot not 250
//   "Неожиданный ответ сервера (BDAT): <reply>"           reply to BDAT LAST not 250
void SmtpData(SmtpSession& session, const MessageContent& content, bool* beforeData = nullptr);

// "BDAT <size> LAST" and the content, as SmtpData sends them (the content as given).
void SmtpSendChunk(SmtpConnection& connection, const MessageContent& content, DWORD timeoutMs);

// RSET after a failed transaction on a session that goes on. A reply other than 250 raises
// "Неожиданный ответ сервера (RSET): <reply>".
void SmtpReset(SmtpSession& session);

// QUIT. A reply other than 221 raises "Неожиданный ответ сервера (QUIT): <reply>" unless
// tolerant; transport failures raise in both modes.
void SmtpQuit(SmtpSession& session, bool tolerant);

}  // namespace Postvane
