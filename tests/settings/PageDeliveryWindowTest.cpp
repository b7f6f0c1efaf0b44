// End to end: the operator changes the server and the password in the page and applies; the
// delivery service's next delivery goes to that server and logs in with that password (a
// real SMTP server requiring AUTH).
#include <winsock2.h>
#include <windows.h>
#include <gtest/gtest.h>
#include <memory>
#include "EmailPageIds.h"
#include "Postvane.h"
#include "Secret.h"
#include "SmtpPeer.h"
#include "TestSupport.h"
#include "WindowTestSupport.h"

using namespace postdesk_test;
using testing_support::kMailKey;
using testing_support::kSmtpKey;

TEST(PageDelivery, NextDeliveryUsesTheServerAndPasswordJustApplied) {
    // The service's folders, and the account as it was: another server, another password.
    testing_support::TempDir dir;
    CreateDirectoryA((dir / "Outbox").c_str(), nullptr);
    testing_support::SetRegText(kMailKey, "OutboxDir", dir / "Outbox");
    testing_support::SetRegText(kMailKey, "ArchiveDir", dir / "Sent");
    testing_support::SetRegText(kMailKey, "BadMailDir", dir / "Bad");
    testing_support::SetRegText(kMailKey, "LogDir", dir / "logs");
    testing_support::SetRegText(kMailKey, "DebugLog", dir / "service.txt");
    testing_support::SetRegText(kSmtpKey, "Server", "old-server.invalid");
    testing_support::SetRegText(kSmtpKey, "Login", "kiosk-7");
    {
        RegKey smtp(HKEY_LOCAL_MACHINE, kSmtpKey, true, RegKey::AllAccess);
        ASSERT_TRUE(StoreSecret(kSecretDescription, smtp.Handle(), "Pass", "old pass"));
    }
    WSADATA winsock;
    WSAStartup(MAKEWORD(2, 2), &winsock);
    smtppeer::HostPeer::Options options;
    options.login = "kiosk-7";
    options.password = "new pass 7";
    options.authRequired = true;
    std::unique_ptr<smtppeer::HostPeer> peer;
    {
        // The operator has the page open when the server comes up. (Under Wine the first
        // property sheet of a process fails to open once the process has started a Unix
        // program, as the peer does; its other windows open.)
        EmailPageScreen page;
        peer.reset(new smtppeer::HostPeer(options));
        ASSERT_TRUE(peer->Started()) << peer->Error();
        page.Type(IDC_SERVER, "127.0.0.1");
        page.Type(IDC_PORT, std::to_string(peer->Port()).c_str());
        page.Type(IDC_PASSWORD, "new pass 7");
        page.Type(IDC_PASSWORD2, "new pass 7");
        page.Type(IDC_SENDER, "kiosk@example.test");
        page.Type(IDC_RETRY, "1");
        ASSERT_TRUE(page.Apply());
    }

    ASSERT_TRUE(PostvaneStart()) << GetLastError();
    SmtpMail mail = {};
    mail.Size = sizeof mail;
    mail.To = "office@example.test";
    mail.Subject = "after the page";
    mail.Text = "settings applied";
    EXPECT_TRUE(SmtpSendMail(&mail)) << GetLastError();
    std::vector<smtppeer::DeliveredMessage> delivered = peer->Messages(1, 30000);
    PostvaneStop(1);
    WSACleanup();

    ASSERT_EQ(1u, delivered.size()) << testing_support::ReadFileBytes(dir / "service.txt");
    EXPECT_EQ("kiosk-7", delivered[0].login);
    EXPECT_FALSE(delivered[0].mechanism.empty()) << "authenticated";
    EXPECT_EQ("office@example.test", delivered[0].recipients);
    EXPECT_NE(std::string::npos, delivered[0].content.find("Subject: after the page"));
}
