// Postdesk.dll as the host meets it without a window: the page's dialog resource, the
// registration, the class object that builds the control plugin and its page, and the
// loading of the HTML Help viewer.
#include <gtest/gtest.h>
#include <algorithm>
#include <climits>
#include "ControlPlugin.h"
#include "HtmlHelp.h"
#include "PostdeskTestSupport.h"
#include "TestSupport.h"
#include <commctrl.h>
#include <htmlhelp.h>

using namespace postdesk_test;
using host_test::MessageBoxes;

namespace {

const PostdeskModule& Postdesk() { return PostdeskModule::Get(); }

const DWORD kChild = WS_CHILD | WS_VISIBLE;
const DWORD kEdit = kChild | WS_BORDER | WS_TABSTOP | ES_AUTOHSCROLL;

}  // namespace

TEST(PostdeskResource, PageDialogIsTheTableExactly) {
    DialogTemplate t = ReadDialogTemplate(Postdesk().module, "Page_Email");
    ASSERT_TRUE(t.found) << "the name the plugin passes finds the resource PAGE_EMAIL";
    EXPECT_EQ(DWORD(WS_CAPTION | DS_SETFONT), t.style);
    EXPECT_EQ(0u, t.exStyle);
    EXPECT_EQ(L"Электронная почта", t.caption);
    EXPECT_EQ(8, t.pointSize);
    EXPECT_EQ(L"MS Shell Dlg", t.face);
    EXPECT_EQ(490, t.cx);
    EXPECT_EQ(282, t.cy);

    struct Row {
        DWORD id;
        const wchar_t* className;
        const wchar_t* text;
        short x, y, cx, cy;
        DWORD style;
    } rows[] = {
        {102, L"Button", L"&Отправлять письма электронной почты", 4, 4, 482, 12,
         kChild | WS_TABSTOP | BS_AUTOCHECKBOX | BS_MULTILINE},
        {103, L"Static", L"Почтовый &сервер:", 12, 31, 104, 10, kChild},
        {1497, L"Edit", L"", 118, 30, 126, 12, kEdit},
        {104, L"Static", L"SMTP &порт:", 12, 47, 104, 10, kChild},
        {1496, L"Edit", L"", 118, 46, 126, 12, kEdit},
        {111, L"Static", L"&Шифрование соединения:", 12, 63, 104, 10, kChild},
        {1490, L"ComboBox", L"", 118, 62, 126, 60, kChild | CBS_DROPDOWNLIST | WS_VSCROLL | WS_TABSTOP},
        {105, L"Static", L"Войти под &именем:", 12, 147, 104, 10, kChild},
        {1495, L"Edit", L"", 118, 146, 126, 12, kEdit},
        {106, L"Static", L"П&ароль:", 12, 163, 104, 10, kChild},
        {1494, L"Edit", L"", 118, 162, 126, 12, kEdit | ES_PASSWORD},
        {107, L"Static", L"Па&роль повторно:", 12, 179, 104, 10, kChild},
        {1493, L"Edit", L"", 118, 178, 126, 12, kEdit | ES_PASSWORD},
        {108, L"Static", L"email-а&дрес терминала:", 266, 31, 104, 10, kChild},
        {100, L"Edit", L"", 372, 30, 108, 12, kEdit},
        {109, L"Static", L"email-адр&ес получателя:", 266, 47, 104, 10, kChild},
        {1492, L"Edit", L"", 372, 46, 108, 12, kEdit},
        {110, L"Static", L"&Задержка повтора при ошибках почты, с:", 266, 81, 170, 10, kChild},
        {1491, L"Edit", L"", 438, 80, 42, 12, kEdit | ES_NUMBER | ES_RIGHT},
        {101, L"msctls_updown32", L"", 0, 0, 0, 0,
         kChild | UDS_SETBUDDYINT | UDS_ALIGNRIGHT | UDS_AUTOBUDDY | UDS_ARROWKEYS | UDS_NOTHOUSANDS},
    };
    // The tab order is the reading order: the left column top to bottom, then the right one.
    const DWORD order[] = {102,  130,  103,  1497, 104,  1496, 111,  1490, 112,  1489, 1488, 1487, 131,
                           113,  1486, 105,  1495, 106,  1494, 107,  1493, 114,  1485, 115,  1484, 116,
                           1483, 117,  1482, 118,  1481, 132,  108,  100,  109,  1492, 133,  110,  1491,
                           101,  119,  1480, 120,  1479, 1478, 121,  134,  122,  123,  124};
    ASSERT_EQ(sizeof order / sizeof order[0], t.items.size()) << "the controls, in tab order";
    for (size_t i = 0; i < t.items.size(); ++i) EXPECT_EQ(order[i], t.items[i].id) << "tab position " << i;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.id);
        auto found = std::find_if(t.items.begin(), t.items.end(), [&](const DialogItem& i) { return i.id == row.id; });
        ASSERT_NE(t.items.end(), found);
        const DialogItem& item = *found;
        EXPECT_EQ(0, _wcsicmp(row.className, item.className.c_str())) << "kind";
        EXPECT_EQ(row.text, item.text);
        EXPECT_EQ(row.x, item.x);
        EXPECT_EQ(row.y, item.y);
        EXPECT_EQ(row.cx, item.cx);
        EXPECT_EQ(row.cy, item.cy);
        EXPECT_EQ(row.style, item.style) << std::hex << (row.style ^ item.style);
        EXPECT_EQ(0u, item.exStyle);
    }
}

