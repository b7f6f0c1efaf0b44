#include "Page_Email.h"
#include <winsock2.h>
#include <ws2tcpip.h>
#include <commctrl.h>
#include <commdlg.h>
#include <cstdlib>
#include <cstring>
#include <type_traits>
#include <vector>
#include "AutoLayout.h"
#include "Postvane.h"
#include "Secret.h"
#include "qlframe.h"

namespace {

const char kPageTitle[] = "Электронная почта";
const char kMailKey[] = "Software\\Quillet\\Pennark\\Kiosk\\Mail";
const char kSmtpSubkey[] = "SMTP";
const char kDefaultPort[] = "25";
const char kPasswordValue[] = "Pass";
const char kSecretValue[] = "OAuthSecret";
const char kRefreshValue[] = "OAuthRefreshToken";

const char kPasswordMismatch[] = "Пароль не соответствует повторному вводу";
const char kEmptyPasswordQuestion[] = "Задаём пустой пароль?";
const UINT kQuestionStyle = MB_OKCANCEL | MB_ICONQUESTION | MB_DEFBUTTON2;  // 0x121
const char kPasswordNotStored[] = "Пароль не сохранён: ";
const char kSecretNotStored[] = "Секрет клиента не сохранён: ";
const char kRefreshNotStored[] = "Маркер обновления не сохранён: ";
const char kRetryName[] = "Задержка повтора при ошибках почты, с";

// The connection's security modes, by the number stored as Tls: plain SMTP, STARTTLS, TLS from
// the first byte. The items' index is the number.
const wchar_t* const kSecurityModes[] = {L"Нет (обычный SMTP)", L"STARTTLS (порт 587)", L"SSL/TLS (порт 465)"};
const int kSecurityModeCount = 3;
// The ways of signing in, by the number stored as Auth.
const wchar_t* const kSignInMethods[] = {L"Пароль", L"OAuth 2.0: данные клиента", L"OAuth 2.0: маркер обновления"};
const int kSignInMethodCount = 3;
const int kPasswordSignIn = 0;
const int kClientCredentials = 1;
const int kRefreshTokenGrant = 2;

// The fields' names in the operator's messages, as their labels read.
const char kServerName[] = "Почтовый сервер";
const char kPortName[] = "SMTP порт";
const char kPasswordName[] = "Пароль";
const char kSecurityName[] = "Шифрование соединения";
const char kRootName[] = "Корневой сертификат";
const char kSkipCheckName[] = "Не проверять сертификат сервера";
const char kTokenUrlName[] = "Сервер маркеров (URL)";
const char kClientIdName[] = "Идентификатор клиента";
const char kSecretName[] = "Секрет клиента";
const char kRefreshName[] = "Маркер обновления";
const char kMaxAgeName[] = "Срок доставки письма, с";
const char kKeepDaysName[] = "Хранить архив и журналы, дней";

const char kServerMissing[] = "пустое значение: без сервера почта не может быть отправлена.";
const char kPortRange[] = "номер порта - целое число от 1 до 65535, только цифры (\"";
const char kIntegerFormat[] = "ошибка формата целого числа (\"";
const char kRetryRange[] = "задержка - целое число секунд от 0 до 2147483647 (\"";
const char kNumberRange[] = "целое число от 0 до 2147483647 (\"";
const char kPasswordCharacters[] =
    "в пароле есть символы, которых нет в кодировке windows-1251: сервер получил бы другой пароль.";
const char kSecretCharacters[] =
    "в значении есть символы, которых нет в кодировке windows-1251: сервер получил бы другое значение.";
const char kRootMissing[] = "файл не найден (\"";
const char kOAuthNeedsTls[] =
    "вход OAuth 2.0 возможен только в защищённом соединении: выберите STARTTLS или SSL/TLS.";
const char kTokenUrlForm[] = "нужен адрес вида https://сервер[:порт][/путь] (\"";
const char kClientIdMissing[] = "пустое значение: без него вход OAuth 2.0 невозможен.";
const char kSecretMissing[] =
    "пустое значение, и сохранённого нет: для входа по данным клиента нужен секрет клиента.";
const char kRefreshMissing[] =
    "пустое значение, и сохранённого нет: для входа по маркеру обновления нужен маркер обновления.";
const char kSkipCheckWarning[] =
    "проверка сертификата отключена: посторонний сервер сможет выдать себя за почтовый и получить "
    "пароль и письма. Это допустимо только в испытательной сети.";
const char kValueTail[] = "\")";

const unsigned long kLargestPort = 65535;
const unsigned long kLargestNumber = 0x7FFFFFFF;

// The defaults the service takes for an absent message lifetime (five days) and retention.
const unsigned kDefaultMaxAge = 432000;
const unsigned kDefaultKeepDays = 30;

// The connection test's texts.
const char kTestButton[] = "Проверит&ь соединение";
const char kCancelButton[] = "Прерват&ь проверку";
const char kTestRunning[] = "Проверка соединения...";
const char kTestCancelling[] = "Проверка прерывается...";
const char kTestFailedNoText[] = "Проверка не удалась: ошибка Windows %lu.";
const char kTestNotStarted[] = "Проверку не удалось начать: ";
// The scratch key under the SMTP key that carries the page's values to the test: volatile,
// named by the process and a counter, so that two pages never share one.
const char kScratchKeyFormat[] = "Connection Test %lu-%ld";
// The message the worker posts to the page when the test has ended; lParam is the run's serial.
const wchar_t kTestEndedMessage[] = L"Postdesk connection test ended";

// The queue's lines.
const UINT_PTR kQueueTimer = 1;
const UINT_PTR kSubclassId = 0x50444B31;  // "PDK1"
const char kQueueUnreadable[] = "Сведения об очереди не читаются: ошибка Windows %lu.";

// True when text is one or more decimal digits and nothing else.
bool AllDigits(const string& text) {
    if (text.IsEmpty()) return false;
    for (size_t i = 0; i < text.Length(); ++i)
        if (text[i] < '0' || text[i] > '9') return false;
    return true;
}

// The number that text spells in decimal digits alone (no sign, no blank), at most limit;
// false for anything else.
bool ReadDigits(const string& text, unsigned long limit, unsigned long* out) {
    if (!AllDigits(text)) return false;
    unsigned long long number = 0;
    for (size_t i = 0; i < text.Length(); ++i) {
        number = number * 10 + unsigned(text[i] - '0');
        if (number > limit) return false;
    }
    *out = static_cast<unsigned long>(number);
    return true;
}

// True when text is nothing but blanks.
bool IsBlank(const string& text) {
    for (size_t i = 0; i < text.Length(); ++i)
        if (text[i] != ' ' && text[i] != '\t') return false;
    return true;
}

// The field's text as the operator typed it, in windows-1251 into *out (wiped as it goes); false
// when a character has no place in that code page (the text would reach the server changed).
bool ReadTypedText(HWND field, SecretText* out) {
    out->Clear();
    int length = GetWindowTextLengthW(field);
    if (length < 0) length = 0;
    std::vector<wchar_t> wide(size_t(length) + 1, L'\0');
    int read = GetWindowTextW(field, wide.data(), int(wide.size()));
    bool representable = true;
    if (read > 0) {
        BOOL substituted = FALSE;
        int size = WideCharToMultiByte(1251, WC_NO_BEST_FIT_CHARS, wide.data(), read, nullptr, 0, nullptr, &substituted);
        if (size <= 0 || substituted) {
            representable = false;
        } else {
            std::vector<char> narrow(size_t(size), '\0');
            WideCharToMultiByte(1251, WC_NO_BEST_FIT_CHARS, wide.data(), read, narrow.data(), size, nullptr,
                                &substituted);
            if (substituted) representable = false;
            else out->Assign(narrow.data(), narrow.size());
            SecureZeroMemory(narrow.data(), narrow.size());
        }
    }
    SecureZeroMemory(wide.data(), wide.size() * sizeof(wchar_t));
    if (!representable) out->Clear();
    return representable;
}

// The same as a NUL-terminated text for StoreSecret.
bool ReadTypedSecret(HWND field, SecretText* out) {
    if (!ReadTypedText(field, out)) return false;
    if (!out->IsEmpty()) out->Append('\0');
    return true;
}

// True when url is a token endpoint the service takes: https://host[:port][/path][?query],
// host a name of letters, digits, "-" and "." or a bracketed IPv6 address, port 1 to 65535,
// nothing but printable ASCII without blanks and without a fragment or a user part.
bool IsTokenUrl(const std::string& url) {
    const char prefix[] = "https://";
    const size_t prefixLength = sizeof prefix - 1;
    if (url.size() < prefixLength || CompareStringA(LOCALE_INVARIANT, NORM_IGNORECASE, url.c_str(), int(prefixLength),
                                                    prefix, int(prefixLength)) != CSTR_EQUAL)
        return false;
    for (char c : url)
        if (static_cast<unsigned char>(c) <= 0x20 || static_cast<unsigned char>(c) >= 0x7F || c == '#') return false;
    size_t end = url.find_first_of("/?", prefixLength);
    if (end == std::string::npos) end = url.size();
    std::string authority = url.substr(prefixLength, end - prefixLength);
    if (authority.empty() || authority.find('@') != std::string::npos) return false;
    std::string port;
    bool hasPort = false;
    if (authority[0] == '[') {
        size_t close = authority.find(']');
        if (close == std::string::npos) return false;
        std::string host = authority.substr(1, close - 1);
        in6_addr probe;
        if (inet_pton(AF_INET6, host.c_str(), &probe) != 1) return false;
        std::string rest = authority.substr(close + 1);
        if (!rest.empty()) {
            if (rest[0] != ':') return false;
            hasPort = true;
            port = rest.substr(1);
        }
    } else {
        size_t colon = authority.find(':');
        std::string host = authority.substr(0, colon);
        if (colon != std::string::npos) {
            hasPort = true;
            port = authority.substr(colon + 1);
        }
        if (host.empty() || host.size() > 255) return false;
        for (char c : host)
            if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '.'))
                return false;
    }
    if (!hasPort) return true;
    unsigned long number = 0;
    return port.size() <= 5 && ReadDigits(string(port.c_str()), kLargestPort, &number) && number >= 1;
}

