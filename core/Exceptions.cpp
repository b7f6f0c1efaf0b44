#include "Exceptions.h"
#include <cstdio>

namespace {
string WindowsErrorText(int code, const string& source, int line) {
    char head[96];
    std::snprintf(head, sizeof head, "Windows system call error %i (%08X) at \"", code, unsigned(code));
    char tail[32];
    std::snprintf(tail, sizeof tail, "\":%d", line);
    return string(head) + source + tail;
}
}  // namespace

WindowsError::WindowsError(int code, const string& source, int line)
    : QuilletException(WindowsErrorText(code, source, line)), code_(code), source_(source), line_(line) {}

void ThrowWindowsError(DWORD code, const char* source, int line) {
    throw WindowsError(int(code), string(source), line);
}

void CheckErrorCode(long code, const char* source, int line) {
    if (code != 0) ThrowWindowsError(DWORD(code), source, line);
}
