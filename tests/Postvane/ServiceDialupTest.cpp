// The running service with a dial-up line that cannot be made: a modem that does not answer
// costs the mail its delay, never the service run.
#include "DeliveryRun.h"
#include "OwnProcess.h"
#include "RuleServer.h"

using postvane_test::Eventually;
using smtppeer::RuleServer;

namespace deliverytest {
namespace {

const DWORD kWait = 60000;  // bound of each wait; only a fault of the service reaches it
const int kServiceSeconds = 30;
const char kDialupFailure[] = "Postvane: Ошибка подключения удалённого доступа (код ошибки Windows: 1225 (0x000004c9))";

class ServiceDialup : public DeliveryRun {
protected:
    void SetUp() override {
        // The module is bound when the process's first dial-up client is built.
        testing_support::SetRegText(testing_support::kDialupKey, "ServiceModule",
                                    testing_support::BesideTests("dialup-test.dll"));
        SetEnvironmentVariableA("PENNARK_DIALUP_HANDLE", "0");
        SetEnvironmentVariableA("PENNARK_DIALUP_CONNECT_ERROR", "1225");
        DeliveryRun::SetUp();
        testing_support::SetRegNumber(kMail, "UseRemoteAccess", 1);
    }
    void TearDown() override {
        DeliveryRun::TearDown();
        SetEnvironmentVariableA("PENNARK_DIALUP_HANDLE", nullptr);
        SetEnvironmentVariableA("PENNARK_DIALUP_CONNECT_ERROR", nullptr);
    }
};

TEST_F(ServiceDialup, LineThatCannotBeMadeIsTriedAgainUntilItComesBackAndTheRunGoesOn) {
    if (!testing_support::InOwnProcess()) return testing_support::RunInOwnProcess();
    RuleServer server;
    UsePort(server.Port());
    // "Retry Timeout" is 1 s; a service second lasts 10 ms, so 30 s of the service's time
    // pass in well under a second of the test's.
    Postvane::Service().secondMs = 10;
    CallbackProbe probe;
    ASSERT_TRUE(SetPostvaneCallback(&CallbackProbe::Called, &probe));
    ASSERT_TRUE(PostvaneStart());
    Submit("while the line is down", "text\r\n");

    ASSERT_TRUE(Eventually([&] { return ServiceLogCount(kPause) >= size_t(kServiceSeconds); }, kWait))
        << "the line is tried again after each Retry Timeout";
    EXPECT_FALSE(probe.Wait(0)) << "a modem is no reason to report the service dead";
    EXPECT_FALSE(Postvane::Service().IsSignalled()) << "the service thread still runs";
    EXPECT_LE(ServiceLogCount(kPause), ServiceLogCount(kDialupFailure) + 1) << "each failure logged with its code";
    EXPECT_EQ(0u, ServiceLogCount("необработанное исключение"));
    EXPECT_EQ(0u, ServiceLogCount("неожиданно прервал"));
    EXPECT_EQ(0, server.Connections()) << "no line, no connection";
    EXPECT_EQ(1u, Files(outbox).size());
    EXPECT_TRUE(Files(outbox + "\\Wait").empty()) << "a missing line counts against no message";

    SetEnvironmentVariableA("PENNARK_DIALUP_HANDLE", "7");
    ASSERT_TRUE(Eventually([&] { return Drained(1); }, kWait)) << State();
    EXPECT_EQ(1u, server.Messages().size()) << "delivered once the line is back";
    EXPECT_FALSE(probe.Wait(0));
    PostvaneStop(1);
    EXPECT_EQ(0, probe.calls) << "a stop requested is no death";
}

}  // namespace
}  // namespace deliverytest
