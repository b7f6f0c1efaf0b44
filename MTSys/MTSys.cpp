#include "MTSys.h"
#include <process.h>

namespace {
// The source name that every error raised by the classes of this file carries.
const char kSource[] = "MTSys/MTSys";
}

namespace MTSys {

Handle::~Handle() { CloseHeld(); }

void Handle::CloseHeld() {
    if (handle_ && handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
    handle_ = nullptr;
}

SyncObject::SyncObject(const SyncObject& source) : Handle(nullptr) {
    if (source.IsValid()) {
        HANDLE process = GetCurrentProcess();
        HANDLE copy = nullptr;  // stored only on success, so a failure leaves nothing to close
        CheckSystemCall(DuplicateHandle(process, source.handle_, process, &copy, 0, TRUE, DUPLICATE_SAME_ACCESS),
                        kSource, __LINE__);
        handle_ = copy;
    }
}

bool SyncObject::Wait(DWORD timeoutMs) const {
    // An invalid kind may hold INVALID_HANDLE_VALUE, which Windows reads as the current
    // process: waiting on it would never end.
    if (!IsValid()) return false;
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

Timer::Timer(bool manualReset) : SyncObject(CreateWaitableTimerA(nullptr, manualReset, nullptr)) {}

void Timer::Set(LONGLONG dueTime, LONG periodMs) {
    LARGE_INTEGER due;
    due.QuadPart = dueTime;
    CheckSystemCall(SetWaitableTimer(handle_, &due, periodMs, nullptr, nullptr, FALSE), kSource, __LINE__);
}

void Timer::Cancel() { CheckSystemCall(CancelWaitableTimer(handle_), kSource, __LINE__); }

Monitor::Monitor(HANDLE h) : SyncObject(h) { InitializeCriticalSection(&section_); }

Monitor::~Monitor() { DeleteCriticalSection(&section_); }

HANDLE Monitor::GetHandle() const {
    SectionLock lock(section_);
    return handle_;
}

void Monitor::Close() {
    SectionLock lock(section_);
    CloseHeld();
}

namespace {
// A manual-reset completion event, cleared. Throws when it cannot be created: without it
// nobody could learn that the callbacks have finished.
rptr<SyncObject> NewCompletionEvent() {
    rptr<SyncObject> done(new Event(true, false));
    CheckSystemCall(done->IsValid(), kSource, __LINE__);
    return done;
}

void SetCompletion(const rptr<SyncObject>& done) { static_cast<Event&>(*done).Set(); }

// Deletion with a completion event answers ERROR_IO_PENDING while callbacks still run;
// that is success too: the event is set when they have finished.
void CheckDeletion(BOOL deleted, int line) {
    if (!deleted && GetLastError() != ERROR_IO_PENDING) CheckSystemCall(FALSE, kSource, line);
}
}  // namespace

TimerQueue::TimerQueue() : queue_(new Shared) { queue_->queue = CreateTimerQueue(); }

TimerQueue::~TimerQueue() {
    if (!IsValid()) return;
    try {
        Release()->Wait(INFINITE);
    } catch (const QuilletException&) {
        // Without a completion event the only safe end is a deletion that blocks until
        // every callback has finished.
        if (IsValid()) DeleteTimerQueueEx(queue_->queue, INVALID_HANDLE_VALUE);
    }
}

TimerQueue::Timer* TimerQueue::CreateTimer(WAITORTIMERCALLBACK callback, void* parameter, DWORD dueMs,
                                           DWORD periodMs, ULONG flags) {
    if (!IsValid()) ThrowWindowsError(ERROR_INVALID_HANDLE, kSource, __LINE__);
    HANDLE timer = nullptr;
    CheckSystemCall(CreateTimerQueueTimer(&timer, queue_->queue, callback, parameter, dueMs, periodMs, flags),
                    kSource, __LINE__);
    return new Timer(queue_, timer);
}

rptr<SyncObject> TimerQueue::Release() {
    rptr<SyncObject> done = NewCompletionEvent();
    if (!IsValid()) {
        SetCompletion(done);
        return done;
    }
    CheckDeletion(DeleteTimerQueueEx(queue_->queue, done->GetHandle()), __LINE__);
    queue_->queue = nullptr;
    queue_->released = done;
    return done;
}

TimerQueue::Timer::~Timer() {
    if (!IsValid()) return;
    try {
        Release()->Wait(INFINITE);
    } catch (const QuilletException&) {
        if (IsValid()) DeleteTimerQueueTimer(queue_->queue, timer_, INVALID_HANDLE_VALUE);
    }
}

bool TimerQueue::Timer::IsValid() const { return timer_ != nullptr && queue_->queue != nullptr; }

rptr<SyncObject> TimerQueue::Timer::Release() {
    if (!IsValid()) {
        timer_ = nullptr;
        // The queue's release took this timer with it; its event covers our callbacks.
        if (queue_->released) return queue_->released;
        rptr<SyncObject> done = NewCompletionEvent();
        SetCompletion(done);
        return done;
    }
    rptr<SyncObject> done = NewCompletionEvent();
    CheckDeletion(DeleteTimerQueueTimer(queue_->queue, timer_, done->GetHandle()), __LINE__);
    timer_ = nullptr;
    return done;
}

}  // namespace MTSys

MutexLock::MutexLock(const MTSys::SyncObject& mutex, bool wait) : mutex_(mutex) {
    if (wait) mutex_.Wait(INFINITE);
}

MutexLock::~MutexLock() {
    // Balances the wait of this guard (or the caller's own successful wait); the duplicate
    // handle is closed by the member's destructor afterwards.
    if (mutex_.IsValid()) ReleaseMutex(mutex_.GetHandle());
}
