// The lowest layer of the SMTP client: one connection to the configured mail server,
// command lines out, reply lines in under a time-out, replies split into code and lines.
//
// Layers, each built only on the one below: the connection (SmtpConnection: socket, waits,
// time-outs, TLS), then reply reading and parsing (SmtpReadReply). The layer
// knows no SMTP command. It keeps no receive buffer: a line is peeked, then exactly its
// bytes are consumed, so nothing beyond the current reply is ever taken from the connection
// (before STARTTLS nothing that follows the server's reply is read as plain text: the
// connection hands it to the TLS handshake).
//
// Every failure raises QLAppException with one of these texts (%u: the Winsock error):
//   "Не удаётся создать TCP сокет, ошибка Winsock: %u"
//   "Не удаётся разрешить адрес: сервер \"<server>\" порт \"<port>\". Ошибка Winsock: %u"
//   "Не получилось соединиться с сервером <server>:<port>: ошибка Winsock %u"
//                                      (SmtpConnect; both as ConnectFailure with the Winsock code)
//   "Недопустимое значение <name> (<stored>) в ключе HKEY_LOCAL_MACHINE\...\SMTP; допустимо: ..."
//                                                 (BadSetting, SmtpConnect: Tls, TlsSkipCheck, Port)
//   "Ошибка Winsock при выводе данных: %u"      (10060 when a send made no progress in time)
//   "Таймаут ввода от сервера"
//   "Ошибка ввода от сервера, ошибка Winsock: %u"
//   "Соединение разорвано"
//   "Ошибка интерпретации ответа сервера"
//   "Строка команды SMTP содержит перевод строки"
//   "Обнаружен запрос на завершение работы сервиса"
//   "Неожиданная ошибка Winsock: %u"            (SmtpLocalAddress)
// and, with TLS, those of SmtpConnection::StartTls and TlsChannel.h.
//
// Waiting, TLS and the stop test are the connection's (SmtpConnection.h).
#pragma once
#include <winsock2.h>
#include <windows.h>
#include "SmtpConnection.h"
#include "core.h"

namespace Postvane {

class SmtpSession;

const size_t kLinePeek = 1023;           // largest peek for one line read
const size_t kMaxReplyLine = 65536;      // longest reply line accepted (replies are 512 octets at most)
const size_t kMaxReplyBytes = 1048576;   // longest reply, all its lines together
const DWORD kDefaultSendTimeout = 120000;  // ms a send may wait for room when the caller names none
const DWORD kHandshakeTimeout = 120000;    // the whole TLS handshake

// Opens the session's connection to SMTP\Server:Port, the settings read afresh into
// session.settings (ReadSmtpSettings, SmtpSession.h) and an earlier connection closed first.
// False, with the log record "Почтовый сервер не задан, отправка невозможна" (kind 2), when
// Server is empty: no socket is made. True when connected (the session then awaits the
// greeting).
//
// Server is a host name, an IPv4 or IPv6 address, or an address literal in brackets
// ("[192.0.2.1]", "[IPv6:2001:db8::1]"). Every address the resolver gives (IPv6 and IPv4) is
// tried in turn within connection.connectBudgetMs, each getting an even share of what is
// left, until one answers; the failure of the last is raised.
//
// Port: a number from 1 to 65535 (a number, or its decimal text) or a service name; absent
// or empty: "smtp", or 465 with TLS from the first byte. Tls (a number, or its text): 0 or
// absent plain, 1 STARTTLS required (SmtpHello), 2 TLS from the first byte (the handshake
// and the certificate check happen here, see SmtpConnection::StartTls). TlsSkipCheck: 0 or
// 1. Any other value of the three raises BadSetting (Setting.h), naming the value, its key
// and what is allowed, before anything is opened. TlsRootCertificate and TlsSkipCheck go
// into connection.policy.
//
// On a failure the socket is closed again before the exception leaves.
bool SmtpConnect(SmtpSession& session);

// Closes the session's connection if there is one (the TLS close notification first) and
// forgets what the server offered. Always true; may be repeated.
bool SmtpDisconnect(SmtpSession& session);

// Sends the text followed by CR LF; all of it, in as many send calls as it takes, each
// waiting for room at most timeoutMs. A text with CR or LF in it is refused before anything
// is sent. Trace bit 0x1 logs "C>" and the line (kind 6); shownAs, when given, is what the
// trace shows instead of a line that carries credentials (the line buffer is then wiped).
// Tests the stop event after sending.
void SmtpSendLine(SmtpConnection& connection, const string& text, DWORD timeoutMs = kDefaultSendTimeout,
                  const char* shownAs = nullptr);
// The same for length bytes at text (content lines and credentials are sent in place).
void SmtpSendLineData(SmtpConnection& connection, const char* text, size_t length, DWORD timeoutMs,
                      const char* shownAs = nullptr);

// Sends lines that are ready for the wire, each already ending with CR LF (the message
// content, several lines per send call), as SmtpSendLine sends one; traced line by line.
// The caller guarantees that CR and LF occur only as the CR LF ending each line.
void SmtpSendLines(SmtpConnection& connection, const char* lines, size_t length, DWORD timeoutMs);

// Reads one reply within timeoutMs for all its lines and returns its code. When list is
// given it is emptied, then gets one string per line with its CR LF: a continuation line
// ("250-...") its text after the hyphen; the last line its text after the separator when
// textOnly is set ("" for a line of the code alone), otherwise the whole line. A line without
// leading digits, with a separator other than "-", blank or line end, or with a code other
// than the first line's, raises "Ошибка интерпретации ответа сервера"; so do a line over
// kMaxReplyLine bytes and a reply over kMaxReplyBytes. A stop request raises while the reply
// is incomplete; a reply that has come in whole is returned (the answer to a final dot
// tells whether the server took the message), and the request raises at the next step.
unsigned SmtpReadReply(SmtpConnection& connection, vec<string>* list, DWORD timeoutMs, bool textOnly);

// The local address of the connection (getsockname), IPv4 or IPv6.
sockaddr_storage SmtpLocalAddress(SmtpConnection& connection);

// Joins the strings of a reply list with nothing between them: the lines one under another.
string JoinReply(const vec<string>& list);

// An observer of the exchange (the console tool prints it): every line sent, as the trace
// shows it, and every line received. Null removes it.
typedef void (*SmtpTraceSink)(void* context, bool sent, const string& line);
void SetSmtpTraceSink(SmtpTraceSink sink, void* context);

}  // namespace Postvane
