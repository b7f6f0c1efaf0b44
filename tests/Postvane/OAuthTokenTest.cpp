// The OAuth 2.0 token client against a token endpoint over TLS on the host (token_peer.py):
// both grants, each kind of answer and failure, the rotated refresh token, and the token kept
// by the clock.
#include <gtest/gtest.h>
#include <thread>
#include "OAuthToken.h"
#include "Setting.h"
#include "SmtpTestSupport.h"
#include "TokenPeer.h"

using namespace Postvane;
using testing_support::kSmtpKey;
using testing_support::SetRegNumber;
using testing_support::SetRegText;

namespace tokentest {
namespace {

const char kClientId[] = "kiosk-client";
const char kClientSecret[] = "cl&secret=+% \xEF";  // the peer's secret, its last letter in windows-1251

// A stop test whose request a test sets.
class Stop : public StopTest {
public:
    bool CheckStop(bool quiet) override {
        if (!requested) return false;
        if (quiet) return true;
        throw QLAppException(smtptest::kStopText);
    }
    volatile bool requested = false;
};

void Store(const char* name, const char* text) {
    RegKey key(HKEY_LOCAL_MACHINE, kSmtpKey, true, RegKey::AllAccess);
    ASSERT_TRUE(StoreSecret(kSecretDescription, key.Handle(), name, text)) << "error " << GetLastError();
}

std::string Loaded(const char* name) {
    RegKey key(HKEY_LOCAL_MACHINE, kSmtpKey, false, KEY_READ);
    return LoadSecret(key.Handle(), name).str();
}

class OAuthToken : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        certificates_ = new testing_support::TempDir;
        setupError_ = smtppeer::MakeTestCertificates(certificates_->Path());
        if (setupError_.empty()) {
            peer_ = new TokenPeer(certificates_->Path());
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
        ASSERT_EQ("", setupError_);
        saved_ = TokenTimeouts();
        TokenTimeouts().answer = 5000;
        SetRegText(kSmtpKey, "TlsRootCertificate", *certificates_ / "root.pem");
        SetRegNumber(kSmtpKey, "Auth", 1);
        UsePath("/token");
        SetRegText(kSmtpKey, "OAuthClientId", kClientId);
        SetRegText(kSmtpKey, "OAuthScope", "mail.send offline");
        Store("OAuthSecret", kClientSecret);
    }
    void TearDown() override {
        TokenTimeouts() = saved_;
        for (const char* name : {"Auth", "TlsRootCertificate", "OAuthTokenUrl", "OAuthClientId", "OAuthScope",
                                 "OAuthSecret", "OAuthRefreshToken"})
            testing_support::DeleteRegValue(kSmtpKey, name);
    }
    static void UsePath(const std::string& path) {
        SetRegText(kSmtpKey, "OAuthTokenUrl", "https://localhost:" + std::to_string(peer_->Port()) + path);
    }
    // The token the source gives, or the text it raised.
    std::string Token(OAuthTokenSource& source) {
        SecretText token;
        std::string raised = smtptest::Raised([&] { source.AccessToken(&token); });
        return raised == "<nothing raised>" ? std::string(token.Data(), token.Length()) : raised;
    }

