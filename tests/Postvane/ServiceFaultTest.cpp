// The running service against a server that fails at random points of random transactions:
// it drops the connection, stalls past the reply time-out or answers an error code, at any
// stage from the connection to QUIT, on the first transaction of a session or a later one;
// and that always fails the same way: it drops every
// QUIT, and refuses one recipient for now, every time. Whatever happens, every message is
// delivered, none is lost, and none twice: the server's 250 to the final dot makes a
// message delivered. The message to the refused recipient is given up at its class's limit.
#include <atomic>
#include <mutex>
#include <cstdio>
#include <random>
#include <set>
#include "DeliveryRun.h"
#include "RuleServer.h"

using postvane_test::Eventually;
using smtppeer::RuleServer;

namespace deliverytest {
namespace {

const unsigned kSeed = 20261208;
const int kMessages = 80;
const int kWave = 10;                    // messages submitted together
const double kFaultyShare = 0.75;        // share of connections that meet a fault
const DWORD kShortTimeout = 250;         // replies before the data; a stall there costs this much
const DWORD kLongTimeout = 4000;         // final dot and QUIT; only a real stall may exceed it
const int kLongStallsPerStage = 1;       // stalls that cost kLongTimeout, at content, dot and QUIT
const DWORD kWait = 60000;               // bound of each wait; only a fault of the service reaches it
const char kRefused[] = "refused@example.test";  // the recipient the server refuses for now, always
const int kRefusedLimit = 3;             // attempts after which its message is given up

// Decides, on the server's thread, each connection's fault: whether there is one, at which
// stage, and what it is.
class FaultPlan {
public:
    explicit FaultPlan(unsigned seed) : random_(seed) {}

    RuleServer::Decision Decide(RuleServer::Stage stage, const std::string& line) {
        std::lock_guard<std::mutex> guard(lock_);
        if (stage == RuleServer::Connect) {
            Plan(RuleServer::Connect);
            mailSeen_ = false;
        } else if (stage == RuleServer::Mail) {
            ++transactions_;
            // Each later transaction of a session draws a fault of its own.
            if (mailSeen_) Plan(RuleServer::Mail);
            mailSeen_ = true;
        } else if (stage == RuleServer::Quit && !armed_) {
            Plan(RuleServer::Quit);  // most sessions end at a fault: QUIT gets its own share
        }
        RuleServer::Decision d;
        if (armed_ && stage == stage_) {
            armed_ = false;
            d.action = action_;
            d.reply = reply_;
            ++struck_[stage][action_];
        } else if (stage == RuleServer::Quit) {
            d.action = RuleServer::Drop;  // every QUIT, for good
        } else if (stage == RuleServer::Rcpt && line.find(kRefused) != std::string::npos) {
            d.action = RuleServer::Error;  // this recipient, for now, every time
            d.reply = "450 4.2.1 mailbox busy";
            ++refusals_;
        }
        return d;
    }
    int Refusals() {
        std::lock_guard<std::mutex> guard(lock_);
        return refusals_;
    }
    int Transactions() {
        std::lock_guard<std::mutex> guard(lock_);
        return transactions_;
    }
    // Faults from now on (true) or none (false).
    void Enable(bool on) { on_ = on; }
    int Struck(RuleServer::Stage stage, RuleServer::Action action) {
        std::lock_guard<std::mutex> guard(lock_);
        return struck_[stage][action];
    }
    int Struck(RuleServer::Stage stage) {
        return Struck(stage, RuleServer::Drop) + Struck(stage, RuleServer::Stall) + Struck(stage, RuleServer::Error);
    }

private:
    // A fault, or none, at a stage from first on.
    void Plan(RuleServer::Stage first) {
        armed_ = on_ && std::uniform_real_distribution<double>(0, 1)(random_) < kFaultyShare;
        if (!armed_) return;
        stage_ = RuleServer::Stage(std::uniform_int_distribution<int>(first, RuleServer::StageCount - 1)(random_));
        int pick = std::uniform_int_distribution<int>(0, 9)(random_);
        action_ = pick < 4 ? RuleServer::Drop : pick < 8 ? RuleServer::Error : RuleServer::Stall;
        bool costly = stage_ == RuleServer::Content || stage_ == RuleServer::Dot || stage_ == RuleServer::Quit;
        if (action_ == RuleServer::Stall && costly && struck_[stage_][RuleServer::Stall] >= kLongStallsPerStage)
            action_ = RuleServer::Drop;
        static const char* const kReplies[] = {"421 4.3.2 closing", "451 4.3.0 local error", "452 4.3.1 no room",
                                               "500 5.5.1 what",    "550 5.1.1 no mailbox",  "554 5.3.0 failed"};
        // Inside a transaction only a refusal for now is a passing fault: one for good sets the
        // message aside.
        bool transaction = stage_ == RuleServer::Mail || stage_ == RuleServer::Rcpt || stage_ == RuleServer::Content ||
                           stage_ == RuleServer::Dot;
        reply_ = kReplies[std::uniform_int_distribution<int>(0, transaction ? 2 : 5)(random_)];
    }

