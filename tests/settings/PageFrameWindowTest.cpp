// The page base in a real window: the field checks with their texts, the focus sent back to
// a field (also across the host's sheet), context help through the viewer, the window ports,
// and the layout that follows a larger page.
#include <windows.h>
#include <commctrl.h>
#include <gtest/gtest.h>
#include <prsht.h>
#include "EmailPageIds.h"
#include "TestSupport.h"
#include "WindowTestSupport.h"

using namespace postdesk_test;
using host_test::MessageBoxes;

namespace {

const char kAdvice[] =
    " (во избежание двусмысленности дальнейшего использования данного значения рекомендуется не вставлять "
    "пробелы в начале и в конце)";
const char kCorrect[] = "\r\n\"Отмена\" - исправить значение.";
const UINT kWarning = MB_OKCANCEL | MB_ICONWARNING | MB_DEFBUTTON2;
const UINT kError = MB_OK | MB_ICONERROR;

class PageFrame : public ::testing::Test {
protected:
    void SetUp() override { host_test::ResetSeams(); }
    void TearDown() override { host_test::ResetSeams(); }
};

}  // namespace

TEST_F(PageFrame, FieldChecksTellWhatIsWrongAndSendTheFocusBack) {
    enum Check { Spaces, NotEmpty, Pair, Integer };
    struct Row {
        Check check;
        const char* text;
        const char* again;  // the repetition of Pair
        const char* name;
        const char* hint;
        int answer;
        bool result;
        std::string box;    // "" for none; a warning ends with how to correct the value
        UINT type;
        bool focus;         // the focus is back on the field
    } rows[] = {
        {Spaces, " both ", "", "Сервер", "", IDOK, true,
         std::string("Поле \"Сервер\": пробелы в начале текста") + kAdvice + ".", kWarning, false},
        {Spaces, "end ", "", "Сервер", "имя узла", IDCANCEL, false,
         "Поле \"Сервер\": пробелы в конце текста (имя узла).", kWarning, true},
        {Spaces, "in side", "", "Сервер", "", IDCANCEL, true, "", 0, false},
        {Spaces, "\tтаб\t", "", "Сервер", "", IDCANCEL, true, "", 0, false},
        {NotEmpty, "", "", "Логин", "", IDOK, true, "Поле \"Логин\": пустое/незаданное значение.", kWarning, false},
        {NotEmpty, "", "", "Логин", "учётная запись", IDCANCEL, false,
         "Поле \"Логин\": пустое/незаданное значение (учётная запись).", kWarning, true},
        {Pair, "", "", "", "", IDCANCEL, false, "Поле \"Пароль\": пустое/незаданное значение.", kWarning, true},
        {Pair, "abc", "abC", "", "", IDOK, false,
         "Поле \"Пароль\": повторный ввод не соответствует паролю, введите пароль ещё раз.", kError, true},
        {Pair, " abc", " abc", "Код", "", IDCANCEL, false,
         std::string("Поле \"Код\": пробелы в начале текста") + kAdvice + ".", kWarning, true},
        {Integer, "12.7", "", "Задержка", "", IDOK, true, "", 0, false},
        {Integer, "-12.7", "", "Задержка", "", IDOK, true, "", 0, false},
        {Integer, "1O", "", "Задержка", "", IDOK, false,
         "Поле \"Задержка\": ошибка формата целого числа (\"1O\")", kError, true},
    };
    AttachedPage<ControlPluginPage> attached;
    HWND field = attached.dialog.Item(IDC_SERVER), repetition = attached.dialog.Item(IDC_LOGIN);
    for (const Row& row : rows) {
        SCOPED_TRACE(row.text);
        host_test::ResetSeams(row.answer);
        SetWindowTextA(field, row.text);
        SetWindowTextA(repetition, row.again);
        SetFocus(attached.dialog.Item(IDC_MAIL_ENABLED));
        Pump(1);
        bool result = false;
        int number = -1;
        switch (row.check) {
        case Spaces: result = attached.page->CheckSpaces(field, row.name, row.hint); break;
        case NotEmpty: result = attached.page->CheckNotEmpty(field, row.name, row.hint); break;
        case Pair: result = attached.page->CheckPasswordPair(field, repetition, row.name, row.hint); break;
        case Integer: result = attached.page->ReadIntField(field, row.name, &number); break;
        }
        Pump();
        EXPECT_EQ(row.result, result);
        std::vector<host_test::MessageBoxCall> boxes = MessageBoxes();
        if (!row.box.empty()) {
            ASSERT_EQ(1u, boxes.size());
            EXPECT_EQ(row.type == kWarning ? row.box + kCorrect : row.box, boxes[0].text);
            EXPECT_EQ(row.type, boxes[0].type);
            EXPECT_EQ(attached.dialog.window, boxes[0].window);
            EXPECT_EQ("Проверка", boxes[0].caption);
        } else {
            EXPECT_TRUE(boxes.empty()) << boxes[0].text;
        }
        EXPECT_EQ(row.focus, GetFocus() == field);
        if (row.check == Integer && row.result) {
            EXPECT_EQ(atof(row.text) < 0 ? -12 : 12, number);
        }
    }
}

