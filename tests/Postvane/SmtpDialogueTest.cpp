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
        SmtpDisconnect(service.session);
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
    SmtpHello(service.session);
    EXPECT_EQ(std::string(kEhlo) + "HELO kiosk.example.test\r\nAUTH LOGIN\r\n", Sent(server))
        << "after HELO no mechanism is known, so LOGIN is tried and its refusal ends quietly";
}

TEST_F(SmtpDialogue, FailsOnOtherEhloRefusals) {
    ScriptedServer server;
    server.Send(kGreeting).Reply("421-busy\r\n421 try later\r\n");
    Connect(server);
    EXPECT_EQ("Неожиданный ответ сервера: busy\r\n421 try later\r\n", Raised([&] { SmtpHello(service.session); }));
    EXPECT_EQ(kEhlo, Sent(server)) << "no HELO after 421";
}

TEST_F(SmtpDialogue, FailsOnABadGreetingOrHelo) {
    {
        ScriptedServer server;
        server.Send("554 go away\r\n");
        Connect(server);
        EXPECT_EQ("Неожиданный код начального ответа сервера: 554", Raised([&] { SmtpHello(service.session); }));
        EXPECT_EQ("", Sent(server));
    }
    ScriptedServer server;
    server.Send(kGreeting).Reply("500 what?\r\n").Reply("501 bad name\r\n");
    Connect(server);
    EXPECT_EQ("Неожиданный ответ сервера: 501 bad name\r\n", Raised([&] { SmtpHello(service.session); }));
}

TEST_F(SmtpDialogue, AnnouncesAConfirmedNameOrTheAddressLiteral) {
    {
        ScriptedServer server;
        server.Send(kGreeting).Reply("250 hi\r\n").Reply("502 no\r\n");
        Connect(server);
        SmtpHello(service.session);
        EXPECT_EQ(std::string(kEhlo) + "AUTH LOGIN\r\n", Sent(server));
    }
    // A reverse name that would carry a second command is never announced.
    FakeNames::ReverseName() = "kiosk.example.test\r\nMAIL FROM:<x@y>";
    FakeNames::Queries().clear();
    ScriptedServer server;
    server.Send(kGreeting).Reply("250 hi\r\n").Reply("502 no\r\n");
    Connect(server);
    SmtpHello(service.session);
    EXPECT_EQ("EHLO [127.0.0.1]\r\nAUTH LOGIN\r\n", Sent(server));
    EXPECT_TRUE(FakeNames::Queries().empty()) << "an invalid name is not even looked up";
}

// ---- Authentication -------------------------------------------------------------------------

TEST_F(SmtpDialogue, TriesPlainThenLoginWhenBothAreOffered) {
    ScriptedServer server;
    server.Send(kGreeting)
        .Reply("250-peer.test\r\n250-auth login PLAIN\r\n250 SIZE 1000\r\n")
        .Reply("501 bad\r\n")            // AUTH PLAIN token
        .Reply("334 \r\n")              // AUTH PLAIN
        .Reply("504 not now\r\n")        // token alone
        .Reply("334 VXNlcm5hbWU6\r\n")   // AUTH LOGIN: Username:
        .Reply("334 UGFzc3dvcmQ6\r\n")   // Password:
        .Reply("235 welcome\r\n");
    Connect(server);
    SmtpHello(service.session);
    std::string token = PlainToken();
    EXPECT_EQ(std::string(kEhlo) + "AUTH PLAIN " + token + "\r\nAUTH PLAIN\r\n" + token + "\r\nAUTH LOGIN\r\n" +
                  B64(kLogin) + "\r\n" + B64(kPassword) + "\r\n",
              Sent(server));
    EXPECT_EQ(1u, log.Count("Авторизация пройдена"));
    EXPECT_EQ(0u, log.Count("Авторизация не пройдена"));
}

TEST_F(SmtpDialogue, TriesOnlyPlainWhenOnlyPlainIsOffered) {
    ScriptedServer server;
    server.Send(kGreeting).Reply("250-peer.test\r\n250-AUTH PLAIN\r\n250 OK\r\n").Reply("501 no\r\n").Reply("504 no\r\n");
    Connect(server);
    SmtpHello(service.session);
    EXPECT_EQ(std::string(kEhlo) + "AUTH PLAIN " + PlainToken() + "\r\nAUTH PLAIN\r\n", Sent(server));
    EXPECT_EQ(0u, log.Count("Авторизация пройдена"));
}

