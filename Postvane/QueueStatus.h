// The operator's view of the queue, as `postvane status` prints it: the outbox in processing
// order with what the next pass will do with each message (read with the service's own
// rules), its recipients' states, and the counts of the archive and the bad-mail directory.
//
// The listing costs one look at each message file and one listing of the outbox and of its
// wait directory: state files (attempt log, done mark, recipient record) are opened only
// when the listing of the wait directory has them, and each class's rules are read once.
// A lookup of a name that does not exist costs a whole directory read on some file systems
// (Wine's case-insensitive lookup), so a look per message into a directory of n files
// would make the listing grow with the square of the queue.
#pragma once
#include <functional>
#include <string>
#include "core.h"
#include "qlbase.h"

namespace Postvane {

// What the listing needs from the settings.
struct StatusSettings {
    string outbox;             // OutboxDir; empty: not configured
    string archive;            // ArchiveDir; empty: sent messages are not kept
    string badMail;            // BadMailDir; empty: undeliverable messages are not kept
    string fallbackRecipient;  // SMTP Recipient: for messages without a To header
    unsigned retrySeconds = 15;  // "Retry Timeout" as the service uses it
    DWORD debugFlags = 0;        // DebugFlags (attempt logs may be off)
};

// Reads the settings from the Mail and SMTP keys under HKEY_LOCAL_MACHINE; absent keys and
// values read as empty.
StatusSettings ReadStatusSettings();

// Receives the listing one line at a time, without its line end.
typedef std::function<void(const std::string& line)> StatusWriter;

// Writes the listing: a heading line for the outbox, two lines per message (what comes next
// and its recipients; one for a message whose state is all there is to say), a line for the
// hidden files, and one each for the archive and the bad mail. Texts from files are shown
// with their control characters escaped. A class whose rules cannot be used is shown as
// such, not raised.
void WriteQueueStatus(const StatusSettings& settings, const StatusWriter& write);

// The queue at a glance, for the operator's page.
struct QueueFigures {
    unsigned waiting = 0;           // messages still to be delivered
    unsigned oldestAgeSeconds = 0;  // how long the oldest of them has waited (by its creation time)
    unsigned badMail = 0;           // messages in bad mail, without the notes of why
    FILETIME lastFailureTime = {0, 0};  // UTC; zero when no failure is on record
    string lastFailure;                 // its text, one line; empty when none
};

// Reads the figures from three listings (the outbox, its wait directory, the bad-mail
// directory) and the record of the last failure; no message file is opened and nothing is
// changed. A message counts as waiting by the rule of the pass: neither hidden nor a
// directory, and not finished with only its removal left (a done mark that matches it). An
// outbox or a bad-mail directory that is not configured or does not exist holds nothing;
// another failure to list raises WindowsError.
QueueFigures ReadQueueFigures(const StatusSettings& settings);

// The service's record of its last failure (a failed pass or attempt, counted or not): the
// hidden file kLastFailureFile in the outbox's wait directory, one line of the UTC time
// "YYYY-MM-DD HH:MM:SS", a TAB and the text with its control characters escaped. The name
// can be no message's state file (those are <number>.eml followed by .msglog, .done or .rcpt),
// so the recovery of the outbox and the choice of a message's name leave it alone.
extern const char kLastFailureFile[];

// Replaces the record with text at the present time, written whole through a temporary file:
// a reader sees the old record or the new one, never half. A failure to write it is
// swallowed: it never disturbs delivery.
void RecordLastFailure(const string& outbox, const string& text);
// Reads the record; false when there is none or it does not read as one.
bool ReadLastFailure(const string& outbox, FILETIME* utc, string* text);

}  // namespace Postvane
