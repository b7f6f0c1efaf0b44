// The page's connection, sign-in and delivery values: what Apply stores and refuses, the
// root certificate's file dialog, the connection test against real servers, and the queue's
// lines.
#include <winsock2.h>
#include <windows.h>
#include <dlgs.h>
#include <gtest/gtest.h>
#include <memory>
#include <thread>
#include "EmailPageIds.h"
#include "Secret.h"
#include "SmtpPeer.h"
#include "TestSupport.h"
#include "WindowTestSupport.h"

using namespace postdesk_test;
using host_test::MessageBoxes;
using testing_support::GetRegText;
using testing_support::kMailKey;
using testing_support::kSmtpKey;

namespace {

const UINT kWarning = MB_OKCANCEL | MB_ICONWARNING | MB_DEFBUTTON2;

std::string Stored(const char* name) {
    RegKey smtp(HKEY_LOCAL_MACHINE, kSmtpKey, false, RegKey::ReadAccess);
    string text = LoadSecret(smtp.Handle(), name);
    return text.IsNull() ? "<none>" : text.str();
}

std::string Text(HWND control) {
    char buffer[1024] = "";
    GetWindowTextA(control, buffer, sizeof buffer);
    return buffer;
}

// True when the SMTP key has no subkey (the test's scratch key is gone).
bool NoSubkey() {
    RegKey smtp(HKEY_LOCAL_MACHINE, kSmtpKey, false, RegKey::ReadAccess);
    char name[256];
    return !smtp.IsOpen() || RegEnumKeyA(smtp.Handle(), 0, name, sizeof name) == ERROR_NO_MORE_ITEMS;
}

class PageSettings : public ::testing::Test {
protected:
    void SetUp() override {
        host_test::ResetSeams();
        RegDeleteTreeA(HKEY_LOCAL_MACHINE, kMailKey);
    }
    void TearDown() override { host_test::ResetSeams(); }
};

// The linked page on a dialog of its own, typed into as the host would tell it.
struct TypedPage : AttachedPage<Page_Email> {
    void Type(int id, const std::string& text) {
        SetWindowTextA(dialog.Item(id), text.c_str());
        page->OnCommand(EN_CHANGE, WORD(id), 0);
    }
    void Choose(int id, int item) { SendMessageW(dialog.Item(id), CB_SETCURSEL, WPARAM(item), 0); }
    void Click(int id) { page->OnCommand(BN_CLICKED, WORD(id), 0); }
    bool WaitForTest(DWORD ms) {
        for (DWORD start = GetTickCount(); page->TestRunning() && GetTickCount() - start < ms;) Pump(1);
        return !page->TestRunning();
    }
};

// Of the thread's windows, the visible one with a file name field: that field into *out.
BOOL CALLBACK FindFileNameField(HWND w, LPARAM out) {
    HWND field = GetDlgItem(w, cmb13) ? GetDlgItem(w, cmb13) : GetDlgItem(w, edt1);
    if (field && IsWindowVisible(w)) *reinterpret_cast<HWND*>(out) = field;
    return !field;
}

}  // namespace

