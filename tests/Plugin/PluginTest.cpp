// The Email plugin as a host sees it: created through COM from its registration, initialised
// and called through IDispatch::Invoke, with stub host objects. Every test runs the delivery
// service (the terminal extender starts it).
#include <gtest/gtest.h>
#include <atomic>
#include <thread>
#include "PluginRun.h"
#include "Secret.h"
#include "SmtpPeer.h"

using namespace host_test;

TEST_F(PluginTest, TerminalEventIsRecordedOnlyForTheConfiguredName) {
    struct Row {
        const char* configured;  // value "Poll" of "Terminal Events"; null: no such value
        const wchar_t* event;
        bool recorded;
    } rows[] = {
        {nullptr, L"Poll", true},  {nullptr, L"POLL", true},  {nullptr, L"poll", true},
        {nullptr, L"Poll2", false}, {nullptr, L"", false},    {"Tick", L"tick", true},
        {"Tick", L"Tick", true},    {"Tick", L"Poll", false}, {"", L"", true},
        {"", L"Poll", false},
    };
    const std::string terminalEvents = std::string(kEmailPluginKey) + "\\Terminal Events";
    for (const Row& row : rows) {
        std::string what = std::string(row.configured ? row.configured : "(none)") + " / " + Narrow(row.event);
        if (row.configured) SetRegText(terminalEvents, "Poll", row.configured);
        else testing_support::DeleteRegValue(terminalEvents, "Poll");
        ResetSeams();
        HostedPlugin plugin;
        ASSERT_EQ(S_OK, plugin.Start()) << what;
        ASSERT_NE(nullptr, plugin.Terminal()) << what;
        EXPECT_EQ(S_OK, plugin.TerminalEvent(row.event)) << what;
        std::vector<std::string> expected;
        if (row.recorded) expected.push_back("Email received Poll");
        EXPECT_EQ(expected, DebugMessages()) << what;
    }
}

TEST_F(PluginTest, SessionEventSendsTheSessionsPropertiesUnderTheConfiguredNames) {
    const std::vector<std::string> usual = {"Email.To", "Email.From", "Email.Subject", "Email.Text"};
    struct Row {
        const char* what;
        const char* eventName;  // value "Email.SendMail" of "Session Events"; null: none
        const char* mapped;     // a value of "Session Props"; null: none
        const char* mappedTo;
        const wchar_t* event;
        bool sent;
        std::vector<std::string> asked;
        const char* to;  // the To header of the message
        const char* text;
    } rows[] = {
        {"the event", nullptr, nullptr, nullptr, L"Email.SendMail", true, usual, "to@example.test", "Спасибо"},
        {"upper case", nullptr, nullptr, nullptr, L"EMAIL.SENDMAIL", true, usual, "to@example.test", "Спасибо"},
        {"lower case", nullptr, nullptr, nullptr, L"email.sendmail", true, usual, "to@example.test", "Спасибо"},
        {"another event", nullptr, nullptr, nullptr, L"Email.SendMail2", false, {}, nullptr, nullptr},
        {"an empty name", nullptr, nullptr, nullptr, L"", false, {}, nullptr, nullptr},
        {"a configured event", "Receipt.Mail", nullptr, nullptr, L"receipt.mail", true, usual, "to@example.test",
         "Спасибо"},
        {"the usual event when another is configured", "Receipt.Mail", nullptr, nullptr, L"Email.SendMail", false,
         {}, nullptr, nullptr},
        {"an empty configured event", "", nullptr, nullptr, L"", true, usual, "to@example.test", "Спасибо"},
        {"a redirected recipient", nullptr, "Email.To", "Customer.Mail", L"Email.SendMail", true,
         {"Customer.Mail", "Email.From", "Email.Subject", "Email.Text"}, "customer@example.test", "Спасибо"},
        {"a text under the empty name", nullptr, "Email.Text", "", L"Email.SendMail", true,
         {"Email.To", "Email.From", "Email.Subject", ""}, "to@example.test", "под пустым именем"},
    };
    const std::string sessionEvents = std::string(kEmailPluginKey) + "\\Session Events";
    const std::string sessionProps = std::string(kEmailPluginKey) + "\\Session Props";
    for (const Row& row : rows) {
        if (row.eventName) SetRegText(sessionEvents, "Email.SendMail", row.eventName);
        else testing_support::DeleteRegValue(sessionEvents, "Email.SendMail");
        for (const std::string& name : usual) testing_support::DeleteRegValue(sessionProps, name.c_str());
        if (row.mapped) SetRegText(sessionProps, row.mapped, row.mappedTo);
        testing_support::RemoveTree(outbox);

        HostedPlugin plugin;
        plugin.session->properties = {{L"Email.To", L"to@example.test"},
                                      {L"Customer.Mail", L"customer@example.test"},
                                      {L"Email.From", L"Киоск 7"},
                                      {L"Email.Subject", L"Чек"},
                                      {L"Email.Text", L"Спасибо"},
                                      {L"", L"под пустым именем"}};
        ASSERT_EQ(S_OK, plugin.Start()) << row.what;
        ASSERT_NE(nullptr, plugin.Session()) << row.what;
        EXPECT_EQ(S_OK, plugin.SessionEvent(row.event)) << row.what;
        EXPECT_EQ(row.asked, plugin.session->asked) << row.what;
        std::vector<std::string> files = MessageFiles(outbox);
        ASSERT_EQ(row.sent ? 1u : 0u, files.size()) << row.what;
        if (!row.sent) continue;
        std::string message = testing_support::ReadFileBytes(files[0]);
        EXPECT_EQ(row.to, HeaderOf(message, "To: ")) << row.what;
        EXPECT_EQ("Киоск 7", HeaderOf(message, "From: ")) << row.what;
        EXPECT_EQ("Чек", HeaderOf(message, "Subject: ")) << row.what;
        EXPECT_NE(std::string::npos, message.find(std::string("8bit\r\n\r\n") + row.text + "\r\n--")) << row.what;
    }
}