TEST(PostdeskModule, ExportsItsTwoEntryPointsAndTakesOnlyTheDefaultsTheTestAndTheQueueFromPostvane) {
    EXPECT_EQ((std::vector<std::string>{"DllGetClassObject", "PennarkPlugin_InstallInit"}),
              host_test::ExportedNames(Postdesk().module));
    EXPECT_TRUE(host_test::Contains(host_test::ImportedModules(Postdesk().module), "Pennarkix.dll"));
    EXPECT_EQ((std::vector<std::string>{"SmtpQueueStatus", "SmtpTestConnection", "_Z23SmtpCreateDefaultConfigv"}),
              host_test::ImportedFunctions(Postdesk().module, "Postvane.dll"));
}

TEST(PostdeskModule, RegistrationWritesItsClassAndControlPluginKey) {
    PrivateClassesRoot classes;
    ASSERT_TRUE(classes.Isolated());
    host_test::ResetSeams();
    const std::string server = std::string(kPostdeskClassKey) + "\\InProcServer32";
    for (int run = 1; run <= 2; ++run) {
        SCOPED_TRACE(run);
        EXPECT_EQ(0, Postdesk().installInit(nullptr, nullptr));
        EXPECT_EQ("Quillet Pennark Email Control Plugin", host_test::ClassesText(kPostdeskClassKey, ""));
        EXPECT_EQ(Postdesk().path, host_test::ClassesText(server.c_str(), ""));
        EXPECT_EQ("Both", host_test::ClassesText(server.c_str(), "ThreadingModel"));
        EXPECT_EQ("{7A1C3E52-94B0-4D6F-8E21-5B9D0C4F7A13}", testing_support::GetRegText(kControlPluginKey, "CLSID"));
        EXPECT_EQ("<absent>", testing_support::GetRegText("Software\\Quillet\\Pennark\\Plugins\\Email", "CLSID"))
            << "the settings plugin is no plugin of the terminal";
        EXPECT_EQ("60", testing_support::GetRegText(testing_support::kMailKey, "Retry Timeout"))
            << "the mail defaults are written";
    }
    EXPECT_TRUE(MessageBoxes().empty());
}

