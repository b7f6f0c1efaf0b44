#include "QueueStatus.h"
#include <cstdarg>
#include <cstdio>
#include <map>
#include <set>
#include <vector>
#include "Globals.h"
#include "MailService.h"
#include "OutboxMessage.h"
#include "PKLib.h"
#include "RecipientRecord.h"
#include "ServiceLog.h"
#include "Settled.h"
#include "Setting.h"
#include "qlframe.h"

namespace Postvane {

namespace {

// A line from a fixed format; the texts it takes are arguments, never the format.
std::string Line(const char* format, ...) {
    va_list args, again;
    va_start(args, format);
    va_copy(again, args);
    char small[512];
    int n = std::vsnprintf(small, sizeof small, format, args);
    va_end(args);
    std::string text;
    if (n < 0) {
        text = format;
    } else if (size_t(n) < sizeof small) {
        text.assign(small, size_t(n));
    } else {
        text.resize(size_t(n) + 1);
        std::vsnprintf(&text[0], text.size(), format, again);
        text.resize(size_t(n));
    }
    va_end(again);
    return text;
}

std::string Moment(const RealTime& local) { return Format(2, local, true, true).str(); }

// A text from a file or a server, fit for one line.
std::string Shown(const string& text) { return LogSafe(text).str(); }

// Files of a directory, the bad-mail side notes told apart.
struct DirectoryCount {
    size_t files = 0;
    size_t notes = 0;  // <copy>.why: why a message was set aside, not a message itself
    DWORD error = 0;   // why the directory could not be listed; 0 also when it does not exist
};

// A listing that finds nothing because the directory is not there holds nothing; any other
// failure to list is told by its code.
DWORD ListingError(const FileFinder& f) {
    DWORD error = f.Error();
    bool none = f.Found() || error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND || error == ERROR_NO_MORE_FILES;
    return none ? 0 : error;
}

DirectoryCount CountDirectory(const string& dir) {
    DirectoryCount count;
    if (dir.IsEmpty()) return count;
    static const char kNote[] = ".why";
    const size_t suffix = sizeof kNote - 1;
    FileFinder f(MakePathSpec(dir) + "*.*");
    count.error = ListingError(f);
    for (; f.Found(); f.Next()) {
        if (f.Attributes() & FILE_ATTRIBUTE_DIRECTORY) continue;
        size_t length = std::strlen(f.Name());
        if (length > suffix && lstrcmpiA(f.Name() + length - suffix, kNote) == 0) ++count.notes;
        else ++count.files;
    }
    return count;
}

// The rules of each class as the service reads them, read once per listing.
class RulesCache {
public:
    // The rules of the class; false, with *problem set, when the setting cannot be used.
    bool Find(const string& mailClass, ClassRules* rules, std::string* problem) {
        auto found = cache_.find(keystring(mailClass));
        if (found == cache_.end()) {
            Entry entry;
            try {
                entry.rules = ReadClassRules(mailClass);
            } catch (const BadSetting& e) {
                entry.usable = false;
                entry.problem = Shown(e.Reason());
            }
            found = cache_.emplace(keystring(mailClass), entry).first;
        }
        *rules = found->second.rules;
        *problem = found->second.problem;
        return found->second.usable;
    }

private:
    struct Entry {
        bool usable = true;
        ClassRules rules;
        std::string problem;
    };
    std::map<keystring, Entry> cache_;
};

// The names of the wait directory's files, read in one listing.
std::set<keystring> WaitNames(const string& outbox) {
    std::set<keystring> names;
    for (FileFinder f(MakePathSpec(outbox) + "Wait\\*.*"); f.Found(); f.Next())
        if (!(f.Attributes() & FILE_ATTRIBUTE_DIRECTORY)) names.insert(keystring(f.Name()));
    return names;
}

class Lister {
public:
    Lister(const StatusSettings& settings, const StatusWriter& write)
        : settings_(settings), write_(write), waitNames_(WaitNames(settings.outbox)) {}

