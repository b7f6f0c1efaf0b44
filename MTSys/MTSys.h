// The threading kit: owners of Windows synchronisation objects, scoped guards and the
// checking rule for system calls.
#pragma once
#include <windows.h>
#include <deque>
#include <memory>
#include "core.h"

namespace MTSys {

// Owner of a Windows handle in which null means none; closes it with CloseHandle.
// INVALID_HANDLE_VALUE (the "none" of kinds such as the change monitor) is never closed.
class Handle {
public:
    explicit Handle(HANDLE h = nullptr) : handle_(h) {}
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    virtual ~Handle();
    virtual bool IsValid() const = 0;
    HANDLE GetHandle() const { return handle_; }
protected:
    // Closes whatever is held, then holds null.
    void CloseHeld();
    HANDLE handle_;
};

// A waitable object. A copy built from another holds its own duplicate of the handle.
class SyncObject : public Handle {
public:
    explicit SyncObject(HANDLE h = nullptr) : Handle(h) {}
    SyncObject(const SyncObject& source);
    bool IsValid() const override { return handle_ != nullptr; }
    // True on WAIT_OBJECT_0 or WAIT_ABANDONED; false on time-out, on a failed wait and on
    // an object that is not valid. Never throws.
    bool Wait(DWORD timeoutMs = INFINITE) const;
    bool IsSignalled() const { return Wait(0); }
};

// A thread started through the C runtime.
class Thread : public SyncObject {
public:
    typedef unsigned (__stdcall* Entry)(void* argument);
    Thread() {}
    // Closes any held handle first (without waiting for that thread), then starts a new
    // thread; returns its identifier. A failed start leaves the object invalid.
    unsigned Start(Entry entry, void* argument, bool suspended = false, unsigned stackSize = 0,
                   SECURITY_ATTRIBUTES* security = nullptr);
    DWORD Suspend();
    DWORD Resume();
    void Terminate(DWORD exitCode);
    DWORD GetExitCode() const;
    // Running: started and not yet ended.
    bool IsRunning() const { return IsValid() && !IsSignalled(); }
};

// An unnamed event. Creation never throws: a failure leaves the object invalid.
class Event : public SyncObject {
public:
    Event(bool manualReset, bool initiallySet);
    // Takes ownership of an existing event handle.
    explicit Event(HANDLE existing) : SyncObject(existing) {}
    void Set();
    void Reset();
    void Pulse();
};

// A waitable timer. Creation never throws.
class Timer : public SyncObject {
public:
    explicit Timer(bool manualReset);
    // dueTime in 100 ns units, negative for relative; period in ms.
    void Set(LONGLONG dueTime, LONG periodMs);
    void Cancel();
};

// Objects that signal a handle when something happens and must be re-armed afterwards.
// Kinds with their own closing call replace Close and close in their own destructor.
class Monitor : public SyncObject {
public:
    explicit Monitor(HANDLE h);
    Monitor(const Monitor&) = delete;
    Monitor& operator=(const Monitor&) = delete;
    ~Monitor() override;
    bool IsValid() const override { return handle_ != nullptr; }
    // The handle to wait on.
    virtual HANDLE GetHandle() const;
    // Closes the handle (CloseHandle); the monitor becomes invalid.
    virtual void Close();
    virtual void Rearm() = 0;
protected:
    // Serialises every operation on the handle; deleted after the kind's destructor ran.
    mutable CRITICAL_SECTION section_;
};

// A timer queue whose timers run callbacks on pool threads. Release (or destruction) is
// the only way to know that callbacks have finished. Deleting the queue deletes its timers:
// a timer object that outlives its queue's release holds nothing any more, and its Release
// hands out the queue's completion event. Releasing a queue and one of its timers at the
// same moment from two threads is not supported.
class TimerQueue {
    // What a queue shares with its timers: the queue handle while the queue lives, then
    // the completion event of its release.
    struct Shared {
        HANDLE queue = nullptr;
        rptr<SyncObject> released;
    };

public:
    class Timer {
    public:
        Timer(const Timer&) = delete;
        Timer& operator=(const Timer&) = delete;
        // Releases and waits for the last callback; never destroy a valid timer from its
        // own callback (it would wait for itself).
        virtual ~Timer();
        // The timer exists and its queue has not been released.
        virtual bool IsValid() const;
        // Deletes the timer; the returned event is set when its callbacks have finished
        // (at once when the timer is not valid). Throws WindowsError when the system
        // refuses; the timer is then kept.
        virtual rptr<SyncObject> Release();
    private:
        friend class TimerQueue;
        Timer(const rptr<Shared>& queue, HANDLE timer) : queue_(queue), timer_(timer) {}
        rptr<Shared> queue_;
        HANDLE timer_;  // deleted with DeleteTimerQueueTimer, never closed
    };

