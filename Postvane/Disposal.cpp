#include "Disposal.h"
#include <vector>
#include "qlframe.h"

namespace Postvane {

namespace {
// Copy block size: large enough for sequential throughput, small enough that a stop
// request is noticed within a few milliseconds.
const DWORD kCopyBlock = 1 << 20;
}  // namespace

DWORD CALLBACK CopyProgress(LARGE_INTEGER, LARGE_INTEGER, LARGE_INTEGER, LARGE_INTEGER, DWORD, DWORD, HANDLE,
                            HANDLE, LPVOID data) {
    return static_cast<MailService*>(data)->CheckStop(true) ? PROGRESS_CANCEL : PROGRESS_CONTINUE;
}

BOOL CopyFileInBlocks(const char* source, const char* target, LPPROGRESS_ROUTINE progress, void* data) {
    AHandle in(CreateFileA(source, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                           FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!in.IsValid()) return FALSE;
    LARGE_INTEGER size;
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileSizeEx(in.Get(), &size) || !GetFileInformationByHandle(in.Get(), &info)) return FALSE;
    AHandle out(CreateFileA(target, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            (info.dwFileAttributes & ~FILE_ATTRIBUTE_DIRECTORY) | FILE_FLAG_SEQUENTIAL_SCAN,
                            nullptr));
    if (!out.IsValid()) return FALSE;

    // Ends a failed copy: no partial target stays behind; the error is kept for the caller.
    auto fail = [&](DWORD error) {
        out.Close();
        DeleteFileA(target);
        SetLastError(error);
        return FALSE;
    };
    // No larger than the file: most messages are a few KiB, and a fresh 1 MiB buffer costs
    // more than their whole copy. One byte more lets the first read see the end of the file.
    DWORD blockSize = size.QuadPart < LONGLONG(kCopyBlock) ? DWORD(size.QuadPart) + 1 : kCopyBlock;
    std::vector<char> block(blockSize);
    LARGE_INTEGER done;
    done.QuadPart = 0;
    for (;;) {
        if (progress && progress(size, done, size, done, 1, done.QuadPart ? CALLBACK_CHUNK_FINISHED : CALLBACK_STREAM_SWITCH,
                                 in.Get(), out.Get(), data) == PROGRESS_CANCEL)
            return fail(ERROR_REQUEST_ABORTED);
        DWORD got = 0;
        if (!ReadFile(in.Get(), block.data(), blockSize, &got, nullptr)) return fail(GetLastError());
        if (got == 0) break;
        // A write cut short (Wine's answer when the volume fills) is followed by one for the
        // rest, which fails with the cause: a full disk is then told as such.
        for (DWORD put = 0; put < got;) {
            DWORD written = 0;
            if (!WriteFile(out.Get(), block.data() + put, got - put, &written, nullptr)) return fail(GetLastError());
            if (written == 0) return fail(ERROR_WRITE_FAULT);
            put += written;
        }
        done.QuadPart += got;
    }
    SetFileTime(out.Get(), &info.ftCreationTime, &info.ftLastAccessTime, &info.ftLastWriteTime);
    return TRUE;
}

bool MoveToKeep(MailService& service, const string& path, bool delivered, string* kept) {
    string dir = ConfigText(delivered ? "ArchiveDir" : "BadMailDir");
    if (dir.IsEmpty()) return false;
    // The name as it is first, as most often it is free and the directory there; the move
    // tells when it is not. No copying across volumes and no replacing: either falls back.
    string target = MakePathSpec(dir) + GetFileFromPath(path);
    if (!MoveFileExA(path.c_str(), target.c_str(), 0)) {
        DWORD error = GetLastError();
        if (error == ERROR_PATH_NOT_FOUND) CreatePath(dir, nullptr);
        else if (error != ERROR_ALREADY_EXISTS && error != ERROR_FILE_EXISTS) return false;
        target = UniqueTargetPath(target);
        if (!MoveFileExA(path.c_str(), target.c_str(), 0)) return false;
    }
    service.Log().WriteText(Runlog::Progress, string("Копируется ") + path + " в " + target);
    if (kept) *kept = target;
    return true;
}

string UniqueTargetPath(const string& path) {
    if (!FileExists(path)) return path;
    string dir = MakePathSpec(GetParentPath(path));
    string file = GetFileFromPath(path);
    string name = GetFileName(file);
    string ext = GetFileExt(file);
    for (int i = 1;; ++i) {
        string candidate = dir + name + FormatBuffer(256, "(%i)", i) + ext;
        if (!FileExists(candidate)) return candidate;
    }
}

bool DisposeMessage(MailService& service, const string& path, bool delivered) {
    return KeepCopy(service, path, delivered) == Kept::Copied;
}

Kept KeepCopy(MailService& service, const string& path, bool delivered, string* copy) {
    Runlog& log = service.Log();
    string dir = ConfigText(delivered ? "ArchiveDir" : "BadMailDir");
    if (dir.IsEmpty()) {
        string line = FormatBuffer(256, "Путь архива не задан, не удаётся сохранить %sотправленное сообщение: ",
                                   delivered ? "" : "не");
        log.WriteText(Runlog::Error, line + path);
        return Kept::NotKept;
    }
    CreatePath(dir, nullptr);
    string target = UniqueTargetPath(MakePathSpec(dir) + GetFileFromPath(path));
    log.WriteText(Runlog::Progress, string("Копируется ") + path + " в " + target);
    if (!CopyFileInBlocks(path.c_str(), target.c_str(), CopyProgress, &service)) {
        DWORD error = GetLastError();
        // A full disk fails every copy alike (an undeliverable message whose copy failed is
        // tried again after each pause): it is told once, until a copy succeeds again.
        bool full = error == ERROR_DISK_FULL || error == ERROR_HANDLE_DISK_FULL;
        if (!full || !service.keepingDiskFull)
            log.Write(Runlog::Error, "Копирование завершено неудачей. Системная ошибка %08x.", unsigned(error));
        if (full) service.keepingDiskFull = true;
        SetLastError(error);
        return Kept::Failed;
    }
    service.keepingDiskFull = false;
    if (copy) *copy = target;
    return Kept::Copied;
}

}  // namespace Postvane
