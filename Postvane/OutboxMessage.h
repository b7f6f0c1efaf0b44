// One message of the outbox during one pass: reading it back, its attempt history and the
// rules of its mail class.
#pragma once
#include <vector>
#include "MailService.h"
#include "RecipientRecord.h"

namespace Postvane {

// Only this many bytes at the start of a message file are examined for headers.
const size_t kHeaderWindow = 32767;

enum Disposition : DWORD {
    Skipped = 0,    // cannot be opened (most often still being written): looked at again shortly
    Deferred = 1,   // not yet due: WaitMs tells when
    Ready = 2,      // to be sent in this pass
    Delivered = 3,  // sent: archived and deleted
    Rejected = 4,   // undeliverable: set aside and deleted
    AbortPass = 5,  // failed without being counted: the pass ends and the service pauses
};

struct OutboxMessage {
    ::Postvane::Disposition Disposition = Skipped;
    string path;            // the message file
    string attemptLogPath;  // its attempt log; empty when attempt logs are off
    bool attemptLogFound = false;  // the attempt log was there when the message was read
    string mailClass;       // X-Class header; empty when none
    string recipient;       // To header, or the configured fallback
    string recipientRecordPath;  // Wait\<name>.rcpt: what has become of each recipient
    bool recordFound = false;    // the record was there when the message was read, or written since
    std::vector<RecipientEntry> recipients;  // every recipient of the To text with its state
    string owed;            // the recipients still owed the message, comma-separated: this attempt's
    string content;         // the file, possibly with an inserted To header line; for a file larger
                            // than the header window only its first window, the rest read at send time
    unsigned long long restAt = 0;  // where the rest of the file starts; 0: content is all of it
    // The content as it is sent: content, then the file from restAt on.
    MessageContent Content() const { return restAt ? MessageContent(content, path, restAt) : MessageContent(content); }
    unsigned AttemptCount = 0;  // counted failed attempts, plus one once an attempt starts
    DWORD WaitMs = 0;           // for Deferred: milliseconds until due
    RealTime LastAttempt;       // UTC; unset when none
    DWORD OpenError = 0;        // for Skipped: why the file could not be opened
    RealTime created;           // UTC creation time of the file; unset when unknown
    string why;                 // for Rejected: why it was given up, for the note beside its copy
    string lastFailure;         // the failure of this attempt, as the log says it
};

// The headers of a message as the service reads them back.
struct MessageHeaders {
    bool hasTo = false;
    string to;
    bool hasClass = false;
    string mailClass;
};

// Reads the header block of data: a header is a line whose first run up to a space or tab
// is its name (colon included); a line starting with a space or tab continues the previous
// header after CR LF; the block ends at the first blank line, or after the first line not
// ended by CR LF. Names compare without regard to case; the first occurrence counts.
MessageHeaders ParseHeaders(const char* data, size_t length);

// The offset of the blank line that ends the header block, every earlier line ending with
// CR LF; 0 when there is no such line or the text starts with it.
size_t HeaderEnd(const std::string& text);

// The delivery rules of a mail class (a class without a key has neither value). Messages
// without a class follow the MaxAttempt and Schedule values of the Mail key itself (absent:
// never rejected, every wait "Retry Timeout").
struct ClassRules {
    unsigned maxAttempt = 0;  // counted failures after which the message is rejected; 0: no limit
    string schedule;          // waits in seconds after the 1st, 2nd, ... failure
};
// Raises BadSetting for a MaxAttempt that is not a number from 0 to 2147483647, or a Schedule
// with an entry that is not a number of seconds of at least 0.
ClassRules ReadClassRules(const string& mailClass);
// The wait after the given number of failures: the schedule's entry of that number, the
// last entry when there are fewer, fallback when the schedule is empty. An entry that is no
// number waits 0; entries are truncated and kept between 0 and kLongestWaitSeconds.
unsigned ScheduleDelay(const string& schedule, unsigned failures, unsigned fallback);
// Counts the complete lines of an attempt log and finds the latest time among those that
// parse. A log that is missing or cannot be read counts as empty.
void ReadAttemptLog(const string& path, unsigned* count, RealTime* last);
// The attempt log of a message file in the outbox: Wait\<name>.msglog.
string AttemptLogPath(const string& outbox, const string& messagePath);

// The names of the outbox's message files in processing order: every entry that is neither
// a directory nor hidden (so the wait directory and attempt logs never count), whatever its
// extension, sorted without regard to case (lstrcmpiA).
std::vector<keystring> ListOutbox(const string& outbox);

// Opens and reads one message file, its attempt log and its class rules. A message without
// a To header whose fall-back Recipient is not a list of plain addresses (IsPlainAddressList)
// is logged and Deferred by "Retry Timeout", uncounted: the setting is at fault.
OutboxMessage ReadMessage(MailService& service, const string& path);
// Applies the limit and schedule of the message's class: false when it has failed too
// often (then Rejected), or when a class value cannot be used (logged, then Deferred by
// "Retry Timeout", uncounted); may make it Deferred with WaitMs.
bool ApplyClassRules(MailService& service, OutboxMessage& message);
// Appends LastAttempt to the attempt log, creating the wait directory and the log.
void AppendAttempt(const OutboxMessage& message);
// Counts a failed attempt against the message (LastAttempt now) and records it: in its attempt
// log, or, when that cannot be written, in the service's memory until it can. Then the class
// rules and MaxAge decide: it waits its schedule (Deferred), or it is given up (Rejected, or
// Delivered when some recipient has it already).
void CountFailure(MailService& service, OutboxMessage& message);
// MaxAge of the Mail key in seconds: absent kDefaultMaxAgeSeconds, 0 no limit.
unsigned MaxAgeSeconds(MailService& service);
const unsigned kDefaultMaxAgeSeconds = 5 * 24 * 3600;
// Ends a message whose recipients are all done or given up: Delivered when any has it
// (each one that has not is logged), Rejected otherwise (its refusals kept for the note).
void FinishRecipients(MailService& service, OutboxMessage& message);
// Deletes the message file of a finished message (a read-only attribute is cleared; a file
// that is held is tried again for a short time) and then its attempt log. True when the
// message file is gone; false, with the last error set, when it stays. An attempt log that
// cannot be deleted is logged and left (new messages never take its name).
bool DeleteMessage(MailService& service, const OutboxMessage& message);
// Deletes an attempt log (a read-only attribute is cleared); one that stays is logged.
void DeleteAttemptLog(MailService& service, const string& path);

}  // namespace Postvane
