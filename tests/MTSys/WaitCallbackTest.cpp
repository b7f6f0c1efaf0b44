#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <thread>
#include <vector>
#include "MTSys.h"

namespace {
// Long enough for a signal that must come; a passing test never waits this long.
const DWORD kMustSignalMs = 5000;
// Long enough to show that a signal does not come.
const DWORD kQuietMs = 300;

// Tells of each callback through an event and counts those told of a time-out. While `busy`
// it spins a little inside OnSignal and re-signals its auto-reset watched event, so that
// callbacks follow one another without a pause; a callback that starts after the test marked
// it released is counted as late.
class Probe : public MTSys::WaitCallback {
public:
    Probe(const MTSys::SyncObject& watched, DWORD timeoutMs, ULONG flags)
        : WaitCallback(watched, timeoutMs, flags), watched_(watched.GetHandle()) {
        Register();
    }
    ~Probe() override { Release(); }
    MTSys::Event fired{true, false};
    volatile LONG timeouts = 0, inside = 0, late = 0, released = 0;
    bool busy = false;
    const char* failure = nullptr;  // thrown from OnSignal when set
protected:
    void OnSignal(bool timedOut) override {
        if (released) InterlockedIncrement(&late);
        inside = 1;
        if (timedOut) InterlockedIncrement(&timeouts);
        for (volatile int spin = 0; busy && spin < 2000; ++spin) {}
        if (busy) SetEvent(watched_);
        inside = 0;
        fired.Set();
        if (failure) throw QLAppException(failure);
    }
private:
    HANDLE watched_;  // the test's own handle of the watched event
};

// Releases itself from its first callback, as a one-shot reaction does.
class SelfReleasing : public MTSys::WaitCallback {
public:
    explicit SelfReleasing(const MTSys::SyncObject& watched) : WaitCallback(watched, INFINITE, 0) { Register(); }
    ~SelfReleasing() override { Release(); }
    MTSys::Event returned{true, false};
    volatile LONG calls = 0;
protected:
    void OnSignal(bool) override {
        InterlockedIncrement(&calls);
        Release();
        returned.Set();
    }
};

void CatchReport(void* texts, const string& text) { static_cast<std::vector<std::string>*>(texts)->push_back(text.str()); }
}  // namespace

