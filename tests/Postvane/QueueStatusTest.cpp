#include <gtest/gtest.h>
#include "QueueStatus.h"
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

}  // namespace
