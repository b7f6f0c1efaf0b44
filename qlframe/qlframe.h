// Stand-in of the maker's qlframe library: formatting, paths, time texts, numbers and files.
#pragma once
#include <windows.h>
#include <cstdarg>
#include "core.h"
#include "qlbase.h"

// printf-style text formatted into a buffer of size characters (the terminating NUL
// included); longer output is cut.
string FormatBuffer(size_t size, const char* format, ...) __attribute__((format(printf, 2, 3)));
string FormatBufferV(size_t size, const char* format, va_list args);

// ---- Paths (separators: backslash, also slash) -----------------------------------

// The directory with a trailing backslash; empty stays empty, a trailing separator is kept.
string MakePathSpec(const string& dir);
// The containing directory with its trailing backslash; empty when there is no separator.
string GetParentPath(const string& path);
// The last component.
string GetFileFromPath(const string& path);
// The last component without its extension.
string GetFileName(const string& path);
// The extension of the last component with its dot; empty when there is none.
string GetFileExt(const string& path);
string GetFullPath(const string& path);
// %VARIABLE% references expanded.
string ExpEnv(const string& text);
bool IsAbsolutePath(const string& path);
// True when a file or directory of that name exists.
bool FileExists(const string& path);
// Creates the directory and every missing parent. On failure returns false and, when
// error is given, stores a text there.
bool CreatePath(const string& dir, string* error);
// The special folder's path (SHGetFolderPathA), e.g. 0x1A for the roaming application data.
string GetSpecialFolderPath(HWND window, int folder);
// Tests redirect special folders here; an empty path removes the redirection.
void OverrideSpecialFolderPath(int folder, const string& path);
// The module's full path; a null handle means the host executable.
string GetModuleFileNameA(HMODULE module);

// ---- Time texts and numbers --------------------------------------------------------

// 0: the stored form, read back by ScanDateTime ("YYYY-MM-DD HH:MM:SS", always the whole
//    moment to the second; the flags are ignored).
// 2: the form shown to the operator: date "DD.MM.YYYY", time "HH:MM:SS".
typedef int FormatTypes;

// For form 2, date and time choose the parts (both: date, a space, time).
string Format(FormatTypes type, const RealTime& t, bool date, bool time);
// Reads a text of Format back. Throws DateTimeSyntax when the text is not such a moment.
// end, when given, receives the offset after the text read.
RealTime ScanDateTime(FormatTypes type, const char* text, bool strict, unsigned* end);
// Reads a decimal number (surrounding white space allowed). Throws NumericSyntax when the
// text is empty or not entirely a number.
double ScanNumber(FormatTypes type, const char* text, int flags, bool strict);

class InvalidValue : public QuilletException {
public:
    using QuilletException::QuilletException;
};
class NumericScanException : public InvalidValue {
public:
    using InvalidValue::InvalidValue;
};
class NumericSyntax : public NumericScanException {
public:
    using NumericScanException::NumericScanException;
};
class DateTimeSyntax : public InvalidValue {
public:
    using InvalidValue::InvalidValue;
};

// ---- Files -------------------------------------------------------------------------

// A file built from its path and an open handle, which it owns and closes. A handle that
// is not valid is accepted; the first operation then fails.
class FilePort : public AHandle {
public:
    FilePort(const string& path, HANDLE h) : AHandle(h), path_(path) {}
    const string& Path() const { return path_; }
    // Reads up to count bytes at *position; returns the number read and advances *position.
    DWORD Read(LONGLONG* position, void* buffer, DWORD count);
    void SetPos(LONGLONG* position);
    // Moves relative to origin (FILE_BEGIN, FILE_CURRENT, FILE_END) and stores the new position.
    void Seek(LONGLONG* position, DWORD origin);
    // Writes all count bytes at the current position. Throws FileException when not all
    // could be written.
    void Write(const void* data, size_t count);
    // Flushes written data to the disk.
    void Flush();
    LONGLONG Size();
private:
    [[noreturn]] void Fail(const char* what, DWORD code);
    string path_;
};
