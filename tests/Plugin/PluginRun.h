// What the plugin tests share: the plugin as one host holds it, the service's configuration
// in a directory of the test's own, and the helpers that look at what came out.
#pragma once
#include <gtest/gtest.h>
#include "HostStubs.h"
#include "Postvane.h"
#include "Secret.h"
#include "SmtpPeer.h"

namespace host_test {

using testing_support::SetRegNumber;
using testing_support::SetRegText;
using testing_support::TempDir;

const char kFatalText[] = "Сервис Quillet Pennark Smtp внезапно прекратил работу. "
                          "Продолжение невозможно, программа будет закрыта.";
const char kServiceMutex[] = "Mutex Quillet Pennark MSS";
const DWORD kWait = 30000;  // bound of waits for the service; only a fault reaches it

// Polls until the condition holds or the bound passes.
template <class Condition>
inline bool Eventually(Condition condition, DWORD limitMs = kWait) {
    DWORD start = GetTickCount();
    while (!condition()) {
        if (GetTickCount() - start > limitMs) return false;
        Sleep(10);
    }
    return true;
}

using testing_support::HeaderOf;

// The message files in a directory.
inline std::vector<std::string> MessageFiles(const std::string& dir) {
    std::vector<std::string> files;
    for (const std::string& name : testing_support::ListDir(dir))
        if (name.size() > 4 && name.compare(name.size() - 4, 4, ".eml") == 0) files.push_back(dir + "\\" + name);
    return files;
}

// The plugin as one host holds it: the stub host, the plugin created through COM, and the
// extenders the plugin handed to the host.
class HostedPlugin {
public:
    HostedPlugin() : host(new StubHost), session(new StubSession) {}
    ~HostedPlugin() {
        Stop();
        EXPECT_EQ(0u, session->Release());
        EXPECT_EQ(0u, host->Release()) << "the plugin let the host object go";
    }
    HostedPlugin(const HostedPlugin&) = delete;
    HostedPlugin& operator=(const HostedPlugin&) = delete;

    // CoCreateInstance from the registration, then Initialize late-bound.
    HRESULT Start(ExcepInfo* excep = nullptr, IDispatch* hostObject = nullptr, bool nullHost = false) {
        HRESULT hr = CoCreateInstance(kEmailClassId, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch,
                                      reinterpret_cast<void**>(&plugin));
        if (FAILED(hr)) return hr;
        return InvokeByName(plugin, L"Initialize", {Object(nullHost ? nullptr : hostObject ? hostObject : host)},
                            excep);
    }
    IPennarkTerminalExtender* Terminal() const {
        return host->terminal->extenders.held.empty() ? nullptr : host->terminal->extenders.held[0];
    }
    IPennarkSessionExtender* Session() const {
        return host->session->extenders.held.empty() ? nullptr : host->session->extenders.held[0];
    }
    HRESULT TerminalEvent(const wchar_t* name, ExcepInfo* excep = nullptr) {
        return InvokeByName(Terminal(), L"OnTerminalEvent", {Object(host->terminal), Text(name)}, excep);
    }
    HRESULT SessionEvent(const wchar_t* name, ExcepInfo* excep = nullptr, bool nullSession = false) {
        return InvokeByName(Session(), L"OnSessionEvent", {Object(nullSession ? nullptr : session), Text(name)}, excep);
    }
    // The host lets the terminal extender go (which stops the service).
    void ReleaseTerminal() { EXPECT_TRUE(host->terminal->extenders.Drop()) << "the host held the last reference"; }
    // The host lets everything go: extenders first, then the plugin; each reference was the last.
    void Stop() {
        EXPECT_TRUE(host->terminal->extenders.Drop());
        EXPECT_TRUE(host->session->extenders.Drop());
        if (plugin) {
            EXPECT_EQ(0u, plugin->Release()) << "the extenders let the plugin go";
        }
        plugin = nullptr;
    }

    StubHost* host;
    StubSession* session;
    IDispatch* plugin = nullptr;
};

// True while the service thread of this process runs (a start is refused as running).
inline bool ServiceRunning() {
    if (PostvaneStart()) {
        PostvaneStop(1);
        return false;
    }
    return GetLastError() == ERROR_SERVICE_ALREADY_RUNNING;
}

class PluginTest : public ::testing::Test {
protected:
    void SetUp() override {
        ResetSeams();
        outbox = dir / "outbox";
        SetRegText(kMailKey, "OutboxDir", outbox);
        SetRegText(kMailKey, "LogDir", dir / "logs");
        SetRegText(kMailKey, "DebugLog", ServiceLog());
        SetRegNumber(kMailKey, "Retry Timeout", 1);
        ASSERT_EQ(0, EmailModule::Get().installInit(nullptr, nullptr));
    }
    void TearDown() override {
        PostvaneStop(1);
        SetPostvaneCallback(nullptr, nullptr);
        for (const MessageBoxCall& box : MessageBoxes()) ADD_FAILURE() << "unexpected message box: " << box.text;
    }
    std::string ServiceLog() const { return dir / "service.txt"; }
    // The account the servers of these tests ask for.
    static smtppeer::HostPeer::Options Account() {
        smtppeer::HostPeer::Options account;
        account.login = "kiosk-7";
        account.password = "kiosk secret";
        account.authRequired = true;
        return account;
    }
    // Sends the service's mail to peer with the account's login and stored password.
    void UseServer(const smtppeer::HostPeer& peer, const smtppeer::HostPeer::Options& account) {
        SetRegText(testing_support::kSmtpKey, "Server", "127.0.0.1");
        SetRegText(testing_support::kSmtpKey, "Port", std::to_string(peer.Port()));
        SetRegText(testing_support::kSmtpKey, "Login", account.login);
        SetRegText(testing_support::kSmtpKey, "ReversePath", "kiosk@example.test");
        RegKey smtp(HKEY_LOCAL_MACHINE, testing_support::kSmtpKey, true, RegKey::AllAccess);
        ASSERT_TRUE(StoreSecret(kSecretDescription, smtp.Handle(), "Pass", account.password.c_str()));
    }

    ComScope com;
    TempDir dir;
    std::string outbox;
};

}  // namespace host_test
