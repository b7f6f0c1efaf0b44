// Keeping a copy of a finished message: the archive for sent ones, the bad-mail
// directory for undeliverable ones. Best effort: nothing here raises on a failed copy.
#pragma once
#include "MailService.h"

namespace Postvane {

// Copies the message file into ArchiveDir (delivered) or BadMailDir (not delivered) under a
// free name; true when the copy was made. An empty directory value is logged, not copied.
bool DisposeMessage(MailService& service, const string& path, bool delivered);

// What became of a copy.
enum class Kept {
    Copied,   // the copy was made
    NotKept,  // the directory value is empty: such messages are not kept (logged)
    Failed,   // the copy failed (logged)
};
// DisposeMessage telling an empty directory value from a failed copy; *target receives the
// copy's path when one was made.
Kept KeepCopy(MailService& service, const string& path, bool delivered, string* target = nullptr);

// The path itself when no file of that name exists, else the first free name
// "name(1).ext", "name(2).ext", ... in the same directory.
string UniqueTargetPath(const string& path);

// Moves the message file into ArchiveDir (delivered) or BadMailDir (not delivered) under a
// free name in one step, when the directory is set and on the same volume: the copy is kept
// and the file has left the outbox (logged as the copy is). False when it cannot be moved so
// (the directory value empty or on another volume, the file held by another program): then
// nothing has changed, and the caller copies and deletes. *target receives the copy's path.
bool MoveToKeep(MailService& service, const string& path, bool delivered, string* target = nullptr);

// Progress routine of the copy: cancels when a stop was requested.
DWORD CALLBACK CopyProgress(LARGE_INTEGER total, LARGE_INTEGER transferred, LARGE_INTEGER streamSize,
                            LARGE_INTEGER streamTransferred, DWORD stream, DWORD reason, HANDLE source,
                            HANDLE target, LPVOID data);

// Copies source to target block by block, calling progress after every block; a progress
// answer of PROGRESS_CANCEL ends the copy, removes the partial target and fails with
// ERROR_REQUEST_ABORTED. Returns FALSE with the last error set on failure, like CopyFileExA
// (whose progress routine is not called on every platform this runs on).
BOOL CopyFileInBlocks(const char* source, const char* target, LPPROGRESS_ROUTINE progress, void* data);

}  // namespace Postvane
