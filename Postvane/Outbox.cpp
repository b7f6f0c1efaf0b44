#include "Outbox.h"
#include "MailService.h"

namespace Postvane {

namespace {
// How long a pass that leaves files in the outbox waits before it reports back.
const DWORD kRelistMs = 1000;
}  // namespace

// Message processing is not built yet: a pass takes no file. Files it leaves in the outbox
// are looked at again after a second (or at once on a stop request), so that they neither
// keep the thread busy nor delay a stop.
bool OutboxPass(MailService& service, DWORD* next) {
    if (next) *next = INFINITE;
    if (service.HasCandidate() && service.stopEvent.Wait(kRelistMs)) return false;
    return true;
}

}  // namespace Postvane