TEST_F(PageSettings, NewValuesAreStoredAtApplyAndSecretsOnlyWhenTyped) {
    testing_support::TempDir dir;
    const std::string root = dir / "root.pem";
    testing_support::WriteFileBytes(root, "-----BEGIN CERTIFICATE-----\r\n");
    {
        RegKey smtp(HKEY_LOCAL_MACHINE, kSmtpKey, true, RegKey::AllAccess);
        ASSERT_TRUE(StoreSecret(kSecretDescription, smtp.Handle(), "OAuthRefreshToken", "old refresh"));
    }
    EmailPageScreen page;
    EXPECT_EQ("432000", page.Text(IDC_MAX_AGE)) << "the service's defaults";
    EXPECT_EQ("30", page.Text(IDC_KEEP_DAYS));
    page.Type(IDC_SERVER, "smtp.example.test");
    page.Choose(IDC_TLS, 1);
    page.Choose(IDC_AUTH, 2);
    EXPECT_FALSE(IsWindowEnabled(page.Item(IDC_PASSWORD))) << "only the chosen method's fields";
    EXPECT_TRUE(IsWindowEnabled(page.Item(IDC_REFRESH)));
    page.Type(IDC_ROOT, root.c_str());
    page.Click(IDC_SKIP_CHECK);
    page.Type(IDC_TOKEN_URL, "https://login.example.test:8443/token");
    page.Type(IDC_CLIENT_ID, "app-7");
    page.Type(IDC_SCOPE, "https://mail.example.test/.default");
    page.Type(IDC_SECRET, "client secret 1");  // the refresh token is left: the stored one stays
    page.Type(IDC_MAX_AGE, "86400");
    page.Type(IDC_KEEP_DAYS, "0");
    ASSERT_TRUE(page.Apply()) << "the warning answered with OK";
    struct Row {
        const char* key;
        const char* name;
        std::string expected;
    } rows[] = {
        {kSmtpKey, "Tls", "1"},
        {kSmtpKey, "Auth", "2"},
        {kSmtpKey, "TlsRootCertificate", root},
        {kSmtpKey, "TlsSkipCheck", "1"},
        {kSmtpKey, "OAuthTokenUrl", "https://login.example.test:8443/token"},
        {kSmtpKey, "OAuthClientId", "app-7"},
        {kSmtpKey, "OAuthScope", "https://mail.example.test/.default"},
        {kMailKey, "MaxAge", "86400"},
        {kMailKey, "KeepDays", "0"},
    };
    for (const Row& row : rows) EXPECT_EQ(row.expected, GetRegText(row.key, row.name)) << row.name;
    EXPECT_EQ("client secret 1", Stored("OAuthSecret"));
    EXPECT_EQ("old refresh", Stored("OAuthRefreshToken"));
    EXPECT_EQ("<none>", Stored("Pass"));
    std::vector<host_test::MessageBoxCall> boxes = MessageBoxes();
    ASSERT_EQ(1u, boxes.size());
    EXPECT_EQ(kWarning, boxes[0].type);
    EXPECT_NE(std::string::npos, boxes[0].text.find("Поле \"Не проверять сертификат сервера\": проверка"));

    host_test::ResetSeams();
    EmailPageScreen again;
    EXPECT_EQ("", again.Text(IDC_SECRET)) << "a secret is never shown back";
    EXPECT_EQ("", again.Text(IDC_REFRESH));
    EXPECT_EQ("86400", again.Text(IDC_MAX_AGE));
}