TEST_F(SmtpDialogue, SendsThePlainTokenAloneAfterA334) {
    ScriptedServer server;
    server.Send(kGreeting).Reply("250-AUTH PLAIN\r\n250 OK\r\n").Reply("334 \r\n").Reply("235 ok\r\n");
    Connect(server);
    SmtpHello(service.session);
    std::string token = PlainToken();
    EXPECT_EQ(std::string(kEhlo) + "AUTH PLAIN " + token + "\r\n" + token + "\r\n", Sent(server));
    EXPECT_EQ(0u, log.Count("Авторизация пройдена")) << "this path logs no success";
}

TEST_F(SmtpDialogue, AnswersLoginChallengesByTheirOrder) {
    ScriptedServer server;
    server.Send(kGreeting)
        .Reply("250-peer.test\r\n250-AUTH LOGIN\r\n250 OK\r\n")
        .Reply("334 " + B64("greeting") + "\r\n")  // any first prompt asks for the user name
        .Reply("334 " + B64("username:") + "\r\n")  // any second one for the password
        .Reply("334 " + B64("PASSWORD:") + "\r\n")  // a third is cancelled
        .Reply("501 cancelled\r\n");
    Connect(server);
    SmtpHello(service.session);
    EXPECT_EQ(std::string(kEhlo) + "AUTH LOGIN\r\n" + B64(kLogin) + "\r\n" + B64(kPassword) + "\r\n*\r\n",
              Sent(server));
    EXPECT_EQ(0u, log.Count("Авторизация пройдена"));
    EXPECT_EQ(1u, log.Count("Авторизация не пройдена (имя \"kiosk-7\"), ответ сервера: 501 cancelled")) << log.Text();
}

TEST_F(SmtpDialogue, AttemptsLoginWhenNothingIsOfferedAndGoesOn) {
    ScriptedServer server;
    server.Send(kGreeting).Reply("250 peer.test\r\n").Reply("503 no\r\n").Reply("250 sender ok\r\n");
    Connect(server);
    SmtpHello(service.session);
    SmtpMailFrom(service.session);
    EXPECT_EQ(std::string(kEhlo) + "AUTH LOGIN\r\nMAIL FROM: <kiosk@example.test>\r\n", Sent(server));
}

TEST_F(SmtpDialogue, RequiresALoginBeforeAnyAuth) {
    testing_support::SetRegText(kSmtpKey, "Login", "");
    ScriptedServer server;
    server.Send(kGreeting).Reply("250-peer.test\r\n250 AUTH PLAIN LOGIN\r\n");
    Connect(server);
    EXPECT_EQ("Не задано входное имя пользователя", Raised([&] { SmtpHello(service.session); }));
    EXPECT_EQ(kEhlo, Sent(server));
}

TEST_F(SmtpDialogue, UsesAnEmptyPasswordWhenNoneIsStored) {
    testing_support::DeleteRegValue(kSmtpKey, "Pass");
    ScriptedServer server;
    server.Send(kGreeting).Reply("250-peer.test\r\n250-AUTH PLAIN\r\n250 OK\r\n").Reply("235 ok\r\n");
    Connect(server);
    SmtpHello(service.session);
    EXPECT_EQ(std::string(kEhlo) + "AUTH PLAIN " + B64(std::string("\0", 1) + kLogin + std::string("\0", 1)) + "\r\n",
              Sent(server));
}

TEST_F(SmtpDialogue, NeverTracesCredentials) {
    service.debugFlags = kTraceSent | kTraceReceived;
    ScriptedServer server;
    server.Send(kGreeting)
        .Reply("250-peer.test\r\n250 AUTH PLAIN LOGIN\r\n")
        .Reply("334 \r\n")
        .Reply("504 no\r\n")
        .Reply("334 VXNlcm5hbWU6\r\n")
        .Reply("334 UGFzc3dvcmQ6\r\n")
        .Reply("235 ok\r\n");
    Connect(server);
    SmtpHello(service.session);
    std::string text = log.Text();
    EXPECT_EQ(std::string::npos, text.find(PlainToken())) << text;
    EXPECT_EQ(std::string::npos, text.find(B64(kPassword))) << text;
    EXPECT_EQ(std::string::npos, text.find(kPassword)) << text;
    EXPECT_EQ(1u, log.Count("C>AUTH LOGIN\r\n")) << text;
    EXPECT_EQ(1u, log.Count("C>EHLO kiosk.example.test\r\n")) << text;
}