    // Creation never throws: a failure leaves the queue invalid.
    TimerQueue();
    TimerQueue(const TimerQueue&) = delete;
    TimerQueue& operator=(const TimerQueue&) = delete;
    // Releases and waits until every callback of the queue has finished; never destroy a
    // valid queue from one of its own callbacks.
    virtual ~TimerQueue();
    virtual bool IsValid() const { return queue_->queue != nullptr; }
    // A timer of this queue (CreateTimerQueueTimer); the caller owns it. Throws WindowsError
    // when the system refuses, and ERROR_INVALID_HANDLE when the queue is not valid (a timer
    // outside the queue would escape the queue's completion event).
    virtual Timer* CreateTimer(WAITORTIMERCALLBACK callback, void* parameter, DWORD dueMs, DWORD periodMs,
                               ULONG flags);
    // Deletes the queue with all its timers; the returned event is set when every callback
    // has finished (at once when the queue is not valid). Throws WindowsError when the
    // system refuses; the queue is then kept.
    virtual rptr<SyncObject> Release();
private:
    rptr<Shared> queue_;
};

}  // namespace MTSys

// Holds a critical section for the lifetime of the guard, or until Unlock.
class [[nodiscard]] SectionLock {
public:
    explicit SectionLock(CRITICAL_SECTION& section) : section_(section), held_(true) {
        EnterCriticalSection(&section_);
    }
    ~SectionLock() { Unlock(); }
    SectionLock(const SectionLock&) = delete;
    SectionLock& operator=(const SectionLock&) = delete;
    // Leaves the section before the guard ends; the destructor then leaves nothing.
    void Unlock() {
        if (!held_) return;
        held_ = false;
        LeaveCriticalSection(&section_);
    }
private:
    CRITICAL_SECTION& section_;
    bool held_;
};

// Holds a mutex: takes its own duplicate of the handle, waits on it when asked, and
// releases and closes it on destruction.
class [[nodiscard]] MutexLock {
public:
    MutexLock(const MTSys::SyncObject& mutex, bool wait);
    ~MutexLock();
    MutexLock(const MutexLock&) = delete;
    MutexLock& operator=(const MutexLock&) = delete;
private:
    MTSys::SyncObject mutex_;
};

