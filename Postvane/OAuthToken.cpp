#include "OAuthToken.h"
#include <cctype>
#include <cstring>
#include <list>
#include <string>
#include <vector>
#include "Globals.h"
#include "Resolver.h"
#include "Runlog.h"
#include "ServiceLog.h"
#include "Setting.h"
#include "qlframe.h"

namespace Postvane {

namespace {

const size_t kFormatSize = 256;
const char kHttpsPrefix[] = "https://";
const char kDefaultHttpsPort[] = "443";
const char kUrlAllowed[] = "адрес вида https://сервер[:порт][/путь]";
const char kFailurePrefix[] = "Не удалось получить маркер доступа OAuth";
const char kStopText[] = "Обнаружен запрос на завершение работы сервиса";
const char kClosedText[] = "Соединение разорвано";
const size_t kReadBlock = 4096;       // one receive of the answer
const size_t kHeadLimit = 16384;      // status line and headers together
const size_t kShownError = 100;       // the answer's error code as shown
const size_t kShownDescription = 300; // its description as shown
const size_t kShownScope = 300;
const int kJsonDepthLimit = 32;       // nesting of values the answer may carry beside its own
const double kLongestLifetimeSeconds = 366.0 * 24 * 3600;  // longer is taken as this

// ---- Small helpers ---------------------------------------------------------------------

bool SameBytes(const SecretText& a, const SecretText& b) {
    return a.Length() == b.Length() && std::memcmp(a.Data(), b.Data(), a.Length()) == 0;
}

void CopySecret(const SecretText& from, SecretText* to) { to->Assign(from.Data(), from.Length()); }

bool StartsWithNoCase(const std::string& text, const char* prefix) {
    size_t n = std::strlen(prefix);
    return text.size() >= n && _strnicmp(text.c_str(), prefix, n) == 0;
}

// Lower-case ASCII copy (header names and tokens of HTTP).
std::string Lower(std::string text) {
    for (char& c : text)
        if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
    return text;
}

std::string TrimBlanks(const std::string& text) {
    size_t begin = text.find_first_not_of(" \t");
    if (begin == std::string::npos) return std::string();
    size_t end = text.find_last_not_of(" \t");
    return text.substr(begin, end - begin + 1);
}

// UTF-8 from the server as windows-1251 for a log record or an exception text: what has
// no windows-1251 form becomes "?"; bytes that are not UTF-8 stay as they are.
string FromUtf8(const std::string& bytes) {
    if (bytes.empty()) return string("");
    int wide = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, bytes.data(), int(bytes.size()), nullptr, 0);
    if (wide <= 0) return string(bytes);
    std::wstring w(size_t(wide), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, bytes.data(), int(bytes.size()), &w[0], wide);
    int narrow = WideCharToMultiByte(1251, 0, w.data(), wide, nullptr, 0, "?", nullptr);
    if (narrow <= 0) return string(bytes);
    std::string out(size_t(narrow), '\0');
    WideCharToMultiByte(1251, 0, w.data(), wide, &out[0], narrow, "?", nullptr);
    return string(std::move(out));
}

// Every occurrence of the secret in text replaced by "***". Secrets shorter than four bytes
// are left alone: replacing them would mangle the text and hide nothing worth hiding.
std::string Scrubbed(std::string text, const SecretText& secret) {
    if (secret.Length() < 4) return text;
    std::string needle(secret.Data(), secret.Length());
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 3))
        text.replace(at, needle.size(), "***");
    SecureZeroMemory(&needle[0], needle.size());
    return text;
}

// A text from the answer fit for an exception text or a log record: no secret, one line,
// not longer than limit.
string Shown(const std::string& text, size_t limit, const OAuthSettings& settings) {
    std::string clean = Scrubbed(Scrubbed(FromUtf8(text).str(), settings.secret), settings.refreshToken);
    if (clean.size() > limit) clean = clean.substr(0, limit) + "...";
    return LogSafe(string(clean));
}

[[noreturn]] void RaiseAnswer(unsigned status, const string& what, const string& error = string()) {
    throw OAuthFailure(FormatBuffer(kFormatSize, "%s (HTTP %u): ", kFailurePrefix, status) + what, status, error);
}

// An answer without a status line that could be read.
[[noreturn]] void RaiseUnreadable(const char* what) {
    throw OAuthFailure(string(kFailurePrefix) + ": " + what, 0, string());
}

// ---- Settings --------------------------------------------------------------------------

// The URL as an exception text shows it: a user part (a password, as often as not) hidden.
[[noreturn]] void RaiseBadUrl(const string& url) {
    std::string text = url.str();
    size_t scheme = text.find("://");
    size_t from = scheme == std::string::npos ? 0 : scheme + 3;
    size_t end = text.find_first_of("/?#", from);
    size_t user = text.rfind('@', end == std::string::npos ? std::string::npos : end);
    if (user != std::string::npos && user >= from) text.replace(from, user - from, "***");
    if (text.size() > 256) text = text.substr(0, 256) + "...";
    string shown = url.IsEmpty() ? string("не задано") : "\"" + LogSafe(string(text)) + "\"";
    throw BadSetting(BadSettingText(kSmtpKeyPath, "OAuthTokenUrl", shown, kUrlAllowed));
}

