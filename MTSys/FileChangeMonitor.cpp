#include "FileChangeMonitor.h"

namespace {
// The source name that errors raised by the monitor carry.
const char kSource[] = "MTSys/FileChangeMonitor";

HANDLE StartNotification(const string& directory, bool watchSubtree, DWORD notifyFilter, DWORD* error) {
    HANDLE h = FindFirstChangeNotificationA(directory.c_str(), watchSubtree ? TRUE : FALSE, notifyFilter);
    *error = h == INVALID_HANDLE_VALUE ? GetLastError() : ERROR_SUCCESS;
    return h;
}
}  // namespace

namespace MTSys {

FileChangeMonitor::FileChangeMonitor(const string& directory, bool watchSubtree, DWORD notifyFilter)
    : Monitor(INVALID_HANDLE_VALUE) {
    DWORD error = ERROR_SUCCESS;
    HANDLE h = StartNotification(directory, watchSubtree, notifyFilter, &error);
    {
        SectionLock lock(section_);
        handle_ = h;
    }
    // Callers read the reason of a failure from the last error right after construction.
    if (h == INVALID_HANDLE_VALUE) SetLastError(error);
}

FileChangeMonitor::~FileChangeMonitor() {
    SectionLock lock(section_);
    if (IsValid()) Close();
}

bool FileChangeMonitor::IsValid() const { return handle_ != INVALID_HANDLE_VALUE && handle_ != nullptr; }

HANDLE FileChangeMonitor::GetHandle() const {
    SectionLock lock(section_);
    return handle_;
}

void FileChangeMonitor::Close() {
    SectionLock lock(section_);
    if (IsValid()) FindCloseChangeNotification(handle_);
    // A change handle is never given to CloseHandle: the base owner sees none from now on.
    handle_ = INVALID_HANDLE_VALUE;
}

void FileChangeMonitor::Rearm() {
    SectionLock lock(section_);
    CheckSystemCall(FindNextChangeNotification(handle_), kSource, __LINE__);
}

}  // namespace MTSys