// A stored number's text for a field: a number as "%u", a text as it is, an absent value the
// service's default.
string StoredNumberText(const RegKey& key, const char* name, unsigned absent) {
    RegKey::Value value = key[name];
    string text = value.Text();
    if (!text.IsNull()) return text;
    return FormatBuffer(256, "%u", value.Valid() ? unsigned(value.Number()) : absent);
}

// Whether the protected value holds a secret the service can read.
bool HasStoredSecret(const char* name) {
    RegKey smtp(HKEY_LOCAL_MACHINE, (string(kMailKey) + "\\" + kSmtpSubkey).c_str(), false, RegKey::ReadAccess);
    if (!smtp.IsOpen()) return false;
    SecretText text;
    return LoadSecret(smtp.Handle(), name, &text) && !text.IsEmpty();
}

// Copies one value (any type) from one key to another as it is; nothing when it is absent.
void CopyValue(HKEY from, HKEY to, const char* name) {
    DWORD type = 0, size = 0;
    if (RegQueryValueExA(from, name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS) return;
    std::vector<BYTE> bytes(size_t(size) + 1, 0);
    DWORD read = size;
    if (RegQueryValueExA(from, name, nullptr, &type, bytes.data(), &read) == ERROR_SUCCESS)
        CheckErrorCode(RegSetValueExA(to, name, 0, type, bytes.data(), read), __FILE__, __LINE__);
    SecureZeroMemory(bytes.data(), bytes.size());
}

// Whether a value exists in the key.
bool HasValue(HKEY key, const char* name) {
    return RegQueryValueExA(key, name, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
}

// Sets a text value; an empty text is written only over a value that exists, so that an absent
// value the page shows as empty stays absent.
void SetText(const RegKey& key, const char* name, const string& text) {
    if (text.HasText() || HasValue(key.Handle(), name)) key[name] = text;
}

// The item chosen in a drop-down list, -1 when none.
int ChosenItem(HWND list) { return int(ControlPort(list).Send(CB_GETCURSEL, 0, 0)); }

// Fills a drop-down list with the page's items (shown whatever the system's code page) and
// chooses the stored number's item; a number the page does not know chooses nothing: it
// stays as it is until chosen anew.
void FillList(HWND list, const wchar_t* const* items, int count, int chosen) {
    SendMessageW(list, CB_RESETCONTENT, 0, 0);
    for (int i = 0; i < count; ++i) SendMessageW(list, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(items[i]));
    ControlPort(list).Send(CB_SETCURSEL, chosen >= 0 && chosen < count ? WPARAM(chosen) : WPARAM(-1), 0);
}

// A text from the service for one line of the page: control characters become blanks.
string OneLine(const char* text) {
    std::string line(text);
    for (char& c : line)
        if (static_cast<unsigned char>(c) < 0x20) c = ' ';
    return string(line.c_str());
}

// A span of seconds as the queue's line shows it: "45 с", "12 мин", "2 ч 15 мин", "3 дн 4 ч".
string AgeText(DWORD seconds) {
    if (seconds < 60) return FormatBuffer(64, "%lu с", static_cast<unsigned long>(seconds));
    DWORD minutes = seconds / 60;
    if (minutes < 60) return FormatBuffer(64, "%lu мин", static_cast<unsigned long>(minutes));
    DWORD hours = minutes / 60;
    if (hours < 24)
        return FormatBuffer(64, "%lu ч %lu мин", static_cast<unsigned long>(hours), static_cast<unsigned long>(minutes % 60));
    return FormatBuffer(64, "%lu дн %lu ч", static_cast<unsigned long>(hours / 24), static_cast<unsigned long>(hours % 24));
}

// Where a secret that could not be stored is reported from.
const char kPageSource[] = "settings/Page_Email";

// Every control but the check box and those of the sign-in methods, in the order they are
// enabled.
const int kFields[] = {
    IDC_SERVER_LABEL, IDC_SERVER, IDC_PORT_LABEL, IDC_PORT, IDC_TLS_LABEL, IDC_TLS, IDC_ROOT_LABEL, IDC_ROOT,
    IDC_ROOT_BROWSE, IDC_SKIP_CHECK, IDC_AUTH_LABEL, IDC_AUTH, IDC_LOGIN_LABEL, IDC_LOGIN, IDC_SENDER_LABEL,
    IDC_SENDER, IDC_RECIPIENT_LABEL, IDC_RECIPIENT, IDC_RETRY_LABEL, IDC_RETRY, IDC_RETRY_SPIN, IDC_MAX_AGE_LABEL,
    IDC_MAX_AGE, IDC_KEEP_DAYS_LABEL, IDC_KEEP_DAYS,
};
// The fields of each sign-in method.
const int kPasswordFields[] = {IDC_PASSWORD_LABEL, IDC_PASSWORD, IDC_PASSWORD2_LABEL, IDC_PASSWORD2};
const int kOAuthFields[] = {IDC_TOKEN_URL_LABEL, IDC_TOKEN_URL, IDC_CLIENT_ID_LABEL, IDC_CLIENT_ID,
                            IDC_SECRET_LABEL,    IDC_SECRET,    IDC_SCOPE_LABEL,     IDC_SCOPE};
const int kRefreshFields[] = {IDC_REFRESH_LABEL, IDC_REFRESH};

// Owner of an open registry key.
struct KeyClose {
    void operator()(HKEY key) const { RegCloseKey(key); }
};
typedef std::unique_ptr<std::remove_pointer<HKEY>::type, KeyClose> KeyOwner;

// Runs work of the page's window procedure: nothing may leave it, and what fails is shown on
// the line given.
template <class F>
void InWindowProcedure(HWND line, F&& body) noexcept {
    try {
        body();
    } catch (const QuilletException& e) {
        SetWindowTextA(line, OneLine(e.Reason().c_str()).c_str());
    } catch (...) {
        SetWindowTextA(line, "Внутренняя ошибка страницы");
    }
}

UINT TestEndedMessage() {
    static const UINT message = RegisterWindowMessageW(kTestEndedMessage);
    return message;
}

}  // namespace

// What the page and the worker of one connection test share. The worker owns the keys and
// clears them when the test has ended; the page reads the outcome once the worker has posted
// that it ended.
struct ConnectionTestRun {
    HWND page = nullptr;
    LONG serial = 0;
    AHandle cancel;            // manual-reset event: set, the test ends within about a second
    KeyOwner smtp;             // the SMTP key, parent of the scratch key
    KeyOwner scratch;          // the page's values (closed before it is deleted)
    string scratchName;
    HMODULE module = nullptr;  // the worker's reference on this module
    BOOL succeeded = FALSE;
    DWORD error = ERROR_IO_PENDING;
    char outcome[1024] = "";
};

namespace {

// The worker of a connection test: the test, the scratch key deleted, the page told. It holds
// its own reference on the module, so that the module stays loaded until the thread is gone.
DWORD WINAPI ConnectionTestThread(void* parameter) {
    HMODULE module = nullptr;
    {
        std::unique_ptr<std::shared_ptr<ConnectionTestRun>> holder(static_cast<std::shared_ptr<ConnectionTestRun>*>(parameter));
        ConnectionTestRun& run = **holder;
        module = run.module;
        BOOL succeeded = SmtpTestConnection(run.scratch.get(), run.cancel.Get(), run.outcome, sizeof run.outcome);
        run.error = succeeded ? 0 : GetLastError();
        run.succeeded = succeeded;
        run.scratch.reset();
        RegDeleteKeyA(run.smtp.get(), run.scratchName.c_str());
        run.smtp.reset();
        PostMessageW(run.page, TestEndedMessage(), 0, LPARAM(run.serial));
    }
    FreeLibraryAndExitThread(module, 0);
    return 0;
}

}  // namespace

// The values of the page once checked, as they are stored.
struct Page_Email::Values {
    string server, port, login, root, tokenUrl, clientId, scope, sender, recipient;
    int tls = -1;   // -1: a number the page does not know, left as stored
    int auth = -1;
    bool skipCheck = false;
    bool passwordTyped = false;
    string password;
    SecretText secret;   // typed, with its terminating zero; empty: not typed
    SecretText refresh;
    int retry = 0;
    string maxAge;       // null: left as loaded
    string keepDays;
};

const HelpTopic kEmailHelpTopics[] = {
    {IDC_MAIL_ENABLED, 9},
    {IDC_SERVER_LABEL, 1}, {IDC_SERVER, 1},
    {IDC_PORT_LABEL, 2}, {IDC_PORT, 2},
    {IDC_LOGIN_LABEL, 3}, {IDC_LOGIN, 3},
    {IDC_PASSWORD_LABEL, 4}, {IDC_PASSWORD, 4}, {IDC_PASSWORD2_LABEL, 4}, {IDC_PASSWORD2, 4},
    {IDC_SENDER_LABEL, 6}, {IDC_SENDER, 6},
    {IDC_RECIPIENT_LABEL, 7}, {IDC_RECIPIENT, 7},
    {IDC_RETRY_LABEL, 8}, {IDC_RETRY, 8}, {IDC_RETRY_SPIN, 8},
    {IDC_TLS_LABEL, 10}, {IDC_TLS, 10},
    {IDC_ROOT_LABEL, 11}, {IDC_ROOT, 11}, {IDC_ROOT_BROWSE, 11},
    {IDC_SKIP_CHECK, 12},
    {IDC_AUTH_LABEL, 13}, {IDC_AUTH, 13},
    {IDC_TOKEN_URL_LABEL, 14}, {IDC_TOKEN_URL, 14},
    {IDC_CLIENT_ID_LABEL, 15}, {IDC_CLIENT_ID, 15},
    {IDC_SECRET_LABEL, 16}, {IDC_SECRET, 16},
    {IDC_SCOPE_LABEL, 17}, {IDC_SCOPE, 17},
    {IDC_REFRESH_LABEL, 18}, {IDC_REFRESH, 18},
    {IDC_MAX_AGE_LABEL, 19}, {IDC_MAX_AGE, 19},
    {IDC_KEEP_DAYS_LABEL, 20}, {IDC_KEEP_DAYS, 20},
    {IDC_TEST, 21}, {IDC_TEST_STATUS, 21},
    {IDC_QUEUE_WAITING, 22}, {IDC_QUEUE_FAILURE, 22}, {IDC_QUEUE_BAD_MAIL, 22},
    {0, 0},
};

// The left column (server and sign-in, the longer values) stretches with the page; the right
// column moves with the page's right edge, its controls keeping their width; the up-down stays
// at the right edge of its buddy.
const int kEmailLayoutRules[][7] = {
    {IDC_MAIL_ENABLED, 0, 2, 0, 2, 0, 0},
    {IDC_SERVER_GROUP, 0, 2, 0, 2, 0, 0},
    {IDC_SERVER, 0, 2, 0, 2, 0, 0},
    {IDC_PORT, 0, 2, 0, 2, 0, 0},
    {IDC_TLS, 0, 2, 0, 2, 0, 0},
    {IDC_ROOT, 0, 2, 0, 2, 0, 0},
    {IDC_ROOT_BROWSE, 1, 0, 0, 2, 0, 0},
    {IDC_SKIP_CHECK, 0, 2, 0, 2, 0, 0},
    {IDC_SIGN_IN_GROUP, 0, 2, 0, 2, 0, 0},
    {IDC_AUTH, 0, 2, 0, 2, 0, 0},
    {IDC_LOGIN, 0, 2, 0, 2, 0, 0},
    {IDC_PASSWORD, 0, 2, 0, 2, 0, 0},
    {IDC_PASSWORD2, 0, 2, 0, 2, 0, 0},
    {IDC_TOKEN_URL, 0, 2, 0, 2, 0, 0},
    {IDC_CLIENT_ID, 0, 2, 0, 2, 0, 0},
    {IDC_SECRET, 0, 2, 0, 2, 0, 0},
    {IDC_SCOPE, 0, 2, 0, 2, 0, 0},
    {IDC_REFRESH, 0, 2, 0, 2, 0, 0},
    {IDC_ADDRESS_GROUP, 1, 0, 0, 2, 0, 0},
    {IDC_SENDER_LABEL, 1, 0, 0, 2, 0, 0},
    {IDC_SENDER, 1, 0, 0, 2, 0, 0},
    {IDC_RECIPIENT_LABEL, 1, 0, 0, 2, 0, 0},
    {IDC_RECIPIENT, 1, 0, 0, 2, 0, 0},
    {IDC_DELIVERY_GROUP, 1, 0, 0, 2, 0, 0},
    {IDC_RETRY_LABEL, 1, 0, 0, 2, 0, 0},
    {IDC_RETRY, 1, 0, 0, 2, 0, 0},
    {IDC_RETRY_SPIN, 1, 0, IDC_RETRY, 2, 0, 0},
    {IDC_MAX_AGE_LABEL, 1, 0, 0, 2, 0, 0},
    {IDC_MAX_AGE, 1, 0, 0, 2, 0, 0},
    {IDC_KEEP_DAYS_LABEL, 1, 0, 0, 2, 0, 0},
    {IDC_KEEP_DAYS, 1, 0, 0, 2, 0, 0},
    {IDC_TEST, 1, 0, 0, 2, 0, 0},
    {IDC_TEST_STATUS, 1, 0, 0, 2, 0, 0},
    {IDC_QUEUE_GROUP, 1, 0, 0, 2, 0, 0},
    {IDC_QUEUE_WAITING, 1, 0, 0, 2, 0, 0},
    {IDC_QUEUE_FAILURE, 1, 0, 0, 2, 0, 0},
    {IDC_QUEUE_BAD_MAIL, 1, 0, 0, 2, 0, 0},
};
const size_t kEmailLayoutRuleCount = sizeof kEmailLayoutRules / sizeof kEmailLayoutRules[0];

Page_Email::Page_Email(IPennarkControlHost* host)
    : ControlPluginPage(host, kPageTitle),
      passwordEdited_(false),
      subclassed_(nullptr),
      testResult_(ERROR_IO_PENDING),
      testSerial_(0) {}

Page_Email::~Page_Email() {
    StopTest();
    if (subclassed_) {
        KillTimer(subclassed_, kQueueTimer);
        RemoveWindowSubclass(subclassed_, PageProcedure, kSubclassId);
    }
}

LONG Page_Email::AttachWindow(LONG window) {
    return frame::RunMethod(LONG(0), [&]() -> LONG {
        if (!ControlPluginPage::AttachWindow(window)) return 0;
        AutoLayout::On(window_).SetRules(kEmailLayoutRules, kEmailLayoutRuleCount);

        RegKey mail(HKEY_LOCAL_MACHINE, kMailKey, false, RegKey::ReadAccess);
        CheckBoxPort(Item(IDC_MAIL_ENABLED)).SetCheck(int(mail["Disabled"]) == 0);

        RegKey smtp(mail, kSmtpSubkey, false, RegKey::ReadAccess);
        WindowPort page(window_);
        EditPort(Item(IDC_SERVER)).SetText(smtp["Server"].Text().c_str());
        // The service also takes a port stored as a number; the page shows it as one.
        RegKey::Value port = smtp["Port"];
        string portText = port.Text();
        if (portText.IsNull()) portText = port.Valid() ? FormatBuffer(256, "%d", port.Number()) : string(kDefaultPort);
        EditPort(Item(IDC_PORT)).SetText(portText.c_str());
        EditPort(Item(IDC_LOGIN)).SetText(smtp["Login"].Text().c_str());
        EditPort(Item(IDC_SENDER)).SetText(smtp["ReversePath"].Text().c_str());
        EditPort(Item(IDC_RECIPIENT)).SetText(smtp["Recipient"].Text().c_str());
        EditPort(Item(IDC_ROOT)).SetText(smtp["TlsRootCertificate"].Text().c_str());
        CheckBoxPort(Item(IDC_SKIP_CHECK)).SetCheck(smtp["TlsSkipCheck"].Number() == 1);
        EditPort(Item(IDC_TOKEN_URL)).SetText(smtp["OAuthTokenUrl"].Text().c_str());
        EditPort(Item(IDC_CLIENT_ID)).SetText(smtp["OAuthClientId"].Text().c_str());
        EditPort(Item(IDC_SCOPE)).SetText(smtp["OAuthScope"].Text().c_str());
        // The secrets are never shown: their fields start empty, as the password's.
        for (int id : {IDC_PASSWORD, IDC_PASSWORD2, IDC_SECRET, IDC_REFRESH}) EditPort(Item(id)).SetText("");

        loadedRetry_ = FormatBuffer(256, "%u", unsigned(mail["Retry Timeout"].Number()));
        EditPort(Item(IDC_RETRY)).SetText(loadedRetry_.c_str());
        page.SendItem(IDC_RETRY_SPIN, UDM_SETRANGE32, 0, 0x7FFFFFFF);
        loadedMaxAge_ = StoredNumberText(mail, "MaxAge", kDefaultMaxAge);
        EditPort(Item(IDC_MAX_AGE)).SetText(loadedMaxAge_.c_str());
        loadedKeepDays_ = StoredNumberText(mail, "KeepDays", kDefaultKeepDays);
        EditPort(Item(IDC_KEEP_DAYS)).SetText(loadedKeepDays_.c_str());

        FillList(Item(IDC_TLS), kSecurityModes, kSecurityModeCount, smtp["Tls"].Number());
        FillList(Item(IDC_AUTH), kSignInMethods, kSignInMethodCount, smtp["Auth"].Number());

        // The page sees its window's timer, the test's end and its destruction.
        if (subclassed_ != window_) {
            if (subclassed_) {
                KillTimer(subclassed_, kQueueTimer);
                RemoveWindowSubclass(subclassed_, PageProcedure, kSubclassId);
            }
            subclassed_ = SetWindowSubclass(window_, PageProcedure, kSubclassId, reinterpret_cast<DWORD_PTR>(this))
                              ? window_
                              : nullptr;
        }
        if (subclassed_) SetTimer(subclassed_, kQueueTimer, kQueueRefreshMs, nullptr);
        RefreshQueue();

        passwordEdited_ = false;
        EnableControls();
        return 1;
    });
}

void Page_Email::EnableControls() {
    bool enabled = CheckBoxPort(Item(IDC_MAIL_ENABLED)).IsChecked();
    for (int id : kFields) ControlPort(Item(id)).Enable(enabled);
    // A number the page does not know keeps the password's fields, as before the choice.
    int auth = ChosenItem(Item(IDC_AUTH));
    bool oauth = auth == kClientCredentials || auth == kRefreshTokenGrant;
    for (int id : kPasswordFields) ControlPort(Item(id)).Enable(enabled && !oauth);
    for (int id : kOAuthFields) ControlPort(Item(id)).Enable(enabled && oauth);
    for (int id : kRefreshFields) ControlPort(Item(id)).Enable(enabled && auth == kRefreshTokenGrant);
    // A test that runs can always be cancelled.
    ControlPort(Item(IDC_TEST)).Enable(enabled || TestRunning());
}

void Page_Email::MarkModified() {
    if (host_) host_->SetModified(WindowToHost(window_), 1);
}

LONG Page_Email::OnCommand(unsigned short code, unsigned short id, LONG control) {
    return frame::RunMethod(LONG(0), [&]() -> LONG {
        switch (id) {
        case IDC_MAIL_ENABLED:
            MarkModified();
            EnableControls();
            return ControlPluginPage::OnCommand(code, id, control);
        case IDC_SENDER:
        case IDC_RETRY:
        case IDC_RECIPIENT:
        case IDC_PASSWORD2:
        case IDC_PASSWORD:
        case IDC_LOGIN:
        case IDC_PORT:
        case IDC_SERVER:
        case IDC_ROOT:
        case IDC_TOKEN_URL:
        case IDC_CLIENT_ID:
        case IDC_SECRET:
        case IDC_SCOPE:
        case IDC_REFRESH:
        case IDC_MAX_AGE:
        case IDC_KEEP_DAYS:
            if (code == EN_CHANGE) {
                MarkModified();
                if (id == IDC_PASSWORD || id == IDC_PASSWORD2) passwordEdited_ = true;
                EnableControls();
            }
            return 1;
        case IDC_TLS:
        case IDC_AUTH:
            if (code == CBN_SELCHANGE) {
                MarkModified();
                EnableControls();
            }
            return 1;
        case IDC_SKIP_CHECK:
            if (code == BN_CLICKED) MarkModified();
            return 1;
        case IDC_ROOT_BROWSE:
            if (code == BN_CLICKED) BrowseRootCertificate();
            return 1;
        case IDC_TEST:
            if (code == BN_CLICKED) {
                if (TestRunning()) {
                    SetEvent(test_->cancel.Get());
                    EditPort(Item(IDC_TEST_STATUS)).SetText(kTestCancelling);
                } else {
                    StartTest();
                }
            }
            return 1;
        default:
            return ControlPluginPage::OnCommand(code, id, control);
        }
    });
}

LONG Page_Email::OnHelp(LONG control) {
    return frame::RunMethod(LONG(0), [&]() -> LONG {
        ControlPluginPage::OnHelp(control);
        ShowContextHelp(WindowFromHost(control), kEmailHelpTopics);
        return 1;
    });
}

bool Page_Email::CheckFields(Values* v, bool forApply) {
    HWND server = Item(IDC_SERVER);
    v->server = ReadWindowText(server);
    if (IsBlank(v->server)) {
        FieldError(server, kServerName, kServerMissing);
        return false;
    }
    HWND portField = Item(IDC_PORT);
    v->port = ReadWindowText(portField);
    unsigned long portNumber = 0;
    if (!ReadDigits(v->port, kLargestPort, &portNumber) || portNumber == 0) {
        FieldError(portField, kPortName, kPortRange + v->port + kValueTail);
        return false;
    }
    v->tls = ChosenItem(Item(IDC_TLS));
    HWND root = Item(IDC_ROOT);
    v->root = ReadWindowText(root);
    if (v->root.HasText()) {
        DWORD attributes = GetFileAttributesA(v->root.c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
            FieldError(root, kRootName, kRootMissing + v->root + kValueTail);
            return false;
        }
    }
    v->skipCheck = CheckBoxPort(Item(IDC_SKIP_CHECK)).IsChecked();
    v->auth = ChosenItem(Item(IDC_AUTH));
    const bool oauth = v->auth == kClientCredentials || v->auth == kRefreshTokenGrant;
    if (oauth && v->tls == 0) {
        FieldError(Item(IDC_TLS), kSecurityName, kOAuthNeedsTls);
        return false;
    }
    v->login = ReadWindowText(Item(IDC_LOGIN));
    if (passwordEdited_) {
        HWND field = Item(IDC_PASSWORD);
        if (lstrcmpA(ReadWindowText(field).c_str(), ReadWindowText(Item(IDC_PASSWORD2)).c_str()) != 0) {
            ShowError(kPasswordMismatch, window_, title_.c_str(), 0);
            FocusControl(field);
            return false;
        }
        SecretText typed;
        if (!ReadTypedText(field, &typed)) {
            FieldError(field, kPasswordName, kPasswordCharacters);
            return false;
        }
        v->password = string(typed.Data(), typed.Length());
        if (v->password.IsEmpty() &&
            ShowMessage(kEmptyPasswordQuestion, kQuestionStyle, window_, title_.c_str(), 0) != IDOK) {
            FocusControl(field);
            return false;
        }
        v->passwordTyped = true;
    }
    HWND tokenUrl = Item(IDC_TOKEN_URL), clientId = Item(IDC_CLIENT_ID), secret = Item(IDC_SECRET),
         refresh = Item(IDC_REFRESH);
    v->tokenUrl = ReadWindowText(tokenUrl);
    v->clientId = ReadWindowText(clientId);
    v->scope = ReadWindowText(Item(IDC_SCOPE));
    if (oauth && !IsTokenUrl(v->tokenUrl.str())) {
        FieldError(tokenUrl, kTokenUrlName, kTokenUrlForm + v->tokenUrl + kValueTail);
        return false;
    }
    if (oauth && v->clientId.IsEmpty()) {
        FieldError(clientId, kClientIdName, kClientIdMissing);
        return false;
    }
    // A secret field left empty keeps the stored secret.
    if (!ReadTypedSecret(secret, &v->secret)) {
        FieldError(secret, kSecretName, kSecretCharacters);
        return false;
    }
    if (v->auth == kClientCredentials && v->secret.IsEmpty() && !HasStoredSecret(kSecretValue)) {
        FieldError(secret, kSecretName, kSecretMissing);
        return false;
    }
    if (!ReadTypedSecret(refresh, &v->refresh)) {
        FieldError(refresh, kRefreshName, kSecretCharacters);
        return false;
    }
    if (v->auth == kRefreshTokenGrant && v->refresh.IsEmpty() && !HasStoredSecret(kRefreshValue)) {
        FieldError(refresh, kRefreshName, kRefreshMissing);
        return false;
    }
    v->sender = ReadWindowText(Item(IDC_SENDER));
    v->recipient = ReadWindowText(Item(IDC_RECIPIENT));

    // The delay shown as loaded is stored as it was, also one from 2^31 up that the field
    // shows unsigned (a negative number stored by other means): it is the operator's to change.
    HWND retryField = Item(IDC_RETRY);
    string text = ReadWindowText(retryField);
    unsigned long number = 0;
    if (!AllDigits(text)) {
        FieldError(retryField, kRetryName, kIntegerFormat + text + kValueTail);
        return false;
    }
    bool asLoaded = lstrcmpA(text.c_str(), loadedRetry_.c_str()) == 0;
    if (!ReadDigits(text, asLoaded ? 0xFFFFFFFFul : kLargestNumber, &number)) {
        FieldError(retryField, kRetryName, kRetryRange + text + kValueTail);
        return false;
    }
    v->retry = int(DWORD(number));
    // The lifetime and the retention are stored only when changed: as loaded they stand, also
    // an absent value (shown as the service's default) or one the service does not take.
    struct NumberField {
        int id;
        const char* name;
        const string& loaded;
        string* out;
    } numbers[] = {
        {IDC_MAX_AGE, kMaxAgeName, loadedMaxAge_, &v->maxAge},
        {IDC_KEEP_DAYS, kKeepDaysName, loadedKeepDays_, &v->keepDays},
    };
    for (const NumberField& n : numbers) {
        HWND field = Item(n.id);
        string value = ReadWindowText(field);
        if (lstrcmpA(value.c_str(), n.loaded.c_str()) == 0) continue;
        if (!ReadDigits(value, kLargestNumber, &number)) {
            FieldError(field, n.name, kNumberRange + value + kValueTail);
            return false;
        }
        *n.out = value;
    }
    // The warning comes last: an operator who keeps the value is not asked again for an error.
    if (forApply && v->skipCheck && WarnField(Item(IDC_SKIP_CHECK), kSkipCheckName, kSkipCheckWarning)) return false;
    return true;
}

bool Page_Email::WriteConnectionValues(HKEY key, Values& v, HKEY storedKey, int* failed) {
    // The secrets go first: when one cannot be stored nothing else is.
    struct Secret {
        const char* name;
        bool typed;
        const char* text;
        int field;
    } secrets[] = {
        {kPasswordValue, v.passwordTyped, v.password.c_str(), IDC_PASSWORD},
        {kSecretValue, !v.secret.IsEmpty(), v.secret.Data(), IDC_SECRET},
        {kRefreshValue, !v.refresh.IsEmpty(), v.refresh.Data(), IDC_REFRESH},
    };
    for (const Secret& s : secrets) {
        if (s.typed) {
            if (!StoreSecret(kSecretDescription, key, s.name, s.text)) {
                *failed = s.field;
                return false;
            }
        } else if (storedKey) {
            CopyValue(storedKey, key, s.name);
        }
    }
    RegKey target(key, "", false, RegKey::AllAccess);
    target["Server"] = v.server;
    target["Port"] = v.port;
    target["Login"] = v.login;
    if (v.tls >= 0) target["Tls"] = v.tls;
    else if (storedKey) CopyValue(storedKey, key, "Tls");
    SetText(target, "TlsRootCertificate", v.root);
    if (v.skipCheck || HasValue(key, "TlsSkipCheck")) target["TlsSkipCheck"] = v.skipCheck ? 1 : 0;
    if (v.auth >= 0) target["Auth"] = v.auth;
    else if (storedKey) CopyValue(storedKey, key, "Auth");
    SetText(target, "OAuthTokenUrl", v.tokenUrl);
    SetText(target, "OAuthClientId", v.clientId);
    SetText(target, "OAuthScope", v.scope);
    return true;
}

LONG Page_Email::Apply(LONG a, LONG b, LONG* result) {
    return frame::RunMethod(LONG(0), [&]() -> LONG {
        bool enabled = CheckBoxPort(Item(IDC_MAIL_ENABLED)).IsChecked();
        // Every check comes first, so that a refusal leaves the configuration as it was.
        Values values;
        if (enabled && !CheckFields(&values, true)) return 0;
        RegKey mail(HKEY_LOCAL_MACHINE, kMailKey, true, RegKey::AllAccess);
        if (enabled) {
            RegKey smtp(mail, kSmtpSubkey, true, RegKey::AllAccess);
            int failed = 0;
            if (!WriteConnectionValues(smtp.Handle(), values, nullptr, &failed)) {
                WindowsError error(int(GetLastError()), kPageSource, __LINE__);
                const char* head = failed == IDC_PASSWORD ? kPasswordNotStored
                                   : failed == IDC_SECRET ? kSecretNotStored
                                                          : kRefreshNotStored;
                ShowError(head + error.Reason(), window_, title_.c_str(), 0);
                FocusControl(Item(failed));
                return 0;
            }
            smtp["ReversePath"] = values.sender;
            smtp["Recipient"] = values.recipient;
            mail["Retry Timeout"] = values.retry;
            loadedRetry_ = FormatBuffer(256, "%u", unsigned(values.retry));
            if (values.maxAge.HasText()) {
                mail["MaxAge"] = int(atol(values.maxAge.c_str()));
                loadedMaxAge_ = values.maxAge;
            }
            if (values.keepDays.HasText()) {
                mail["KeepDays"] = int(atol(values.keepDays.c_str()));
                loadedKeepDays_ = values.keepDays;
            }
            passwordEdited_ = false;
        }
        mail["Disabled"] = enabled ? 0 : 1;
        if (result) *result = 1;
        return ControlPluginPage::Apply(a, b, result);
    });
}

void Page_Email::BrowseRootCertificate() {
    HWND field = Item(IDC_ROOT);
    wchar_t path[MAX_PATH] = L"";
    GetWindowTextW(field, path, MAX_PATH);
    OPENFILENAMEW dialog = {};
    dialog.lStructSize = sizeof dialog;
    dialog.hwndOwner = window_;
    dialog.lpstrFilter = L"Сертификаты (*.pem;*.crt;*.cer;*.der)\0*.pem;*.crt;*.cer;*.der\0Все файлы (*.*)\0*.*\0";
    dialog.nFilterIndex = 1;
    dialog.lpstrFile = path;
    dialog.nMaxFile = MAX_PATH;
    dialog.lpstrTitle = L"Корневой сертификат";
    dialog.Flags = OFN_FILEMUSTEXIST | OFN_PATHMUSTEXIST | OFN_HIDEREADONLY | OFN_NOCHANGEDIR;
    // Cancel, or a dialog that could not be shown, leaves the field as it was.
    if (!GetOpenFileNameW(&dialog)) return;
    // The field's change notification marks the page changed.
    SetWindowTextW(field, path);
}

bool Page_Email::TestRunning() const { return testThread_.IsValid(); }

void Page_Email::SetTestRunning(bool running) {
    EditPort(Item(IDC_TEST)).SetText(running ? kCancelButton : kTestButton);
    EnableControls();
}

void Page_Email::StartTest() {
    Values values;
    if (!CheckFields(&values, false)) return;
    std::shared_ptr<ConnectionTestRun> run = std::make_shared<ConnectionTestRun>();
    run->page = window_;
    run->serial = ++testSerial_;
    run->scratchName = FormatBuffer(128, kScratchKeyFormat, static_cast<unsigned long>(GetCurrentProcessId()),
                                    static_cast<long>(run->serial));
    HKEY smtp = nullptr, scratch = nullptr;
    CheckErrorCode(RegCreateKeyExA(HKEY_LOCAL_MACHINE, (string(kMailKey) + "\\" + kSmtpSubkey).c_str(), 0, nullptr, 0,
                                   KEY_ALL_ACCESS, nullptr, &smtp, nullptr),
                   __FILE__, __LINE__);
    run->smtp.reset(smtp);
    CheckErrorCode(RegCreateKeyExA(smtp, run->scratchName.c_str(), 0, nullptr, REG_OPTION_VOLATILE, KEY_ALL_ACCESS,
                                   nullptr, &scratch, nullptr),
                   __FILE__, __LINE__);
    run->scratch.reset(scratch);
    string failure;
    try {
        int failed = 0;
        if (!WriteConnectionValues(scratch, values, smtp, &failed))
            failure = WindowsError(int(GetLastError()), kPageSource, __LINE__).Reason();
        if (failure.IsEmpty()) {
            run->cancel.Attach(CreateEventW(nullptr, TRUE, FALSE, nullptr));
            if (!run->cancel.IsValid()) failure = WindowsError(int(GetLastError()), kPageSource, __LINE__).Reason();
        }
        if (failure.IsEmpty()) {
            CheckSystemCall(GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                                               reinterpret_cast<LPCWSTR>(reinterpret_cast<void*>(&ConnectionTestThread)), &run->module),
                            kPageSource, __LINE__);
            auto* parameter = new std::shared_ptr<ConnectionTestRun>(run);
            HANDLE thread = CreateThread(nullptr, 0, ConnectionTestThread, parameter, 0, nullptr);
            if (!thread) {
                failure = WindowsError(int(GetLastError()), kPageSource, __LINE__).Reason();
                delete parameter;
                FreeLibrary(run->module);
            } else {
                testThread_.Attach(thread);
            }
        }
    } catch (...) {
        run->scratch.reset();
        RegDeleteKeyA(smtp, run->scratchName.c_str());
        throw;
    }
    if (failure.HasText()) {
        run->scratch.reset();
        RegDeleteKeyA(smtp, run->scratchName.c_str());
        testResult_ = ERROR_GEN_FAILURE;
        EditPort(Item(IDC_TEST_STATUS)).SetText((kTestNotStarted + failure).c_str());
        return;
    }
    test_ = run;
    testResult_ = ERROR_IO_PENDING;
    EditPort(Item(IDC_TEST_STATUS)).SetText(kTestRunning);
    SetTestRunning(true);
}