    std::mutex lock_;
    std::mt19937 random_;
    std::atomic<bool> on_{true};
    bool armed_ = false;
    RuleServer::Stage stage_ = RuleServer::Connect;
    RuleServer::Action action_ = RuleServer::Proceed;
    std::string reply_;
    int struck_[RuleServer::StageCount][RuleServer::Error + 1] = {};
    int refusals_ = 0;
    int transactions_ = 0;
    bool mailSeen_ = false;  // the connection has had a transaction
};

class ServiceFaults : public DeliveryRun {};

TEST_F(ServiceFaults, EveryMessageIsDeliveredOnceWhateverTheServerDoes) {
    FaultPlan plan(kSeed);
    RuleServer server([&plan](RuleServer::Stage stage, const std::string& line) { return plan.Decide(stage, line); },
                      30000);
    UsePort(server.Port());
    SetTimeouts(kShortTimeout, kLongTimeout);
    Postvane::Service().secondMs = 10;  // "Retry Timeout" 1 s and the wait after a counted failure: 10 ms
    testing_support::SetRegNumber(testing_support::MailClassKey("limited"), "MaxAttempt", kRefusedLimit);
    ASSERT_TRUE(PostvaneStart());
    SmtpMail refused = {};
    refused.Size = sizeof refused;
    refused.To = kRefused;
    refused.Subject = "refused";
    refused.Class = "limited";
    ASSERT_TRUE(SmtpSendMail(&refused));
    std::vector<std::string> refusedFile = Files(outbox);

    // Waves of messages, each while the service still works on the one before.
    std::vector<std::string> subjects;
    for (int n = 0; n < kMessages; ++n) {
        if (n % kWave == 0 && n > 0) {
            ASSERT_TRUE(Eventually([&] { return Files(outbox).size() <= 3; }, kWait)) << State();
        }
        subjects.push_back(Submit("message " + std::to_string(n), "text of message " + std::to_string(n) +
                                                                        "\r\n.a line with a dot\r\n"));
    }
    auto deliveredOnce = [&] {
        std::set<std::string> seen;
        for (const RuleServer::Message& m : server.Messages()) seen.insert(HeaderOf(m.content, "Subject: "));
        return seen.size() >= size_t(kMessages);
    };
    bool allThrough = Eventually(deliveredOnce, 2 * kWait);
    plan.Enable(false);
    ASSERT_TRUE(Eventually([&] { return Drained(size_t(kMessages)) && !Files(bad).empty(); }, kWait)) << State();
    PostvaneStop(1);
    EXPECT_TRUE(allThrough) << "every message got through while the faults went on";

    std::map<std::string, std::vector<RuleServer::Message>> bySubject;
    for (const RuleServer::Message& m : server.Messages()) bySubject[HeaderOf(m.content, "Subject: ")].push_back(m);
    std::map<std::string, std::string> archived = Archived();
    int duplicates = 0;
    for (const std::string& subject : subjects) {
        const std::vector<RuleServer::Message>& deliveries = bySubject[subject];
        ASSERT_FALSE(deliveries.empty()) << subject << " was lost";
        // The server's 250 to the final dot made it delivered, whatever came after.
        for (size_t i = 0; i + 1 < deliveries.size(); ++i) {
            ++duplicates;
            ADD_FAILURE() << subject << " was sent again although the server had acknowledged it"
                          << (deliveries[i].faultAfterward ? " (a fault followed)" : "");
        }
        EXPECT_TRUE(deliveries.back().content == archived[subject]) << subject << ": delivered as stored";
        ASSERT_EQ(1u, deliveries.back().recipients.size()) << subject;
        EXPECT_NE(std::string::npos, deliveries.back().recipients[0].find("<customer@example.test>")) << subject;
    }
    EXPECT_EQ(size_t(kMessages), bySubject.size()) << "nothing but the submitted messages arrived";
    EXPECT_EQ(size_t(kMessages), archived.size()) << "the archive holds each message once";
    EXPECT_TRUE(Files(outbox).empty());
    EXPECT_TRUE(Files(outbox + "\\Wait").empty()) << "attempt logs go with their messages";
    refusedFile.push_back(refusedFile[0] + ".why");
    EXPECT_EQ(refusedFile, Files(bad)) << "only the refused recipient's message is given up, at its class's limit";
    EXPECT_EQ(0u, bySubject.count("refused"));
    EXPECT_GE(kRefusedLimit, plan.Refusals()) << "each refusal counted";
    EXPECT_LE(1, plan.Refusals());

    for (int s = 0; s < RuleServer::StageCount; ++s)
        EXPECT_GT(plan.Struck(RuleServer::Stage(s)), 0) << "no fault at " << RuleServer::StageName(RuleServer::Stage(s));
    EXPECT_GE(plan.Transactions(), 150) << "a few hundred transactions";
    EXPECT_LT(server.Connections(), plan.Transactions()) << "sessions carry several messages";
    std::string summary = std::to_string(server.Connections()) + " connections, " +
                          std::to_string(plan.Transactions()) + " transactions, " + std::to_string(server.Faults()) +
                          " faults (every QUIT dropped), " + std::to_string(duplicates) + " second deliveries; stalls at";
    for (int s = 0; s < RuleServer::StageCount; ++s)
        summary += " " + std::string(RuleServer::StageName(RuleServer::Stage(s))) + "=" +
                   std::to_string(plan.Struck(RuleServer::Stage(s), RuleServer::Stall));
    RecordProperty("summary", summary);
    std::printf("%s\n", summary.c_str());
}

}  // namespace
}  // namespace deliverytest
