#include <gtest/gtest.h>
#include <algorithm>
#include "FileChangeMonitor.h"
#include "LogReading.h"
#include "MailService.h"
#include "TestSupport.h"

using postvane_test::Eventually;
using postvane_test::HasRecord;
using postvane_test::RecordIndex;
using postvane_test::Records;
using testing_support::SetRegText;
using testing_support::TempDir;
using testing_support::WriteFileBytes;

namespace {

const char* const kMail = testing_support::kMailKey;

// A service object of its own, not running, with its own log file.
class OutboxWatch : public ::testing::Test {
protected:
    OutboxWatch() : service_(&log_) { log_.SetLogPath(LogPath().c_str()); }
    std::string LogPath() const { return dir_ / "service.log"; }
    std::vector<std::string> Log() const { return Records(LogPath()); }

    TempDir dir_;
    Runlog log_;
    Postvane::MailService service_;
};

}  // namespace

TEST_F(OutboxWatch, MissingOutboxIsAnnouncedOnceAndBecomesAvailableWhenCreated) {
    std::string outbox = dir_ / "Outbox";
    SetRegText(kMail, "OutboxDir", outbox);
    EXPECT_TRUE(service_.RefreshOutboxDir());
    EXPECT_FALSE(service_.CheckOutboxWatch()) << "a missing directory is no change of availability";
    EXPECT_FALSE(service_.outboxMonitor);

    SetRegText(kMail, "OutboxDir", dir_ / "OUTBOX");
    EXPECT_FALSE(service_.RefreshOutboxDir()) << "the same directory in other letters is no change";
    EXPECT_FALSE(service_.CheckOutboxWatch());

    ASSERT_TRUE(CreateDirectoryA(outbox.c_str(), nullptr));
    EXPECT_TRUE(service_.CheckOutboxWatch());
    ASSERT_TRUE(service_.outboxMonitor);
    EXPECT_FALSE(service_.CheckOutboxWatch()) << "an outbox that stays is no change";

    std::vector<std::string> expected = {"[5] Почтовый ящик задан: " + outbox,
                                         "[5] Почтовый ящик доступен: " + outbox};
    EXPECT_EQ(expected, Log());
}

TEST_F(OutboxWatch, OutboxGivenWithATrailingSeparatorStaysAvailable) {
    std::string outbox = dir_.Path() + "\\";
    SetRegText(kMail, "OutboxDir", outbox);
    service_.RefreshOutboxDir();
    EXPECT_TRUE(service_.CheckOutboxWatch());
    for (int i = 0; i < 3; ++i) EXPECT_FALSE(service_.CheckOutboxWatch()) << "the outbox must not flap";
    EXPECT_FALSE(HasRecord(LogPath(), "недоступен"));
}

TEST_F(OutboxWatch, VanishedOutboxBecomesUnavailableAndClearedOutboxDirIsReported) {
    std::string outbox = dir_ / "Outbox";
    CreateDirectoryA(outbox.c_str(), nullptr);
    SetRegText(kMail, "OutboxDir", outbox);
    service_.RefreshOutboxDir();
    ASSERT_TRUE(service_.CheckOutboxWatch());
    // A watched directory cannot really go while its notification is open (removal stays
    // pending): the monitor is moved to a stand-in so that the outbox itself can go.
    service_.outboxMonitor.reset(new MTSys::FileChangeMonitor(dir_.Path(), false, 0x11D));
    ASSERT_TRUE(RemoveDirectoryA(outbox.c_str())) << GetLastError();
    EXPECT_TRUE(service_.CheckOutboxWatch());
    EXPECT_FALSE(service_.outboxMonitor);

    testing_support::DeleteRegValue(kMail, "OutboxDir");
    EXPECT_TRUE(service_.RefreshOutboxDir());
    EXPECT_EQ("", service_.outboxDirectory.str());
    EXPECT_FALSE(service_.CheckOutboxWatch());

    std::vector<std::string> expected = {"[5] Почтовый ящик задан: " + outbox, "[5] Почтовый ящик доступен: " + outbox,
                                         "[2] Почтовый ящик недоступен: " + outbox, "[2] Почтовый ящик не задан."};
    EXPECT_EQ(expected, Log());
}

TEST_F(OutboxWatch, OutboxThatCannotBeWatchedIsUnavailableAndAnnouncedOnce) {
    std::string file = dir_ / "not-a-directory";
    WriteFileBytes(file, "x");
    for (const std::string& setting : {file, dir_ / "out|box"}) {
        SCOPED_TRACE(setting);
        SetRegText(kMail, "OutboxDir", setting);
        EXPECT_TRUE(service_.RefreshOutboxDir());
        EXPECT_NO_THROW(EXPECT_TRUE(service_.CheckOutboxWatch())) << "unavailable: announced";
        for (int i = 0; i < 3; ++i) EXPECT_FALSE(service_.CheckOutboxWatch()) << "and only once";
        EXPECT_FALSE(service_.outboxMonitor);
        std::vector<std::string> log = Log();
        EXPECT_EQ(1, std::count(log.begin(), log.end(), "[2] Почтовый ящик недоступен: " + setting));
    }
}

