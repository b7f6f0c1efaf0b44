// The e-mail page in a real window (an X display): its controls where the dialog resource
// puts them, how it follows a larger page, and what it loads from and saves to the registry
// when the host's configuration screen shows it.
#include <windows.h>
#include <commctrl.h>
#include <gtest/gtest.h>
#include "EmailPageIds.h"
#include "Secret.h"
#include "TestSupport.h"
#include "WindowTestSupport.h"

using namespace postdesk_test;
using testing_support::GetRegText;
using testing_support::kMailKey;
using testing_support::kSmtpKey;

namespace {

std::string Describe(const RECT& r) {
    return std::to_string(r.left) + "," + std::to_string(r.top) + "-" + std::to_string(r.right) + "," +
           std::to_string(r.bottom);
}

}  // namespace

TEST(PageWindow, EveryControlOfTheTableIsInPlace) {
    StandaloneDialog dialog;
    ASSERT_NE(nullptr, dialog.window);
    struct Row {
        int id;
        const char* kind;
        int x, y, cx, cy;
    } rows[] = {
        {102, "Button", 4, 4, 202, 12},   {103, "Static", 14, 27, 90, 10},  {1497, "Edit", 108, 26, 98, 12},
        {104, "Static", 14, 43, 90, 10},  {1496, "Edit", 108, 42, 98, 12},  {105, "Static", 14, 59, 90, 10},
        {1495, "Edit", 108, 58, 98, 12},  {106, "Static", 14, 75, 90, 10},  {1494, "Edit", 108, 74, 98, 12},
        {107, "Static", 14, 91, 90, 10},  {1493, "Edit", 108, 90, 98, 12},  {108, "Static", 14, 107, 90, 10},
        {100, "Edit", 108, 106, 98, 12},  {109, "Static", 14, 123, 90, 10}, {1492, "Edit", 108, 122, 98, 12},
        {110, "Static", 14, 139, 150, 10},
    };
    for (const Row& row : rows) {
        HWND control = GetDlgItem(dialog.window, row.id);
        ASSERT_NE(nullptr, control) << row.id;
        char kind[64] = "";
        GetClassNameA(control, kind, sizeof kind);
        EXPECT_STRCASEEQ(row.kind, kind) << row.id;
        EXPECT_EQ(Describe(dialog.Units(row.x, row.y, row.cx, row.cy)), Describe(dialog.Rect(row.id))) << row.id;
    }
    // The up-down takes its place at the right end of its buddy, which makes room for it.
    RECT buddyDesign = dialog.Units(166, 138, 40, 12);
    RECT buddy = dialog.Rect(1491), spin = dialog.Rect(101);
    EXPECT_EQ(reinterpret_cast<LRESULT>(GetDlgItem(dialog.window, 1491)),
              SendDlgItemMessageW(dialog.window, 101, UDM_GETBUDDY, 0, 0));
    EXPECT_EQ(buddyDesign.left, buddy.left);
    EXPECT_LT(buddy.right, buddyDesign.right);
    EXPECT_LE(spin.left, buddy.right) << "touching its buddy";
    EXPECT_LE(spin.right, buddyDesign.right);
    EXPECT_GT(spin.right, buddyDesign.right - 4);
    EXPECT_EQ(buddyDesign.top, spin.top);
    RECT client = {};
    GetClientRect(dialog.window, &client);
    EXPECT_EQ(Describe(dialog.Units(0, 0, 210, 189)), Describe(client));
}

TEST(PageWindow, LoadsTheMailKeyWhenTheHostAttachesIt) {
    struct Row {
        const char* what;
        bool full;
        bool checked;
        const char* server;
        const char* port;
        const char* login;
        const char* sender;
        const char* recipient;
        const char* retry;
    } rows[] = {
        {"an empty Mail key", false, true, "", "25", "", "", "", "0"},
        {"a full Mail key", true, false, "mail.example.test", "2525", "kiosk", "kiosk@example.test",
         "office@example.test", "45"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        RegDeleteTreeA(HKEY_LOCAL_MACHINE, kMailKey);
        if (row.full) {
            testing_support::SetRegNumber(kMailKey, "Disabled", 1);
            testing_support::SetRegNumber(kMailKey, "Retry Timeout", 45);
            testing_support::SetRegText(kSmtpKey, "Server", row.server);
            testing_support::SetRegNumber(kSmtpKey, "Port", 2525);  // the service reads a number too
            testing_support::SetRegText(kSmtpKey, "Login", row.login);
            testing_support::SetRegText(kSmtpKey, "ReversePath", row.sender);
            testing_support::SetRegText(kSmtpKey, "Recipient", row.recipient);
            RegKey smtp(HKEY_LOCAL_MACHINE, kSmtpKey, true, RegKey::AllAccess);
            ASSERT_TRUE(StoreSecret(kSecretDescription, smtp.Handle(), "Pass", "hidden"));
        }
        EmailPageScreen page;
        EXPECT_EQ(row.checked, page.Checked(IDC_MAIL_ENABLED));
        EXPECT_EQ(row.server, page.Text(IDC_SERVER));
        EXPECT_EQ(row.port, page.Text(IDC_PORT));
        EXPECT_EQ(row.login, page.Text(IDC_LOGIN));
        EXPECT_EQ("", page.Text(IDC_PASSWORD)) << "the password is never shown";
        EXPECT_EQ("", page.Text(IDC_PASSWORD2));
        EXPECT_EQ(row.sender, page.Text(IDC_SENDER));
        EXPECT_EQ(row.recipient, page.Text(IDC_RECIPIENT));
        EXPECT_EQ(row.retry, page.Text(IDC_RETRY));
        for (int id : {103, 1497, 104, 1496, 105, 1495, 106, 1494, 107, 1493, 108, 100, 109, 1492, 110, 1491, 101})
            EXPECT_EQ(row.checked, IsWindowEnabled(page.Item(id)) != FALSE) << id;
        EXPECT_TRUE(IsWindowEnabled(page.Item(IDC_MAIL_ENABLED)));
        EXPECT_FALSE(page.Screen().ApplyEnabled()) << "loading is no change of the operator's";
        EXPECT_TRUE(page.Screen().Errors().empty());
    }
}
