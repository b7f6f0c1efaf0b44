#include <gtest/gtest.h>
#include "OutboxMessage.h"
#include "TestSupport.h"
#include "qlframe.h"

using namespace testing_support;
using namespace Postvane;

namespace {
const char* const kMail = kMailKey;
const char* const kSmtp = kSmtpKey;

RealTime Seconds(double s) { return RealTime(s * RealTime::Second); }

class OutboxMessageTest : public ::testing::Test {
protected:
    void SetUp() override {
        ServiceLog().SetLogPath((dir / "service.log").c_str());
        outbox = dir / "Outbox";
        CreateDirectoryA(outbox.c_str(), nullptr);
        service.outboxDirectory = outbox.c_str();
    }
    void TearDown() override {
        ServiceLog().SetLogPath(nullptr);
    }
    std::string Log() { return ReadFileBytes(dir / "service.log"); }
    std::string Put(const std::string& name, const std::string& bytes) {
        WriteFileBytes(outbox + "\\" + name, bytes);
        return outbox + "\\" + name;
    }
    // An attempt log with one line per failure, at the given UTC moments.
    void Attempts(const std::string& name, const std::vector<RealTime>& utc, const std::string& extra = "") {
        CreateDirectoryA((outbox + "\\Wait").c_str(), nullptr);
        std::string text;
        for (const RealTime& t : utc) text += Format(0, t, true, false).str() + "\r\n";
        WriteFileBytes(outbox + "\\Wait\\" + name + ".msglog", text + extra);
    }
    FixedZone zone;                                // UTC+3
    FixedClock clock{Moment(2026, 12, 8, 12)};  // local time seen by the service
    TempDir dir;
    std::string outbox;
    MailService service;
};
}  // namespace

TEST(Headers, FoldingRepeatsCaseAndBlockEnd) {
    std::string text =
        "to: first@x\r\n"
        "\t  second@y\r\n"
        "Subject: s\r\n"
        "TO: ignored@z\r\n"
        "X-Class:   gold\r\n"
        "\r\n"
        "X-Class: body\r\n";
    MessageHeaders h = ParseHeaders(text.data(), text.size());
    EXPECT_EQ("first@x\r\nsecond@y", h.to.str()) << "a continuation joins after CR LF, its indentation dropped";
    EXPECT_EQ("gold", h.mailClass.str()) << "the first occurrence counts; the body is not a header";

    std::string bare = "Subject: a\nTo: b\r\n\r\n";
    EXPECT_FALSE(ParseHeaders(bare.data(), bare.size()).hasTo) << "the block ends after a line with a bare LF";

    std::string spaced = "Subject: a\r\n \t \r\nTo: b\r\n";
    EXPECT_FALSE(ParseHeaders(spaced.data(), spaced.size()).hasTo) << "a line of blanks ends the block";

    std::string distant = "X-Pad: " + std::string(kHeaderWindow, 'p') + "\r\nTo: late\r\n\r\n";
    EXPECT_FALSE(ParseHeaders(distant.data(), distant.size()).hasTo) << "only the header window is examined";
}

TEST(Headers, EndOfHeaderBlock) {
    EXPECT_EQ(15u, HeaderEnd("Subject: s\r\nX\r\n\r\nbody"));
    EXPECT_EQ(0u, HeaderEnd("\r\nbody")) << "a file that starts with the blank line";
    EXPECT_EQ(0u, HeaderEnd("Subject: s\nX: y\r\n\r\n")) << "an earlier line without CR LF";
    EXPECT_EQ(0u, HeaderEnd("Subject: s\r\nno blank line"));
}

TEST_F(OutboxMessageTest, EmptyFileIsRejectedSilently) {
    OutboxMessage m = ReadMessage(service, Put("1.eml", "").c_str());
    EXPECT_EQ(Rejected, m.Disposition);
    EXPECT_EQ(std::string::npos, Log().find("Открыто")) << Printable(Log());
}

TEST_F(OutboxMessageTest, FileHeldByItsWriterIsSkipped) {
    std::string path = Put("1.eml", "To: a\r\n\r\nx");
    HANDLE writer = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, writer);
    EXPECT_EQ(Skipped, ReadMessage(service, path.c_str()).Disposition);
    CloseHandle(writer);
    EXPECT_EQ(Ready, ReadMessage(service, path.c_str()).Disposition);
}

TEST_F(OutboxMessageTest, ConfiguredRecipientIsInsertedBeforeTheBlankLine) {
    SetRegText(kSmtp, "Recipient", "office@example.org");
    OutboxMessage m = ReadMessage(service, Put("1.eml", "From: k\r\nSubject: s\r\n\r\nbody\r\n").c_str());
    ASSERT_EQ(Ready, m.Disposition);
    EXPECT_EQ("office@example.org", m.recipient.str());
    EXPECT_EQ("From: k\r\nSubject: s\r\nTo: office@example.org\r\n\r\nbody\r\n", m.content.str());

    OutboxMessage blankFirst = ReadMessage(service, Put("2.eml", "\r\nbody").c_str());
    ASSERT_EQ(Ready, blankFirst.Disposition);
    EXPECT_EQ("\r\nbody", blankFirst.content.str()) << "nothing is inserted when the file starts with the blank line";
}