void Page_Email::TestEnded(LPARAM serial) {
    if (!test_ || LPARAM(test_->serial) != serial) return;
    // The worker has posted its last act; its thread ends at once.
    WaitForSingleObject(testThread_.Get(), kConnectionTestStopMs);
    testThread_.Close();
    std::shared_ptr<ConnectionTestRun> run = std::move(test_);
    testResult_ = run->error;
    string text = OneLine(run->outcome);
    if (text.IsEmpty()) text = FormatBuffer(256, kTestFailedNoText, static_cast<unsigned long>(run->error));
    EditPort(Item(IDC_TEST_STATUS)).SetText(text.c_str());
    SetTestRunning(false);
}

void Page_Email::StopTest() {
    if (!testThread_.IsValid()) return;
    SetEvent(test_->cancel.Get());
    // A worker that does not end in time holds the module and its share of the run: nothing it
    // uses goes away under it.
    WaitForSingleObject(testThread_.Get(), kConnectionTestStopMs);
    testThread_.Close();
    test_.reset();
}

void Page_Email::RefreshQueue() {
    SmtpQueueFigures figures = {};
    figures.Size = sizeof figures;
    string waiting, failure, badMail;
    if (!SmtpQueueStatus(&figures)) {
        waiting = FormatBuffer(256, kQueueUnreadable, static_cast<unsigned long>(GetLastError()));
    } else {
        waiting = FormatBuffer(64, "Ждут отправки: %lu", static_cast<unsigned long>(figures.Waiting));
        if (figures.Waiting) waiting = waiting + ", самое давнее — " + AgeText(figures.OldestAgeSeconds);
        figures.LastFailure[sizeof figures.LastFailure - 1] = '\0';
        SYSTEMTIME utc = {}, local = {};
        if (!figures.LastFailureTime.dwLowDateTime && !figures.LastFailureTime.dwHighDateTime) {
            failure = "Ошибок не было";
        } else if (FileTimeToSystemTime(&figures.LastFailureTime, &utc) &&
                   SystemTimeToTzSpecificLocalTime(nullptr, &utc, &local)) {
            failure = FormatBuffer(64, "Последняя ошибка: %02u.%02u.%04u %02u:%02u", local.wDay, local.wMonth,
                                   local.wYear, local.wHour, local.wMinute);
            if (figures.LastFailure[0]) failure = failure + " — " + OneLine(figures.LastFailure);
        } else {
            failure = "Последняя ошибка: " + OneLine(figures.LastFailure);
        }
        badMail = FormatBuffer(64, "В недоставленных: %lu", static_cast<unsigned long>(figures.BadMail));
    }
    EditPort(Item(IDC_QUEUE_WAITING)).SetText(waiting.c_str());
    EditPort(Item(IDC_QUEUE_FAILURE)).SetText(failure.c_str());
    EditPort(Item(IDC_QUEUE_BAD_MAIL)).SetText(badMail.c_str());
}

LRESULT CALLBACK Page_Email::PageProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR,
                                           DWORD_PTR data) {
    Page_Email* page = reinterpret_cast<Page_Email*>(data);
    if (message == WM_TIMER && wParam == kQueueTimer) {
        if (IsWindowVisible(window)) InWindowProcedure(page->Item(IDC_QUEUE_WAITING), [&] { page->RefreshQueue(); });
        return 0;
    }
    if (message == TestEndedMessage()) {
        InWindowProcedure(page->Item(IDC_TEST_STATUS), [&] { page->TestEnded(lParam); });
        return 0;
    }
    if (message == WM_DESTROY) {
        // Closing the page cancels a test that runs and waits for its worker.
        page->StopTest();
        KillTimer(window, kQueueTimer);
        RemoveWindowSubclass(window, PageProcedure, kSubclassId);
        page->subclassed_ = nullptr;
    }
    return DefSubclassProc(window, message, wParam, lParam);
}
