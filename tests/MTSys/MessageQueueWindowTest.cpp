#include <gtest/gtest.h>
#include <memory>
#include <vector>
#include "MTSys.h"

namespace {
const UINT kMessage = WM_APP + 7;

struct Record {
    explicit Record(int id) : id(id) {}
    int id;
};

// A message-only window of the test thread; counts the queue's messages waiting for it.
class Window {
public:
    Window() : hwnd_(CreateWindowExA(0, "STATIC", "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr)) {}
    ~Window() { if (hwnd_) DestroyWindow(hwnd_); }
    HWND Handle() const { return hwnd_; }
    void Destroy() { DestroyWindow(hwnd_); }
    int Messages() const {
        int n = 0;
        MSG msg;
        while (PeekMessageA(&msg, hwnd_, kMessage, kMessage, PM_REMOVE)) {
            EXPECT_TRUE(msg.wParam == 0 && msg.lParam == 0) << "both parameters 0";
            ++n;
        }
        return n;
    }
private:
    HWND hwnd_;
};
}  // namespace

TEST(MessageQueue, TellsTheTargetOnceWhenRecordsStartWaitingAndLosesNone) {
    enum Target { None, Live, Gone };
    struct Case {
        const char* name;
        Target target;      // set before the records come
        UINT message;
        bool retarget;      // then a live window is set (twice) while the records wait
        int messages;       // messages the live window receives in all
    };
    const Case cases[] = {
        {"a live window hears of the first record only", Live, kMessage, false, 1},
        {"message 0 announces nothing", Live, 0, false, 0},
        {"a window that is gone is told nothing", Gone, kMessage, false, 0},
        {"a new target hears of records already waiting, once", Gone, kMessage, true, 1},
        {"no target, then a target", None, 0, true, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Window live, gone;
        gone.Destroy();
        MTSys::MessageQueue<Record> queue;
        ASSERT_TRUE(live.Handle() && queue.GetEvent().IsValid());
        if (c.target != None) queue.SetTarget(c.target == Live ? live.Handle() : gone.Handle(), c.message);
        EXPECT_FALSE(queue.GetEvent().IsSignalled()) << "clear while empty";
        for (int id = 1; id <= 3; ++id) queue.Post(new Record(id));
        EXPECT_TRUE(queue.GetEvent().IsSignalled()) << "set while records wait";
        if (c.retarget) {
            queue.SetTarget(live.Handle(), kMessage);
            queue.SetTarget(live.Handle(), kMessage);
        }
        queue.Post(nullptr);  // ignored: it would end the consumer's loop early
        EXPECT_EQ(c.messages, live.Messages());

        for (int id = 1; id <= 3; ++id) {
            std::unique_ptr<Record> r(queue.Take());
            ASSERT_TRUE(r) << "record " << id << " is kept";
            EXPECT_EQ(id, r->id) << "oldest first";
            EXPECT_EQ(id < 3, queue.GetEvent().IsSignalled()) << "the Take of the last record clears the event";
        }
        EXPECT_EQ(nullptr, queue.Take());
        EXPECT_FALSE(queue.GetEvent().IsSignalled());

        queue.Post(new Record(4));
        EXPECT_EQ(c.messages, live.Messages())
            << "an emptied queue tells again when a record comes";
        delete queue.Take();
    }
}
