#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <thread>
#include <vector>
#include "MTSys.h"

namespace {
const DWORD kMustSignalMs = 5000;

// One step of a limiter's life and what must hold after it.
struct Step {
    enum Op { Acquire, Release, SetLimit } op;
    unsigned limit;        // for SetLimit
    const char* granted;   // per slot acquired so far: '1' its event is set, '0' it waits
    unsigned inUse, waiting;
};
}  // namespace

TEST(CountLimiter, SlotsGoInArrivalOrderAndNeverBeyondTheLimit) {
    struct Case {
        const char* name;
        unsigned limit;
        std::vector<Step> steps;
    };
    const Case cases[] = {
        {"limit 0 raised to 2 wakes the first two waiters",
         0,
         {{Step::Acquire, 0, "0", 0, 1},
          {Step::Acquire, 0, "00", 0, 2},
          {Step::Acquire, 0, "000", 0, 3},
          {Step::SetLimit, 2, "110", 2, 1},
          {Step::Release, 0, "111", 2, 0}}},
        {"each release serves the earliest waiter",
         1,
         {{Step::Acquire, 0, "1", 1, 0},
          {Step::Acquire, 0, "10", 1, 1},
          {Step::Acquire, 0, "100", 1, 2},
          {Step::Release, 0, "110", 1, 1},
          {Step::Release, 0, "111", 1, 0},
          {Step::Release, 0, "111", 0, 0}}},
        {"a release with nothing in use changes nothing",
         1,
         {{Step::Release, 0, "", 0, 0},
          {Step::Acquire, 0, "1", 1, 0},
          {Step::Acquire, 0, "10", 1, 1}}},
        {"a lowered limit lets nobody in until the holders fall below it",
         2,
         {{Step::Acquire, 0, "1", 1, 0},
          {Step::Acquire, 0, "11", 2, 0},
          {Step::SetLimit, 1, "11", 2, 0},
          {Step::Acquire, 0, "110", 2, 1},
          {Step::SetLimit, 2, "110", 2, 1},
          {Step::Release, 0, "111", 2, 0}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        MTSys::CountLimiter limiter(c.limit);
        std::vector<std::unique_ptr<MTSys::SyncObject> > slots;
        for (size_t i = 0; i < c.steps.size(); ++i) {
            const Step& s = c.steps[i];
            SCOPED_TRACE("step " + std::to_string(i));
            if (s.op == Step::Acquire) slots.emplace_back(new MTSys::SyncObject(limiter.Acquire()));
            if (s.op == Step::Release) limiter.Release();
            if (s.op == Step::SetLimit) limiter.SetLimit(s.limit);
            std::string granted;
            for (auto& slot : slots) granted += slot->IsSignalled() ? '1' : '0';
            EXPECT_EQ(s.granted, granted);
            EXPECT_EQ(s.inUse, limiter.GetInUse());
            EXPECT_EQ(s.waiting, limiter.GetWaiting());
        }
    }
}

TEST(CountLimiter, DestructionSetsEveryWaitingEvent) {
    auto limiter = std::make_unique<MTSys::CountLimiter>(1);
    MTSys::SyncObject held(limiter->Acquire());
    MTSys::SyncObject first(limiter->Acquire()), second(limiter->Acquire());
    ASSERT_EQ(2u, limiter->GetWaiting());
    std::thread waiter([&] { EXPECT_TRUE(second.Wait(kMustSignalMs)) << "a blocked waiter is let go"; });
    limiter.reset();
    waiter.join();
    EXPECT_TRUE(first.IsSignalled());
}
