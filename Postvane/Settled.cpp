#include "Settled.h"
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include "MailService.h"
#include "qlframe.h"

namespace Postvane {

namespace {

const char kDelivered[] = "delivered";
const char kRejected[] = "rejected";
// The first pause between two tries of a removal; each further pause is twice as long.
const DWORD kFirstRemovePauseMs = 10;

ULONGLONG Combine(DWORD high, DWORD low) { return (ULONGLONG(high) << 32) | low; }

bool Identity(const string& path, ULONGLONG* size, ULONGLONG* lastWrite) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data)) return false;
    *size = Combine(data.nFileSizeHigh, data.nFileSizeLow);
    *lastWrite = Combine(data.ftLastWriteTime.dwHighDateTime, data.ftLastWriteTime.dwLowDateTime);
    return true;
}

}  // namespace

string DoneMarkPath(const string& outbox, const string& messagePath) {
    return MakePathSpec(outbox) + "Wait\\" + GetFileFromPath(messagePath) + ".done";
}

bool WriteDoneMark(const string& markPath, const string& messagePath, bool delivered) {
    ULONGLONG size = 0, lastWrite = 0;
    if (!Identity(messagePath, &size, &lastWrite)) return false;
    char identity[64];
    std::snprintf(identity, sizeof identity, "\t%llu\t%016llX\r\n", size, lastWrite);
    string line = string(delivered ? kDelivered : kRejected) + "\t" + Format(0, RealTime::Now().UTC(), true, false) +
                  identity;
    CreatePath(GetParentPath(markPath), nullptr);
    HANDLE h = CreateFileA(markPath.c_str(), GENERIC_WRITE | DELETE, 0, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    AHandle file(h);
    DWORD written = 0;
    if (WriteFile(h, line.c_str(), DWORD(line.Length()), &written, nullptr) && written == line.Length() &&
        FlushFileBuffers(h))
        return true;
    // A mark cut short must not stay: it would read as no mark, or as a wrong one.
    DWORD error = GetLastError();
    FILE_DISPOSITION_INFO dispose = {TRUE};
    SetFileInformationByHandle(h, FileDispositionInfo, &dispose, sizeof dispose);
    file.Close();
    SetLastError(error ? error : ERROR_WRITE_FAULT);
    return false;
}

bool ReadDoneMark(const string& markPath, DoneMark* mark) {
    HANDLE h = CreateFileA(markPath.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    AHandle file(h);
    char text[256];
    DWORD got = 0;
    if (!ReadFile(h, text, sizeof text - 1, &got, nullptr)) return false;
    text[got] = '\0';
    // state TAB time TAB size TAB last write
    char* fields[4];
    char* p = text;
    for (int i = 0; i < 4; ++i) {
        fields[i] = p;
        p = std::strpbrk(p, i < 3 ? "\t" : "\r\n");
        if (!p && i < 3) return false;
        if (p) *p++ = '\0';
        else break;
    }
    if (std::strcmp(fields[0], kDelivered) == 0) mark->delivered = true;
    else if (std::strcmp(fields[0], kRejected) == 0) mark->delivered = false;
    else return false;
    try {
        mark->when = ScanDateTime(0, fields[1], true, nullptr);
    } catch (const QuilletException&) {
        mark->when = RealTime();
    }
    char* end = nullptr;
    mark->size = std::strtoull(fields[2], &end, 10);
    if (end == fields[2] || *end) return false;
    mark->lastWrite = std::strtoull(fields[3], &end, 16);
    return end != fields[3] && !*end;
}

bool DoneMarkMatches(const DoneMark& mark, const string& messagePath) {
    ULONGLONG size = 0, lastWrite = 0;
    return Identity(messagePath, &size, &lastWrite) && size == mark.size && lastWrite == mark.lastWrite;
}

bool RemoveFile(const string& path) {
    DWORD attributes = GetFileAttributesA(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return true;
        SetLastError(error);
        return false;
    }
    if (attributes & FILE_ATTRIBUTE_READONLY)
        SetFileAttributesA(path.c_str(), attributes & ~DWORD(FILE_ATTRIBUTE_READONLY));
    if (DeleteFileA(path.c_str())) return true;
    DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND) return true;
    SetLastError(error);
    return false;
}

bool RemoveFileSoon(MailService& service, const string& path) {
    DWORD pause = kFirstRemovePauseMs;
    for (DWORD waited = 0;; waited += pause, pause *= 2) {
        if (RemoveFile(path)) return true;
        DWORD error = GetLastError();
        if (waited + pause > kRemoveRetryMs || service.stopEvent.Wait(pause)) {
            SetLastError(error);
            return false;
        }
    }
}

}  // namespace Postvane
