#include <gtest/gtest.h>
#include "OutboxPassFixture.h"
#include "Postvane.h"
#include "QueueStatus.h"
#include "Settled.h"
#include "TestSupport.h"
#include "qlframe.h"

using namespace testing_support;
using namespace Postvane;

namespace {

// The listing of settings as lines.
std::vector<std::string> Listing(const StatusSettings& settings) {
    std::vector<std::string> lines;
    WriteQueueStatus(settings, [&](const std::string& line) { lines.push_back(line); });
    return lines;
}

std::string Joined(const std::vector<std::string>& lines) {
    std::string all;
    for (const std::string& line : lines) all += line + "\n";
    return all;
}

TEST(QueueStatus, RecipientsFromTheRecordAndClassProblemsShownPerMessage) {
    struct Case {
        const char* what;
        const char* headers;   // the message's header lines
        const char* record;    // Wait\<name>.rcpt lines (TAB fields), "" for none
        bool failedOnce;       // an attempt log with one failure
        const char* expected;  // in the message's two lines
        const char* absent;    // not in them
    };
    const Case cases[] = {
        {"one recipient, no record", "To: a@example.test\r\n", "", false, "pending: a@example.test\n", "refused"},
        {"refused for good", "To: a@example.test, b@example.test\r\n",
         "refused\t2026-12-08 09:00:00\ta@example.test\t550 5.1.1 no such user\r\n", false,
         "pending: b@example.test; refused: a@example.test (550 5.1.1 no such user)", "delivered"},
        {"delivered to one, the other refused for now", "To: a@example.test, b@example.test\r\n",
         "delivered\t2026-12-08 09:00:00\ta@example.test\t250 ok\r\n"
         "deferred\t2026-12-08 09:00:00\tb@example.test\t451 4.2.0 later\r\n",
         false, "pending: b@example.test (451 4.2.0 later); delivered to 1", "refused"},
        {"nobody owed any more", "To: a@example.test\r\n",
         "refused\t2026-12-08 09:00:00\ta@example.test\t550 no\r\n", false, "pending: (none); refused: a@example.test",
         nullptr},
        {"the configured recipient", "Subject: none\r\n", "", false, "pending: fallback@example.test (configured Recipient)",
         nullptr},
        {"a class whose schedule cannot be used", "To: a@example.test\r\nX-Class: broken\r\n", "", true,
         "next: waits until its class setting is mended", "at the next pass"},
        {"a control character in an address", "To: a\x1b@example.test\r\n", "", false, "pending: a\\x1B@example.test",
         "\x1b"},
    };
    SetRegText(MailClassKey("broken"), "Schedule", "60 soon");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        std::string outbox = dir / "Outbox";
        CreateDirectoryA(outbox.c_str(), nullptr);
        CreateDirectoryA((outbox + "\\Wait").c_str(), nullptr);
        WriteFileBytes(outbox + "\\1.eml", std::string(c.headers) + "\r\nbody\r\n");
        if (*c.record) WriteFileBytes(outbox + "\\Wait\\1.eml.rcpt", c.record);
        if (c.failedOnce) WriteFileBytes(outbox + "\\Wait\\1.eml.msglog", "2026-12-08 09:00:00\r\n");
        StatusSettings settings;
        settings.outbox = outbox.c_str();
        settings.fallbackRecipient = "fallback@example.test";
        std::vector<std::string> lines = Listing(settings);
        ASSERT_GE(lines.size(), 3u) << Joined(lines);
        std::string message = lines[1] + "\n" + lines[2] + "\n";
        EXPECT_EQ(0u, lines[1].find("  1.eml: next: ")) << "the message's first line: " << lines[1];
        EXPECT_NE(std::string::npos, message.find(c.expected)) << "expected \"" << c.expected << "\" in\n" << message;
        if (c.absent) {
            EXPECT_EQ(std::string::npos, message.find(c.absent)) << "unexpected \"" << c.absent << "\" in\n" << message;
        }
    }
    DeleteRegValue(MailClassKey("broken"), "Schedule");
}

TEST(QueueStatus, BadMailNotesAreCountedApartFromTheMessages) {
    TempDir dir;
    std::string bad = dir / "Bad";
    CreateDirectoryA(bad.c_str(), nullptr);
    for (const char* name : {"1.eml", "1.eml.why", "2.eml", "2.eml.why", "3.eml"}) WriteFileBytes(bad + "\\" + name, "x");
    StatusSettings settings;
    settings.badMail = bad.c_str();
    std::string all = Joined(Listing(settings));
    EXPECT_NE(std::string::npos, all.find("Bad mail: " + bad + ": 3 (and 2 notes of why)\n")) << all;
    EXPECT_NE(std::string::npos, all.find("Archive: (not kept): 0\n")) << all;
}

