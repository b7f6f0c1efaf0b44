// The test program's side of the base library's seams: every module of the process shows
// its message boxes and writes its diagnostics here (the program exports the seam
// functions). Boxes are answered at once unless a test holds them open.
#pragma once
#include <windows.h>
#include <string>
#include <vector>

namespace host_test {

struct MessageBoxCall {
    HWND window;
    std::string text;     // windows-1251 bytes
    std::string caption;
    UINT type;
    DWORD thread;
};

// Recorded boxes and diagnostics, cleared by Reset (each fixture calls it).
void ResetSeams(int answer = IDOK);
std::vector<MessageBoxCall> MessageBoxes();
std::vector<std::string> DebugMessages();

// While held, a box stays up (its caller waits) until ReleaseBoxes.
void HoldBoxes();
void ReleaseBoxes();
// Waits until count boxes have been shown (true) or ms passed (false).
bool WaitForBoxes(size_t count, DWORD ms);

// The name of this test program without its extension (the default caption of a box).
std::string ProgramName();

}  // namespace host_test
