// Turning a message record into a message file in the outbox.
#pragma once
#include "Postvane.h"
#include "core.h"
#include "qlbase.h"
#include "qlframe.h"

namespace Postvane {

// The boundary between the parts of every message.
extern const char kBoundary[];
// Sender text when neither the record nor the account names one.
extern const char kDefaultSender[];
// Base64 attachment lines are cut at this many characters.
const size_t kBase64LineLength = 80;

// The Date header text for the local moment now in the zone of the time seam,
// e.g. "Tue, 3 Mar 2009 09:05:07 +0300".
string DateText(const RealTime& now);

// The complete message text of a record, given the sender text.
string ComposeMessage(const SmtpMail& mail, const string& sender, const string& date);

// The sender shown in the From header: from, else the account's address, else the
// default sender; the account's address follows in angle brackets when it is set.
string SenderText(const char* from, const string& reversePath);

// The default outbox: the roaming application-data folder\Quillet\Pennark\Outbox.
string DefaultOutboxDir();

// SmtpSendMail; flush false skips the flush to disk (for the benchmark only).
BOOL SubmitMail(const SmtpMail* mail, bool flush);

// Seams through which tests replace the tick count that starts the name search and the
// write and flush of the message file. A null function restores the real one. They are
// set while no submission runs.
namespace SubmitSeams {
typedef DWORD (*TickFunction)();
typedef void (*WriteFunction)(FilePort& file, const void* data, size_t count);
typedef void (*FlushFunction)(FilePort& file);
void SetTickCount(TickFunction tick);
void SetWrite(WriteFunction write);
void SetFlush(FlushFunction flush);
}  // namespace SubmitSeams

}  // namespace Postvane
