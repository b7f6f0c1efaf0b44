#include "Page_Email.h"
#include <commctrl.h>
#include <vector>
#include "AutoLayout.h"
#include "Secret.h"
#include "qlframe.h"

namespace {

const char kPageTitle[] = "Электронная почта";
const char kMailKey[] = "Software\\Quillet\\Pennark\\Kiosk\\Mail";
const char kSmtpSubkey[] = "SMTP";
const char kDefaultPort[] = "25";
const char kPasswordValue[] = "Pass";

const char kPasswordMismatch[] = "Пароль не соответствует повторному вводу";
const char kEmptyPasswordQuestion[] = "Задаём пустой пароль?";
const UINT kQuestionStyle = MB_OKCANCEL | MB_ICONQUESTION | MB_DEFBUTTON2;  // 0x121
const char kPasswordNotStored[] = "Пароль не сохранён: ";
const char kRetryName[] = "Задержка повтора при ошибках почты, с";

// The connection's security modes, by the number stored as Tls: plain SMTP, STARTTLS, TLS from
// the first byte. The items' index is the number.
const wchar_t* const kSecurityModes[] = {L"Нет (обычный SMTP)", L"STARTTLS (порт 587)", L"SSL/TLS (порт 465)"};
const int kSecurityModeCount = 3;

// The fields' names in the operator's messages, as their labels read.
const char kServerName[] = "Почтовый сервер";
const char kPortName[] = "SMTP порт";
const char kPasswordName[] = "Пароль";

const char kServerMissing[] = "пустое значение: без сервера почта не может быть отправлена.";
const char kPortRange[] = "номер порта - целое число от 1 до 65535, только цифры (\"";
const char kIntegerFormat[] = "ошибка формата целого числа (\"";
const char kRetryRange[] = "задержка - целое число секунд от 0 до 2147483647 (\"";
const char kPasswordCharacters[] =
    "в пароле есть символы, которых нет в кодировке windows-1251: сервер получил бы другой пароль.";
const char kValueTail[] = "\")";

const unsigned long kLargestPort = 65535;
const unsigned long kLargestRetry = 0x7FFFFFFF;

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

// The password as the operator typed it, in windows-1251; false when a character has no
// place in that code page (the text would reach the server changed).
bool ReadPassword(HWND field, string* out) {
    int length = GetWindowTextLengthW(field);
    if (length < 0) length = 0;
    std::vector<wchar_t> wide(size_t(length) + 1, L'\0');
    int read = GetWindowTextW(field, wide.data(), int(wide.size()));
    if (read <= 0) {
        *out = string("");
        return true;
    }
    BOOL substituted = FALSE;
    int size = WideCharToMultiByte(1251, WC_NO_BEST_FIT_CHARS, wide.data(), read, nullptr, 0, nullptr, &substituted);
    if (size <= 0 || substituted) return false;
    std::vector<char> narrow(size_t(size), '\0');
    WideCharToMultiByte(1251, WC_NO_BEST_FIT_CHARS, wide.data(), read, narrow.data(), size, nullptr, &substituted);
    if (substituted) return false;
    *out = string(narrow.data(), size_t(size));
    return true;
}

// Where a password that could not be stored is reported from.
const char kPageSource[] = "settings/Page_Email";

// Every control but the check box, in the order they are enabled.
const int kFields[] = {
    IDC_SERVER_LABEL, IDC_SERVER, IDC_PORT_LABEL, IDC_PORT, IDC_LOGIN_LABEL, IDC_LOGIN,
    IDC_PASSWORD_LABEL, IDC_PASSWORD, IDC_PASSWORD2_LABEL, IDC_PASSWORD2, IDC_SENDER_LABEL, IDC_SENDER,
    IDC_RECIPIENT_LABEL, IDC_RECIPIENT, IDC_RETRY_LABEL, IDC_RETRY, IDC_RETRY_SPIN, IDC_TLS_LABEL, IDC_TLS,
};

}  // namespace

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
    {0, 0},
};

// The fields stretch with the page; the up-down stays at the right edge of its buddy.
const int kEmailLayoutRules[][7] = {
    {IDC_MAIL_ENABLED, 0, 2, 0, 2, 0, 0},
    {IDC_SERVER, 0, 2, 0, 2, 0, 0},
    {IDC_PORT, 0, 2, 0, 2, 0, 0},
    {IDC_LOGIN, 0, 2, 0, 2, 0, 0},
    {IDC_PASSWORD, 0, 2, 0, 2, 0, 0},
    {IDC_PASSWORD2, 0, 2, 0, 2, 0, 0},
    {IDC_SENDER, 0, 2, 0, 2, 0, 0},
    {IDC_RECIPIENT, 0, 2, 0, 2, 0, 0},
    {IDC_RETRY, 0, 2, 0, 2, 0, 0},
    {IDC_RETRY_SPIN, 1, 0, IDC_RETRY, 2, 0, 0},
    {IDC_TLS, 0, 2, 0, 2, 0, 0},
};
const size_t kEmailLayoutRuleCount = sizeof kEmailLayoutRules / sizeof kEmailLayoutRules[0];

