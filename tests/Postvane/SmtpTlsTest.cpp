// The SMTP client with TLS against real servers on the host: aiosmtpd requiring STARTTLS
// (AUTH only inside TLS) or speaking TLS from the first byte, and a private Postfix set up
// for submission; certificates made by openssl for each test. Also IPv6 against the
// scripted server on ::1.
#include "OutboxPassFixture.h"

using namespace Postvane;
using smtppeer::DeliveredMessage;
using smtppeer::HostPeer;
using smtppeer::ScriptedServer;

namespace smtptest {
namespace {

const char kContent[] =
    "From: kiosk@example.test\r\n"
    "To: a@example.test\r\n"
    "Subject: =?windows-1251?B?8uXx8g==?=\r\n"
    "\r\n"
    ".leading dot\r\n"
    "\xD2\xE5\xEA\xF1\xF2 \xE2 windows-1251\r\n";

class SmtpTls : public SmtpFixture {
protected:
    void SetUp() override {
        SmtpFixture::SetUp();
        FakeNames::Install("localhost", "127.0.0.1");
        ASSERT_EQ("", smtppeer::MakeTestCertificates(certificates.Path()));
        testing_support::SetRegText(kSmtpKey, "Server", "localhost");
        testing_support::SetRegText(kSmtpKey, "TlsRootCertificate", certificates / "root.pem");
        service.debugFlags = kTraceSent;
    }
    HostPeer::Options Peer(const char* tls, const char* certificate = "server") {
        HostPeer::Options o;
        o.login = kLogin;
        o.password = kPassword;
        o.authRequired = true;
        o.tls = tls;
        o.requireTls = true;
        o.certificates = certificates.Path();
        o.certificate = certificate;
        return o;
    }
    void UseTls(DWORD mode) { testing_support::SetRegNumber(kSmtpKey, "Tls", mode); }
    // One whole transaction as the outbox runs it; the text of what it raised.
    std::string Transact(unsigned short port) {
        UsePort(port);
        return Raised([&] {
            SmtpConnect(service.session);
            SmtpHello(service.session);
            SmtpMailFrom(service.session, nullptr, SmtpWireSize(string(kContent)));
            SmtpRcptTo(service.session, string("a@example.test"));
            SmtpData(service.session, string(kContent));
            SmtpQuit(service.session, false);
            SmtpDisconnect(service.session);
        });
    }
    // Nothing but the greeting's reply, EHLO and STARTTLS may go out before TLS.
    void ExpectNothingSaidInClear() {
        std::string text = log.Text();
        EXPECT_EQ(std::string::npos, text.find("C>AUTH")) << text;
        EXPECT_EQ(std::string::npos, text.find("C>MAIL")) << text;
    }