    static testing_support::TempDir* certificates_;
    static TokenPeer* peer_;
    static std::string setupError_;
    smtptest::Winsock winsock;
    smtptest::LogCapture log;
    Stop stop;
    OAuthTimeouts saved_;
};
testing_support::TempDir* OAuthToken::certificates_ = nullptr;
TokenPeer* OAuthToken::peer_ = nullptr;
std::string OAuthToken::setupError_;

// The peer's refresh tokens go RT-1, RT-2, ... as each is used; the cases use them in order.
TEST_F(OAuthToken, EachAnswerGivesItsTokenOrItsFailure) {
    struct Case {
        const char* what;
        DWORD auth;
        const char* url;         // a path on the peer, or a whole URL
        const char* refresh;     // stored as OAuthRefreshToken first; null: as it is
        const char* expected;    // the token's beginning, or a part of the text raised
        const char* storedAfter; // OAuthRefreshToken afterwards; null: not checked
        DWORD answerMs = 5000;   // how long the answer may take
    };
    const Case cases[] = {
        {"client credentials", 1, "/token", nullptr, "AT-", nullptr},
        {"chunked answer", 1, "/chunked", nullptr, "AT-", nullptr},
        {"answer ending with the connection", 1, "/close", nullptr, "AT-", nullptr},
        {"refresh token, rotated", 2, "/token", "RT-1", "AT-", "RT-2"},
        {"rotated again, chunked", 2, "/chunked", nullptr, "AT-", "RT-3"},
        {"refresh token used up", 2, "/token", "RT-1",
         "Не удалось получить маркер доступа OAuth (HTTP 400): invalid_grant (The refresh token is invalid or "
         "expired)", "RT-1"},
        {"secrets echoed by the server", 2, "/echo", "RT-secret-77",
         "Не удалось получить маркер доступа OAuth (HTTP 400): invalid_request (bad *** and ***)", nullptr},
        {"not JSON", 1, "/html", nullptr, "Не удалось получить маркер доступа OAuth (HTTP 502): ответ не в формате JSON",
         nullptr},
        {"too long", 1, "/huge", nullptr, "(HTTP 200): ответ длиннее 65536 байт", nullptr},
        {"silent server", 1, "/silent", nullptr, "OAuth от localhost: Таймаут ввода от сервера", nullptr, 1500},
        {"refresh token missing", 2, "/token", "",
         "Не задано или не читается значение OAuthRefreshToken в ключе HKEY_LOCAL_MACHINE\\", nullptr},
        {"plain http", 1, "http://localhost/token", nullptr,
         "Недопустимое значение OAuthTokenUrl (\"http://localhost/token\") в ключе HKEY_LOCAL_MACHINE\\", nullptr},
        {"user in the URL", 1, "https://user:pw@localhost/token", nullptr,
         "Недопустимое значение OAuthTokenUrl (\"https://***@localhost/token\")", nullptr},
        {"unknown Auth", 3, "/token", nullptr, "Недопустимое значение Auth (3) в ключе HKEY_LOCAL_MACHINE\\", nullptr},
    };
    OAuthTokenSource source(stop, ServiceLog());
    std::vector<std::string> raised;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SetRegNumber(kSmtpKey, "Auth", c.auth);
        if (c.url[0] == '/') UsePath(c.url);
        else SetRegText(kSmtpKey, "OAuthTokenUrl", c.url);
        if (c.refresh) Store("OAuthRefreshToken", c.refresh);
        TokenTimeouts().answer = c.answerMs;
        source.Drop();
        std::string got = Token(source);
        if (std::string(c.expected) == "AT-") {
            EXPECT_EQ(0u, got.find("AT-")) << got;
        } else {
            EXPECT_NE(std::string::npos, got.find(c.expected)) << got;
        }
        if (got.compare(0, 3, "AT-") != 0) raised.push_back(got);
        if (c.storedAfter) {
            EXPECT_EQ(c.storedAfter, Loaded("OAuthRefreshToken"));
        }
    }
    // The 401 carries its status and error for the caller.
    SetRegNumber(kSmtpKey, "Auth", 1);
    UsePath("/token");
    Store("OAuthSecret", "wrong secret");
    try {
        SecretText token;
        source.AccessToken(&token);
        ADD_FAILURE() << "a wrong secret gave a token";
    } catch (const OAuthFailure& e) {
        EXPECT_EQ(401u, e.Status());
        EXPECT_EQ("invalid_client", e.Error().str());
        EXPECT_EQ("Не удалось получить маркер доступа OAuth (HTTP 401): invalid_client (Client authentication failed)",
                  e.Reason().str());
    }
    // The rotated token is stored protected: the raw value shows nothing of it.
    RegKey key(HKEY_LOCAL_MACHINE, kSmtpKey, false, KEY_READ);
    vec<unsigned char> raw;
    ASSERT_TRUE(ReadBinaryValue(key.Handle(), "OAuthRefreshToken", &raw));
    EXPECT_EQ(std::string::npos, std::string(reinterpret_cast<const char*>(raw.Data()), raw.Count()).find("RT-"));
    // No secret and no token anywhere a person or a file can see it.
    std::string text = log.Text();
    EXPECT_NE(std::string::npos, text.find("Маркер доступа OAuth получен от localhost (HTTP 200)")) << text;
    raised.push_back(text);
    for (const std::string& shown : raised)
        for (const char* secret : {"AT-", "RT-", "cl&secret", "cl%26secret", "wrong secret", "RT-secret-77", "user:pw"})
            EXPECT_EQ(std::string::npos, shown.find(secret)) << secret << " shown in: " << shown;
}

TEST_F(OAuthToken, KeptUntilAMinuteBeforeExpiryAndFetchedAgainAfterOrWhenDropped) {
    testing_support::FixedClock clock(testing_support::Moment(2026, 3, 10, 12));
    OAuthTokenSource source(stop, ServiceLog());
    EXPECT_EQ("Маркер доступа OAuth не запрашивался", source.Describe().str());
    std::string first = Token(source);
    ASSERT_EQ(0u, first.find("AT-")) << first;
    std::string described = source.Describe().str();
    EXPECT_NE(std::string::npos, described.find("HTTP 200, действует до 2026-03-10 13:00:00 (ещё 3600 с), разрешения: "
                                                 "mail.send offline")) << described;
    EXPECT_EQ(std::string::npos, described.find("AT-")) << described;

    struct Step {
        const char* what;
        double advance;  // seconds on the clock first
        bool drop;
        const char* scope;  // OAuthScope before; null: unchanged
        bool fresh;         // a new token is expected
    };
    const Step steps[] = {
        {"at once", 0, false, nullptr, false},
        {"61 s before expiry", 3600 - 61, false, nullptr, false},
        {"59 s before expiry", 2, false, nullptr, true},
        {"just fetched", 10, false, nullptr, false},
        {"dropped", 0, true, nullptr, true},
        {"another scope asked for", 0, false, "mail.send", true},
    };
    std::string last = first;
    for (const Step& s : steps) {
        SCOPED_TRACE(s.what);
        clock.Advance(s.advance);
        if (s.drop) source.Drop();
        if (s.scope) SetRegText(kSmtpKey, "OAuthScope", s.scope);
        std::string got = Token(source);
        ASSERT_EQ(0u, got.find("AT-")) << got;
        EXPECT_EQ(s.fresh, got != last) << got << " after " << last;
        last = got;
    }
    // A token that lives less than the margin serves its own fetch only.
    UsePath("/short");
    source.Drop();
    std::string shortLived = Token(source);
    EXPECT_NE(shortLived, Token(source));
}

TEST_F(OAuthToken, AStopRequestEndsAFetchPromptly) {
    UsePath("/silent");
    OAuthTokenSource source(stop, ServiceLog());
    std::thread later([this] {
        Sleep(300);
        stop.requested = true;
    });
    DWORD start = GetTickCount();
    std::string got = Token(source);
    later.join();
    EXPECT_EQ(smtptest::kStopText, got);
    EXPECT_LT(GetTickCount() - start, 3000u);
}

}  // namespace
}  // namespace tokentest
