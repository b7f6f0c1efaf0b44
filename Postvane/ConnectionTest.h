// A test of SMTP settings against their server without sending mail: connect, TLS as the
// settings ask, sign-in, QUIT. The settings page runs it on values not yet applied, the
// console tool (postvane test-smtp) on the configured ones; both come here.
//
// The test has a connection and a session of its own and never touches the service's: the
// service may be running in the same process. Its connection traces nothing and logs into a
// log without a file (its diagnostics would read as the service's); the service log gets one
// progress record with the outcome.
#pragma once
#include <winsock2.h>
#include <windows.h>
#include "OAuthToken.h"
#include "SmtpConnection.h"
#include "core.h"

namespace Postvane {

// The step at which a test failed.
enum class TestStage {
    None,       // every step succeeded
    Settings,   // a value that cannot be used, or no server
    Connect,    // the name does not resolve, or no connection
    Tls,        // the handshake or the certificate check
    Dialogue,   // the server broke the dialogue (greeting, EHLO, STARTTLS, QUIT, the line)
    SignIn,     // the server refused the sign-in, or offers no way to sign in
    Token,      // no OAuth 2.0 access token
    Cancelled,  // the stop test asked to end it
};

struct ConnectionTestOutcome {
    TestStage failed = TestStage::None;
    string sentence;        // one line for the operator (windows-1251), on success and on failure
    DWORD error = 0;        // the Windows code that stands for failed (0 on success)
    TlsPolicy policy;       // the TLS the settings asked for
    TlsOutcome tls;         // what became of it
    SmtpAuth auth = SmtpAuth::Password;
    string token;           // with OAuth 2.0: OAuthTokenSource::Describe; else empty
};

// Runs the test with the settings of settings (a key laid out like the SMTP subkey; null: the
// configured SMTP subkey). Every wait ends within about a second once stop asks for it.
// Reply time-outs are those of ReplyTimeouts. Winsock must have been started. Raises nothing
// for what the settings, the network or the server do: the outcome tells.
//
// Sentences: "Соединение установлено: <TLS 1.2 | без шифрования>, <авторизация пройдена |
// вход не выполнялся (имя входа не задано)>"; on failure what failed and why, texts from
// the server quoted with their control characters escaped; "Проверка прервана" when stopped.
ConnectionTestOutcome TestConnection(HKEY settings, StopTest& stop);

// The stop test over an event (null: never stops).
class EventStop : public StopTest {
public:
    explicit EventStop(HANDLE event) : event_(event) {}
    bool CheckStop(bool quiet) override;
private:
    HANDLE event_;
};

}  // namespace Postvane
