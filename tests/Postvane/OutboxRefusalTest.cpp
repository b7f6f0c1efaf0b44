// What a pass that cannot deliver leaves in the service log: a failure that concerns the
// server or a setting is one record that says what it is, outside text in it shown with its
// control characters escaped, and it counts against no message.
#include "OutboxPassFixture.h"

using namespace Postvane;

namespace smtptest {
namespace {

TEST_F(OutboxPassTest, ValuesThatCannotBeUsedStopWhatDependsOnThemWithOneRecord) {
    const std::string smtp = testing_support::kSmtpKey, mail = testing_support::kMailKey;
    const char tls[] = "0, 1 или 2";
    const char port[] = "число от 1 до 65535 или имя службы (smtp)";
    const char flag[] = "0 или 1";
    struct Row {
        const std::string& key;
        const char* name;
        const char* text;  // stored as this text, or null: as the number
        DWORD number;
        const char* shown;  // as the record shows it
        const char* allowed;
    } rows[] = {
        // Read as 0 before, these sent the password in clear although the server offers STARTTLS.
        {smtp, "Tls", "STARTTLS", 0, "\"STARTTLS\"", tls},
        {smtp, "Tls", "yes", 0, "\"yes\"", tls},
        {smtp, "Tls", " 1", 0, "\" 1\"", tls},
        {smtp, "Tls", nullptr, 3, "3", tls},
        // 70000 wrapped round to another port; "25abc" was read as 25.
        {smtp, "Port", "70000", 0, "\"70000\"", port},
        {smtp, "Port", nullptr, 70000, "70000", port},
        {smtp, "Port", nullptr, 0, "0", port},
        {smtp, "Port", "-5", 0, "\"-5\"", port},
        {smtp, "Port", "25abc", 0, "\"25abc\"", port},
        {smtp, "TlsSkipCheck", "yes", 0, "\"yes\"", flag},
        {mail, "UseRemoteAccess", "yes", 0, "\"yes\"", flag},
        {mail, "UseRemoteAccess", "\x07" "1", 0, "\"\\x071\"", flag},
    };
    RuleServer server;
    Serve(server);
    Put("1.eml", Message("a@x", "one"));
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.name) + " = " + row.shown);
        if (row.text) SetRegText(row.key, row.name, row.text);
        else SetRegNumber(row.key, row.name, row.number);
        std::string record = std::string("[2] Недопустимое значение ") + row.name + " (" + row.shown +
                             ") в ключе HKEY_LOCAL_MACHINE\\" + row.key + "; допустимо: " + row.allowed;
        size_t before = log.Count(record);
        EXPECT_FALSE(OutboxPass(service, nullptr)) << "the pass ends; the service pauses";
        EXPECT_EQ(before + 1, log.Count(record)) << log.Text();
        EXPECT_EQ(0, server.Connections()) << "nothing is opened, let alone authenticated";
        EXPECT_EQ("<none>", AttemptLog("1.eml")) << "counted against no message";
        DeleteRegValue(row.key, row.name);
    }
    EXPECT_EQ(0u, log.Count("необработанное исключение"));
    EXPECT_TRUE(PathExists(outbox + "\\1.eml"));

    // The same values as the text of an allowed number are used.
    SetRegText(smtp, "Tls", "0");
    SetRegText(smtp, "TlsSkipCheck", "0");
    SetRegText(mail, "UseRemoteAccess", "0");
    SetRegNumber(smtp, "Port", server.Port());
    EXPECT_TRUE(OutboxPass(service, nullptr));
    EXPECT_EQ(1u, server.Messages().size());

    // A retry pause cannot be left out: the documented 15 s stand in, told once while the
    // value stays.
    SetRegText(mail, "Retry Timeout", "1a2");
    EXPECT_EQ(15u, service.RetryTimeout());
    EXPECT_EQ(15u, service.RetryTimeout());
    EXPECT_EQ(1u, log.Count("[2] Недопустимое значение Retry Timeout (\"1a2\") в ключе HKEY_LOCAL_MACHINE\\" + mail +
                            "; допустимо: число секунд (0: 15 с); пауза пока 15 с"))
        << log.Text();
    SetRegText(mail, "Retry Timeout", "42");
    EXPECT_EQ(42u, service.RetryTimeout());
}