// The protocol's own rules where servers differ from the oldest ones: each row a server's
// replies, what the client must send to it and what it must log.
TEST_F(SmtpDialogue, HelloFollowsTheProtocolsRules) {
    struct Case {
        const char* rule;
        std::vector<std::string> replies;  // the greeting first
        std::string sent;                  // after the EHLO line
        int succeeded;                     // "Авторизация пройдена" lines
        std::string refused;               // the one failure line, or ""
        int base64Errors;
    };
    const std::string token = PlainToken();
    const std::string login = B64(kLogin) + "\r\n", password = B64(kPassword) + "\r\n";
    const std::string failure = "Авторизация не пройдена (имя \"kiosk-7\"), ответ сервера: ";
    const Case cases[] = {
        {"AUTH on the last line of the EHLO reply counts",
         {kGreeting, "250-peer.test\r\n250 AUTH PLAIN\r\n", "235 ok\r\n"},
         "AUTH PLAIN " + token + "\r\n", 1, "", 0},
        {"AUTH= is the old spelling of AUTH",
         {kGreeting, "250-peer.test\r\n250-AUTH=LOGIN\r\n250 OK\r\n", "334 VXNlcm5hbWU6\r\n", "334 UGFzc3dvcmQ6\r\n",
          "235 ok\r\n"},
         "AUTH LOGIN\r\n" + login + password, 1, "", 0},
        {"LOGIN prompts are answered by their order, whatever they say",
         {kGreeting, "250-peer.test\r\n250 AUTH LOGIN\r\n", "334 VXNlciBOYW1lAA==\r\n", "334 UGFzc3dvcmQA\r\n",
          "235 ok\r\n"},
         "AUTH LOGIN\r\n" + login + password, 1, "", 0},
        {"a challenge that is not base64 is cancelled",
         {kGreeting, "250 AUTH LOGIN\r\n", "334 !!not base64\r\n", "501 cancelled\r\n"},
         "AUTH LOGIN\r\n*\r\n", 0, failure + "501 cancelled", 1},
        {"a rejected password is not tried again, not even with LOGIN",
         {kGreeting, "250-peer.test\r\n250-AUTH PLAIN LOGIN\r\n250 OK\r\n", "535 5.7.8 bad credentials\r\n"},
         "AUTH PLAIN " + token + "\r\n", 0, failure + "535 5.7.8 bad credentials", 0},
        {"a password LOGIN sent and the server rejected is not sent again",
         {kGreeting, "250 AUTH LOGIN\r\n", "334 VXNlcm5hbWU6\r\n", "334 UGFzc3dvcmQ6\r\n", "535 no\r\n"},
         "AUTH LOGIN\r\n" + login + password, 0, failure + "535 no", 0},
        {"EHLO answered with 502 falls back to HELO",
         {kGreeting, "502 not implemented\r\n", "250 hello\r\n", "502 no auth here\r\n"},
         "HELO kiosk.example.test\r\nAUTH LOGIN\r\n", 0, "", 0},
        {"replies whose lines end with LF alone are read",
         {"220 ready\n", "250-peer.test\n250 AUTH PLAIN\n", "235 ok\n"},
         "AUTH PLAIN " + token + "\r\n", 1, "", 0},
    };
    for (const Case& c : cases) {
        size_t succeeded = log.Count("Авторизация пройдена"), refused = log.Count(failure);
        size_t base64 = log.Count("Ошибка base64 в запросе сервера");
        ScriptedServer server;
        server.Send(c.replies[0]);
        for (size_t i = 1; i < c.replies.size(); ++i) server.Reply(c.replies[i]);
        Connect(server);
        EXPECT_EQ("<nothing raised>", Raised([&] { SmtpHello(service.session); })) << c.rule;
        EXPECT_EQ(kEhlo + c.sent, Sent(server)) << c.rule;
        EXPECT_EQ(size_t(c.succeeded), log.Count("Авторизация пройдена") - succeeded) << c.rule;
        EXPECT_EQ(c.refused.empty() ? 0u : 1u, log.Count(failure) - refused) << c.rule << "\n" << log.Text();
        if (!c.refused.empty()) {
            EXPECT_EQ(1u, log.Count(c.refused)) << c.rule;
        }
        EXPECT_EQ(size_t(c.base64Errors), log.Count("Ошибка base64 в запросе сервера") - base64) << c.rule;
    }
}

