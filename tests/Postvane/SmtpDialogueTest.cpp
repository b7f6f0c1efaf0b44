// The SMTP dialogue against a scripted server: the exact bytes the client sends for each
// step, the replies it accepts, and the texts it raises.
#include "SmtpTestSupport.h"

using namespace Postvane;
using smtppeer::ScriptedServer;
using testing_support::Printable;

namespace smtptest {
namespace {

const char kGreeting[] = "220 peer ready\r\n";
const char kEhlo[] = "EHLO kiosk.example.test\r\n";

std::string B64(const std::string& bytes) { return Base64Encode(bytes.data(), bytes.size()).str(); }
std::string PlainToken() { return B64(std::string("\0", 1) + kLogin + std::string("\0", 1) + kPassword); }

class SmtpDialogue : public SmtpFixture {
protected:
    // Closes the connection and returns everything the client sent.
    std::string Sent(ScriptedServer& server) {
        SmtpDisconnect(service);
        EXPECT_TRUE(server.WaitClientClosed(5000));
        EXPECT_EQ("", server.Error());
        return server.Received();
    }
};

// ---- Greeting, EHLO and HELO -------------------------------------------------------------

TEST_F(SmtpDialogue, FallsBackToHeloAfter500) {
    ScriptedServer server;
    server.Send(kGreeting).Reply("500 what?\r\n").Reply("250 hello\r\n").Reply("502 no auth here\r\n");
    Connect(server);
    SmtpHello(service);
    EXPECT_EQ(std::string(kEhlo) + "HELO kiosk.example.test\r\nAUTH LOGIN\r\n", Sent(server))
        << "after HELO no mechanism is known, so LOGIN is tried and its refusal ends quietly";
}

TEST_F(SmtpDialogue, FailsOnOtherEhloRefusals) {
    for (const char* refusal : {"502 not implemented\r\n", "421-busy\r\n421 try later\r\n"}) {
        ScriptedServer server;
        server.Send(kGreeting).Reply(refusal);
        Connect(server);
        std::string expected = std::string("Неожиданный ответ сервера: ") +
                               (refusal[0] == '5' ? "502 not implemented\r\n" : "busy\r\n421 try later\r\n");
        EXPECT_EQ(expected, Raised([&] { SmtpHello(service); }));
        EXPECT_EQ(kEhlo, Sent(server)) << "no HELO after " << Printable(refusal);
    }
}

TEST_F(SmtpDialogue, FailsOnABadGreetingOrHelo) {
    {
        ScriptedServer server;
        server.Send("554 go away\r\n");
        Connect(server);
        EXPECT_EQ("Неожиданный код начального ответа сервера: 554", Raised([&] { SmtpHello(service); }));
        EXPECT_EQ("", Sent(server));
    }
    ScriptedServer server;
    server.Send(kGreeting).Reply("500 what?\r\n").Reply("501 bad name\r\n");
    Connect(server);
    EXPECT_EQ("Неожиданный ответ сервера: 501 bad name\r\n", Raised([&] { SmtpHello(service); }));
}

TEST_F(SmtpDialogue, AnnouncesAConfirmedNameOrTheAddressLiteral) {
    {
        ScriptedServer server;
        server.Send(kGreeting).Reply("250 hi\r\n").Reply("502 no\r\n");
        Connect(server);
        SmtpHello(service);
        EXPECT_EQ(std::string(kEhlo) + "AUTH LOGIN\r\n", Sent(server));
    }
    // A reverse name that would carry a second command is never announced.
    FakeNames::ReverseName() = "kiosk.example.test\r\nMAIL FROM:<x@y>";
    FakeNames::Queries().clear();
    ScriptedServer server;
    server.Send(kGreeting).Reply("250 hi\r\n").Reply("502 no\r\n");
    Connect(server);
    SmtpHello(service);
    EXPECT_EQ("EHLO [127.0.0.1]\r\nAUTH LOGIN\r\n", Sent(server));
    EXPECT_TRUE(FakeNames::Queries().empty()) << "an invalid name is not even looked up";
}

// ---- Authentication -------------------------------------------------------------------------

TEST_F(SmtpDialogue, TriesPlainThenLoginWhenBothAreOffered) {
    ScriptedServer server;
    server.Send(kGreeting)
        .Reply("250-peer.test\r\n250-auth login PLAIN\r\n250 SIZE 1000\r\n")
        .Reply("535 bad\r\n")            // AUTH PLAIN token
        .Reply("334 \r\n")              // AUTH PLAIN
        .Reply("535 still bad\r\n")      // token alone
        .Reply("334 VXNlcm5hbWU6\r\n")   // AUTH LOGIN: Username:
        .Reply("334 UGFzc3dvcmQ6\r\n")   // Password:
        .Reply("235 welcome\r\n");
    Connect(server);
    SmtpHello(service);
    std::string token = PlainToken();
    EXPECT_EQ(std::string(kEhlo) + "AUTH PLAIN " + token + "\r\nAUTH PLAIN\r\n" + token + "\r\nAUTH LOGIN\r\n" +
                  B64(kLogin) + "\r\n" + B64(kPassword) + "\r\n",
              Sent(server));
    EXPECT_EQ(1u, log.Count("Авторизация пройдена"));
}

TEST_F(SmtpDialogue, TriesOnlyPlainWhenOnlyPlainIsOffered) {
    ScriptedServer server;
    server.Send(kGreeting).Reply("250-peer.test\r\n250-AUTH PLAIN\r\n250 OK\r\n").Reply("501 no\r\n").Reply("504 no\r\n");
    Connect(server);
    SmtpHello(service);
    EXPECT_EQ(std::string(kEhlo) + "AUTH PLAIN " + PlainToken() + "\r\nAUTH PLAIN\r\n", Sent(server));
    EXPECT_EQ(0u, log.Count("Авторизация пройдена"));
}

TEST_F(SmtpDialogue, SendsThePlainTokenAloneAfterA334) {
    ScriptedServer server;
    server.Send(kGreeting).Reply("250-AUTH PLAIN\r\n250 OK\r\n").Reply("334 \r\n").Reply("235 ok\r\n");
    Connect(server);
    SmtpHello(service);
    std::string token = PlainToken();
    EXPECT_EQ(std::string(kEhlo) + "AUTH PLAIN " + token + "\r\n" + token + "\r\n", Sent(server));
    EXPECT_EQ(0u, log.Count("Авторизация пройдена")) << "this path logs no success";
}

TEST_F(SmtpDialogue, AnswersLoginChallenges) {
    ScriptedServer server;
    server.Send(kGreeting)
        .Reply("250-peer.test\r\n250-AUTH LOGIN\r\n250 OK\r\n")
        .Reply("334 " + B64("greeting") + "\r\n")  // unknown prompt: "*"
        .Reply("334 " + B64("username:") + "\r\n")
        .Reply("334 " + B64("PASSWORD:") + "\r\n")
        .Reply("334 !!not base64\r\n");
    Connect(server);
    SmtpHello(service);
    EXPECT_EQ(std::string(kEhlo) + "AUTH LOGIN\r\n*\r\n" + B64(kLogin) + "\r\n" + B64(kPassword) + "\r\n",
              Sent(server));
    EXPECT_EQ(1u, log.Count("Ошибка base64 в запросе сервера")) << log.Text();
    EXPECT_EQ(0u, log.Count("Авторизация пройдена"));
}

TEST_F(SmtpDialogue, AttemptsLoginWhenNothingIsOfferedAndGoesOn) {
    ScriptedServer server;
    server.Send(kGreeting).Reply("250 peer.test\r\n").Reply("503 no\r\n").Reply("250 sender ok\r\n");
    Connect(server);
    SmtpHello(service);
    SmtpMailFrom(service);
    EXPECT_EQ(std::string(kEhlo) + "AUTH LOGIN\r\nMAIL FROM: <kiosk@example.test>\r\n", Sent(server));
}

TEST_F(SmtpDialogue, RequiresALoginBeforeAnyAuth) {
    testing_support::SetRegText(kSmtpKey, "Login", "");
    ScriptedServer server;
    server.Send(kGreeting).Reply("250-peer.test\r\n250 AUTH PLAIN LOGIN\r\n");
    Connect(server);
    EXPECT_EQ("Не задано входное имя пользователя", Raised([&] { SmtpHello(service); }));
    EXPECT_EQ(kEhlo, Sent(server));
}

TEST_F(SmtpDialogue, UsesAnEmptyPasswordWhenNoneIsStored) {
    testing_support::DeleteRegValue(kSmtpKey, "Pass");
    ScriptedServer server;
    server.Send(kGreeting).Reply("250-peer.test\r\n250-AUTH PLAIN\r\n250 OK\r\n").Reply("235 ok\r\n");
    Connect(server);
    SmtpHello(service);
    EXPECT_EQ(std::string(kEhlo) + "AUTH PLAIN " + B64(std::string("\0", 1) + kLogin + std::string("\0", 1)) + "\r\n",
              Sent(server));
}

TEST_F(SmtpDialogue, NeverTracesCredentials) {
    service.debugFlags = kTraceSent | kTraceReceived;
    ScriptedServer server;
    server.Send(kGreeting)
        .Reply("250-peer.test\r\n250 AUTH PLAIN LOGIN\r\n")
        .Reply("535 no\r\n")
        .Reply("334 \r\n")
        .Reply("535 no\r\n")
        .Reply("334 VXNlcm5hbWU6\r\n")
        .Reply("334 UGFzc3dvcmQ6\r\n")
        .Reply("235 ok\r\n");
    Connect(server);
    SmtpHello(service);
    std::string text = log.Text();
    EXPECT_EQ(std::string::npos, text.find(PlainToken())) << text;
    EXPECT_EQ(std::string::npos, text.find(B64(kPassword))) << text;
    EXPECT_EQ(std::string::npos, text.find(kPassword)) << text;
    EXPECT_EQ(1u, log.Count("C>AUTH LOGIN\r\n")) << text;
    EXPECT_EQ(1u, log.Count("C>EHLO kiosk.example.test\r\n")) << text;
}

// ---- Envelope ---------------------------------------------------------------------------------

TEST_F(SmtpDialogue, SendsMailFromAndReportsItsRefusal) {
    ScriptedServer server;
    server.Reply("250 ok\r\n").Reply("550-no\r\n550 never\r\n");
    Connect(server);
    string used;
    SmtpMailFrom(service, &used);
    EXPECT_EQ(kSender, used.str());
    EXPECT_EQ("Неожиданный ответ сервера (MAIL): no\r\n550 never\r\n", Raised([&] { SmtpMailFrom(service); }));
    testing_support::SetRegText(kSmtpKey, "ReversePath", "");
    EXPECT_EQ("Не задан адрес отправителя (\"ReversePath\")", Raised([&] { SmtpMailFrom(service); }));
    EXPECT_EQ("MAIL FROM: <kiosk@example.test>\r\nMAIL FROM: <kiosk@example.test>\r\n", Sent(server));
}

TEST_F(SmtpDialogue, OffersEachRecipientPiece) {
    ScriptedServer server;
    server.Reply("250 ok\r\n").Reply("250 ok\r\n").Reply("250 ok\r\n").Reply("550 empty\r\n");
    Connect(server);
    SmtpRcptTo(service, string("a@x.test, b@x.test"));
    SmtpRcptTo(service, string(""));
    EXPECT_EQ("Неожиданный ответ сервера (RCPT): 550 empty\r\n", Raised([&] { SmtpRcptTo(service, string("c@x.test,,d@x.test")); }));
    EXPECT_EQ("RCPT TO: <a@x.test>\r\nRCPT TO: <b@x.test>\r\nRCPT TO: <c@x.test>\r\nRCPT TO: <>\r\n", Sent(server));
}

TEST_F(SmtpDialogue, StopsAtTheFirstRefusedRecipientAndTellsItsKind) {
    ScriptedServer server;
    server.Reply("250 ok\r\n").Reply("550 5.1.1 unknown\r\n").Reply("451 later\r\n");
    Connect(server);
    try {
        SmtpRcptTo(service, string("a@x.test,b@x.test,c@x.test"));
        ADD_FAILURE() << "the refusal was not raised";
    } catch (const SmtpRefusal& e) {
        EXPECT_EQ(550u, e.Code());
        EXPECT_TRUE(e.IsPermanent());
        EXPECT_EQ("Неожиданный ответ сервера (RCPT): 550 5.1.1 unknown\r\n", e.Reason().str());
    }
    try {
        SmtpRcptTo(service, string("d@x.test"));
        ADD_FAILURE() << "the refusal was not raised";
    } catch (const SmtpRefusal& e) {
        EXPECT_EQ(451u, e.Code());
        EXPECT_FALSE(e.IsPermanent()) << "a 4xx refusal is temporary";
    }
    EXPECT_EQ("RCPT TO: <a@x.test>\r\nRCPT TO: <b@x.test>\r\nRCPT TO: <d@x.test>\r\n", Sent(server))
        << "c must never be offered";
}

TEST_F(SmtpDialogue, UnfoldsRecipientsBeforeSending) {
    ScriptedServer server;
    server.Reply("250 ok\r\n").Reply("250 ok\r\n").Reply("250 ok\r\n");
    Connect(server);
    // A folded To: header gives line ends inside the recipients text.
    SmtpRcptTo(service, string("a@x.test,\r\n b@x.test, c@x.\r\n\ttest"));
    EXPECT_EQ("RCPT TO: <a@x.test>\r\nRCPT TO: <b@x.test>\r\nRCPT TO: <c@x.\ttest>\r\n", Sent(server));
}

// ---- Data -----------------------------------------------------------------------------------------

TEST_F(SmtpDialogue, StuffsDotsAndEndsTheLastLine) {
    ScriptedServer server;
    server.Reply("354 go\r\n").ExpectLine(".").Send("250 queued\r\n");
    Connect(server);
    bool beforeData = true;
    SmtpData(service, string("Subject: x\r\n\r\n.x\r\n.\r\n..\r\nlast"), &beforeData);
    EXPECT_FALSE(beforeData);
    EXPECT_EQ("DATA\r\nSubject: x\r\n\r\n..x\r\n..\r\n...\r\nlast\r\n.\r\n", Sent(server));
}

TEST_F(SmtpDialogue, AddsNoEmptyLineAfterAFinalLineEnd) {
    ScriptedServer server;
    server.Reply("354 go\r\n").ExpectLine(".").Send("250 queued\r\n");
    Connect(server);
    SmtpData(service, string("one\r\ntwo\r\n"));
    EXPECT_EQ("DATA\r\none\r\ntwo\r\n.\r\n", Sent(server));
}

TEST_F(SmtpDialogue, SendsNoBareLineEndAndNoSmuggledCommand) {
    ScriptedServer server;
    server.Reply("354 go\r\n").ExpectLine(".").Send("250 queued\r\n");
    Connect(server);
    // A lenient server would take LF . CR LF as the end of the data and run what follows.
    SmtpData(service, string("a\nb\rc\r\r\nd\n.\r\nMAIL FROM: <evil@x>\r\n\n.\nQUIT"));
    EXPECT_EQ("DATA\r\na\r\nb\r\nc\r\n\r\nd\r\n..\r\nMAIL FROM: <evil@x>\r\n\r\n..\r\nQUIT\r\n.\r\n", Sent(server));
}

TEST_F(SmtpDialogue, TellsWhetherTheContentHadBegun) {
    {
        ScriptedServer server;
        server.Reply("452 no room\r\n");
        Connect(server);
        bool beforeData = false;
        EXPECT_EQ("Неожиданный ответ сервера (DATA init): 452 no room\r\n",
                  Raised([&] { SmtpData(service, string("x\r\n"), &beforeData); }));
        EXPECT_TRUE(beforeData) << "a refused DATA is a failure before the content";
        SmtpDisconnect(service);
    }
    {
        ScriptedServer server;
        server.Reply("354 go\r\n").Close();
        Connect(server);
        bool beforeData = true;
        std::string content;
        for (int i = 0; i < 20000; ++i) content += "line of the message content\r\n";
        EXPECT_NE("<nothing raised>", Raised([&] { SmtpData(service, string(content), &beforeData); }));
        EXPECT_FALSE(beforeData) << "a failure while the content flows counts";
        SmtpDisconnect(service);
    }
    ScriptedServer server;
    server.Reply("354 go\r\n").ExpectLine(".").Send("554 rejected\r\n");
    Connect(server);
    bool beforeData = true;
    EXPECT_EQ("Неожиданный ответ сервера (DATA finalize): 554 rejected\r\n",
              Raised([&] { SmtpData(service, string("x"), &beforeData); }));
    EXPECT_FALSE(beforeData);
}

// ---- Quit and stop -----------------------------------------------------------------------------------

TEST_F(SmtpDialogue, QuitsStrictlyOrTolerantly) {
    ScriptedServer server;
    server.Reply("250 bye?\r\n").Reply("250 bye?\r\n").Reply("221 bye\r\n");
    Connect(server);
    EXPECT_EQ("Неожиданный ответ сервера (QUIT): 250 bye?\r\n", Raised([&] { SmtpQuit(service, false); }));
    SmtpQuit(service, true);
    SmtpQuit(service, false);
    EXPECT_EQ("QUIT\r\nQUIT\r\nQUIT\r\n", Sent(server));

    ScriptedServer gone;
    gone.Close();
    Connect(gone);
    EXPECT_EQ("Соединение разорвано", Raised([&] { SmtpQuit(service, true); }))
        << "the tolerant QUIT still reports a transport failure";
}

TEST_F(SmtpDialogue, EndsALongSilenceOnStop) {
    ReplyTimeouts().greeting = 60000;
    ScriptedServer server;  // never greets
    Connect(server);
    StopLater stop(service, 300);
    EXPECT_EQ(kStopText, Raised([&] { SmtpHello(service); }));
}

}  // namespace
}  // namespace smtptest
