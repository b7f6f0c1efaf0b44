#include <gtest/gtest.h>
#include "OutboxPassFixture.h"
#include "Retention.h"
#include "qlframe.h"

using namespace testing_support;
using smtptest::Occurrences;

namespace {

const double kDay = 24 * 3600.0;

// Sets the file's last write to ageDays before the fixed clock's moment.
void Age(const std::string& path, const FixedClock& clock, double ageDays) {
    RealTime when = clock.Now().UTC() - RealTime(ageDays * kDay * RealTime::Second);
    ULONGLONG units = ULONGLONG(when.value);
    FILETIME ft = {DWORD(units), DWORD(units >> 32)};
    HANDLE h = CreateFileA(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, h) << path;
    EXPECT_TRUE(SetFileTime(h, nullptr, nullptr, &ft)) << path;
    CloseHandle(h);
}

}  // namespace

// KeepDays as stored decides what goes: archive copies, daily logs and service logs past the
// limit; never bad mail, subdirectories, foreign names or the logs being written. The run
// repeats a day later by the clock, and a value it cannot use is told once.
TEST(Retention, OldArchiveCopiesAndLogsGoAtStartAndDaily) {
    // KeepDays stored (null: absent), the limit that applies (0: nothing goes), logged as unusable.
    const struct {
        const char* keepDays;
        unsigned days;
        bool told;
    } rows[] = {{nullptr, 30, false}, {"30", 30, false}, {"7", 7, false}, {"0", 0, false}, {"thirty", 30, true}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.keepDays ? row.keepDays : "absent");
        FixedZone zone;
        FixedClock clock(Moment(2026, 12, 8, 12));
        TempDir dir;
        std::string sent = dir / "Sent", logs = dir / "Logs", bad = dir / "Bad";
        for (const std::string& d : {sent, sent + "\\sub", logs, bad}) CreateDirectoryA(d.c_str(), nullptr);
        for (const auto& v : {std::make_pair("ArchiveDir", sent), {"BadMailDir", bad}, {"LogDir", logs},
                              {"OutboxDir", dir / "Outbox"}, {"DebugLog", logs + "\\DebugLog *.txt"}})
            SetRegText(kMailKey, v.first, v.second);
        if (row.keepDays) SetRegText(kMailKey, "KeepDays", row.keepDays);
        else DeleteRegValue(kMailKey, "KeepDays");

        // The logs being written now, named for old days and last written long ago.
        Runlog serviceLog;
        std::string serviceLogPath = logs + "\\DebugLog (2026-01-01).txt";
        serviceLog.SetLogPath(serviceLogPath.c_str());
        Postvane::MailService service(&serviceLog);
        service.SetLogDirectory(logs.c_str());
        Age(serviceLogPath, clock, 400);
        Age(logs + "\\2026-12-08.txt", clock, 400);

        const double limit = row.days ? row.days : 30;
        // Each file's path, age in days and whether it goes when a limit applies.
        const struct File {
            std::string path;
            double age;
            bool goes;
        } files[] = {
            {sent + "\\100.eml", limit + 0.01, true},
            {sent + "\\100(1).eml", limit - 0.01, false},
            {sent + "\\101(2)(1).EML", limit + 1, true},
            {sent + "\\notes.txt", limit + 1, false},
            {sent + "\\1x.eml", limit + 1, false},
            {sent + "\\sub\\200.eml", limit + 1, false},
            {logs + "\\2026-10-01.txt", limit + 1, true},
            {logs + "\\2026-11-20.txt", limit - 2, false},
            {logs + "\\2026-1-01.txt", limit + 1, false},
            {logs + "\\DebugLog (2026-10-01).txt", limit + 1, true},
            {logs + "\\DebugLog (2026-10-02).txt.bak", limit + 1, false},
            {logs + "\\Other (2026-10-01).txt", limit + 1, false},
            {bad + "\\102.eml", limit + 1, false},
            {bad + "\\102.eml.why", limit + 1, false},
        };
        size_t bytes = 0, count = 0;
        for (const File& f : files) {
            WriteFileBytes(f.path, f.path);
            Age(f.path, clock, f.age);
            if (f.goes && row.days) bytes += f.path.size(), ++count;
        }

        Postvane::SweepIfDue(service);
        for (const File& f : files)
            EXPECT_EQ(!(f.goes && row.days), PathExists(f.path)) << f.path;
        EXPECT_TRUE(PathExists(serviceLogPath) && PathExists(logs + "\\2026-12-08.txt")) << "the logs being written";
        auto told = [&](const std::string& what) { return Occurrences(ReadFileBytes(serviceLogPath), what); };
        EXPECT_EQ(row.days ? 1u : 0u, told(FormatBuffer(256, "[5] Удалены файлы архива и журналов старше %u дн.: %u "
                                                             "файла, %u байт", row.days, unsigned(count), unsigned(bytes)).str()))
            << Printable(ReadFileBytes(serviceLogPath));

        // A day later by the clock the run comes again, not sooner.
        std::string later = sent + "\\300.eml";
        WriteFileBytes(later, "x");
        Age(later, clock, limit + 1);
        clock.Advance(23 * 3600);
        Postvane::SweepIfDue(service);
        EXPECT_TRUE(PathExists(later)) << "within the day";
        clock.Advance(3600);
        Postvane::SweepIfDue(service);
        EXPECT_EQ(row.days == 0, PathExists(later)) << "a day after the last run";
        // Then the copy that was just within the limit goes too.
        EXPECT_EQ(row.days ? 1u : 0u, told(FormatBuffer(64, " дн.: 2 файла, %u байт", unsigned(1 + files[1].path.size())).str()));
        EXPECT_EQ(row.told ? 1u : 0u, told("[2] Недопустимое значение KeepDays (\"thirty\")"))
            << Printable(ReadFileBytes(serviceLogPath));
        service.SetLogDirectory("");
        serviceLog.SetLogPath(nullptr);
    }
    DeleteRegValue(kMailKey, "KeepDays");
}