using smtptest::OutboxPassTest;

// Sets a file's creation time to hours before now (its last write time too: under Wine the
// creation time reported follows it).
void CreatedHoursAgo(const std::string& path, int hours) {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    ULARGE_INTEGER t{{now.dwLowDateTime, now.dwHighDateTime}};
    t.QuadPart -= ULONGLONG(hours) * 3600 * 10000000ULL;
    FILETIME created{t.LowPart, t.HighPart};
    HANDLE h = CreateFileA(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_TRUE(SetFileTime(h, &created, nullptr, &created)) << GetLastError();
    CloseHandle(h);
}

TEST_F(OutboxPassTest, QueueFiguresCountWaitingBadMailAndTheLastFailedPass) {
    SetRegText(kMailKey, "OutboxDir", outbox);
    UsePort(smtppeer::ScriptedServer().Port());  // nobody listens there any more
    CreateDirectoryA(bad.c_str(), nullptr);
    for (const char* name : {"7.eml", "7.eml.why"}) WriteFileBytes(bad + "\\" + name, "x");
    CreatedHoursAgo(Put("1.eml", smtptest::Message("a@example.test", "one")), 1);
    Put("2.eml", smtptest::Message("a@example.test", "two"));
    // Delivered already, only its removal pending; older than the others.
    std::string done = Put("3.eml", smtptest::Message("a@example.test", "three"));
    CreatedHoursAgo(done, 2);
    ASSERT_TRUE(WriteDoneMark(DoneMarkPath(outbox.c_str(), done.c_str()), done.c_str(), true));
    SetFileAttributesA(Put("4.eml", "being written").c_str(), FILE_ATTRIBUTE_HIDDEN);

    SmtpQueueFigures figures = {};
    figures.Size = sizeof figures;
    ASSERT_TRUE(SmtpQueueStatus(&figures)) << GetLastError();
    EXPECT_EQ(2u, figures.Waiting);
    EXPECT_NEAR(3600.0, double(figures.OldestAgeSeconds), 60.0);
    EXPECT_EQ(1u, figures.BadMail);
    EXPECT_EQ(0u, figures.LastFailureTime.dwHighDateTime | figures.LastFailureTime.dwLowDateTime);
    EXPECT_STREQ("", figures.LastFailure);

    EXPECT_FALSE(OutboxPass(service, nullptr)) << "the server cannot be reached";
    RecoverOutbox(service);  // leaves the record alone
    ASSERT_TRUE(SmtpQueueStatus(&figures)) << GetLastError();
    EXPECT_EQ(2u, figures.Waiting) << "the record is no message";
    EXPECT_EQ(0u, std::string(figures.LastFailure).find("Не получилось соединиться с сервером 127.0.0.1:"))
        << figures.LastFailure;
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    double age = (double((ULONGLONG(now.dwHighDateTime) << 32 | now.dwLowDateTime) -
                         (ULONGLONG(figures.LastFailureTime.dwHighDateTime) << 32 | figures.LastFailureTime.dwLowDateTime))) /
                 1e7;
    EXPECT_LT(age, 60.0);
    std::vector<std::string> lines = Listing(ReadStatusSettings());
    EXPECT_EQ(0u, lines.back().find("Last failure: ")) << lines.back();
    EXPECT_NE(std::string::npos, lines.back().find(figures.LastFailure)) << lines.back();

    // A text from the server stays one line; the record is replaced whole.
    RecordLastFailure(outbox.c_str(), string("550 no\r\nRCPT"));
    ASSERT_TRUE(SmtpQueueStatus(&figures));
    EXPECT_STREQ("550 no\\r\\nRCPT", figures.LastFailure);

    figures.Size = sizeof figures - 1;
    EXPECT_FALSE(SmtpQueueStatus(&figures));
    EXPECT_EQ(DWORD(ERROR_INVALID_DATA), GetLastError());
    EXPECT_FALSE(SmtpQueueStatus(nullptr));
    EXPECT_EQ(DWORD(ERROR_INVALID_PARAMETER), GetLastError());
    DeleteRegValue(kMailKey, "OutboxDir");
}

}  // namespace
