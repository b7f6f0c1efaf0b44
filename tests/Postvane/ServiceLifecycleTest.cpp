#include <gtest/gtest.h>
#include <thread>
#include "LogReading.h"
#include "MailService.h"
#include "TestSupport.h"

using postvane_test::Eventually;
using postvane_test::HasRecord;
using postvane_test::RecordIndex;
using postvane_test::Records;
using testing_support::BesideTests;
using testing_support::CallbackProbe;
using testing_support::SetRegNumber;
using testing_support::SetRegText;
using testing_support::TempDir;

namespace {

const char* const kMail = testing_support::kMailKey;

// Service tests: a configuration in a directory of the test's own, and the service always
// stopped again, so that the machine-wide mutex is free for the next test.
class ServiceRun : public ::testing::Test {
protected:
    ServiceRun() {
        SetRegText(kMail, "DebugLog", ServiceLogPath());
        SetRegText(kMail, "LogDir", dir_ / "logs");
    }
    ~ServiceRun() override {
        PostvaneStop(1);
        ReleaseTheMutex();
        SetPostvaneCallback(nullptr, nullptr);
        SetEnvironmentVariableA("PENNARK_DIALUP_HANDLE", nullptr);
    }
    std::string ServiceLogPath() const { return dir_ / "service.txt"; }
    bool ServiceLogHas(const std::string& text) const { return HasRecord(ServiceLogPath(), text); }
    // The daily log of today (the clock is the system's in these tests).
    std::string DailyLogPath() const {
        SYSTEMTIME st;
        GetLocalTime(&st);
        char name[32];
        std::snprintf(name, sizeof name, "%04u-%02u-%02u.txt", st.wYear, st.wMonth, st.wDay);
        return dir_ / ("logs\\" + std::string(name));
    }

    // Makes the run end before it begins, as nothing else can: another service thread owns
    // the machine-wide mutex (this test's thread, until the fixture ends).
    void FailTheRun() { otherService_ = CreateMutexA(nullptr, TRUE, "Mutex Quillet Pennark MSS"); }
    void ReleaseTheMutex() {
        if (!otherService_) return;
        ReleaseMutex(otherService_);
        CloseHandle(otherService_);
        otherService_ = nullptr;
    }

    HANDLE otherService_ = nullptr;
    TempDir dir_;
};

}  // namespace

TEST_F(ServiceRun, DisabledServiceIsRefusedAndStartsNothing) {
    // A switch stored as a word (an operator's "yes") was read as 0: mail went on.
    struct Row {
        const char* text;  // stored as this text, or null: as the number
        DWORD number;
        bool enabled;
    } rows[] = {{nullptr, 1, false}, {"yes", 0, false}, {"1", 0, false}, {" 0", 0, false},
                {nullptr, 0, true},  {"0", 0, true},    {"", 0, true}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.text ? std::string("\"") + row.text + "\"" : std::to_string(row.number));
        if (row.text) SetRegText(kMail, "Disabled", row.text);
        else SetRegNumber(kMail, "Disabled", row.number);
        SetLastError(5);
        EXPECT_EQ(row.enabled, !!SmtpEnabled());
        EXPECT_EQ(row.enabled ? 0u : DWORD(ERROR_SERVICE_DISABLED), GetLastError());
        if (row.enabled) continue;
        SetLastError(0);
        EXPECT_FALSE(PostvaneStart());
        EXPECT_EQ(DWORD(ERROR_SERVICE_DISABLED), GetLastError());
        EXPECT_FALSE(Postvane::Service().IsValid()) << "no thread may be started";
        EXPECT_FALSE(testing_support::PathExists(ServiceLogPath())) << "a refused start opens no log";
    }
}

TEST_F(ServiceRun, SecondStartIsRefusedWhileRunningAndAcceptedAfterTheStop) {
    SetLastError(1234);
    ASSERT_TRUE(PostvaneStart());
    EXPECT_EQ(1234u, GetLastError()) << "a successful start leaves the last error alone";
    SetLastError(0);
    EXPECT_FALSE(PostvaneStart());
    EXPECT_EQ(DWORD(ERROR_SERVICE_ALREADY_RUNNING), GetLastError());

    EXPECT_TRUE(PostvaneStop(1));
    EXPECT_TRUE(Postvane::Service().IsSignalled()) << "a waiting stop returns after the thread has ended";
    EXPECT_TRUE(PostvaneStart()) << "a stopped service starts again";
    EXPECT_TRUE(PostvaneStop(0));
    EXPECT_TRUE(PostvaneStop(1));
    EXPECT_TRUE(Postvane::Service().IsSignalled());
}