TEST_F(PageSettings, RefusedValueNamesItsFieldAndNothingIsStored) {
    struct Row {
        int auth, tls;
        int field;          // typed with text after the valid values
        const char* text;
        int answer;
        const char* box;    // the box's beginning
        int focus;
    } rows[] = {
        {0, 1, IDC_ROOT, "C:\\nowhere\\root.pem", IDOK,
         "Поле \"Корневой сертификат\": файл не найден (\"C:\\nowhere\\root.pem\")", IDC_ROOT},
        {1, 0, 0, "", IDOK, "Поле \"Шифрование соединения\": вход OAuth 2.0 возможен только", IDC_TLS},
        {1, 1, IDC_TOKEN_URL, "http://login.example.test/token", IDOK, "Поле \"Сервер маркеров (URL)\"", IDC_TOKEN_URL},
        {1, 1, IDC_TOKEN_URL, "https://user@login.example.test/", IDOK, "Поле \"Сервер маркеров (URL)\"", IDC_TOKEN_URL},
        {2, 2, IDC_CLIENT_ID, "", IDOK, "Поле \"Идентификатор клиента\": пустое значение", IDC_CLIENT_ID},
        {1, 1, IDC_SECRET, "", IDOK, "Поле \"Секрет клиента\": пустое значение, и сохранённого нет", IDC_SECRET},
        {2, 1, IDC_REFRESH, "", IDOK, "Поле \"Маркер обновления\": пустое значение, и сохранённого нет", IDC_REFRESH},
        {0, 1, IDC_MAX_AGE, "2147483648", IDOK, "Поле \"Срок доставки письма, с\": целое число от 0", IDC_MAX_AGE},
        {0, 1, IDC_KEEP_DAYS, "-1", IDOK, "Поле \"Хранить архив и журналы, дней\": целое число", IDC_KEEP_DAYS},
        {0, 1, IDC_SKIP_CHECK, nullptr, IDCANCEL, "Поле \"Не проверять сертификат сервера\"", IDC_SKIP_CHECK},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.box);
        RegDeleteTreeA(HKEY_LOCAL_MACHINE, kMailKey);
        host_test::ResetSeams(row.answer);
        EmailPageScreen page;
        page.Type(IDC_SERVER, "smtp.example.test");
        page.Choose(IDC_TLS, row.tls);
        page.Choose(IDC_AUTH, row.auth);
        page.Type(IDC_TOKEN_URL, "https://login.example.test/token");
        page.Type(IDC_CLIENT_ID, "app");
        page.Type(IDC_SECRET, "s");
        page.Type(IDC_REFRESH, "r");
        if (row.text) page.Type(row.field, row.text);
        else page.Click(row.field);
        EXPECT_FALSE(page.Apply());
        Pump();
        std::vector<host_test::MessageBoxCall> boxes = MessageBoxes();
        ASSERT_EQ(1u, boxes.size());
        EXPECT_EQ(row.box, boxes[0].text.substr(0, strlen(row.box)));
        EXPECT_EQ(page.Item(row.focus), GetFocus()) << "the refused field has the focus";
        EXPECT_EQ("<absent>", GetRegText(kSmtpKey, "Server")) << "nothing is stored";
        EXPECT_EQ("<none>", Stored("OAuthSecret"));
    }
}

TEST_F(PageSettings, BrowseFillsTheRootCertificateFromTheFileDialog) {
    testing_support::TempDir dir;
    const std::string chosen = dir / "relay-root.der";
    testing_support::WriteFileBytes(chosen, "0");
    EmailPageScreen page;
    const DWORD thread = GetCurrentThreadId();
    std::thread operatorHand([&] {
        // The file dialog is the window of this thread with a file name field.
        for (int i = 0; i < 500; ++i, Sleep(20)) {
            HWND name = nullptr;
            EnumThreadWindows(thread, FindFileNameField, reinterpret_cast<LPARAM>(&name));
            if (!name) continue;
            SetWindowTextA(name, chosen.c_str());
            PostMessageW(GetAncestor(name, GA_ROOT), WM_COMMAND, IDOK, 0);
            return;
        }
    });
    page.Click(IDC_ROOT_BROWSE);  // returns when the dialog has ended
    operatorHand.join();
    EXPECT_EQ(chosen, page.Text(IDC_ROOT));
    EXPECT_TRUE(page.Screen().ApplyEnabled()) << "the chosen file changes the page";
}

