// One pass over the outbox.
#pragma once
#include <windows.h>
#include "OutboxMessage.h"

namespace Postvane {

class MailService;

// Processes the due messages of the outbox. Sets *next to the milliseconds until the
// earliest deferred message is due (INFINITE: none). True when the pass completed; false
// when it ended early on a failure that calls for the retry pause, when no outbox is
// configured, or on a stop request.
bool OutboxPass(MailService& service, DWORD* next);

// Sets aside what an interrupted run or submission left in the outbox, once it is watched:
// a hidden message file ("<number>.eml") that no writer holds any more is the remains of a
// submission that never finished; it goes to the bad-mail directory (deleted when BadMailDir
// is empty, left for the next start when the copy fails). Attempt logs, done marks and
// recipient records whose message file is gone are removed.
void RecoverOutbox(MailService& service);

// One delivery attempt of a Ready message; true when delivered. Leaves the message
// Delivered, Deferred or Rejected (a counted failure), or AbortPass (not counted).
bool SendMessage(MailService& service, OutboxMessage& message);

}  // namespace Postvane
