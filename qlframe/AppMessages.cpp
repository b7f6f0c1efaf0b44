#include "AppMessages.h"
#include "qlframe.h"

namespace {

template <class F>
F ProgramSeam(const char* name) {
    return reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA(nullptr), name)));
}

int ShowBox(const string& text, UINT type, HWND window, const char* caption, unsigned flags) {
    string title;
    if (caption) title = caption;
    else if (!(flags & kMessageNoCaption)) title = GetFileName(GetModuleFileNameA(nullptr));
    else title = "";
    if (MessageBoxSeam seam = ProgramSeam<MessageBoxSeam>("QlframeMessageBox")) {
        int answer = seam(window, text.c_str(), title.c_str(), type);
        if (answer != kMessageBoxNotTaken) return answer;
    }
    return MessageBoxA(window, text.c_str(), title.c_str(), type);
}

struct MainWindowSearch {
    DWORD process;
    HWND found;
};

BOOL CALLBACK ConsiderWindow(HWND window, LPARAM context) {
    MainWindowSearch* search = reinterpret_cast<MainWindowSearch*>(context);
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    if (process != search->process || !IsWindowVisible(window) || GetWindow(window, GW_OWNER)) return TRUE;
    char className[16];
    // The class name is read from the window's class, not by a message to its thread.
    if (GetClassNameA(window, className, sizeof className) && lstrcmpA(className, "#32770") == 0) return TRUE;
    search->found = window;
    return FALSE;
}

}  // namespace

void ErrorMessage(const string& text, HWND window, const char* caption, unsigned flags) {
    ShowBox(text, MB_OK | MB_ICONERROR, window, caption, flags);
}

int AppMessage(const string& text, UINT type, HWND window, const char* caption, unsigned flags) {
    return ShowBox(text, type, window, caption, flags);
}

void DebugMessage(const string& text, unsigned, int, HWND, const char*) {
    if (DebugMessageSeam seam = ProgramSeam<DebugMessageSeam>("QlframeDebugMessage")) {
        seam(text.c_str());
        return;
    }
    OutputDebugStringA((text + "\n").c_str());
}

HWND GetAppMainWindow() {
    MainWindowSearch search = {GetCurrentProcessId(), nullptr};
    EnumWindows(ConsiderWindow, reinterpret_cast<LPARAM>(&search));
    return search.found;
}
