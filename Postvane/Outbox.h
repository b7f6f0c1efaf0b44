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

// One delivery attempt of a Ready message; true when delivered. Leaves the message
// Delivered, Deferred or Rejected (a counted failure), or AbortPass (not counted).
bool SendMessage(MailService& service, OutboxMessage& message);

}  // namespace Postvane
