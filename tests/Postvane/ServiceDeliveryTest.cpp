// The whole road of a message with the real service thread: submitted through the export,
// noticed in the outbox, delivered to a real SMTP server (aiosmtpd on the host, AUTH
// required), archived and deleted; across a server that goes away and comes back, across a
// stopped service, and the death of the run when a sent message cannot be deleted.
#include <algorithm>
#include <memory>
#include "DeliveryRun.h"
#include "RuleServer.h"

using postvane_test::Eventually;
using smtppeer::DeliveredMessage;
using smtppeer::HostPeer;
using smtppeer::RuleServer;

namespace deliverytest {
namespace {

const DWORD kDeliveryWait = 60000;  // bound of every wait for mail to go out; only a fault reaches it

HostPeer::Options AuthPeer() {
    HostPeer::Options o;
    o.login = kLogin;
    o.password = kPassword;
    o.authRequired = true;
    return o;
}

// A body that needs dot-stuffing on the wire, with windows-1251 text and lines of every length.
std::string Body(int n) {
    std::string text = "Чек № " + std::to_string(n) + "\r\n.leading dot\r\n.\r\n..two dots\r\n";
    for (int i = 0; i < n * 40; ++i) text += std::string(size_t(i % 90), char('a' + i % 26)) + "\r\n";
    return text + ". last line";
}

class ServiceDelivery : public DeliveryRun {
protected:
    // Every subject was delivered exactly once, as the aiosmtpd account, with the bytes of
    // its archived file (the archive copy is the outbox file byte for byte).
    void ExpectDeliveredOnceAsArchived(const std::vector<DeliveredMessage>& delivered,
                                       const std::vector<std::string>& subjects) {
        std::map<std::string, std::string> archived = Archived();
        EXPECT_EQ(subjects.size(), archived.size()) << State();
        std::map<std::string, int> times;
        for (const DeliveredMessage& m : delivered) {
            std::string subject = HeaderOf(m.content, "Subject: ");
            ++times[subject];
            EXPECT_EQ(kLogin, m.login) << subject << ": authenticated";
            EXPECT_EQ(kSender, m.mailFrom) << subject;
            EXPECT_EQ("customer@example.test", m.recipients) << subject;
            auto file = archived.find(subject);
            if (file == archived.end()) {
                ADD_FAILURE() << "delivered but not archived: " << subject;
                continue;
            }
            EXPECT_TRUE(m.content == file->second) << subject << ": the server received " << m.content.size()
                                                   << " bytes, the file has " << file->second.size();
        }
        for (const std::string& subject : subjects) EXPECT_EQ(1, times[subject]) << subject << " delivered";
        EXPECT_EQ(subjects.size(), delivered.size()) << "nothing else arrived";
    }
};

TEST_F(ServiceDelivery, MessagesSubmittedWhileRunningArriveOnceAsStoredAndAreArchived) {
    HostPeer peer(AuthPeer());
    ASSERT_TRUE(peer.Started()) << peer.Error();
    UsePort(peer.Port());
    ASSERT_TRUE(PostvaneStart());

    std::string binary(64 * 1024, '\0');
    for (size_t i = 0; i < binary.size(); ++i) binary[i] = char(i * 7 + i / 251);
    SmtpMailAttachment attachment = {sizeof attachment, binary.data(), DWORD(binary.size()), "application/pdf",
                                     "receipt.pdf"};
    std::vector<std::string> subjects;
    for (int i = 0; i < 10; ++i)
        subjects.push_back(Submit("message " + std::to_string(i), Body(i), i == 9 ? &attachment : nullptr));

    ASSERT_TRUE(Eventually([&] { return Drained(10); }, kDeliveryWait)) << State();
    std::vector<DeliveredMessage> delivered = peer.Messages(10, kDeliveryWait);
    PostvaneStop(1);
    delivered = peer.Messages(11, 500);  // a late report of an eleventh would be a duplicate
    ExpectDeliveredOnceAsArchived(delivered, subjects);
    EXPECT_TRUE(Files(bad).empty());
    EXPECT_TRUE(Files(outbox + "\\Wait").empty()) << "no attempt failed";
    EXPECT_EQ(10u, ServiceLogCount("[5] Отправка успешно завершена"));

    // The day's event log tells each file's start and success once.
    std::vector<std::string> events;
    for (const std::string& name : testing_support::ListDir(dir / "logs"))
        for (const std::string& r : postvane_test::Records(dir / ("logs\\" + name))) events.push_back(r);
    for (const std::string& name : Files(archive)) {
        std::string path = outbox + "\\" + name;
        EXPECT_EQ(1, std::count(events.begin(), events.end(), "[5] 5\tSENDSTART\t;Отправляется " + path)) << path;
        EXPECT_EQ(1, std::count(events.begin(), events.end(), "[5] 6\tSENDDONE\t;Успешно выполнена отправка файла " + path))
            << path;
    }
}

TEST_F(ServiceDelivery, MessagesWaitOutAStoppedServerAndArriveOnceWhenItIsBack) {
    std::unique_ptr<HostPeer> first(new HostPeer(AuthPeer()));
    ASSERT_TRUE(first->Started()) << first->Error();
    UsePort(first->Port());
    ASSERT_TRUE(PostvaneStart());
    std::vector<std::string> subjects;
    for (int i = 0; i < 3; ++i) subjects.push_back(Submit("before " + std::to_string(i), Body(i)));
    ASSERT_TRUE(Eventually([&] { return Drained(3); }, kDeliveryWait)) << State();
    std::vector<DeliveredMessage> delivered = first->Messages(3, kDeliveryWait);
    ASSERT_EQ(3u, delivered.size());

    // The server goes away between two messages; the service keeps trying without counting.
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(first->Port());
    first.reset();
    ASSERT_TRUE(Eventually([&] {
        SOCKET probe = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        bool refused = connect(probe, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0;
        closesocket(probe);
        return refused;
    })) << "the server must be gone";
    size_t pauses = ServiceLogCount(kPause);
    for (int i = 0; i < 4; ++i) subjects.push_back(Submit("during " + std::to_string(i), Body(i + 3)));
    ASSERT_TRUE(Eventually([&] { return ServiceLogCount(kPause) >= pauses + 2; }, kDeliveryWait))
        << "the service pauses and tries again while the server is away";
    EXPECT_EQ(4u, Files(outbox).size()) << "nothing is given up";
    EXPECT_TRUE(Files(outbox + "\\Wait").empty()) << "a server that is not there counts against no message";

    HostPeer second(AuthPeer());
    ASSERT_TRUE(second.Started()) << second.Error();
    UsePort(second.Port());  // the service reads Port at each connection
    ASSERT_TRUE(Eventually([&] { return Drained(7); }, kDeliveryWait)) << State();
    std::vector<DeliveredMessage> later = second.Messages(4, kDeliveryWait);
    PostvaneStop(1);
    later = second.Messages(5, 500);
    delivered.insert(delivered.end(), later.begin(), later.end());
    ExpectDeliveredOnceAsArchived(delivered, subjects);
}

TEST_F(ServiceDelivery, MessageSubmittedWhileTheServiceIsStoppedGoesOutAfterTheNextStart) {
    HostPeer peer(AuthPeer());
    ASSERT_TRUE(peer.Started()) << peer.Error();
    UsePort(peer.Port());
    ASSERT_TRUE(PostvaneStart());
    std::vector<std::string> subjects{Submit("first run", Body(1))};
    ASSERT_TRUE(Eventually([&] { return Drained(1); }, kDeliveryWait)) << State();
    PostvaneStop(1);
    ASSERT_TRUE(Postvane::Service().IsSignalled());

    subjects.push_back(Submit("while stopped", Body(2)));
    EXPECT_EQ(1u, Files(outbox).size()) << "stored for the next run";
    ASSERT_TRUE(PostvaneStart());
    ASSERT_TRUE(Eventually([&] { return Drained(2); }, kDeliveryWait)) << State();
    std::vector<DeliveredMessage> delivered = peer.Messages(2, kDeliveryWait);
    PostvaneStop(1);
    delivered = peer.Messages(3, 500);
    ExpectDeliveredOnceAsArchived(delivered, subjects);
}

TEST_F(ServiceDelivery, SentMessageThatCannotBeDeletedIsNeverSentAgainAndGoesLater) {
    RuleServer server;
    UsePort(server.Port());
    Submit("undeletable", Body(1));
    std::vector<std::string> stored = Files(outbox);
    ASSERT_EQ(1u, stored.size());
    // A reader that does not share deletion: the message can be read, sent and copied, not removed.
    std::string path = outbox + "\\" + stored[0];
    HANDLE reader = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, reader);
    CallbackProbe probe;
    ASSERT_TRUE(SetPostvaneCallback(&CallbackProbe::Called, &probe));
    Postvane::Service().secondMs = 50;  // the removal is tried again after "Retry Timeout" (1 s): 50 ms
    ASSERT_TRUE(PostvaneStart());
    ASSERT_TRUE(Eventually([&] { return ServiceLogCount("будет удалено позже: " + path) == 1; }, kDeliveryWait));
    // A later run honours the mark while the file is still held.
    PostvaneStop(1);
    ASSERT_TRUE(PostvaneStart());
    ASSERT_TRUE(Eventually([&] { return ServiceLogCount("Почтовый ящик доступен") >= 2; }, kDeliveryWait));
    Sleep(300);
    EXPECT_EQ(stored, Files(outbox)) << "the file stays while it is held";
    CloseHandle(reader);

    EXPECT_TRUE(Eventually([&] { return Files(outbox).empty() && Files(outbox + "\\Wait").empty(); }, kDeliveryWait))
        << "removed with its mark once it can be: " << State();
    PostvaneStop(1);
    EXPECT_EQ(1u, server.Messages().size()) << "sent once";
    EXPECT_EQ(stored, Files(archive)) << "and archived once";
    EXPECT_FALSE(probe.Wait(0)) << "the service never died";
    EXPECT_EQ(0u, ServiceLogCount("необработанное исключение"));
}

}  // namespace
}  // namespace deliverytest
