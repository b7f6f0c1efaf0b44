// Turning a message record into a message file in the outbox.
#pragma once
#include <string>
#include "Postvane.h"
#include "core.h"
#include "qlbase.h"
#include "qlframe.h"

namespace Postvane {

// Sender text when neither the record nor the account names one.
extern const char kDefaultSender[];
// Base64 lines of 76 characters, the longest MIME allows (57 bytes each).
const size_t kBase64LineLength = 76;
// Header lines are folded before they would pass this many characters.
const size_t kFoldColumn = 78;
// The longest line an SMTP server must take, without its CR LF: a text part with a longer
// line is stored quoted-printable.
const size_t kLongestLine = 998;

// The Date header text for the local moment now in the zone of the time seam,
// e.g. "Tue, 3 Mar 2009 09:05:07 +0300".
string DateText(const RealTime& now);

// True for an address the envelope and the headers can carry as it is: not empty, and no
// CR, LF, "<", ">", blank or other control character (DEL included).
bool IsPlainAddress(const std::string& address);
// True when every comma-separated piece of the list, blanks at both ends removed, is empty
// or a plain address.
bool IsPlainAddressList(const std::string& list);

// Appends the bytes quoted-printable, lines of at most 76 characters. CR LF is a line end;
// with anyLineEnd a bare CR or LF is one too (as SMTP takes them), else they are encoded, so
// that the text decodes to the very bytes given.
void AppendQuotedPrintable(std::string& out, const char* text, size_t length, bool anyLineEnd);

// The message parts that come from outside the record: the sender's header value and
// address, the date, the message identifier and the boundary between the parts.
struct MessageFrame {
    string date;
    string messageId;   // with its angle brackets
    string boundary;
};

// A message identifier unique across kiosks and restarts: the time, the process, a counter
// of the process and random bits, at the domain of the account's address (else
// "localhost"), e.g. "<1d0a5c3e8f2b4c00.1f4.3.9a0c7e5512ab34f1@example.com>".
string NewMessageId(const string& reversePath);
// A random boundary that occurs in none of the record's texts that go into the message
// unencoded (the text and the content types). It holds "=_", which neither base64 nor
// quoted-printable ever writes.
string NewBoundary(const SmtpMail& mail);

// The complete message text of a record.
string ComposeMessage(const SmtpMail& mail, const string& reversePath, const MessageFrame& frame);

// The From header's value: the display name (from, else the account's address, else the
// default sender) as atoms, a quoted string or encoded words, whichever it needs, then the
// account's address in angle brackets when it is set; lines folded at kFoldColumn, the
// first line following "From: ".
string SenderText(const char* from, const string& reversePath);

// The default outbox: the roaming application-data folder\Quillet\Pennark\Outbox.
string DefaultOutboxDir();

// SmtpSendMail; flush false skips the flush to disk (for the benchmark only). Refuses a
// recipient or account address that is not plain with ERROR_INVALID_DATA, and a message for
// which the outbox's volume has fewer free bytes than its own and 64 KiB with ERROR_DISK_FULL
// (nothing created). A full disk, found then or by the write, is logged once (kind 2) until a
// message is stored again. Failures of the system raise; the export turns them into FALSE
// and the last error (ERROR_HANDLE_DISK_FULL as ERROR_DISK_FULL).
BOOL SubmitMail(const SmtpMail* mail, bool flush);

// Inside a handler: the system error of the exception being handled (a WindowsError's code,
// the one a file failure's text names, ERROR_NOT_ENOUGH_MEMORY), else fallback.
DWORD FailureError(DWORD fallback);

// Seams through which tests replace the tick count that starts the name search, the random
// bits of the message identifier and the boundary, and the write and flush of the message
// file. A null function restores the real one. They are
// set while no submission runs.
namespace SubmitSeams {
typedef DWORD (*TickFunction)();
typedef void (*WriteFunction)(FilePort& file, const void* data, size_t count);
typedef void (*FlushFunction)(FilePort& file);
typedef void (*RandomFunction)(void* data, size_t count);
void SetTickCount(TickFunction tick);
void SetWrite(WriteFunction write);
void SetFlush(FlushFunction flush);
void SetRandom(RandomFunction random);
}  // namespace SubmitSeams

}  // namespace Postvane