    testing_support::TempDir certificates;
};

// ---- Delivery through each kind of server --------------------------------------------------

TEST_F(SmtpTls, DeliversThroughStartTlsWithAuthOnlyInsideTls) {
    HostPeer peer(Peer("starttls"));
    ASSERT_TRUE(peer.Started()) << peer.Error();
    UseTls(1);
    ASSERT_EQ("<nothing raised>", Transact(peer.Port())) << log.Text();
    std::vector<DeliveredMessage> messages = peer.Messages(1, 10000);
    ASSERT_EQ(1u, messages.size());
    EXPECT_EQ("PLAIN", messages[0].mechanism);
    EXPECT_EQ(kLogin, messages[0].login);
    EXPECT_EQ(kContent, messages[0].content);
    EXPECT_EQ(1u, log.Count("C>STARTTLS\r\n"));
    EXPECT_EQ(2u, log.Count("C>EHLO ")) << "EHLO again inside TLS";
    EXPECT_EQ(1u, log.Count("Соединение защищено (TLS 1.2), сертификат: CN=localhost; издатель: CN=Postvane Test "
                            "Issuer, O=Postvane Tests; проверка пройдена"))
        << log.Text();
    EXPECT_EQ(1u, log.Count("C>MAIL FROM: <kiosk@example.test> BODY=8BITMIME SIZE=")) << log.Text();
}

TEST_F(SmtpTls, DeliversWithTlsFromTheFirstByte) {
    HostPeer::Options o = Peer("implicit");
    o.requireTls = false;
    HostPeer peer(o);
    ASSERT_TRUE(peer.Started()) << peer.Error();
    UseTls(2);
    ASSERT_EQ("<nothing raised>", Transact(peer.Port())) << log.Text();
    std::vector<DeliveredMessage> messages = peer.Messages(1, 10000);
    ASSERT_EQ(1u, messages.size());
    EXPECT_EQ(kLogin, messages[0].login);
    EXPECT_EQ(kContent, messages[0].content);
    EXPECT_EQ(0u, log.Count("C>STARTTLS"));
    EXPECT_EQ(1u, log.Count("Соединение защищено (TLS 1.2)"));
}

TEST_F(SmtpTls, DeliversThroughAPrivatePostfixSubmissionService) {
    HostPeer::Options o;
    o.server = "postfix";
    o.login = kLogin;
    o.password = kPassword;
    o.certificates = certificates.Path();
    HostPeer peer(o);
    ASSERT_TRUE(peer.Started()) << peer.Error();
    UseTls(1);
    ASSERT_EQ("<nothing raised>", Transact(peer.Port())) << log.Text();
    std::vector<DeliveredMessage> messages = peer.Messages(1, 10000);
    ASSERT_EQ(1u, messages.size());
    // Postfix adds its Received: header (folded lines) in front of the message.
    const std::string& content = messages[0].content;
    size_t body = content.find("\r\nFrom: ");
    ASSERT_NE(std::string::npos, body) << content;
    EXPECT_EQ(kContent, content.substr(body + 2));
    std::string received = content.substr(0, body);
    EXPECT_NE(std::string::npos, received.find("(Authenticated sender: kiosk-7@relay.test)")) << received;
    EXPECT_NE(std::string::npos, received.find("with ESMTPSA")) << "TLS and authentication: " << received;
    EXPECT_EQ("kiosk@example.test", messages[0].mailFrom);
}

TEST_F(SmtpTls, PostfixRefusesAMessageOverItsSizeBeforeUpload) {
    HostPeer::Options o;
    o.server = "postfix";
    o.login = kLogin;
    o.password = kPassword;
    o.certificates = certificates.Path();
    o.sizeLimit = 100;
    HostPeer peer(o);
    ASSERT_TRUE(peer.Started()) << peer.Error();
    UseTls(1);
    UsePort(peer.Port());
    ASSERT_TRUE(SmtpConnect(service.session));
    SmtpHello(service.session);
    try {
        SmtpMailFrom(service.session, nullptr, SmtpWireSize(string(kContent)));
        ADD_FAILURE() << "no refusal";
    } catch (const SmtpRefusal& e) {
        EXPECT_TRUE(e.IsPermanent());
        EXPECT_EQ(0u, e.Reason().str().find("Письмо больше, чем принимает сервер: ")) << e.Reason().str();
    }
    EXPECT_EQ(0u, log.Count("C>MAIL")) << "never offered";
    SmtpQuit(service.session, true);
}

// ---- Refusals --------------------------------------------------------------------------------

// Each certificate fault ends the connection before anything is said inside TLS; switching
// the check off lets the message through with a warning at the connection.
TEST_F(SmtpTls, CertificateFaultsAreRefusedWithTheirReasons) {
    struct Case {
        const char* certificate;  // the server's
        const char* pinned;       // TlsRootCertificate, "" for none
        DWORD skipCheck;
        const char* raised;       // "" when delivered
    };
    const Case cases[] = {
        {"unknown", "root.pem", 0,
         "Сертификат сервера не прошёл проверку: цепочка не заканчивается ни доверенным корневым сертификатом, ни "
         "корневым сертификатом из TlsRootCertificate (сертификат: CN=localhost; издатель: CN=Unknown Test Root, "
         "O=Somebody Else)"},
        {"server", "", 0,
         "Сертификат сервера не прошёл проверку: цепочка не заканчивается доверенным корневым сертификатом "
         "(сертификат: CN=localhost; издатель: CN=Postvane Test Issuer, O=Postvane Tests)"},
        {"wrong-name", "root.pem", 0,
         "Сертификат сервера не прошёл проверку: сертификат выдан не для имени \"localhost\" (сертификат: "
         "CN=wrong.example.test; издатель: CN=Postvane Test Issuer, O=Postvane Tests)"},
        {"server", "missing.pem", 0, "Не удаётся прочитать корневой сертификат из файла \""},
        {"sha1", "root.pem", 0,
         "Сертификат сервера не прошёл проверку: сертификат сервера подписан устаревшим алгоритмом (SHA-1) "
         "(сертификат: CN=localhost; издатель: CN=Postvane Test Issuer, O=Postvane Tests)"},
        {"md5", "root.pem", 0,
         "Сертификат сервера не прошёл проверку: сертификат сервера подписан устаревшим алгоритмом (MD5) "
         "(сертификат: CN=localhost; издатель: CN=Postvane RSA Issuer, O=Postvane Tests)"},
        {"pss-sha1", "root.pem", 0,
         "Сертификат сервера не прошёл проверку: сертификат сервера подписан устаревшим алгоритмом (SHA-1) ("},
        {"rsa1024", "root.pem", 0,
         "Сертификат сервера не прошёл проверку: сертификат сервера: ключ RSA длиной 1024 бит, короче 2048 ("},
        {"weak-issuer", "root.pem", 0,
         "Сертификат сервера не прошёл проверку: промежуточный сертификат \"CN=Postvane SHA-1 Issuer, O=Postvane "
         "Tests\" подписан устаревшим алгоритмом (SHA-1) ("},
        {"below-old-root", "old-root.pem", 0, ""},  // the anchor's own signature does not count
        {"unknown", "", 1, ""},
        {"wrong-name", "root.pem", 1, ""},
        {"sha1", "root.pem", 1, ""},
        {"md5", "root.pem", 1, ""},
        {"pss-sha1", "root.pem", 1, ""},
        {"rsa1024", "root.pem", 1, ""},
        {"weak-issuer", "root.pem", 1, ""},
    };
    const char* warning = "Проверка сертификата сервера отключена (TlsSkipCheck = 1): подлинность сервера не проверяется";
    UseTls(2);
    for (const Case& c : cases) {
        HostPeer::Options o = Peer("implicit", c.certificate);
        o.requireTls = false;
        HostPeer peer(o);
        ASSERT_TRUE(peer.Started()) << peer.Error();
        testing_support::SetRegText(kSmtpKey, "TlsRootCertificate", *c.pinned ? certificates / c.pinned : "");
        testing_support::SetRegNumber(kSmtpKey, "TlsSkipCheck", c.skipCheck);
        size_t warnings = log.Count(warning);
        size_t commands = log.Count("C>");
        std::string raised = Transact(peer.Port());
        std::string what = std::string(c.certificate) + " pinned " + c.pinned;
        if (*c.raised) {
            EXPECT_EQ(0u, raised.find(c.raised)) << what << ": " << raised;
            EXPECT_EQ(INVALID_SOCKET, service.connection.Socket()) << what;
            EXPECT_EQ(commands, log.Count("C>")) << what << ": nothing is said to an unproven server";
            EXPECT_EQ(0u, peer.Messages(0, 0).size());
        } else {
            EXPECT_EQ("<nothing raised>", raised) << what;
            EXPECT_EQ(1u, peer.Messages(1, 10000).size()) << what;
        }
        EXPECT_EQ(c.skipCheck ? 1u : 0u, log.Count(warning) - warnings) << what;
    }
}

TEST_F(SmtpTls, NeverFallsBackToPlainText) {
    // A server without STARTTLS.
    HostPeer::Options o;
    o.login = kLogin;
    o.password = kPassword;
    HostPeer plain(o);
    ASSERT_TRUE(plain.Started()) << plain.Error();
    UseTls(1);
    EXPECT_EQ("Сервер не предлагает STARTTLS, а защищённое соединение обязательно (Tls = 1)", Transact(plain.Port()));
    ExpectNothingSaidInClear();
    EXPECT_EQ(0u, plain.Messages(0, 0).size());

    // A server that offers STARTTLS and then refuses it, and one whose handshake fails.
    ScriptedServer refusing;
    refusing.Send("220 hi\r\n").Reply("250-peer\r\n250 STARTTLS\r\n").Reply("454 4.7.0 TLS not available\r\n");
    Connect(refusing);
    EXPECT_EQ("Неожиданный ответ сервера (STARTTLS): 454 4.7.0 TLS not available\r\n", Raised([&] { SmtpHello(service.session); }));
    // What the server sends after its answer to STARTTLS ends the attempt at once, never at
    // the time-out: a TLS alert after the client's hello, bytes that came before the hello
    // (with the answer, or after it but before the hello went out), a plain-text reply to
    // the hello.
    struct Answer {
        const char* name;
        std::string together;  // sent with "220 go ahead"
        std::string later;     // sent 500 ms after it, once the hello is out
        const char* raised;    // the start of the text
    };
    const std::string alert("\x15\x03\x03\x00\x02\x02\x28", 7);  // fatal: handshake failure
    const Answer answers[] = {
        {"alert", "", alert, "Ошибка установления соединения TLS, ошибка "},
        {"alert together", alert, "",
         "Сервер прислал незашифрованные данные после ответа на STARTTLS (7 байт): возможна подмена, соединение "
         "прервано"},
        {"reply together", "250 ok\r\n", "",
         "Сервер прислал незашифрованные данные после ответа на STARTTLS (8 байт): возможна подмена, соединение "
         "прервано"},
        {"plain reply", "", "500 5.5.1 Unrecognised command\r\n", "Сервер ответил не по протоколу TLS: соединение прервано"},
    };
    for (const Answer& a : answers) {
        ScriptedServer server;
        server.Send("220 hi\r\n").Reply("250 STARTTLS\r\n").Reply("220 go ahead\r\n" + a.together);
        if (!a.later.empty()) server.Pause(500).Send(a.later);
        Connect(server);
        DWORD start = GetTickCount();
        std::string raised = Raised([&] { SmtpHello(service.session); });
        DWORD took = GetTickCount() - start;
        EXPECT_EQ(0u, raised.find(a.raised)) << a.name << ": " << raised;
        EXPECT_LT(took, 2000u) << a.name << ": at once, not at a time-out";
        EXPECT_EQ(INVALID_SOCKET, service.connection.Socket()) << a.name << ": no plain text after a failed handshake";
        ExpectNothingSaidInClear();
    }

    UseTls(3);
    EXPECT_EQ("Недопустимое значение Tls (3) в ключе HKEY_LOCAL_MACHINE\\Software\\Quillet\\Pennark\\Kiosk\\Mail\\SMTP; "
              "допустимо: 0, 1 или 2",
              Raised([&] { SmtpConnect(service.session); }));
}

// ---- The delivery pass ---------------------------------------------------------------------

class SmtpTlsPass : public OutboxPassTest {};

TEST_F(SmtpTlsPass, AServerWithoutTlsEndsThePassUncounted) {
    HostPeer::Options o;
    o.login = kLogin;
    o.password = kPassword;
    HostPeer plain(o);
    ASSERT_TRUE(plain.Started()) << plain.Error();
    UsePort(plain.Port());
    SetRegNumber(kSmtpKey, "Tls", 1);
    Put("1.eml", Message("a@example.test", "first"));
    Put("2.eml", Message("b@example.test", "second"));
    EXPECT_FALSE(OutboxPass(service, nullptr)) << "the pass ends";
    EXPECT_EQ("<none>", AttemptLog("1.eml")) << "not counted against the message";
    EXPECT_TRUE(PathExists(outbox + "\\1.eml") && PathExists(outbox + "\\2.eml")) << "both wait for the next pass";
    EXPECT_EQ(1u, log.Count("Сервер не предлагает STARTTLS, а защищённое соединение обязательно (Tls = 1)")) << log.Text();
    EXPECT_EQ(0u, plain.Messages(0, 0).size());
}

// ---- The console tool -------------------------------------------------------------------------

// Runs postvane.exe (beside the tests) on this test's registry.
testing_support::ProgramRun RunTool(const std::string& arguments) {
    return testing_support::RunBesideTests("postvane.exe", arguments, 60000);
}

TEST_F(SmtpTls, TheConsoleToolShowsTheTlsOutcome) {
    UseTls(1);
    {
        HostPeer peer(Peer("starttls"));
        ASSERT_TRUE(peer.Started()) << peer.Error();
        UsePort(peer.Port());
        testing_support::ProgramRun run = RunTool("test-smtp --timeout 20");
        const std::string& out = run.output;
        EXPECT_EQ(0u, run.exitCode) << out;
        EXPECT_NE(std::string::npos, out.find("C: STARTTLS\r\n")) << out;
        EXPECT_NE(std::string::npos, out.find("Authentication accepted.")) << out;
        EXPECT_NE(std::string::npos, out.find("TLS asked for: STARTTLS required (Tls = 1)")) << out;
        EXPECT_NE(std::string::npos, out.find("TLS: TLS 1.2, ")) << out;
        EXPECT_NE(std::string::npos, out.find("Certificate: CN=localhost\r\n")) << out;
        EXPECT_NE(std::string::npos, out.find("Issued by: CN=Postvane Test Issuer, O=Postvane Tests\r\n")) << out;
        EXPECT_NE(std::string::npos, out.find("Check: passed (trusted or pinned root, name localhost)")) << out;
    }
    HostPeer peer(Peer("starttls", "wrong-name"));
    ASSERT_TRUE(peer.Started()) << peer.Error();
    UsePort(peer.Port());
    testing_support::ProgramRun run = RunTool("test-smtp --timeout 20");
    const std::string& out = run.output;
    EXPECT_EQ(1u, run.exitCode) << out;
    EXPECT_NE(std::string::npos, out.find("Certificate: CN=wrong.example.test")) << out;
    EXPECT_NE(std::string::npos, out.find("Check: failed: сертификат выдан не для имени \"localhost\"")) << out;
    EXPECT_EQ(std::string::npos, out.find("C: AUTH")) << out;
}

// ---- IPv6 ----------------------------------------------------------------------------------------

TEST_F(SmtpTls, ReachesAnIpv6ServerByEveryFormOfItsAddress) {
    for (const char* server : {"::1", "[::1]", "[IPv6:::1]", "[ipv6:0:0:0:0:0:0:0:1]"}) {
        ScriptedServer peer(0, true);
        ASSERT_NE(0, peer.Port());
        peer.Send("220 six\r\n").Reply("250 AUTH PLAIN\r\n").Reply("235 ok\r\n");
        testing_support::SetRegText(kSmtpKey, "Server", server);
        UseTls(0);
        Connect(peer);
        SmtpHello(service.session);
        SmtpDisconnect(service.session);
        ASSERT_TRUE(peer.WaitClientClosed(5000));
        // The announced name: no AAAA record confirms the reverse name, so the literal.
        EXPECT_EQ(0u, peer.Received().find("EHLO [IPv6:::1]\r\nAUTH PLAIN ")) << server << ": " << peer.Received();
    }
}

}  // namespace
}  // namespace smtptest
