// What the tests of whole service runs share: the service started through its exports with
// an outbox, archive, bad-mail directory and logs of the test's own, the SMTP account in the
// registry, names answered in-process, and helpers that submit messages and look at where
// they went.
#pragma once
#include <gtest/gtest.h>
#include <map>
#include <string>
#include <vector>
#include "LogReading.h"
#include "QueueStatus.h"
#include "SmtpTestSupport.h"
#include "Submit.h"

namespace deliverytest {

using smtptest::kLogin;
using smtptest::kPassword;
using smtptest::kSender;
using smtptest::kSmtpKey;

const char* const kMail = testing_support::kMailKey;
const char kPause[] = "Пауза перед повторной попыткой отправить почту";

using testing_support::HeaderOf;

using testing_support::CallbackProbe;

class DeliveryRun : public ::testing::Test {
protected:
    void SetUp() override {
        saved_ = Postvane::ReplyTimeouts();
        SetTimeouts(5000, 5000);
        smtptest::FakeNames::Install("localhost", "127.0.0.1");
        outbox = dir / "Outbox";
        archive = dir / "Sent";
        bad = dir / "Bad";
        CreateDirectoryA(outbox.c_str(), nullptr);
        testing_support::SetRegText(kMail, "DebugLog", ServiceLogPath());
        testing_support::SetRegText(kMail, "LogDir", dir / "logs");
        testing_support::SetRegText(kMail, "OutboxDir", outbox);
        testing_support::SetRegText(kMail, "ArchiveDir", archive);
        testing_support::SetRegText(kMail, "BadMailDir", bad);
        testing_support::SetRegNumber(kMail, "Retry Timeout", 1);
        testing_support::SetRegText(kSmtpKey, "Server", "127.0.0.1");
        testing_support::SetRegText(kSmtpKey, "Login", kLogin);
        testing_support::SetRegText(kSmtpKey, "ReversePath", kSender);
        smtptest::StorePassword(kPassword);
    }
    void TearDown() override {
        PostvaneStop(1);
        SetPostvaneCallback(nullptr, nullptr);
        Postvane::Service().secondMs = 1000;
        Postvane::ReplyTimeouts() = saved_;
        smtptest::FakeNames::Remove();
    }

    // Reply time-outs: those of the steps before the data, and those of the final dot and
    // QUIT (a time-out after the server took the message makes the service send it again).
    static void SetTimeouts(DWORD beforeData, DWORD afterData) {
        Postvane::SmtpTimeouts& t = Postvane::ReplyTimeouts();
        t.greeting = t.hello = t.auth = t.mailFrom = t.rcptTo = t.dataInit = beforeData;
        t.dataEnd = t.quit = afterData;
    }
    static void UsePort(unsigned short port) { testing_support::SetRegText(kSmtpKey, "Port", std::to_string(port)); }

    // Submits one message through the export; its subject names it.
    static std::string Submit(const std::string& subject, const std::string& text,
                              const SmtpMailAttachment* attachment = nullptr) {
        SmtpMail mail = {};
        mail.Size = sizeof mail;
        mail.To = "customer@example.test";
        mail.Subject = subject.c_str();
        mail.Text = text.c_str();
        mail.Attachments = attachment;
        mail.AttachmentCount = attachment ? 1 : 0;
        mail.From = "Kiosk 7";
        EXPECT_TRUE(SmtpSendMail(&mail)) << subject << ": error " << GetLastError();
        return subject;
    }

    // Names of the files of a directory, without subdirectories and without the service's
    // record of its last failure (no message's file).
    static std::vector<std::string> Files(const std::string& directory) {
        std::vector<std::string> names;
        for (const std::string& name : testing_support::ListDir(directory))
            if (!(GetFileAttributesA((directory + "\\" + name).c_str()) & FILE_ATTRIBUTE_DIRECTORY) &&
                name != Postvane::kLastFailureFile)
                names.push_back(name);
        return names;
    }
    // Every message has left the outbox and the archive holds count files.
    bool Drained(size_t count) const { return Files(outbox).empty() && Files(archive).size() == count; }
    std::string State() const {
        std::string state = "outbox " + std::to_string(Files(outbox).size()) + " files, archive " +
                            std::to_string(Files(archive).size()) + ", bad mail " + std::to_string(Files(bad).size());
        // What lies in bad mail tells why a message went there: each file's name and its start.
        for (const std::string& name : Files(bad)) {
            std::string start = testing_support::ReadFileBytes(bad + "\\" + name).substr(0, 300);
            for (char& c : start)
                if (c == '\r' || c == '\n') c = ' ';
            state += "; " + name + ": " + start;
        }
        return state;
    }

    // Archived message bytes by subject; a subject archived twice fails the test.
    std::map<std::string, std::string> Archived() const {
        std::map<std::string, std::string> bySubject;
        for (const std::string& name : Files(archive)) {
            std::string bytes = testing_support::ReadFileBytes(archive + "\\" + name);
            std::string subject = HeaderOf(bytes, "Subject: ");
            EXPECT_TRUE(bySubject.emplace(subject, bytes).second) << "archived twice: " << subject;
        }
        return bySubject;
    }

    std::string ServiceLogPath() const { return dir / "service.txt"; }
    size_t ServiceLogCount(const std::string& text) const {
        size_t n = 0;
        for (const std::string& r : postvane_test::Records(ServiceLogPath()))
            if (r.find(text) != std::string::npos) ++n;
        return n;
    }

    smtptest::Winsock winsock;
    testing_support::TempDir dir;
    std::string outbox, archive, bad;
    Postvane::SmtpTimeouts saved_;
};

}  // namespace deliverytest
