#include <gtest/gtest.h>
#include <string>
#include "DialupClient.h"
#include "OwnProcess.h"
#include "TestSupport.h"

using PKXDK::Internet::DialupClient;
using testing_support::BesideTests;
using testing_support::ReadFileBytes;
using testing_support::TempDir;

namespace {

typedef rptr<DialupClient::Networking> Token;

const char* const kDialupKeyPath = testing_support::kDialupKey;

void SetEnv(const char* name, const char* value) { SetEnvironmentVariableA(name, value); }

std::string Env(const char* name) {
    char buf[8192];
    DWORD n = GetEnvironmentVariableA(name, buf, sizeof buf);
    return n > 0 && n < sizeof buf ? std::string(buf, n) : std::string();
}

// A client of the test module (or of the module the test names) with its own log file.
// The binding is made once per process, when the first client is built: each test sets
// the registry before it builds its client, and a test bound to another module than the
// test module runs in a process of its own.
class Dialup : public ::testing::Test {
protected:
    void SetUp() override { Bind(BesideTests("dialup-test.dll")); }

    void Bind(const std::string& module) {
        if (module.empty()) testing_support::DeleteRegValue(kDialupKeyPath, "ServiceModule");
        else testing_support::SetRegText(kDialupKeyPath, "ServiceModule", module);
        SetEnv("PENNARK_DIALUP_TRACE", nullptr);
        log_.SetLogPath((dir_ / "dialup.log").c_str());
    }

    std::string Trace() const { return Env("PENNARK_DIALUP_TRACE"); }
    std::string LogText() const { return ReadFileBytes(dir_ / "dialup.log"); }
    bool Logged(const std::string& line) const { return LogText().find(line) != std::string::npos; }

    TempDir dir_;
    Runlog log_;
};

class DialupWithoutModule : public Dialup {
protected:
    void SetUp() override { Bind((dir_ / "no-such-module.dll")); }
};

class DialupWithoutModuleName : public Dialup {
protected:
    void SetUp() override { Bind(""); }
};

}  // namespace

TEST_F(Dialup, EmptyConnectionNameHandsOutNothingAndLeavesTheModuleAlone) {
    DialupClient client(&log_, "", "Postvane");
    EXPECT_FALSE(client.Connect(false)) << "no connection name: no token";
    EXPECT_FALSE(client.Connect(true));
    EXPECT_EQ(0u, client.Users()) << "the count must not move";
    EXPECT_EQ("", Trace()) << "the module must not be called";
}

TEST_F(Dialup, TwoUsersShareOneLineThatClosesWithTheLastToken) {
    DialupClient client(&log_, "Mail", "Postvane");
    Token first = client.Connect(false);
    Token second = client.Connect(false);
    ASSERT_TRUE(first);
    ASSERT_TRUE(second);
    EXPECT_EQ("enabled;connect Mail;", Trace()) << "the second user only counts";
    EXPECT_EQ(7u, client.ConnectionHandle());
    EXPECT_EQ(2u, client.Users());

    Token copy = first;
    first = Token();
    EXPECT_EQ(2u, client.Users()) << "a token shared by copying is one user";
    copy = Token();
    EXPECT_EQ(1u, client.Users());
    EXPECT_EQ("enabled;connect Mail;", Trace()) << "the line stays while a user remains";

    second = Token();
    EXPECT_EQ("enabled;connect Mail;disconnect 7;", Trace());
    EXPECT_EQ(0u, client.ConnectionHandle());
    EXPECT_TRUE(Logged("Postvane: Создаётся подключение удалённого доступа \"Mail\"."));
    EXPECT_TRUE(Logged("Postvane: Выполнено подключение удалённого доступа \"Mail\"."));
    EXPECT_TRUE(Logged("Postvane: Закрывается подключение удалённого доступа."));
    EXPECT_TRUE(Logged("Postvane: Закрыто подключение удалённого доступа."));
}

TEST_F(Dialup, ReleaseWithoutUsersReturnsFalseAndDisconnectAfterwardsClosesAtOnce) {
    DialupClient client(&log_, "Mail", nullptr);
    EXPECT_FALSE(client.Release(false)) << "no users";
    EXPECT_EQ("", Trace());

    Token token = client.Connect(false);
    EXPECT_TRUE(client.Disconnect(false)) << "closes whatever the count";
    EXPECT_EQ(0u, client.Users());
    EXPECT_EQ("enabled;connect Mail;disconnect 7;", Trace());
    token = Token();
    EXPECT_EQ("enabled;connect Mail;disconnect 7;", Trace()) << "the late token must not call the module";
    EXPECT_TRUE(Logged("] Закрыто подключение удалённого доступа.")) << "no caller name, no prefix:\n" << LogText();
}

TEST_F(Dialup, DeclinedLineIsNotMadeButItsUserIsCounted) {
    SetEnv("PENNARK_DIALUP_ENABLED", "0");
    DialupClient client(&log_, "Mail", "Postvane");
    Token token = client.Connect(false);
    EXPECT_TRUE(token) << "the token is handed out without a line";
    EXPECT_EQ(1u, client.Users());
    EXPECT_EQ(0u, client.ConnectionHandle());
    EXPECT_EQ("enabled;", Trace());
    EXPECT_TRUE(Logged("Postvane: Подключение удалённого доступа не создаётся"));
    token = Token();
    EXPECT_EQ("enabled;", Trace()) << "no line, nothing to disconnect";
    SetEnv("PENNARK_DIALUP_ENABLED", nullptr);
}

