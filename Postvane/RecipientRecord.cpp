#include "RecipientRecord.h"
#include <cstring>
#include "PKLib.h"
#include "ServiceLog.h"
#include "SmtpDialogue.h"
#include "qlframe.h"

namespace Postvane {

namespace {

const char kDelivered[] = "delivered";
const char kRefused[] = "refused";
const char kDeferred[] = "deferred";

const char* StateName(RecipientState state) {
    switch (state) {
    case RecipientState::Delivered: return kDelivered;
    case RecipientState::Refused: return kRefused;
    default: return kDeferred;
    }
}

// One field of a line: TAB and line ends would split it, so control characters are escaped.
std::string Field(const string& text) { return LogSafe(text).str(); }

// Writes all of text to the file, or fails with the last error set; a record or note cut
// short is worse than none only when it is mistaken for whole, and its lines end with CR LF.
bool WriteAll(HANDLE file, const std::string& text) {
    DWORD written = 0;
    if (!WriteFile(file, text.data(), DWORD(text.size()), &written, nullptr)) return false;
    if (written != text.size()) {
        SetLastError(ERROR_DISK_FULL);
        return false;
    }
    return true;
}

}  // namespace

string RecipientRecordPath(const string& outbox, const string& messagePath) {
    return MakePathSpec(outbox) + "Wait\\" + GetFileFromPath(messagePath) + ".rcpt";
}

std::vector<RecipientEntry> ReadRecipientRecord(const string& path) {
    std::vector<RecipientEntry> entries;
    string text;
    try {
        text = LoadTextFile(path);
    } catch (const QuilletException&) {
        return entries;
    }
    const std::string& s = text.str();
    for (size_t at = 0, eol; (eol = s.find("\r\n", at)) != std::string::npos; at = eol + 2) {
        std::string line = s.substr(at, eol - at);
        size_t t1 = line.find('\t');
        size_t t2 = t1 == std::string::npos ? t1 : line.find('\t', t1 + 1);
        size_t t3 = t2 == std::string::npos ? t2 : line.find('\t', t2 + 1);
        if (t3 == std::string::npos || t3 == t2 + 1) continue;  // no address: not a line of ours
        std::string state = line.substr(0, t1);
        RecipientEntry entry;
        if (state == kDelivered) entry.state = RecipientState::Delivered;
        else if (state == kRefused) entry.state = RecipientState::Refused;
        else if (state == kDeferred) entry.state = RecipientState::Pending;
        else continue;
        try {
            entry.when = ScanDateTime(0, line.substr(t1 + 1, t2 - t1 - 1).c_str(), true, nullptr);
        } catch (...) {
            entry.when = RealTime();  // the state holds without its time
        }
        entry.address = string(line.substr(t2 + 1, t3 - t2 - 1));
        entry.reply = string(line.substr(t3 + 1));
        bool known = false;
        for (RecipientEntry& e : entries)
            if (e.address == entry.address) {
                e = entry;
                known = true;
                break;
            }
        if (!known) entries.push_back(entry);
    }
    return entries;
}

std::vector<RecipientEntry> RecipientStates(const string& recipients, const std::vector<RecipientEntry>& record) {
    std::vector<RecipientEntry> states;
    for (const string& address : Recipients(recipients)) {
        RecipientEntry entry;
        entry.address = address;
        string key(Field(address));
        for (const RecipientEntry& e : record)
            if (e.address == key) {
                entry.state = e.state;
                entry.when = e.when;
                entry.reply = e.reply;
            }
        states.push_back(entry);
    }
    return states;
}

bool AppendRecipientRecord(const string& path, const std::vector<RecipientEntry>& entries) {
    if (entries.empty()) return true;
    std::string lines;
    for (const RecipientEntry& e : entries) {
        RealTime when = e.when ? e.when : RealTime::Now().UTC();
        lines += std::string(StateName(e.state)) + "\t" + Format(0, when, true, false).str() + "\t" + Field(e.address) +
                 "\t" + Field(e.reply) + "\r\n";
    }
    CreatePath(GetParentPath(path), nullptr);
    AHandle file(CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                             FILE_ATTRIBUTE_HIDDEN | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!file.IsValid()) return false;
    LARGE_INTEGER zero, size;
    zero.QuadPart = 0;
    if (!SetFilePointerEx(file.Get(), zero, &size, FILE_END)) return false;
    if (!WriteAll(file.Get(), lines) || !FlushFileBuffers(file.Get())) {
        // Lines cut short must not be read as whole: the record goes back to what it was.
        DWORD error = GetLastError();
        SetFilePointerEx(file.Get(), size, nullptr, FILE_BEGIN);
        SetEndOfFile(file.Get());
        SetLastError(error ? error : ERROR_WRITE_FAULT);
        return false;
    }
    return true;
}

string WhyPath(const string& copyPath) { return copyPath + ".why"; }

bool WriteWhyFile(const string& copyPath, const std::vector<RecipientEntry>& refused, const string& failure) {
    std::string text;
    for (const RecipientEntry& e : refused)
        text += "X-Pennark-Refused: " + Field(e.address) + "; " + Field(e.reply) + "\r\n";
    if (failure.HasText()) text += "X-Pennark-Failure: " + Field(failure) + "\r\n";
    string path = WhyPath(copyPath);
    AHandle file(CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.IsValid()) return false;
    if (WriteAll(file.Get(), text)) return true;
    DWORD error = GetLastError();
    file.Close();
    DeleteFileA(path.c_str());
    SetLastError(error);
    return false;
}

}  // namespace Postvane
