// OAuth 2.0 access tokens for signing in to the SMTP server (XOAUTH2, OAUTHBEARER): the
// settings of the SMTP subkey that ask for them, the fetch from the token endpoint over
// HTTPS, and the token kept in memory until shortly before it expires.
//
// The endpoint is asked with the client credentials grant or the refresh token grant, in a
// POST of application/x-www-form-urlencoded values (every value percent-encoded, as UTF-8).
// The connection is the SMTP client's (SmtpConnection.h): its waits end on a stop request
// within about a second, and its TLS and certificate check are the same, with the machine's
// roots or TlsRootCertificate, and TlsSkipCheck with its warning. The answer is read as
// HTTP/1.1 (by Content-Length, chunked, or until the server closes) up to
// kTokenAnswerLimit bytes and parsed as one JSON object.
//
// Secrets (the client secret, the refresh token, the access token) stay in wiping buffers
// (SecretText) and in the protected registry values; they never go into an exception text,
// a log record or the trace. A text that the server sends back (error_description) has any
// of them replaced by "***" before it is shown.
#pragma once
#include <winsock2.h>
#include <windows.h>
#include "Secret.h"
#include "SmtpConnection.h"
#include "core.h"
#include "qlbase.h"

class Runlog;

namespace Postvane {

// The SMTP subkey's Auth number: how the service signs in.
enum class SmtpAuth : DWORD {
    Password = 0,           // Login and Pass (absent Auth)
    ClientCredentials = 1,  // OAuth 2.0 access token by the client credentials grant
    RefreshToken = 2,       // OAuth 2.0 access token by the refresh token grant
};

// The SMTP subkey's values for OAuth 2.0.
struct OAuthSettings {
    SmtpAuth auth = SmtpAuth::Password;
    string tokenUrl;          // OAuthTokenUrl as stored
    string host;              // the URL's host (an IPv6 literal without its brackets)
    string port;              // the URL's port, "443" when it names none
    string hostHeader;        // the Host header: the host as written, with ":port" when given
    string target;            // path and query, "/" when the URL has neither
    string clientId;          // OAuthClientId
    string scope;             // OAuthScope; empty: none asked for
    SecretText secret;        // OAuthSecret (protected as Pass is); missing or unreadable: empty
    SecretText refreshToken;  // OAuthRefreshToken (protected as Pass is)
    TlsPolicy policy;         // TLS from the first byte for host; TlsRootCertificate, TlsSkipCheck
};

// Reads the SMTP subkey into *settings (the secrets replaced, the old ones wiped). With Auth
// 0 or absent only auth is read. Raises BadSetting (Setting.h), naming the value, its key and
// what is allowed, for: an Auth other than 0, 1 or 2; a TlsSkipCheck other than 0 or 1; with
// Auth 1 or 2, an OAuthTokenUrl that is missing or not https://host[:port][/path] (no user
// part, no fragment, no blanks or control characters), a missing OAuthClientId, with Auth 1 a
// missing or unreadable OAuthSecret, with Auth 2 a missing or unreadable OAuthRefreshToken.
// Texts: that of BadSettingText for a value that cannot be used, and "Не задано значение
// OAuthClientId в ключе HKEY_LOCAL_MACHINE\<key>; оно нужно для входа OAuth 2.0 (Auth = 1)"
// ("Не задано или не читается значение" for the protected ones) for one that is missing.
// settings: the key to read (laid out like the SMTP subkey); null: the configured SMTP subkey.
void ReadOAuthSettings(OAuthSettings* settings, HKEY settingsKey = nullptr);
// Only the Auth number (BadSetting as above).
SmtpAuth ReadSmtpAuth(HKEY settingsKey = nullptr);

// The token endpoint said no, or its answer cannot be used. Texts:
//   "Не удалось получить маркер доступа OAuth (HTTP <status>): <error> (<error_description>)"
//   "Не удалось получить маркер доступа OAuth (HTTP <status>): <what is wrong with the answer>"
// and for a transport failure (status 0):
//   "Не удалось получить маркер доступа OAuth от <host>: <cause>"
// where the cause is a text of SmtpConnection.h, TlsChannel.h, CertificateCheck.h, or
// "Не удаётся разрешить адрес сервера маркеров, ошибка Winsock: %u".
class OAuthFailure : public QLAppException {
public:
    OAuthFailure(const string& text, unsigned status, const string& error)
        : QLAppException(text), status_(status), error_(error) {}
    unsigned Status() const { return status_; }      // HTTP status; 0 when no answer came
    const string& Error() const { return error_; }   // the answer's error ("invalid_grant"); else empty
private:
    unsigned status_;
    string error_;
};

// How long each part of a fetch may take, ms. Tests shorten them.
struct OAuthTimeouts {
    DWORD connect = 30000;    // all addresses of the endpoint together
    DWORD handshake = 30000;  // the TLS handshake
    DWORD send = 30000;       // each wait for room to send
    DWORD answer = 60000;     // the whole answer, from the request sent to its last byte
};
OAuthTimeouts& TokenTimeouts();

// An answer longer than this is no token answer (a token answer takes a few KiB at most).
const size_t kTokenAnswerLimit = 65536;
// A token is fetched again this long before it expires: the SMTP session that uses it must
// still find it valid.
const double kTokenMarginSeconds = 60;
// The lifetime taken for a token whose answer gives no expires_in; a server that refuses it
// earlier makes the SMTP side Drop it.
const double kUnknownLifetimeSeconds = 600;

// The access token of the service, fetched when needed and kept in memory. One thread uses
// an object (the service thread, or the console tool's).
class OAuthTokenSource {
public:
    // Keeps the addresses of the stop test (every wait of a fetch consults it) and the log.
    OAuthTokenSource(StopTest& stop, Runlog& log);
    OAuthTokenSource(const OAuthTokenSource&) = delete;
    OAuthTokenSource& operator=(const OAuthTokenSource&) = delete;

