// The exported control functions of the delivery service.
#include <mutex>
#include "MailService.h"
#include "ServiceLog.h"

namespace Postvane {

namespace {

// Serialises starts, and the look at the thread handle that a waiting stop takes, so that
// two host threads never start two service threads, nor close a handle under a waiter.
std::mutex& StartLock() {
    static std::mutex lock;
    return lock;
}

// The last error that stands for a failure the exports cannot name otherwise.
const DWORD kUnexpectedFailure = ERROR_INTERNAL_ERROR;

DWORD FailureCode(const WindowsError& e) { return e.Code() ? DWORD(e.Code()) : kUnexpectedFailure; }

BOOL Start() {
    DWORD lastError = GetLastError();
    if (MailDisabled()) {
        SetLastError(ERROR_SERVICE_DISABLED);
        return FALSE;
    }
    std::lock_guard<std::mutex> guard(StartLock());
    MailService& service = Service();
    if (service.IsRunning()) {
        SetLastError(ERROR_SERVICE_ALREADY_RUNNING);
        return FALSE;
    }
    service.debugFlags = DWORD(ConfigNumber("DebugFlags"));
    OpenServiceLog();
    ServiceLog().Write(Runlog::Progress, "Запуск Postvane, версия %s", kVersion);
    service.stopEvent.Reset();
    service.Start(&MailService::ThreadMain, &service);
    if (!service.IsValid()) return FALSE;
    SetLastError(lastError);
    return TRUE;
}

void Stop(bool wait) {
    ServiceLog().Write(Runlog::Progress, "Запрошен останов сервиса");
    MailService& service = Service();
    // The request is made under the start lock: a start on another thread comes wholly
    // before it (and its thread is the one stopped and waited for) or wholly after it (and
    // clears it for its own thread). A start between setting the request and taking the
    // thread's handle would clear the request of the thread this stop then waits for.
    std::unique_lock<std::mutex> guard(StartLock());
    service.stopEvent.Set();
    if (!wait) return;
    // The service thread itself (its callback) cannot wait for its own end.
    if (service.IsValid() && GetThreadId(service.GetHandle()) == GetCurrentThreadId()) return;
    MTSys::SyncObject thread(static_cast<const MTSys::SyncObject&>(service));
    guard.unlock();
    thread.Wait(INFINITE);
}

BOOL SetCallback(PostvaneCallback callback, void* userData) {
    MailService& service = Service();
    if (!service.callbackLock.Wait(0)) {
        SetLastError(ERROR_BUSY);
        return FALSE;
    }
    {
        MutexLock lock(service.callbackLock, false);  // releases the wait above
        service.callback = callback;
        service.callbackData = userData;
    }
    SetLastError(0);
    return TRUE;
}

}  // namespace
}  // namespace Postvane

// The C interface never lets an exception into its caller: a failure the steps above raise
// becomes result 0 with its Windows code as the last error.

extern "C" BOOL WINAPI PostvaneStart() {
    try {
        return Postvane::Start();
    } catch (const WindowsError& e) {
        SetLastError(Postvane::FailureCode(e));
    } catch (...) {
        SetLastError(Postvane::kUnexpectedFailure);
    }
    return FALSE;
}

extern "C" BOOL WINAPI PostvaneStop(int wait) {
    try {
        Postvane::Stop(wait != 0);
    } catch (...) {
        // The stop request is all there is to report; it was made or cannot be made.
    }
    return TRUE;
}

extern "C" BOOL WINAPI SmtpEnabled() {
    try {
        if (Postvane::MailDisabled()) {
            SetLastError(ERROR_SERVICE_DISABLED);
            return FALSE;
        }
        SetLastError(0);
        return TRUE;
    } catch (const WindowsError& e) {
        SetLastError(Postvane::FailureCode(e));
    } catch (...) {
        SetLastError(Postvane::kUnexpectedFailure);
    }
    return FALSE;
}

extern "C" BOOL WINAPI SetPostvaneCallback(PostvaneCallback callback, void* userData) {
    try {
        return Postvane::SetCallback(callback, userData);
    } catch (const WindowsError& e) {
        SetLastError(Postvane::FailureCode(e));
    } catch (...) {
        SetLastError(Postvane::kUnexpectedFailure);
    }
    return FALSE;
}
