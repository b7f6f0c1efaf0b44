// The service thread: single-instance mutex, logs, Winsock, and the loop that waits for
// work and runs outbox passes.
#include "MailService.h"
#include "FileChangeMonitor.h"
#include "Outbox.h"
#include "Resolver.h"
#include "Retention.h"
#include "qlframe.h"

namespace Postvane {

namespace {

const char kSource[] = "Postvane/Service";
// One service thread at a time among all processes that share the object namespace.
const char kMutexName[] = "Mutex Quillet Pennark MSS";
// The thread's first pause after START, cut short by a stop request.
const DWORD kStartPauseMs = 1000;
// What the outbox monitor reports: file name, attributes, size, last write and security.
const DWORD kOutboxNotifyFilter = FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_ATTRIBUTES |
                                  FILE_NOTIFY_CHANGE_SIZE | FILE_NOTIFY_CHANGE_LAST_WRITE |
                                  FILE_NOTIFY_CHANGE_SECURITY;
static_assert(kOutboxNotifyFilter == 0x11D, "outbox notify filter");
// Entries that are never messages.
const DWORD kNotCandidate = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_HIDDEN;

// The name under which FindFirstFileA finds the directory itself: without trailing
// separators (a trailing one never matches). A drive's root has no entry of its own: its
// contents stand for it.
string DirectoryLookupName(const string& directory) {
    std::string s = directory.str();
    while (!s.empty() && (s.back() == '\\' || s.back() == '/')) s.pop_back();
    if (s.empty() || s.back() == ':') return MakePathSpec(directory) + "*";
    return string(s);
}

bool IsDriveRoot(const string& directory) {
    std::string s = directory.str();
    while (!s.empty() && (s.back() == '\\' || s.back() == '/')) s.pop_back();
    return s.empty() || s.back() == ':';
}

// The identity of a directory: its volume and file index.
bool ReadDirectoryId(const string& directory, MailService::DirectoryId* id) {
    HANDLE h = CreateFileA(directory.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    AHandle directoryHandle(h);
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(h, &info)) return false;
    id->known = true;
    id->volume = info.dwVolumeSerialNumber;
    id->index = (ULONGLONG(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    return true;
}

// False when the directory now under the name is known to be another one than id.
bool SameDirectory(const string& directory, const MailService::DirectoryId& id) {
    MailService::DirectoryId now;
    if (!id.known || !ReadDirectoryId(directory, &now)) return true;
    return now.volume == id.volume && now.index == id.index;
}

LONGLONG PerformanceCounter() {
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return now.QuadPart;
}

}  // namespace

unsigned __stdcall MailService::ThreadMain(void* service) {
    MailService* self = static_cast<MailService*>(service);
    try {
        self->Run();
    } catch (...) {
        // Run handles what its steps raise; nothing may end the host process from here.
        self->Log().Write(Runlog::Error, "Сервис Postvane: необработанное исключение неизвестного типа");
    }
    return 0;
}

void MailService::Run() {
    MTSys::SyncObject mutex(CreateMutexA(nullptr, FALSE, kMutexName));
    // A signalled, abandoned or failed wait all count as owning the mutex.
    bool owned = mutex.IsValid() && WaitForSingleObject(mutex.GetHandle(), 0) != WAIT_TIMEOUT;
    if (!owned) {
        // Another service thread runs: this one is dead until it is stopped.
        InvokeCallback(0, 0);
        stopEvent.Wait(INFINITE);
        return;
    }

    // Each run checks the EHLO name afresh, once.
    ForgetDnsChecks();
    // Each run announces its outbox afresh.
    outboxMonitor.reset();
    outboxDirectory = string("");
    outboxRecovered = false;
    outboxUnavailable = false;
    leftFiles.clear();
    memory.clear();
    lastSweep = RealTime();

    SetLogDirectory(ConfigText("LogDir"));
    WriteEvent(kEventStart, "START", "запуск сервиса отправки электронной почты, версия 1.1.0.2");
    stopEvent.Wait(kStartPauseMs);

    bool winsock = false;
    try {
        WSADATA data;
        int result = WSAStartup(MAKEWORD(2, 2), &data);
        if (result != 0)
            throw QLAppException(FormatBuffer(256, "Не удаётся инициализировать Winsock, ошибка %u", unsigned(result)));
        winsock = true;
        Log().Write(Runlog::Progress, "Сервис Postvane начал работать");
        MainLoop();
        Log().Write(Runlog::Progress, "Сервис Postvane прекращает работать");
    } catch (const QuilletException& e) {
        Log().WriteText(Runlog::Error, "Сервис Postvane: необработанное исключение: " + e.Reason());
    } catch (...) {
        Log().Write(Runlog::Error, "Сервис Postvane: необработанное исключение неизвестного типа");
    }
    // Only a successful start is balanced: a clean-up without one would take Winsock away
    // from another user in the process.
    if (winsock) WSACleanup();
    // The change notification would keep the outbox directory open while the service stands.
    outboxMonitor.reset();

    if (!stopEvent.IsSignalled()) {
        Log().Write(Runlog::Abnormal, "Сервис Postvane неожиданно прервал работу");
        InvokeCallback(0, 0);
    }
    stopEvent.Wait(INFINITE);

    Log().Write(Runlog::Progress, "Сервис Postvane закрыт");
    WriteEvent(kEventStop, "STOP", "сервис отправки электронной почты остановлен");
    SetLogDirectory(string(""));
    Log().SetLogPath(nullptr);
    ReleaseMutex(mutex.GetHandle());
}

void MailService::MainLoop() {
    DWORD next = INFINITE;
    bool run;
    do {
        run = WaitForWork(next);
        while (run) {
            SweepIfDue(*this);
            if (OutboxPass(*this, &next)) break;
            run = RetryPause();
        }
    } while (run);
}

bool MailService::WaitForWork(DWORD timeout) {
    // Work at hand needs no wait, but a stop request still comes first: a pass that leaves
    // its file in place would otherwise keep the thread from ever seeing it.
    PhaseTimer timer(profile, DeliveryPhase::Wake);
    if (timeout == INFINITE && HasCandidate()) return !stopEvent.IsSignalled();
    DWORD start = GetTickCount();
    for (;;) {
        bool changed = RefreshOutboxDir();
        if (changed) outboxMonitor.reset();
        bool availabilityChanged = CheckOutboxWatch();
        // Old archive copies and logs go at the start (after the outbox's recovery) and daily.
        SweepIfDue(*this);
        if (outboxMonitor && (availabilityChanged || changed) && HasCandidate()) return true;

        HANDLE waitSet[2];
        DWORD count = 0;
        waitSet[count++] = stopEvent.GetHandle();
        if (outboxMonitor && outboxMonitor->IsValid()) waitSet[count++] = outboxMonitor->GetHandle();

        DWORD elapsed = GetTickCount() - start;
        DWORD remaining = timeout == INFINITE ? INFINITE : (elapsed >= timeout ? 0 : timeout - elapsed);
        DWORD slice = remaining < waitSliceMs ? remaining : waitSliceMs;

        LARGE_INTEGER blocked, woken;
        QueryPerformanceCounter(&blocked);
        DWORD result = WaitForMultipleObjects(count, waitSet, FALSE, slice);
        QueryPerformanceCounter(&woken);
        profile.Exclude(DeliveryPhase::Wake, woken.QuadPart - blocked.QuadPart);
        InterlockedIncrement(&wakeups);
        if (result == WAIT_OBJECT_0) return false;
        if (result == WAIT_OBJECT_0 + 1) {
            InterlockedCompareExchange64(&notificationMark, PerformanceCounter(), 0);
            InterlockedIncrement(&notifications);
            outboxMonitor.reset();
            if (HasCandidate()) return true;
        } else if (result == WAIT_TIMEOUT) {
            if (timeout != INFINITE && GetTickCount() - start >= timeout) return true;
        } else {
            // A wait that fails fails again at once: repeating it would spin.
            ThrowWindowsError(GetLastError(), kSource, __LINE__);
        }
    }
}

bool MailService::RefreshOutboxDir() {
    string now = ConfigText("OutboxDir");
    bool changed = false;
    if (now.IsEmpty()) {
        if (outboxDirectory.HasText()) {
            outboxDirectory = string("");
            changed = true;
        }
    } else if (now.CompareNoCase(outboxDirectory) != 0) {
        outboxDirectory = now;
        changed = true;
    }
    if (changed) {
        leftFiles.clear();
        memory.clear();
        outboxRecovered = false;
        outboxUnavailable = false;
        if (outboxDirectory.IsEmpty()) Log().Write(Runlog::Error, "Почтовый ящик не задан.");
        else Log().WriteText(Runlog::Progress, "Почтовый ящик задан: " + outboxDirectory);
    }
    return changed;
}

bool MailService::CheckOutboxWatch() {
    bool changed = false;
    if (outboxMonitor) {
        // Still the directory the monitor watches? One deleted (or moved away) and made again
        // under the name would never signal the old monitor.
        FileFinder self(DirectoryLookupName(outboxDirectory));
        if (self.Found() &&
            (IsDriveRoot(outboxDirectory) ||
             ((self.Attributes() & FILE_ATTRIBUTE_DIRECTORY) && SameDirectory(outboxDirectory, outboxIdentity))))
            return false;
        outboxMonitor.reset();
        outboxRecovered = false;
        outboxUnavailable = true;
        Log().WriteText(Runlog::Error, "Почтовый ящик недоступен: " + outboxDirectory);
        changed = true;
    }
    if (outboxDirectory.IsEmpty()) return changed;
    DirectoryId identity;
    bool identified = ReadDirectoryId(outboxDirectory, &identity);
    std::unique_ptr<MTSys::FileChangeMonitor> monitor(
        new MTSys::FileChangeMonitor(outboxDirectory, false, kOutboxNotifyFilter));
    if (monitor->IsValid()) {
        outboxMonitor = std::move(monitor);
        outboxIdentity = identified ? identity : DirectoryId();
        outboxUnavailable = false;
        Log().WriteText(Runlog::Progress, "Почтовый ящик доступен: " + outboxDirectory);
        if (!outboxRecovered) {
            outboxRecovered = true;
            RecoverOutbox(*this);
        }
        return true;
    }
    DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND || outboxUnavailable) return changed;
    // A file of that name, a name that cannot be a directory, missing rights: the outbox is
    // unavailable until the setting or the directory is mended, as a missing one is.
    outboxUnavailable = true;
    Log().WriteText(Runlog::Error, "Почтовый ящик недоступен: " + outboxDirectory);
    Log().Write(Runlog::Detail, "Не удаётся наблюдать за почтовым ящиком, системная ошибка %08x", unsigned(error));
    return true;
}

bool MailService::HasCandidate() {
    if (outboxDirectory.IsEmpty()) return false;
    for (FileFinder entry(MakePathSpec(outboxDirectory) + "*.*"); entry.Found(); entry.Next()) {
        if (entry.Attributes() & kNotCandidate) continue;
        // A file set aside waits for its time, which the pass has made the wait's limit.
        if (!leftFiles.empty() && IsLeftAlone(keystring(entry.Name()))) continue;
        return true;
    }
    return false;
}

bool MailService::RetryPause() {
    unsigned seconds = RetryTimeout();
    Log().Write(Runlog::Progress, "Пауза перед повторной попыткой отправить почту %u с", seconds);
    // A pause too long for one wait is cut just short of "no limit".
    ULONGLONG ms = ULONGLONG(seconds) * secondMs;
    return !stopEvent.Wait(ms >= INFINITE ? INFINITE - 1 : DWORD(ms));
}

}  // namespace Postvane
