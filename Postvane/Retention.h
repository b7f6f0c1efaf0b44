// Keeping the service's own files within bounds: archive copies and log files older than
// KeepDays are deleted, once when the service thread starts and then once a day.
//
// What is deleted: plain files directly in ArchiveDir named as the service names its copies
// ("<number>.eml", "<number>(<n>).eml"), the daily event logs of LogDir ("YYYY-MM-DD.txt")
// and the service log files that DebugLog's pattern names (its asterisk standing for
// "(YYYY-MM-DD)"). Never bad mail, never a subdirectory, never a file the service log or the
// daily log writes now, never a directory that is the outbox or BadMailDir, never a file of
// any other name. Age is the time since the file's last write, by the service's clock.
#pragma once
#include "MailService.h"

namespace Postvane {

// KeepDays when it is absent.
const DWORD kDefaultKeepDays = 30;
// The pause between two runs, judged through the clock seam (RealTime::Now).
const double kRetentionPeriodSeconds = 24 * 3600.0;

// KeepDays of the Mail key, in days: absent kDefaultKeepDays, 0 keeps every file for ever. A
// value that cannot be used is logged once while it stays (kind 2) and the default applies.
unsigned KeepDays(MailService& service);

// What one run did.
struct SweepResult {
    unsigned files = 0;       // deleted
    ULONGLONG bytes = 0;      // their sizes
    unsigned failed = 0;      // old enough but could not be deleted (held, read-only, no rights)
    DWORD lastError = 0;      // the system error of the last of those
    bool stopped = false;     // a stop request ended the run early
};

// One run: deletes what is older than KeepDays and logs one kind 5 line with the count of
// files and bytes ("Удалены файлы архива и журналов старше 30 дн.: 12 файлов, 345678 байт"),
// or a kind 6 line when nothing went; files that could not go are counted in one kind 6 line.
// Each directory is listed once; a stop request ends the run between two files. Raises
// nothing.
SweepResult SweepOldFiles(MailService& service);

// Runs SweepOldFiles when this service run has not run it yet, or a day has passed since it
// last did (by the clock seam; a clock set back restarts the day). Called from the main
// loop, which wakes at least every kWaitSliceMs.
void SweepIfDue(MailService& service);

}  // namespace Postvane
