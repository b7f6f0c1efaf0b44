#include "Handle.h"

FileFinder::FileFinder(const string& pattern) : data_(), found_(false), error_(0) {
    find_ = FindFirstFileA(pattern.c_str(), &data_);
    found_ = find_ != INVALID_HANDLE_VALUE;
    if (!found_) error_ = GetLastError();
}

FileFinder::~FileFinder() {
    if (find_ != INVALID_HANDLE_VALUE) FindClose(find_);
}

bool FileFinder::Next() {
    if (!found_) return false;
    found_ = FindNextFileA(find_, &data_) != FALSE;
    if (!found_) error_ = GetLastError();
    return found_;
}