TEST_F(PluginTest, FailedSubmissionReachesTheHostAsExceptionInformation) {
    // An outbox below a file cannot be created: the submission raises inside Postvane.dll.
    testing_support::WriteFileBytes(dir / "file", "not a directory");
    struct Row {
        const char* what;
        int disabled;
        std::string outboxDir;
        bool nullSession;
        WORD code;
        std::string description;  // the start of it
    } rows[] = {
        {"a disabled service", 1, outbox, false, 59999,
         "Windows system call error 1058 (00000422) at \"Plugin/SessionExtender\":111"},
        {"an outbox that cannot be written", 0, dir / "file\\outbox", false, 59999, "Windows system call error 3 (00000003)"},
        {"no session", 0, outbox, true, WORD(E_POINTER & 0xFFFF), "the session event came without a session"},
    };
    for (const Row& row : rows) {
        SetRegNumber(kMailKey, "Disabled", DWORD(row.disabled));
        SetRegText(kMailKey, "OutboxDir", row.outboxDir);
        HostedPlugin plugin;
        plugin.session->properties = {{L"Email.To", L"to@example.test"}};
        ASSERT_EQ(S_OK, plugin.Start()) << row.what;
        ExcepInfo excep;
        EXPECT_EQ(DISP_E_EXCEPTION, plugin.SessionEvent(L"Email.SendMail", &excep, row.nullSession)) << row.what;
        EXPECT_EQ(row.code, excep.wCode) << row.what;
        EXPECT_EQ(DISP_E_EXCEPTION, excep.scode) << row.what;
        EXPECT_EQ("Quillet Pennark", excep.Source()) << row.what;
        EXPECT_EQ(row.description, excep.Description().substr(0, row.description.size())) << row.what;
        EXPECT_TRUE(MessageFiles(outbox).empty()) << row.what << ": nothing was stored";
    }
}

TEST_F(PluginTest, InitializeFailureIsExceptionInformationAndReleasesWhatTheHostDoesNotHold) {
    struct Row {
        const char* what;
        bool answersHost;
        HRESULT terminalResult;
        HRESULT sessionResult;
        bool nullHost;
        std::string description;
        bool terminalHeld;  // the host holds a terminal extender, so the service runs
    } rows[] = {
        {"a host object without IPennarkPluginHost", false, S_OK, S_OK, false,
         "COM call error 0x80004002 at \"Apprig/Include/co\":114", false},
        {"no terminal events", true, E_ACCESSDENIED, S_OK, false, "COM call error 0x80070005 at \"Plugin/Plugin\":66",
         false},
        {"no session events", true, S_OK, E_FAIL, false, "COM call error 0x80004005 at \"Plugin/Plugin\":72", true},
        {"a null host object", true, S_OK, S_OK, true, "COM call error 0x80004003 at \"Apprig/Include/co\":114", false},
    };
    for (const Row& row : rows) {
        HostedPlugin plugin;
        plugin.host->answersHost = row.answersHost;
        plugin.host->terminalResult = row.terminalResult;
        plugin.host->sessionResult = row.sessionResult;
        ExcepInfo excep;
        EXPECT_EQ(DISP_E_EXCEPTION, plugin.Start(&excep, nullptr, row.nullHost)) << row.what;
        HRESULT failed = std::string(row.what) == "a host object without IPennarkPluginHost" ? E_NOINTERFACE
                         : row.nullHost                                                    ? E_POINTER
                         : FAILED(row.terminalResult)                                      ? row.terminalResult
                                                                                           : row.sessionResult;
        EXPECT_EQ(WORD(failed & 0xFFFF), excep.wCode) << row.what;
        EXPECT_EQ(row.description, excep.Description().substr(0, row.description.size()))
            << row.what << ": " << excep.Description();
        EXPECT_EQ(row.terminalHeld ? 1u : 0u, plugin.host->terminal->extenders.held.size()) << row.what;
        EXPECT_TRUE(plugin.host->session->extenders.held.empty()) << row.what;
        EXPECT_EQ(row.terminalHeld, ServiceRunning()) << row.what << ": an extender the host does not hold is gone";
    }
}

