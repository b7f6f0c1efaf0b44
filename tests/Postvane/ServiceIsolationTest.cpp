// The running service against settings and directories that go wrong under it: an outbox
// that cannot be watched leaves the service waiting, not dead; an outbox deleted and made
// again is watched again.
#include "DeliveryRun.h"
#include "RuleServer.h"

using postvane_test::Eventually;
using smtppeer::RuleServer;
using testing_support::SetRegText;
using testing_support::WriteFileBytes;

namespace deliverytest {
namespace {

const DWORD kWait = 30000;  // bound of every wait; only a fault of the service reaches it

class ServiceIsolation : public DeliveryRun {
protected:
    void SetUp() override {
        DeliveryRun::SetUp();
        Postvane::Service().waitSliceMs = 50;  // OutboxDir is read again every 50 ms
        UsePort(server.Port());
        ASSERT_TRUE(SetPostvaneCallback(&CallbackProbe::Called, &probe));
    }
    void TearDown() override {
        DeliveryRun::TearDown();
        Postvane::Service().waitSliceMs = Postvane::kWaitSliceMs;
    }
    // Submits a message and waits until the server has it.
    bool Delivered(const std::string& subject) {
        size_t before = server.Messages().size();
        Submit(subject, "text of " + subject);
        return Eventually([&] { return server.Messages().size() > before && Files(outbox).empty(); }, kWait);
    }

    RuleServer server;
    CallbackProbe probe;
};

TEST_F(ServiceIsolation, OutboxThatCannotBeWatchedLeavesTheServiceWaiting) {
    WriteFileBytes(dir / "not-a-directory", "x");
    const std::string settings[] = {dir / "not-a-directory", dir / "out|box"};
    for (const std::string& setting : settings) {
        SCOPED_TRACE(setting);
        SetRegText(kMail, "OutboxDir", setting);
        ASSERT_TRUE(PostvaneStart());
        ASSERT_TRUE(Eventually([&] { return ServiceLogCount("[2] Почтовый ящик недоступен: " + setting) == 1; }, kWait));
        Sleep(300);
        EXPECT_EQ(1u, ServiceLogCount("[2] Почтовый ящик недоступен: " + setting)) << "announced once";
        EXPECT_FALSE(probe.Wait(0)) << "a wrong setting must not end the service (and close the kiosk)";

        SetRegText(kMail, "OutboxDir", outbox);
        EXPECT_TRUE(Delivered("after " + setting)) << "the mended setting is taken: " << State();
        PostvaneStop(1);
    }
    EXPECT_EQ(0u, ServiceLogCount("необработанное исключение"));
}

TEST_F(ServiceIsolation, OutboxDeletedAndMadeAgainIsWatchedAgain) {
    ASSERT_TRUE(PostvaneStart());
    ASSERT_TRUE(Delivered("before"));
    // The outbox goes (to the recycle bin, or deleted) and a new one is made under its name.
    // (The service's own looks at the directory may hold it for a moment.)
    ASSERT_TRUE(Eventually([&] { return MoveFileA(outbox.c_str(), (outbox + ".old").c_str()) != FALSE; }, kWait))
        << GetLastError();
    ASSERT_TRUE(CreateDirectoryA(outbox.c_str(), nullptr));
    EXPECT_TRUE(Delivered("after")) << State();
    PostvaneStop(1);
    EXPECT_FALSE(probe.Wait(0));
}

}  // namespace
}  // namespace deliverytest
