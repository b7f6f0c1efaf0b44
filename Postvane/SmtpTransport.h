// The lowest layer of the SMTP client: one TCP connection to the configured mail server,
// command lines out, reply lines in under a time-out, replies split into code and lines.
//
// Layers, each built only on the one below: socket waits and time-outs (SmtpReceive and the
// sending of bytes), line reading (SmtpReadLine), reply parsing (SmtpReadReply). The layer
// knows no SMTP command. It keeps no receive buffer: a line is peeked, then exactly its
// bytes are consumed, so nothing beyond the current line is ever taken from the socket.
//
// Every failure raises QLAppException with one of these texts (%u: the Winsock error):
//   "Не удаётся создать TCP сокет, ошибка Winsock: %u"
//   "Не удаётся разрешить адрес: сервер \"<server>\" порт \"<port>\". Ошибка Winsock: %u"
//   "Не получилось соединиться с сервером, ошибка Winsock: %u"
//   "Ошибка Winsock при выводе данных: %u"      (10060 when a send made no progress in time)
//   "Таймаут ввода от сервера"
//   "Ошибка ввода от сервера, ошибка Winsock: %u"
//   "Соединение разорвано"
//   "Ошибка интерпретации ответа сервера"
//   "Строка команды SMTP содержит перевод строки"
//   "Обнаружен запрос на завершение работы сервиса"
//   "Неожиданная ошибка Winsock: %u"            (SmtpLocalAddress)
//
// Waiting. Every wait (connect, readability, room to send) is cut into slices of at most
// kStopSlice; between slices the stop event is tested, so a stop request ends any wait
// within about a second. The budgets of the callers stay whole: a reply must arrive within
// its time-out, counted from the start of the reply. After connect the socket is in
// non-blocking mode; only this layer uses it.
#pragma once
#include <winsock2.h>
#include <windows.h>
#include "core.h"

namespace Postvane {

class MailService;

const size_t kLinePeek = 1023;           // largest peek for one line read
const DWORD kStopSlice = 1000;           // longest wait between two tests of the stop event, ms
const size_t kMaxReplyLine = 65536;      // longest reply line accepted (replies are 512 octets at most)
const size_t kMaxReplyBytes = 1048576;   // longest reply, all its lines together
const DWORD kDefaultSendTimeout = 120000;  // ms a send may wait for room when the caller names none

// Opens the connection to SMTP\Server:Port (empty Port: "smtp") with TCP_NODELAY set.
// False, with the log record "Почтовый сервер не задан, отправка невозможна" (kind 2), when
// Server is empty: no socket is made. True when connected. On a failure the socket is
// closed again before the exception leaves. Only the first resolved address is tried.
bool SmtpConnect(MailService& service);

// Shuts down and closes the connection if there is one. Always true; may be repeated.
bool SmtpDisconnect(MailService& service);

// Sends the text followed by CR LF; all of it, in as many send calls as it takes, each
// waiting for room at most timeoutMs. A text with CR or LF in it is refused before anything
// is sent. Trace bit 0x1 logs "C>" and the line (kind 6); shownAs, when given, is what the
// trace shows instead of a line that carries credentials (the line buffer is then wiped).
// Tests the stop event after sending.
void SmtpSendLine(MailService& service, const string& text, DWORD timeoutMs = kDefaultSendTimeout,
                  const char* shownAs = nullptr);
// The same for length bytes at text (content lines are sent from the message text in place).
void SmtpSendLineData(MailService& service, const char* text, size_t length, DWORD timeoutMs,
                      const char* shownAs = nullptr);

// Sends lines that are ready for the wire, each already ending with CR LF (the message
// content, several lines per send call), as SmtpSendLine sends one; traced line by line.
// The caller guarantees that CR and LF occur only as the CR LF ending each line.
void SmtpSendLines(MailService& service, const char* lines, size_t length, DWORD timeoutMs);

// Reads one reply within timeoutMs for all its lines and returns its code. When list is
// given it is emptied, then gets one string per line with its CR LF: a continuation line
// ("250-...") its text after the hyphen; the last line its text after the separator when
// textOnly is set ("" for a line of the code alone), otherwise the whole line. A line without
// leading digits, with a separator other than "-", blank or line end, or with a code other
// than the first line's, raises "Ошибка интерпретации ответа сервера"; so do a line over
// kMaxReplyLine bytes and a reply over kMaxReplyBytes. A stop request raises while the reply
// is incomplete; a reply that has come in whole is returned (the answer to a final dot
// tells whether the server took the message), and the request raises at the next step.
unsigned SmtpReadReply(MailService& service, vec<string>* list, DWORD timeoutMs, bool textOnly);

// One line ending with CR LF (kept), read within timeoutMs. A bare CR or LF does not end a
// line. Trace bit 0x2 logs "S>" and the line (kind 6).
string SmtpReadLine(MailService& service, DWORD timeoutMs);

// Waits until the socket is readable (at most timeoutMs), then takes up to length bytes:
// peeked when consume is false, removed when true. Returns the count (0 only for a null or
// empty buffer). Tests the stop event after consuming (a peek is always followed by one).
size_t SmtpReceive(MailService& service, char* buffer, size_t length, bool consume, DWORD timeoutMs);

// The local address of the connection (getsockname).
in_addr SmtpLocalAddress(MailService& service);

// Joins the strings of a reply list with nothing between them: the lines one under another.
string JoinReply(const vec<string>& list);

// An observer of the exchange (the console tool prints it): every line sent, as the trace
// shows it, and every line received. Null removes it.
typedef void (*SmtpTraceSink)(void* context, bool sent, const string& line);
void SetSmtpTraceSink(SmtpTraceSink sink, void* context);

}  // namespace Postvane
