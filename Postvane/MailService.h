// The single service object of the delivery service library.
#pragma once
#include <winsock2.h>
#include <windows.h>
#include <map>
#include <memory>
#include <set>
#include <vector>
#include "Postvane.h"
#include "MTSys.h"
#include "DeliveryProfile.h"
#include "DialupClient.h"
#include "Globals.h"
#include "SmtpConnection.h"
#include "SmtpSession.h"
#include "RecipientRecord.h"

namespace MTSys {
class FileChangeMonitor;
}

namespace Postvane {

// Debug flag bits (DebugFlags, read once per start).
enum DebugFlag : DWORD {
    kTraceSent = 0x1,         // every line sent to the SMTP server goes to the service log
    kTraceReceived = 0x2,     // every line received goes to the service log
    kFailAfterData = 0x4,     // a message with a class fails after its data, as a counted failure
    kNoAttemptLogs = 0x8,     // attempt logs are neither read nor written nor deleted
};

// Codes and tags of the daily event log's records.
enum EventCode { kEventOpen = 1, kEventClose = 2, kEventStart = 3, kEventStop = 4,
                 kEventSendStart = 5, kEventSendDone = 6, kEventSendFail = 7 };

// Longest single wait of the idle service: OutboxDir is read again after each slice.
const DWORD kWaitSliceMs = 5000;
// Longest wait a setting can ask for ("Retry Timeout", a Schedule entry), in seconds: about
// 23 days, so that every wait in milliseconds is a positive 32-bit tick difference. Longer
// settings are taken as this.
const unsigned kLongestWaitSeconds = 2000000;
// "Retry Timeout" when it is absent or 0, in seconds; also while the stored value cannot be
// used (logged once), since a pause must still be made.
const unsigned kDefaultRetrySeconds = 15;
// The largest "Retry Timeout" accepted as stored; from kLongestWaitSeconds on it is taken as
// that.
const DWORD kMaxRetrySetting = 0x7FFFFFFF;
// A number of seconds from a setting as a wait: negative is 0, beyond kLongestWaitSeconds is
// that.
unsigned WaitSeconds(double seconds);

// A file of the outbox that passes leave alone for now, and when they look at it again: it
// cannot be opened, or it is finished (delivered, or rejected with its copy kept) and only
// its removal is left, or its bad-mail copy failed.
struct LeftFile {
    bool aside = false;     // set aside until due
    DWORD due = 0;          // GetTickCount at which a pass looks at it again
    unsigned looks = 0;     // failed opens so far
    bool logged = false;    // its trouble has been logged once
    bool settled = false;   // finished: never to be sent again, only to be removed
};

// What the service holds of a message in memory beyond its files: failed attempts and
// recipient outcomes that could not be written yet (a full volume), written as soon as the
// volume allows, and the moment a time in the future was first seen in its attempt log.
struct MessageMemory {
    std::vector<RealTime> attempts;           // UTC times of unwritten failed attempts
    std::vector<RecipientEntry> recipients;   // unwritten lines of its recipient record
    RealTime futureSeen;                      // UTC; unset while its attempt log holds no future time
};

// The service thread and everything it works with.
class MailService : public MTSys::Thread, public StopTest {
public:
    // Logs to the process-wide service log.
    MailService();
    // Logs to the given log; the object only keeps its address.
    explicit MailService(Runlog* serviceLog);
    ~MailService() override;

    // True when a stop was requested. With quiet false a request raises QLAppException
    // "Обнаружен запрос на завершение работы сервиса" instead of returning.
    bool CheckStop(bool quiet) override;
    // "Retry Timeout" in seconds (a number, or its decimal text); 0 or absent gives 15; at
    // most kLongestWaitSeconds. A value that is no such number (a text, a negative number)
    // is logged, once while it stays, with its key and what is allowed, and 15 is used.
    unsigned RetryTimeout();
    // Calls the registered callback under the callback lock.
    void InvokeCallback(int code, int detail);

    // ---- Daily event log (used by the service thread only) ----
    // Stores the directory (empty: no daily log) and opens the file for today.
    void SetLogDirectory(const string& directory);
    // Closes the current daily file with a CLOSE record and opens the one for today (in
    // the log directory, named "YYYY-MM-DD.txt") with an OPEN record.
    void OpenDailyLog();
    // Writes "code TAB tag" and, with a text, "TAB ;text" (taken literally). A record of a
    // new day first switches the file.
    void WriteEvent(int code, const char* tag, const string& text);