namespace {
// An owner window that counts the messages a property sheet would take.
LONG g_sheetMessages = 0;
LRESULT CALLBACK OwnerProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == PSM_SETCURSEL || message == PSM_HWNDTOINDEX) InterlockedIncrement(&g_sheetMessages);
    return DefWindowProcW(window, message, wParam, lParam);
}
}  // namespace

TEST_F(PageFrame, FocusControlBringsThePageForwardInsideTheSheetOnly) {
    // Inside the host's sheet: a second page's field is brought to the front with its tab.
    kiosk::ConfigScreen* screen = new kiosk::ConfigScreen();
    ControlPluginPage* first = new ControlPluginPage(screen, "Первая");
    ControlPluginPage* second = new ControlPluginPage(screen, "Вторая");
    CoString module(PostdeskModule::Get().path.c_str()), name(L"Page_Email");
    screen->AddPage(first, module, name);
    screen->AddPage(second, module, name);
    ASSERT_NE(nullptr, screen->Open(nullptr, L"Две страницы"));
    Pump();
    ASSERT_EQ(screen->PageWindow(0), PropSheet_GetCurrentPageHwnd(screen->Sheet()));
    // The second page's window comes with its first showing.
    screen->Select(1);
    screen->Select(0);
    HWND target = GetDlgItem(screen->PageWindow(1), IDC_LOGIN);
    ASSERT_NE(nullptr, target);
    second->FocusControl(target);
    Pump();
    EXPECT_EQ(screen->PageWindow(1), PropSheet_GetCurrentPageHwnd(screen->Sheet()));
    EXPECT_EQ(target, GetFocus());
    screen->Close();
    first->Release();
    second->Release();
    screen->Release();

    // A page shown on its own, owned by a window that is no sheet: only the focus moves.
    WNDCLASSW owned = {};
    owned.lpfnWndProc = OwnerProcedure;
    owned.hInstance = GetModuleHandleW(nullptr);
    owned.lpszClassName = L"PostdeskTestOwner";
    RegisterClassW(&owned);
    HWND owner = CreateWindowW(L"PostdeskTestOwner", L"owner", WS_OVERLAPPEDWINDOW, 0, 0, 200, 100, nullptr, nullptr,
                               owned.hInstance, nullptr);
    {
        AttachedPage<ControlPluginPage> alone(owner);
        HWND field = alone.dialog.Item(IDC_PORT);
        g_sheetMessages = 0;
        alone.page->FocusControl(field);
        Pump();
        EXPECT_EQ(field, GetFocus());
        EXPECT_EQ(0, g_sheetMessages) << "the owner was taken for a sheet";
    }
    DestroyWindow(owner);
}

TEST_F(PageFrame, ContextHelpShowsTheControlsTopicFromTheModulesHelpFile) {
    EmailPageScreen page;
    HelpRecorder::Clear();
    struct Row {
        int id;
        UINT topic;  // 0: no popup
    } rows[] = {
        {102, 9}, {103, 1}, {1497, 1}, {104, 2}, {1496, 2}, {105, 3}, {1495, 3}, {106, 4}, {1494, 4},
        {107, 4}, {1493, 4}, {108, 6}, {100, 6}, {109, 7}, {1492, 7}, {110, 8}, {1491, 8}, {101, 8},
        {111, 10}, {1490, 10},
    };
    HWND extra = CreateWindowW(L"STATIC", L"", WS_CHILD, 0, 0, 1, 1, page.Page(), reinterpret_cast<HMENU>(999),
                               nullptr, nullptr);
    HWND unnumbered = CreateWindowW(L"STATIC", L"", WS_CHILD, 0, 0, 1, 1, page.Page(), nullptr, nullptr, nullptr);
    const std::string helpFile = testing_support::BesideTests("Postdesk.chm");
    auto help = [&](HWND control) {
        HELPINFO info = {sizeof info, HELPINFO_WINDOW, GetDlgCtrlID(control), control, 0, {0, 0}};
        SendMessageW(page.Page(), WM_HELP, 0, reinterpret_cast<LPARAM>(&info));
    };
    for (const Row& row : rows) {
        HelpRecorder::Clear();
        help(page.Item(row.id));
        std::vector<RecordedHelpCall> calls = HelpRecorder::Calls();
        ASSERT_EQ(1u, calls.size()) << row.id;
        const RecordedHelpCall& c = calls[0];
        EXPECT_EQ(14, c.ordinal);
        EXPECT_EQ(page.Item(row.id), c.caller);
        EXPECT_EQ(helpFile, c.file);
        EXPECT_EQ(0x000Eu, c.command);
        EXPECT_EQ(row.topic, c.topic) << row.id;
        EXPECT_EQ(int(sizeof(void*) == 4 ? 52 : 72), c.size);
        EXPECT_EQ(nullptr, c.instance);
        EXPECT_TRUE(c.textNull);
        EXPECT_EQ(-1, c.position.x);
        EXPECT_EQ(-1, c.position.y);
        EXPECT_EQ(COLORREF(-1), c.foreground);
        EXPECT_EQ(COLORREF(-1), c.background);
        EXPECT_EQ(-1, c.margins.left);
        EXPECT_EQ(-1, c.margins.bottom);
        EXPECT_STREQ("MS Shell Dlg, 8", c.font);
    }
    HelpRecorder::Clear();
    help(extra);
    help(unnumbered);
    EXPECT_TRUE(HelpRecorder::Calls().empty()) << "controls without a topic show nothing";
    EXPECT_TRUE(page.Screen().Errors().empty());
}