// A value that the sign-in needs is missing; a protected one may also be unreadable (another
// machine's, damaged).
[[noreturn]] void RaiseMissing(const char* name, SmtpAuth auth, bool isProtected) {
    throw BadSetting(FormatBuffer(kFormatSize * 2,
                                  "Не задано%s значение %s в ключе HKEY_LOCAL_MACHINE\\%s; оно нужно для входа "
                                  "OAuth 2.0 (Auth = %lu)",
                                  isProtected ? " или не читается" : "", name, kSmtpKeyPath,
                                  static_cast<unsigned long>(auth)));
}

bool IsHostChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '.';
}

// Splits https://host[:port][/path][?query] into the settings' host, port, Host header and
// target; anything else raises BadSetting.
void ParseTokenUrl(OAuthSettings& s) {
    const std::string url = s.tokenUrl.str();
    if (!StartsWithNoCase(url, kHttpsPrefix)) RaiseBadUrl(s.tokenUrl);
    for (char c : url)  // blanks, control characters and bytes beyond ASCII are no part of a URL
        if (static_cast<unsigned char>(c) <= 0x20 || static_cast<unsigned char>(c) >= 0x7F || c == '#')
            RaiseBadUrl(s.tokenUrl);
    size_t at = std::strlen(kHttpsPrefix);
    size_t end = url.find_first_of("/?", at);
    if (end == std::string::npos) end = url.size();
    std::string authority = url.substr(at, end - at);
    if (authority.empty() || authority.find('@') != std::string::npos) RaiseBadUrl(s.tokenUrl);
    std::string host, port;
    if (authority[0] == '[') {
        size_t close = authority.find(']');
        if (close == std::string::npos) RaiseBadUrl(s.tokenUrl);
        host = authority.substr(1, close - 1);
        in6_addr probe;
        if (inet_pton(AF_INET6, host.c_str(), &probe) != 1) RaiseBadUrl(s.tokenUrl);
        std::string rest = authority.substr(close + 1);
        if (!rest.empty()) {
            if (rest[0] != ':') RaiseBadUrl(s.tokenUrl);
            port = rest.substr(1);
            if (port.empty()) RaiseBadUrl(s.tokenUrl);
        }
    } else {
        size_t colon = authority.find(':');
        host = authority.substr(0, colon);
        if (colon != std::string::npos) {
            port = authority.substr(colon + 1);
            if (port.empty()) RaiseBadUrl(s.tokenUrl);
        }
        if (host.empty() || host.size() > 255) RaiseBadUrl(s.tokenUrl);
        for (char c : host)
            if (!IsHostChar(c)) RaiseBadUrl(s.tokenUrl);
    }
    if (!port.empty()) {
        if (port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos) RaiseBadUrl(s.tokenUrl);
        unsigned long number = std::strtoul(port.c_str(), nullptr, 10);
        if (number < 1 || number > 65535) RaiseBadUrl(s.tokenUrl);
        port = std::to_string(number);
    }
    std::string target = url.substr(end);
    if (target.empty() || target[0] == '?') target = "/" + target;
    s.host = string(host);
    s.port = string(port.empty() ? std::string(kDefaultHttpsPort) : port);
    s.hostHeader = string(authority);
    s.target = string(target);
}

SmtpAuth AuthOf(const RegKey& smtp) {
    return SmtpAuth(CheckedNumber(smtp, kSmtpKeyPath, "Auth", DWORD(SmtpAuth::Password), DWORD(SmtpAuth::RefreshToken),
                                  DWORD(SmtpAuth::Password), "0, 1 или 2"));
}

// ---- The request -----------------------------------------------------------------------

bool IsUnreserved(unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
           c == '_' || c == '~';
}

// Appends name=value to a form body, the value's windows-1251 bytes as UTF-8, every byte
// but the unreserved ones percent-encoded. Nothing is left outside the wiping buffer.
void AppendField(SecretText* body, const char* name, const char* data, size_t length) {
    static const char kHex[] = "0123456789ABCDEF";
    if (!body->IsEmpty()) body->Append('&');
    body->Append(name, std::strlen(name));
    body->Append('=');
    for (size_t i = 0; i < length; ++i) {
        unsigned char c = static_cast<unsigned char>(data[i]);
        char utf8[4] = {char(c)};
        int n = 1;
        if (c >= 0x80) {
            WCHAR wide = 0;
            n = MultiByteToWideChar(1251, 0, &data[i], 1, &wide, 1) == 1
                    ? WideCharToMultiByte(CP_UTF8, 0, &wide, 1, utf8, sizeof utf8, nullptr, nullptr)
                    : 0;
            SecureZeroMemory(&wide, sizeof wide);
            if (n <= 0) {
                utf8[0] = '?';
                n = 1;
            }
        }
        for (int k = 0; k < n; ++k) {
            unsigned char b = static_cast<unsigned char>(utf8[k]);
            if (IsUnreserved(b)) {
                body->Append(char(b));
            } else {
                char escaped[3] = {'%', kHex[b >> 4], kHex[b & 15]};
                body->Append(escaped, sizeof escaped);
            }
        }
        SecureZeroMemory(utf8, sizeof utf8);
    }
}