TEST_F(OutboxMessageTest, NoRecipientAnywhereRejectsWithReason) {
    std::string path = Put("1.eml", "To: \r\nSubject: s\r\n\r\nbody");
    OutboxMessage m = ReadMessage(service, path.c_str());
    EXPECT_EQ(Rejected, m.Disposition);
    EXPECT_NE(std::string::npos,
              Log().find("[2] Сервис Postvane (отправка письма), ошибка при загрузке письма (файл \"" + path +
                         "\"): Не задан адрес получателя этого сообщения"))
        << Printable(Log());
}

TEST_F(OutboxMessageTest, AttemptLogLinesCountEvenWhenTheyDoNotParse) {
    RealTime utc = clock.Now().UTC() - Seconds(100);
    Attempts("1.eml", {utc}, "garbage\r\nfragment without end");
    OutboxMessage m = ReadMessage(service, Put("1.eml", "To: a\r\n\r\nx").c_str());
    EXPECT_EQ(Ready, m.Disposition) << "no class: Retry Timeout (15 s) has passed";
    EXPECT_EQ(3u, m.AttemptCount) << "two complete lines plus this attempt";
    EXPECT_EQ(utc, m.LastAttempt);
    EXPECT_NE(std::string::npos, Log().find("[5] Попытка отправки №3"));
    EXPECT_NE(std::string::npos, Log().find("прошло секунд: 100"));
}

TEST_F(OutboxMessageTest, DebugFlagIgnoresAttemptLogs) {
    Attempts("1.eml", {clock.Now().UTC()});
    service.debugFlags = kNoAttemptLogs;
    OutboxMessage m = ReadMessage(service, Put("1.eml", "To: a\r\n\r\nx").c_str());
    EXPECT_EQ(Ready, m.Disposition);
    EXPECT_EQ(1u, m.AttemptCount);
    EXPECT_TRUE(m.attemptLogPath.IsEmpty());
}

TEST_F(OutboxMessageTest, ClassScheduleDefersAndLimitRejects) {
    const std::string gold = MailClassKey("gold");
    SetRegNumber(gold, "MaxAttempt", 3);
    SetRegText(gold, "Schedule", "60 300");
    std::string path = Put("1.eml", "To: a\r\nX-Class: gold\r\n\r\nx");
    RealTime failed = clock.Now().UTC() - Seconds(20);

    Attempts("1.eml", {failed});
    OutboxMessage m = ReadMessage(service, path.c_str());
    EXPECT_EQ(Deferred, m.Disposition);
    EXPECT_EQ(40000u, m.WaitMs) << "first failure waits the first entry";
    EXPECT_NE(std::string::npos, Log().find("[6] Сообщение должно быть отправлено не ранее 12:00:40 08.12.2026"))
        << Printable(Log());

    Attempts("1.eml", {failed - Seconds(1000), failed});
    EXPECT_EQ(280000u, ReadMessage(service, path.c_str()).WaitMs) << "second failure waits the second entry";

    Attempts("1.eml", {failed - Seconds(2000), failed - Seconds(1000), failed});
    EXPECT_EQ(Rejected, ReadMessage(service, path.c_str()).Disposition);
    EXPECT_NE(std::string::npos, Log().find("[2] Слишком много неудачных попыток отправки (для класса gold предел 3 попыток)"));
}

TEST_F(OutboxMessageTest, LastScheduleEntryRepeatsAndNoClassUsesRetryTimeout) {
    const std::string silver = MailClassKey("silver");
    SetRegText(silver, "Schedule", "60 ");
    RealTime now = clock.Now().UTC();
    Attempts("1.eml", {now, now, now, now, now});
    EXPECT_EQ(60000u, ReadMessage(service, Put("1.eml", "To: a\r\nX-Class: silver\r\n\r\nx").c_str()).WaitMs);

    SetRegNumber(kMail, "Retry Timeout", 42);
    Attempts("2.eml", {now});
    EXPECT_EQ(42000u, ReadMessage(service, Put("2.eml", "To: a\r\nX-Class: silver2\r\n\r\nx").c_str()).WaitMs)
        << "a class without a key behaves like no class";
    Attempts("3.eml", {now});
    EXPECT_EQ(42000u, ReadMessage(service, Put("3.eml", "To: a\r\n\r\nx").c_str()).WaitMs);
}

TEST_F(OutboxMessageTest, AttemptLogIsHiddenAndDeletedWithTheMessage) {
    std::string path = Put("7.eml", "To: a\r\n\r\nx");
    OutboxMessage m = ReadMessage(service, path.c_str());
    m.LastAttempt = clock.Now().UTC();
    AppendAttempt(m);
    AppendAttempt(m);
    std::string logPath = outbox + "\\Wait\\7.eml.msglog";
    EXPECT_TRUE(GetFileAttributesA(logPath.c_str()) & FILE_ATTRIBUTE_HIDDEN);
    EXPECT_EQ(2u, ReadMessage(service, path.c_str()).AttemptCount) << "two failures, deferred: no attempt starts";
    EXPECT_TRUE(DeleteMessage(service, m));
    EXPECT_FALSE(PathExists(path));
    EXPECT_FALSE(PathExists(logPath));
    EXPECT_TRUE(DeleteMessage(service, m)) << "a message file that is gone is deleted";
}
