// Saving the e-mail page: what Apply writes where the delivery service reads it, the checks
// that come before the first write, and the page's answers to the operator's edits.
#include <windows.h>
#include <gtest/gtest.h>
#include "EmailPageIds.h"
#include "Secret.h"
#include "TestSupport.h"
#include "WindowTestSupport.h"

using namespace postdesk_test;
using host_test::MessageBoxes;
using testing_support::GetRegText;
using testing_support::kMailKey;
using testing_support::kSmtpKey;

namespace {

const char kAbsent[] = "<absent>";
const char kNone[] = "<none>";  // no password stored

std::string StoredPassword() {
    RegKey smtp(HKEY_LOCAL_MACHINE, kSmtpKey, false, RegKey::ReadAccess);
    string text = LoadSecret(smtp.Handle(), "Pass");
    return text.IsNull() ? kNone : text.str();
}

class PageApply : public ::testing::Test {
protected:
    void SetUp() override { host_test::ResetSeams(); }
    void TearDown() override { host_test::ResetSeams(); }
};

}  // namespace

TEST_F(PageApply, ChecksComeBeforeTheFirstWrite) {
    struct Row {
        const char* what;
        const char* password;   // typed into both fields unless again is given
        const char* again;
        const char* retry;
        int answer;             // the operator's answer to a box
        bool saved;
        const char* box;        // the box shown, "" for none
        UINT boxType;
        int focus;              // the field that has the focus after a refusal, 0 for none
        const char* stored;     // the password stored afterwards
    } rows[] = {
        {"the same password twice", "pa ss", nullptr, "30", IDOK, true, "", 0, 0, "pa ss"},
        {"a repetition that differs", "secret", "secreT", "30", IDOK, false,
         "Пароль не соответствует повторному вводу", MB_OK | MB_ICONERROR, IDC_PASSWORD, kNone},
        {"a password in one field only", "secret", "", "30", IDOK, false,
         "Пароль не соответствует повторному вводу", MB_OK | MB_ICONERROR, IDC_PASSWORD, kNone},
        {"an empty password declined", "", nullptr, "30", IDCANCEL, false, "Задаём пустой пароль?",
         MB_OKCANCEL | MB_ICONQUESTION | MB_DEFBUTTON2, IDC_PASSWORD, kNone},
        {"an empty password confirmed", "", nullptr, "30", IDOK, true, "Задаём пустой пароль?",
         MB_OKCANCEL | MB_ICONQUESTION | MB_DEFBUTTON2, 0, ""},
        {"an empty retry delay", "secret", nullptr, "", IDOK, false,
         "Поле \"Задержка повтора при ошибках почты, с\": ошибка формата целого числа (\"\")", MB_OK | MB_ICONERROR,
         IDC_RETRY, kNone},
        {"a retry delay of 0", "secret", nullptr, "0", IDOK, true, "", 0, 0, "secret"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        RegDeleteTreeA(HKEY_LOCAL_MACHINE, kMailKey);
        host_test::ResetSeams(row.answer);
        EmailPageScreen page;
        page.Type(IDC_SERVER, "smtp.example.test");
        // An edit that leaves a field empty is an edit too.
        page.Type(IDC_PASSWORD, "x");
        page.Type(IDC_PASSWORD, row.password);
        page.Type(IDC_PASSWORD2, row.again ? row.again : row.password);
        page.Type(IDC_RETRY, row.retry);
        EXPECT_EQ(row.saved, page.Apply());
        Pump();

        std::vector<host_test::MessageBoxCall> boxes = MessageBoxes();
        if (*row.box) {
            ASSERT_EQ(1u, boxes.size());
            EXPECT_EQ(row.box, boxes[0].text);
            EXPECT_EQ(row.boxType, boxes[0].type);
            EXPECT_EQ(page.Page(), boxes[0].window) << "owned by the page";
            EXPECT_EQ("Электронная почта", boxes[0].caption);
        } else {
            EXPECT_TRUE(boxes.empty()) << boxes[0].text;
        }
        if (row.focus) {
            EXPECT_EQ(page.Item(row.focus), GetFocus()) << "the field to correct has the focus";
        }
        EXPECT_EQ(row.stored, StoredPassword());
        EXPECT_EQ(row.saved ? "smtp.example.test" : kAbsent, GetRegText(kSmtpKey, "Server"));
        EXPECT_EQ(row.saved ? "0" : kAbsent, GetRegText(kMailKey, "Disabled"));
        if (row.saved) {
            EXPECT_EQ(row.retry, GetRegText(kMailKey, "Retry Timeout"));
        }
        EXPECT_TRUE(page.Screen().Errors().empty());
    }
}

TEST_F(PageApply, RefusedValueNamesItsFieldTakesTheFocusAndNothingIsStored) {
    const char kPort[] = "Поле \"SMTP порт\": номер порта - целое число от 1 до 65535, только цифры (\"";
    const char kServer[] = "Поле \"Почтовый сервер\": пустое значение: без сервера почта не может быть отправлена.";
    const char kRetryFormat[] = "Поле \"Задержка повтора при ошибках почты, с\": ошибка формата целого числа (\"";
    const char kRetryRange[] = "Поле \"Задержка повтора при ошибках почты, с\": задержка - целое число секунд от 0 до 2147483647 (\"";
    struct Row {
        int field;             // typed with text; a password goes into both fields
        const wchar_t* text;
        std::string box;
    } rows[] = {
        {IDC_PORT, L"abc", kPort + std::string("abc\")")},
        {IDC_PORT, L"0", kPort + std::string("0\")")},
        {IDC_PORT, L"70000", kPort + std::string("70000\")")},
        {IDC_PORT, L"-5", kPort + std::string("-5\")")},
        {IDC_PORT, L" 25 ", kPort + std::string(" 25 \")")},
        {IDC_PORT, L"", kPort + std::string("\")")},
        {IDC_SERVER, L"", kServer},
        {IDC_SERVER, L"   ", kServer},
        {IDC_PASSWORD, L"Straße-ü1",
         "Поле \"Пароль\": в пароле есть символы, которых нет в кодировке windows-1251: сервер получил бы другой "
         "пароль."},
        {IDC_RETRY, L"1a2", kRetryFormat + std::string("1a2\")")},
        {IDC_RETRY, L"-1", kRetryFormat + std::string("-1\")")},
        {IDC_RETRY, L"2147483648", kRetryRange + std::string("2147483648\")")},
        {IDC_RETRY, L"99999999999", kRetryRange + std::string("99999999999\")")},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.box);
        RegDeleteTreeA(HKEY_LOCAL_MACHINE, kMailKey);
        host_test::ResetSeams();
        EmailPageScreen page;
        page.Type(IDC_SERVER, "smtp.example.test");
        page.Type(IDC_PASSWORD, "secret");
        page.Type(IDC_PASSWORD2, "secret");
        page.Type(IDC_RETRY, "30");
        page.Type(row.field, row.text);
        if (row.field == IDC_PASSWORD) page.Type(IDC_PASSWORD2, row.text);
        EXPECT_FALSE(page.Apply());
        Pump();

        std::vector<host_test::MessageBoxCall> boxes = MessageBoxes();
        ASSERT_EQ(1u, boxes.size());
        EXPECT_EQ(row.box, boxes[0].text);
        EXPECT_EQ(UINT(MB_OK | MB_ICONERROR), boxes[0].type);
        EXPECT_EQ(page.Page(), boxes[0].window);
        EXPECT_EQ(page.Item(row.field), GetFocus()) << "the refused field has the focus";
        EXPECT_EQ(kAbsent, GetRegText(kSmtpKey, "Server")) << "nothing is stored";
        EXPECT_EQ(kAbsent, GetRegText(kSmtpKey, "Port"));
        EXPECT_EQ(kAbsent, GetRegText(kMailKey, "Retry Timeout"));
        EXPECT_EQ(kAbsent, GetRegText(kMailKey, "Disabled"));
        EXPECT_EQ(kNone, StoredPassword());
    }
}