TEST(PostdeskModule, ControlPluginAddsItsPageToTheHost) {
    host_test::ComScope com;
    host_test::ResetSeams();
    IClassFactory* factory = nullptr;
    ASSERT_EQ(S_OK, Postdesk().getClassObject(kPostdeskClassId, IID_IClassFactory, reinterpret_cast<void**>(&factory)));
    IPennarkControlPlugin* plugin = nullptr;
    ASSERT_EQ(S_OK, factory->CreateInstance(nullptr, __uuidof(IPennarkControlPlugin), reinterpret_cast<void**>(&plugin)));
    factory->Release();

    StubControlHost host;
    EXPECT_EQ(S_OK, plugin->Initialize(static_cast<IPennarkControlHost*>(&host)));
    ASSERT_EQ(1u, host.pages.size());
    EXPECT_EQ(Postdesk().path, host.pages[0].modulePath);
    EXPECT_EQ("Page_Email", host.pages[0].name);
    IPennarkControlPage* page = host.pages[0].page;
    EXPECT_EQ(1u, host_test::RefCount(page)) << "the host's reference is the page's only one";
    EXPECT_EQ(0, page->PageQuery());

    // A host object that is no configuration screen is refused through Invoke with the reason.
    struct NotAHost : IUnknown {
        HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** out) override { *out = nullptr; return E_NOINTERFACE; }
        ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
        ULONG STDMETHODCALLTYPE Release() override { return 1; }
    } notAHost;
    host_test::ExcepInfo excep;
    VARIANT argument;
    VariantInit(&argument);
    V_VT(&argument) = VT_UNKNOWN;
    V_UNKNOWN(&argument) = &notAHost;
    EXPECT_EQ(DISP_E_EXCEPTION, host_test::InvokeByName(plugin, L"Initialize", {argument}, &excep));
    EXPECT_EQ(WORD(E_NOINTERFACE & 0xFFFF), excep.wCode);
    EXPECT_EQ(0u, excep.Description().find("COM call error 0x80004002 at \"Apprig/Include/co\":114"))
        << excep.Description();
    EXPECT_EQ(1u, host.pages.size()) << "no second page";

    EXPECT_EQ(0u, plugin->Release());
    host.ReleasePages();
    EXPECT_TRUE(MessageBoxes().empty());
}

TEST(PostdeskHelp, ViewerIsTheRegisteredModuleTriedOnce) {
    PrivateClassesRoot classes;
    ASSERT_TRUE(classes.Isolated());
    HelpRecorder::Clear();
    HWND caller = reinterpret_cast<HWND>(0x1234);

    // The registered module answers at its ordinals, with the caller's four arguments.
    classes.SetText(kHtmlHelpServer, "", HelpRecorder::Path());
    HtmlHelpEntry ansi(HtmlHelpEntry::kAnsiOrdinal), wide(HtmlHelpEntry::kWideOrdinal);
    EXPECT_EQ(kRecorderAnswer, ansi.Call(caller, "C:\\help\\Postdesk.chm", 0x12, 77));
    EXPECT_EQ(kRecorderAnswer, wide.Call(caller, L"C:\\help\\Справка.chm", 0x13, 78));
    std::vector<RecordedHelpCall> calls = HelpRecorder::Calls();
    ASSERT_EQ(2u, calls.size());
    EXPECT_EQ(14, calls[0].ordinal);
    EXPECT_EQ(caller, calls[0].caller);
    EXPECT_STREQ("C:\\help\\Postdesk.chm", calls[0].file);
    EXPECT_EQ(0x12u, calls[0].command);
    EXPECT_EQ(15, calls[1].ordinal);
    EXPECT_STREQ(u8"C:\\help\\Справка.chm", calls[1].file);

    // A registered module without the entry point: the failure is kept, whatever the
    // registration says later, and the recorder is not loaded again in its place.
    HelpRecorder::Clear();
    classes.SetText(kHtmlHelpServer, "", Postdesk().path);
    HtmlHelpEntry lacking(HtmlHelpEntry::kAnsiOrdinal);
    EXPECT_EQ(nullptr, lacking.Call(caller, "a.chm", 0x12, 0));
    classes.SetText(kHtmlHelpServer, "", HelpRecorder::Path());
    EXPECT_EQ(nullptr, lacking.Call(caller, "a.chm", 0x12, 0));
    EXPECT_TRUE(HelpRecorder::Calls().empty());

    // A registered file that does not load: the system's hhctrl.ocx is loaded instead.
    ASSERT_EQ(nullptr, GetModuleHandleA(kHtmlHelpModule)) << "nothing of this process loaded the viewer yet";
    classes.SetText(kHtmlHelpServer, "", testing_support::BesideTests("missing-viewer.dll"));
    HtmlHelpEntry fallBack(HtmlHelpEntry::kAnsiOrdinal);
    fallBack.Call(nullptr, nullptr, HH_CLOSE_ALL, 0);
    EXPECT_NE(nullptr, GetModuleHandleA(kHtmlHelpModule));
    EXPECT_TRUE(HelpRecorder::Calls().empty());
}

