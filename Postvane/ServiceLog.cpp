#include "ServiceLog.h"
#include "MailService.h"
#include "qlframe.h"

namespace Postvane {

namespace {
// Runlog options of the service log.
const unsigned kServiceLogOptions = 3;
}  // namespace

string ServiceLogPath(const string& debugLog, const RealTime& day) {
    if (debugLog.IsEmpty()) return debugLog;
    string path = debugLog;
    size_t star = path.str().find('*');
    if (star != std::string::npos) {
        SYSTEMTIME st = day;
        path = path.Mid(0, star) + FormatBuffer(256, "(%04u-%02u-%02u)", st.wYear, st.wMonth, st.wDay) +
               path.Mid(star + 1);
    }
    return GetFullPath(path);
}

string LogSafe(const string& text) {
    const std::string& s = text.str();
    size_t end = s.size();
    while (end > 0 && (s[end - 1] == '\r' || s[end - 1] == '\n')) --end;
    std::string safe;
    safe.reserve(end);
    static const char kHex[] = "0123456789ABCDEF";
    for (size_t i = 0; i < end; ++i) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        if (c >= 0x20 && c != 0x7F) {
            safe += char(c);
            continue;
        }
        safe += '\\';
        if (c == '\r') safe += 'r';
        else if (c == '\n') safe += 'n';
        else if (c == '\t') safe += 't';
        else {
            safe += 'x';
            safe += kHex[c >> 4];
            safe += kHex[c & 0xF];
        }
    }
    return string(std::move(safe));
}

void OpenServiceLog() {
    string path = ServiceLogPath(ConfigText("DebugLog"), RealTime::Now());
    if (path.IsEmpty()) return;
    ServiceLog().SetOptions(kServiceLogOptions);
    ServiceLog().SetLogPath(path.c_str());
}

void MailService::SetLogDirectory(const string& directory) {
    logDirectory = directory.IsNull() ? string("") : directory;
    OpenDailyLog();
}

void MailService::OpenDailyLog() {
    RealTime now = RealTime::Now();
    string path;
    if (logDirectory.HasText()) {
        SYSTEMTIME st = now;
        path = MakePathSpec(logDirectory) + FormatBuffer(256, "%04u-%02u-%02u.txt", st.wYear, st.wMonth, st.wDay);
    }
    logDate = now.Date();
    WriteEvent(kEventClose, "CLOSE", "лог закрыт");
    dailyLog.SetLogPath(path.IsEmpty() ? nullptr : path.c_str());
    WriteEvent(kEventOpen, "OPEN", "лог открыт");
}

void MailService::WriteEvent(int code, const char* tag, const string& text) {
    if (code != kEventClose && RealTime::Now().Date() != logDate) OpenDailyLog();
    if (!dailyLog.HasFile()) return;
    string record = FormatBuffer(256, "%d\t", code) + tag;
    if (text.HasText()) record = record + "\t;" + text;
    dailyLog.WriteText(Runlog::Progress, record);
}

}  // namespace Postvane