TEST_F(PageApply, EveryFieldGoesWhereTheServiceReadsIt) {
    testing_support::SetRegText(kSmtpKey, "Server", "old.example.test");
    RegKey smtp(HKEY_LOCAL_MACHINE, kSmtpKey, true, RegKey::AllAccess);
    ASSERT_TRUE(StoreSecret(kSecretDescription, smtp.Handle(), "Pass", "unchanged"));
    EmailPageScreen page;
    page.Type(IDC_SERVER, "new.example.test");
    page.Type(IDC_PORT, "2525");
    page.Type(IDC_LOGIN, "kiosk");
    page.Type(IDC_SENDER, "kiosk@example.test");
    page.Type(IDC_RECIPIENT, "office@example.test");
    page.Type(IDC_RETRY, "45");
    EXPECT_TRUE(page.Screen().ApplyEnabled()) << "the operator's edits mark the page changed";
    ASSERT_TRUE(page.Apply());
    struct Row {
        const char* key;
        const char* name;
        const char* expected;
    } rows[] = {
        {kSmtpKey, "Server", "new.example.test"},      {kSmtpKey, "Port", "2525"},
        {kSmtpKey, "Login", "kiosk"},                  {kSmtpKey, "ReversePath", "kiosk@example.test"},
        {kSmtpKey, "Recipient", "office@example.test"}, {kMailKey, "Retry Timeout", "45"},
        {kMailKey, "Disabled", "0"},
    };
    for (const Row& row : rows) EXPECT_EQ(row.expected, GetRegText(row.key, row.name)) << row.name;
    EXPECT_EQ("unchanged", StoredPassword()) << "the password fields were not edited";
    EXPECT_TRUE(MessageBoxes().empty());
}