TEST_F(SmtpDialogue, EnvelopeFollowsTheProtocolsRules) {
    struct Case {
        const char* rule;
        const char* offers;      // the EHLO reply
        unsigned long long size;  // the message's size given to MAIL FROM
        const char* recipients;
        std::vector<std::string> replies;  // to MAIL FROM and each RCPT TO
        std::string sent;                  // after the authentication
        std::string raised;
        unsigned refusal;                  // the SmtpRefusal's code, 0 for none
    };
    const std::string mail = "MAIL FROM: <kiosk@example.test>";
    const Case cases[] = {
        {"251 to RCPT TO accepts the recipient", "250 AUTH PLAIN\r\n", 0, "a@x.test, b@x.test",
         {"250 ok\r\n", "251 will forward\r\n", "250 ok\r\n"},
         mail + "\r\nRCPT TO: <a@x.test>\r\nRCPT TO: <b@x.test>\r\n", "<nothing raised>", 0},
        {"an empty piece of the list is no recipient", "250 AUTH PLAIN\r\n", 0, "a@x.test,,b@x.test,",
         {"250 ok\r\n", "250 ok\r\n", "250 ok\r\n"},
         mail + "\r\nRCPT TO: <a@x.test>\r\nRCPT TO: <b@x.test>\r\n", "<nothing raised>", 0},
        {"8BITMIME and SIZE offered: the body is declared 8-bit and sized",
         "250-peer.test\r\n250-8BITMIME\r\n250-SIZE 1000\r\n250 AUTH PLAIN\r\n", 1000, "a@x.test",
         {"250 ok\r\n", "250 ok\r\n"}, mail + " BODY=8BITMIME SIZE=1000\r\nRCPT TO: <a@x.test>\r\n", "<nothing raised>", 0},
        {"SIZE without a number sets no limit", "250-peer.test\r\n250-SIZE\r\n250 AUTH PLAIN\r\n", 5000000, "a@x.test",
         {"250 ok\r\n", "250 ok\r\n"}, mail + " SIZE=5000000\r\nRCPT TO: <a@x.test>\r\n", "<nothing raised>", 0},
        {"nothing offered: nothing declared", "250 AUTH PLAIN\r\n", 1000, "a@x.test", {"250 ok\r\n", "250 ok\r\n"},
         mail + "\r\nRCPT TO: <a@x.test>\r\n", "<nothing raised>", 0},
        {"a message over the server's limit is refused for good and never offered",
         "250-peer.test\r\n250-SIZE 1000\r\n250 AUTH PLAIN\r\n", 1001, "a@x.test", {}, "",
         "Письмо больше, чем принимает сервер: 1001 байт при пределе 1000", 552},
        {"the server's own size refusal is one for good", "250-SIZE 1000000\r\n250 AUTH PLAIN\r\n", 900, "a@x.test",
         {"552 5.3.4 too big\r\n"}, mail + " SIZE=900\r\n", "Неожиданный ответ сервера (MAIL): 552 5.3.4 too big\r\n",
         552},
    };
    for (const Case& c : cases) {
        ScriptedServer server;
        server.Send(kGreeting).Reply(c.offers).Reply("235 ok\r\n");
        for (const std::string& r : c.replies) server.Reply(r);
        Connect(server);
        SmtpHello(service.session);
        unsigned refusal = 0;
        std::string raised = Raised([&] {
            try {
                SmtpMailFrom(service.session, nullptr, c.size);
                SmtpRcptTo(service.session, string(c.recipients));
            } catch (const SmtpRefusal& e) {
                refusal = e.Code();
                throw;
            }
        });
        EXPECT_EQ(c.raised, raised) << c.rule;
        EXPECT_EQ(c.refusal, refusal) << c.rule;
        std::string sent = Sent(server);
        size_t afterAuth = sent.find("\r\n", sent.find("AUTH PLAIN")) + 2;
        EXPECT_EQ(c.sent, sent.substr(afterAuth)) << c.rule;
    }
    // What SIZE= declares is what goes on the wire before the final dot.
    EXPECT_EQ(11u, SmtpWireSize(string("a\nb\r\n.c")));
    EXPECT_EQ(0u, SmtpWireSize(string("")));
}

