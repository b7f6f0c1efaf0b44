#include "qlframe.h"

void FilePort::Fail(const char* what, DWORD code) {
    throw FileException(FormatBuffer(256, "%s, system error %lu:", what, code), path_);
}

DWORD FilePort::Read(LONGLONG* position, void* buffer, DWORD count) {
    LONGLONG pos = position ? *position : 0;
    SetPos(&pos);
    DWORD total = 0;
    while (total < count) {
        DWORD got = 0;
        if (!ReadFile(h_, static_cast<char*>(buffer) + total, count - total, &got, nullptr))
            Fail("file read error", GetLastError());
        if (got == 0) break;
        total += got;
    }
    if (position) *position = pos + total;
    return total;
}

void FilePort::SetPos(LONGLONG* position) {
    LONGLONG pos = position ? *position : 0;
    Seek(&pos, FILE_BEGIN);
}

void FilePort::Seek(LONGLONG* position, DWORD origin) {
    LARGE_INTEGER move, now;
    move.QuadPart = position ? *position : 0;
    if (!SetFilePointerEx(h_, move, &now, origin)) Fail("file seek error", GetLastError());
    if (position) *position = now.QuadPart;
}

void FilePort::Write(const void* data, size_t count) {
    const char* p = static_cast<const char*>(data);
    while (count > 0) {
        DWORD chunk = count > 0x40000000 ? 0x40000000 : DWORD(count);
        DWORD written = 0;
        if (!WriteFile(h_, p, chunk, &written, nullptr)) Fail("file write error", GetLastError());
        if (written == 0) Fail("file write error", ERROR_WRITE_FAULT);
        p += written;
        count -= written;
    }
}

void FilePort::Flush() {
    if (!FlushFileBuffers(h_)) Fail("file flush error", GetLastError());
}

LONGLONG FilePort::Size() {
    LARGE_INTEGER size;
    if (!GetFileSizeEx(h_, &size)) Fail("file size error", GetLastError());
    return size.QuadPart;
}
