// Owners of Windows handles.
#pragma once
#include <windows.h>
#include "Strings.h"

// Owner of one Windows handle in which both null and INVALID_HANDLE_VALUE mean none.
// Move-only; closes a valid handle on destruction.
class AHandle {
public:
    AHandle() : h_(INVALID_HANDLE_VALUE) {}
    explicit AHandle(HANDLE h) : h_(h) {}
    AHandle(AHandle&& o) noexcept : h_(o.h_) { o.h_ = INVALID_HANDLE_VALUE; }
    AHandle& operator=(AHandle&& o) noexcept {
        if (this != &o) { Attach(o.h_); o.h_ = INVALID_HANDLE_VALUE; }
        return *this;
    }
    AHandle(const AHandle&) = delete;
    AHandle& operator=(const AHandle&) = delete;
    virtual ~AHandle() { Close(); }

    // Closes the old handle, then takes the new one.
    virtual void Attach(HANDLE h) { Close(); h_ = h; }
    // Closes a valid handle, then holds INVALID_HANDLE_VALUE.
    virtual void Close() {
        if (IsValid()) CloseHandle(h_);
        h_ = INVALID_HANDLE_VALUE;
    }
    HANDLE Detach() { HANDLE h = h_; h_ = INVALID_HANDLE_VALUE; return h; }
    bool IsValid() const { return h_ != nullptr && h_ != INVALID_HANDLE_VALUE; }
    HANDLE Get() const { return h_; }
protected:
    HANDLE h_;
};

// Enumerates the directory entries that match a pattern (FindFirstFileA, FindNextFileA).
// After construction Found() tells whether there is a current entry; when there is none
// the last error of the failed search is kept in Error().
class FileFinder {
public:
    explicit FileFinder(const string& pattern);
    FileFinder(const FileFinder&) = delete;
    FileFinder& operator=(const FileFinder&) = delete;
    ~FileFinder();
    bool Found() const { return found_; }
    // Moves to the next entry; false at the end.
    bool Next();
    DWORD Error() const { return error_; }
    const WIN32_FIND_DATAA& Entry() const { return data_; }
    const char* Name() const { return data_.cFileName; }
    DWORD Attributes() const { return data_.dwFileAttributes; }
    ULONGLONG Size() const { return (ULONGLONG(data_.nFileSizeHigh) << 32) | data_.nFileSizeLow; }
private:
    HANDLE find_;  // closed with FindClose, not CloseHandle
    WIN32_FIND_DATAA data_;
    bool found_;
    DWORD error_;
};
