// What the window tests share: the e-mail page shown by the host's configuration screen from
// Postdesk.dll, driven as an operator would (typing sets a field's text, the check box is
// clicked, the sheet's Apply button pressed), and the message loop between the steps.
#pragma once
#include <windows.h>
#include <string>
#include "ConfigScreen.h"
#include "Page_Email.h"
#include "PostdeskTestSupport.h"
#include "TestSupport.h"

namespace postdesk_test {

// Handles the messages waiting for this thread, a few rounds, so that posted work and the
// display's answers are done.
void Pump(int rounds = 3);

// The delivery service's folders and logs in dir (the service of this process or of a
// kiosk-host it starts).
void UseServiceFolders(const testing_support::TempDir& dir);

// The page's dialog alone, from Postdesk.dll's resource, without a host; owned by owner.
struct StandaloneDialog {
    explicit StandaloneDialog(HWND owner = nullptr);
    ~StandaloneDialog();
    StandaloneDialog(const StandaloneDialog&) = delete;
    StandaloneDialog& operator=(const StandaloneDialog&) = delete;
    HWND Item(int id) const { return GetDlgItem(window, id); }
    // A control's place in the dialog's client area.
    RECT Rect(int id) const;
    // Dialog units to pixels as the dialog places a control: position and size each.
    RECT Units(int x, int y, int cx, int cy) const;
    HWND window;
};

// A page object of the test's own (linked in, not Postdesk.dll's) attached to a standalone
// dialog, with a stub host that records SetModified.
template <class Page>
struct AttachedPage {
    explicit AttachedPage(HWND owner = nullptr) : dialog(owner), page(MakePage(&host)) {
        page->AttachWindow(static_cast<LONG>(reinterpret_cast<LONG_PTR>(dialog.window)));
        Pump();
    }
    ~AttachedPage() { page->Release(); }
    static Page* MakePage(StubControlHost* host);
    StandaloneDialog dialog;
    StubControlHost host;
    Page* page;
};

template <>
Page_Email* AttachedPage<Page_Email>::MakePage(StubControlHost* host);
template <>
ControlPluginPage* AttachedPage<ControlPluginPage>::MakePage(StubControlHost* host);


// The e-mail page in the host's sheet: the control plugin built through Postdesk.dll's class
// object and initialised with the configuration screen, the sheet opened.
class EmailPageScreen {
public:
    EmailPageScreen();
    ~EmailPageScreen();
    EmailPageScreen(const EmailPageScreen&) = delete;
    EmailPageScreen& operator=(const EmailPageScreen&) = delete;

    kiosk::ConfigScreen& Screen() { return *screen_; }
    HWND Page() const { return screen_->PageWindow(0); }
    HWND Item(int id) const { return GetDlgItem(Page(), id); }
    // The operator types text into a field (its change notification reaches the page).
    void Type(int id, const char* text);
    // The same with the characters of a wide text, also those no 8-bit code page holds.
    void Type(int id, const wchar_t* text);
    std::string Text(int id) const;
    // The operator clicks the check box or a button.
    void Click(int id);
    // The operator chooses an item of a drop-down list.
    void Choose(int id, int item);
    bool Checked(int id) const;
    bool Apply() { return screen_->Apply(); }

private:
    kiosk::ConfigScreen* screen_;  // counted
};

}  // namespace postdesk_test
