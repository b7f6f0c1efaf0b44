// The e-mail settings page: whether mail is sent, the SMTP server and port, the account and
// its password, the terminal's sender address, the default recipient, the retry delay and the
// connection's security mode, loaded from and saved to the registry keys that the delivery
// service reads.
#pragma once
#include "ControlPlugin.h"
#include "EmailPageIds.h"

class Page_Email : public ControlPluginPage {
public:
    explicit Page_Email(IPennarkControlHost* host);

    // Lays the page out and loads it from the Mail key and its SMTP subkey; the password
    // fields stay empty. Registry failures raise the registry's exceptions.
    LONG STDMETHODCALLTYPE AttachWindow(LONG window) override;
    // Marks the page changed on the operator's edits; 1 for the fields' commands.
    LONG STDMETHODCALLTYPE OnCommand(unsigned short code, unsigned short id, LONG control) override;
    // The control's help topic; always 1.
    LONG STDMETHODCALLTYPE OnHelp(LONG control) override;
    // Saves the page. With mail enabled every check comes before the first write: an empty
    // server, a port that is not 1 to 65535 in digits alone, a password that differs from its
    // repetition or holds characters windows-1251 lacks, a declined empty password, a retry
    // delay that is not 0 to 2147483647 in digits alone (a delay left as loaded stands) and
    // a password that cannot be stored each answer 0 with a message naming the field, the
    // focus in that field and the configuration left as it was. 1 (and 1 through result)
    // once saved.
    LONG STDMETHODCALLTYPE Apply(LONG a, LONG b, LONG* result) override;

    // Enables the fields when the mail check box is checked, disables them when it is not.
    virtual void EnableControls();

    // True from an edit of either password field until the password is saved or the page
    // is loaded again.
    bool PasswordEdited() const { return passwordEdited_; }

private:
    HWND Item(int id) const { return GetDlgItem(window_, id); }
    void MarkModified();
    // The checks of Apply; on success the password to store (windows-1251; when edited) and
    // the retry delay.
    bool CheckFields(bool enabled, string* password, int* retry);

    bool passwordEdited_;
    string loadedRetry_;  // the retry field's text as loaded or last saved
};

// The page's tables, for the host's and the tests' eyes.
extern const HelpTopic kEmailHelpTopics[];   // ends with a row of zeros
extern const int kEmailLayoutRules[][7];
extern const size_t kEmailLayoutRuleCount;