void AppendField(SecretText* body, const char* name, const string& value) {
    AppendField(body, name, value.c_str(), value.Length());
}
void AppendField(SecretText* body, const char* name, const SecretText& value) {
    AppendField(body, name, value.Data(), value.Length());
}

// The body of the grant (client credentials, or refresh token with the given token).
void FormBody(const OAuthSettings& s, const SecretText& refreshToken, SecretText* body) {
    body->Clear();
    if (s.auth == SmtpAuth::ClientCredentials) {
        AppendField(body, "grant_type", string("client_credentials"));
        AppendField(body, "client_id", s.clientId);
        AppendField(body, "client_secret", s.secret);
    } else {
        AppendField(body, "grant_type", string("refresh_token"));
        AppendField(body, "refresh_token", refreshToken);
        AppendField(body, "client_id", s.clientId);
        if (!s.secret.IsEmpty()) AppendField(body, "client_secret", s.secret);
    }
    if (s.scope.HasText()) AppendField(body, "scope", s.scope);
}

// ---- The answer: HTTP/1.1 ----------------------------------------------------------------

struct HttpAnswer {
    unsigned status = 0;
    SecretText body;
};

// How far the answer in raw has come.
enum class Framing { Length, Chunked, UntilClose };
enum class Progress { NeedMore, Done };

