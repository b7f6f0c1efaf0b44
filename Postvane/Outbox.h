// One pass over the outbox.
#pragma once
#include <windows.h>

namespace Postvane {

class MailService;

// Processes the due messages of the outbox. Sets *next to the milliseconds until the
// earliest deferred message is due (INFINITE: none). True when the pass completed; false
// when it ended early on a failure that calls for the retry pause.
bool OutboxPass(MailService& service, DWORD* next);

}  // namespace Postvane
