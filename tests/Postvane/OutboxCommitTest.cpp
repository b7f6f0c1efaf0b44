// The queue's commit protocol, pass by pass: the server's 250 to the final dot makes a
// message delivered whatever fails afterwards; a finished message whose file stays is never
// sent again; a stop request is never counted against a message.
#include <thread>
#include "OutboxPassFixture.h"
#include "Settled.h"

using namespace Postvane;
using testing_support::Printable;

namespace smtptest {
namespace {

class OutboxCommit : public OutboxPassTest {};

TEST_F(OutboxCommit, MessageTheServerTookIsNeverSentAgainWhateverFailsAfterTheDot) {
    enum AttemptLog { kNone, kReadOnly, kHeld };
    struct Case {
        const char* what;
        RuleServer::Action quit;
        const char* reply;
        AttemptLog attemptLog;
    } const cases[] = {
        {"QUIT dropped", RuleServer::Drop, "", kNone},
        {"QUIT answered 421", RuleServer::Error, "421 4.3.2 closing", kNone},
        {"QUIT answered 250", RuleServer::Error, "250 what", kNone},
        {"QUIT unanswered", RuleServer::Stall, "", kNone},
        {"attempt log read-only", RuleServer::Proceed, "", kReadOnly},
        {"attempt log held", RuleServer::Proceed, "", kHeld},
    };
    ReplyTimeouts().quit = 300;
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        RuleServer server(At(RuleServer::Quit, c.quit, c.reply));
        Serve(server);
        std::string name = std::to_string(++n) + ".eml";
        Put(name, Message("a@x", c.what));
        std::string attemptLog = c.attemptLog == kNone ? "" : OldAttempt(name);
        if (c.attemptLog == kReadOnly) SetFileAttributesA(attemptLog.c_str(), FILE_ATTRIBUTE_READONLY);
        HeldFile held(c.attemptLog == kHeld ? attemptLog : "");

        EXPECT_TRUE(OutboxPass(service, nullptr));
        EXPECT_TRUE(OutboxPass(service, nullptr)) << "a second pass finds nothing to send";
        EXPECT_EQ(1u, server.Messages().size()) << "delivered once";
        EXPECT_FALSE(PathExists(outbox + "\\" + name)) << "removed from the outbox";
        EXPECT_TRUE(PathExists(archive + "\\" + name)) << "and archived";
        EXPECT_EQ(c.attemptLog == kHeld, PathExists(attemptLog)) << "an attempt log that cannot go is left";
    }
    EXPECT_EQ(4u, log.Count("[0] Письмо принято сервером, ошибка при завершении сеанса SMTP не мешает доставке: "));
    EXPECT_EQ(1u, log.Count("[2] Не удаётся удалить журнал попыток отправки, он оставлен (системная ошибка 00000020): "));
}

TEST_F(OutboxCommit, FinishedMessageWhoseFileStaysIsNeverSentAgainAndGoesWhenItCan) {
    RuleServer server;
    Serve(server);
    // Read-only: the attribute is cleared and the file goes at once.
    std::string readOnly = Put("1.eml", Message("a@x", "read-only"));
    SetFileAttributesA(readOnly.c_str(), FILE_ATTRIBUTE_READONLY);
    // Held for a moment: the removal is tried again for a short time.
    std::string briefly = Put("2.eml", Message("a@x", "briefly held"));
    HeldFile brief(briefly);
    std::thread release([&] {
        for (DWORD start = GetTickCount(); server.Messages().size() < 2 && GetTickCount() - start < 30000;) Sleep(5);
        Sleep(200);
        brief.Release();
    });
    // Held for long: the mark stands for it.
    std::string held = Put("3.eml", Message("a@x", "held"));
    HeldFile holder(held);
    DWORD next = 0;
    EXPECT_NO_THROW(EXPECT_TRUE(OutboxPass(service, &next))) << "the pass goes on";
    release.join();
    EXPECT_FALSE(PathExists(readOnly));
    EXPECT_FALSE(PathExists(briefly));
    ASSERT_TRUE(PathExists(held));
    EXPECT_EQ(15000u, next) << "looked at again after Retry Timeout";
    EXPECT_FALSE(service.HasCandidate()) << "a file left alone does not wake the service at once";
    std::string mark = outbox + "\\Wait\\3.eml.done";
    ASSERT_TRUE(PathExists(mark));
    EXPECT_EQ(0u, ReadFileBytes(mark).find("delivered\t")) << ReadFileBytes(mark);
    EXPECT_EQ(1u, log.Count("[2] Файл отправленного письма не удаётся удалить (системная ошибка 00000020), письмо "
                            "отмечено как обработанное и будет удалено позже: " + held));

    // A later run, and a pass that comes early, send nothing.
    Postvane::MailService later;
    later.outboxDirectory = outbox.c_str();
    later.secondMs = 1;  // its next look after "Retry Timeout" comes after 15 ms
    EXPECT_TRUE(OutboxPass(later, &next));
    EXPECT_TRUE(OutboxPass(service, nullptr));
    EXPECT_EQ(3u, server.Messages().size()) << "each message went out once";
    EXPECT_EQ((std::vector<std::string>{"1.eml", "2.eml", "3.eml"}), ListDir(archive)) << "archived once";

    holder.Release();
    Sleep(50);
    EXPECT_TRUE(OutboxPass(later, nullptr));
    EXPECT_FALSE(PathExists(held)) << "removed when it can be";
    EXPECT_FALSE(PathExists(mark)) << "with its mark";
    EXPECT_EQ(3u, server.Messages().size());
    EXPECT_EQ(3u, ListDir(archive).size());
}

TEST_F(OutboxCommit, MarkWrittenForAnotherFileOfTheNameIsStale) {
    RuleServer server;
    Serve(server);
    std::string path = Put("4.eml", Message("a@x", "new message"));
    CreateDirectoryA((outbox + "\\Wait").c_str(), nullptr);
    WriteFileBytes(outbox + "\\Wait\\4.eml.done", "delivered\t2026-01-01 00:00:00\t12\t01DC7A3B00000000\r\n");
    EXPECT_TRUE(OutboxPass(service, nullptr));
    EXPECT_EQ(1u, server.Messages().size()) << "the new message is sent";
    EXPECT_FALSE(PathExists(outbox + "\\Wait\\4.eml.done"));
    EXPECT_FALSE(PathExists(path));
}

TEST_F(OutboxCommit, StopRequestAroundTheFinalReplyIsNotCounted) {
    struct Case {
        const char* what;
        RuleServer::Action atDot;
        bool delivered;
    } const cases[] = {
        {"the server answers after the stop request", RuleServer::Proceed, true},
        {"the server does not answer", RuleServer::Stall, false},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::atomic<int> dots{0};
        RuleServer server([&](RuleServer::Stage stage, const std::string&) {
            RuleServer::Decision d;
            if (stage == RuleServer::Dot && dots++ == 0) {
                service.stopEvent.Set();
                d.action = c.atDot;
            }
            return d;
        });
        Serve(server);
        std::string name = std::to_string(++n) + ".eml";
        std::string path = Put(name, Message("a@x", c.what));
        EXPECT_EQ(c.delivered, OutboxPass(service, nullptr)) << "a stop ends an attempt that has not succeeded";
        service.stopEvent.Reset();
        EXPECT_EQ("<none>", AttemptLog(name)) << "a stop is no failure of the message";
        EXPECT_EQ(c.delivered, !PathExists(path));
        EXPECT_TRUE(OutboxPass(service, nullptr));
        EXPECT_EQ(1u, server.Messages().size()) << "delivered once in all";
        EXPECT_TRUE(ListDir(bad).empty());
    }
    EXPECT_EQ(1u, log.Count("[0] Передача данных письма прервана остановом сервиса, попытка отправки не засчитывается"));
}

TEST_F(OutboxCommit, UndeliverableMessageStaysUntilItsBadMailCopyIsKept) {
    WriteFileBytes(dir / "blocker", "a file where a directory should be");
    SetRegText(kMailKey, "BadMailDir", dir / "blocker\\Bad");  // cannot be created
    service.secondMs = 1;  // looked at again after "Retry Timeout" (15 s): 15 ms
    std::string path = Put("1.eml", "");  // undeliverable without any network work
    DWORD next = 0;
    EXPECT_TRUE(OutboxPass(service, &next));
    EXPECT_TRUE(PathExists(path)) << "never deleted without its copy";
    EXPECT_EQ(15u, next) << "tried again after Retry Timeout";
    EXPECT_FALSE(service.HasCandidate()) << "not in a tight loop";
    EXPECT_TRUE(OutboxPass(service, nullptr));
    EXPECT_EQ(1u, log.Count("[2] Недоставленное письмо остаётся в почтовом ящике, пока его копию не удастся сохранить: " + path));

    SetRegText(kMailKey, "BadMailDir", bad);
    Sleep(50);
    EXPECT_TRUE(OutboxPass(service, nullptr));
    EXPECT_EQ((std::vector<std::string>{"1.eml", "1.eml.why"}), ListDir(bad));
    EXPECT_FALSE(PathExists(path));

    SetRegText(kMailKey, "BadMailDir", "");
    path = Put("2.eml", "");
    EXPECT_TRUE(OutboxPass(service, nullptr));
    EXPECT_FALSE(PathExists(path)) << "an empty BadMailDir: such messages are not kept";
}

TEST_F(OutboxCommit, FileThatCannotBeOpenedIsLeftAfterAFewLooksAndLoggedOnce) {
    RuleServer server;
    Serve(server);
    // A name the narrow character set cannot express lists as "??.eml", which no open finds;
    // a file its writer keeps open for long cannot be opened either.
    std::wstring wide(outbox.begin(), outbox.end());
    HANDLE h = CreateFileW((wide + L"\\\u90AE\u4EF6.eml").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    CloseHandle(h);
    std::string busy = Put("2.eml", Message("a@x", "busy"));
    HANDLE writer = CreateFileA(busy.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    Put("3.eml", Message("a@x", "good"));
    DWORD next = 0;
    {
        Deadline deadline(service, 20000);
        EXPECT_TRUE(OutboxPass(service, &next)) << "the pass ends normally";
    }
    EXPECT_FALSE(service.CheckStop(true)) << "the pass ended before its deadline";
    service.stopEvent.Reset();
    EXPECT_EQ((std::vector<std::string>{"good"}), Subjects(server));
    EXPECT_EQ(1000u, next) << "the busy file is looked at again in a second";
    EXPECT_FALSE(service.HasCandidate()) << "neither wakes the service before its time";
    Deadline deadline(service, 20000);
    EXPECT_TRUE(OutboxPass(service, nullptr));
    EXPECT_EQ(1u, log.Count("Файл в почтовом ящике не удаётся открыть (системная ошибка 0000007b), он оставлен: "))
        << "logged once";
    EXPECT_EQ(0u, log.Count("он оставлен: " + busy)) << "a file being written is no trouble";
    CloseHandle(writer);
    Sleep(1100);
    EXPECT_TRUE(OutboxPass(service, nullptr));
    EXPECT_EQ((std::vector<std::string>{"good", "busy"}), Subjects(server)) << "taken once its writer is done";
}

TEST_F(OutboxCommit, RecipientRefusedForNowCountsAndThePassGoesOn) {
    RuleServer server(FailAt(RuleServer::Rcpt, "450 4.2.1 mailbox busy", "busy@"));
    Serve(server);
    Put("1.eml", Message("busy@x", "refused"));
    Put("2.eml", Message("second@x", "second"));
    DWORD next = 0;
    EXPECT_TRUE(OutboxPass(service, &next));
    EXPECT_EQ((std::vector<std::string>{"second"}), Subjects(server)) << "one recipient does not block the rest";
    EXPECT_EQ(1u, Lines(AttemptLog("1.eml"))) << "counted";
    EXPECT_NEAR(15000.0, double(next), 1000.0) << "and the message waits its schedule";
}

TEST_F(OutboxCommit, MessageWithoutAClassFollowsTheMailKeysLimitAndSchedule) {
    FixedClock clock(kStart);
    SetRegNumber(kMailKey, "MaxAttempt", 2);
    SetRegText(kMailKey, "Schedule", "30");
    RuleServer server(At(RuleServer::Dot, RuleServer::Error, "452 4.3.1 insufficient system storage"));
    Serve(server);
    Put("1.eml", Message("a@x", "too big"));
    DWORD next = 0;
    EXPECT_TRUE(OutboxPass(service, &next));
    EXPECT_EQ(30000u, next) << "the Mail key's Schedule";
    clock.Advance(31);
    EXPECT_TRUE(OutboxPass(service, &next));
    EXPECT_EQ((std::vector<std::string>{"1.eml", "1.eml.why"}), ListDir(bad)) << "given up at the Mail key's MaxAttempt";
    EXPECT_EQ(2, server.Connections());
    EXPECT_EQ(1u, log.Count("[2] Слишком много неудачных попыток отправки (предел 2 попыток)"));
}

TEST_F(OutboxCommit, TimesAndNumbersFromOutsideAreKeptInRange) {
    const std::pair<const char*, unsigned> retryTimeouts[] = {
        {"-1", 15}, {"0", 15}, {"abc", 15}, {"45", 45}, {"5000000000", kLongestWaitSeconds}};
    for (const auto& t : retryTimeouts) {
        SetRegText(kMailKey, "Retry Timeout", t.first);
        EXPECT_EQ(t.second, service.RetryTimeout()) << "Retry Timeout " << t.first;
    }
    DeleteRegValue(kMailKey, "Retry Timeout");
    const std::pair<const char*, unsigned> entries[] = {
        {"1e30", kLongestWaitSeconds}, {"5000000000", kLongestWaitSeconds}, {"-5", 0}, {"x", 0}, {"2.9", 2}};
    for (const auto& e : entries) EXPECT_EQ(e.second, ScheduleDelay(e.first, 1, 15)) << "Schedule " << e.first;

    // An attempt logged a day ahead of the clock: due after the schedule's wait from now.
    FixedClock clock(kStart);
    SetRegText(kGold, "Schedule", "60");
    CreateDirectoryA((outbox + "\\Wait").c_str(), nullptr);
    WriteFileBytes(outbox + "\\Wait\\1.eml.msglog",
                   Format(0, clock.Now().UTC() + RealTime(86400 * RealTime::Second), true, false).str() + "\r\n");
    OutboxMessage m = ReadMessage(service, Put("1.eml", Message("a@x", "ahead", "gold")).c_str());
    EXPECT_EQ(Deferred, m.Disposition);
    EXPECT_EQ(60000u, m.WaitMs);
    SetRegText(kGold, "Schedule", "1e30");
    m = ReadMessage(service, (outbox + "\\1.eml").c_str());
    EXPECT_EQ(Deferred, m.Disposition) << "a huge entry waits long, not zero";
    EXPECT_EQ(kLongestWaitSeconds * 1000u, m.WaitMs);
}

TEST_F(OutboxCommit, TextsFromOutsideNeverMakeLogRecordsOfTheirOwn) {
    const std::string forged = "2026-12-08 12:00:00.000 [5] Успешно удалено письмо (файл \"x\")";
    RuleServer server(At(RuleServer::Rcpt, RuleServer::Error, "550-no such user\r\n550 " + forged));
    Serve(server);
    Put("1.eml", "To: a@x\r\nX-Class: gold\r\n " + forged + "\r\n\r\nbody\r\n");
    EXPECT_TRUE(OutboxPass(service, nullptr));
    std::string text = log.Text();
    size_t records = 0;
    for (size_t at = 0; (at = text.find("\r\n", at)) != std::string::npos; at += 2) {
        ++records;
        EXPECT_NE(0u, text.compare(at + 2, forged.size(), forged)) << "a forged record:\n" << text;
    }
    EXPECT_GT(records, 3u);
    EXPECT_EQ(1u, log.Count("Класс сообщения: gold\\r\\n" + forged + "\r\n")) << text;
    EXPECT_EQ(1u, log.Count("(RCPT): no such user\\r\\n550 " + forged + "\r\n")) << text;
}

TEST_F(OutboxCommit, FinishedMessageGoesToAFreeNameOfItsKeepingDirectory) {
    RuleServer server(FailAt(RuleServer::Rcpt, "550 5.1.1 no such user", "nobody@"));
    Serve(server);
    SetRegNumber(kMailKey, "MaxAttempt", 1);
    CreateDirectoryA(archive.c_str(), nullptr);
    WriteFileBytes(archive + "\\1.eml", "an earlier message of the name");
    SetRegText(kMailKey, "BadMailDir", dir / "Kept\\Bad");  // not there yet
    const std::string delivered = Message("a@x", "delivered"), refused = Message("nobody@x", "refused");
    Put("1.eml", delivered);
    Put("2.eml", refused);
    EXPECT_TRUE(OutboxPass(service, nullptr));
    EXPECT_EQ("an earlier message of the name", ReadFileBytes(archive + "\\1.eml"));
    EXPECT_EQ(delivered, ReadFileBytes(archive + "\\1(1).eml"));
    EXPECT_EQ(refused, ReadFileBytes(dir / "Kept\\Bad\\2.eml")) << "the directory is made";
    EXPECT_EQ(std::vector<std::string>{"Wait"}, ListDir(outbox)) << "nothing stays behind";
    EXPECT_TRUE(MessageStateFiles(outbox).empty());
}

TEST_F(OutboxCommit, ServerThatTakesCommandsInGroupsGetsThemInGroupsWithTheSameOutcomes) {
    const std::string envelope = "MAIL FROM: <" + std::string(kSender) + ">\r\nRCPT TO: <a@x>\r\nDATA\r\n";
    const std::string body = "From: kiosk\r\nTo: a@x\r\nSubject: grouped\r\n\r\nbody of grouped\r\n.\r\n";
    struct Case {
        const char* what;
        const char* envelopeReplies;  // to MAIL, RCPT and DATA, sent together
        const char* endReply;         // to the final dot; "" when no content comes
        bool reset;                   // the failed transaction ends with RSET before QUIT
        bool delivered;
        size_t counted;               // lines in the attempt log
    } const cases[] = {
        {"delivered", "250 ok\r\n250 ok\r\n354 go\r\n", "250 queued\r\n", false, true, 0},
        {"recipient refused for now", "250 ok\r\n450 mailbox busy\r\n554 no valid recipients\r\n", "", true, false, 1},
        {"sender refused for now", "451 later\r\n503 no sender\r\n503 no sender\r\n", "", true, false, 0},
        {"content refused for now", "250 ok\r\n250 ok\r\n354 go\r\n", "451 try later\r\n", false, false, 1},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        smtppeer::ScriptedServer server;
        server.Send("220 ready\r\n")
            .Reply("250-peer\r\n250-PIPELINING\r\n250 AUTH PLAIN\r\n")
            .Reply("235 ok\r\n")
            .Expect(3)  // nothing is answered before all three have come
            .Send(c.envelopeReplies);
        if (*c.endReply) server.ExpectLine(".").Send(c.endReply);
        if (c.reset) server.Reply("250 reset\r\n");
        server.Reply("221 bye\r\n");
        UsePort(server.Port());
        server.Start();
        std::string name = std::to_string(++n) + ".eml";
        std::string path = Put(name, Message("a@x", "grouped"));
        OutboxPass(service, nullptr);
        EXPECT_TRUE(server.WaitScript(5000)) << server.Error();
        EXPECT_EQ(c.delivered, !PathExists(path));
        EXPECT_EQ(c.counted, Lines(AttemptLog(name)));
        std::string sent = server.Received();
        size_t at = sent.find(envelope);
        ASSERT_NE(std::string::npos, at) << Printable(sent);
        std::string tail = std::string(*c.endReply ? body : "") + (c.reset ? "RSET\r\n" : "") + "QUIT\r\n";
        EXPECT_EQ(tail, sent.substr(at + envelope.size())) << "exactly one QUIT";
        RemoveFile((outbox + "\\Wait\\" + name + ".msglog").c_str());
        RemoveFile(path.c_str());
    }
}

}  // namespace
}  // namespace smtptest
