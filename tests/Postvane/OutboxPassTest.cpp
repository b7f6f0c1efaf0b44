// Passes over the outbox against an SMTP server that accepts mail and fails where a test
// tells it to: order and selection of files, what counts as a failed attempt, class
// schedules across attempts, disposal and the dial-up line.
#include "OwnProcess.h"
#include "OutboxPassFixture.h"

using namespace Postvane;

namespace smtptest {
namespace {

TEST_F(OutboxPassTest, SendsInNameOrderAndLeavesHiddenFilesAndDirectories) {
    RuleServer server;
    Serve(server);
    Put("b.eml", Message("b@x", "b"));
    Put("A.eml", Message("a@x", "A"));
    Put("c.txt", Message("c@x", "c"));
    std::string hidden = Put("h.eml", Message("h@x", "h"));
    SetFileAttributesA(hidden.c_str(), FILE_ATTRIBUTE_HIDDEN);
    CreateDirectoryA((outbox + "\\d.eml").c_str(), nullptr);

    DWORD next = 0;
    EXPECT_TRUE(OutboxPass(service, &next));
    EXPECT_EQ(INFINITE, next);
    EXPECT_EQ((std::vector<std::string>{"A", "b", "c"}), Subjects(server)) << "lstrcmpiA order, any extension";
    EXPECT_EQ((std::vector<std::string>{"A.eml", "b.eml", "c.txt"}), ListDir(archive));
    EXPECT_EQ((std::vector<std::string>{"d.eml", "h.eml"}), ListDir(outbox)) << "delivered files are deleted";
    EXPECT_EQ(1u, log.Count("[5] Успешно удалено письмо (файл \"" + outbox + "\\A.eml\")"));
}

TEST_F(OutboxPassTest, FileStillBeingWrittenIsTakenOnTheNextLook) {
    RuleServer server;
    Serve(server);
    std::string path = Put("1.eml", Message("a@x", "late"));
    HANDLE writer = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, writer);
    std::thread closer([writer] {
        Sleep(300);
        CloseHandle(writer);
    });
    EXPECT_TRUE(OutboxPass(service, nullptr));
    closer.join();
    EXPECT_EQ((std::vector<std::string>{"late"}), Subjects(server)) << "the same pass call looked again";
    EXPECT_LT(service.relookMs, 1000u) << "after short pauses, not a whole second";
}

// A message the server refuses for good would fail the same way at every attempt: it goes
// to bad mail at once, with a note that says why, and the messages after it go out.
TEST_F(OutboxPassTest, RefusalForGoodSetsTheMessageAsideAtOnceAndThePassGoesOn) {
    struct Row {
        const char* what;
        RuleServer::Stage stage;
        const char* reply;
        const char* note;  // the .why file; empty: the message stays, uncounted
    } rows[] = {
        {"recipient", RuleServer::Rcpt, "550 5.1.1 no such user",
         "X-Pennark-Refused: nobody@x; 550 5.1.1 no such user\r\n"},
        {"size", RuleServer::Mail, "552 5.3.4 message size exceeds fixed limit",
         "X-Pennark-Refused: nobody@x; Неожиданный ответ сервера (MAIL): 552 5.3.4 message size exceeds fixed limit\r\n"},
        {"sender", RuleServer::Mail, "553 5.7.1 sender not allowed",
         "X-Pennark-Refused: nobody@x; Неожиданный ответ сервера (MAIL): 553 5.7.1 sender not allowed\r\n"},
        {"content", RuleServer::Dot, "554 5.7.1 spam",
         "X-Pennark-Refused: nobody@x; Неожиданный ответ сервера (DATA finalize): 554 5.7.1 spam\r\n"},
        // Asks for a sign-in the settings did not give: every message would meet it alike.
        {"sign-in", RuleServer::Mail, "530 5.7.0 authentication required", ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        auto seen = std::make_shared<int>(0);
        RuleServer server([&row, seen](RuleServer::Stage s, const std::string& line) {
            RuleServer::Decision d;
            // The second message's step, or the recipient nobody@.
            bool second = s == row.stage && (s == RuleServer::Rcpt ? line.find("nobody") != std::string::npos : ++*seen == 2);
            if (second) {
                d.action = RuleServer::Error;
                d.reply = row.reply;
            }
            return d;
        });
        Serve(server);
        Put("1.eml", Message("first@x", "first"));
        Put("2.eml", Message("nobody@x", "refused"));
        bool aside = *row.note;
        EXPECT_EQ(aside, OutboxPass(service, nullptr));
        if (!aside) {
            EXPECT_EQ("<none>", AttemptLog("2.eml")) << "counted against no message";
            continue;
        }
        EXPECT_EQ((std::vector<std::string>{"2.eml", "2.eml.why"}), ListDir(bad));
        EXPECT_EQ(row.note, ReadFileBytes(bad + "\\2.eml.why"));
        EXPECT_EQ("<none>", AttemptLog("2.eml")) << "nothing counted: it is finished";
        EXPECT_EQ((std::vector<std::string>{"Wait"}), ListDir(outbox)) << "its state went with it";
        EXPECT_EQ(1u, Subjects(server).size()) << "the message before it went out";
        EXPECT_TRUE(OutboxPass(service, nullptr));
        EXPECT_EQ(1, server.Connections()) << "never offered again";
        testing_support::RemoveTree(bad);
        testing_support::RemoveTree(archive);
    }
}

TEST_F(OutboxPassTest, TemporaryFailuresBeforeTheDataEndThePassUncounted) {
    // A recipient refused for now counts against its message; a 421, which closes the
    // session, concerns the server.
    const std::pair<RuleServer::Stage, const char*> failures[] = {
        {RuleServer::Mail, "451 4.3.0 try later"}, {RuleServer::Rcpt, "421 4.3.2 closing"}, {RuleServer::Data, "451 4.3.0 try later"}};
    for (const auto& failure : failures) {
        RuleServer::Stage stage = failure.first;
        RuleServer server(FailAt(stage, failure.second));
        Serve(server);
        Put("1.eml", Message("a@x", "one"));
        Put("2.eml", Message("b@x", "two"));
        EXPECT_FALSE(OutboxPass(service, nullptr)) << RuleServer::StageName(stage);
        EXPECT_EQ(1, server.Connections()) << "the pass ends at the first failure";
        EXPECT_EQ("<none>", AttemptLog("1.eml")) << "nothing is counted";
    }
    EXPECT_EQ(1u, log.Count("[0] Произошла ошибка до начала передачи данных письма, попытка отправки не засчитывается"))
        << "only the refusal of DATA happens inside the data step";
    EXPECT_EQ(3u, log.Count("[5] Ошибка во время отправки письма, закрываем сеанс SMTP"));
}

TEST_F(OutboxPassTest, FailureDuringTheContentIsCountedAndDeferred) {
    SetRegNumber(kMailKey, "Retry Timeout", 20);
    for (RuleServer::Stage stage : {RuleServer::Content, RuleServer::Dot}) {
        RuleServer server(FailAt(stage, stage == RuleServer::Dot ? "451 4.6.0 try later" : ""));
        Serve(server);
        std::string name = std::string(RuleServer::StageName(stage)) + ".eml";
        Put(name, Message("a@x", "x"));
        DWORD next = 0;
        EXPECT_TRUE(OutboxPass(service, &next)) << name << ": a deferred message completes the pass";
        EXPECT_EQ(1u, Lines(AttemptLog(name))) << name;
        EXPECT_NEAR(20000.0, double(next), 1500.0) << "no class: Retry Timeout";
        EXPECT_TRUE(server.Messages().empty());
    }
    EXPECT_EQ(2u, log.Count("[2] Произошла ошибка в ходе передачи данных письма, засчитывается как неудачная попытка"));
}

TEST_F(OutboxPassTest, ClassScheduleAndLimitAcrossAttempts) {
    FixedClock clock(kStart);
    SetRegNumber(kGold, "MaxAttempt", 3);
    SetRegText(kGold, "Schedule", "60 300");
    RuleServer server(FailAt(RuleServer::Dot, "451 4.6.0 try later"));
    Serve(server);
    Put("7.eml", Message("a@x", "gold", "gold"));

    DWORD next = 0;
    EXPECT_TRUE(OutboxPass(service, &next));
    EXPECT_EQ(60000u, next);
    EXPECT_EQ(1u, Lines(AttemptLog("7.eml")));

    clock.Advance(30);
    EXPECT_TRUE(OutboxPass(service, &next));
    EXPECT_EQ(30000u, next) << "not yet due: no network work";
    EXPECT_EQ(1, server.Connections());

    clock.Advance(31);
    EXPECT_TRUE(OutboxPass(service, &next));
    EXPECT_EQ(300000u, next) << "the second failure waits the second entry";
    EXPECT_EQ(2u, Lines(AttemptLog("7.eml")));

    clock.Advance(301);
    EXPECT_TRUE(OutboxPass(service, &next));
    EXPECT_EQ(INFINITE, next);
    EXPECT_EQ((std::vector<std::string>{"7.eml", "7.eml.why"}), ListDir(bad)) << "the third failure rejects";
    EXPECT_EQ("X-Pennark-Failure: Слишком много неудачных попыток отправки (для класса gold предел 3 попыток); "
              "последняя ошибка: Неожиданный ответ сервера (DATA finalize): 451 4.6.0 try later\r\n",
              ReadFileBytes(bad + "\\7.eml.why"));
    EXPECT_FALSE(PathExists(outbox + "\\7.eml"));
    EXPECT_FALSE(PathExists(outbox + "\\Wait\\7.eml.msglog")) << "deleted with its message";
    EXPECT_EQ(3, server.Connections());
}

TEST_F(OutboxPassTest, DebugFlagsFailAfterDataAndIgnoreAttemptLogs) {
    SetRegNumber(kGold, "MaxAttempt", 2);
    RuleServer server;
    Serve(server);
    service.debugFlags = kFailAfterData | kNoAttemptLogs;
    Put("1.eml", Message("a@x", "gold", "gold"));
    for (int pass = 0; pass < 3; ++pass) EXPECT_TRUE(OutboxPass(service, nullptr));
    EXPECT_EQ(3u, server.Messages().size()) << "the data went through each time";
    EXPECT_TRUE(PathExists(outbox + "\\1.eml")) << "with no attempt log every attempt is the first: never rejected";
    EXPECT_FALSE(PathExists(outbox + "\\Wait")) << "no attempt log is written";

    SetRegNumber(kGold, "MaxAttempt", 1);
    EXPECT_TRUE(OutboxPass(service, nullptr));
    EXPECT_EQ((std::vector<std::string>{"1.eml", "1.eml.why"}), ListDir(bad)) << "a limit of 1 rejects at the first counted failure";
}

TEST_F(OutboxPassTest, ZeroWaitAbortsThePass) {
    SetRegText(kGold, "Schedule", "0");
    RuleServer server(FailAt(RuleServer::Dot, "451 4.6.0 try later"));
    Serve(server);
    Put("1.eml", Message("a@x", "gold", "gold"));
    Put("2.eml", Message("a@x", "next"));
    EXPECT_FALSE(OutboxPass(service, nullptr)) << "tried again after the service's pause";
    EXPECT_EQ(1u, Lines(AttemptLog("1.eml")));
    EXPECT_EQ(1, server.Connections());
}

TEST_F(OutboxPassTest, EarliestDeferredMessageSetsTheNextWake) {
    FixedClock clock(kStart);
    SetRegNumber(kMailKey, "Retry Timeout", 100);
    RealTime utc = clock.Now().UTC();
    CreateDirectoryA((outbox + "\\Wait").c_str(), nullptr);
    WriteFileBytes(outbox + "\\Wait\\1.eml.msglog", Format(0, utc - RealTime(70 * RealTime::Second), true, false).str() + "\r\n");
    WriteFileBytes(outbox + "\\Wait\\2.eml.msglog", Format(0, utc - RealTime(10 * RealTime::Second), true, false).str() + "\r\n");
    Put("1.eml", Message("a@x", "one"));
    Put("2.eml", Message("a@x", "two"));
    DWORD next = 0;
    EXPECT_TRUE(OutboxPass(service, &next));
    EXPECT_EQ(30000u, next) << "two messages due in 30 s and 90 s";
}

TEST_F(OutboxPassTest, NoServerConfiguredEndsThePass) {
    testing_support::DeleteRegValue(kSmtpKey, "Server");
    Put("1.eml", Message("a@x", "one"));
    EXPECT_FALSE(OutboxPass(service, nullptr));
    EXPECT_TRUE(PathExists(outbox + "\\1.eml"));
    EXPECT_EQ("<none>", AttemptLog("1.eml"));
}

TEST_F(OutboxPassTest, FinishedMessageThatCannotBeDeletedLeavesThePassGoingOn) {
    RuleServer server;
    Serve(server);
    std::string path = Put("1.eml", Message("a@x", "one"));
    Put("2.eml", Message("a@x", "two"));
    // A reader that does not allow deletion: the message can be read and sent, not removed.
    HANDLE reader = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, reader);
    EXPECT_NO_THROW(EXPECT_TRUE(OutboxPass(service, nullptr))) << "a file that stays is no error of the pass";
    CloseHandle(reader);
    EXPECT_EQ((std::vector<std::string>{"one", "two"}), Subjects(server)) << "the pass went on with the next message";
}

TEST_F(OutboxPassTest, UndeliverableMessageStaysWhenAStopCutsItsCopyShort) {
    std::string path = Put("1.eml", "");  // rejected without any network work
    // Held by a reader, so that it cannot be moved in one step: it is copied.
    HeldFile reader(path);
    service.stopEvent.Set();
    EXPECT_FALSE(OutboxPass(service, nullptr)) << "the stop ends the pass";
    reader.Release();
    EXPECT_TRUE(PathExists(outbox + "\\1.eml")) << "an undeliverable message that was not kept must not go";
    EXPECT_FALSE(PathExists(bad + "\\1.eml"));
    EXPECT_EQ(1u, log.Count("Системная ошибка 000004d3."));

    service.stopEvent.Reset();
    EXPECT_TRUE(OutboxPass(service, nullptr));
    EXPECT_EQ((std::vector<std::string>{"1.eml", "1.eml.why"}), ListDir(bad)) << "the next run keeps it";
    EXPECT_EQ("X-Pennark-Failure: Файл письма пуст\r\n", ReadFileBytes(bad + "\\1.eml.why"));
    EXPECT_FALSE(PathExists(outbox + "\\1.eml"));
}

TEST_F(OutboxPassTest, DialupLineIsHeldForThePassAndReleasedAfter) {
    // Bound to the test module only in a process whose first dial-up client is this test's.
    if (!testing_support::InOwnProcess()) return testing_support::RunInOwnProcess();
    SetRegNumber(kMailKey, "UseRemoteAccess", 1);
    RuleServer server;
    Serve(server);
    Put("1.eml", Message("a@x", "one"));
    Put("2.eml", Message("a@x", "two"));
    EXPECT_TRUE(OutboxPass(service, nullptr));
    EXPECT_EQ(2u, server.Messages().size());
    char trace[4096];
    DWORD n = GetEnvironmentVariableA("PENNARK_DIALUP_TRACE", trace, sizeof trace);
    std::string calls(trace, n < sizeof trace ? n : 0);
    EXPECT_EQ(1u, Occurrences(calls, "connect ") - Occurrences(calls, "disconnect ")) << "one line for the whole pass: " << calls;
    EXPECT_EQ(1u, Occurrences(calls, "disconnect ")) << calls;
    EXPECT_EQ(0u, service.dialup.Users()) << "released when the pass returns";
}

}  // namespace
}  // namespace smtptest
