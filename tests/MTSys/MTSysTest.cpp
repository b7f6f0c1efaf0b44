#include <gtest/gtest.h>
#include <functional>
#include "MTSys.h"

namespace {
// Long enough for a signal that must come; a passing test never waits this long.
const DWORD kMustSignalMs = 5000;
// Long enough to show that a signal does not come.
const DWORD kQuietMs = 300;

// Runs work on a thread of the kit.
class Worker {
public:
    explicit Worker(std::function<void()> work) : work_(std::move(work)) {
        thread_.Start(&Worker::Entry, this);
    }
    ~Worker() { thread_.Wait(kMustSignalMs); }
    // True when the work has ended within the time allowed.
    bool Join() { return thread_.Wait(kMustSignalMs); }
    MTSys::Thread& Thread() { return thread_; }
private:
    static unsigned __stdcall Entry(void* self) {
        static_cast<Worker*>(self)->work_();
        return 0;
    }
    std::function<void()> work_;
    MTSys::Thread thread_;
};

HANDLE NewMutex() { return CreateMutexA(nullptr, FALSE, nullptr); }

bool HandleIsOpen(HANDLE h) {
    DWORD flags = 0;
    return GetHandleInformation(h, &flags) != FALSE;
}
}  // namespace

// ---- Events and waits ------------------------------------------------------------------

TEST(Event, ManualResetReleasesEveryWaiterAndStaysSet) {
    MTSys::Event event(true, false);
    ASSERT_TRUE(event.IsValid());
    EXPECT_FALSE(event.IsSignalled()) << "created cleared";

    volatile LONG released = 0;
    auto waiter = [&] { if (event.Wait(kMustSignalMs)) InterlockedIncrement(&released); };
    Worker a(waiter), b(waiter), c(waiter);
    event.Set();
    ASSERT_TRUE(a.Join() && b.Join() && c.Join());
    EXPECT_EQ(3, released) << "a manual-reset event wakes every waiting thread";
    EXPECT_TRUE(event.IsSignalled()) << "and stays set";

    event.Reset();
    EXPECT_FALSE(event.IsSignalled());
    EXPECT_TRUE(MTSys::Event(true, true).IsSignalled()) << "created set when asked";
}

TEST(Event, OwnsAnAdoptedHandleAndReportsRefusedCalls) {
    HANDLE raw = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    {
        MTSys::Event adopted(raw);
        adopted.Set();
        EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(raw, 0));
    }
    EXPECT_FALSE(HandleIsOpen(raw)) << "the event closes the handle it was built around";

    MTSys::Event none(static_cast<HANDLE>(nullptr));
    EXPECT_FALSE(none.IsValid());
    try {
        none.Set();
        ADD_FAILURE() << "setting an invalid event must throw";
    } catch (const WindowsError& e) {
        EXPECT_EQ(ERROR_INVALID_HANDLE, e.Code());
        EXPECT_EQ(string("MTSys/MTSys"), e.Source());
        EXPECT_GT(e.Line(), 0);
    }
}

TEST(SyncObject, WaitOnAbandonedMutexIsTrueOnNullOrClosedHandleFalse) {
    MTSys::SyncObject mutex(NewMutex());
    ASSERT_TRUE(mutex.IsValid());
    Worker owner([&] { WaitForSingleObject(mutex.GetHandle(), 0); });  // ends without releasing
    ASSERT_TRUE(owner.Join());
    EXPECT_TRUE(mutex.Wait(kMustSignalMs)) << "an abandoned mutex counts as signalled";
    ReleaseMutex(mutex.GetHandle());

    MTSys::SyncObject null;
    EXPECT_FALSE(null.IsValid());
    EXPECT_FALSE(null.Wait(INFINITE)) << "a null handle is never signalled and never blocks";
    EXPECT_FALSE(null.IsSignalled());

    MTSys::SyncObject closed(CreateEventA(nullptr, TRUE, TRUE, nullptr));
    CloseHandle(closed.GetHandle());
    EXPECT_FALSE(closed.Wait(INFINITE)) << "a failed wait reads as not signalled";
}

TEST(SyncObject, CopyHoldsItsOwnInheritableDuplicate) {
    MTSys::SyncObject* original = new MTSys::Event(true, false);
    MTSys::SyncObject copy(*original);
    ASSERT_TRUE(copy.IsValid());
    EXPECT_NE(original->GetHandle(), copy.GetHandle());
    DWORD flags = 0;
    ASSERT_TRUE(GetHandleInformation(copy.GetHandle(), &flags));
    EXPECT_TRUE(flags & HANDLE_FLAG_INHERIT) << "the duplicate is inheritable";

    SetEvent(original->GetHandle());
    delete original;  // closes the original handle only
    EXPECT_TRUE(copy.IsSignalled()) << "the copy still reaches the event";
    EXPECT_TRUE(ResetEvent(copy.GetHandle()));
    EXPECT_FALSE(copy.IsSignalled());

    MTSys::SyncObject none;
    MTSys::SyncObject copyOfNone(none);
    EXPECT_FALSE(copyOfNone.IsValid()) << "copying an invalid object gives an invalid one";
}

// ---- Threads ---------------------------------------------------------------------------

namespace {
// Thread entries have the standard-call convention (a lambda converts only to the default one).
unsigned __stdcall WaitForRelease(void* event) { return static_cast<MTSys::Event*>(event)->Wait(kMustSignalMs) ? 7 : 1; }
unsigned __stdcall CountRun(void* flag) {
    InterlockedIncrement(static_cast<volatile LONG*>(flag));
    return 3;
}
}  // namespace

