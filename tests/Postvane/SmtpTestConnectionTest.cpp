// The settings page's connection test through its export, on values in a key of their own
// (the page's unapplied settings): against aiosmtpd with STARTTLS, the token endpoint's own
// SMTP server, and scripted servers (one never greets).
#include <functional>
#include <thread>
#include "SmtpTestSupport.h"
#include "TokenPeer.h"

using namespace Postvane;

namespace smtptest {
namespace {

const char kScratchKey[] = "Software\\Quillet\\Pennark\\Kiosk\\Mail\\PageTest";

void StoreIn(const char* keyPath, const char* name, const char* text) {
    RegKey key(HKEY_LOCAL_MACHINE, keyPath, true, RegKey::AllAccess);
    ASSERT_TRUE(StoreSecret(kSecretDescription, key.Handle(), name, text)) << "error " << GetLastError();
}

std::string SecretIn(const char* keyPath, const char* name) {
    RegKey key(HKEY_LOCAL_MACHINE, keyPath, false, RegKey::ReadAccess);
    return key.IsOpen() ? LoadSecret(key.Handle(), name).str() : std::string();
}

TEST_F(SmtpFixture, ConnectionTestTellsEachOutcomeInOneSentence) {
    testing_support::TempDir certificates;
    ASSERT_EQ("", smtppeer::MakeTestCertificates(certificates.Path()));
    FakeNames::Install("localhost", "127.0.0.1");
    smtppeer::HostPeer::Options o;
    o.login = kLogin;
    o.password = kPassword;
    o.authRequired = o.requireTls = true;
    o.tls = "starttls";
    o.certificates = certificates.Path();
    o.certificate = "server";
    smtppeer::HostPeer mail(o);
    ASSERT_TRUE(mail.Started()) << mail.Error();
    tokentest::TokenPeer token(certificates.Path(), true);
    ASSERT_EQ("", token.Error());
    ASSERT_TRUE(token.Steer("OFFER XOAUTH2"));
    smtppeer::ScriptedServer silent, plain;
    silent.Stall().Start();
    plain.Send("220 plain\r\n").Reply("250 plain\r\n").Reply("221 bye\r\n").Start();
    // The service's own settings name a server nobody answers on: every row reads the page's key.
    UsePort(smtppeer::ScriptedServer().Port());
    StoreIn(testing_support::kSmtpKey, "OAuthRefreshToken", "RT-1");

    const std::string root = certificates / "root.pem";
    const std::string mailPort = std::to_string(mail.Port());
    const struct Row {
        const char* name;
        std::function<void(const char* key)> set;  // beyond Server, Port, Tls 1, the root, Login and Pass
        bool cancel;
        DWORD error;
        const char* sentence;  // the whole sentence, or its start when it ends with "..."
    } rows[] = {
        {"success", [](const char*) {}, false, 0, "Соединение установлено: TLS 1.2, авторизация пройдена"},
        {"wrong password", [](const char* k) { StoreIn(k, "Pass", "wrong"); }, false, ERROR_LOGON_FAILURE,
         "Сервер отклонил вход (имя \"kiosk-7\"), ответ сервера: 535 ..."},
        {"unknown root", [](const char* k) { testing_support::DeleteRegValue(k, "TlsRootCertificate"); }, false,
         ERROR_CONNECTION_ABORTED, "Сертификат сервера отвергнут: ..."},
        {"bad setting", [](const char* k) { testing_support::SetRegNumber(k, "Tls", 7); }, false,
         ERROR_BAD_CONFIGURATION, "Недопустимое значение Tls (7) в ключе ..."},
        {"no login, no TLS", [&](const char* k) {
             testing_support::SetRegNumber(k, "Tls", 0);
             testing_support::DeleteRegValue(k, "Login");
             testing_support::SetRegText(k, "Port", std::to_string(plain.Port()));
         }, false, 0, "Соединение установлено: без шифрования, вход не выполнялся (имя входа не задано)"},
        {"cancel", [&](const char* k) { testing_support::SetRegText(k, "Port", std::to_string(silent.Port())); }, true,
         ERROR_CANCELLED, "Проверка прервана"},
        {"OAuth, token rotated", [&](const char* k) {
             testing_support::SetRegText(k, "Port", std::to_string(token.SmtpPort()));
             testing_support::SetRegNumber(k, "Auth", 2);
             testing_support::SetRegText(k, "OAuthTokenUrl", "https://localhost:" + std::to_string(token.Port()) + "/token");
             testing_support::SetRegText(k, "OAuthClientId", "kiosk-client");
             StoreIn(k, "OAuthRefreshToken", "RT-1");
         }, false, 0, "Соединение установлено: TLS 1.2, авторизация пройдена"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        RegDeleteTreeA(HKEY_LOCAL_MACHINE, kScratchKey);
        testing_support::SetRegText(kScratchKey, "Server", "localhost");
        testing_support::SetRegText(kScratchKey, "Port", mailPort);
        testing_support::SetRegNumber(kScratchKey, "Tls", 1);
        testing_support::SetRegText(kScratchKey, "TlsRootCertificate", root);
        testing_support::SetRegText(kScratchKey, "Login", kLogin);
        StoreIn(kScratchKey, "Pass", kPassword);
        row.set(kScratchKey);
        RegKey key(HKEY_LOCAL_MACHINE, kScratchKey, false, RegKey::AllAccess);
        MTSys::Event cancel(true, false);
        std::thread canceller;
        // Cancelled once the test waits for the greeting that never comes.
        if (row.cancel)
            canceller = std::thread([&] {
                while (silent.Connections() == 0) Sleep(10);
                cancel.Set();
            });
        char sentence[300];
        size_t logged = log.Count("Проверка соединения с localhost: ");
        DWORD start = GetTickCount();
        BOOL ok = SmtpTestConnection(key.Handle(), cancel.GetHandle(), sentence, sizeof sentence);
        DWORD error = GetLastError(), took = GetTickCount() - start;
        if (canceller.joinable()) canceller.join();
        EXPECT_EQ(row.error == 0, ok != FALSE);
        EXPECT_EQ(row.error, error) << sentence;
        std::string expected = row.sentence;
        bool prefix = expected.size() > 3 && expected.compare(expected.size() - 3, 3, "...") == 0;
        EXPECT_EQ(expected.substr(0, prefix ? expected.size() - 3 : std::string::npos),
                  prefix ? std::string(sentence).substr(0, expected.size() - 3) : std::string(sentence));
        EXPECT_EQ(std::string::npos, std::string(sentence).find_first_of("\r\n")) << sentence;
        if (row.cancel) {
            EXPECT_LT(took, 2000u) << "a cancel ends the wait within about a second";
        }
        EXPECT_EQ(logged + 1, log.Count("Проверка соединения с localhost: ")) << log.Text();
        EXPECT_NE(0u, log.Count("Проверка соединения с localhost: " + std::string(sentence))) << log.Text();
    }
    // The rotated refresh token replaced the one the test used in both keys.
    EXPECT_EQ("RT-2", SecretIn(kScratchKey, "OAuthRefreshToken"));
    EXPECT_EQ("RT-2", SecretIn(testing_support::kSmtpKey, "OAuthRefreshToken"));
    RegDeleteTreeA(HKEY_LOCAL_MACHINE, kScratchKey);
    testing_support::DeleteRegValue(testing_support::kSmtpKey, "OAuthRefreshToken");

    char tiny[1] = {'x'};
    EXPECT_FALSE(SmtpTestConnection(nullptr, nullptr, tiny, 0));
    EXPECT_EQ(DWORD(ERROR_INVALID_PARAMETER), GetLastError());
}

}  // namespace
}  // namespace smtptest
