// Stand-in of the maker's Runlog library: a log that appends one record per Write.
#pragma once
#include <windows.h>
#include "core.h"

// Record layout: local time to the millisecond, the kind in brackets, the message, CR LF;
// 8-bit windows-1251 bytes as given. A record is always one line: line ends at the end of a
// message are dropped, and CR and LF inside it are written as \r and \n. Write may be called from several threads at once.
class Runlog {
public:
    enum CharFormat { Survived = 0, Abnormal = 1, Error = 2, Progress = 5, Detail = 6 };

    Runlog();
    Runlog(const Runlog&) = delete;
    Runlog& operator=(const Runlog&) = delete;
    ~Runlog();

    // Option bits are accepted and kept; records always go to the file when one is set.
    void SetOptions(unsigned options);
    // Directs records to a file (appending; the file and its directory are created if
    // missing); null ends file output.
    void SetLogPath(const char* path);
    string LogPath() const;
    bool HasFile() const;
    // Appends one printf-style record. Data must never be passed as the format: use "%s".
    void Write(CharFormat kind, const char* format, ...) __attribute__((format(printf, 3, 4)));
    // Appends one record whose message is text, taken literally.
    void WriteText(CharFormat kind, const string& text);

private:
    void Emit(CharFormat kind, const char* message, size_t length);
    mutable CRITICAL_SECTION lock_;
    HANDLE file_;  // owned; INVALID_HANDLE_VALUE when no file
    string path_;
    unsigned options_;
};
