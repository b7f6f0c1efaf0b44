#include "WindowTestSupport.h"
#include <commctrl.h>
#include <gtest/gtest.h>
#include "TestSupport.h"

namespace postdesk_test {

void Pump(int rounds) {
    for (int i = 0; i < rounds; ++i) {
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
        Sleep(10);
    }
}

void UseServiceFolders(const testing_support::TempDir& dir) {
    using testing_support::kMailKey;
    CreateDirectoryA((dir / "Outbox").c_str(), nullptr);
    testing_support::SetRegText(kMailKey, "OutboxDir", dir / "Outbox");
    testing_support::SetRegText(kMailKey, "ArchiveDir", dir / "Sent");
    testing_support::SetRegText(kMailKey, "BadMailDir", dir / "Bad");
    testing_support::SetRegText(kMailKey, "LogDir", dir / "logs");
    testing_support::SetRegText(kMailKey, "DebugLog", dir / "service.txt");
}

namespace {
INT_PTR CALLBACK PlainDialog(HWND, UINT message, WPARAM, LPARAM) { return message == WM_INITDIALOG; }
}  // namespace

StandaloneDialog::StandaloneDialog(HWND owner) {
    INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_UPDOWN_CLASS};
    InitCommonControlsEx(&controls);
    window = CreateDialogParamW(PostdeskModule::Get().module, L"PAGE_EMAIL", owner, PlainDialog, 0);
    ShowWindow(window, SW_SHOW);
    Pump();
}

StandaloneDialog::~StandaloneDialog() {
    DestroyWindow(window);
    Pump(1);
}

RECT StandaloneDialog::Rect(int id) const {
    RECT r = {};
    GetWindowRect(Item(id), &r);
    MapWindowPoints(nullptr, window, reinterpret_cast<POINT*>(&r), 2);
    return r;
}

RECT StandaloneDialog::Units(int x, int y, int cx, int cy) const {
    RECT r = {x, y, cx, cy};
    MapDialogRect(window, &r);
    return RECT{r.left, r.top, r.left + r.right, r.top + r.bottom};
}

template <>
Page_Email* AttachedPage<Page_Email>::MakePage(StubControlHost* host) {
    return new Page_Email(host);
}
template <>
ControlPluginPage* AttachedPage<ControlPluginPage>::MakePage(StubControlHost* host) {
    return new ControlPluginPage(host, "Проверка");
}

EmailPageScreen::EmailPageScreen() : screen_(new kiosk::ConfigScreen()) {
    IClassFactory* factory = nullptr;
    const PostdeskModule& postdesk = PostdeskModule::Get();
    EXPECT_EQ(S_OK, postdesk.getClassObject(kPostdeskClassId, IID_IClassFactory, reinterpret_cast<void**>(&factory)));
    IDispatch* plugin = nullptr;
    if (factory) {
        EXPECT_EQ(S_OK, factory->CreateInstance(nullptr, IID_IDispatch, reinterpret_cast<void**>(&plugin)));
        factory->Release();
    }
    if (plugin) {
        kiosk::CallResult initialized = kiosk::Invoke(plugin, L"Initialize", {kiosk::Object(screen_)});
        EXPECT_FALSE(initialized.Failed()) << kiosk::Describe(initialized);
        plugin->Release();
    }
    EXPECT_NE(nullptr, screen_->Open(nullptr, L"Настройка")) << GetLastError();
    for (auto& e : screen_->Errors()) ADD_FAILURE() << e;
    for (auto& b : host_test::MessageBoxes()) ADD_FAILURE() << b.text;
    Pump();
    EXPECT_NE(nullptr, Page()) << "the sheet shows the page";
}

EmailPageScreen::~EmailPageScreen() {
    screen_->Close();
    screen_->Release();
    Pump();
}

void EmailPageScreen::Type(int id, const char* text) {
    SetWindowTextA(Item(id), text);
    Pump(1);
}

void EmailPageScreen::Type(int id, const wchar_t* text) {
    SetWindowTextW(Item(id), text);
    Pump(1);
}

std::string EmailPageScreen::Text(int id) const {
    char buffer[1024] = "";
    GetWindowTextA(Item(id), buffer, sizeof buffer);
    return buffer;
}

void EmailPageScreen::Click(int id) {
    SendMessageW(Item(id), BM_CLICK, 0, 0);
    Pump(1);
}

void EmailPageScreen::Choose(int id, int item) {
    SendMessageW(Item(id), CB_SETCURSEL, WPARAM(item), 0);
    SendMessageW(Page(), WM_COMMAND, MAKEWPARAM(id, CBN_SELCHANGE), reinterpret_cast<LPARAM>(Item(id)));
    Pump(1);
}

bool EmailPageScreen::Checked(int id) const { return SendMessageW(Item(id), BM_GETCHECK, 0, 0) == BST_CHECKED; }

}  // namespace postdesk_test

namespace postdesk_test {
namespace {
// The whole program sees the recording module as the HTML Help viewer: Postdesk.dll loads
// the viewer once per process, at the first help request of whichever test comes first.
class RecordingViewer : public ::testing::Environment {
public:
    void SetUp() override {
        classes_ = new PrivateClassesRoot();
        ASSERT_TRUE(classes_->Isolated());
        classes_->SetText(kHtmlHelpServer, "", HelpRecorder::Path());
    }
    void TearDown() override { delete classes_; }
private:
    PrivateClassesRoot* classes_ = nullptr;
};
const ::testing::Environment* const kRecordingViewer = ::testing::AddGlobalTestEnvironment(new RecordingViewer);
}  // namespace
}  // namespace postdesk_test
