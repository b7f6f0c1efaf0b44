// The host's configuration screen: a property sheet with the pages that control plugins
// register through IPennarkControlHost::AddPage. Each page is built from the dialog resource
// that the plugin names in its module; the sheet hands the page's window to AttachWindow and
// forwards its commands, help requests and Apply to the page, late-bound through
// IDispatch::Invoke, as the host does. A page call that fails is shown in an error box.
#pragma once
#include <windows.h>
#include <prsht.h>
#include <string>
#include <vector>
#include "PennarkObject.h"

class ConfigScreen : public PennarkObject2<IPennarkControlHost> {
public:
    ConfigScreen();

    // Keeps the page (counted) with its module and resource name; the page is shown when the
    // sheet opens (at once when it is open). E_POINTER for a null page.
    HRESULT STDMETHODCALLTYPE AddPage(IPennarkControlPage* page, BSTR modulePath, BSTR name) override;
    // Enables the sheet's Apply button for the page of that window (modified 1), or clears
    // the page's change (0).
    HRESULT STDMETHODCALLTYPE SetModified(LONG window, LONG modified) override;

    // Initialize of a control plugin with this screen as its host; false (and the error
    // shown) when the plugin failed.
    bool AddPlugin(IDispatch* plugin);

    // Shows the sheet, modeless, owned by owner; its window.
    HWND Open(HWND owner, const wchar_t* caption);
    // Ends the sheet (its pages' windows go) when it is open.
    void Close();
    HWND Sheet() const { return sheet_; }
    // False once the operator closed the sheet (OK, Cancel, the close box).
    bool IsOpen();
    size_t PageCount() const { return pages_.size(); }
    // The window of a page (null until the sheet has created it).
    HWND PageWindow(size_t index) const;
    IPennarkControlPage* Page(size_t index) const { return pages_[index]->page; }
    // Brings a page to the front.
    void Select(size_t index);
    // The Apply button: true when every page saved.
    bool Apply();
    // Whether the Apply button is enabled.
    bool ApplyEnabled();

    // Handles the messages that are waiting (the sheet's keys included); the caller's loop.
    void Pump();
    // Handles messages until the sheet is closed.
    void Run();

    // The texts of the page calls that failed, in order.
    std::vector<std::string> Errors() const { return errors_; }

private:
    struct PageEntry {
        ConfigScreen* screen;
        IPennarkControlPage* page;  // counted
        std::wstring modulePath;
        std::wstring name;
        HMODULE module;            // the page's module, loaded once more while the screen lives
        HWND window;
        bool attaching;            // the page fills its fields: its edits are not the operator's
    };

    ~ConfigScreen() override;
    HPROPSHEETPAGE CreatePage(PageEntry* entry);
    // Calls a page method by name; false when it failed (the error is shown and kept).
    bool CallPage(PageEntry* entry, const wchar_t* method, std::vector<VARIANT> arguments, LONG* answer);
    void Failed(const std::string& text);
    static INT_PTR CALLBACK PageProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    static PageEntry* EntryOf(HWND window);

    std::vector<PageEntry*> pages_;  // owned
    HWND sheet_;
    std::vector<std::string> errors_;
};