TEST(WindowPorts, PortsViewWindowsWithoutOwningThem) {
    StandaloneDialog dialog;
    HWND check = CreateWindowW(L"BUTTON", L"three", WS_CHILD | BS_AUTO3STATE, 0, 0, 50, 10, dialog.window,
                               reinterpret_cast<HMENU>(77), nullptr, nullptr);
    {
        WindowPort port(dialog.window);
        EXPECT_EQ(dialog.Item(IDC_SERVER), port.GetItem(IDC_SERVER));
    }
    EXPECT_TRUE(IsWindow(dialog.window)) << "dropping a port leaves its window";

    struct Row {
        UINT state;
        bool checked;
    } rows[] = {{BST_UNCHECKED, false}, {BST_CHECKED, true}, {BST_INDETERMINATE, false}};
    for (const Row& row : rows) {
        SendMessageW(check, BM_SETCHECK, row.state, 0);
        EXPECT_EQ(row.checked, CheckBoxPort(check).IsChecked()) << row.state;
    }
    CheckBoxPort(check).SetCheck(true);
    EXPECT_EQ(BST_CHECKED, SendMessageW(check, BM_GETCHECK, 0, 0));

    // A control port found through its dialog: the id first, the window when first asked.
    WindowPort dialogPort(dialog.window);
    ControlPort byId(&dialogPort, IDC_RETRY);
    EXPECT_EQ(IDC_RETRY, byId.GetControlId());
    EXPECT_EQ(nullptr, byId.GetWindowHandle());
    EXPECT_EQ(dialog.Item(IDC_RETRY), byId.ResolveHandle());
    EXPECT_EQ(dialog.Item(IDC_RETRY), byId.GetWindowHandle());
    EXPECT_EQ(77, ControlPort(check).GetControlId());

    std::string longText(3000, 'x');
    SetWindowTextA(dialog.Item(IDC_SERVER), longText.c_str());
    EXPECT_EQ(longText, ReadWindowText(dialog.Item(IDC_SERVER)).str());
}

TEST(PageWindow, FieldsStretchWithALargerPage) {
    AttachedPage<Page_Email> attached;
    StandaloneDialog& dialog = attached.dialog;
    // The left column stretches; the right column moves with the page's right edge.
    struct Row {
        int id;
        bool moves, stretches;
    } rows[] = {
        {IDC_MAIL_ENABLED, false, true}, {IDC_SERVER_LABEL, false, false}, {IDC_SERVER, false, true},
        {IDC_PASSWORD, false, true},     {IDC_TOKEN_URL, false, true},     {IDC_ROOT, false, true},
        {IDC_ROOT_BROWSE, true, false},  {IDC_RECIPIENT, true, false},     {IDC_RETRY, true, false},
        {IDC_RETRY_SPIN, true, false},   {IDC_RETRY_LABEL, true, false},   {IDC_TLS, false, true},
        {IDC_TEST, true, false},         {IDC_QUEUE_FAILURE, true, false},
    };
    std::vector<int> ids;
    for (const Row& row : rows) ids.push_back(row.id);
    std::vector<RECT> before;
    for (int id : ids) before.push_back(dialog.Rect(id));
    RECT frame = {};
    GetWindowRect(dialog.window, &frame);
    const int grow = 100;
    SetWindowPos(dialog.window, nullptr, 0, 0, frame.right - frame.left + grow, frame.bottom - frame.top + 40,
                 SWP_NOMOVE | SWP_NOZORDER);
    Pump();
    for (size_t i = 0; i < before.size(); ++i) {
        RECT now = dialog.Rect(ids[i]);
        SCOPED_TRACE(ids[i]);
        EXPECT_EQ(before[i].left + (rows[i].moves ? grow : 0), now.left);
        EXPECT_EQ(before[i].right + (rows[i].moves || rows[i].stretches ? grow : 0), now.right);
        EXPECT_EQ(before[i].top, now.top) << "nothing moves down";
        EXPECT_EQ(before[i].bottom, now.bottom);
    }
}
