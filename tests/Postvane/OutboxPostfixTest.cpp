// Passes over the outbox against a private Postfix on a loopback port: its size limit, a
// recipient it refuses for good and one it refuses for now decide, recipient by recipient,
// where each message ends and that nobody gets it twice.
#include "OutboxPassFixture.h"
#include "RecipientRecord.h"

using namespace Postvane;
using smtppeer::HostPeer;

namespace smtptest {
namespace {

const unsigned kSizeLimit = 100000;

class OutboxPostfix : public OutboxPassTest {
protected:
    void SetUp() override {
        OutboxPassTest::SetUp();
        SetSmtpTraceSink(&CountUploads, &uploads);
    }
    // Plain SMTP with AUTH: what is looked at here does not depend on TLS.
    static HostPeer::Options Postfix() {
        HostPeer::Options o;
        o.server = "postfix";
        o.plain = true;
        o.login = kLogin;
        o.password = kPassword;
        o.sizeLimit = kSizeLimit;
        return o;
    }
    // Content goes out once per DATA or BDAT command.
    static void CountUploads(void* context, bool sent, const string& line) {
        std::string text = line.str();
        if (sent && (text.compare(0, 4, "DATA") == 0 || text.compare(0, 5, "BDAT ") == 0)) ++*static_cast<size_t*>(context);
    }
    // "<subject>: <recipients>" of each message the peer has been handed, once no more than
    // expected come. Each report precedes the reply to the content, so it is there by now.
    static std::vector<std::string> Delivered(HostPeer& peer, size_t expected) {
        std::vector<std::string> out;
        for (const smtppeer::DeliveredMessage& m : peer.Messages(expected + 1, 1000)) {
            size_t at = m.content.find("Subject: ");
            out.push_back(m.content.substr(at + 9, m.content.find("\r\n", at) - at - 9) + ": " + m.recipients);
        }
        return out;
    }
    std::string Why(const std::string& name) {
        std::string path = WhyPath((bad + "\\" + name).c_str()).str();
        return PathExists(path) ? ReadFileBytes(path) : "<none>";
    }
    size_t uploads = 0;
};

// Refusals for good: the server's size limit, with SIZE offered or only at the end of the
// data, and a recipient refused alone or beside one that takes the message. Each is settled
// in its one pass; a later pass sends nothing again.
TEST_F(OutboxPostfix, RefusalForGoodSettlesTheMessageInOnePass) {
    HostPeer withSize(Postfix());
    HostPeer::Options o = Postfix();
    o.noSize = true;
    o.refuse = {"bad@relay.test"};
    HostPeer withoutSize(o);
    ASSERT_TRUE(withSize.Started()) << withSize.Error();
    ASSERT_TRUE(withoutSize.Started()) << withoutSize.Error();
    FixedClock clock(kStart);
    std::string large;
    while (large.size() < 200 * 1024) large += std::string(76, 'x') + "\r\n";
    struct Case {
        const char* name;
        HostPeer& peer;
        const char* to;
        bool isLarge;
        size_t maxUploads;
        const char* delivered;  // "" when nobody got it: bad mail
        const char* why;        // what the side file begins with
        const char* reply;      // the server's words in it
        const char* logged;     // a record of the pass
    } const cases[] = {
        {"size.eml", withSize, "good@relay.test", true, 0, "", "X-Pennark-Refused: good@relay.test; ", "",
         "[2] Сервер окончательно отказал в приёме письма, оно отправлено в недоставленные: "},
        {"nosize.eml", withoutSize, "good@relay.test", true, 1, "", "X-Pennark-Refused: good@relay.test; ", "552 5.3.4 ",
         "[2] Сервер окончательно отказал в приёме письма, оно отправлено в недоставленные: "},
        // Pipelined, the content may go out before the refusal is read; the server drops it.
        {"alone.eml", withoutSize, "bad@relay.test", false, 1, "", "X-Pennark-Refused: bad@relay.test; 554 5.7.1 ", "", ""},
        {"pair.eml", withoutSize, "good@relay.test, bad@relay.test", false, 1, "pair: good@relay.test", "<none>", "",
         "[2] Получатель отклонён сервером: bad@relay.test; 554 5.7.1 <bad@relay.test>"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        UsePort(c.peer.Port());
        size_t before = c.peer.Messages(0, 0).size(), logged = *c.logged ? log.Count(c.logged) : 0;
        uploads = 0;
        std::string subject = std::string(c.name).substr(0, std::string(c.name).find('.'));
        Put(c.name, Message(c.to, subject) + (c.isLarge ? large : ""));
        EXPECT_TRUE(OutboxPass(service, nullptr)) << log.Text();
        EXPECT_FALSE(PathExists(outbox + "\\" + c.name)) << "settled in the same pass";
        EXPECT_EQ("<none>", AttemptLog(c.name)) << "no attempt is counted";
        EXPECT_FALSE(PathExists(RecipientRecordPath(outbox.c_str(), (outbox + "\\" + c.name).c_str()).str()))
            << "the record goes with its message";
        EXPECT_LE(uploads, c.maxUploads);
        std::vector<std::string> delivered = Delivered(c.peer, before + (*c.delivered ? 1 : 0));
        delivered.erase(delivered.begin(), delivered.begin() + before);
        EXPECT_EQ(*c.delivered ? std::vector<std::string>{c.delivered} : std::vector<std::string>{}, delivered);
        EXPECT_EQ(!*c.delivered, PathExists(bad + "\\" + c.name)) << "bad mail when nobody got it";
        EXPECT_EQ(!!*c.delivered, PathExists(archive + "\\" + c.name)) << "archived when somebody did";
        std::string why = Why(c.name);
        EXPECT_EQ(0u, why.find(c.why)) << why;
        EXPECT_NE(std::string::npos, why.find(c.reply)) << why;
        EXPECT_LE(Lines(why), 1u) << why;
        if (*c.logged) {
            EXPECT_EQ(logged + 1, log.Count(c.logged)) << log.Text();
        }

        clock.Advance(86400);
        EXPECT_TRUE(OutboxPass(service, nullptr));
        EXPECT_EQ(before + delivered.size(), c.peer.Messages(before + delivered.size() + 1, 300).size())
            << "never sent again";
        EXPECT_LE(uploads, c.maxUploads) << "nothing uploaded again";
    }
}

// Refusals for now, each of the first RCPT TO only: a message is delivered to the other
// recipient at once and to the deferred one after its schedule wait, each once; one whose only
// recipient was deferred waits too (the server's 554 to the content that no recipient is left
// for refuses nothing); one older than MaxAge is set aside after its failed attempt.
TEST_F(OutboxPostfix, RecipientDeferredIsOfferedAloneLaterOrTheMessageEndsAtMaxAge) {
    HostPeer::Options o = Postfix();
    o.deferOnce = {"later@relay.test", "grey@relay.test", "old@relay.test"};
    HostPeer peer(o);
    ASSERT_TRUE(peer.Started()) << peer.Error();
    UsePort(peer.Port());
    // A file's creation time is the system's (Wine keeps no other): the clock starts there,
    // on a whole second as the attempt log keeps it.
    SYSTEMTIME utc;
    GetSystemTime(&utc);
    utc.wMilliseconds = 0;
    FixedClock clock((RealTime(utc) + RealTime(RealTime::Second)).Local());
    SetRegNumber(kMailKey, "Retry Timeout", 60);
    SetRegNumber(kMailKey, "MaxAge", 3600);
    std::string pair = Put("pair.eml", Message("good@relay.test, later@relay.test", "pair"));
    std::string grey = Put("grey.eml", Message("grey@relay.test", "grey"));

    DWORD next = 0;
    EXPECT_TRUE(OutboxPass(service, &next)) << log.Text();
    EXPECT_EQ(std::vector<std::string>{"pair: good@relay.test"}, Delivered(peer, 1));
    EXPECT_EQ(60000u, next) << "both wait Retry Timeout";
    EXPECT_EQ(1u, Lines(AttemptLog("pair.eml"))) << "the deferred recipient counts one failure";
    EXPECT_EQ(1u, Lines(AttemptLog("grey.eml")));
    std::vector<RecipientEntry> record = ReadRecipientRecord(RecipientRecordPath(outbox.c_str(), pair.c_str()));
    ASSERT_EQ(2u, record.size());
    EXPECT_EQ("good@relay.test", record[0].address.str());
    EXPECT_EQ(RecipientState::Delivered, record[0].state);
    EXPECT_EQ("later@relay.test", record[1].address.str());
    EXPECT_EQ(RecipientState::Pending, record[1].state);
    EXPECT_EQ(0u, record[1].reply.str().find("450 4.2.0 ")) << record[1].reply.str();

    clock.Advance(30);
    EXPECT_TRUE(OutboxPass(service, &next));
    EXPECT_EQ(30000u, next) << "not due yet";
    clock.Advance(31);
    EXPECT_TRUE(OutboxPass(service, &next));
    EXPECT_EQ((std::vector<std::string>{"pair: good@relay.test", "grey: grey@relay.test", "pair: later@relay.test"}),
              Delivered(peer, 3))
        << "the owed recipient alone";
    EXPECT_EQ((std::vector<std::string>{"grey.eml", "pair.eml"}), ListDir(archive));
    EXPECT_FALSE(PathExists(pair));
    EXPECT_FALSE(PathExists(grey));
    EXPECT_EQ(std::vector<std::string>{}, MessageStateFiles(outbox)) << "records go with their messages";

    Put("old.eml", Message("old@relay.test", "old"));
    clock.Advance(7200);
    EXPECT_TRUE(OutboxPass(service, &next));
    EXPECT_EQ((std::vector<std::string>{"old.eml", "old.eml.why"}), ListDir(bad)) << "past MaxAge after its failure";
    std::string why = Why("old.eml");
    EXPECT_EQ(0u, why.find("X-Pennark-Failure: Письмо не доставлено за ")) << why;
    EXPECT_EQ(1u, log.Count("(предел MaxAge 3600 с), оно отправлено в недоставленные; последняя ошибка: ")) << log.Text();
    clock.Advance(86400);
    EXPECT_TRUE(OutboxPass(service, &next));
    EXPECT_EQ(3u, Delivered(peer, 3).size()) << "each recipient got it once, and old@ never";
}

}  // namespace
}  // namespace smtptest