TEST_F(PageApply, ClearedBoxWritesOnlyDisabledAndKeepsATypedPassword) {
    testing_support::SetRegText(kSmtpKey, "Server", "old.example.test");
    EmailPageScreen page;
    page.Click(IDC_MAIL_ENABLED);
    EXPECT_FALSE(page.Checked(IDC_MAIL_ENABLED));
    for (int id : {IDC_SERVER, IDC_PASSWORD, IDC_RETRY, IDC_RETRY_SPIN, IDC_RETRY_LABEL})
        EXPECT_FALSE(IsWindowEnabled(page.Item(id))) << id;
    page.Type(IDC_SERVER, "new.example.test");
    page.Type(IDC_PASSWORD, "later");
    page.Type(IDC_PASSWORD2, "later");
    page.Type(IDC_RETRY, "");
    ASSERT_TRUE(page.Apply()) << "nothing of the fields is checked while mail is off";
    EXPECT_EQ("1", GetRegText(kMailKey, "Disabled"));
    EXPECT_EQ("old.example.test", GetRegText(kSmtpKey, "Server"));
    EXPECT_EQ(kAbsent, GetRegText(kMailKey, "Retry Timeout"));
    EXPECT_EQ(kNone, StoredPassword());

    // Mail switched on again: the password typed meanwhile is saved.
    page.Click(IDC_MAIL_ENABLED);
    EXPECT_TRUE(IsWindowEnabled(page.Item(IDC_SERVER)));
    page.Type(IDC_RETRY, "5");
    ASSERT_TRUE(page.Apply());
    EXPECT_EQ("0", GetRegText(kMailKey, "Disabled"));
    EXPECT_EQ("later", StoredPassword());
    EXPECT_TRUE(MessageBoxes().empty());
}

TEST_F(PageApply, PasswordThatCannotBeStoredIsReportedAndTriedAgain) {
    // Without the registration of the cryptographic providers the data protection API fails.
    const char cryptography[] = "Software\\Microsoft\\Cryptography";
    const char saved[] = "Software\\PennarkSavedCryptography";
    HKEY backup = nullptr;
    ASSERT_EQ(ERROR_SUCCESS,
              RegCreateKeyExA(HKEY_LOCAL_MACHINE, saved, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &backup, nullptr));
    ASSERT_EQ(ERROR_SUCCESS, RegCopyTreeA(HKEY_LOCAL_MACHINE, cryptography, backup));
    ASSERT_EQ(ERROR_SUCCESS, RegDeleteTreeA(HKEY_LOCAL_MACHINE, cryptography));

    EmailPageScreen page;
    page.Type(IDC_SERVER, "smtp.example.test");
    page.Type(IDC_PASSWORD, "secret");
    page.Type(IDC_PASSWORD2, "secret");
    bool refused = !page.Apply();
    Pump();

    HKEY restored = nullptr;
    RegCreateKeyExA(HKEY_LOCAL_MACHINE, cryptography, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &restored, nullptr);
    RegCopyTreeA(backup, nullptr, restored);
    RegCloseKey(restored);
    RegCloseKey(backup);
    RegDeleteTreeA(HKEY_LOCAL_MACHINE, saved);

    EXPECT_TRUE(refused) << "a password that was not stored is no saved page";
    std::vector<host_test::MessageBoxCall> boxes = MessageBoxes();
    ASSERT_EQ(1u, boxes.size());
    const std::string head = "Пароль не сохранён: Windows system call error ";
    EXPECT_EQ(head, boxes[0].text.substr(0, head.size())) << boxes[0].text;
    EXPECT_EQ(UINT(MB_OK | MB_ICONERROR), boxes[0].type);
    EXPECT_EQ(page.Item(IDC_PASSWORD), GetFocus());
    EXPECT_EQ(kAbsent, GetRegText(kSmtpKey, "Server")) << "nothing is half saved";
    EXPECT_EQ(kAbsent, GetRegText(kMailKey, "Disabled"));

    host_test::ResetSeams();
    ASSERT_TRUE(page.Apply()) << "the next Apply stores the password typed before";
    EXPECT_EQ("secret", StoredPassword());
    EXPECT_EQ("smtp.example.test", GetRegText(kSmtpKey, "Server"));
}