// The answer so far: a final answer's status and body once all of it is there. Interim
// answers (1xx) are passed over. closed: the server has closed the connection.
Progress ParseAnswer(const SecretText& raw, bool closed, HttpAnswer* answer) {
    const char* data = raw.Data();
    size_t size = raw.Length();
    size_t at = 0;
    for (;;) {
        // The head: status line and headers up to the empty line.
        size_t headEnd = std::string::npos;
        size_t bodyAt = 0;
        for (size_t i = at; i < size; ++i) {
            if (data[i] != '\n') continue;
            if (i + 1 < size && data[i + 1] == '\n') {
                headEnd = i;
                bodyAt = i + 2;
                break;
            }
            if (i + 2 < size && data[i + 1] == '\r' && data[i + 2] == '\n') {
                headEnd = i;
                bodyAt = i + 3;
                break;
            }
        }
        if (headEnd == std::string::npos) {
            if (size - at > kHeadLimit) RaiseUnreadable("заголовок ответа длиннее допустимого");
            if (closed) throw QLAppException(kClosedText);
            return Progress::NeedMore;
        }
        if (headEnd - at > kHeadLimit) RaiseUnreadable("заголовок ответа длиннее допустимого");
        // The head holds no secret of ours: it may be copied.
        std::string head(data + at, headEnd - at);
        std::vector<std::string> lines;
        for (size_t pos = 0; pos <= head.size();) {
            size_t nl = head.find('\n', pos);
            if (nl == std::string::npos) nl = head.size();
            std::string line = head.substr(pos, nl - pos);
            if (!line.empty() && line.back() == '\r') line.pop_back();
            lines.push_back(line);
            pos = nl + 1;
        }
        const std::string& statusLine = lines[0];
        // "HTTP/1.x SSS reason": a status is exactly three digits.
        if (statusLine.size() < 12 || statusLine.compare(0, 7, "HTTP/1.") != 0 || statusLine[8] != ' ' ||
            !isdigit(static_cast<unsigned char>(statusLine[9])) || !isdigit(static_cast<unsigned char>(statusLine[10])) ||
            !isdigit(static_cast<unsigned char>(statusLine[11])) || (statusLine.size() > 12 && statusLine[12] != ' '))
            RaiseUnreadable("сервер ответил не по протоколу HTTP");
        unsigned status = unsigned(std::atoi(statusLine.substr(9, 3).c_str()));
        Framing framing = Framing::UntilClose;
        unsigned long long length = 0;
        bool haveLength = false;
        for (size_t i = 1; i < lines.size(); ++i) {
            const std::string& line = lines[i];
            size_t colon = line.find(':');
            if (colon == std::string::npos || colon == 0 || line[0] == ' ' || line[0] == '\t')
                RaiseAnswer(status, string("заголовок ответа не разобран"));
            std::string name = Lower(line.substr(0, colon));
            std::string value = TrimBlanks(line.substr(colon + 1));
            if (name == "transfer-encoding") {
                std::string codings = Lower(value);
                size_t comma = codings.rfind(',');
                std::string last = TrimBlanks(comma == std::string::npos ? codings : codings.substr(comma + 1));
                if (last != "chunked" || TrimBlanks(codings) != "chunked")
                    RaiseAnswer(status, "кодирование ответа не поддерживается (Transfer-Encoding: " + LogSafe(value) + ")");
                framing = Framing::Chunked;
            } else if (name == "content-encoding") {
                if (Lower(value) != "identity")
                    RaiseAnswer(status, "сжатие ответа не поддерживается (Content-Encoding: " + LogSafe(value) + ")");
            } else if (name == "content-length") {
                if (value.empty() || value.size() > 12 || value.find_first_not_of("0123456789") != std::string::npos)
                    RaiseAnswer(status, string("длина ответа (Content-Length) не разобрана"));
                unsigned long long n = std::strtoull(value.c_str(), nullptr, 10);
                if (haveLength && n != length) RaiseAnswer(status, string("в ответе две разные длины (Content-Length)"));
                haveLength = true;
                length = n;
            }
        }
        if (framing != Framing::Chunked && haveLength) framing = Framing::Length;
        if (status >= 100 && status < 200) {  // an interim answer: no body, the final one follows
            at = bodyAt;
            continue;
        }
        answer->status = status;
        answer->body.Clear();
        if (framing == Framing::Length) {
            if (length > kTokenAnswerLimit) RaiseAnswer(status, FormatBuffer(kFormatSize, "ответ длиннее %u байт", unsigned(kTokenAnswerLimit)));
            if (size - bodyAt < length) {
                if (closed) RaiseAnswer(status, string("ответ оборван"));
                return Progress::NeedMore;
            }
            answer->body.Assign(data + bodyAt, size_t(length));
            return Progress::Done;
        }
        if (framing == Framing::UntilClose) {
            if (!closed) return Progress::NeedMore;
            answer->body.Assign(data + bodyAt, size - bodyAt);
            return Progress::Done;
        }
        // Chunked: size in hexadecimal (extensions after ";" ignored), CR LF, the bytes, CR LF;
        // a chunk of size 0 ends the body, then trailer lines up to an empty line.
        size_t pos = bodyAt;
        for (;;) {
            const void* found = std::memchr(data + pos, '\n', size - pos);
            if (!found) break;
            size_t nl = size_t(static_cast<const char*>(found) - data);
            std::string line(data + pos, nl - pos);
            if (!line.empty() && line.back() == '\r') line.pop_back();
            std::string hex = TrimBlanks(line.substr(0, line.find(';')));
            if (hex.empty() || hex.size() > 8 || hex.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
                RaiseAnswer(status, string("блок ответа (chunked) не разобран"));
            unsigned long chunk = std::strtoul(hex.c_str(), nullptr, 16);
            pos = nl + 1;
            if (chunk == 0) {
                // Trailers, then the empty line that ends the answer.
                for (;;) {
                    const void* t = std::memchr(data + pos, '\n', size - pos);
                    if (!t) break;
                    size_t tl = size_t(static_cast<const char*>(t) - data);
                    bool empty = tl == pos || (tl == pos + 1 && data[pos] == '\r');
                    pos = tl + 1;
                    if (empty) return Progress::Done;
                }
                break;
            }
            if (answer->body.Length() + chunk > kTokenAnswerLimit)
                RaiseAnswer(status, FormatBuffer(kFormatSize, "ответ длиннее %u байт", unsigned(kTokenAnswerLimit)));
            if (size - pos < chunk + 1) break;
            answer->body.Append(data + pos, chunk);
            pos += chunk;
            if (data[pos] == '\r') {
                if (size - pos < 2) break;
                ++pos;
            }
            if (data[pos] != '\n') RaiseAnswer(status, string("блок ответа (chunked) не разобран"));
            ++pos;
        }
        if (closed) RaiseAnswer(status, string("ответ оборван"));
        answer->body.Clear();
        return Progress::NeedMore;
    }
}

// ---- The answer: JSON ----------------------------------------------------------------------

enum class JsonKind { String, Number, Literal, Nested };

struct JsonMember {
    std::string name;
    JsonKind kind = JsonKind::Nested;
    SecretText value;  // a string's bytes (UTF-8, escapes resolved) or a number's text
};

// A strict parser of one JSON object (RFC 8259): its members with string, number and literal
// values are kept; nested objects and arrays are checked and passed over. False for anything
// that is not one whole object, or a name that comes twice.
class JsonObject {
public:
    bool Parse(const char* data, size_t length) {
        data_ = data;
        end_ = data + length;
        at_ = data;
        Blank();
        if (!Object(0, true)) return false;
        Blank();
        return at_ == end_;
    }
    const JsonMember* Find(const char* name) const {
        for (const JsonMember& m : members_)
            if (m.name == name) return &m;
        return nullptr;
    }
    // A string member's bytes as text; the empty text when absent or not a string.
    std::string Text(const char* name) const {
        const JsonMember* m = Find(name);
        return m && m->kind == JsonKind::String ? std::string(m->value.Data(), m->value.Length()) : std::string();
    }

private:
    void Blank() {
        while (at_ < end_ && (*at_ == ' ' || *at_ == '\t' || *at_ == '\r' || *at_ == '\n')) ++at_;
    }
    bool Take(char c) {
        if (at_ < end_ && *at_ == c) {
            ++at_;
            return true;
        }
        return false;
    }
    bool Object(int depth, bool top) {
        if (depth > kJsonDepthLimit || !Take('{')) return false;
        Blank();
        if (Take('}')) return true;
        for (;;) {
            Blank();
            SecretText name;
            if (!String(&name)) return false;
            Blank();
            if (!Take(':')) return false;
            Blank();
            JsonMember scratch;
            JsonMember* member = &scratch;
            if (top) {
                std::string key(name.Data(), name.Length());
                if (Find(key.c_str())) return false;  // which of the two would count is anybody's guess
                members_.emplace_back();
                member = &members_.back();
                member->name = key;
            }
            if (!Value(depth, member)) return false;
            Blank();
            if (Take('}')) return true;
            if (!Take(',')) return false;
        }
    }
    bool Array(int depth) {
        if (depth > kJsonDepthLimit || !Take('[')) return false;
        Blank();
        if (Take(']')) return true;
        for (;;) {
            Blank();
            JsonMember scratch;
            if (!Value(depth, &scratch)) return false;
            Blank();
            if (Take(']')) return true;
            if (!Take(',')) return false;
        }
    }
    bool Value(int depth, JsonMember* member) {
        if (at_ >= end_) return false;
        char c = *at_;
        if (c == '"') {
            member->kind = JsonKind::String;
            return String(&member->value);
        }
        if (c == '{') {
            member->kind = JsonKind::Nested;
            return Object(depth + 1, false);
        }
        if (c == '[') {
            member->kind = JsonKind::Nested;
            return Array(depth + 1);
        }
        if (c == '-' || (c >= '0' && c <= '9')) {
            member->kind = JsonKind::Number;
            return Number(&member->value);
        }
        for (const char* literal : {"true", "false", "null"}) {
            size_t n = std::strlen(literal);
            if (size_t(end_ - at_) >= n && std::memcmp(at_, literal, n) == 0) {
                member->kind = JsonKind::Literal;
                member->value.Assign(literal, n);
                at_ += n;
                return true;
            }
        }
        return false;
    }
    bool Digits() {
        const char* start = at_;
        while (at_ < end_ && *at_ >= '0' && *at_ <= '9') ++at_;
        return at_ > start;
    }
    bool Number(SecretText* out) {
        const char* start = at_;
        Take('-');
        if (Take('0')) {
            if (at_ < end_ && *at_ >= '0' && *at_ <= '9') return false;  // no leading zeros
        } else if (!Digits()) {
            return false;
        }
        if (Take('.') && !Digits()) return false;
        if (at_ < end_ && (*at_ == 'e' || *at_ == 'E')) {
            ++at_;
            if (!Take('+')) Take('-');
            if (!Digits()) return false;
        }
        out->Assign(start, size_t(at_ - start));
        return true;
    }
    int Hex4() {
        if (end_ - at_ < 4) return -1;
        int value = 0;
        for (int i = 0; i < 4; ++i) {
            char c = *at_++;
            int d = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
            if (d < 0) return -1;
            value = value * 16 + d;
        }
        return value;
    }
    void Utf8(SecretText* out, unsigned long cp) {
        char b[4];
        size_t n;
        if (cp < 0x80) {
            b[0] = char(cp);
            n = 1;
        } else if (cp < 0x800) {
            b[0] = char(0xC0 | (cp >> 6));
            b[1] = char(0x80 | (cp & 0x3F));
            n = 2;
        } else if (cp < 0x10000) {
            b[0] = char(0xE0 | (cp >> 12));
            b[1] = char(0x80 | ((cp >> 6) & 0x3F));
            b[2] = char(0x80 | (cp & 0x3F));
            n = 3;
        } else {
            b[0] = char(0xF0 | (cp >> 18));
            b[1] = char(0x80 | ((cp >> 12) & 0x3F));
            b[2] = char(0x80 | ((cp >> 6) & 0x3F));
            b[3] = char(0x80 | (cp & 0x3F));
            n = 4;
        }
        out->Append(b, n);
        SecureZeroMemory(b, sizeof b);
    }
    bool String(SecretText* out) {
        out->Clear();
        if (!Take('"')) return false;
        for (;;) {
            if (at_ >= end_) return false;
            unsigned char c = static_cast<unsigned char>(*at_++);
            if (c == '"') return true;
            if (c < 0x20) return false;  // control characters must be escaped
            if (c != '\\') {
                out->Append(char(c));
                continue;
            }
            if (at_ >= end_) return false;
            char e = *at_++;
            switch (e) {
            case '"': out->Append('"'); break;
            case '\\': out->Append('\\'); break;
            case '/': out->Append('/'); break;
            case 'b': out->Append('\b'); break;
            case 'f': out->Append('\f'); break;
            case 'n': out->Append('\n'); break;
            case 'r': out->Append('\r'); break;
            case 't': out->Append('\t'); break;
            case 'u': {
                int first = Hex4();
                if (first < 0) return false;
                unsigned long cp = unsigned(first);
                if (first >= 0xD800 && first <= 0xDBFF) {  // a surrogate pair makes one character
                    if (!Take('\\') || !Take('u')) return false;
                    int second = Hex4();
                    if (second < 0xDC00 || second > 0xDFFF) return false;
                    cp = 0x10000 + ((unsigned long)(first - 0xD800) << 10) + unsigned(second - 0xDC00);
                } else if (first >= 0xDC00 && first <= 0xDFFF) {
                    return false;
                }
                Utf8(out, cp);
                break;
            }
            default:
                return false;
            }
        }
    }

    const char* data_ = nullptr;
    const char* end_ = nullptr;
    const char* at_ = nullptr;
    std::list<JsonMember> members_;  // a list: SecretText stays where it was made
};

// A token as RFC 6749 allows it (visible ASCII and blanks), never empty: what goes into an
// SMTP command line can never break it.
bool IsTokenText(const SecretText& token) {
    if (token.IsEmpty()) return false;
    for (size_t i = 0; i < token.Length(); ++i) {
        unsigned char c = static_cast<unsigned char>(token.Data()[i]);
        if (c < 0x20 || c > 0x7E) return false;
    }
    return true;
}

// expires_in as seconds: a JSON number or a text of digits (some servers send one); false
// when it is neither. Fractions are cut off; lifetimes beyond a year are taken as a year.
bool LifetimeOf(const JsonMember& m, double* seconds) {
    if (m.kind != JsonKind::Number && m.kind != JsonKind::String) return false;
    std::string text(m.value.Data(), m.value.Length());
    if (text.empty() || text.find_first_not_of("0123456789.eE+") != std::string::npos) return false;
    char* end = nullptr;
    double value = std::strtod(text.c_str(), &end);
    if (!end || *end || !(value >= 0)) return false;
    *seconds = value > kLongestLifetimeSeconds ? kLongestLifetimeSeconds : double((long long)value);
    return true;
}

string TimeText(const RealTime& local) {
    SYSTEMTIME t = local;
    return FormatBuffer(64, "%04u-%02u-%02u %02u:%02u:%02u", t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond);
}

// The exchange is never traced: its bytes carry the secrets.
const DWORD kNoTrace = 0;

// Connects to the endpoint, speaks TLS, sends the request and reads the answer.
void Exchange(StopTest& stop, Runlog& log, const OAuthSettings& s, const SecretText& body, HttpAnswer* answer) {
    const OAuthTimeouts& t = TokenTimeouts();
    log.WriteText(Runlog::Detail, "Сервер маркеров OAuth: " + LogSafe(s.host) + ", порт: " + s.port);
    SmtpConnection connection(stop, kNoTrace, log);
    connection.policy = s.policy;
    AddrInfoRequest request(AF_UNSPEC, SOCK_STREAM, IPPROTO_TCP);
    const addrinfo* first = request.Resolve(s.host.c_str(), s.port.c_str());
    if (!first)
        throw QLAppException(FormatBuffer(kFormatSize, "Не удаётся разрешить адрес сервера маркеров, ошибка Winsock: %u",
                                          unsigned(WSAGetLastError())));
    size_t count = 0;
    for (const addrinfo* a = first; a; a = a->ai_next) ++count;
    DWORD start = GetTickCount();
    for (const addrinfo* a = first; a; a = a->ai_next, --count) {
        DWORD elapsed = GetTickCount() - start;
        DWORD share = (elapsed >= t.connect ? 0 : t.connect - elapsed) / DWORD(count);
        try {
            connection.Open(a->ai_addr, int(a->ai_addrlen), share ? share : 1);
            break;
        } catch (const QuilletException&) {
            if (!a->ai_next || stop.CheckStop(true)) throw;
        }
    }
    connection.StartTls(t.handshake);

    SecretText message;
    std::string head = "POST " + s.target.str() + " HTTP/1.1\r\nHost: " + s.hostHeader.str() +
                       "\r\nUser-Agent: Postvane/" + kVersion +
                       "\r\nAccept: application/json\r\nContent-Type: application/x-www-form-urlencoded\r\n"
                       "Content-Length: " + std::to_string(body.Length()) + "\r\nConnection: close\r\n\r\n";
    message.Append(head.data(), head.size());
    message.Append(body.Data(), body.Length());
    connection.Send(message.Data(), message.Length(), t.send);
    message.Clear();

    SecretText raw;
    char block[kReadBlock];
    DWORD asked = GetTickCount();
    bool closed = false;
    try {
        while (ParseAnswer(raw, closed, answer) == Progress::NeedMore) {
            if (raw.Length() > kTokenAnswerLimit + kHeadLimit)
                RaiseAnswer(answer->status, FormatBuffer(kFormatSize, "ответ длиннее %u байт", unsigned(kTokenAnswerLimit)));
            DWORD elapsed = GetTickCount() - asked;
            if (elapsed >= t.answer) throw QLAppException("Таймаут ввода от сервера");
            try {
                size_t got = connection.Receive(block, sizeof block, true, t.answer - elapsed);
                raw.Append(block, got);
            } catch (const QuilletException& e) {
                // A close ends an answer that runs until the close; any other failure is one.
                if (stop.CheckStop(true) || e.Reason() != kClosedText) throw;
                closed = true;
            }
        }
    } catch (...) {
        SecureZeroMemory(block, sizeof block);
        throw;
    }
    SecureZeroMemory(block, sizeof block);
    connection.Close();
}

}  // namespace

