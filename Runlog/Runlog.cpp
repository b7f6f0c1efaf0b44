#include "Runlog.h"
#include <cstdarg>
#include <cstdio>
#include <memory>
#include <string>
#include "qlbase.h"
#include "qlframe.h"

namespace {
HANDLE Open(const char* path) {
    return CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                       OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
}

// Appends a message as one line: a line end at its end is left to the record's own, and CR
// and LF inside it are shown as \r and \n, so that a text from outside (a server's reply, a
// file name) can never make a record of its own.
void AppendOneLine(std::string& record, const char* message, size_t length) {
    while (length && (message[length - 1] == '\r' || message[length - 1] == '\n')) --length;
    for (size_t i = 0; i < length; ++i) {
        char c = message[i];
        if (c == '\r') record += "\\r";
        else if (c == '\n') record += "\\n";
        else record += c;
    }
}

void AppendRecord(std::string& out, const Runlog::Data& record) {
    const SYSTEMTIME& st = record.time;
    char head[64];
    int h = std::snprintf(head, sizeof head, "%04u-%02u-%02u %02u:%02u:%02u.%03u [%d] ", st.wYear, st.wMonth,
                          st.wDay, st.wHour, st.wMinute, st.wSecond, st.wMilliseconds, int(record.kind));
    out.append(head, size_t(h));
    AppendOneLine(out, record.text.c_str(), record.text.Length());
    out.append("\r\n");
}
}  // namespace

Runlog::Runlog() : file_(INVALID_HANDLE_VALUE), options_(0) {}

Runlog::~Runlog() {
    MTSys::RemoveReportSink(this);
    SetLogPath(nullptr);
}

void Runlog::SetOptions(unsigned options) {
    {
        SectionLock g(lock_);
        options_ = options;
    }
    // Outside the section: a report being delivered to this log needs it.
    if (options & kKitReports) MTSys::SetReportSink(&Runlog::KitReport, this);
    else MTSys::RemoveReportSink(this);
}

void Runlog::SetLogPath(const char* path) {
    SectionLock g(lock_);
    WritePending();
    if (file_ != INVALID_HANDLE_VALUE) CloseHandle(file_);
    file_ = INVALID_HANDLE_VALUE;
    path_ = string();
    if (!path || !*path) return;
    path_ = string(path);
    file_ = Open(path);
    if (file_ == INVALID_HANDLE_VALUE && GetLastError() == ERROR_PATH_NOT_FOUND) {
        // A log directory that does not exist yet is created with its parents.
        CreatePath(GetParentPath(path_), nullptr);
        file_ = Open(path);
    }
}

string Runlog::LogPath() const {
    SectionLock g(lock_);
    return path_;
}

bool Runlog::HasFile() const {
    SectionLock g(lock_);
    return file_ != INVALID_HANDLE_VALUE;
}

void Runlog::Write(CharFormat kind, const char* format, ...) {
    char stack[1024];
    va_list args;
    va_start(args, format);
    int n = std::vsnprintf(stack, sizeof stack, format, args);
    va_end(args);
    if (n < 0) return;
    if (size_t(n) < sizeof stack) { Emit(kind, stack, size_t(n)); return; }
    std::string big(size_t(n) + 1, '\0');
    va_start(args, format);
    std::vsnprintf(&big[0], big.size(), format, args);
    va_end(args);
    Emit(kind, big.data(), size_t(n));
}

void Runlog::WriteText(CharFormat kind, const string& text) { Emit(kind, text.c_str(), text.Length()); }

void Runlog::KitReport(void* self, const string& text) { static_cast<Runlog*>(self)->WriteText(Error, text); }

void Runlog::Emit(CharFormat kind, const char* message, size_t length) {
    std::unique_ptr<Data> record(new Data);
    record->time = RealTime::Now();
    record->kind = kind;
    record->text = string(message, length);
    pending_.Post(record.release());
    // Whoever held the file before us may have written our record already; if not, we do.
    SectionLock g(lock_);
    WritePending();
}

void Runlog::WritePending() {
    std::string out;
    while (std::unique_ptr<Data> record{pending_.Take()}) AppendRecord(out, *record);
    if (out.empty() || file_ == INVALID_HANDLE_VALUE) return;
    DWORD written = 0;
    WriteFile(file_, out.data(), DWORD(out.size()), &written, nullptr);
}