namespace MTSys {

// ---- Reports of failures that cannot be raised ---------------------------------------------

// Failures that the kit cannot raise to a caller (on pool threads, in destructors, in calls
// that promise not to throw) go to one process-wide sink as a text; without a sink they are
// dropped. The sink may be called from any thread.
typedef void (*ReportSink)(void* context, const string& text);
// Installs the sink, replacing any other.
void SetReportSink(ReportSink sink, void* context);
// Removes the sink installed with this context (another one stays); returns only when no
// report is being delivered to it any more, so the context may be destroyed afterwards.
void RemoveReportSink(void* context);
// Hands the text to the sink. Never throws.
void Report(const string& text);

// A critical section initialised with its owner and deleted with it.
class CriticalSection {
public:
    CriticalSection() { InitializeCriticalSection(&section_); }
    ~CriticalSection() { DeleteCriticalSection(&section_); }
    CriticalSection(const CriticalSection&) = delete;
    CriticalSection& operator=(const CriticalSection&) = delete;
    operator CRITICAL_SECTION&() { return section_; }
private:
    CRITICAL_SECTION section_;
};

// ---- Registered waits ----------------------------------------------------------------------

// Calls OnSignal on a pool thread when the watched object is signalled, or with timedOut true
// when the time-out passes first (RegisterWaitForSingleObject on the kit's own duplicate of
// the watched handle). A refused registration leaves the object behaving as released.
//
// A kind calls Register() as the last step of its constructor and Release() as the first step
// of its destructor: a callback that came while the kind was still being built, or after its
// members had gone, would run OnSignal on half an object.
class WaitCallback {
public:
    // Duplicates the watched handle (throws WindowsError when the system refuses); the wait
    // starts with Register. flags: WT_* of RegisterWaitForSingleObject.
    WaitCallback(const SyncObject& watched, DWORD timeoutMs, ULONG flags);
    WaitCallback(const WaitCallback&) = delete;
    WaitCallback& operator=(const WaitCallback&) = delete;
    virtual ~WaitCallback();
    // Ends the wait and returns when no callback runs any more; none runs afterwards. A second
    // call does nothing. Called from OnSignal, it ends the wait without waiting for the
    // running callback (it would wait for itself); the next Release from outside the
    // callbacks (the destructor's) waits for their end, so OnSignal must not destroy the
    // object. When UnregisterWaitEx fails otherwise than with ERROR_IO_PENDING, Release
    // reports the error and does not wait.
    virtual void Release();
    // True from Register until Release.
    bool IsRegistered() const;

protected:
    // Runs on a pool thread while holding the object's section, so it must not wait for
    // anything that a thread calling Release holds. A QuilletException (or any other) that it
    // throws is reported and goes no further.
    virtual void OnSignal(bool timedOut) = 0;
    // Starts the wait; does nothing when it runs already or has been released.
    void Register();

private:
    static void CALLBACK Trampoline(void* self, BOOLEAN timedOut);
    mutable CriticalSection section_;
    HANDLE wait_;        // the registered wait; null when none (never registered or released)
    bool released_;      // Release ran: Register starts nothing any more
    DWORD signalThread_; // the thread running OnSignal; 0 when none
    std::unique_ptr<Event> ending_;  // set when the callbacks end, after a release from OnSignal
    SyncObject watched_; // the kit's duplicate of the watched handle; outlives the wait
    DWORD timeoutMs_;
    ULONG flags_;
};

// Relays the signal of one object to an event: sets the event on every signal (and on every
// time-out: the flag is not looked at).
class SyncJoint : public WaitCallback {
public:
    // Holds its own duplicate of target.
    SyncJoint(const SyncObject& watched, const Event& target, DWORD timeoutMs, ULONG flags);
    ~SyncJoint() override;
protected:
    void OnSignal(bool timedOut) override;
private:
    Event target_;
};

// ---- Counting limiter ----------------------------------------------------------------------

// Lets at most a limit of holders in at a time and serves the others first come, first
// served: every Acquire hands back an event to wait on, set when the slot is the caller's.
// Each slot that was handed out is given back with one Release.
class CountLimiter {
public:
    explicit CountLimiter(unsigned limit);
    CountLimiter(const CountLimiter&) = delete;
    CountLimiter& operator=(const CountLimiter&) = delete;
    // Sets every waiting event, so that no waiter stays blocked.
    virtual ~CountLimiter();
    // Returns the previous limit. A raised limit hands free slots to the waiters in order;
    // a lowered one takes no slot back: new holders wait until the slots in use fall below it.
    virtual unsigned SetLimit(unsigned limit);
    virtual unsigned GetLimit() const;
    virtual unsigned GetInUse() const;
    // The number of callers waiting for a slot.
    virtual unsigned GetWaiting() const;
    // The caller's own event for its slot: already set when a slot is free, else set when
    // the slots before it have been served. Throws WindowsError when the event cannot be
    // made; nothing has changed then.
    virtual SyncObject Acquire();
    // Gives a slot back and hands it to the first waiter. A release with no slot in use
    // changes nothing.
    virtual void Release();
private:
    // Hands free slots to the waiters, first come first; the caller holds the section.
    void ServeWaiters();
    mutable CriticalSection section_;
    unsigned inUse_;
    unsigned limit_;
    ivec<Event> waiting_;  // the waiters' events, in arrival order
};

// ---- Message queue -------------------------------------------------------------------------

// A first-in-first-out list of owned records that producers on any thread Post and one
// consumer Takes. Its event is set exactly while records wait; the target window gets its
// message (both parameters 0) when the queue stops being empty. The consumer, woken by the
// message or the event, calls Take until it returns null.
template <class T>
class MessageQueue {
public:
    MessageQueue() : signalled_(false), window_(nullptr), message_(0), told_(false) {}
    MessageQueue(const MessageQueue&) = delete;
    MessageQueue& operator=(const MessageQueue&) = delete;
    // The event goes first, then the records still queued.
    virtual ~MessageQueue() {}