// ---- Settings ------------------------------------------------------------------------------

SmtpAuth ReadSmtpAuth(HKEY settings) {
    std::unique_ptr<RegKey> smtp = OpenSmtpKey(settings, KEY_READ);
    return AuthOf(*smtp);
}

void ReadOAuthSettings(OAuthSettings* out, HKEY settings) {
    OAuthSettings& s = *out;
    std::unique_ptr<RegKey> key = OpenSmtpKey(settings, KEY_READ);
    const RegKey& smtp = *key;
    s.auth = AuthOf(smtp);
    s.secret.Clear();
    s.refreshToken.Clear();
    if (s.auth == SmtpAuth::Password) return;
    s.tokenUrl = smtp["OAuthTokenUrl"];
    ParseTokenUrl(s);
    s.clientId = smtp["OAuthClientId"];
    if (s.clientId.IsEmpty()) RaiseMissing("OAuthClientId", s.auth, false);
    s.scope = smtp["OAuthScope"];
    LoadSecret(smtp.Handle(), "OAuthSecret", &s.secret);
    LoadSecret(smtp.Handle(), "OAuthRefreshToken", &s.refreshToken);
    if (s.auth == SmtpAuth::ClientCredentials && s.secret.IsEmpty()) RaiseMissing("OAuthSecret", s.auth, true);
    if (s.auth == SmtpAuth::RefreshToken && s.refreshToken.IsEmpty()) RaiseMissing("OAuthRefreshToken", s.auth, true);
    s.policy.mode = TlsMode::Implicit;
    s.policy.host = s.host;
    s.policy.rootFile = smtp["TlsRootCertificate"];
    s.policy.skipCheck = CheckedNumber(smtp, kSmtpKeyPath, "TlsSkipCheck", 0, 1, 0, "0 или 1") == 1;
}

