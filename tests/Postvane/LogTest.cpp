#include <gtest/gtest.h>
#include "LogReading.h"
#include "MailService.h"
#include "ServiceLog.h"
#include "TestSupport.h"

using testing_support::FixedClock;
using testing_support::Moment;
using postvane_test::Records;
using testing_support::ListDir;
using testing_support::PathExists;
using testing_support::SetRegText;
using testing_support::TempDir;

namespace {
const char* const kMail = testing_support::kMailKey;
typedef std::vector<std::string> Lines;
}  // namespace

TEST(ServiceLogFile, AsteriskBecomesTheStartDayForTheWholeRun) {
    TempDir dir;
    FixedClock clock(Moment(2009, 3, 3, 23, 59, 58));
    SetRegText(kMail, "DebugLog", dir / "DebugLog *.txt");
    Postvane::OpenServiceLog();
    EXPECT_EQ(dir / "DebugLog (2009-03-03).txt", Postvane::ServiceLog().LogPath().str());
    Postvane::ServiceLog().Write(Runlog::Progress, "before midnight");
    clock.Set(Moment(2009, 3, 4, 0, 0, 2));
    Postvane::ServiceLog().Write(Runlog::Progress, "after midnight");
    EXPECT_EQ(Lines({"DebugLog (2009-03-03).txt"}), ListDir(dir.Path())) << "the service log never switches files";
    EXPECT_EQ(Lines({"[5] before midnight", "[5] after midnight"}), Records(dir / "DebugLog (2009-03-03).txt"));
    Postvane::ServiceLog().SetLogPath(nullptr);
}

TEST(ServiceLogFile, OnlyTheFirstAsteriskIsReplacedAndNamesWithoutOneAreKept) {
    FixedClock clock(Moment(2011, 12, 9, 8, 0, 0));
    RealTime day = RealTime::Now();
    EXPECT_EQ("C:\\logs\\a(2011-12-09)b*.txt", Postvane::ServiceLogPath("C:\\logs\\a*b*.txt", day).str());
    EXPECT_EQ("C:\\logs\\service.txt", Postvane::ServiceLogPath("C:\\logs\\service.txt", day).str());
    EXPECT_EQ("", Postvane::ServiceLogPath("", day).str());
}

TEST(ServiceLogFile, RelativeNameIsMadeAbsoluteAndItsDirectoryCreated) {
    TempDir dir;
    char previous[MAX_PATH];
    GetCurrentDirectoryA(sizeof previous, previous);
    ASSERT_TRUE(SetCurrentDirectoryA(dir.Path().c_str()));
    SetRegText(kMail, "DebugLog", "logs\\service.txt");
    Postvane::OpenServiceLog();
    Postvane::ServiceLog().Write(Runlog::Progress, "%s", "line");
    SetCurrentDirectoryA(previous);
    EXPECT_EQ(dir / "logs\\service.txt", Postvane::ServiceLog().LogPath().str());
    EXPECT_EQ(Lines({"[5] line"}), Records(dir / "logs\\service.txt"));
    Postvane::ServiceLog().SetLogPath(nullptr);
}

TEST(ServiceLogFile, EmptyDebugLogGivesNoFile) {
    SetRegText(kMail, "DebugLog", "");
    Postvane::OpenServiceLog();
    EXPECT_FALSE(Postvane::ServiceLog().HasFile());
}

TEST(DailyLog, FirstRecordOfANewDaySwitchesFilesWithCloseAndOpen) {
    TempDir dir;
    Runlog serviceLog;
    Postvane::MailService service(&serviceLog);
    FixedClock clock(Moment(2009, 3, 3, 23, 59, 59));
    service.SetLogDirectory(dir.Path());
    service.WriteEvent(Postvane::kEventSendStart, "SENDSTART", "Отправляется C:\\out\\1.eml");
    clock.Set(Moment(2009, 3, 4, 0, 0, 1));
    service.WriteEvent(Postvane::kEventSendDone, "SENDDONE", "Успешно выполнена отправка файла C:\\out\\1.eml");
    service.SetLogDirectory("");

    EXPECT_EQ(Lines({"2009-03-03.txt", "2009-03-04.txt"}), ListDir(dir.Path()));
    EXPECT_EQ(Lines({"[5] 1\tOPEN\t;лог открыт", "[5] 5\tSENDSTART\t;Отправляется C:\\out\\1.eml",
                     "[5] 2\tCLOSE\t;лог закрыт"}),
              Records(dir / "2009-03-03.txt"));
    EXPECT_EQ(Lines({"[5] 1\tOPEN\t;лог открыт", "[5] 6\tSENDDONE\t;Успешно выполнена отправка файла C:\\out\\1.eml",
                     "[5] 2\tCLOSE\t;лог закрыт"}),
              Records(dir / "2009-03-04.txt"))
        << "the new day's file begins with OPEN; clearing the directory ends it with CLOSE";
    EXPECT_FALSE(service.dailyLog.HasFile());
}

TEST(DailyLog, TextsAreWrittenLiterallyAndAnEmptyTextHasNoSeparator) {
    TempDir dir;
    Runlog serviceLog;
    Postvane::MailService service(&serviceLog);
    FixedClock clock(Moment(2010, 1, 2, 12, 0, 0));
    service.SetLogDirectory(dir / "deeper\\logs");
    service.WriteEvent(Postvane::kEventSendFail, "SENDFAIL", "100% %s %n %d");
    service.WriteEvent(Postvane::kEventStop, "STOP", "");
    EXPECT_EQ(Lines({"[5] 1\tOPEN\t;лог открыт", "[5] 7\tSENDFAIL\t;100% %s %n %d", "[5] 4\tSTOP"}),
              Records(dir / "deeper\\logs\\2010-01-02.txt"))
        << "a missing log directory is created";
    service.SetLogDirectory("");
}

TEST(DailyLog, NoDirectoryMeansNoFileAndNoError) {
    TempDir dir;
    Runlog serviceLog;
    Postvane::MailService service(&serviceLog);
    char previous[MAX_PATH];
    GetCurrentDirectoryA(sizeof previous, previous);
    SetCurrentDirectoryA(dir.Path().c_str());
    service.SetLogDirectory("");
    service.WriteEvent(Postvane::kEventStart, "START", "запуск");
    SetCurrentDirectoryA(previous);
    EXPECT_FALSE(service.dailyLog.HasFile());
    EXPECT_TRUE(ListDir(dir.Path()).empty());
}
