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

}  // namespace Postvane