OAuthTimeouts& TokenTimeouts() {
    static OAuthTimeouts timeouts;
    return timeouts;
}

// ---- The token source ----------------------------------------------------------------------

OAuthTokenSource::OAuthTokenSource(StopTest& stop, Runlog& log) : stop_(stop), log_(log) {}

void OAuthTokenSource::AccessToken(SecretText* token) {
    OAuthSettings settings;
    ReadOAuthSettings(&settings, settingsKey);
    if (settings.auth == SmtpAuth::Password) throw QLAppException("Вход OAuth 2.0 не включён (Auth = 0)");
    string identity = FormatBuffer(32, "%lu ", static_cast<unsigned long>(settings.auth)) + settings.tokenUrl + "\n" +
                      settings.clientId + "\n" + settings.scope;
    RealTime now = RealTime::Now().UTC();
    bool fresh = !token_.IsEmpty() && identity == tokenFor_ &&
                 now + RealTime(kTokenMarginSeconds * RealTime::Second) < expiresUtc_;
    if (!fresh) {
        Drop();
        Fetch(settings);
        tokenFor_ = identity;
    }
    CopySecret(token_, token);
}

void OAuthTokenSource::Drop() {
    token_.Clear();
    tokenFor_ = string();
}

void OAuthTokenSource::Fetch(OAuthSettings& s) {
    endpoint_ = s.tokenUrl;
    lastStatus_ = 0;
    // A rotated refresh token that could not be stored stands in for the one it replaced.
    SecretText refresh;
    bool fromMemory = s.auth == SmtpAuth::RefreshToken && !unsavedRefresh_.IsEmpty() &&
                      SameBytes(s.refreshToken, replacedRefresh_);
    CopySecret(fromMemory ? unsavedRefresh_ : s.refreshToken, &refresh);
    if (!fromMemory) {
        unsavedRefresh_.Clear();
        replacedRefresh_.Clear();
    }
    SecretText body;
    FormBody(s, refresh, &body);

    HttpAnswer answer;
    try {
        Exchange(stop_, log_, s, body, &answer);
    } catch (const OAuthFailure&) {
        throw;
    } catch (const QuilletException& e) {
        if (stop_.CheckStop(true)) throw QLAppException(kStopText);
        throw OAuthFailure(string(kFailurePrefix) + " от " + LogSafe(s.host) + ": " + e.Reason(), 0, string());
    }
    body.Clear();
    lastStatus_ = answer.status;

    JsonObject json;
    bool parsed = json.Parse(answer.body.Data(), answer.body.Length());
    answer.body.Clear();
    if (answer.status < 200 || answer.status > 299) {
        std::string error = parsed ? json.Text("error") : std::string();
        if (error.empty())
            RaiseAnswer(answer.status, string(parsed ? "ответ без кода ошибки OAuth" : "ответ не в формате JSON"));
        string shownError = Shown(error, kShownError, s);
        std::string description = json.Text("error_description");
        string text = shownError;
        if (!description.empty()) text = text + " (" + Shown(description, kShownDescription, s) + ")";
        RaiseAnswer(answer.status, text, shownError);
    }
    if (!parsed) RaiseAnswer(answer.status, string("ответ не в формате JSON"));
    const JsonMember* access = json.Find("access_token");
    if (!access || access->kind != JsonKind::String || access->value.IsEmpty())
        RaiseAnswer(answer.status, string("в ответе нет маркера доступа (access_token)"));
    if (!IsTokenText(access->value))
        RaiseAnswer(answer.status, string("маркер доступа содержит недопустимые знаки"));
    std::string type = json.Text("token_type");
    if (json.Find("token_type") && Lower(type) != "bearer")
        RaiseAnswer(answer.status, "тип маркера \"" + Shown(type, kShownError, s) + "\" не поддерживается (нужен Bearer)");
    double lifetime = kUnknownLifetimeSeconds;
    if (const JsonMember* expires = json.Find("expires_in")) {
        if (!LifetimeOf(*expires, &lifetime)) RaiseAnswer(answer.status, string("срок действия (expires_in) не разобран"));
    }
    std::string granted = json.Text("scope");
    grantedScope_ = granted.empty() ? s.scope : Shown(granted, kShownScope, s);
    CopySecret(access->value, &token_);
    expiresUtc_ = RealTime::Now().UTC() + RealTime(lifetime * RealTime::Second);

    // A new refresh token replaces the old one at once: the server may already have
    // revoked the old one.
    const JsonMember* rotated = json.Find("refresh_token");
    if (s.auth == SmtpAuth::RefreshToken && rotated && rotated->kind == JsonKind::String && !rotated->value.IsEmpty() &&
        !SameBytes(rotated->value, refresh)) {
        if (!IsTokenText(rotated->value)) {
            log_.WriteText(Runlog::Error, "Сервер маркеров OAuth прислал маркер обновления с недопустимыми знаками; "
                                          "он не сохранён");
        } else {
            DWORD error = 0;
            bool saved = StoreRefresh(rotated->value, refresh, &error);
            if (saved) {
                unsavedRefresh_.Clear();
                replacedRefresh_.Clear();
                log_.WriteText(Runlog::Detail, "Сервер маркеров OAuth выдал новый маркер обновления; он сохранён");
            } else {
                if (!fromMemory) CopySecret(s.refreshToken, &replacedRefresh_);
                CopySecret(rotated->value, &unsavedRefresh_);
                log_.Write(Runlog::Error,
                           "Новый маркер обновления OAuth не удаётся сохранить (ошибка %lu); до перезапуска сервиса "
                           "он хранится в памяти",
                           static_cast<unsigned long>(error));
            }
        }
    } else if (fromMemory) {
        // The endpoint kept the token from memory: try once more to store it.
        DWORD error = 0;
        if (StoreRefresh(unsavedRefresh_, replacedRefresh_, &error)) {
            unsavedRefresh_.Clear();
            replacedRefresh_.Clear();
        }
    }
    log_.WriteText(Runlog::Detail, "Маркер доступа OAuth получен от " + LogSafe(s.host) +
                                       FormatBuffer(kFormatSize, " (HTTP %u): действует %.0f с", answer.status, lifetime) +
                                       (grantedScope_.HasText() ? ", разрешения: " + LogSafe(grantedScope_) : string("")));
}

