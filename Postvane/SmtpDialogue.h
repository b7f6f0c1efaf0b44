// The SMTP conversation for one delivery attempt over the connection of SmtpTransport:
// greeting, EHLO (HELO after a 500), authentication, MAIL FROM, RCPT TO for each recipient,
// DATA with the message content, QUIT. Each step sends its command, reads the reply and
// accepts one code; any other raises QLAppException whose text names the step and quotes
// the reply (the reply list joined: continuation texts, then the last line whole). Failed
// authentication raises nothing: the conversation goes on and the server decides.
//
// Configuration, from the SMTP subkey of the Mail key, read by the step that needs it:
// Login (user name), Pass (protected password; missing reads as empty), ReversePath.
// Transport failures and stop requests raise the texts listed in SmtpTransport.h.
#pragma once
#include "core.h"

namespace Postvane {

class MailService;

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

// A recipient refused by the server: the text is that of any RCPT failure, and the code
// tells a permanent refusal (5xx) from a temporary one.
class SmtpRefusal : public QLAppException {
public:
    SmtpRefusal(unsigned code, const string& text) : QLAppException(text), code_(code) {}
    unsigned Code() const { return code_; }
    bool IsPermanent() const { return code_ >= 500 && code_ <= 599; }
private:
    unsigned code_;
};

// Greeting (220), then EHLO with the announced host name (the reverse-lookup name of the
// local address when valid and confirmed by DNS, else the address literal), HELO after a
// 500, then authentication: PLAIN when offered, otherwise LOGIN (also when nothing was
// offered); LOGIN after a failed PLAIN when both were offered. Success logs
// "Авторизация пройдена" (kind 6). Raises:
//   "Неожиданная ошибка Winsock: %u"                   getsockname failed
//   "Неожиданный код начального ответа сервера: %u"    greeting not 220
//   "Неожиданный ответ сервера: <reply>"               EHLO neither 250 nor 500, HELO not 250
//   "Не задано входное имя пользователя"               Login empty (before any AUTH)
// A LOGIN challenge that is not base64 logs "Ошибка base64 в запросе сервера" (kind 2) and
// ends LOGIN. The AUTH exchange is never traced in clear; credential buffers are wiped.
void SmtpHello(MailService& service);

// MAIL FROM: <ReversePath>. Hands back the ReversePath used when asked. Raises
//   "Не задан адрес отправителя (\"ReversePath\")"     ReversePath empty
//   "Неожиданный ответ сервера (MAIL): <reply>"         reply not 250
void SmtpMailFrom(MailService& service, string* reversePath = nullptr);

// RCPT TO: <recipient> for each piece of the comma-separated text, in order (an empty
// piece is offered as <>; an empty text offers nothing). CR and LF are removed from a
// piece (a folded header), then white space at both ends. The first reply other than 250
// raises SmtpRefusal "Неожиданный ответ сервера (RCPT): <reply>"; later recipients are
// not offered.
void SmtpRcptTo(MailService& service, const string& recipients);

// DATA, the content, the final dot. *beforeData is true on entry and becomes false once the
// server has answered DATA with 354: a failure with it false happened during the content.
// On the wire every CR LF, bare LF and bare CR of the content is one line end, every line
// goes out with CR LF and a line beginning with "." gets one more "."; a content ending
// with a line end adds no empty line. Raises
//   "Неожиданный ответ сервера (DATA init): <reply>"      reply to DATA not 354
//   "Неожиданный ответ сервера (DATA finalize): <reply>"  reply to the dot not 250
void SmtpData(MailService& service, const string& content, bool* beforeData = nullptr);

// QUIT. A reply other than 221 raises "Неожиданный ответ сервера (QUIT): <reply>" unless
// tolerant; transport failures raise in both modes.
void SmtpQuit(MailService& service, bool tolerant);

}  // namespace Postvane