// A class value that cannot be used holds the message back, uncounted, instead of letting it
// retry at once for ever (an entry read as 0) or never give up (a limit read as 0).
TEST_F(OutboxPassTest, ClassValuesThatCannotBeUsedHoldTheMessageUncounted) {
    const char limit[] = "число попыток от 1 до 2147483647, 0 или пусто: без предела";
    const char waits[] = "паузы в секундах через пробел, числа не меньше 0";
    struct Row {
        const char* name;
        const char* text;  // stored as this text, or null: as the number
        DWORD number;
        const char* shown;
        const char* allowed;
    } rows[] = {
        {"MaxAttempt", "three", 0, "\"three\"", limit},
        {"MaxAttempt", nullptr, 0xFFFFFFFF, "4294967295", limit},
        {"Schedule", "60 x", 0, "\"60 x\"", waits},
        {"Schedule", "-5", 0, "\"-5\"", waits},
        {"Schedule", "60\x1b", 0, "\"60\\x1B\"", waits},
    };
    FixedClock clock(kStart);
    SetRegNumber(kMailKey, "Retry Timeout", 40);
    CreateDirectoryA((outbox + "\\Wait").c_str(), nullptr);
    const std::string attempt = Format(0, clock.Now().UTC(), true, false).str() + "\r\n";
    WriteFileBytes(outbox + "\\Wait\\1.eml.msglog", attempt);
    std::string path = Put("1.eml", Message("a@x", "one", "gold"));
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.name) + " = " + row.shown);
        if (row.text) SetRegText(kGold, row.name, row.text);
        else SetRegNumber(kGold, row.name, row.number);
        OutboxMessage m = ReadMessage(service, path.c_str());
        EXPECT_EQ(Deferred, m.Disposition);
        EXPECT_EQ(40u * service.secondMs, m.WaitMs) << "waits Retry Timeout";
        EXPECT_EQ(1u, m.AttemptCount) << "the attempt logged before, no new one";
        EXPECT_EQ(1u, log.Count(std::string("[2] Недопустимое значение ") + row.name + " (" + row.shown +
                                ") в ключе HKEY_LOCAL_MACHINE\\" + kGold + "; допустимо: " + row.allowed))
            << log.Text();
        DeleteRegValue(kGold, row.name);
    }
    EXPECT_EQ(attempt, AttemptLog("1.eml"));
}

TEST_F(OutboxPassTest, ServerWideFailureIsOneRecordOfWhatItIsWithOutsideTextEscaped) {
    unsigned short closedPort;
    {
        RuleServer gone;
        closedPort = gone.Port();
    }
    struct Row {
        const char* what;
        std::string reply;   // the server's answer to EHLO; empty: nobody listens
        std::string record;  // the one error record; {port} is the port
        std::string traced;  // the trace of the reply, when not empty
    } rows[] = {
        {"nobody listens", "", "[2] Не получилось соединиться с сервером 127.0.0.1:{port}: ошибка Winsock 10061", ""},
        {"control characters", std::string("554 no\x07\x1b[2J\x7f\t\0here", sizeof "554 no\x07\x1b[2J\x7f\t\0here" - 1),
         "[2] Неожиданный ответ сервера: 554 no\\x07\\x1B[2J\\x7F\\t\\x00here", "S>554 no\\x07\\x1B[2J\\x7F\\t\\x00here\r\n"},
        {"lines in one reply", "554-first\r\n554 second\x1b", "[2] Неожиданный ответ сервера: first\\r\\n554 second\\x1B",
         "S>554 second\\x1B\r\n"},
    };
    Put("1.eml", Message("a@x", "one"));
    service.debugFlags = kTraceReceived;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        std::unique_ptr<RuleServer> server;
        if (row.reply.empty()) {
            UsePort(closedPort);
        } else {
            server.reset(new RuleServer(FailAt(RuleServer::Ehlo, row.reply)));
            Serve(*server);
        }
        std::string record = row.record;
        size_t at = record.find("{port}");
        if (at != std::string::npos) record.replace(at, 6, std::to_string(closedPort));
        size_t before = log.Count(record);
        EXPECT_FALSE(OutboxPass(service, nullptr));
        EXPECT_EQ(before + 1, log.Count(record)) << log.Text();
        if (!row.traced.empty()) {
            EXPECT_EQ(1u, log.Count(row.traced)) << log.Text();
        }
        EXPECT_EQ("<none>", AttemptLog("1.eml"));
    }
    EXPECT_EQ(0u, log.Count("необработанное исключение")) << "that wording is for faults of the service's own";
    size_t raw = 0;
    for (char c : log.Text()) raw += (static_cast<unsigned char>(c) < 0x20 && c != '\r' && c != '\n') || c == 0x7F;
    EXPECT_EQ(0u, raw) << "raw control characters in the log";
}

}  // namespace
}  // namespace smtptest
