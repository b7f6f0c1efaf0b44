// Removing finished messages from the outbox, and the mark that stands for a finished
// message whose file could not be removed.
//
// A message is finished when the server has answered its final dot with 250 (delivered), or
// when it has been given up and its bad-mail copy is kept (rejected). From then on its file
// must never be sent again, whatever happens to the removal. When the file cannot be
// removed at once (held by a backup tool or a virus scanner), the mark Wait\<name>.done says
// so durably: every later pass and every later run leaves the file unsent and only tries to
// remove it. The mark is one line of four fields separated by TAB:
//
//   delivered|rejected  <UTC time of the mark>  <file size>  <last write time, 16 hex digits>
//
// The size and last write time tie the mark to the very file it was written for: a mark
// that does not match the file under its name is stale, and the file is handled as new.
#pragma once
#include <windows.h>
#include "core.h"
#include "qlbase.h"

namespace Postvane {

class MailService;

// The mark of a message file in the outbox: Wait\<name>.done.
string DoneMarkPath(const string& outbox, const string& messagePath);

struct DoneMark {
    bool delivered = false;
    RealTime when;           // UTC
    ULONGLONG size = 0;
    ULONGLONG lastWrite = 0;  // FILETIME as one number
};

// Writes the mark for the message file as it is now, creating the wait directory. False,
// with the last error set, when it could not be written (nothing half-written stays).
bool WriteDoneMark(const string& markPath, const string& messagePath, bool delivered);
// Reads a mark; false when it is missing or does not read as one.
bool ReadDoneMark(const string& markPath, DoneMark* mark);
// True when the mark was written for the file now under messagePath.
bool DoneMarkMatches(const DoneMark& mark, const string& messagePath);

// Deletes a file, clearing a read-only attribute first. True when the file is gone (also
// when it was gone already); false with the last error set otherwise.
bool RemoveFile(const string& path);
// RemoveFile, tried again after short growing pauses for about kRemoveRetryMs while the
// file is held; a stop request ends the tries early.
bool RemoveFileSoon(MailService& service, const string& path);
const DWORD kRemoveRetryMs = 1270;

}  // namespace Postvane