TEST(PageCommands, EditsMarkThePageAndPasswordEditsArmThePassword) {
    AttachedPage<Page_Email> attached;
    const LONG window = static_cast<LONG>(reinterpret_cast<LONG_PTR>(attached.dialog.window));
    struct Row {
        unsigned short code;
        unsigned short id;
        LONG answer;
        bool modified;
        bool passwordEdited;
    } rows[] = {
        {EN_SETFOCUS, IDC_SERVER, 1, false, false}, {EN_CHANGE, IDC_SERVER, 1, true, false},
        {EN_CHANGE, IDC_SENDER, 1, true, false},    {EN_CHANGE, IDC_RETRY, 1, true, false},
        {EN_CHANGE, IDC_PASSWORD2, 1, true, true},  {EN_CHANGE, IDC_PASSWORD, 1, true, true},
        {BN_CLICKED, IDC_MAIL_ENABLED, 0, true, false}, {EN_CHANGE, IDC_RETRY_SPIN, 0, false, false},
        {BN_CLICKED, IDOK, 0, false, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.id);
        attached.page->AttachWindow(window);  // loading clears the password flag
        attached.host.modified.clear();
        LONG control = static_cast<LONG>(reinterpret_cast<LONG_PTR>(attached.dialog.Item(row.id)));
        EXPECT_EQ(row.answer, attached.page->OnCommand(row.code, row.id, control));
        EXPECT_EQ(row.modified ? 1u : 0u, attached.host.modified.size());
        if (row.modified) {
            EXPECT_EQ(std::make_pair(window, LONG(1)), attached.host.modified[0]);
        }
        EXPECT_EQ(row.passwordEdited, attached.page->PasswordEdited());
    }
}

TEST_F(PageApply, SecurityModeShowsAndSavesTls) {
    struct Row {
        const char* what;
        int stored;       // -1: absent
        int choose;       // the item the operator chooses, -1: none
        bool mailOn;
        int shown;        // the item selected after loading, -1: none
        const char* saved;
    } rows[] = {
        {"no Tls value", -1, -1, true, 0, "0"},
        {"TLS from the first byte, changed to STARTTLS", 2, 1, true, 2, "1"},
        {"a number the page does not know", 7, -1, true, -1, "7"},
        {"mail switched off", -1, 2, false, 0, kAbsent},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        RegDeleteTreeA(HKEY_LOCAL_MACHINE, kMailKey);
        if (row.stored >= 0) testing_support::SetRegNumber(kSmtpKey, "Tls", DWORD(row.stored));
        EmailPageScreen page;
        HWND security = page.Item(IDC_TLS);
        ASSERT_EQ(3, SendMessageW(security, CB_GETCOUNT, 0, 0));
        wchar_t item[64] = L"";
        SendMessageW(security, CB_GETLBTEXT, 1, reinterpret_cast<LPARAM>(item));
        EXPECT_STREQ(L"STARTTLS (порт 587)", item);
        EXPECT_EQ(row.shown, SendMessageW(security, CB_GETCURSEL, 0, 0));
        page.Type(IDC_SERVER, "smtp.example.test");  // mail needs a server
        if (!row.mailOn) page.Click(IDC_MAIL_ENABLED);
        if (row.choose >= 0) {
            SendMessageW(security, CB_SETCURSEL, WPARAM(row.choose), 0);
            SendMessageW(page.Page(), WM_COMMAND, MAKEWPARAM(IDC_TLS, CBN_SELCHANGE), LPARAM(security));
            EXPECT_TRUE(page.Screen().ApplyEnabled()) << "choosing a mode changes the page";
        }
        ASSERT_TRUE(page.Apply());
        EXPECT_EQ(row.saved, GetRegText(kSmtpKey, "Tls"));
    }
}

// The page shows the stored delay unsigned; saving what it shows keeps the stored number, so
// that a negative delay (the service's default) does not become the longest one.
TEST_F(PageApply, RetryDelayShownIsTheDelaySaved) {
    struct Row {
        const char* what;
        DWORD stored;
        const char* typed;  // nullptr: the field is left as loaded
        const char* shown;
        const char* saved;
    } rows[] = {
        {"a negative delay, untouched", 0xFFFFFFFF, nullptr, "4294967295", "4294967295"},
        {"the lowest negative delay, untouched", 0x80000000, nullptr, "2147483648", "2147483648"},
        {"the largest positive delay", 30, "2147483647", "30", "2147483647"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        RegDeleteTreeA(HKEY_LOCAL_MACHINE, kMailKey);
        testing_support::SetRegNumber(kMailKey, "Retry Timeout", row.stored);
        EmailPageScreen page;
        EXPECT_EQ(row.shown, page.Text(IDC_RETRY));
        page.Type(IDC_SERVER, "smtp.example.test");
        if (row.typed) page.Type(IDC_RETRY, row.typed);
        ASSERT_TRUE(page.Apply());
        EXPECT_EQ(row.saved, GetRegText(kMailKey, "Retry Timeout"));
        EXPECT_TRUE(MessageBoxes().empty());
    }
}
