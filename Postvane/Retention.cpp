#include "Retention.h"
#include <climits>
#include <cstring>
#include <string>
#include <vector>
#include "ServiceLog.h"
#include "Setting.h"
#include "qlframe.h"

namespace Postvane {

namespace {

const double kSecondsPerDay = 24 * 3600.0;

// What a directory is swept for.
enum Kind : unsigned { kArchiveCopies = 1, kDailyLogs = 2, kServiceLogs = 4 };

struct Place {
    string dir;            // full path with its trailing separator
    unsigned kinds = 0;
};

// The service log's names: what comes before and after the date of DebugLog's pattern.
struct ServiceLogName {
    std::string prefix, suffix;
};

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// n decimal digits at p.
bool Digits(const char* p, size_t n) {
    for (size_t i = 0; i < n; ++i)
        if (!IsDigit(p[i])) return false;
    return true;
}

// "YYYY-MM-DD" at p (ten characters).
bool IsDate(const char* p) {
    return Digits(p, 4) && p[4] == '-' && Digits(p + 5, 2) && p[7] == '-' && Digits(p + 8, 2);
}

// A name the disposal gives a copy: digits, any number of "(<digits>)", ".eml".
bool IsCopyName(const char* name) {
    const char* p = name;
    while (IsDigit(*p)) ++p;
    if (p == name) return false;
    while (*p == '(') {
        const char* digits = ++p;
        while (IsDigit(*p)) ++p;
        if (p == digits || *p != ')') return false;
        ++p;
    }
    return lstrcmpiA(p, ".eml") == 0;
}

bool IsDailyLogName(const char* name) {
    return std::strlen(name) == 14 && IsDate(name) && lstrcmpiA(name + 10, ".txt") == 0;
}

bool EqualNoCase(const std::string& a, const char* b, size_t length) {
    return a.size() == length && CompareStringA(LOCALE_INVARIANT, NORM_IGNORECASE, a.data(), int(length), b,
                                                int(length)) == CSTR_EQUAL;
}

bool IsServiceLogName(const char* name, const ServiceLogName& pattern) {
    size_t length = std::strlen(name);
    size_t fixed = pattern.prefix.size() + pattern.suffix.size();
    if (length != fixed + 12) return false;
    const char* date = name + pattern.prefix.size();
    return EqualNoCase(pattern.prefix, name, pattern.prefix.size()) && date[0] == '(' && IsDate(date + 1) &&
           date[11] == ')' && EqualNoCase(pattern.suffix, date + 12, pattern.suffix.size());
}

// A directory value as a full path with its trailing separator; empty stays empty.
string DirectoryOf(const string& value) {
    if (value.IsEmpty()) return string("");
    return MakePathSpec(GetFullPath(value));
}

string FullPathOf(const string& path) { return path.HasText() ? GetFullPath(path) : string(""); }

bool SamePath(const string& a, const string& b) { return a.HasText() && a.CompareNoCase(b) == 0; }

// Adds the kinds to the place of dir, so that a directory shared by several kinds (LogDir and
// the service log's directory, by default) is listed once.
void AddPlace(std::vector<Place>& places, const string& dir, unsigned kinds) {
    if (dir.IsEmpty()) return;
    for (Place& p : places)
        if (SamePath(p.dir, dir)) {
            p.kinds |= kinds;
            return;
        }
    Place p;
    p.dir = dir;
    p.kinds = kinds;
    places.push_back(p);
}

const char* FilesWord(unsigned n) {
    if (n % 10 == 1 && n % 100 != 11) return "файл";
    if (n % 10 >= 2 && n % 10 <= 4 && (n % 100 < 12 || n % 100 > 14)) return "файла";
    return "файлов";
}

}  // namespace

unsigned KeepDays(MailService& service) {
    try {
        unsigned days = CheckedNumber(*ConfigKey(), kMailKeyPath, "KeepDays", 0, INT_MAX, kDefaultKeepDays,
                                      "число дней, 0: хранить всегда");
        service.refusedKeepDays = string("");
        return days;
    } catch (const BadSetting& e) {
        if (e.Reason().CompareNoCase(service.refusedKeepDays) != 0) {
            service.refusedKeepDays = e.Reason();
            service.Log().WriteText(Runlog::Error,
                                    e.Reason() + FormatBuffer(64, "; действует %u", unsigned(kDefaultKeepDays)));
        }
        return kDefaultKeepDays;
    }
}

SweepResult SweepOldFiles(MailService& service) {
    SweepResult result;
    Runlog& log = service.Log();
    try {
        unsigned days = KeepDays(service);
        if (days == 0) return result;

        // Where the service puts its files, and what it must never touch.
        std::vector<Place> places;
        AddPlace(places, DirectoryOf(ConfigText("ArchiveDir")), kArchiveCopies);
        AddPlace(places, DirectoryOf(ConfigText("LogDir")), kDailyLogs);
        ServiceLogName serviceLog;
        string pattern = ConfigText("DebugLog");
        if (pattern.HasText()) {
            string full = GetFullPath(pattern);
            string dir = GetParentPath(full);
            std::string file = GetFileFromPath(full).str();
            size_t star = file.find('*');
            // Only an asterisk in the file's name makes names by day; one in the directory
            // names no file of the service's.
            if (star != std::string::npos && full.str().find('*') >= dir.Length()) {
                serviceLog.prefix = file.substr(0, star);
                serviceLog.suffix = file.substr(star + 1);
                AddPlace(places, dir, kServiceLogs);
            }
        }
        string badMail = DirectoryOf(ConfigText("BadMailDir"));
        string outbox = DirectoryOf(ConfigText("OutboxDir"));
        string serviceLogNow = FullPathOf(service.Log().LogPath());
        string dailyLogNow = FullPathOf(service.dailyLog.LogPath());

        // Last writes before this moment (UTC, as file times are) are old enough.
        RealTime limit = RealTime::Now().UTC() - RealTime(double(days) * kSecondsPerDay * RealTime::Second);
        for (const Place& place : places) {
            // Bad mail waits for an operator, and the outbox holds messages: neither is swept,
            // whatever else names the directory.
            if (SamePath(place.dir, badMail) || SamePath(place.dir, outbox)) continue;
            for (FileFinder f(place.dir + "*"); f.Found() && !result.stopped; f.Next()) {
                if (f.Attributes() & FILE_ATTRIBUTE_DIRECTORY) continue;
                const char* name = f.Name();
                bool ours = ((place.kinds & kArchiveCopies) && IsCopyName(name)) ||
                            ((place.kinds & kDailyLogs) && IsDailyLogName(name)) ||
                            ((place.kinds & kServiceLogs) && IsServiceLogName(name, serviceLog));
                if (!ours) continue;
                const FILETIME& written = f.Entry().ftLastWriteTime;
                RealTime when(double((ULONGLONG(written.dwHighDateTime) << 32) | written.dwLowDateTime));
                if (!(when < limit)) continue;
                string path = place.dir + name;
                if (SamePath(path, serviceLogNow) || SamePath(path, dailyLogNow)) continue;
                if (service.CheckStop(true)) {
                    result.stopped = true;
                    break;
                }
                if (DeleteFileA(path.c_str())) {
                    ++result.files;
                    result.bytes += f.Size();
                } else {
                    ++result.failed;
                    result.lastError = GetLastError();
                }
            }
        }
        if (result.files)
            log.Write(Runlog::Progress, "Удалены файлы архива и журналов старше %u дн.: %u %s, %llu байт", days,
                      result.files, FilesWord(result.files), static_cast<unsigned long long>(result.bytes));
        else
            log.Write(Runlog::Detail, "Файлов архива и журналов старше %u дн. нет", days);
        if (result.failed)
            log.Write(Runlog::Detail, "Не удалось удалить старые файлы: %u (системная ошибка %08x), они оставлены",
                      result.failed, unsigned(result.lastError));
    } catch (const QuilletException& e) {
        // Keeping the disk tidy never stops the service: the next day tries again.
        log.WriteText(Runlog::Error, "Не удаётся удалить старые файлы архива и журналов: " + LogSafe(e.Reason()));
    }
    return result;
}

void SweepIfDue(MailService& service) {
    RealTime now = RealTime::Now();
    if (service.lastSweep && now < service.lastSweep) service.lastSweep = now;  // the clock was set back
    if (service.lastSweep && (now - service.lastSweep).value < kRetentionPeriodSeconds * RealTime::Second) return;
    service.lastSweep = now;
    SweepOldFiles(service);
}

}  // namespace Postvane
