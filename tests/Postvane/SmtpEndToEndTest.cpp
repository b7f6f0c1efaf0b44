// Whole transactions against a real SMTP server (aiosmtpd on the host, plain TCP, AUTH
// without TLS), with the password read protected from the registry.
#include "SmtpTestSupport.h"

using namespace Postvane;
using smtppeer::DeliveredMessage;
using smtppeer::HostPeer;

namespace smtptest {
namespace {

const char kContent[] =
    "From: kiosk@example.test\r\n"
    "To: a@example.test\r\n"
    "Subject: test\r\n"
    "\r\n"
    ".leading dot\r\n"
    ".\r\n"
    "bare\nline end\r\n"
    "last line without its end";
// What the server must have received after dot-unstuffing.
const char kDelivered[] =
    "From: kiosk@example.test\r\n"
    "To: a@example.test\r\n"
    "Subject: test\r\n"
    "\r\n"
    ".leading dot\r\n"
    ".\r\n"
    "bare\r\nline end\r\n"
    "last line without its end\r\n";

class SmtpEndToEnd : public SmtpFixture {
protected:
    void SetUp() override {
        SmtpFixture::SetUp();
        FakeNames::Install("localhost", "127.0.0.1");
    }
    HostPeer::Options PeerOptions() {
        HostPeer::Options o;
        o.login = kLogin;
        o.password = kPassword;
        return o;
    }
    // One whole transaction as the outbox runs it.
    void Transact(HostPeer& peer) {
        UsePort(peer.Port());
        ASSERT_TRUE(SmtpConnect(service.session));
        SmtpHello(service.session);
        SmtpMailFrom(service.session);
        SmtpRcptTo(service.session, string("a@example.test, b@example.test"));
        bool beforeData = true;
        SmtpData(service.session, string(kContent), &beforeData);
        SmtpQuit(service.session, false);
        SmtpDisconnect(service.session);
    }
    void ExpectDelivered(HostPeer& peer, const char* mechanism) {
        std::vector<DeliveredMessage> messages = peer.Messages(1, 10000);
        ASSERT_EQ(1u, messages.size());
        const DeliveredMessage& m = messages[0];
        EXPECT_EQ(mechanism, m.mechanism);
        EXPECT_EQ(kLogin, m.login) << "the message was accepted for the configured login";
        EXPECT_EQ(kSender, m.mailFrom);
        EXPECT_EQ("a@example.test,b@example.test", m.recipients);
        EXPECT_EQ(kDelivered, m.content) << testing_support::Printable(m.content);
    }
};

TEST_F(SmtpEndToEnd, DeliversWithAuthPlain) {
    HostPeer::Options o = PeerOptions();
    o.authRequired = true;
    HostPeer peer(o);
    ASSERT_TRUE(peer.Started()) << peer.Error();
    Transact(peer);
    ExpectDelivered(peer, "PLAIN");
    EXPECT_EQ(1u, log.Count("Авторизация пройдена"));
}

TEST_F(SmtpEndToEnd, DeliversWithAuthLogin) {
    HostPeer::Options o = PeerOptions();
    o.authRequired = true;
    o.noPlain = true;
    o.usualLogin = true;  // "Username:" and "Password:"
    HostPeer peer(o);
    ASSERT_TRUE(peer.Started()) << peer.Error();
    Transact(peer);
    ExpectDelivered(peer, "LOGIN");
}

TEST_F(SmtpEndToEnd, DeliversLargeMessagesUnchanged) {
    HostPeer peer(PeerOptions());
    ASSERT_TRUE(peer.Started()) << peer.Error();
    UsePort(peer.Port());
    std::string content = "Subject: large\r\n\r\n";
    for (int i = 0; content.size() < 3 * 1024 * 1024; ++i)
        content += (i % 7 == 0 ? "." : "") + std::string(70, char('a' + i % 26)) + "\r\n";
    for (int round = 0; round < 3; ++round) {
        ASSERT_EQ("<nothing raised>", Raised([&] {
            SmtpConnect(service.session);
            SmtpHello(service.session);
            SmtpMailFrom(service.session);
            SmtpRcptTo(service.session, string("a@example.test"));
            SmtpData(service.session, string(content));
            SmtpQuit(service.session, false);
            SmtpDisconnect(service.session);
        })) << "round " << round;
    }
    std::vector<DeliveredMessage> messages = peer.Messages(3, 20000);
    ASSERT_EQ(3u, messages.size());
    for (const DeliveredMessage& m : messages) EXPECT_TRUE(m.content == content) << m.content.size() << " bytes";
}

TEST_F(SmtpEndToEnd, AuthenticatesWithTheServersOwnLoginChallenges) {
    // aiosmtpd's own LOGIN prompts are "User Name" and "Password" with a NUL: answered by
    // their order, they authenticate.
    HostPeer::Options o = PeerOptions();
    o.noPlain = true;
    o.authRequired = true;
    HostPeer peer(o);
    ASSERT_TRUE(peer.Started()) << peer.Error();
    service.debugFlags = kTraceSent | kTraceReceived;
    Transact(peer);
    EXPECT_EQ(1u, log.Count("C>AUTH LOGIN\r\n"));
    EXPECT_EQ(1u, log.Count("S>334 VXNlciBOYW1lAA==\r\n")) << log.Text();
    EXPECT_EQ(0u, log.Count("C>*\r\n")) << log.Text();
    ExpectDelivered(peer, "LOGIN");
}

TEST_F(SmtpEndToEnd, ReportsAWrongPasswordThroughTheServersRefusal) {
    StorePassword("not the password");
    HostPeer::Options o = PeerOptions();
    o.authRequired = true;
    HostPeer peer(o);
    ASSERT_TRUE(peer.Started()) << peer.Error();
    UsePort(peer.Port());
    service.debugFlags = kTraceSent;
    ASSERT_TRUE(SmtpConnect(service.session));
    SmtpHello(service.session);  // a failed authentication raises nothing
    std::string raised = Raised([&] { SmtpMailFrom(service.session); });
    EXPECT_EQ(0u, raised.find("Неожиданный ответ сервера (MAIL): 530")) << raised;
    SmtpQuit(service.session, true);
    // One try of the password per attempt, told once: no account gets locked by retries.
    EXPECT_EQ(1u, log.Count("C>AUTH ")) << log.Text();
    EXPECT_EQ(1u, log.Count("Авторизация не пройдена (имя \"kiosk-7\"), ответ сервера: 535")) << log.Text();
}

}  // namespace
}  // namespace smtptest