    // The window and message that announce records; message 0 announces nothing. When
    // records already wait and the new target has not been told of them, it is told now:
    // records that came while no window could be told are not left unannounced.
    virtual void SetTarget(HWND window, UINT message) {
        SectionLock lock(section_);
        if (window != window_ || message != message_) told_ = false;
        window_ = window;
        message_ = message;
        if (!told_ && !records_.empty()) told_ = Tell();
    }

    // Deletes every record, the newest first.
    virtual void Clear() {
        SectionLock lock(section_);
        while (!records_.empty()) records_.pop_back();
        Signal(false);
        told_ = false;
    }

    // Takes ownership of the record (even when this throws) and queues it. The target is
    // told only when the queue was empty and the window still exists; a window that is gone
    // is told nothing and the record waits all the same. A null record is ignored: the
    // consumer would read it as the end of the queue.
    virtual void Post(T* record) {
        std::unique_ptr<T> owned(record);
        if (!owned) return;
        SectionLock lock(section_);
        bool wasEmpty = records_.empty();
        records_.push_back(std::move(owned));
        if (!wasEmpty) return;
        Signal(true);
        told_ = Tell();
    }

    // The oldest record, which the caller then owns; null when none waits.
    virtual T* Take() {
        SectionLock lock(section_);
        T* record = nullptr;
        if (!records_.empty()) {
            record = records_.front().release();
            records_.pop_front();
        }
        if (records_.empty()) {
            Signal(false);
            told_ = false;
        }
        return record;
    }

    // Set while records wait: for consumers that wait instead of reading messages. It is
    // made at the first call, so that a queue nobody waits on costs no system call per
    // record; an invalid event tells that it could not be made.
    const Event& GetEvent() const {
        SectionLock lock(section_);
        if (!event_) {
            event_.reset(new Event(true, !records_.empty()));
            signalled_ = !records_.empty();
        }
        return *event_;
    }

private:
    // A queue whose event could not be made (or was refused) still queues and hands out
    // every record; only waiting on the event does not work for it. The event is changed
    // only when it must change: a Take on an empty queue costs no system call.
    void Signal(bool set) {
        if (!event_ || set == signalled_ || !event_->IsValid()) return;
        if (set ? SetEvent(event_->GetHandle()) : ResetEvent(event_->GetHandle())) signalled_ = set;
    }
    bool Tell() const {
        return window_ && message_ && IsWindow(window_) && PostMessageA(window_, message_, 0, 0);
    }

    mutable CriticalSection section_;
    std::deque<std::unique_ptr<T> > records_;  // in arrival order
    mutable std::unique_ptr<Event> event_;  // made by the first GetEvent
    mutable bool signalled_;                // what the event was last set to
    HWND window_;
    UINT message_;
    bool told_;  // the target has been told of the records now waiting
};

}  // namespace MTSys
