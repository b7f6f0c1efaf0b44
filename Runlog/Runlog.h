// Stand-in of the maker's Runlog library: a log that appends one record per Write.
#pragma once
#include <windows.h>
#include "MTSys.h"
#include "core.h"

// Record layout: local time to the millisecond, the kind in brackets, the message, CR LF;
// 8-bit windows-1251 bytes as given. A record is always one line: line ends at the end of a
// message are dropped, and CR and LF inside it are written as \r and \n.
//
// Write may be called from several threads at once. Each Write queues its record and then
// waits for the file: whichever thread holds the file writes every record that waits, oldest
// first, in one piece, so a Write may find its record written already. A Write returns only
// once its record is in the file (or dropped, when no file is set), so the log reads the
// same as if each record had been written by its own caller.
class Runlog {
public:
    enum CharFormat { Survived = 0, Abnormal = 1, Error = 2, Progress = 5, Detail = 6 };

    // SetOptions bit: this log also takes the threading kit's reports of failures that it
    // cannot raise (MTSys::Report), as error records. The service log is given it.
    static const unsigned kKitReports = 2;

    // One record waiting for the writer.
    struct Data {
        SYSTEMTIME time;  // local time of the Write
        CharFormat kind;
        string text;      // the message, literally
    };

    Runlog();
    Runlog(const Runlog&) = delete;
    Runlog& operator=(const Runlog&) = delete;
    ~Runlog();

    // Option bits are kept; kKitReports has the meaning above, the others none here. Records
    // always go to the file when one is set.
    void SetOptions(unsigned options);
    // Directs records to a file (appending; the file and its directory are created if
    // missing); null ends file output. Records queued before go to the previous file.
    void SetLogPath(const char* path);
    string LogPath() const;
    bool HasFile() const;
    // Appends one printf-style record. Data must never be passed as the format: use "%s".
    void Write(CharFormat kind, const char* format, ...) __attribute__((format(printf, 3, 4)));
    // Appends one record whose message is text, taken literally.
    void WriteText(CharFormat kind, const string& text);

private:
    static void KitReport(void* self, const string& text);
    void Emit(CharFormat kind, const char* message, size_t length);
    // Writes every waiting record to the file (drops them when there is none); the caller
    // holds lock_.
    void WritePending();

    MTSys::MessageQueue<Data> pending_;  // records written but not yet in the file
    mutable MTSys::CriticalSection lock_;  // the writer's: file, path and options
    HANDLE file_;  // owned; INVALID_HANDLE_VALUE when no file
    string path_;
    unsigned options_;
};