TEST_F(OutboxWatch, OutboxReplacedUnderItsNameIsWatchedAfresh) {
    std::string outbox = dir_ / "Outbox";
    CreateDirectoryA(outbox.c_str(), nullptr);
    SetRegText(kMail, "OutboxDir", outbox);
    service_.RefreshOutboxDir();
    ASSERT_TRUE(service_.CheckOutboxWatch());
    EXPECT_FALSE(service_.CheckOutboxWatch());
    ASSERT_TRUE(MoveFileA(outbox.c_str(), (outbox + ".old").c_str())) << GetLastError();
    ASSERT_TRUE(CreateDirectoryA(outbox.c_str(), nullptr));
    EXPECT_TRUE(service_.CheckOutboxWatch()) << "the new directory is another outbox";
    ASSERT_TRUE(service_.outboxMonitor);
    WriteFileBytes(outbox + "\\1.eml", "x");
    EXPECT_TRUE(service_.outboxMonitor->Wait(5000)) << "and the monitor watches it";
    std::vector<std::string> log = Log();
    EXPECT_EQ(1, std::count(log.begin(), log.end(), "[2] Почтовый ящик недоступен: " + outbox));
    EXPECT_EQ(2, std::count(log.begin(), log.end(), "[5] Почтовый ящик доступен: " + outbox));

    // The same directory with a file of its name in the way.
    ASSERT_TRUE(MoveFileA(outbox.c_str(), (outbox + ".older").c_str()));
    WriteFileBytes(outbox, "x");
    EXPECT_TRUE(service_.CheckOutboxWatch());
    EXPECT_FALSE(service_.outboxMonitor) << "a file is no outbox";
}

TEST_F(OutboxWatch, OnlyVisibleFilesAreCandidates) {
    EXPECT_FALSE(service_.HasCandidate()) << "no outbox, no candidate";
    SetRegText(kMail, "OutboxDir", dir_ / "Outbox");
    service_.RefreshOutboxDir();
    CreateDirectoryA((dir_ / "Outbox").c_str(), nullptr);
    CreateDirectoryA((dir_ / "Outbox\\Wait").c_str(), nullptr);
    WriteFileBytes(dir_ / "Outbox\\1.eml.msglog", "");
    SetFileAttributesA((dir_ / "Outbox\\1.eml.msglog").c_str(), FILE_ATTRIBUTE_HIDDEN);
    EXPECT_FALSE(service_.HasCandidate()) << "directories and hidden files are never messages";
    WriteFileBytes(dir_ / "Outbox\\notes.txt", "");
    EXPECT_TRUE(service_.HasCandidate()) << "any visible file is a message, whatever its extension";
}

TEST_F(OutboxWatch, RemainsOfAnInterruptedRunAreSetAsideWhenTheOutboxComesUp) {
    struct Case {
        const char* what;
        const char* badMailDir;  // relative to the test's directory; "" for none
        bool kept, removed;
    } const cases[] = {
        {"copied to bad mail", "Bad", true, true},
        {"not kept without BadMailDir", "", false, true},
        {"left for the next start when the copy fails", "blocker\\Bad", false, false},
    };
    WriteFileBytes(dir_ / "blocker", "a file where a directory should be");
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::string outbox = dir_ / ("Outbox" + std::to_string(++n));
        std::string bad = *c.badMailDir ? dir_ / (c.badMailDir + std::to_string(n)) : "";
        CreateDirectoryA(outbox.c_str(), nullptr);
        CreateDirectoryA((outbox + "\\Wait").c_str(), nullptr);
        SetRegText(kMail, "OutboxDir", outbox);
        SetRegText(kMail, "BadMailDir", bad);
        const std::string partial = "From: kiosk\r\nTo: a@example.test\r\nSubj";
        // The remains of a submission, a submission still being written, a hidden file of
        // the operator's, a message with its attempt log, and state whose message is gone.
        WriteFileBytes(outbox + "\\77.eml", partial);
        WriteFileBytes(outbox + "\\78.eml", partial);
        WriteFileBytes(outbox + "\\desktop.ini", "[.ShellClassInfo]");
        WriteFileBytes(outbox + "\\9.eml", "To: a\r\n\r\nx");
        for (const char* hidden : {"77.eml", "78.eml", "desktop.ini"})
            SetFileAttributesA((outbox + "\\" + hidden).c_str(), FILE_ATTRIBUTE_HIDDEN);
        HANDLE writer = CreateFileA((outbox + "\\78.eml").c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        for (const char* state : {"9.eml.msglog", "5.eml.msglog", "6.eml.done", "7.eml.rcpt"})
            WriteFileBytes(outbox + "\\Wait\\" + state, "x");

        EXPECT_TRUE(service_.RefreshOutboxDir());
        service_.outboxMonitor.reset();  // as the wait does on a change
        EXPECT_TRUE(service_.CheckOutboxWatch());
        CloseHandle(writer);
        EXPECT_EQ(!c.removed, testing_support::PathExists(outbox + "\\77.eml"));
        if (c.kept) {
            EXPECT_EQ(partial, testing_support::ReadFileBytes(bad + "\\77.eml"));
            EXPECT_FALSE(GetFileAttributesA((bad + "\\77.eml").c_str()) & FILE_ATTRIBUTE_HIDDEN) << "an operator sees it";
        }
        EXPECT_TRUE(testing_support::PathExists(outbox + "\\78.eml")) << "a file still being written is not touched";
        EXPECT_TRUE(testing_support::PathExists(outbox + "\\desktop.ini")) << "not a message";
        EXPECT_EQ(std::vector<std::string>{"9.eml.msglog"}, testing_support::ListDir(outbox + "\\Wait"));
        EXPECT_TRUE(HasRecord(LogPath(), "[2] Найден незавершённый файл сообщения, запись которого была прервана: " +
                                             outbox + "\\77.eml"));
    }
}
