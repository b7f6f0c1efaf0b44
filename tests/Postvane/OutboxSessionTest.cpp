// One SMTP session for the messages of a pass: what the server does in the middle of a
// session decides which messages go on it, which open a new one, and which wait.
#include <memory>
#include "OutboxPassFixture.h"
#include "Settled.h"

using namespace Postvane;

namespace smtptest {
namespace {

class OutboxSession : public OutboxPassTest {};

TEST_F(OutboxSession, ServerEventsInTheMiddleOfASessionKeepEveryMessageOnceAndInStep) {
    struct Case {
        const char* what;
        RuleServer::Stage stage;  // where the server acts, the nth time it gets there
        int nth;
        RuleServer::Action action;
        const char* reply;
        bool passCompletes;
        std::vector<std::string> delivered;  // subjects, in order, after one pass
        int connections;
        size_t counted;  // lines in the attempt log of message 2
    } const cases[] = {
        {"quiet server", RuleServer::Mail, 0, RuleServer::Proceed, "", true, {"m1", "m2", "m3", "m4"}, 1, 0},
        // Closed after the third message's final reply: the fourth opens a new session.
        {"dropped before the fourth", RuleServer::Mail, 4, RuleServer::Drop, "", true, {"m1", "m2", "m3", "m4"}, 2, 0},
        // 421 to MAIL of a kept session: the message goes once more on a new one.
        {"421 to a later MAIL", RuleServer::Mail, 2, RuleServer::Error, "421 4.3.2 closing", true, {"m1", "m2", "m3", "m4"}, 2, 0},
        // 421 inside a transaction concerns the server: nothing counted, the pass ends.
        {"421 to RCPT", RuleServer::Rcpt, 2, RuleServer::Error, "421 4.3.2 closing", false, {"m1"}, 1, 0},
        // A refused recipient inside a pipelined group is its message's failure; RSET, and the
        // session carries the rest.
        {"recipient refused for now", RuleServer::Rcpt, 2, RuleServer::Error, "450 4.2.1 busy", true, {"m1", "m3", "m4"}, 1, 1},
        {"content refused for now", RuleServer::Dot, 2, RuleServer::Error, "451 4.7.1 later", true, {"m1", "m3", "m4"}, 1, 1},
        // Refused for good: set aside at once, counted against nothing.
        {"recipient refused", RuleServer::Rcpt, 2, RuleServer::Error, "550 5.1.1 no such user", true, {"m1", "m3", "m4"}, 1, 0},
        {"content refused", RuleServer::Dot, 2, RuleServer::Error, "554 5.7.1 rejected", true, {"m1", "m3", "m4"}, 1, 0},
    };
    int round = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        auto seen = std::make_shared<int>(0);
        RuleServer server([c, seen](RuleServer::Stage s, const std::string&) {
            RuleServer::Decision d;
            if (s == c.stage && ++*seen == c.nth) {
                d.action = c.action;
                d.reply = c.reply;
            }
            return d;
        });
        Serve(server);
        std::vector<std::string> names;
        for (int m = 1; m <= 4; ++m) {
            names.push_back("r" + std::to_string(round) + "-" + std::to_string(m) + ".eml");
            Put(names.back(), Message("a@x", "m" + std::to_string(m)));
        }
        ++round;
        EXPECT_EQ(c.passCompletes, OutboxPass(service, nullptr));
        EXPECT_EQ(c.delivered, Subjects(server));
        EXPECT_EQ(c.connections, server.Connections());
        if (c.counted) {
            EXPECT_EQ(c.counted, Lines(AttemptLog(names[1])));
        } else {
            EXPECT_EQ("<none>", AttemptLog(names[1]));
        }
        for (const std::string& name : names) {
            RemoveFile((outbox + "\\" + name).c_str());
            RemoveFile((outbox + "\\Wait\\" + name + ".msglog").c_str());
        }
    }
}

// A stop request while the reply to the final dot is owed: the reply that comes within the
// grace is read, so the message the server took is archived, not sent again at the next start.
TEST_F(OutboxSession, StopWhileTheFinalReplyIsOwedWaitsForIt) {
    smtppeer::ScriptedServer server;
    server.Send("220 ready\r\n")
        .Reply("250-peer\r\n250-PIPELINING\r\n250 AUTH PLAIN\r\n")
        .Reply("235 ok\r\n")
        .Expect(3)
        .Send("250 ok\r\n250 ok\r\n354 go\r\n")
        .ExpectLine(".")
        .Pause(2500)
        .Send("250 queued\r\n");
    UsePort(server.Port());
    server.Start();
    std::string path = Put("1.eml", Message("a@x", "owed"));
    {
        StopLater stop(service, 1000);
        OutboxPass(service, nullptr);
    }
    EXPECT_FALSE(PathExists(path)) << "the server's 250 made it delivered";
    EXPECT_TRUE(PathExists(archive + "\\1.eml"));
    EXPECT_EQ("<none>", AttemptLog("1.eml"));
}

}  // namespace
}  // namespace smtptest

namespace smtptest {
namespace {

// A message file larger than what is read with its headers goes out in blocks as it is read:
// line ends, dots and a CR LF split between two blocks come through as in a small one.
TEST_F(OutboxSession, LargeMessageFileArrivesAsStoredWhateverItsBlocksSplit) {
    RuleServer server;
    Serve(server);
    for (size_t split : {kHeaderWindow - 1, kHeaderWindow, kContentReadBlock + kHeaderWindow - 1}) {
        SCOPED_TRACE(split);
        std::string body = ".first\r\n";
        while (body.size() < split) body += "line of text\r\n";
        body.resize(split);
        body += "\r\n.dot\nbare lf\rbare cr\r\n";
        std::string file = "From: kiosk\r\nSubject: big\r\n\r\n" + body;  // no To: the fall-back is added
        SetRegText(kSmtpKey, "Recipient", "a@x");
        Put("big.eml", file);
        ASSERT_TRUE(OutboxPass(service, nullptr));
        std::string expected = "From: kiosk\r\nSubject: big\r\nTo: a@x\r\n\r\n" + body;
        size_t at = 0;
        while ((at = expected.find_first_of("\r\n", at)) != std::string::npos) {
            bool crlf = expected.compare(at, 2, "\r\n") == 0;
            expected.replace(at, crlf ? 2 : 1, "\r\n");
            at += 2;
        }
        ASSERT_FALSE(server.Messages().empty());
        EXPECT_TRUE(expected == server.Messages().back().content) << "delivered as stored";
        RemoveFile((archive + "\\big.eml").c_str());
    }
}

}  // namespace
}  // namespace smtptest
