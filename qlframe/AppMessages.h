// Messages to the operator and the host's main window (part of the qlframe stand-in).
#pragma once
#include <windows.h>
#include "core.h"

// Flags of ErrorMessage and AppMessage: a null window or caption given on purpose. Without
// them a null window still means no owner; a null caption means the program's name.
const unsigned kMessageNoOwner = 0x1;
const unsigned kMessageNoCaption = 0x2;

// A modal error box (OK button, error icon) owned by window (none when null); returns when
// the operator has closed it.
void ErrorMessage(const string& text, HWND window, const char* caption, unsigned flags);
// A modal message box of the given MessageBox type; returns the operator's answer (IDOK ...).
int AppMessage(const string& text, UINT type, HWND window, const char* caption, unsigned flags);
// A diagnostic record (OutputDebugStringA); the numbers, window and caption are accepted and
// not used.
void DebugMessage(const string& text, unsigned code, int level, HWND window, const char* caption);
// The host's main window: the first visible top-level window of this process that has no
// owner and is not a dialog box (message boxes are dialogs); null when there is none.
// Safe to call from any thread: it sends no message to the window's thread.
HWND GetAppMainWindow();

// ---- The seam of the program that hosts the modules ----------------------------------
//
// Each module carries its own copy of this library, so the seam is the program's: when the
// process's executable exports these functions (extern "C", caller-cleans), every module's
// message boxes and diagnostics go to them. Test programs capture texts and choose answers
// there; a host may print them.
//
// int  QlframeMessageBox(HWND window, const char* text, const char* caption, UINT type)
//      the answer, or kMessageBoxNotTaken to let the real box be shown;
// void QlframeDebugMessage(const char* text).
const int kMessageBoxNotTaken = -1;
typedef int(__cdecl* MessageBoxSeam)(HWND window, const char* text, const char* caption, UINT type);
typedef void(__cdecl* DebugMessageSeam)(const char* text);
