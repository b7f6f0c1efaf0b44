#include "MTSys.h"
#include <process.h>
#include <cstdio>

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

namespace MTSys {

// ---- Reports -------------------------------------------------------------------------------

namespace {
// The sink and its context, read under a shared hold while a report is delivered, so that
// removing the sink waits for reports still running.
SRWLOCK g_sinkLock = SRWLOCK_INIT;
ReportSink g_sink = nullptr;
void* g_sinkContext = nullptr;

class [[nodiscard]] SinkHold {
public:
    explicit SinkHold(bool exclusive) : exclusive_(exclusive) {
        exclusive_ ? AcquireSRWLockExclusive(&g_sinkLock) : AcquireSRWLockShared(&g_sinkLock);
    }
    ~SinkHold() { exclusive_ ? ReleaseSRWLockExclusive(&g_sinkLock) : ReleaseSRWLockShared(&g_sinkLock); }
    SinkHold(const SinkHold&) = delete;
    SinkHold& operator=(const SinkHold&) = delete;
private:
    bool exclusive_;
};
}  // namespace

void SetReportSink(ReportSink sink, void* context) {
    SinkHold hold(true);
    g_sink = sink;
    g_sinkContext = context;
}

void RemoveReportSink(void* context) {
    SinkHold hold(true);
    if (g_sinkContext != context) return;
    g_sink = nullptr;
    g_sinkContext = nullptr;
}

void Report(const string& text) {
    SinkHold hold(false);
    if (!g_sink) return;
    try {
        g_sink(g_sinkContext, text);
    } catch (...) {
        // A report comes from where nothing can be raised: a sink that fails has no one left
        // to tell.
    }
}

// ---- Registered waits ----------------------------------------------------------------------

namespace {
void ReportUnregisterFailure(DWORD error) {
    char text[96];
    std::snprintf(text, sizeof text, "WaitCallback::Release: UnregisterWaitEx failure, error code: %u",
                  unsigned(error));
    Report(text);
}
}  // namespace

WaitCallback::WaitCallback(const SyncObject& watched, DWORD timeoutMs, ULONG flags)
    : wait_(nullptr), released_(false), signalThread_(0), watched_(watched), timeoutMs_(timeoutMs), flags_(flags) {}

WaitCallback::~WaitCallback() { WaitCallback::Release(); }

bool WaitCallback::IsRegistered() const {
    SectionLock lock(section_);
    return wait_ != nullptr;
}

void WaitCallback::Register() {
    // Held while registering: a callback that comes at once finds the wait handle stored.
    SectionLock lock(section_);
    if (wait_ || released_) return;
    HANDLE wait = nullptr;
    if (RegisterWaitForSingleObject(&wait, watched_.GetHandle(), &WaitCallback::Trampoline, this, timeoutMs_,
                                    flags_))
        wait_ = wait;
}

void CALLBACK WaitCallback::Trampoline(void* context, BOOLEAN timedOut) {
    WaitCallback* self = static_cast<WaitCallback*>(context);
    SectionLock lock(self->section_);
    // Release takes the handle under the section: from then on no callback reaches OnSignal.
    if (!self->wait_) return;
    self->signalThread_ = GetCurrentThreadId();
    try {
        self->OnSignal(timedOut != FALSE);
    } catch (const QuilletException& e) {
        Report("WaitCallback::OnSignal: " + e.Reason());
    } catch (...) {
        // Nothing may leave a pool thread's callback.
        Report("WaitCallback::OnSignal: unknown exception");
    }
    self->signalThread_ = 0;
}

void WaitCallback::Release() {
    SectionLock lock(section_);
    released_ = true;
    const bool fromCallback = signalThread_ == GetCurrentThreadId();
    if (!wait_) {
        // A release made from OnSignal left the end of the callbacks to be waited for here.
        if (!ending_ || fromCallback) return;
        std::unique_ptr<Event> ending(std::move(ending_));
        lock.Unlock();
        ending->Wait(INFINITE);
        return;
    }
    HANDLE wait = wait_;
    wait_ = nullptr;
    DWORD error = ERROR_SUCCESS;
    if (fromCallback) {
        // Waiting for the callbacks to end would wait for this one. The wait ends without
        // waiting; no later callback reaches OnSignal (there is no wait handle any more), and
        // the next release from outside the callbacks waits for the completion event.
        std::unique_ptr<Event> ending(new Event(true, false));
        HANDLE completion = ending->IsValid() ? ending->GetHandle() : nullptr;
        if (UnregisterWaitEx(wait, completion) || (error = GetLastError()) == ERROR_IO_PENDING) {
            if (completion) ending_ = std::move(ending);
            return;
        }
        ReportUnregisterFailure(error);
        return;
    }
    Event done(true, false);
    if (!done.IsValid()) {
        // Without a completion event only the blocking form tells that callbacks have ended;
        // a callback waiting for the section must get it to end.
        lock.Unlock();
        if (!UnregisterWaitEx(wait, INVALID_HANDLE_VALUE)) error = GetLastError();
    } else if (UnregisterWaitEx(wait, done.GetHandle())) {
        // Success does not always mean that no callback runs: Wine counts a callback that has
        // started as no longer pending, and sets the event only once it has ended. That
        // callback may be waiting for the section; it finds no wait handle once it gets it.
        lock.Unlock();
        done.Wait(INFINITE);
        return;
    } else {
        error = GetLastError();
        // A callback is running: it is waiting for the section (and will find no wait
        // handle) or leaving it; it ends once the section is free.
        lock.Unlock();
        if (error == ERROR_IO_PENDING) {
            done.Wait(INFINITE);
            return;
        }
    }
    if (error == ERROR_SUCCESS || error == ERROR_IO_PENDING) return;
    ReportUnregisterFailure(error);
}

SyncJoint::SyncJoint(const SyncObject& watched, const Event& target, DWORD timeoutMs, ULONG flags)
    : WaitCallback(watched, timeoutMs, flags), target_(target) {
    Register();
}

SyncJoint::~SyncJoint() { Release(); }

void SyncJoint::OnSignal(bool) { target_.Set(); }

// ---- Counting limiter ----------------------------------------------------------------------

CountLimiter::CountLimiter(unsigned limit) : inUse_(0), limit_(limit) {}

CountLimiter::~CountLimiter() {
    SectionLock lock(section_);
    for (Event* waiter : waiting_)
        if (!SetEvent(waiter->GetHandle())) Report("CountLimiter: a waiter's event could not be set");
    waiting_.Clear();
}

unsigned CountLimiter::SetLimit(unsigned limit) {
    SectionLock lock(section_);
    unsigned previous = limit_;
    limit_ = limit;
    ServeWaiters();
    return previous;
}

unsigned CountLimiter::GetLimit() const {
    SectionLock lock(section_);
    return limit_;
}

unsigned CountLimiter::GetInUse() const {
    SectionLock lock(section_);
    return inUse_;
}

unsigned CountLimiter::GetWaiting() const {
    SectionLock lock(section_);
    return unsigned(waiting_.Count());
}

SyncObject CountLimiter::Acquire() {
    SectionLock lock(section_);
    // A waiter exists only while every slot is taken, so a free slot is nobody else's turn.
    bool free = inUse_ < limit_;
    std::unique_ptr<Event> event(new Event(true, free));
    CheckSystemCall(event->IsValid(), kSource, __LINE__);
    SyncObject slot(*event);
    if (free) {
        ++inUse_;
    } else {
        waiting_.Add(event.get());
        event.release();
    }
    return slot;
}

void CountLimiter::Release() {
    SectionLock lock(section_);
    if (inUse_ > 0) --inUse_;
    ServeWaiters();
}

void CountLimiter::ServeWaiters() {
    while (inUse_ < limit_ && !waiting_.IsEmpty()) {
        waiting_[0]->Set();
        ++inUse_;
        waiting_.Delete(0);
    }
}

}  // namespace MTSys
