// The settings plugin: the control plugin object that the host creates, and the base of its
// pages with the page's side of the host protocol, the operator messages, the field checks
// and context help.
#pragma once
#include "PennarkObject.h"
#include "PluginModule.h"
#include "WindowPorts.h"

// The module's description: class identifier, registry description and control plugin key.
extern const frame::PluginModule kPostdeskModule;

// Builds the e-mail page and registers it with the host's configuration screen.
class ControlPlugin : public PennarkObject2<IPennarkControlPlugin> {
public:
    explicit ControlPlugin(ITypeInfo* typeInfo);

    // AddPage on the host's IPennarkControlHost with a new Page_Email, this module's path
    // and the page name "Page_Email"; the host's reference then keeps the page alive. A host
    // object without IPennarkControlHost raises a COM error (CoCallEx).
    HRESULT STDMETHODCALLTYPE Initialize(IUnknown* host) override;
};

// One row of a page's context-help table: a control and its help topic. A table ends with
// a row of zeros.
struct HelpTopic {
    int controlId;
    int topic;
};

// Flags of ShowMessage and ShowError: the null window or caption is meant (no owner, the
// program's caption), instead of the page's window and title.
const unsigned kPageNoOwner = 0x1;
const unsigned kPageNoCaption = 0x2;

// The base of the plugin's pages. The host holds the page (the page holds no reference to the
// host) and hands it the page's dialog window through AttachWindow. Texts are windows-1251.
class ControlPluginPage : public PennarkObject2<IPennarkControlPage> {
public:
    ControlPluginPage(IPennarkControlHost* host, const string& title);

    // The host protocol; the base keeps the window and answers 1, 0, 0, 0 and 1.
    LONG STDMETHODCALLTYPE AttachWindow(LONG window) override;
    LONG STDMETHODCALLTYPE PageQuery() override;
    LONG STDMETHODCALLTYPE OnCommand(unsigned short code, unsigned short id, LONG control) override;
    LONG STDMETHODCALLTYPE OnHelp(LONG control) override;
    LONG STDMETHODCALLTYPE Apply(LONG a, LONG b, LONG* result) override;
    ~ControlPluginPage() override;

    virtual HWND GetWindow();
    // Brings the page's tab to the front when the page is a child of the host's property
    // sheet, and moves the focus to control. Both are posted: they happen after the present
    // message.
    virtual void FocusControl(HWND control);
    // "Поле "<name>": <problem>" and how to correct it, with OK and Cancel; true (the focus
    // goes back to control) when the operator chose Cancel to correct the value.
    virtual bool WarnField(HWND control, const string& name, const string& problem);
    // "Поле "<name>": <problem>" as an error; the focus goes back to control.
    virtual void FieldError(HWND control, const string& name, const string& problem);
    // A message box owned by the page window and captioned with the page title, unless a
    // window or caption is given (or flags say that none is meant); the operator's answer.
    virtual int ShowMessage(const string& text, UINT style, HWND owner, const char* caption, unsigned flags);
    virtual void ShowError(const string& text, HWND owner, const char* caption, unsigned flags);
    // True when the value stands: it has text, or the operator kept it after the warning.
    virtual bool CheckNotEmpty(HWND control, const string& name, const string& hint);
    // True when the value stands: no blank at its beginning or end, or the operator kept it.
    virtual bool CheckSpaces(HWND control, const string& name, const string& hint);
    // True when both fields hold the same text (case-sensitive) and it stands the checks of
    // CheckNotEmpty and CheckSpaces; a mismatch is an error on the first field.
    virtual bool CheckPasswordPair(HWND password, HWND repetition, const string& name, const string& hint);

    // True when the control's text is a number (truncated toward zero into *out when out is
    // given); otherwise the integer format error on the field and false.
    bool ReadIntField(HWND control, const string& name, int* out);

protected:
    IPennarkControlHost* host_;  // not counted: the host outlives its pages
    HWND window_;                // the page's dialog, null until AttachWindow
    string title_;
};

// The help file: in this module's directory, named like the module, with ".chm".
string HelpFilePath();
// The help topic of control's id in table, shown as a popup through HTML Help; nothing when
// the table is null, the control has no row or HTML Help cannot be loaded.
void ShowContextHelp(HWND control, const HelpTopic* table);

// A number typed or stored as a field's value, truncated toward zero into 32 bits; values
// beyond the range give its nearest end.
int TruncateToInt(double value);

// Window handles travel through the host interfaces as 32-bit numbers.
inline HWND WindowFromHost(LONG window) { return reinterpret_cast<HWND>(static_cast<LONG_PTR>(window)); }
inline LONG WindowToHost(HWND window) { return static_cast<LONG>(reinterpret_cast<LONG_PTR>(window)); }