TEST_F(ServiceRun, StopWithoutAStartReturnsAtOnce) {
    bool neverStarted = !Postvane::Service().IsValid();
    EXPECT_TRUE(PostvaneStop(0));
    EXPECT_TRUE(PostvaneStop(1)) << "with no thread the wait returns at once";
    if (neverStarted) {
        EXPECT_FALSE(Postvane::Service().IsValid()) << "a stop starts nothing";
    }
}

TEST_F(ServiceRun, RunIsLoggedInBothLogsInOrder) {
    // A daily log older than KeepDays (absent: 30 days) goes as the thread begins its work.
    std::string old = dir_ / "logs\\2016-01-01.txt";
    CreateDirectoryA((dir_ / "logs").c_str(), nullptr);
    testing_support::WriteFileBytes(old, "old");
    HANDLE h = CreateFileA(old.c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    FILETIME written = {0, 0x01D14000};  // early 2016
    SetFileTime(h, nullptr, nullptr, &written);
    CloseHandle(h);
    const char kSwept[] = "[5] Удалены файлы архива и журналов старше 30 дн.: 1 файл, 3 байт";
    ASSERT_TRUE(PostvaneStart());
    ASSERT_TRUE(Eventually([&] { return ServiceLogHas(kSwept); }));
    PostvaneStop(1);
    EXPECT_FALSE(testing_support::PathExists(old));

    std::vector<std::string> service = Records(ServiceLogPath());
    const char* order[] = {"[5] Запуск Postvane, версия 1.1.0.2", "[5] Сервис Postvane начал работать", kSwept,
                           "[5] Запрошен останов сервиса", "[5] Сервис Postvane прекращает работать",
                           "[5] Сервис Postvane закрыт"};
    int previous = -1;
    for (const char* line : order) {
        int at = RecordIndex(service, line);
        EXPECT_GT(at, previous) << "missing or out of order: " << line;
        previous = at;
    }
    std::vector<std::string> daily = {"[5] 1\tOPEN\t;лог открыт",
                                      "[5] 3\tSTART\t;запуск сервиса отправки электронной почты, версия 1.1.0.2",
                                      "[5] 4\tSTOP\t;сервис отправки электронной почты остановлен",
                                      "[5] 2\tCLOSE\t;лог закрыт"};
    EXPECT_EQ(daily, Records(DailyLogPath()));

    EXPECT_FALSE(Postvane::ServiceLog().HasFile()) << "the thread ends the service log's file";
    EXPECT_FALSE(Postvane::Service().dailyLog.HasFile());
    size_t lines = service.size();
    PostvaneStop(1);
    EXPECT_EQ(lines, Records(ServiceLogPath()).size()) << "a stop after the end writes nowhere";
}

TEST_F(ServiceRun, OutboxCreatedWhileRunningIsPickedUpAndNewFilesWakeTheThread) {
    std::string outbox = dir_ / "Outbox";
    SetRegText(kMail, "OutboxDir", outbox);
    Postvane::Service().waitSliceMs = 20;  // the idle slice, so that the test need not wait 5 s
    ASSERT_TRUE(PostvaneStart());
    ASSERT_TRUE(Eventually([&] { return ServiceLogHas("Почтовый ящик задан: " + outbox); }));
    LONG wakeups = Postvane::Service().wakeups;
    ASSERT_TRUE(Eventually([&] { return Postvane::Service().wakeups > wakeups + 2; }));
    EXPECT_FALSE(ServiceLogHas("Почтовый ящик доступен")) << "nothing more while the directory is missing";

    ASSERT_TRUE(CreateDirectoryA(outbox.c_str(), nullptr));
    ASSERT_TRUE(Eventually([&] { return ServiceLogHas("Почтовый ящик доступен: " + outbox); }));
    std::vector<std::string> log = Records(ServiceLogPath());
    EXPECT_LT(RecordIndex(log, "задан"), RecordIndex(log, "доступен"));

    LONG notified = Postvane::Service().notifications;
    testing_support::WriteFileBytes(outbox + "\\1.eml", "message");
    EXPECT_TRUE(Eventually([&] { return Postvane::Service().notifications > notified; }))
        << "a new file is noticed through the change notification";
    PostvaneStop(1);
    EXPECT_TRUE(Postvane::Service().IsSignalled()) << "files left in the outbox do not hold up the stop";
}

TEST_F(ServiceRun, RunThatCannotBeginIsReportedThroughTheCallback) {
    FailTheRun();
    CallbackProbe probe;
    ASSERT_TRUE(SetPostvaneCallback(&CallbackProbe::Called, &probe));
    ASSERT_TRUE(PostvaneStart());
    ASSERT_TRUE(probe.Wait(30000)) << "the service's death must be reported";
    EXPECT_EQ(0, probe.code);
    EXPECT_EQ(0, probe.detail);
    EXPECT_EQ(&probe, probe.userData);

    SetLastError(0);
    EXPECT_FALSE(PostvaneStart()) << "a dead service stays started until it is stopped";
    EXPECT_EQ(DWORD(ERROR_SERVICE_ALREADY_RUNNING), GetLastError());
    PostvaneStop(1);
    EXPECT_TRUE(Postvane::Service().IsSignalled());
    EXPECT_EQ(1, probe.calls);
}

TEST_F(ServiceRun, CallbackThatStopsTheServiceWithWaitingDoesNotWaitForItself) {
    FailTheRun();
    struct Stopper {
        static void __cdecl Called(int, int, void* result) { *static_cast<BOOL*>(result) = PostvaneStop(1); }
    };
    BOOL stopped = FALSE;
    ASSERT_TRUE(SetPostvaneCallback(&Stopper::Called, &stopped));
    ASSERT_TRUE(PostvaneStart());
    EXPECT_TRUE(Postvane::Service().Wait(30000)) << "the service thread must end after its callback stopped it";
    EXPECT_TRUE(stopped);
    EXPECT_TRUE(ServiceLogHas("[5] Запрошен останов сервиса"));
}

TEST_F(ServiceRun, StopRacingAStartOnAnotherThreadNeverHangs) {
    const int kRounds = 30;
    const DWORD kHung = 10000;  // a waiting stop takes well under a second; this long is a hang
    int hung = 0;
    for (int round = 0; round < kRounds; ++round) {
        HANDLE go = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        HANDLE stopped = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        std::thread starter([go] {
            WaitForSingleObject(go, INFINITE);
            PostvaneStart();
        });
        std::thread stopper([go, stopped] {
            WaitForSingleObject(go, INFINITE);
            PostvaneStop(1);
            SetEvent(stopped);
        });
        SetEvent(go);
        starter.join();
        if (WaitForSingleObject(stopped, kHung) != WAIT_OBJECT_0) {
            ++hung;
            PostvaneStop(0);  // lets the hung stop go
        }
        stopper.join();
        PostvaneStop(1);  // whichever came first, the next round starts from a stopped service
        CloseHandle(go);
        CloseHandle(stopped);
    }
    EXPECT_EQ(0, hung) << "of " << kRounds << " rounds";
}

TEST_F(ServiceRun, SecondProcessStartingTheServiceGetsTheCallback) {
    ASSERT_TRUE(PostvaneStart());
    ASSERT_TRUE(Eventually([&] { return HasRecord(DailyLogPath(), "START"); })) << "the first service owns the mutex";

    testing_support::ProgramRun run = testing_support::RunBesideTests("postvane.exe", "run --seconds 60", 60000);
    const std::string& output = run.output;
    ASSERT_TRUE(run.ended) << output;
    EXPECT_NE(std::string::npos, output.find("callback: code 0, detail 0")) << output;
    EXPECT_EQ(3u, run.exitCode) << "the tool ends when its service dies:\n" << output;
    EXPECT_FALSE(Postvane::Service().IsSignalled()) << "the first service keeps running";
}

TEST(ServiceCallback, ReplacingItIsRefusedWhileItRunsExceptFromInsideIt) {
    struct Blocking {
        MTSys::Event entered{true, false};
        MTSys::Event release{true, false};
        BOOL fromInside = FALSE;
        DWORD errorInside = 99;
        static void __cdecl Called(int, int, void* data) {
            Blocking* self = static_cast<Blocking*>(data);
            self->fromInside = SetPostvaneCallback(&Called, data);
            self->errorInside = GetLastError();
            self->entered.Set();
            self->release.Wait(INFINITE);
        }
    } blocking;
    ASSERT_TRUE(SetPostvaneCallback(&Blocking::Called, &blocking));
    std::thread service([] { Postvane::Service().InvokeCallback(0, 0); });
    ASSERT_TRUE(blocking.entered.Wait(30000));
    SetLastError(0);
    EXPECT_FALSE(SetPostvaneCallback(nullptr, nullptr));
    EXPECT_EQ(DWORD(ERROR_BUSY), GetLastError());
    blocking.release.Set();
    service.join();
    EXPECT_TRUE(blocking.fromInside) << "the callback's own thread may replace it";
    EXPECT_EQ(0u, blocking.errorInside);
    SetLastError(5);
    EXPECT_TRUE(SetPostvaneCallback(nullptr, nullptr));
    EXPECT_EQ(0u, GetLastError());
    Postvane::Service().InvokeCallback(0, 0);  // a cleared callback is not called
}