TEST_F(PluginTest, EventAfterTheServiceStoppedStillStoresTheMessage) {
    HostedPlugin plugin;
    plugin.session->properties = {{L"Email.To", L"to@example.test"}, {L"Email.Subject", L"после остановки"}};
    ASSERT_EQ(S_OK, plugin.Start());
    EXPECT_TRUE(ServiceRunning());
    plugin.ReleaseTerminal();
    EXPECT_FALSE(ServiceRunning()) << "releasing the terminal extender stopped the service";
    EXPECT_EQ(S_OK, plugin.SessionEvent(L"Email.SendMail"));
    std::vector<std::string> files = MessageFiles(outbox);
    ASSERT_EQ(1u, files.size());
    EXPECT_EQ("после остановки", HeaderOf(testing_support::ReadFileBytes(files[0]), "Subject: "));
}

TEST_F(PluginTest, ServiceRunsUntilTheLastTerminalExtenderOfTheProcessGoes) {
    // Two plugin objects, or one plugin initialised a second time: two terminal extenders.
    for (bool twice : {false, true}) {
        SCOPED_TRACE(twice ? "Initialize called twice" : "two plugin objects");
        StubHost* other = new StubHost;
        {
            HostedPlugin first, second;
            ASSERT_EQ(S_OK, first.Start());
            if (twice) ASSERT_EQ(S_OK, InvokeByName(first.plugin, L"Initialize", {Object(other)}, nullptr));
            else ASSERT_EQ(S_OK, second.Start(nullptr, other));
            ASSERT_TRUE(ServiceRunning());
            ASSERT_EQ(1u, other->terminal->extenders.held.size());

            first.ReleaseTerminal();
            EXPECT_TRUE(ServiceRunning()) << "the other terminal extender holds the service";
            EXPECT_TRUE(other->terminal->extenders.Drop());
            EXPECT_FALSE(ServiceRunning()) << "the last terminal extender stopped it";
            EXPECT_TRUE(other->session->extenders.Drop());
        }
        EXPECT_EQ(0u, other->Release()) << "the plugins let the other host go";
    }
}

TEST_F(PluginTest, ReleaseDuringAnSmtpExchangeReturnsOnlyAfterTheServiceThreadEnded) {
    smtppeer::ScriptedServer server;
    server.Stall();  // accepts and never greets: the service waits inside the exchange
    server.Start();
    SetRegText(testing_support::kSmtpKey, "Server", "127.0.0.1");
    SetRegText(testing_support::kSmtpKey, "Port", std::to_string(server.Port()));

    HostedPlugin plugin;
    plugin.session->properties = {{L"Email.To", L"to@example.test"}};
    ASSERT_EQ(S_OK, plugin.Start());
    ASSERT_EQ(S_OK, plugin.SessionEvent(L"Email.SendMail"));
    ASSERT_TRUE(Eventually([&] { return server.Connections() == 1; })) << "the service connected";

    plugin.ReleaseTerminal();
    EXPECT_TRUE(testing_support::ReadFileBytes(ServiceLog()).find("Сервис Postvane закрыт") != std::string::npos)
        << "the thread had logged its end when the release returned";
    EXPECT_FALSE(ServiceRunning());
    EXPECT_EQ(1u, MessageFiles(outbox).size()) << "the message waits for the next run";
}

namespace {

// A visible top-level window of the test's own that stands for the host's main window and
// counts the close requests it receives.
class MainWindow {
public:
    MainWindow() {
        WNDCLASSA wc = {};
        wc.lpfnWndProc = &MainWindow::Proc;
        wc.hInstance = GetModuleHandleA(nullptr);
        wc.lpszClassName = "PluginTestMainWindow";
        RegisterClassA(&wc);
        window = CreateWindowExA(0, wc.lpszClassName, "host", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0, 200, 100,
                                 nullptr, nullptr, wc.hInstance, nullptr);
        closeRequests = 0;
    }
    ~MainWindow() { DestroyWindow(window); }
    void Pump() {
        MSG msg;
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&msg);
    }
    static LRESULT CALLBACK Proc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
        if (message == WM_SYSCOMMAND && (wParam & 0xFFF0) == SC_CLOSE && lParam == 0) {
            ++closeRequests;
            return 0;  // the test decides when the window goes
        }
        return DefWindowProcA(window, message, wParam, lParam);
    }
    HWND window;
    static int closeRequests;
};
int MainWindow::closeRequests = 0;