// ---- Envelope ---------------------------------------------------------------------------------

TEST_F(SmtpDialogue, SendsMailFromAndReportsItsRefusal) {
    ScriptedServer server;
    server.Reply("250 ok\r\n").Reply("550-no\r\n550 never\r\n");
    Connect(server);
    string used;
    SmtpMailFrom(service.session, &used);
    EXPECT_EQ(kSender, used.str());
    EXPECT_EQ("Неожиданный ответ сервера (MAIL): no\r\n550 never\r\n", Raised([&] { SmtpMailFrom(service.session); }));
    testing_support::SetRegText(kSmtpKey, "ReversePath", "");
    ReadSmtpSettings(&service.session.settings);  // a session reads its settings when it opens
    EXPECT_EQ("Не задан адрес отправителя (\"ReversePath\")", Raised([&] { SmtpMailFrom(service.session); }));
    EXPECT_EQ("MAIL FROM: <kiosk@example.test>\r\nMAIL FROM: <kiosk@example.test>\r\n", Sent(server));
}

TEST_F(SmtpDialogue, OffersEachRecipientPiece) {
    ScriptedServer server;
    server.Reply("250 ok\r\n").Reply("250 ok\r\n").Reply("550 no\r\n").Reply("550 not either\r\n");
    Connect(server);
    SmtpRcptTo(service.session, string("a@x.test, b@x.test"));
    EXPECT_EQ("Не задан адрес получателя этого сообщения", Raised([&] { SmtpRcptTo(service.session, string(" , ")); }));
    EXPECT_EQ("Неожиданный ответ сервера (RCPT): 550 no\r\n", Raised([&] { SmtpRcptTo(service.session, string("c@x.test, ,d@x.test")); }));
    EXPECT_EQ("RCPT TO: <a@x.test>\r\nRCPT TO: <b@x.test>\r\nRCPT TO: <c@x.test>\r\nRCPT TO: <d@x.test>\r\n", Sent(server));
}

// Every recipient has its own answer: all are offered and each outcome is kept; the step
// raises the first refusal only when the server took nobody, and a recipient that would end
// its address early or carry parameters of its own is never sent.
TEST_F(SmtpDialogue, OffersEveryRecipientAndRaisesOnlyWhenNobodyIsTaken) {
    ScriptedServer server;
    server.Reply("250 ok\r\n").Reply("550 5.1.1 unknown\r\n").Reply("451 later\r\n").Reply("251 forwarded\r\n");
    server.Reply("451 later\r\n").Reply("550 5.1.1 unknown\r\n");
    Connect(server);
    std::vector<RecipientOutcome> outcomes;
    SmtpRcptTo(service.session, string("a@x.test,b@x.test,c@x.test,d@x.test,a@x.test> NOTIFY=NEVER,<e@x.test>"),
               &outcomes);
    ASSERT_EQ(6u, outcomes.size());
    const unsigned codes[] = {250, 550, 451, 251, 553, 553};
    for (size_t i = 0; i < 6; ++i) {
        EXPECT_EQ(codes[i], outcomes[i].code) << i;
        EXPECT_EQ(codes[i] / 100 == 2, outcomes[i].Accepted()) << i;
    }
    EXPECT_EQ("c@x.test", outcomes[2].address.str());
    EXPECT_EQ("Недопустимый адрес получателя: <e@x.test>", outcomes[5].reply.str());
    try {
        SmtpRcptTo(service.session, string("f@x.test,g@x.test"), &outcomes);
        ADD_FAILURE() << "the refusal was not raised";
    } catch (const SmtpRefusal& e) {
        EXPECT_EQ(451u, e.Code()) << "the first refusal";
        EXPECT_FALSE(e.IsPermanent());
    }
    EXPECT_EQ(2u, outcomes.size());
    EXPECT_EQ("RCPT TO: <a@x.test>\r\nRCPT TO: <b@x.test>\r\nRCPT TO: <c@x.test>\r\nRCPT TO: <d@x.test>\r\n"
              "RCPT TO: <f@x.test>\r\nRCPT TO: <g@x.test>\r\n",
              Sent(server));
}