TEST_F(Dialup, QuietConnectFailureIsLoggedAndNeitherThrowsNorCounts) {
    SetEnv("PENNARK_DIALUP_HANDLE", "0");
    SetEnv("PENNARK_DIALUP_CONNECT_ERROR", "1225");
    DialupClient client(&log_, "Mail", "Postvane");
    Token token;
    EXPECT_NO_THROW(token = client.Connect(true));
    EXPECT_FALSE(token);
    EXPECT_EQ(0u, client.Users());
    EXPECT_TRUE(Logged("[2] Postvane: Ошибка подключения удалённого доступа (код ошибки Windows: 1225 (0x000004c9))"))
        << LogText();
    SetEnv("PENNARK_DIALUP_HANDLE", nullptr);
}

TEST_F(Dialup, NonQuietConnectFailureCarriesTheCodeTwice) {
    SetEnv("PENNARK_DIALUP_HANDLE", "0");
    SetEnv("PENNARK_DIALUP_CONNECT_ERROR", "1225");
    for (Runlog* log : {static_cast<Runlog*>(&log_), static_cast<Runlog*>(nullptr)}) {
        DialupClient client(log, "Mail", "Postvane");
        try {
            client.Connect(false);
            ADD_FAILURE() << "a refused line must throw";
        } catch (const DialupClient::DialupFailure& e) {
            EXPECT_EQ("Ошибка подключения удалённого доступа (код ошибки Windows: 1225 (0x000004c9))"
                      " (код ошибки Windows: 1225 (0x000004C9))",
                      e.Reason().str());
        }
        EXPECT_EQ(0u, client.Users());
    }
    // The failure belongs to the client's family and to the system's own errors.
    DialupClient client(nullptr, "Mail", "Postvane");
    EXPECT_THROW(client.Connect(false), DialupClient::Failure);
    EXPECT_THROW(client.Connect(false), QLAppException);
    SetEnv("PENNARK_DIALUP_HANDLE", nullptr);
}

TEST_F(Dialup, RefusedDisconnectKeepsTheHandleForALaterTry) {
    DialupClient client(&log_, "Mail", "Postvane");
    Token token = client.Connect(false);
    SetEnv("PENNARK_DIALUP_DISCONNECT", "0");
    SetEnv("PENNARK_DIALUP_DISCONNECT_ERROR", "1236");
    EXPECT_FALSE(client.Disconnect(true));
    EXPECT_EQ(7u, client.ConnectionHandle()) << "a refused disconnection keeps the handle";
    try {
        client.Disconnect(false);
        ADD_FAILURE() << "a refused disconnection must throw when not quiet";
    } catch (const WindowsError& e) {
        EXPECT_EQ(1236, e.Code());
        EXPECT_EQ("Internet/DialupClient", e.Source().str());
    }
    EXPECT_EQ(7u, client.ConnectionHandle());

    SetEnv("PENNARK_DIALUP_DISCONNECT", nullptr);
    EXPECT_TRUE(client.Disconnect(false));
    EXPECT_EQ(0u, client.ConnectionHandle());
    EXPECT_EQ("enabled;connect Mail;disconnect 7;disconnect 7;disconnect 7;", Trace());
}

TEST_F(Dialup, LastTokenWhoseReleaseIsRefusedLogsAndTheDestructorClosesTheLine) {
    {
        DialupClient client(&log_, "Mail", "Postvane");
        Token token = client.Connect(false);
        SetEnv("PENNARK_DIALUP_DISCONNECT", "0");
        EXPECT_NO_THROW(token = Token()) << "a token's release never throws out of its destructor";
        EXPECT_EQ(7u, client.ConnectionHandle());
        EXPECT_TRUE(Logged("[2] Postvane: Ошибка при закрытии подключения удалённого доступа: Windows system call error"))
            << LogText();
        SetEnv("PENNARK_DIALUP_DISCONNECT", nullptr);
    }
    EXPECT_EQ("enabled;connect Mail;disconnect 7;disconnect 7;", Trace()) << "the destructor disconnects";
}

TEST_F(DialupWithoutModule, ConnectFailsWithNotSupported) {
    if (!testing_support::InOwnProcess()) return testing_support::RunInOwnProcess();
    DialupClient client(&log_, "Mail", "Postvane");
    try {
        client.Connect(false);
        ADD_FAILURE() << "a missing module must make connecting fail";
    } catch (const DialupClient::DialupFailure& e) {
        EXPECT_NE(std::string::npos, e.Reason().str().find("(код ошибки Windows: 50 (0x00000032))")) << e.Reason().str();
    }
    EXPECT_FALSE(client.Connect(true));
    EXPECT_EQ(0u, client.Users());
}

TEST_F(DialupWithoutModuleName, DisabledKeyDeclinesTheLineOtherwiseConnectingIsNotSupported) {
    if (!testing_support::InOwnProcess()) return testing_support::RunInOwnProcess();
    DialupClient client(&log_, "Mail", "Postvane");
    testing_support::SetRegNumber(kDialupKeyPath, "Disabled", 1);
    Token token = client.Connect(false);
    EXPECT_TRUE(token) << "a disabled dial-up declines the line but counts the user";
    EXPECT_EQ(0u, client.ConnectionHandle());
    token = Token();

    testing_support::SetRegNumber(kDialupKeyPath, "Disabled", 0);
    EXPECT_THROW(client.Connect(false), DialupClient::DialupFailure);
    EXPECT_TRUE(Logged("(код ошибки Windows: 50 (0x00000032))")) << LogText();
}