bool OAuthTokenSource::StoreRefresh(const SecretText& rotated, const SecretText& used, DWORD* error) {
    SecretText stored;
    CopySecret(rotated, &stored);
    stored.Append('\0');
    std::unique_ptr<RegKey> key = OpenSmtpKey(settingsKey, KEY_SET_VALUE);
    bool saved = key->IsOpen() && StoreSecret(kSecretDescription, key->Handle(), "OAuthRefreshToken", stored.Data());
    *error = saved ? 0 : (key->IsOpen() ? GetLastError() : DWORD(ERROR_FILE_NOT_FOUND));
    if (settingsKey) {
        // The token used may have been the service's own: a provider that honours only the
        // newest one would otherwise leave the service with a dead token.
        std::unique_ptr<RegKey> configured = OpenSmtpKey(nullptr, KEY_QUERY_VALUE | KEY_SET_VALUE);
        SecretText current;
        if (configured->IsOpen() && LoadSecret(configured->Handle(), "OAuthRefreshToken", &current) &&
            SameBytes(current, used) &&
            !StoreSecret(kSecretDescription, configured->Handle(), "OAuthRefreshToken", stored.Data()))
            log_.Write(Runlog::Error, "Новый маркер обновления OAuth не удаётся сохранить в настройках сервиса (ошибка %lu)",
                       static_cast<unsigned long>(GetLastError()));
    }
    return saved;
}

string OAuthTokenSource::Describe() const {
    if (endpoint_.IsEmpty()) return string("Маркер доступа OAuth не запрашивался");
    string text = "Маркер доступа OAuth: " + LogSafe(endpoint_) +
                  (lastStatus_ ? FormatBuffer(32, ", HTTP %u", lastStatus_) : string(", ответа нет"));
    if (token_.IsEmpty()) return text + ", маркера нет";
    double left = (expiresUtc_ - RealTime::Now().UTC()).value / RealTime::Second;
    text = text + ", действует до " + TimeText(expiresUtc_.Local()) +
           FormatBuffer(64, " (ещё %.0f с)", left > 0 ? left : 0.0);
    if (grantedScope_.HasText()) text = text + ", разрешения: " + LogSafe(grantedScope_);
    return text;
}

}  // namespace Postvane