TEST_F(SmtpDialogue, UnfoldsRecipientsBeforeSending) {
    ScriptedServer server;
    server.Reply("250 ok\r\n").Reply("250 ok\r\n").Reply("250 ok\r\n");
    Connect(server);
    // A folded To: header gives line ends inside the recipients text.
    SmtpRcptTo(service.session, string("a@x.test,\r\n b@x.test,\r\n\tc@x.test"));
    EXPECT_EQ("RCPT TO: <a@x.test>\r\nRCPT TO: <b@x.test>\r\nRCPT TO: <c@x.test>\r\n", Sent(server));
}

// A recipient that would end its address early or carry parameters of its own is never sent.
TEST_F(SmtpDialogue, RefusesRecipientsThatAreNotPlainAddresses) {
    for (const char* recipient : {"a@x.test> NOTIFY=NEVER", "a@x.\r\n\ttest", "<a@x.test>", "a@x.test\x01"}) {
        ScriptedServer server;
        Connect(server);
        try {
            SmtpRcptTo(service.session, string(recipient));
            ADD_FAILURE() << "no refusal for " << testing_support::Printable(recipient);
        } catch (const SmtpRefusal& e) {
            EXPECT_TRUE(e.IsPermanent());
            EXPECT_EQ(0u, e.Reason().str().find("Недопустимый адрес получателя: ")) << e.Reason().str();
            EXPECT_EQ(std::string::npos, e.Reason().str().find_first_of("\r\n"));
        }
        EXPECT_EQ("", Sent(server)) << testing_support::Printable(recipient);
    }
}

// ---- Data -----------------------------------------------------------------------------------------

