// What the outbox keeps of a message between attempts, when it cannot be trusted or cannot be
// written: a failed attempt still counts and a recipient done for is never offered again, so
// that a class's limit and schedule hold and nothing is held back for ever.
#include "OutboxPassFixture.h"

using namespace Postvane;

namespace smtptest {
namespace {

// Each recipient has an outcome of its own: the one taken is delivered at once, the one
// refused for good is done, the one refused for now is offered again alone after the wait.
TEST_F(OutboxPassTest, EachRecipientIsOfferedUntilItIsDoneAndNeverAfter) {
    FixedClock clock(kStart);
    SetRegNumber(kMailKey, "Retry Timeout", 30);
    auto busy = std::make_shared<int>(0);
    RuleServer server([busy](RuleServer::Stage s, const std::string& line) {
        RuleServer::Decision d;
        if (s == RuleServer::Rcpt && line.find("gone@") != std::string::npos) {
            d.action = RuleServer::Error;
            d.reply = "550 5.1.1 no such user";
        } else if (s == RuleServer::Rcpt && line.find("busy@") != std::string::npos && ++*busy == 1) {
            d.action = RuleServer::Error;
            d.reply = "450 4.2.1 mailbox busy";
        }
        return d;
    });
    Serve(server);
    const std::string message = Message("a@x, gone@x, busy@x", "three");
    Put("1.eml", message);
    DWORD next = 0;
    EXPECT_TRUE(OutboxPass(service, &next));
    ASSERT_EQ(1u, server.Messages().size());
    EXPECT_EQ(std::vector<std::string>{" <a@x>"}, server.Messages()[0].recipients);
    EXPECT_EQ(1u, Lines(AttemptLog("1.eml"))) << "somebody is still owed it: a counted failure";
    EXPECT_EQ(30000u, next);
    std::vector<RecipientEntry> record = ReadRecipientRecord(outbox + "\\Wait\\1.eml.rcpt");
    ASSERT_EQ(3u, record.size());
    EXPECT_EQ(RecipientState::Delivered, record[0].state);
    EXPECT_EQ(RecipientState::Refused, record[1].state);
    EXPECT_EQ("550 5.1.1 no such user", record[1].reply.str());
    EXPECT_EQ(RecipientState::Pending, record[2].state);
    EXPECT_EQ(1u, log.Count("[2] Получатель отклонён сервером: gone@x; 550 5.1.1 no such user"));

    // A new service object (a restart) knows it from the record alone.
    clock.Advance(31);
    MailService restarted;
    restarted.outboxDirectory = outbox.c_str();
    EXPECT_TRUE(OutboxPass(restarted, &next));
    ASSERT_EQ(2u, server.Messages().size());
    EXPECT_EQ(std::vector<std::string>{" <busy@x>"}, server.Messages()[1].recipients);
    EXPECT_EQ(message, ReadFileBytes(archive + "\\1.eml")) << "archived as stored: one recipient got it";
    EXPECT_EQ(std::vector<std::string>{}, MessageStateFiles(outbox)) << "its record went with it";
}

// An attempt log the service cannot trust or cannot write: a time in the future counts from
// when the service first saw it; a log that cannot be written keeps its count in memory, so
// the class's schedule and limit hold, and it is written when it can be.
TEST_F(OutboxPassTest, AttemptsThatCannotBeTrustedOrWrittenStillCount) {
    FixedClock clock(kStart);
    SetRegNumber(kGold, "MaxAttempt", 3);
    SetRegText(kGold, "Schedule", "10");
    RuleServer server(FailAt(RuleServer::Dot, "451 4.3.0 try later"));
    Serve(server);
    CreateDirectoryA((outbox + "\\Wait").c_str(), nullptr);
    WriteFileBytes(outbox + "\\Wait\\1.eml.msglog", "2099-01-01 00:00:00\r\n");
    Put("1.eml", Message("a@x", "future", "gold"));
    DWORD next = 0;
    EXPECT_TRUE(OutboxPass(service, &next));
    EXPECT_EQ(10000u, next) << "waits its schedule from now";
    clock.Advance(5);
    EXPECT_TRUE(OutboxPass(service, &next));
    EXPECT_EQ(5000u, next) << "from when it was first seen, not from each look";
    EXPECT_EQ(0, server.Connections());
    EXPECT_EQ(1u, log.Count("позже текущего")) << "said once";

    // The attempt log becomes a directory: it cannot be written.
    DeleteFileA((outbox + "\\Wait\\1.eml.msglog").c_str());
    CreateDirectoryA((outbox + "\\Wait\\1.eml.msglog").c_str(), nullptr);
    clock.Advance(6);
    EXPECT_TRUE(OutboxPass(service, &next));
    EXPECT_EQ(1, server.Connections());
    EXPECT_EQ(10000u, next) << "the failure counted all the same";
    EXPECT_EQ(1u, log.Count("попытка учтена в памяти"));

    RemoveDirectoryA((outbox + "\\Wait\\1.eml.msglog").c_str());
    clock.Advance(11);
    EXPECT_TRUE(OutboxPass(service, &next));
    EXPECT_EQ(2, server.Connections());
    EXPECT_EQ(2u, Lines(AttemptLog("1.eml"))) << "the remembered attempt written, then the new one";
    clock.Advance(11);
    EXPECT_TRUE(OutboxPass(service, &next));
    EXPECT_EQ(3, server.Connections());
    EXPECT_EQ((std::vector<std::string>{"1.eml", "1.eml.why"}), ListDir(bad)) << "given up at the limit of 3";
}

// Every message has an end: one that has failed for longer than MaxAge is given up after its
// attempt, whatever its class; 0 never gives up.
TEST_F(OutboxPassTest, MessageThatFailsPastItsMaximumAgeIsGivenUp) {
    RuleServer server(FailAt(RuleServer::Dot, "451 4.3.0 try later"));
    Serve(server);
    struct Row {
        const char* maxAge;  // stored as text; null: absent (five days)
        double ageSeconds;   // how old the file is at the attempt
        bool givenUp;
    } rows[] = {
        {nullptr, 5 * 86400 - 120, false}, {nullptr, 5 * 86400 + 60, true}, {"60", 120, true}, {"0", 400 * 86400, false},
    };
    int n = 0;
    for (const Row& row : rows) {
        std::string name = std::to_string(++n) + ".eml";
        SCOPED_TRACE(name);
        if (row.maxAge) SetRegText(kMailKey, "MaxAge", row.maxAge);
        else DeleteRegValue(kMailKey, "MaxAge");
        Put(name, Message("a@x", "old"));
        // The file's times are the system's UTC; the clock seam takes local time.
        SYSTEMTIME utc;
        GetSystemTime(&utc);
        FixedClock clock((RealTime(utc) + RealTime(row.ageSeconds * RealTime::Second)).Local());
        EXPECT_TRUE(OutboxPass(service, nullptr));
        EXPECT_EQ(row.givenUp, PathExists(bad + "\\" + name));
        if (row.givenUp) {
            EXPECT_EQ(0u, ReadFileBytes(bad + "\\" + name + ".why").find("X-Pennark-Failure: Письмо не доставлено за "));
        }
        DeleteFileA((outbox + "\\" + name).c_str());
        testing_support::RemoveTree(outbox + "\\Wait");
    }
    EXPECT_EQ(2u, log.Count("с), оно отправлено в недоставленные; последняя ошибка: Неожиданный ответ сервера (DATA "
                            "finalize): 451 4.3.0 try later"));
}

}  // namespace
}  // namespace smtptest
