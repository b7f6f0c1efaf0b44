#include <gtest/gtest.h>
#include <memory>
#include "MTSys.h"

namespace {
const DWORD kMustSignalMs = 5000;

// A callback that announces its start, takes a little while and records its end, so a
// test can see whether a completion event came before the callback finished.
struct SlowCallback {
    MTSys::Event started{true, false};
    volatile LONG finished = 0;
    volatile LONG calls = 0;

    static void CALLBACK Run(void* self, BOOLEAN) {
        SlowCallback* s = static_cast<SlowCallback*>(self);
        InterlockedIncrement(&s->calls);
        s->started.Set();
        Sleep(150);
        InterlockedIncrement(&s->finished);
    }
};
}  // namespace

TEST(TimerQueue, ReleaseEventIsSetOnlyAfterRunningCallbacksFinished) {
    SlowCallback cb;
    MTSys::TimerQueue queue;
    ASSERT_TRUE(queue.IsValid());
    std::unique_ptr<MTSys::TimerQueue::Timer> timer(queue.CreateTimer(&SlowCallback::Run, &cb, 0, 0, 0));
    ASSERT_TRUE(timer->IsValid());
    ASSERT_TRUE(cb.started.Wait(kMustSignalMs));

    rptr<MTSys::SyncObject> done = queue.Release();
    ASSERT_TRUE(done);
    EXPECT_FALSE(queue.IsValid());
    ASSERT_TRUE(done->Wait(kMustSignalMs));
    EXPECT_EQ(1, cb.finished) << "the queue's event comes after its callbacks have finished";

    // The timer went with its queue: it is no longer valid and hands out the queue's event.
    EXPECT_FALSE(timer->IsValid());
    EXPECT_EQ(done.get(), timer->Release().get());
    EXPECT_THROW(queue.CreateTimer(&SlowCallback::Run, &cb, 0, 0, 0), WindowsError)
        << "a released queue makes no timers";
}

TEST(TimerQueue, TimerReleaseEventIsSetAfterItsCallbackAndInvalidTimerGivesASetEvent) {
    SlowCallback cb;
    MTSys::TimerQueue queue;
    std::unique_ptr<MTSys::TimerQueue::Timer> timer(queue.CreateTimer(&SlowCallback::Run, &cb, 0, 0, 0));
    ASSERT_TRUE(cb.started.Wait(kMustSignalMs));

    rptr<MTSys::SyncObject> done = timer->Release();
    ASSERT_TRUE(done->Wait(kMustSignalMs));
    EXPECT_EQ(1, cb.finished) << "the timer's event comes after its callback has finished";
    EXPECT_FALSE(timer->IsValid());

    rptr<MTSys::SyncObject> again = timer->Release();
    ASSERT_TRUE(again);
    EXPECT_TRUE(again->IsSignalled()) << "releasing an invalid timer gives an event that is already set";
    EXPECT_TRUE(queue.IsValid()) << "releasing a timer leaves its queue";
}

TEST(TimerQueue, DestructorsWaitForCallbacksAndStopPeriodicTimers) {
    SlowCallback cb;
    {
        MTSys::TimerQueue queue;
        std::unique_ptr<MTSys::TimerQueue::Timer> timer(queue.CreateTimer(&SlowCallback::Run, &cb, 0, 10, 0));
        ASSERT_TRUE(cb.started.Wait(kMustSignalMs));
    }  // the timer's destructor, then the queue's
    LONG calls = cb.calls;
    EXPECT_EQ(calls, cb.finished) << "every started callback had finished when the destructors returned";

    SlowCallback other;
    {
        MTSys::TimerQueue queue;
        MTSys::TimerQueue::Timer* leftOver = queue.CreateTimer(&SlowCallback::Run, &other, 0, 0, 0);
        ASSERT_TRUE(other.started.Wait(kMustSignalMs));
        queue.Release()->Wait(kMustSignalMs);
        delete leftOver;  // after its queue: must neither crash nor wait
    }
    EXPECT_EQ(1, other.finished);

    MTSys::TimerQueue released;
    released.Release();
    rptr<MTSys::SyncObject> twice = released.Release();
    EXPECT_TRUE(twice->IsSignalled()) << "releasing an invalid queue gives an event that is already set";
}
