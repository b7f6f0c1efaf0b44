// What the tests of outbox passes share: a service object that is not running, an outbox,
// archive and bad-mail directory of the test's own, an SMTP server whose rule fails where a
// test tells it to, and helpers that put messages in place and look at where they went.
#pragma once
#include <thread>
#include "Outbox.h"
#include "QueueStatus.h"
#include "RuleServer.h"
#include "SmtpTestSupport.h"
#include "qlframe.h"

namespace smtptest {

using smtppeer::RuleServer;
using testing_support::ListDir;
using testing_support::PathExists;
using testing_support::ReadFileBytes;
using testing_support::SetRegNumber;
using testing_support::SetRegText;
using testing_support::WriteFileBytes;
using testing_support::kMailKey;
using testing_support::DeleteRegValue;
using testing_support::FixedClock;

const std::string kGold = testing_support::MailClassKey("gold");
// The moment of the tests that fix the clock.
const SYSTEMTIME kStart = testing_support::Moment(2026, 12, 8, 12);

inline size_t Occurrences(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

// The files of the outbox's wait directory that belong to messages: all but the service's
// record of its last failure.
inline std::vector<std::string> MessageStateFiles(const std::string& outbox) {
    std::vector<std::string> names;
    for (const std::string& name : ListDir(outbox + "\\Wait"))
        if (name != Postvane::kLastFailureFile) names.push_back(name);
    return names;
}

inline std::string Message(const std::string& to, const std::string& subject, const std::string& mailClass = "") {
    return "From: kiosk\r\nTo: " + to + "\r\nSubject: " + subject + "\r\n" +
           (mailClass.empty() ? "" : "X-Class: " + mailClass + "\r\n") + "\r\nbody of " + subject + "\r\n";
}

// The dial-up test module is bound when the first client is built, so the registry names
// it before the fixture's service object exists.
struct DialupModule {
    DialupModule() {
        SetRegText(testing_support::kDialupKey, "ServiceModule", testing_support::BesideTests("dialup-test.dll"));
        SetEnvironmentVariableA("PENNARK_DIALUP_TRACE", nullptr);
    }
};

class OutboxPassTest : private DialupModule, public SmtpFixture {
protected:
    void SetUp() override {
        SmtpFixture::SetUp();
        outbox = dir / "Outbox";
        archive = dir / "Sent";
        bad = dir / "Bad";
        CreateDirectoryA(outbox.c_str(), nullptr);
        service.outboxDirectory = outbox.c_str();
        SetRegText(kMailKey, "ArchiveDir", archive);
        SetRegText(kMailKey, "BadMailDir", bad);
    }
    void Serve(RuleServer& server) { UsePort(server.Port()); }
    std::string Put(const std::string& name, const std::string& bytes) {
        WriteFileBytes(outbox + "\\" + name, bytes);
        return outbox + "\\" + name;
    }
    std::string AttemptLog(const std::string& name) {
        std::string path = outbox + "\\Wait\\" + name + ".msglog";
        return PathExists(path) ? ReadFileBytes(path) : "<none>";
    }
    size_t Lines(const std::string& text) {
        size_t n = 0;
        for (size_t at = text.find("\r\n"); at != std::string::npos; at = text.find("\r\n", at + 2)) ++n;
        return n;
    }
    static std::vector<std::string> Subjects(const RuleServer& server) {
        std::vector<std::string> subjects;
        for (const RuleServer::Message& m : server.Messages()) {
            size_t at = m.content.find("Subject: ");
            subjects.push_back(m.content.substr(at + 9, m.content.find("\r\n", at) - at - 9));
        }
        return subjects;
    }
    // A server whose rule fails one stage with the given reply (empty: drops the connection).
    static RuleServer::Rule FailAt(RuleServer::Stage stage, const std::string& reply,
                                   const std::string& lineContains = "") {
        return [=](RuleServer::Stage s, const std::string& line) {
            RuleServer::Decision d;
            if (s == stage && line.find(lineContains) != std::string::npos) {
                d.action = reply.empty() ? RuleServer::Drop : RuleServer::Error;
                d.reply = reply;
            }
            return d;
        };
    }

    // A server whose rule answers every occurrence of one stage with the action.
    static RuleServer::Rule At(RuleServer::Stage stage, RuleServer::Action action, const std::string& reply = "") {
        return [=](RuleServer::Stage s, const std::string&) {
            RuleServer::Decision d;
            if (s == stage) {
                d.action = action;
                d.reply = reply;
            }
            return d;
        };
    }
    // Gives the message one counted failure a day ago: it is due, and it has an attempt log.
    std::string OldAttempt(const std::string& name) {
        CreateDirectoryA((outbox + "\\Wait").c_str(), nullptr);
        std::string path = outbox + "\\Wait\\" + name + ".msglog";
        WriteFileBytes(path, Format(0, RealTime::Now().UTC() - RealTime(86400 * RealTime::Second), true, false).str() + "\r\n");
        return path;
    }

    testing_support::TempDir dir;
    std::string outbox, archive, bad;
    testing_support::FixedZone zone;  // UTC+3
};

// Requests a stop of the service when the object is not gone within ms: a pass that would
// never end then fails its test instead of hanging it.
class Deadline {
public:
    Deadline(Postvane::MailService& service, DWORD ms)
        : done_(CreateEventA(nullptr, TRUE, FALSE, nullptr)), thread_([this, &service, ms] {
              if (WaitForSingleObject(done_, ms) == WAIT_TIMEOUT) service.stopEvent.Set();
          }) {}
    ~Deadline() {
        SetEvent(done_);
        thread_.join();
        CloseHandle(done_);
    }
private:
    HANDLE done_;
    std::thread thread_;
};

// Holds a file open the way a backup tool or a virus scanner may: others can read it, but
// cannot delete it, until Release.
class HeldFile {
public:
    explicit HeldFile(const std::string& path)
        : handle_(CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr)) {}
    ~HeldFile() { Release(); }
    HeldFile(const HeldFile&) = delete;
    HeldFile& operator=(const HeldFile&) = delete;
    bool IsHeld() const { return handle_ != INVALID_HANDLE_VALUE; }
    void Release() {
        if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
        handle_ = INVALID_HANDLE_VALUE;
    }
private:
    HANDLE handle_;
};

}  // namespace smtptest
