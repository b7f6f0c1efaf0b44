// Outbox passes that sign in with an OAuth 2.0 access token: against the token endpoint's
// own SMTP server (token_peer.py --smtp), which takes only live tokens that the endpoint gave.
#include "OutboxPassFixture.h"
#include "TokenPeer.h"

using namespace Postvane;

namespace smtptest {
namespace {

const char kClientSecret[] = "cl&secret=+% \xEF";  // the peer's secret, its last letter in windows-1251

std::string Field(const std::string& report, size_t index) {
    size_t at = 0;
    for (size_t i = 0; i < index && at != std::string::npos; ++i) {
        at = report.find(' ', at);
        if (at != std::string::npos) ++at;
    }
    return at == std::string::npos ? std::string() : report.substr(at, report.find(' ', at) - at);
}

class OutboxOAuthTest : public OutboxPassTest {
protected:
    static void SetUpTestSuite() {
        certificates_ = new testing_support::TempDir;
        setupError_ = smtppeer::MakeTestCertificates(certificates_->Path());
        if (setupError_.empty()) {
            peer_ = new tokentest::TokenPeer(certificates_->Path(), true);
            setupError_ = peer_->Error();
        }
    }
    static void TearDownTestSuite() {
        delete peer_;
        delete certificates_;
        peer_ = nullptr;
        certificates_ = nullptr;
    }
    void SetUp() override {
        OutboxPassTest::SetUp();
        ASSERT_EQ("", setupError_);
        ASSERT_TRUE(peer_->Steer("OFFER XOAUTH2,OAUTHBEARER"));
        ASSERT_TRUE(peer_->Steer("CLOSING 0"));
        peer_->Reports();
        UsePort(peer_->SmtpPort());
        SetRegNumber(testing_support::kSmtpKey, "Tls", 1);
        SetRegText(testing_support::kSmtpKey, "TlsRootCertificate", *certificates_ / "root.pem");
        SetRegNumber(testing_support::kSmtpKey, "Auth", 1);
        SetRegText(testing_support::kSmtpKey, "OAuthTokenUrl",
                   "https://localhost:" + std::to_string(peer_->Port()) + "/token");
        SetRegText(testing_support::kSmtpKey, "OAuthClientId", "kiosk-client");
        Store("OAuthSecret", kClientSecret);
    }
    void TearDown() override {
        for (const char* name : {"Auth", "Tls", "TlsRootCertificate", "OAuthTokenUrl", "OAuthClientId", "OAuthSecret",
                                 "OAuthRefreshToken"})
            DeleteRegValue(testing_support::kSmtpKey, name);
        OutboxPassTest::TearDown();
    }
    static void Store(const char* name, const char* text) {
        RegKey key(HKEY_LOCAL_MACHINE, testing_support::kSmtpKey, true, RegKey::AllAccess);
        ASSERT_TRUE(StoreSecret(kSecretDescription, key.Handle(), name, text)) << "error " << GetLastError();
    }
    // The messages still in the outbox.
    std::vector<std::string> Waiting() {
        std::vector<std::string> names;
        for (const std::string& name : ListDir(outbox))
            if (name != "Wait") names.push_back(name);
        return names;
    }
    bool Pass() {
        Deadline deadline(service, 60000);
        return OutboxPass(service, nullptr);
    }
    // The AUTH and MSG reports of the peer since the last call, and the tokens they name.
    std::vector<std::string> Reports() {
        std::vector<std::string> reports = peer_->Reports();
        for (const std::string& r : reports)
            if (r.compare(0, 5, "AUTH ") == 0) tokens_.push_back(Field(r, 3));
        return reports;
    }
    // No token, secret or refresh token in the log or in any file the passes left.
    void ExpectNoSecretShown() {
        std::vector<std::string> shown = {log.Text()};
        for (const std::string& folder : {outbox, outbox + "\\Wait", archive, bad})
            for (const std::string& name : ListDir(folder))
                if (!(GetFileAttributesA((folder + "\\" + name).c_str()) & FILE_ATTRIBUTE_DIRECTORY))
                    shown.push_back(ReadFileBytes(folder + "\\" + name));
        std::vector<std::string> secrets = tokens_;
        secrets.insert(secrets.end(), {"cl&secret", "cl%26secret", "RT-", "Bearer"});
        for (const std::string& text : shown)
            for (const std::string& secret : secrets) {
                EXPECT_EQ(std::string::npos, text.find(secret)) << secret << " shown in: " << text;
            }
    }

