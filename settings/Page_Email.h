// The e-mail settings page: whether mail is sent, the SMTP server and port, the connection's
// security (mode, a root certificate to accept, the certificate check), the sign-in (password,
// or an OAuth 2.0 token by client credentials or a refresh token), the terminal's sender
// address, the default recipient, the retry delay, how long a message is tried and how long
// archive and logs are kept, loaded from and saved to the registry keys that the delivery
// service reads. The page also tests a connection with the values as they stand on it, and
// shows the queue at a glance.
#pragma once
#include <memory>
#include "ControlPlugin.h"
#include "EmailPageIds.h"

struct ConnectionTestRun;

class Page_Email : public ControlPluginPage {
public:
    explicit Page_Email(IPennarkControlHost* host);
    // Ends a connection test that still runs (see ConnectionTestStopMs) and lets the window go.
    ~Page_Email() override;

    // Lays the page out and loads it from the Mail key and its SMTP subkey; the password and
    // the OAuth 2.0 secrets stay empty. Shows the queue's figures and refreshes them every
    // kQueueRefreshMs while the page is visible. Registry failures raise the registry's
    // exceptions.
    LONG STDMETHODCALLTYPE AttachWindow(LONG window) override;
    // Marks the page changed on the operator's edits; 1 for the fields' commands. "Обзор..."
    // asks for the root certificate file; the test button starts the connection test, or
    // cancels the one that runs.
    LONG STDMETHODCALLTYPE OnCommand(unsigned short code, unsigned short id, LONG control) override;
    // The control's help topic; always 1.
    LONG STDMETHODCALLTYPE OnHelp(LONG control) override;
    // Saves the page. With mail enabled every check comes before the first write: an empty
    // server, a port that is not 1 to 65535 in digits alone, a root certificate file that
    // does not exist, OAuth 2.0 without TLS, a token URL that is not https://host[:port][/path],
    // a missing client id, a missing client secret (client credentials) or refresh token
    // (refresh token grant) with none stored, a password that differs from its repetition or
    // holds characters windows-1251 lacks, a declined empty password, a retry delay, message
    // lifetime or retention that is not 0 to 2147483647 in digits alone (a value left as
    // loaded stands), a secret that cannot be stored, and the warning about a switched-off
    // certificate check answered with Cancel each answer 0 with a message naming the field,
    // the focus in that field and the configuration left as it was. 1 (and 1 through result)
    // once saved.
    LONG STDMETHODCALLTYPE Apply(LONG a, LONG b, LONG* result) override;

    // Enables the fields when the mail check box is checked, disables them when it is not;
    // of the sign-in's fields only those of the chosen method are enabled.
    virtual void EnableControls();

    // True from an edit of either password field until the password is saved or the page
    // is loaded again.
    bool PasswordEdited() const { return passwordEdited_; }
    // The connection test: whether one runs, and the Windows code the last one ended with
    // (0: every step succeeded; ERROR_IO_PENDING while it runs or before the first).
    bool TestRunning() const;
    DWORD TestResult() const { return testResult_; }
    // Reads the queue's figures into the queue's lines now.
    void RefreshQueue();

private:
    struct Values;
    HWND Item(int id) const { return GetDlgItem(window_, id); }
    void MarkModified();
    // The checks of Apply, and for the test; on success the values to store. The warning about
    // the certificate check is shown for Apply only.
    bool CheckFields(Values* values, bool forApply);
    // Writes the connection's values into key, as the service reads them. The secrets the
    // operator typed are stored protected; the others are copied as they are from storedKey
    // when one is given. False (and the field to correct in *failed) when a secret cannot be
    // stored; nothing else has been written then.
    bool WriteConnectionValues(HKEY key, Values& values, HKEY storedKey, int* failed);
    void BrowseRootCertificate();
    void StartTest();
    void TestEnded(LPARAM serial);
    // Cancels a test that runs and waits for its worker.
    void StopTest();
    void SetTestRunning(bool running);
    static LRESULT CALLBACK PageProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR id,
                                          DWORD_PTR data);

    bool passwordEdited_;
    string loadedRetry_;     // the retry field's text as loaded or last saved
    string loadedMaxAge_;    // the same for the message lifetime and the retention
    string loadedKeepDays_;
    HWND subclassed_;        // the window whose messages the page sees, null when none
    // The running test: the worker's thread, and what it shares with the page. The thread is
    // waited for before the run is let go.
    std::shared_ptr<ConnectionTestRun> test_;
    AHandle testThread_;
    DWORD testResult_;
    LONG testSerial_;
};

// How often the queue's lines are read while the page is visible, ms.
const UINT kQueueRefreshMs = 3000;
// How long closing the page waits for a cancelled connection test to end, ms. The test ends
// within about a second of its cancel event; a worker that does not keeps the module loaded
// and cleans up after itself.
const DWORD kConnectionTestStopMs = 5000;

// The page's tables, for the host's and the tests' eyes.
extern const HelpTopic kEmailHelpTopics[];   // ends with a row of zeros
extern const int kEmailLayoutRules[][7];
extern const size_t kEmailLayoutRuleCount;
