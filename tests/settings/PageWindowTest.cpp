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

// A control's text for a failure message.
std::string Printable(const wchar_t* text) {
    char buffer[512] = "";
    WideCharToMultiByte(CP_UTF8, 0, text, -1, buffer, sizeof buffer, nullptr, nullptr);
    return buffer;
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
        {102, "Button", 4, 4, 482, 12},    {103, "Static", 12, 31, 104, 10},  {1497, "Edit", 118, 30, 126, 12},
        {104, "Static", 12, 47, 104, 10},  {1496, "Edit", 118, 46, 126, 12},  {105, "Static", 12, 147, 104, 10},
        {1495, "Edit", 118, 146, 126, 12}, {106, "Static", 12, 163, 104, 10}, {1494, "Edit", 118, 162, 126, 12},
        {107, "Static", 12, 179, 104, 10}, {1493, "Edit", 118, 178, 126, 12}, {108, "Static", 266, 31, 104, 10},
        {100, "Edit", 372, 30, 108, 12},   {109, "Static", 266, 47, 104, 10}, {1492, "Edit", 372, 46, 108, 12},
        {110, "Static", 266, 81, 170, 10}, {111, "Static", 12, 63, 104, 10},
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
    RECT buddyDesign = dialog.Units(438, 80, 42, 12);
    RECT buddy = dialog.Rect(1491), spin = dialog.Rect(101);
    EXPECT_EQ(reinterpret_cast<LRESULT>(GetDlgItem(dialog.window, 1491)),
              SendDlgItemMessageW(dialog.window, 101, UDM_GETBUDDY, 0, 0));
    EXPECT_EQ(buddyDesign.left, buddy.left);
    EXPECT_LT(buddy.right, buddyDesign.right);
    EXPECT_LE(spin.left, buddy.right) << "touching its buddy";
    EXPECT_LE(spin.right, buddyDesign.right);
    EXPECT_GT(spin.right, buddyDesign.right - 4);
    EXPECT_EQ(buddyDesign.top, spin.top);
    // The closed combo box keeps the place and width of its row; its height is the font's.
    RECT security = dialog.Rect(1490), securityDesign = dialog.Units(118, 62, 126, 60);
    EXPECT_EQ(securityDesign.left, security.left);
    EXPECT_EQ(securityDesign.top, security.top);
    EXPECT_EQ(securityDesign.right, security.right);
    RECT client = {};
    GetClientRect(dialog.window, &client);
    EXPECT_EQ(Describe(dialog.Units(0, 0, 490, 282)), Describe(client));
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
        for (int id :
             {103, 1497, 104, 1496, 105, 1495, 106, 1494, 107, 1493, 108, 100, 109, 1492, 110, 1491, 101, 111, 1490})
            EXPECT_EQ(row.checked, IsWindowEnabled(page.Item(id)) != FALSE) << id;
        EXPECT_TRUE(IsWindowEnabled(page.Item(IDC_MAIL_ENABLED)));
        EXPECT_FALSE(page.Screen().ApplyEnabled()) << "loading is no change of the operator's";
        EXPECT_TRUE(page.Screen().Errors().empty());
    }
}

TEST(PageWindow, EveryLabelShowsItsWholeTextInTheDialogFont) {
    StandaloneDialog dialog;
    ASSERT_NE(nullptr, dialog.window);
    HFONT font = reinterpret_cast<HFONT>(SendMessageW(dialog.window, WM_GETFONT, 0, 0));
    ASSERT_NE(nullptr, font);
    HDC dc = GetDC(dialog.window);
    HGDIOBJ previous = SelectObject(dc, font);
    // The check box's text starts after its box and the gap the button leaves.
    const int boxWidth = GetSystemMetrics(SM_CXMENUCHECK) + GetSystemMetrics(SM_CXEDGE) * 2;
    RECT character = {0, 0, 4, 0};  // an average character is 4 dialog units wide
    MapDialogRect(dialog.window, &character);
    int measured = 0;
    for (HWND control = GetWindow(dialog.window, GW_CHILD); control; control = GetWindow(control, GW_HWNDNEXT)) {
        wchar_t kind[32] = L"";
        GetClassNameW(control, kind, 32);
        if (_wcsicmp(kind, L"Static") != 0 && _wcsicmp(kind, L"Button") != 0) continue;
        ++measured;
        int id = GetDlgCtrlID(control);
        LONG style = GetWindowLongW(control, GWL_STYLE) & BS_TYPEMASK;
        bool box = _wcsicmp(kind, L"Button") == 0 && (style == BS_AUTOCHECKBOX || style == BS_CHECKBOX);
        // A frame's title and a push button's text keep a margin of an average character each side.
        bool framed = _wcsicmp(kind, L"Button") == 0 && !box;
        wchar_t text[256] = L"";
        GetWindowTextW(control, text, 256);
        // Measured as the control draws it: one line, "&" marking the access key.
        RECT needed = {0, 0, 0, 0};
        DrawTextW(dc, text, -1, &needed, DT_CALCRECT | DT_SINGLELINE);
        RECT client = {};
        GetClientRect(control, &client);
        int room = client.right - (box ? boxWidth : 0) - (framed ? 2 * character.right : 0);
        EXPECT_LE(needed.right, room) << id << " " << Printable(text) << ": the text is cut (" << needed.right << " of " << room << ")";
        EXPECT_LE(needed.bottom, client.bottom) << id << ": the line is cut";
    }
    EXPECT_GE(measured, 30) << "every label, check box, frame and button";
    SelectObject(dc, previous);
    ReleaseDC(dialog.window, dc);
}