TEST(PostdeskFields, NumbersTruncateTowardZeroWithinTheIntegerRange) {
    struct Row {
        double value;
        int expected;
    } rows[] = {{12.7, 12}, {-12.7, -12}, {0.9, 0}, {2147483647.9, INT_MAX}, {1e12, INT_MAX},
                {-2147483648.5, INT_MIN}, {-1e12, INT_MIN}};
    for (const Row& row : rows) EXPECT_EQ(row.expected, TruncateToInt(row.value)) << row.value;
}

// (GetWindowTextA and SetMenu answer a null handle with their success results under Wine.)
TEST(WindowPorts, NullHandleGivesTheCallsFailureResults) {
    WindowPort port(nullptr);
    RECT rect = {};
    POINT point = {};
    struct Row {
        const char* what;
        LONG_PTR result;
    } rows[] = {
        {"GetWindowHandle", LONG_PTR(port.GetWindowHandle())},
        {"SetClassLong", LONG_PTR(port.SetClassLong(GCL_STYLE, 1))},
        {"GetClassLong", LONG_PTR(port.GetClassLong(GCL_STYLE))},
        {"SetWindowLong", LONG_PTR(port.SetWindowLong(GWL_STYLE, 1))},
        {"GetWindowLong", LONG_PTR(port.GetWindowLong(GWL_ID))},
        {"Send", LONG_PTR(port.Send(WM_GETTEXTLENGTH, 0, 0))},
        {"SendItem", LONG_PTR(port.SendItem(1, WM_GETTEXTLENGTH, 0, 0))},
        {"Destroy", LONG_PTR(port.Destroy())},
        {"SetParent", LONG_PTR(port.SetParent(nullptr))},
        {"GetParent", LONG_PTR(port.GetParent())},
        {"GetItem", LONG_PTR(port.GetItem(1))},
        {"Enable", LONG_PTR(port.Enable(true))},
        {"IsEnabled", LONG_PTR(port.IsEnabled())},
        {"Show", LONG_PTR(port.Show(SW_SHOW))},
        {"IsVisible", LONG_PTR(port.IsVisible())},
        {"SetText", LONG_PTR(port.SetText("text"))},
        {"GetTextLength", LONG_PTR(port.GetTextLength())},
        {"GetMenu", LONG_PTR(port.GetMenu())},
        {"Move", LONG_PTR(port.Move(0, 0, 10, 10, true))},
        {"Update", LONG_PTR(port.Update())},
        {"GetClientRect", LONG_PTR(port.GetClientRect(&rect))},
        {"GetWindowRect", LONG_PTR(port.GetWindowRect(&rect))},
        {"ScreenToClient", LONG_PTR(port.ScreenToClient(&point))},
        {"ClientToScreen", LONG_PTR(port.ClientToScreen(&point))},
    };
    for (const Row& row : rows) EXPECT_EQ(0, row.result) << row.what;
    EXPECT_EQ(0, ControlPort(nullptr).GetControlId());
}