    // What the next pass will do with one message file, and its recipients.
    void Describe(const keystring& name) {
        string path = MakePathSpec(settings_.outbox) + name;
        std::string shownName = Shown(name);
        if (Has(name, ".done")) {
            DoneMark mark;
            if (ReadDoneMark(DoneMarkPath(settings_.outbox, path), &mark) && DoneMarkMatches(mark, path)) {
                write_(Line("  %s: %s, its file could not be removed (marked %s): never sent again, removed when "
                            "it can be",
                            shownName.c_str(), mark.delivered ? "delivered" : "undeliverable and kept in bad mail",
                            mark.when ? Moment(mark.when.Local()).c_str() : "?"));
                return;
            }
        }
        FilePort file(path, CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                        FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
        if (!file.IsValid()) {
            write_(Line("  %s: busy: cannot be opened now (error %lu); taken when its writer is done",
                        shownName.c_str(), GetLastError()));
            return;
        }
        std::string head(kHeaderWindow, '\0');
        LONGLONG pos = 0;
        head.resize(file.Read(&pos, &head[0], DWORD(head.size())));
        if (head.empty()) {
            write_(Line("  %s: empty file: rejected at next pass", shownName.c_str()));
            return;
        }
        MessageHeaders headers = ParseHeaders(head.data(), head.size());
        bool ownTo = headers.hasTo && headers.to.HasText();
        string recipients = ownTo ? headers.to : settings_.fallbackRecipient;

        unsigned count = 0;
        RealTime last;
        if (!(settings_.debugFlags & kNoAttemptLogs) && Has(name, ".msglog"))
            ReadAttemptLog(AttemptLogPath(settings_.outbox, path), &count, &last);
        std::string history = Line("class %s, counted attempts %u",
                                   headers.mailClass.HasText() ? Shown(headers.mailClass).c_str() : "(none)", count);
        if (last) history += Line(", last %s", Moment(last.Local()).c_str());

        write_(Line("  %s: next: %s; %s", shownName.c_str(), Next(headers.mailClass, recipients, count, last).c_str(),
                    history.c_str()));
        write_("    " + Recipients(name, path, recipients, ownTo));
    }

private:
    // True when the wait directory holds <name><suffix>.
    bool Has(const keystring& name, const char* suffix) const {
        return waitNames_.count(keystring(name + suffix)) != 0;
    }

    // What the next pass does, by the message's class rules and attempt history.
    std::string Next(const string& mailClass, const string& recipients, unsigned count, const RealTime& last) {
        // A message never tried before is neither over a limit nor waiting: its rules are
        // not needed, as the service does not read them either.
        if (count != 0) {
            ClassRules rules;
            std::string problem;
            if (!rules_.Find(mailClass, &rules, &problem))
                return "waits until its class setting is mended (" + problem + ")";
            if (rules.maxAttempt != 0 && count >= rules.maxAttempt)
                return Line("rejected at next pass (%s limit %u attempts)", mailClass.HasText() ? "class" : "Mail key",
                            rules.maxAttempt);
            if (recipients.HasText() && last) {
                unsigned delay = ScheduleDelay(rules.schedule, count, settings_.retrySeconds);
                RealTime nowUtc = RealTime::Now().UTC();
                RealTime due = ((last > nowUtc ? nowUtc : last) + RealTime(delay * RealTime::Second)).Local();
                // The service counts a time in the future from when it first sees it.
                const char* future = last > nowUtc ? "; the last attempt's time lies in the future" : "";
                if (due > RealTime::Now())
                    return Line("%s (wait %u s after failure %u%s)", Moment(due).c_str(), delay, count, future);
            }
        }
        if (recipients.IsEmpty()) return "rejected at next pass (no recipient)";
        return "at the next pass";
    }

    // The recipients still owed and those refused for good, from the recipient record; the
    // ones delivered already are counted.
    std::string Recipients(const keystring& name, const string& path, const string& recipients, bool ownTo) {
        if (recipients.IsEmpty()) return "recipients: (none)";
        std::vector<RecipientEntry> record;
        if (Has(name, ".rcpt")) record = ReadRecipientRecord(RecipientRecordPath(settings_.outbox, path));
        std::vector<RecipientEntry> states = RecipientStates(recipients, record);
        std::string pending, refused;
        unsigned delivered = 0;
        for (const RecipientEntry& entry : states) {
            if (entry.state == RecipientState::Delivered) {
                ++delivered;
                continue;
            }
            std::string& list = entry.state == RecipientState::Refused ? refused : pending;
            if (!list.empty()) list += ", ";
            list += Shown(entry.address);
            if (entry.reply.HasText()) list += " (" + Shown(entry.reply) + ")";
        }
        std::string text = "pending: " + (pending.empty() ? std::string("(none)") : pending);
        if (!refused.empty()) text += "; refused: " + refused;
        if (delivered) text += Line("; delivered to %u", delivered);
        if (!ownTo) text += " (configured Recipient)";
        return text;
    }

    const StatusSettings& settings_;
    const StatusWriter& write_;
    std::set<keystring> waitNames_;
    RulesCache rules_;
};

}  // namespace

const char kLastFailureFile[] = "!last-failure";

namespace {

const size_t kLastFailureLimit = 4096;   // the record is one line of a failure's text
const size_t kLastFailureText = 2048;    // the most of a text kept in it

ULONGLONG Number(const FILETIME& time) { return (ULONGLONG(time.dwHighDateTime) << 32) | time.dwLowDateTime; }

string WaitPath(const string& outbox, const char* name) { return MakePathSpec(outbox) + "Wait\\" + name; }

const char kSource[] = "QueueStatus.cpp";

}  // namespace

void RecordLastFailure(const string& outbox, const string& text) {
    if (outbox.IsEmpty()) return;
    SYSTEMTIME now;
    GetSystemTime(&now);
    std::string shown = LogSafe(text).str();
    if (shown.size() > kLastFailureText) shown.resize(kLastFailureText);
    std::string line = Line("%04u-%02u-%02u %02u:%02u:%02u\t", now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute,
                            now.wSecond) + shown + "\r\n";
    CreateDirectoryA((MakePathSpec(outbox) + "Wait").c_str(), nullptr);  // a pass may not have made it yet
    string path = WaitPath(outbox, kLastFailureFile);
    string temporary = path + ".tmp";
    bool written = false;
    {
        AHandle file(CreateFileA(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                 FILE_ATTRIBUTE_HIDDEN | FILE_FLAG_WRITE_THROUGH, nullptr));
        DWORD done = 0;
        written = file.IsValid() && WriteFile(file.Get(), line.data(), DWORD(line.size()), &done, nullptr) &&
                  done == line.size();
    }
    if (!written || !MoveFileExA(temporary.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        DeleteFileA(temporary.c_str());
}

bool ReadLastFailure(const string& outbox, FILETIME* utc, string* text) {
    if (outbox.IsEmpty()) return false;
    string path = WaitPath(outbox, kLastFailureFile);
    // Shared for deletion too: a record being replaced meanwhile is not held up.
    AHandle file(CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                             OPEN_EXISTING, 0, nullptr));
    if (!file.IsValid()) return false;
    char buffer[kLastFailureLimit];
    DWORD got = 0;
    if (!ReadFile(file.Get(), buffer, sizeof buffer, &got, nullptr)) return false;
    std::string line(buffer, got);
    size_t tab = line.find('\t'), end = line.find("\r\n");
    SYSTEMTIME when = {};
    unsigned year, month, day, hour, minute, second;
    if (tab == std::string::npos || end == std::string::npos || end < tab ||
        std::sscanf(line.c_str(), "%4u-%2u-%2u %2u:%2u:%2u", &year, &month, &day, &hour, &minute, &second) != 6)
        return false;
    when.wYear = WORD(year);
    when.wMonth = WORD(month);
    when.wDay = WORD(day);
    when.wHour = WORD(hour);
    when.wMinute = WORD(minute);
    when.wSecond = WORD(second);
    if (!SystemTimeToFileTime(&when, utc)) return false;
    *text = string(line.substr(tab + 1, end - tab - 1));
    return true;
}

QueueFigures ReadQueueFigures(const StatusSettings& settings) {
    QueueFigures figures;
    if (settings.outbox.HasText()) {
        std::set<keystring> waitNames = WaitNames(settings.outbox);
        FILETIME nowTime;
        GetSystemTimeAsFileTime(&nowTime);
        ULONGLONG now = Number(nowTime), oldest = now;
        FileFinder f(MakePathSpec(settings.outbox) + "*.*");
        if (DWORD error = ListingError(f)) ThrowWindowsError(error, kSource, __LINE__);
        for (; f.Found(); f.Next()) {
            if (f.Attributes() & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_HIDDEN)) continue;
            const WIN32_FIND_DATAA& entry = f.Entry();
            // A finished message whose removal is pending waits for nothing: its mark tells,
            // when it was written for this very file.
            DoneMark mark;
            if (waitNames.count(keystring(string(f.Name()) + ".done")) &&
                ReadDoneMark(DoneMarkPath(settings.outbox, string(f.Name())), &mark) && mark.size == f.Size() &&
                mark.lastWrite == Number(entry.ftLastWriteTime))
                continue;
            ++figures.waiting;
            if (Number(entry.ftCreationTime) < oldest) oldest = Number(entry.ftCreationTime);
        }
        if (figures.waiting) figures.oldestAgeSeconds = unsigned((now - oldest) / 10000000ULL);
        ReadLastFailure(settings.outbox, &figures.lastFailureTime, &figures.lastFailure);
    }
    DirectoryCount bad = CountDirectory(settings.badMail);
    if (bad.error) ThrowWindowsError(bad.error, kSource, __LINE__);
    figures.badMail = unsigned(bad.files);
    return figures;
}

StatusSettings ReadStatusSettings() {
    StatusSettings s;
    RegKey mail(HKEY_LOCAL_MACHINE, kMailKeyPath, false, RegKey::ReadAccess);
    RegKey smtp(HKEY_LOCAL_MACHINE, kSmtpKeyPath, false, RegKey::ReadAccess);
    s.outbox = mail["OutboxDir"].Text();
    s.archive = mail["ArchiveDir"].Text();
    s.badMail = mail["BadMailDir"].Text();
    s.fallbackRecipient = smtp["Recipient"].Text();
    int retry = mail["Retry Timeout"].Number();
    s.retrySeconds = retry <= 0 ? kDefaultRetrySeconds : WaitSeconds(retry);
    s.debugFlags = DWORD(mail["DebugFlags"].Number());
    return s;
}

void WriteQueueStatus(const StatusSettings& settings, const StatusWriter& write) {
    if (settings.outbox.IsEmpty()) {
        write("Outbox: not configured (OutboxDir is empty)");
    } else {
        std::vector<keystring> names = ListOutbox(settings.outbox);
        write(Line("Outbox: %s (%u message%s)", Shown(settings.outbox).c_str(), unsigned(names.size()),
                   names.size() == 1 ? "" : "s"));
        Lister lister(settings, write);
        for (const keystring& name : names) lister.Describe(name);
        unsigned unfinished = 0;
        for (FileFinder f(MakePathSpec(settings.outbox) + "*.eml"); f.Found(); f.Next())
            if ((f.Attributes() & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_DIRECTORY)) == FILE_ATTRIBUTE_HIDDEN)
                ++unfinished;
        if (unfinished)
            write(Line("Hidden message files: %u (being written, or the remains of an interrupted submission, which "
                       "the service sets aside into bad mail at its next start)",
                       unfinished));
    }
    DirectoryCount archive = CountDirectory(settings.archive), bad = CountDirectory(settings.badMail);
    write(Line("Archive: %s: %u", settings.archive.HasText() ? Shown(settings.archive).c_str() : "(not kept)",
               unsigned(archive.files)));
    std::string notes = bad.notes ? Line(" (and %u note%s of why)", unsigned(bad.notes), bad.notes == 1 ? "" : "s") : "";
    write(Line("Bad mail: %s: %u%s", settings.badMail.HasText() ? Shown(settings.badMail).c_str() : "(not kept)",
               unsigned(bad.files), notes.c_str()));
    FILETIME failed;
    string failure;
    if (ReadLastFailure(settings.outbox, &failed, &failure)) {
        FILETIME local;
        SYSTEMTIME shown;
        FileTimeToLocalFileTime(&failed, &local);
        FileTimeToSystemTime(&local, &shown);
        write(Line("Last failure: %s: %s", Moment(RealTime(shown)).c_str(), Shown(failure).c_str()));
    } else {
        write("Last failure: none on record");
    }
}

}  // namespace Postvane
