#include <gtest/gtest.h>
#include "LogReading.h"
#include "MailService.h"
#include "TestSupport.h"
#include "qlframe.h"

using testing_support::GetRegText;
using testing_support::SetRegNumber;
using testing_support::SetRegText;

namespace {
const char* const kMail = testing_support::kMailKey;

std::string ThisProgram() {
    char path[MAX_PATH];
    DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
    return std::string(path, n);
}
}  // namespace

TEST(DefaultConfig, WritesOnlyMissingValuesButAlwaysRewritesServiceModule) {
    for (const char* name : {"DebugLog", "LogDir", "OutboxDir", "ArchiveDir", "BadMailDir", "Retry Timeout"})
        testing_support::DeleteRegValue(kMail, name);
    SetRegText(testing_support::kProductKey, "Root Path", "C:\\Kiosk");
    OverrideSpecialFolderPath(0x1A, "C:\\AppData");
    SmtpCreateDefaultConfig();
    EXPECT_EQ("C:\\Kiosk\\Logs\\MSS\\DebugLog *.txt", GetRegText(kMail, "DebugLog"));
    EXPECT_EQ("C:\\Kiosk\\Logs\\MSS", GetRegText(kMail, "LogDir"));
    EXPECT_EQ("C:\\AppData\\Quillet\\Pennark\\Outbox", GetRegText(kMail, "OutboxDir"));
    EXPECT_EQ("C:\\AppData\\Quillet\\Pennark\\Outbox\\Sent", GetRegText(kMail, "ArchiveDir"));
    EXPECT_EQ("C:\\AppData\\Quillet\\Pennark\\Outbox\\BadMail", GetRegText(kMail, "BadMailDir"));
    EXPECT_EQ("60", GetRegText(kMail, "Retry Timeout"));
    EXPECT_EQ(ThisProgram(), GetRegText(kMail, "ServiceModule")) << "the module that holds the service";
    EXPECT_EQ("<absent>", GetRegText(kMail, "Disabled")) << "only the documented defaults are written";
    EXPECT_EQ("<absent>", GetRegText(kMail, "DebugFlags"));

    SetRegNumber(kMail, "Retry Timeout", 0);
    SetRegText(kMail, "OutboxDir", "D:\\Box");
    SetRegText(kMail, "LogDir", "");
    SetRegText(kMail, "ServiceModule", "C:\\old\\Postvane.dll");
    testing_support::DeleteRegValue(kMail, "ArchiveDir");
    SmtpCreateDefaultConfig();
    EXPECT_EQ("0", GetRegText(kMail, "Retry Timeout")) << "an existing value is kept, even 0";
    EXPECT_EQ("D:\\Box", GetRegText(kMail, "OutboxDir"));
    EXPECT_EQ("", GetRegText(kMail, "LogDir")) << "an existing empty value is kept";
    EXPECT_EQ("C:\\AppData\\Quillet\\Pennark\\Outbox\\Sent", GetRegText(kMail, "ArchiveDir"))
        << "built from the default outbox, not from the configured one";
    EXPECT_EQ(ThisProgram(), GetRegText(kMail, "ServiceModule"));
    OverrideSpecialFolderPath(0x1A, "");
}

TEST(RetryTimeout, ZeroOrMissingGivesFifteenSeconds) {
    Runlog log;
    Postvane::MailService service(&log);
    EXPECT_EQ(15u, service.RetryTimeout()) << "missing";
    SetRegNumber(kMail, "Retry Timeout", 0);
    EXPECT_EQ(15u, service.RetryTimeout()) << "zero";
    SetRegNumber(kMail, "Retry Timeout", 42);
    EXPECT_EQ(42u, service.RetryTimeout()) << "read at each use";
}

TEST(RetryPause, IsLoggedAndEndsAtOnceOnAStopRequest) {
    testing_support::TempDir dir;
    Runlog log;
    log.SetLogPath((dir / "service.txt").c_str());
    Postvane::MailService service(&log);
    SetRegNumber(kMail, "Retry Timeout", 3600);
    service.stopEvent.Set();
    EXPECT_FALSE(service.RetryPause()) << "a stop request ends the pause";
    EXPECT_TRUE(postvane_test::HasRecord(dir / "service.txt", "[5] Пауза перед повторной попыткой отправить почту 3600 с"));

    service.stopEvent.Reset();
    SetRegNumber(kMail, "Retry Timeout", 1);
    EXPECT_TRUE(service.RetryPause()) << "the pause runs out without a stop request";
}
