// The whole road through the test host, kiosk-host.exe, run as a process of its own that
// shares this test's private configuration: a session event delivered to a real server, a
// failure seen in the host both through Invoke and through a direct call, and a second host
// whose service cannot run.
#include <gtest/gtest.h>
#include "PluginRun.h"
#include "Secret.h"
#include "SmtpPeer.h"

using namespace host_test;

namespace {

class KioskHostTest : public PluginTest {};

}  // namespace

TEST_F(KioskHostTest, SessionEventRaisedInTheHostIsDeliveredAndTheHostClosesWithTheServiceStopped) {
    const smtppeer::HostPeer::Options account = Account();
    smtppeer::HostPeer peer(account);
    ASSERT_TRUE(peer.Started()) << peer.Error();
    ASSERT_NO_FATAL_FAILURE(UseServer(peer, account));
    // A scenario file in UTF-8, as an operator writes it.
    testing_support::WriteFileBytes(dir / "scenario.txt",
                                    "# a receipt\n"
                                    "prop Email.To customer@example.test\n"
                                    "prop Email.Subject \xD0\x9A\xD0\xB2\xD0\xB8\xD1\x82\xD0\xB0\xD0\xBD\xD1\x86\xD0\xB8\xD1\x8F\n"
                                    "prop Email.Text \xD0\xA1\xD0\xBF\xD0\xB0\xD1\x81\xD0\xB8\xD0\xB1\xD0\xBE\\r\\n\n"
                                    "terminal Poll\n"
                                    "session Email.SendMail\n");
    HostRun run = RunKioskHost("--scenario \"" + dir / "scenario.txt" + "\" --wait-empty 60 \"" + outbox + "\"");
    EXPECT_EQ(0u, run.exitCode) << run.output;
    for (const char* line : {"Initialize: S_OK", "debug: Email received Poll", "session event \"Email.SendMail\": S_OK",
                             "holds no file after",
                             "released 1 terminal and 1 session extender(s); the service is stopped"})
        EXPECT_TRUE(run.Has(line)) << line << "\n" << testing_support::Printable(run.output);

    std::vector<smtppeer::DeliveredMessage> delivered = peer.Messages(1, 10000);
    ASSERT_EQ(1u, delivered.size());
    EXPECT_EQ("Квитанция", HeaderOf(delivered[0].content, "Subject: "));
    EXPECT_NE(std::string::npos, delivered[0].content.find("\r\n\r\nСпасибо\r\n\r\n--"));
    EXPECT_FALSE(ServiceRunning()) << "no service of this process was started";
}

TEST_F(KioskHostTest, FailureOfAnEventIsReportedByTheHostThroughInvokeAndThroughADirectCall) {
    SetRegNumber(kMailKey, "Disabled", 1);
    const std::string text = "Windows system call error 1058 (00000422) at \"Plugin/SessionExtender\":111";
    struct Row {
        const char* mode;
        std::string line;
    } rows[] = {
        {"", "session event \"Email.SendMail\": failed 0x80020009: wCode 59999, source \"Quillet Pennark\", "
             "description \"" + text + "\""},
        // Called directly the method answers with the failure, never an exception.
        {"--direct", "session event \"Email.SendMail\": failed 0x80070422"},
    };
    for (const Row& row : rows) {
        HostRun run = RunKioskHost(std::string(row.mode) + " --prop Email.To=a@example.test --session Email.SendMail");
        EXPECT_EQ(1u, run.exitCode) << row.mode << ": a failed step";
        EXPECT_TRUE(run.Has(row.line)) << row.mode << "\n" << run.output;
        EXPECT_TRUE(run.Has("the service is stopped")) << row.mode << ": the host closed normally";
    }
}

TEST_F(KioskHostTest, SecondHostGetsTheFatalMessageAndItsMainWindowIsAskedToClose) {
    HostedPlugin first;  // the service of this process owns the machine-wide mutex
    ASSERT_EQ(S_OK, first.Start());
    ASSERT_TRUE(ServiceRunning());

    HostRun second = RunKioskHost("--answer-boxes --wait 60 --terminal Poll");
    EXPECT_EQ(0u, second.exitCode) << second.output;
    const std::string box = std::string("message box \"kiosk-host\": ") + kFatalText;
    for (const std::string& line : {box, std::string("main window: close requested (WM_SYSCOMMAND, SC_CLOSE)"),
                                     std::string("the main window is closed: 1 step(s) not run"),
                                     std::string("the service is stopped")})
        EXPECT_TRUE(second.Has(line)) << line << "\n" << second.output;
    EXPECT_LT(second.output.find(box), second.output.find("close requested")) << "the close request follows the box";
    EXPECT_TRUE(ServiceRunning()) << "the first host's service runs on";
}