TEST(WaitCallback, FiresOnSignalOrTimeOutAndNeverAfterRelease) {
    struct Case {
        const char* name;
        bool setBefore;    // watched object signalled before the wait is registered
        bool setAfter;     // signalled once the wait runs
        DWORD timeoutMs;
        bool timedOut;     // what the first callback is told
    };
    const Case cases[] = {
        {"already signalled", true, false, INFINITE, false},
        {"signalled later", false, true, INFINITE, false},
        {"time-out first", false, false, 20, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        MTSys::Event watched(true, c.setBefore);
        Probe probe(watched, c.timeoutMs, WT_EXECUTEONLYONCE);
        ASSERT_TRUE(probe.IsRegistered());
        if (c.setAfter) watched.Set();
        ASSERT_TRUE(probe.fired.Wait(kMustSignalMs)) << "the callback must come";
        EXPECT_EQ(c.timedOut ? 1 : 0, probe.timeouts);

        probe.Release();
        EXPECT_FALSE(probe.IsRegistered());
        probe.released = 1;
        probe.Release();  // a second release does nothing (and must not wait or fail)
        probe.fired.Reset();
        watched.Set();
        EXPECT_FALSE(probe.fired.Wait(kQuietMs)) << "no callback after Release";
        EXPECT_EQ(0, probe.late);
    }
}

TEST(WaitCallback, ReleaseRacingRunningCallbacksWaitsForThemAndEndsThem) {
    const int kRounds = 200;
    // Kept until the end, so that a late callback of an earlier round is seen, not a crash.
    std::vector<std::unique_ptr<MTSys::Event> > events;
    std::vector<std::unique_ptr<Probe> > probes;
    for (int round = 0; round < kRounds; ++round) {
        events.emplace_back(new MTSys::Event(CreateEventA(nullptr, FALSE, FALSE, nullptr)));  // auto-reset
        probes.emplace_back(new Probe(*events.back(), INFINITE, 0));
        Probe& probe = *probes.back();
        probe.busy = true;
        events.back()->Set();
        ASSERT_TRUE(probe.fired.Wait(kMustSignalMs)) << "round " << round;

        // Released from another thread, so that a deadlock fails the test instead of hanging it.
        MTSys::Event done(true, false);
        volatile LONG insideAtReturn = -1;
        std::thread releaser([&] {
            probe.Release();
            insideAtReturn = probe.inside;
            probe.released = 1;
            done.Set();
        });
        bool returned = done.Wait(kMustSignalMs);
        returned ? releaser.join() : releaser.detach();
        if (!returned) for (auto& p : probes) p.release();  // a pool thread may still hold one
        ASSERT_TRUE(returned) << "Release did not return while a callback ran (round " << round << ")";
        ASSERT_EQ(0, insideAtReturn) << "Release returned while OnSignal was running (round " << round << ")";
    }
    // Later rounds give the earlier ones time for a callback after their Release.
    LONG late = 0;
    for (auto& p : probes) late += p->late;
    EXPECT_EQ(0, late) << "callbacks ran after their Release had returned";
}

TEST(SyncJoint, RelaysEverySignalFromTheFirstAndStopsWhenReleased) {
    // A watched object that is signalled before the joint exists calls back at once: the
    // relay must work even when the callback comes during construction.
    for (int round = 0; round < 500; ++round) {
        MTSys::Event watched(true, true), target(true, false);
        MTSys::SyncJoint joint(watched, target, INFINITE, WT_EXECUTEONLYONCE);
        ASSERT_TRUE(target.Wait(kMustSignalMs)) << "round " << round;
    }

    MTSys::Event watched(true, false), target(true, false);
    auto joint = std::make_unique<MTSys::SyncJoint>(watched, target, INFINITE, WT_EXECUTEONLYONCE);
    joint->Release();
    watched.Set();
    EXPECT_FALSE(target.Wait(kQuietMs)) << "a released joint relays nothing";
    joint.reset();
    EXPECT_TRUE(watched.IsSignalled() && target.IsValid()) << "the joint closed only its own duplicates";
}

TEST(WaitCallback, FailureInOnSignalIsReportedAndGoesNoFurther) {
    std::vector<std::string> reports;
    MTSys::SetReportSink(&CatchReport, &reports);
    MTSys::Event watched(true, false);
    Probe probe(watched, INFINITE, WT_EXECUTEONLYONCE);
    probe.failure = "no such mailbox";
    watched.Set();
    ASSERT_TRUE(probe.fired.Wait(kMustSignalMs));
    probe.Release();  // the callback has ended: the report was made before
    MTSys::RemoveReportSink(&reports);
    EXPECT_EQ(std::vector<std::string>({"WaitCallback::OnSignal: no such mailbox"}), reports);
}

TEST(WaitCallback, ReleaseFromItsOwnCallbackEndsTheWaitWithoutWaitingForItself) {
    // Set and never reset: every pass of the pool's wait would call back again.
    MTSys::Event watched(true, true);
    auto probe = std::make_unique<SelfReleasing>(watched);
    bool returned = probe->returned.Wait(kMustSignalMs);
    if (!returned) probe.release();  // its pool thread is stuck inside it
    ASSERT_TRUE(returned) << "Release called from OnSignal waited for its own callback";
    EXPECT_FALSE(probe->IsRegistered());
    Sleep(kQuietMs);
    EXPECT_EQ(1, probe->calls) << "no callback after the release";
    probe.reset();  // the destructor's release waits for the callback's end
}
