// kiosk-host's configuration screen run from its command line, as the README's picture and an
// operator's script use it: typing, a refused Apply with the host's report of the box, a
// saved Apply, reading back.
#include <windows.h>
#include <gtest/gtest.h>
#include "TestSupport.h"
#include "WindowTestSupport.h"

using testing_support::GetRegText;

TEST(KioskHostConfig, ScriptedScreenReportsRefusalsAndSavesWhatWasTyped) {
    testing_support::TempDir dir;
    postdesk_test::UseServiceFolders(dir);
    host_test::HostRun run = host_test::RunKioskHost(
        "--answer-boxes --config --field 1497 smtp.example.test --field 1491 \"\" --apply"
        " --field 1491 30 --choose 1490 2 --apply --read 1497 --read 1490 --click 102 --read 102");
    EXPECT_EQ(1u, run.exitCode) << "the refused Apply is a failed step\n" << run.output;
    const char* lines[] = {
        "configuration screen open with 1 page(s)",
        "message box \"Электронная почта\": Поле \"Задержка повтора при ошибках почты, с\": ошибка формата "
        "целого числа (\"\")",
        "Apply: a page refused to save",
        "Apply: saved",
        "field \"1497\" reads \"smtp.example.test\"",
        "field \"1490\" reads \"SSL/TLS (порт 465)\"",
        "check box \"102\" is not checked",
        "released the configuration screen",
    };
    size_t at = 0;
    for (const char* line : lines) {
        size_t found = run.output.find(line, at);
        EXPECT_NE(std::string::npos, found) << "in this order: " << line << "\n" << run.output;
        if (found != std::string::npos) at = found;
    }
    EXPECT_EQ("smtp.example.test", GetRegText(testing_support::kSmtpKey, "Server"));
    EXPECT_EQ("30", GetRegText(testing_support::kMailKey, "Retry Timeout"));
    EXPECT_EQ("2", GetRegText(testing_support::kSmtpKey, "Tls"));
    EXPECT_EQ("0", GetRegText(testing_support::kMailKey, "Disabled")) << "the last click was not applied";
}