    // The access token into *token. Reads the settings (ReadOAuthSettings); the kept token
    // serves while more than kTokenMarginSeconds of its lifetime remain (RealTime clock) and
    // the endpoint, client and scope are those it was fetched for; otherwise one is fetched
    // now. A rotated refresh token in the answer is stored at once (StoreSecret,
    // OAuthRefreshToken, see settingsKey); when it cannot be stored it is logged (kind 2, without the token)
    // and used from memory for as long as the stored one is the one it replaced.
    // Raises BadSetting, OAuthFailure, "Вход OAuth 2.0 не включён (Auth = 0)", and the stop
    // text "Обнаружен запрос на завершение работы сервиса" as it is.
    void AccessToken(SecretText* token);
    // Forgets the kept token (the server refused it); the next AccessToken fetches one.
    void Drop();
    bool HasToken() const { return !token_.IsEmpty(); }

    // One line for the console tool, never the token: the endpoint, the HTTP status of the
    // last answer (", ответа нет" when none came), the expiry (local time) and the granted
    // scope; or "Маркер доступа OAuth не запрашивался".
    string Describe() const;

    // The key the settings are read from and a rotated refresh token is stored into (laid out
    // like the SMTP subkey); null: the configured SMTP subkey. With a key of its own, a rotated
    // token also replaces the configured one while that is still the token the fetch used.
    HKEY settingsKey = nullptr;

private:
    // Stores a rotated refresh token (used: the one the fetch sent) as settingsKey says;
    // false, with *error, when it could not be stored where the settings came from.
    bool StoreRefresh(const SecretText& rotated, const SecretText& used, DWORD* error);

    // Asks the endpoint and keeps the token; raises as AccessToken.
    void Fetch(OAuthSettings& settings);

    StopTest& stop_;
    Runlog& log_;
    SecretText token_;       // the kept access token; empty: none
    string tokenFor_;        // auth, endpoint, client and scope it was fetched for
    RealTime expiresUtc_;    // when it expires
    string grantedScope_;
    string endpoint_;        // the last endpoint asked
    unsigned lastStatus_ = 0;
    // A rotated refresh token that could not be stored, and the stored one it replaces.
    SecretText unsavedRefresh_;
    SecretText replacedRefresh_;
};

}  // namespace Postvane
