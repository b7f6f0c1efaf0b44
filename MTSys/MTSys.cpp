#include "MTSys.h"
#include <process.h>

namespace {
// The source name that every error raised by the classes of this file carries.
const char kSource[] = "MTSys/MTSys";
}

namespace MTSys {

Handle::~Handle() { CloseHeld(); }

void Handle::CloseHeld() {
    if (handle_) CloseHandle(handle_);
    handle_ = nullptr;
}

SyncObject::SyncObject(const SyncObject& source) : Handle(nullptr) {
    if (source.IsValid()) {
        HANDLE process = GetCurrentProcess();
        CheckSystemCall(DuplicateHandle(process, source.handle_, process, &handle_, 0, TRUE, DUPLICATE_SAME_ACCESS),
                        kSource, __LINE__);
    }
}

bool SyncObject::Wait(DWORD timeoutMs) const {
    if (!handle_) return false;
    DWORD r = WaitForSingleObject(handle_, timeoutMs);
    return r == WAIT_OBJECT_0 || r == WAIT_ABANDONED;
}

unsigned Thread::Start(Entry entry, void* argument, bool suspended, unsigned stackSize,
                       SECURITY_ATTRIBUTES* security) {
    CloseHeld();
    unsigned id = 0;
    uintptr_t h = _beginthreadex(security, stackSize, entry, argument, suspended ? CREATE_SUSPENDED : 0, &id);
    handle_ = reinterpret_cast<HANDLE>(h);
    return handle_ ? id : 0;
}

DWORD Thread::Suspend() {
    DWORD r = SuspendThread(handle_);
    CheckSystemCall(r != DWORD(-1), kSource, __LINE__);
    return r;
}

DWORD Thread::Resume() {
    DWORD r = ResumeThread(handle_);
    CheckSystemCall(r != DWORD(-1), kSource, __LINE__);
    return r;
}

void Thread::Terminate(DWORD exitCode) { CheckSystemCall(TerminateThread(handle_, exitCode), kSource, __LINE__); }

DWORD Thread::GetExitCode() const {
    DWORD code = 0;
    CheckSystemCall(GetExitCodeThread(handle_, &code), kSource, __LINE__);
    return code;
}

Event::Event(bool manualReset, bool initiallySet)
    : SyncObject(CreateEventA(nullptr, manualReset, initiallySet, nullptr)) {}

void Event::Set() { CheckSystemCall(SetEvent(handle_), kSource, __LINE__); }
void Event::Reset() { CheckSystemCall(ResetEvent(handle_), kSource, __LINE__); }
void Event::Pulse() { CheckSystemCall(PulseEvent(handle_), kSource, __LINE__); }

}  // namespace MTSys

MutexLock::MutexLock(const MTSys::SyncObject& mutex, bool wait) : mutex_(mutex) {
    if (wait) mutex_.Wait(INFINITE);
}

MutexLock::~MutexLock() {
    // Balances the wait of this guard (or the caller's own successful wait); the duplicate
    // handle is closed by the member's destructor afterwards.
    if (mutex_.IsValid()) ReleaseMutex(mutex_.GetHandle());
}
