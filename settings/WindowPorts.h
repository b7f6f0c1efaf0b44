// Window ports: non-owning views on one window handle. Each operation wraps one window call
// on the port's handle (as GetWindowHandle gives it) and returns that call's result, turned
// into a bool where the call answers with a success flag. Dropping a port never destroys its
// window. The settings page builds ports on the stack for one or two operations.
#pragma once
#include <windows.h>
#include "core.h"

// SetClassLong, GetClassLong, SetWindowLong and GetWindowLong are the names of the windows
// headers' ANSI macros; the ports' operations of those names take their ANSI spelling.

class WindowPort {
public:
    explicit WindowPort(HWND window = nullptr) : window_(window) {}
    virtual ~WindowPort() { window_ = nullptr; }  // the window stays
    WindowPort(const WindowPort&) = delete;
    WindowPort& operator=(const WindowPort&) = delete;

    virtual HWND GetWindowHandle();
    virtual DWORD SetClassLong(int index, LONG value);
    virtual DWORD GetClassLong(int index);
    virtual LONG SetWindowLong(int index, LONG value);
    virtual LONG GetWindowLong(int index);
    virtual LRESULT Send(UINT message, WPARAM wParam, LPARAM lParam);
    virtual LRESULT SendItem(int controlId, UINT message, WPARAM wParam, LPARAM lParam);
    virtual bool Post(UINT message, WPARAM wParam, LPARAM lParam);
    virtual bool Destroy();
    virtual HWND SetParent(HWND parent);
    virtual HWND GetParent();
    virtual HWND GetItem(int controlId);
    virtual bool Enable(bool enable);
    virtual bool IsEnabled();
    virtual bool Show(int command);
    virtual bool IsVisible();
    virtual bool SetText(const char* text);
    virtual int GetText(char* buffer, int size);
    virtual int GetTextLength();
    virtual bool SetMenu(HMENU menu);
    virtual HMENU GetMenu();
    virtual HWND SetFocus();
    virtual bool Move(int x, int y, int width, int height, bool repaint);
    virtual bool Update();
    virtual bool GetClientRect(RECT* rect);
    virtual bool GetWindowRect(RECT* rect);
    virtual bool ScreenToClient(POINT* point);
    virtual bool ClientToScreen(POINT* point);

protected:
    HWND window_;  // null when detached
};

// A control of a dialog. Built on a handle, it reads the control id from the window; built on
// the dialog's port and an id, it finds its window when first asked (ResolveHandle).
class ControlPort : public WindowPort {
public:
    explicit ControlPort(HWND control, WindowPort* dialog = nullptr);
    ControlPort(WindowPort* dialog, int controlId);

    // The stored handle; without one, the dialog's item of the control id (then stored);
    // null when neither is known.
    virtual HWND ResolveHandle();
    // The window's id when there is a handle, else the id the port was built with.
    virtual int GetControlId();

protected:
    WindowPort* dialog_;  // not owned; may be null
    int controlId_;
};

class ButtonPort : public ControlPort {
public:
    using ControlPort::ControlPort;
};

class CheckBoxPort : public ButtonPort {
public:
    using ButtonPort::ButtonPort;
    void SetCheck(bool checked);
    // True only for BST_CHECKED: an indeterminate box reads as not checked.
    bool IsChecked();
};

class EditPort : public ControlPort {
public:
    using ControlPort::ControlPort;
};

// The window's whole text in a new string (windows-1251).
string ReadWindowText(HWND window);
