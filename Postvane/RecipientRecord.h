// What has become of each recipient of a message that is still in the outbox, kept beside
// its attempt log, and the note that says why a message was set aside.
//
// A message to several recipients may be delivered to some, refused for good to others and
// still owed to the rest. The recipient record Wait\<name>.rcpt (hidden, like the attempt
// log) keeps that durably, so that a later attempt, a restart or a crash never sends to a
// recipient twice and never forgets a refusal. It is only ever appended to, one line per
// event, each ended by CR LF:
//
//   delivered|refused|deferred  TAB  <UTC time>  TAB  <address>  TAB  <the server's reply>
//
// "delivered": the server's final reply to the content took the message for this
// recipient; "refused": refused for good (5yz), the recipient is done; "deferred": refused
// for now (4yz), or the attempt failed after the recipient was taken: still owed. The last
// line of an address counts. A line cut short (no CR LF) or one that does not read is
// passed over. The reply (for a refusal of the message as a whole, the failure that quotes
// it) is kept on one line with its control characters escaped.
//
// A message set aside in the bad-mail directory gets a side file next to its copy,
// <copy name>.why: a short header block that says why (the message itself stays unchanged,
// so that moving it back into the outbox sends it again as it was):
//
//   X-Pennark-Refused: <recipient>; <reply>     one per recipient refused for good
//   X-Pennark-Failure: <text>                   why it was given up with recipients owed
#pragma once
#include <vector>
#include "core.h"
#include "qlbase.h"

namespace Postvane {

enum class RecipientState { Pending, Delivered, Refused };

struct RecipientEntry {
    string address;
    RecipientState state = RecipientState::Pending;
    RealTime when;  // UTC of the line that decided it; unset when the record has none
    string reply;   // the reply that decided it; for Pending the last temporary refusal, if any
};

// The recipient record of a message file in the outbox: Wait\<name>.rcpt.
string RecipientRecordPath(const string& outbox, const string& messagePath);

// Every address of the record with its last state, in the order of first appearance. A
// record that is missing or cannot be read is empty.
std::vector<RecipientEntry> ReadRecipientRecord(const string& path);

// The recipients of a comma-separated To text (as RCPT TO offers them) in order, each with
// its state from the record; one the record does not name is Pending without a reply.
std::vector<RecipientEntry> RecipientStates(const string& recipients, const std::vector<RecipientEntry>& record);

// Appends one line per entry (Pending is written as "deferred"), creating the wait directory
// and the hidden record, and flushes it. False, with the last error set, when it could not
// be written whole.
bool AppendRecipientRecord(const string& path, const std::vector<RecipientEntry>& entries);

// The side file's path for a copy in the bad-mail directory: <copy>.why.
string WhyPath(const string& copyPath);
// Writes the side file: one line per refused entry, then the failure line when failure is not
// empty. False, with the last error set, when it could not be written.
bool WriteWhyFile(const string& copyPath, const std::vector<RecipientEntry>& refused, const string& failure);

}  // namespace Postvane