TEST_F(PageSettings, ConnectionTestTriesThePageValuesWithoutStoringThem) {
    testing_support::TempDir certificates;
    ASSERT_EQ("", smtppeer::MakeTestCertificates(certificates.Path()));
    WSADATA winsock;
    WSAStartup(MAKEWORD(2, 2), &winsock);
    struct Row {
        const char* what;
        const char* certificate;
        const char* password;
        DWORD result;
    } rows[] = {
        {"every step succeeds", "server", "right pass", 0},
        {"a wrong password", "server", "wrong pass", ERROR_LOGON_FAILURE},
        {"a server certificate of an unknown root", "unknown", "right pass", ERROR_CONNECTION_ABORTED},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        smtppeer::HostPeer::Options options;
        options.login = "kiosk-7";
        options.password = "right pass";
        options.authRequired = true;
        options.tls = "starttls";
        options.requireTls = true;
        options.certificates = certificates.Path();
        options.certificate = row.certificate;
        smtppeer::HostPeer peer(options);
        ASSERT_TRUE(peer.Started()) << peer.Error();
        TypedPage page;
        page.Type(IDC_SERVER, "127.0.0.1");
        page.Type(IDC_PORT, std::to_string(peer.Port()));
        page.Choose(IDC_TLS, 1);
        page.Type(IDC_ROOT, certificates / "root.pem");
        page.Type(IDC_LOGIN, "kiosk-7");
        page.Type(IDC_PASSWORD, row.password);
        page.Type(IDC_PASSWORD2, row.password);
        page.Click(IDC_TEST);
        EXPECT_TRUE(page.page->TestRunning());
        EXPECT_EQ("Прерват&ь проверку", Text(page.dialog.Item(IDC_TEST)));
        EXPECT_EQ("Проверка соединения...", Text(page.dialog.Item(IDC_TEST_STATUS)));
        ASSERT_TRUE(page.WaitForTest(30000));
        std::string outcome = Text(page.dialog.Item(IDC_TEST_STATUS));
        EXPECT_EQ(row.result, page.page->TestResult()) << outcome;
        EXPECT_FALSE(outcome.empty());
        EXPECT_EQ("Проверит&ь соединение", Text(page.dialog.Item(IDC_TEST)));
        EXPECT_TRUE(peer.Messages(1, 0).empty()) << "no message";
        EXPECT_EQ("<absent>", GetRegText(kSmtpKey, "Server")) << "the configuration is not written";
        EXPECT_EQ("<none>", Stored("Pass"));
        EXPECT_TRUE(NoSubkey()) << "the scratch key is gone";
    }
    WSACleanup();
}

TEST_F(PageSettings, ClosingThePageEndsARunningTestWithinASecond) {
    WSADATA winsock;
    WSAStartup(MAKEWORD(2, 2), &winsock);
    smtppeer::ScriptedServer silent;
    silent.Stall();  // takes the connection and never greets
    silent.Start();
    TypedPage page;
    page.Type(IDC_SERVER, "127.0.0.1");
    page.Type(IDC_PORT, std::to_string(silent.Port()));
    page.Choose(IDC_TLS, 0);
    page.Click(IDC_TEST);
    ASSERT_TRUE(page.page->TestRunning());
    for (DWORD start = GetTickCount(); silent.Connections() == 0 && GetTickCount() - start < 10000;) Pump(1);
    EXPECT_EQ(1, silent.Connections());
    DWORD start = GetTickCount();
    DestroyWindow(page.dialog.window);
    EXPECT_LT(GetTickCount() - start, 1500u) << "closed within about a second";
    EXPECT_FALSE(page.page->TestRunning());
    EXPECT_TRUE(NoSubkey());
    WSACleanup();
}

TEST_F(PageSettings, QueueLinesShowTheOutboxAndBadMail) {
    testing_support::TempDir dir;
    UseServiceFolders(dir);
    CreateDirectoryA((dir / "Bad").c_str(), nullptr);
    const char message[] = "To: office@example.test\r\nSubject: waiting\r\n\r\ntext\r\n";
    for (const char* name : {"Outbox\\1.eml", "Outbox\\2.eml", "Bad\\3.eml"}) testing_support::WriteFileBytes(dir / name, message);
    testing_support::WriteFileBytes(dir / "Bad\\3.eml.why", "X-Pennark-Failure: test\r\n");
    TypedPage page;  // the figures are read when the page is shown
    const std::string waiting = "Ждут отправки: 2, самое давнее — ";
    EXPECT_EQ(waiting, Text(page.dialog.Item(IDC_QUEUE_WAITING)).substr(0, waiting.size()));
    EXPECT_EQ("Ошибок не было", Text(page.dialog.Item(IDC_QUEUE_FAILURE)));
    EXPECT_EQ("В недоставленных: 1", Text(page.dialog.Item(IDC_QUEUE_BAD_MAIL)));
    DeleteFileA((dir / "Outbox\\2.eml").c_str());
    page.page->RefreshQueue();
    EXPECT_EQ("Ждут отправки: 1, самое давнее — ", Text(page.dialog.Item(IDC_QUEUE_WAITING)).substr(0, waiting.size()));
    EXPECT_TRUE(testing_support::ReadFileBytes(dir / "Outbox\\1.eml") == message) << "nothing is changed";
}
