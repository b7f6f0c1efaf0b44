// The threading kit: owners of Windows synchronisation objects, scoped guards and the
// checking rule for system calls.
#pragma once
#include <windows.h>
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

// Holds a critical section for the lifetime of the guard.
class [[nodiscard]] SectionLock {
public:
    explicit SectionLock(CRITICAL_SECTION& section) : section_(section) { EnterCriticalSection(&section_); }
    ~SectionLock() { LeaveCriticalSection(&section_); }
    SectionLock(const SectionLock&) = delete;
    SectionLock& operator=(const SectionLock&) = delete;
private:
    CRITICAL_SECTION& section_;
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
