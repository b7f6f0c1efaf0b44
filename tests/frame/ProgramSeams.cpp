#include "ProgramSeams.h"
#include <mutex>

namespace host_test {
namespace {

struct Seams {
    std::mutex lock;
    std::vector<MessageBoxCall> boxes;
    std::vector<std::string> debug;
    int answer = IDOK;
    HANDLE released = CreateEventA(nullptr, TRUE, TRUE, nullptr);  // signalled: boxes close at once
    HANDLE shown = CreateEventA(nullptr, FALSE, FALSE, nullptr);   // pulsed for every box
};

Seams& State() {
    static Seams seams;
    return seams;
}

}  // namespace

void ResetSeams(int answer) {
    Seams& s = State();
    std::lock_guard<std::mutex> guard(s.lock);
    s.boxes.clear();
    s.debug.clear();
    s.answer = answer;
    SetEvent(s.released);
}

std::vector<MessageBoxCall> MessageBoxes() {
    std::lock_guard<std::mutex> guard(State().lock);
    return State().boxes;
}

std::vector<std::string> DebugMessages() {
    std::lock_guard<std::mutex> guard(State().lock);
    return State().debug;
}

void HoldBoxes() { ResetEvent(State().released); }
void ReleaseBoxes() { SetEvent(State().released); }

bool WaitForBoxes(size_t count, DWORD ms) {
    DWORD start = GetTickCount();
    for (;;) {
        if (MessageBoxes().size() >= count) return true;
        DWORD elapsed = GetTickCount() - start;
        if (elapsed >= ms) return false;
        WaitForSingleObject(State().shown, ms - elapsed);
    }
}

std::string ProgramName() {
    char path[MAX_PATH];
    DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
    std::string name(path, n);
    name = name.substr(name.find_last_of("\\/") + 1);
    return name.substr(0, name.find_last_of('.'));
}

}  // namespace host_test

extern "C" __declspec(dllexport) int __cdecl QlframeMessageBox(HWND window, const char* text, const char* caption,
                                                               UINT type) {
    using namespace host_test;
    Seams& s = State();
    int answer;
    {
        std::lock_guard<std::mutex> guard(s.lock);
        s.boxes.push_back(MessageBoxCall{window, text ? text : "", caption ? caption : "", type, GetCurrentThreadId()});
        answer = s.answer;
    }
    SetEvent(s.shown);
    WaitForSingleObject(s.released, INFINITE);
    return answer;
}

extern "C" __declspec(dllexport) void __cdecl QlframeDebugMessage(const char* text) {
    using namespace host_test;
    std::lock_guard<std::mutex> guard(State().lock);
    State().debug.push_back(text ? text : "");
}
