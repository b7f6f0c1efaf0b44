// What becomes of a message and of each of its recipients when the server refuses it for
// good or for now, what the recipient record carries into later passes, and what a crash
// right after the server took the message leaves.
#include <cstring>
#include "OwnProcess.h"
#include "OutboxPassFixture.h"
#include "RecipientRecord.h"

using namespace Postvane;

namespace smtptest {
namespace {

class OutboxRecipients : public OutboxPassTest {
protected:
    std::string Why(const std::string& name) {
        std::string path = WhyPath((bad + "\\" + name).c_str()).str();
        return PathExists(path) ? ReadFileBytes(path) : "<none>";
    }
    static RecipientEntry Entry(const char* address, RecipientState state, const char* reply) {
        return RecipientEntry{address, state, RealTime::Now().UTC(), reply};
    }
};

// A refusal of the whole message for good sets it aside at once; a refusal for now, or one
// that concerns the server (530: authentication required), keeps the old rules.
TEST_F(OutboxRecipients, RefusalOfTheWholeMessageForGoodSetsItAsideAtOnce) {
    const char refusedLog[] = "[2] Сервер окончательно отказал в приёме письма, оно отправлено в недоставленные: ";
    struct Case {
        const char* name;
        RuleServer::Stage stage;
        const char* reply;
        bool passCompletes;
        bool badMail;
        size_t counted;  // lines in the attempt log when it stays
    } const cases[] = {
        {"dot554.eml", RuleServer::Dot, "554 5.6.0 content rejected", true, true, 0},
        {"mail550.eml", RuleServer::Mail, "550 5.7.1 sender rejected", true, true, 0},
        {"mail530.eml", RuleServer::Mail, "530 5.7.0 authentication required", false, false, 0},
        {"dot451.eml", RuleServer::Dot, "451 4.3.0 try later", true, false, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        RuleServer server(FailAt(c.stage, c.reply));
        Serve(server);
        Put(c.name, Message("a@x", "x"));
        size_t logged = log.Count(refusedLog);
        EXPECT_EQ(c.passCompletes, OutboxPass(service, nullptr)) << log.Text();
        EXPECT_TRUE(server.Messages().empty());
        EXPECT_EQ(c.badMail, PathExists(bad + "\\" + c.name));
        EXPECT_EQ(!c.badMail, PathExists(outbox + "\\" + c.name));
        // The reason as the refusal was raised: it ends with the server's reply.
        std::string why = Why(c.name);
        if (c.badMail) {
            EXPECT_EQ(0u, why.find("X-Pennark-Refused: a@x; ")) << why;
            EXPECT_EQ(why.size() - std::strlen(c.reply) - 2, why.find(std::string(c.reply) + "\r\n")) << why;
        } else {
            EXPECT_EQ("<none>", why);
        }
        EXPECT_EQ(logged + c.badMail, log.Count(refusedLog)) << log.Text();
        if (c.counted) {
            EXPECT_EQ(c.counted, Lines(AttemptLog(c.name)));
        } else {
            EXPECT_EQ("<none>", AttemptLog(c.name)) << "not counted";
        }
        DeleteFileA((outbox + "\\" + c.name).c_str());
        DeleteFileA((outbox + "\\Wait\\" + c.name + ".msglog").c_str());
    }
}

// The record of what became of each recipient holds across passes: only those still owed are
// offered, and a message nobody is owed is finished without a connection.
TEST_F(OutboxRecipients, RecordedRecipientIsNeverOfferedAgain) {
    const RecipientEntry aDelivered = Entry("a@x", RecipientState::Delivered, "250 ok");
    const RecipientEntry aRefused = Entry("a@x", RecipientState::Refused, "550 5.1.1 no such user");
    const RecipientEntry bDelivered = Entry("b@x", RecipientState::Delivered, "250 ok");
    const RecipientEntry bRefused = Entry("b@x", RecipientState::Refused, "550 5.1.1 gone");
    struct Case {
        const char* name;
        std::vector<RecipientEntry> record;
        std::vector<std::string> offered;  // as the server saw RCPT TO
        bool archived;                     // else bad mail
        const char* why;
    } const cases[] = {
        {"1.eml", {aDelivered}, {" <b@x>"}, true, "<none>"},
        {"2.eml", {aRefused}, {" <b@x>"}, true, "<none>"},
        {"3.eml", {aRefused, bDelivered}, {}, true, "<none>"},
        {"4.eml", {aRefused, bRefused},
         {}, false, "X-Pennark-Refused: a@x; 550 5.1.1 no such user\r\nX-Pennark-Refused: b@x; 550 5.1.1 gone\r\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        RuleServer server;
        Serve(server);
        std::string path = Put(c.name, Message("a@x, b@x", c.name));
        ASSERT_TRUE(AppendRecipientRecord(RecipientRecordPath(outbox.c_str(), path.c_str()), c.record));
        EXPECT_TRUE(OutboxPass(service, nullptr)) << log.Text();
        std::vector<RuleServer::Message> messages = server.Messages();
        EXPECT_EQ(c.offered.empty() ? 0u : 1u, messages.size());
        if (!messages.empty()) {
            EXPECT_EQ(c.offered, messages[0].recipients);
        }
        EXPECT_EQ(c.offered.empty() ? 0 : 1, server.Connections()) << "nobody owed: no connection";
        EXPECT_FALSE(PathExists(path));
        EXPECT_FALSE(PathExists(RecipientRecordPath(outbox.c_str(), path.c_str()).str())) << "gone with its message";
        EXPECT_EQ(c.archived, PathExists(archive + "\\" + c.name));
        EXPECT_EQ(c.why, Why(c.name));
    }
}

// The process that got the server's final reply ends before it can record it (the test's own
// process, ended from the trace of that reply): the message is still owed to everybody, and
// the next run sends it once more, exactly once.
TEST_F(OutboxRecipients, DeliveryNotRecordedBeforeACrashIsSentAgainOnce) {
    const char kOutbox[] = "PENNARK_TEST_CRASH_OUTBOX";
    if (testing_support::InOwnProcess()) {
        char shared[MAX_PATH];
        DWORD n = GetEnvironmentVariableA(kOutbox, shared, sizeof shared);
        ASSERT_TRUE(n > 0 && n < sizeof shared);
        service.outboxDirectory = shared;
        RuleServer server;
        Serve(server);
        static bool contentSent;
        contentSent = false;
        SetSmtpTraceSink([](void*, bool sent, const string& line) {
            if (sent) contentSent = line.str() == ".\r\n";
            else if (contentSent && line.str().compare(0, 3, "250") == 0) TerminateProcess(GetCurrentProcess(), 0);
        }, nullptr);
        OutboxPass(service, nullptr);
        // Only the crash ends this process with 0.
        FAIL() << "the process goes on after the final reply";
    }
    std::string path = Put("1.eml", Message("a@x, b@x", "crash"));
    SetEnvironmentVariableA(kOutbox, outbox.c_str());
    testing_support::RunInOwnProcess();
    SetEnvironmentVariableA(kOutbox, nullptr);
    ASSERT_TRUE(PathExists(path)) << "the crash came before the message was finished";
    for (const RecipientEntry& e : ReadRecipientRecord(RecipientRecordPath(outbox.c_str(), path.c_str())))
        EXPECT_EQ(RecipientState::Pending, e.state) << e.address.str();

    RuleServer server;
    Serve(server);
    EXPECT_TRUE(OutboxPass(service, nullptr)) << log.Text();
    EXPECT_TRUE(OutboxPass(service, nullptr));
    ASSERT_EQ(1u, server.Messages().size());
    EXPECT_EQ((std::vector<std::string>{" <a@x>", " <b@x>"}), server.Messages()[0].recipients);
    EXPECT_EQ((std::vector<std::string>{"1.eml"}), ListDir(archive));
}

}  // namespace
}  // namespace smtptest