// What a server without 8BITMIME gets: 8bit parts quoted-printable, everything else as it is.
TEST(SmtpSevenBit, OnlyPartsDeclared8BitChange) {
    const std::string multipart =
        "Content-Type: multipart/mixed;\r\n boundary=\"b\"\r\n\r\n--b\r\nContent-Type: text/plain\r\n"
        "Content-Transfer-Encoding: 8BIT\r\n\r\n\xC0\nx= \r\n--b\r\nContent-Transfer-Encoding: base64\r\n\r\nAAAA\r\n"
        "--b--\r\n\xC1";
    struct Case {
        const char* what;
        std::string content, expected;
    } cases[] = {
        {"one 8bit entity", "Subject: s\r\nContent-Transfer-Encoding: 8bit\r\n\r\n\xC0\xC1 x\r\n",
         "Subject: s\r\nContent-Transfer-Encoding: quoted-printable\r\n\r\n=C0=C1 x\r\n"},
        {"the 8bit part of a multipart body", multipart,
         "Content-Type: multipart/mixed;\r\n boundary=\"b\"\r\n\r\n--b\r\nContent-Type: text/plain\r\n"
         "Content-Transfer-Encoding: quoted-printable\r\n\r\n=C0\r\nx=3D=20\r\n--b\r\n"
         "Content-Transfer-Encoding: base64\r\n\r\nAAAA\r\n--b--\r\n\xC1"},
        {"declared 7bit", "Content-Transfer-Encoding: 7bit\r\n\r\n\xC0\r\n", "Content-Transfer-Encoding: 7bit\r\n\r\n\xC0\r\n"},
        {"no MIME at all", "Subject: \xC0\r\n\r\nbody \xC1\r\n", "Subject: \xC0\r\n\r\nbody \xC1\r\n"},
        {"nothing 8-bit", "Content-Transfer-Encoding: 8bit\r\n\r\nplain\r\n", "Content-Transfer-Encoding: 8bit\r\n\r\nplain\r\n"},
        {"no header end", "Content-Transfer-Encoding: 8bit\r\n\xC0", "Content-Transfer-Encoding: 8bit\r\n\xC0"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.expected, Postvane::SmtpSevenBitContent(string(c.content)).str()) << c.what;
}


TEST_F(SmtpDialogue, StuffsDotsAndEndsTheLastLine) {
    ScriptedServer server;
    server.Reply("354 go\r\n").ExpectLine(".").Send("250 queued\r\n");
    Connect(server);
    bool beforeData = true;
    SmtpData(service.session, string("Subject: x\r\n\r\n.x\r\n.\r\n..\r\nlast"), &beforeData);
    EXPECT_FALSE(beforeData);
    EXPECT_EQ("DATA\r\nSubject: x\r\n\r\n..x\r\n..\r\n...\r\nlast\r\n.\r\n", Sent(server));
}

TEST_F(SmtpDialogue, AddsNoEmptyLineAfterAFinalLineEnd) {
    ScriptedServer server;
    server.Reply("354 go\r\n").ExpectLine(".").Send("250 queued\r\n");
    Connect(server);
    SmtpData(service.session, string("one\r\ntwo\r\n"));
    EXPECT_EQ("DATA\r\none\r\ntwo\r\n.\r\n", Sent(server));
}

TEST_F(SmtpDialogue, SendsNoBareLineEndAndNoSmuggledCommand) {
    ScriptedServer server;
    server.Reply("354 go\r\n").ExpectLine(".").Send("250 queued\r\n");
    Connect(server);
    // A lenient server would take LF . CR LF as the end of the data and run what follows.
    SmtpData(service.session, string("a\nb\rc\r\r\nd\n.\r\nMAIL FROM: <evil@x>\r\n\n.\nQUIT"));
    EXPECT_EQ("DATA\r\na\r\nb\r\nc\r\n\r\nd\r\n..\r\nMAIL FROM: <evil@x>\r\n\r\n..\r\nQUIT\r\n.\r\n", Sent(server));
}

TEST_F(SmtpDialogue, TellsWhetherTheContentHadBegun) {
    {
        ScriptedServer server;
        server.Reply("452 no room\r\n");
        Connect(server);
        bool beforeData = false;
        EXPECT_EQ("Неожиданный ответ сервера (DATA init): 452 no room\r\n",
                  Raised([&] { SmtpData(service.session, string("x\r\n"), &beforeData); }));
        EXPECT_TRUE(beforeData) << "a refused DATA is a failure before the content";
        SmtpDisconnect(service.session);
    }
    {
        ScriptedServer server;
        server.Reply("354 go\r\n").Close();
        Connect(server);
        bool beforeData = true;
        std::string content;
        for (int i = 0; i < 20000; ++i) content += "line of the message content\r\n";
        EXPECT_NE("<nothing raised>", Raised([&] { SmtpData(service.session, string(content), &beforeData); }));
        EXPECT_FALSE(beforeData) << "a failure while the content flows counts";
        SmtpDisconnect(service.session);
    }
    ScriptedServer server;
    server.Reply("354 go\r\n").ExpectLine(".").Send("554 rejected\r\n");
    Connect(server);
    bool beforeData = true;
    EXPECT_EQ("Неожиданный ответ сервера (DATA finalize): 554 rejected\r\n",
              Raised([&] { SmtpData(service.session, string("x"), &beforeData); }));
    EXPECT_FALSE(beforeData);
}

// ---- Quit and stop -----------------------------------------------------------------------------------

TEST_F(SmtpDialogue, QuitsStrictlyOrTolerantly) {
    ScriptedServer server;
    server.Reply("250 bye?\r\n").Reply("250 bye?\r\n").Reply("221 bye\r\n");
    Connect(server);
    EXPECT_EQ("Неожиданный ответ сервера (QUIT): 250 bye?\r\n", Raised([&] { SmtpQuit(service.session, false); }));
    SmtpQuit(service.session, true);
    SmtpQuit(service.session, false);
    EXPECT_EQ("QUIT\r\nQUIT\r\nQUIT\r\n", Sent(server));

    ScriptedServer gone;
    gone.Close();
    Connect(gone);
    EXPECT_EQ("Соединение разорвано", Raised([&] { SmtpQuit(service.session, true); }))
        << "the tolerant QUIT still reports a transport failure";
}

TEST_F(SmtpDialogue, EndsALongSilenceOnStop) {
    ReplyTimeouts().greeting = 60000;
    ScriptedServer server;  // never greets
    Connect(server);
    StopLater stop(service, 300);
    EXPECT_EQ(kStopText, Raised([&] { SmtpHello(service.session); }));
}

}  // namespace
}  // namespace smtptest