Page_Email::Page_Email(IPennarkControlHost* host) : ControlPluginPage(host, kPageTitle), passwordEdited_(false) {}

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

        loadedRetry_ = FormatBuffer(256, "%u", unsigned(mail["Retry Timeout"].Number()));
        EditPort(Item(IDC_RETRY)).SetText(loadedRetry_.c_str());
        page.SendItem(IDC_RETRY_SPIN, UDM_SETRANGE32, 0, 0x7FFFFFFF);

        // The items' texts are the page's own, shown whatever the system's code page.
        HWND security = Item(IDC_TLS);
        SendMessageW(security, CB_RESETCONTENT, 0, 0);
        for (const wchar_t* mode : kSecurityModes) SendMessageW(security, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(mode));
        // A number the page does not know selects nothing: it stays as it is until chosen anew.
        int mode = smtp["Tls"].Number();
        ControlPort(security).Send(CB_SETCURSEL, mode >= 0 && mode < kSecurityModeCount ? WPARAM(mode) : WPARAM(-1), 0);

        passwordEdited_ = false;
        EnableControls();
        return 1;
    });
}

void Page_Email::EnableControls() {
    bool enabled = CheckBoxPort(Item(IDC_MAIL_ENABLED)).IsChecked();
    for (int id : kFields) ControlPort(Item(id)).Enable(enabled);
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
            if (code == EN_CHANGE) {
                MarkModified();
                if (id == IDC_PASSWORD || id == IDC_PASSWORD2) passwordEdited_ = true;
                EnableControls();
            }
            return 1;
        case IDC_TLS:
            if (code == CBN_SELCHANGE) {
                MarkModified();
                EnableControls();
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

bool Page_Email::CheckFields(bool enabled, string* password, int* retry) {
    if (!enabled) return true;
    HWND server = Item(IDC_SERVER);
    if (IsBlank(ReadWindowText(server))) {
        FieldError(server, kServerName, kServerMissing);
        return false;
    }
    HWND portField = Item(IDC_PORT);
    string port = ReadWindowText(portField);
    unsigned long portNumber = 0;
    if (!ReadDigits(port, kLargestPort, &portNumber) || portNumber == 0) {
        FieldError(portField, kPortName, kPortRange + port + kValueTail);
        return false;
    }
    if (passwordEdited_) {
        HWND field = Item(IDC_PASSWORD);
        if (lstrcmpA(ReadWindowText(field).c_str(), ReadWindowText(Item(IDC_PASSWORD2)).c_str()) != 0) {
            ShowError(kPasswordMismatch, window_, title_.c_str(), 0);
            FocusControl(field);
            return false;
        }
        if (!ReadPassword(field, password)) {
            FieldError(field, kPasswordName, kPasswordCharacters);
            return false;
        }
        if (password->IsEmpty() &&
            ShowMessage(kEmptyPasswordQuestion, kQuestionStyle, window_, title_.c_str(), 0) != IDOK) {
            FocusControl(field);
            return false;
        }
    }
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
    if (!ReadDigits(text, asLoaded ? 0xFFFFFFFFul : kLargestRetry, &number)) {
        FieldError(retryField, kRetryName, kRetryRange + text + kValueTail);
        return false;
    }
    *retry = int(DWORD(number));
    return true;
}

LONG Page_Email::Apply(LONG a, LONG b, LONG* result) {
    return frame::RunMethod(LONG(0), [&]() -> LONG {
        bool enabled = CheckBoxPort(Item(IDC_MAIL_ENABLED)).IsChecked();
        // Every check comes first, so that a refusal leaves the configuration as it was.
        string password;
        int retry = 0;
        if (!CheckFields(enabled, &password, &retry)) return 0;
        RegKey mail(HKEY_LOCAL_MACHINE, kMailKey, true, RegKey::AllAccess);
        if (enabled) {
            RegKey smtp(mail, kSmtpSubkey, true, RegKey::AllAccess);
            // The password goes first: when it cannot be stored nothing else is, and the
            // flag stays set for the next Apply.
            if (passwordEdited_ && !StoreSecret(kSecretDescription, smtp.Handle(), kPasswordValue, password.c_str())) {
                WindowsError error(int(GetLastError()), kPageSource, __LINE__);
                ShowError(kPasswordNotStored + error.Reason(), window_, title_.c_str(), 0);
                FocusControl(Item(IDC_PASSWORD));
                return 0;
            }
            smtp["Server"] = ReadWindowText(Item(IDC_SERVER));
            smtp["Port"] = ReadWindowText(Item(IDC_PORT));
            smtp["Login"] = ReadWindowText(Item(IDC_LOGIN));
            smtp["ReversePath"] = ReadWindowText(Item(IDC_SENDER));
            smtp["Recipient"] = ReadWindowText(Item(IDC_RECIPIENT));
            LRESULT mode = ControlPort(Item(IDC_TLS)).Send(CB_GETCURSEL, 0, 0);
            if (mode >= 0 && mode < kSecurityModeCount) smtp["Tls"] = int(mode);
            mail["Retry Timeout"] = retry;
            loadedRetry_ = FormatBuffer(256, "%u", unsigned(retry));
            passwordEdited_ = false;
        }
        mail["Disabled"] = enabled ? 0 : 1;
        if (result) *result = 1;
        return ControlPluginPage::Apply(a, b, result);
    });
}