// Another service owns the machine-wide mutex while the object lives (a thread of its own
// holds it, as a second process would).
class MutexOwner {
public:
    MutexOwner() : release_(CreateEventA(nullptr, TRUE, FALSE, nullptr)), owned_(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {
        thread_ = std::thread([this] {
            HANDLE mutex = CreateMutexA(nullptr, TRUE, kServiceMutex);
            SetEvent(owned_);
            WaitForSingleObject(release_, INFINITE);
            ReleaseMutex(mutex);
            CloseHandle(mutex);
        });
        WaitForSingleObject(owned_, INFINITE);
    }
    ~MutexOwner() {
        SetEvent(release_);
        thread_.join();
        CloseHandle(release_);
        CloseHandle(owned_);
    }
private:
    HANDLE release_, owned_;
    std::thread thread_;
};

}  // namespace

TEST_F(PluginTest, ServiceDeathShowsTheFatalMessageAndAsksTheMainWindowToClose) {
    MainWindow main;
    MutexOwner otherService;
    HoldBoxes();  // the operator has not closed the box yet
    HostedPlugin plugin;
    ASSERT_EQ(S_OK, plugin.Start());
    ASSERT_TRUE(WaitForBoxes(1, kWait)) << "the fatal message came";

    std::vector<MessageBoxCall> boxes = MessageBoxes();
    EXPECT_EQ(kFatalText, boxes[0].text);
    EXPECT_EQ(nullptr, boxes[0].window) << "the box has no owner";
    EXPECT_EQ(ProgramName(), boxes[0].caption);
    EXPECT_EQ(UINT(MB_OK | MB_ICONERROR), boxes[0].type);
    EXPECT_NE(GetCurrentThreadId(), boxes[0].thread) << "shown on the service thread";

    // The host lets the terminal extender go while the box is up: the release waits for the
    // service thread, which waits for the operator.
    std::atomic<bool> released{false};
    std::thread host([&] {
        plugin.ReleaseTerminal();
        released = true;
    });
    EXPECT_FALSE(Eventually([&] { return released.load(); }, 300)) << "the release returned before the service ended";
    ReleaseBoxes();
    EXPECT_TRUE(Eventually([&] { return released.load(); })) << "the release ends once the box is closed";
    host.join();

    EXPECT_TRUE(Eventually([&] {
        main.Pump();
        return MainWindow::closeRequests == 1;
    })) << "the main window was asked to close";
    EXPECT_EQ(1u, MessageBoxes().size()) << "the message is shown once";
    ResetSeams();
}

TEST_F(PluginTest, RussianSessionTextsArriveAtTheServerAsWindows1251) {
    const smtppeer::HostPeer::Options account = Account();
    smtppeer::HostPeer peer(account);
    ASSERT_TRUE(peer.Started()) << peer.Error();
    ASSERT_NO_FATAL_FAILURE(UseServer(peer, account));

    HostedPlugin plugin;
    plugin.session->properties = {{L"Email.To", L"customer@example.test"},
                                  {L"Email.From", L"Киоск № 7"},
                                  {L"Email.Subject", L"Квитанция об оплате"},
                                  {L"Email.Text", L"Платёж принят.\r\nСумма: 150,00 руб."}};
    ASSERT_EQ(S_OK, plugin.Start());
    ASSERT_EQ(S_OK, plugin.SessionEvent(L"Email.SendMail"));
    std::vector<smtppeer::DeliveredMessage> delivered = peer.Messages(1, 60000);
    ASSERT_EQ(1u, delivered.size()) << testing_support::ReadFileBytes(ServiceLog());
    const std::string& content = delivered[0].content;
    EXPECT_EQ("customer@example.test", delivered[0].recipients);
    EXPECT_EQ("kiosk-7", delivered[0].login);
    EXPECT_EQ("Квитанция об оплате", HeaderOf(content, "Subject: ")) << testing_support::Printable(content);
    EXPECT_EQ("Киоск № 7 <kiosk@example.test>", HeaderOf(content, "From: "));
    EXPECT_NE(std::string::npos, content.find("Платёж принят.\r\nСумма: 150,00 руб.\r\n")) << "the text as windows-1251";
}