TEST(Thread, StartOnAHeldHandleClosesItWithoutWaitingForTheOldThread) {
    MTSys::Event release(true, false);
    MTSys::Thread thread;
    MTSys::Thread::Entry entry = WaitForRelease;
    unsigned firstId = thread.Start(entry, &release);
    ASSERT_TRUE(thread.IsValid());
    EXPECT_EQ(GetThreadId(thread.GetHandle()), DWORD(firstId));
    EXPECT_TRUE(thread.IsRunning());
    HANDLE firstHandle = thread.GetHandle();
    MTSys::SyncObject firstThread(thread);  // our own view of the first thread

    unsigned secondId = thread.Start(entry, &release);
    EXPECT_NE(firstId, secondId);
    EXPECT_TRUE(thread.GetHandle() == firstHandle || !HandleIsOpen(firstHandle))
        << "the handle of the first thread was closed";
    EXPECT_FALSE(firstThread.IsSignalled()) << "Start did not wait for the first thread";

    release.Set();
    EXPECT_TRUE(firstThread.Wait(kMustSignalMs));
    ASSERT_TRUE(thread.Wait(kMustSignalMs));
    EXPECT_FALSE(thread.IsRunning());
    EXPECT_EQ(7u, thread.GetExitCode());
}

TEST(Thread, SuspendedStartRunsOnlyAfterResume) {
    volatile LONG ran = 0;
    MTSys::Thread thread;
    thread.Start(CountRun, const_cast<LONG*>(&ran), true);
    ASSERT_TRUE(thread.IsValid());
    EXPECT_FALSE(thread.Wait(kQuietMs)) << "a suspended thread does not run";
    EXPECT_EQ(0, ran);
    EXPECT_EQ(1u, thread.Resume()) << "Resume answers the previous suspend count";
    ASSERT_TRUE(thread.Wait(kMustSignalMs));
    EXPECT_EQ(1, ran);
    EXPECT_EQ(3u, thread.GetExitCode());

    MTSys::Thread never;
    EXPECT_FALSE(never.IsRunning());
    EXPECT_THROW(never.Resume(), WindowsError);
    EXPECT_THROW(never.GetExitCode(), WindowsError);
}

// ---- Errors ----------------------------------------------------------------------------

TEST(WindowsError, TextCarriesCodeInDecimalAndHexSourceAndLine) {
    WindowsError e(5, "MTSys/MTSys", 76);
    EXPECT_EQ(string("Windows system call error 5 (00000005) at \"MTSys/MTSys\":76"), e.Reason());
    EXPECT_EQ(5, e.Code());
    EXPECT_EQ(string("MTSys/MTSys"), e.Source());
    EXPECT_EQ(76, e.Line());
    EXPECT_EQ(string("Windows system call error 2748 (00000ABC) at \"x\":1"), WindowsError(0xABC, "x", 1).Reason());

    EXPECT_EQ(42, CheckSystemCall(42, "src", 1));
    SetLastError(ERROR_ACCESS_DENIED);
    try {
        CheckSystemCall(FALSE, "MTSys/MTSys", 76);
        ADD_FAILURE() << "a zero result must throw";
    } catch (const QuilletException& thrown) {
        EXPECT_EQ(e.Reason(), thrown.Reason()) << "the last error, source and line of the failing call";
    }
}

// ---- Mutex guard -----------------------------------------------------------------------

TEST(MutexLock, OwnerReentersAndOthersWaitUntilTheLastGuardEnds) {
    MTSys::SyncObject mutex(NewMutex());
    ASSERT_TRUE(mutex.IsValid());
    auto othersCanTake = [&](DWORD timeoutMs) {
        bool took = false;
        Worker other([&] {
            took = mutex.Wait(timeoutMs);
            if (took) ReleaseMutex(mutex.GetHandle());
        });
        other.Join();
        return took;
    };
    {
        MutexLock outer(mutex, true);
        {
            MutexLock inner(mutex, true);  // would deadlock if the owner could not re-enter
            EXPECT_FALSE(othersCanTake(0));
        }
        EXPECT_FALSE(othersCanTake(0)) << "the outer guard still holds the mutex";
    }
    EXPECT_TRUE(othersCanTake(kMustSignalMs)) << "free after the last guard";

    // A guard without waiting balances its caller's own wait.
    ASSERT_TRUE(mutex.Wait(0));
    { MutexLock adopt(mutex, false); }
    EXPECT_TRUE(othersCanTake(kMustSignalMs));
}

// ---- Waitable timer --------------------------------------------------------------------

TEST(Timer, RelativeDueTimeSignalsAndCancelKeepsItQuiet) {
    MTSys::Timer timer(true);
    ASSERT_TRUE(timer.IsValid());
    EXPECT_FALSE(timer.IsSignalled());
    timer.Set(-20 * 10000LL, 0);  // 20 ms from now
    EXPECT_TRUE(timer.Wait(kMustSignalMs));
    EXPECT_TRUE(timer.IsSignalled()) << "a manual-reset timer stays signalled";

    MTSys::Timer cancelled(true);
    cancelled.Set(-100 * 10000LL, 0);
    cancelled.Cancel();
    EXPECT_FALSE(cancelled.Wait(kQuietMs));
}