    static testing_support::TempDir* certificates_;
    static tokentest::TokenPeer* peer_;
    static std::string setupError_;
    std::vector<std::string> tokens_;  // every token the client offered
};
testing_support::TempDir* OutboxOAuthTest::certificates_ = nullptr;
tokentest::TokenPeer* OutboxOAuthTest::peer_ = nullptr;
std::string OutboxOAuthTest::setupError_;

TEST_F(OutboxOAuthTest, DeliversThroughTheMechanismOfferedWithOneTokenForEverySession) {
    service.debugFlags = kTraceSent | kTraceReceived;
    struct Row {
        const char* offer;
        DWORD auth;
        const char* mechanism;  // what the client must choose
    } rows[] = {
        {"XOAUTH2,OAUTHBEARER", 1, "OAUTHBEARER"},
        {"XOAUTH2", 1, "XOAUTH2"},
        {"OAUTHBEARER", 1, "OAUTHBEARER"},
        {"XOAUTH2", 2, "XOAUTH2"},  // the refresh token grant, a token of its own
    };
    std::vector<std::string> used;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.offer);
        ASSERT_TRUE(peer_->Steer(std::string("OFFER ") + row.offer));
        SetRegNumber(testing_support::kSmtpKey, "Auth", row.auth);
        if (row.auth == 2) Store("OAuthRefreshToken", "RT-1");
        Put("1.eml", Message("to@x", row.offer));
        EXPECT_TRUE(Pass());
        std::vector<std::string> reports = Reports();
        ASSERT_EQ(2u, reports.size()) << testing::PrintToString(reports);
        EXPECT_EQ(std::string("AUTH ") + row.mechanism + " kiosk-7 " + tokens_.back() + " ok", reports[0]);
        EXPECT_EQ(std::string("MSG ") + row.mechanism + " " + tokens_.back() + " to@x", reports[1]);
        EXPECT_EQ(std::vector<std::string>{}, Waiting()) << "delivered";
        used.push_back(tokens_.back());
    }
    EXPECT_EQ(used[0], used[1]) << "the token serves the next session";
    EXPECT_EQ(used[0], used[2]);
    EXPECT_NE(used[0], used[3]) << "another grant asks anew";
    EXPECT_EQ(2u, log.Count("C>AUTH OAUTHBEARER ********")) << "traced hidden";
    EXPECT_EQ(2u, log.Count("C>AUTH XOAUTH2 ********"));
    EXPECT_EQ(4u, log.Count("Авторизация пройдена ("));
    ExpectNoSecretShown();
}

TEST_F(OutboxOAuthTest, ATokenNearItsExpiryOrRefusedIsFetchedAgainOnce) {
    FixedClock clock(kStart);
    struct Step {
        const char* what;
        double advance;   // seconds on the service's clock first
        bool expire;      // the server takes the tokens given so far for expired
        bool closing;     // and closes the connection when it refuses one
        size_t refused;   // tokens the server refused
        bool fresh;       // the token that signed in is not the last one
    } steps[] = {
        {"first", 0, false, false, 0, true},
        {"kept", 1800, false, false, 0, false},
        {"59 s before its expiry", 1800 - 59, false, false, 0, true},
        {"refused by the server", 0, true, false, 1, true},
        {"refused, the connection closed", 0, true, true, 1, true},
    };
    std::string last;
    for (const Step& s : steps) {
        SCOPED_TRACE(s.what);
        clock.Advance(s.advance);
        if (s.expire) {
            ASSERT_TRUE(peer_->Steer("EXPIRE"));
        }
        ASSERT_TRUE(peer_->Steer(s.closing ? "CLOSING 1" : "CLOSING 0"));
        Put("1.eml", Message("to@x", s.what));
        EXPECT_TRUE(Pass());
        std::vector<std::string> reports = Reports();
        ASSERT_EQ(s.refused + 2, reports.size()) << testing::PrintToString(reports);
        for (size_t i = 0; i < s.refused; ++i) {
            EXPECT_EQ("AUTH OAUTHBEARER kiosk-7 " + last + " refused", reports[i]);
        }
        EXPECT_EQ("ok", Field(reports[s.refused], 4));
        std::string now = Field(reports[s.refused], 3);
        EXPECT_EQ(s.fresh, now != last) << now;
        EXPECT_EQ("MSG OAUTHBEARER " + now + " to@x", reports.back());
        last = now;
    }
    EXPECT_EQ(2u, log.Count("; запрашиваем новый маркер доступа"));
    EXPECT_EQ(1u, log.Count("Сервер закрыл соединение после отказа, входим заново"));
    EXPECT_EQ(std::vector<std::string>{}, Waiting());
    ExpectNoSecretShown();
}

// A failure of the settings or the server ends the pass and counts against no message.
TEST_F(OutboxOAuthTest, FailuresEndThePassUncountedBeforeAnyToken) {
    struct Row {
        const char* what;
        DWORD tls;
        const char* secret;
        const char* offer;
        const char* logged;
    } rows[] = {
        {"invalid_client", 1, "wrong secret", "XOAUTH2,OAUTHBEARER",
         "[2] Не удалось получить маркер доступа OAuth (HTTP 401): invalid_client (Client authentication failed)"},
        {"plain connection", 0, kClientSecret, "XOAUTH2,OAUTHBEARER",
         "[2] Вход OAuth 2.0 (Auth = 1) возможен только в защищённом соединении: задайте Tls = 1 или 2"},
        {"nothing offered", 1, kClientSecret, "",
         "[2] Сервер не предлагает вход OAuth 2.0 (AUTH OAUTHBEARER или XOAUTH2)"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        SetRegNumber(testing_support::kSmtpKey, "Tls", row.tls);
        Store("OAuthSecret", row.secret);
        ASSERT_TRUE(peer_->Steer(std::string("OFFER ") + row.offer));
        Put("1.eml", Message("to@x", row.what));
        Put("2.eml", Message("to@x", row.what));
        EXPECT_FALSE(Pass());
        EXPECT_EQ(std::vector<std::string>{}, Reports()) << "no AUTH, no message";
        EXPECT_EQ(1u, log.Count(row.logged)) << log.Text();
        EXPECT_EQ("<none>", AttemptLog("1.eml")) << "counted against no message";
        EXPECT_EQ("<none>", AttemptLog("2.eml"));
    }
    EXPECT_EQ(std::string::npos, log.Text().find("wrong secret"));
    ExpectNoSecretShown();
}

}  // namespace
}  // namespace smtptest