    // ---- The service thread ----
    // The thread function; the argument is the MailService.
    static unsigned __stdcall ThreadMain(void* service);
    // Everything the thread does between its start and its end.
    void Run();
    // Waits for work: true when the outbox may hold a message to process (or timeout ms
    // have passed; INFINITE: no limit), false when a stop was requested.
    bool WaitForWork(DWORD timeout);
    // Reads OutboxDir; true when it changed (logged).
    bool RefreshOutboxDir();
    // Creates or checks the outbox monitor; true when the outbox became available or
    // unavailable (logged). An outbox that cannot be watched (a file of that name, an invalid
    // name, missing rights) is unavailable like a missing one; one deleted and made again
    // under its name is watched afresh.
    bool CheckOutboxWatch();
    // True when the outbox holds a file that is neither a directory nor hidden, nor set aside
    // until later.
    bool HasCandidate();
    // Logs and waits "Retry Timeout" seconds; false when a stop was requested meanwhile.
    bool RetryPause();

    Runlog& Log() { return *serviceLog_; }

    // ---- Files the passes leave alone (used by the service thread only) ----
    // The entry of a file, made when missing.
    LeftFile& LeaveAlone(const keystring& name) { return leftFiles[name]; }
    // Sets the file aside for ms milliseconds from now.
    void LeaveAlone(const keystring& name, DWORD ms);
    // True when the file is set aside and not yet due; *wait gets the milliseconds left.
    bool IsLeftAlone(const keystring& name, DWORD* wait = nullptr);
    // Forgets every entry (left file, memory) whose file is not among names (sorted); both are
    // cleared when the outbox changes.
    void ForgetFilesBut(const std::vector<keystring>& names);
    std::map<keystring, LeftFile> leftFiles;
    // Messages the service remembers something of (MessageMemory); forgotten with their file.
    std::map<keystring, MessageMemory> memory;
    // The files of the wait directory as the pass last listed them, while it reads messages:
    // a message's state files are looked for there, not one by one (under Wine a lookup of a
    // name that does not exist reads the whole directory). Null: each is looked up.
    const std::set<keystring>* waitNames = nullptr;

    MTSys::Event stopEvent;          // manual reset; set by PostvaneStop, cleared by PostvaneStart
    string logDirectory;             // directory of the daily event log; empty when none
    Runlog dailyLog;                 // the daily event log
    RealTime logDate;                // the date of the open daily log file
    DWORD debugFlags;                // DebugFlags as read at start
    std::unique_ptr<MTSys::FileChangeMonitor> outboxMonitor;  // change notification on the outbox; may be absent
    string outboxDirectory;          // OutboxDir as last read; empty when not configured
    bool outboxRecovered = false;    // what an interrupted run left in this outbox was set aside
    bool outboxUnavailable = false;  // the outbox was announced unavailable
    // The outbox directory the monitor watches, told apart from one made again under its name.
    struct DirectoryId {
        bool known = false;
        DWORD volume = 0;
        ULONGLONG index = 0;
    } outboxIdentity;
    SmtpConnection connection;       // the SMTP connection (uses stopEvent, debugFlags and the log)
    SmtpSession session;             // the SMTP session over it, kept from one message of a pass to the next
    PKXDK::Internet::DialupClient dialup;  // connection "Mail", lines logged as "Postvane: ..."
    MTSys::SyncObject callbackLock;  // unnamed mutex guarding the two fields below
    PostvaneCallback callback;
    void* callbackData;

    // How the last refused "Retry Timeout" was shown; empty while the value is usable.
    string refusedRetry;
    // The last retention run of this service run (local time, by the clock seam); unset
    // before the first.
    RealTime lastSweep;
    // How the last refused KeepDays was told; empty while the value is usable.
    string refusedKeepDays;
    // A copy into the archive or bad mail failed for a full disk, and no copy has been made
    // since: the next such failure is not logged again.
    bool keepingDiskFull = false;

    // Milliseconds in one second of the retry pause and of the class waits ("Retry Timeout"
    // and Schedule count whole seconds); tests shorten it to run many attempts quickly.
    DWORD secondMs;

    // Diagnostics: the idle wait's slice (tests shorten it), the number of times the
    // thread's wait returned, the number of outbox change notifications, and the
    // performance-counter time of the first notification after the mark was cleared.
    DWORD waitSliceMs;
    volatile LONG wakeups;
    volatile LONG notifications;
    volatile LONGLONG notificationMark;
    // Milliseconds the last pass paused to look again at files it could not open.
    DWORD relookMs = 0;
    // The time of each step of delivery since the last reset.
    DeliveryProfile profile;

private:
    void MainLoop();
    Runlog* serviceLog_;
};

// The process-wide service object.
MailService& Service();

}  // namespace Postvane
