#include "WindowPorts.h"
#include <vector>

HWND WindowPort::GetWindowHandle() { return window_; }
DWORD WindowPort::SetClassLong(int index, LONG value) { return ::SetClassLongA(GetWindowHandle(), index, value); }
DWORD WindowPort::GetClassLong(int index) { return ::GetClassLongA(GetWindowHandle(), index); }
LONG WindowPort::SetWindowLong(int index, LONG value) { return ::SetWindowLongA(GetWindowHandle(), index, value); }
LONG WindowPort::GetWindowLong(int index) { return ::GetWindowLongA(GetWindowHandle(), index); }

LRESULT WindowPort::Send(UINT message, WPARAM wParam, LPARAM lParam) {
    return ::SendMessageA(GetWindowHandle(), message, wParam, lParam);
}
LRESULT WindowPort::SendItem(int controlId, UINT message, WPARAM wParam, LPARAM lParam) {
    return ::SendDlgItemMessageA(GetWindowHandle(), controlId, message, wParam, lParam);
}
bool WindowPort::Post(UINT message, WPARAM wParam, LPARAM lParam) {
    return ::PostMessageA(GetWindowHandle(), message, wParam, lParam) != FALSE;
}
bool WindowPort::Destroy() { return ::DestroyWindow(GetWindowHandle()) != FALSE; }
HWND WindowPort::SetParent(HWND parent) { return ::SetParent(GetWindowHandle(), parent); }
HWND WindowPort::GetParent() { return ::GetParent(GetWindowHandle()); }
HWND WindowPort::GetItem(int controlId) { return ::GetDlgItem(GetWindowHandle(), controlId); }
bool WindowPort::Enable(bool enable) { return ::EnableWindow(GetWindowHandle(), enable) != FALSE; }
bool WindowPort::IsEnabled() { return ::IsWindowEnabled(GetWindowHandle()) != FALSE; }
bool WindowPort::Show(int command) { return ::ShowWindow(GetWindowHandle(), command) != FALSE; }
bool WindowPort::IsVisible() { return ::IsWindowVisible(GetWindowHandle()) != FALSE; }
bool WindowPort::SetText(const char* text) { return ::SetWindowTextA(GetWindowHandle(), text) != FALSE; }
int WindowPort::GetText(char* buffer, int size) { return ::GetWindowTextA(GetWindowHandle(), buffer, size); }
int WindowPort::GetTextLength() { return ::GetWindowTextLengthA(GetWindowHandle()); }
bool WindowPort::SetMenu(HMENU menu) { return ::SetMenu(GetWindowHandle(), menu) != FALSE; }
HMENU WindowPort::GetMenu() { return ::GetMenu(GetWindowHandle()); }
HWND WindowPort::SetFocus() { return ::SetFocus(GetWindowHandle()); }
bool WindowPort::Move(int x, int y, int width, int height, bool repaint) {
    return ::MoveWindow(GetWindowHandle(), x, y, width, height, repaint) != FALSE;
}
bool WindowPort::Update() { return ::UpdateWindow(GetWindowHandle()) != FALSE; }
bool WindowPort::GetClientRect(RECT* rect) { return ::GetClientRect(GetWindowHandle(), rect) != FALSE; }
bool WindowPort::GetWindowRect(RECT* rect) { return ::GetWindowRect(GetWindowHandle(), rect) != FALSE; }
bool WindowPort::ScreenToClient(POINT* point) { return ::ScreenToClient(GetWindowHandle(), point) != FALSE; }
bool WindowPort::ClientToScreen(POINT* point) { return ::ClientToScreen(GetWindowHandle(), point) != FALSE; }

ControlPort::ControlPort(HWND control, WindowPort* dialog) : WindowPort(control), dialog_(dialog), controlId_(0) {
    controlId_ = GetWindowLong(GWL_ID);
}

ControlPort::ControlPort(WindowPort* dialog, int controlId)
    : WindowPort(nullptr), dialog_(dialog), controlId_(controlId) {}

HWND ControlPort::ResolveHandle() {
    if (!window_ && dialog_) window_ = dialog_->GetItem(GetControlId());
    return window_;
}

int ControlPort::GetControlId() { return window_ ? GetWindowLong(GWL_ID) : controlId_; }

void CheckBoxPort::SetCheck(bool checked) { Send(BM_SETCHECK, checked ? BST_CHECKED : BST_UNCHECKED, 0); }
bool CheckBoxPort::IsChecked() { return Send(BM_GETCHECK, 0, 0) == BST_CHECKED; }

string ReadWindowText(HWND window) {
    int length = ::GetWindowTextLengthA(window);
    if (length < 0) length = 0;
    std::vector<char> buffer(size_t(length) + 1, '\0');
    int read = ::GetWindowTextA(window, buffer.data(), int(buffer.size()));
    if (read < 0) read = 0;
    return string(buffer.data(), size_t(read));
}
