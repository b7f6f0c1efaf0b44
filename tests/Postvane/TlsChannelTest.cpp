// The TLS channel and the certificate check against a real TLS server on the host (aiosmtpd
// speaking TLS from the first byte), with certificates made by openssl for each test.
#include <gtest/gtest.h>
#include <ws2tcpip.h>
#include <string>
#include "CertificateCheck.h"
#include "SmtpPeer.h"
#include "TestSupport.h"
#include "TlsChannel.h"

using namespace Postvane;
using smtppeer::HostPeer;

namespace {

const DWORD kWait = 10000;

// The channel's records over a plain blocking socket, bounded by select.
class SocketCarrier : public RecordCarrier {
public:
    explicit SocketCarrier(unsigned short port) {
        WSADATA data;
        WSAStartup(MAKEWORD(2, 2), &data);
        socket_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in address = {};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connected_ = connect(socket_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    }
    ~SocketCarrier() {
        closesocket(socket_);
        WSACleanup();
    }
    bool Connected() const { return connected_; }
    void SendRecords(const char* data, size_t length, DWORD) override {
        sent += length;
        while (length) {
            int n = send(socket_, data, int(length), 0);
            if (n <= 0) throw QLAppException("send failed");
            data += n;
            length -= size_t(n);
        }
    }
    size_t ReceiveRecords(char* buffer, size_t length, DWORD timeoutMs) override {
        fd_set set;
        FD_ZERO(&set);
        FD_SET(socket_, &set);
        timeval tv = {long(timeoutMs / 1000), long(timeoutMs % 1000) * 1000};
        if (select(0, &set, nullptr, nullptr, &tv) != 1) throw QLAppException("Таймаут ввода от сервера");
        int n = recv(socket_, buffer, int(length), 0);
        if (n <= 0) throw QLAppException("Соединение разорвано");
        return size_t(n);
    }
    size_t sent = 0;
private:
    SOCKET socket_;
    bool connected_;
};

// One reply's bytes through the channel, up to its last line.
std::string TlsReply(TlsChannel& channel, SocketCarrier& carrier) {
    std::string reply;
    for (;;) {
        char buffer[512];
        size_t n = channel.Receive(carrier, buffer, sizeof buffer, true, kWait);
        reply.append(buffer, n);
        size_t lineStart = reply.size() >= 2 ? reply.rfind('\n', reply.size() - 2) : std::string::npos;
        lineStart = lineStart == std::string::npos ? 0 : lineStart + 1;
        if (reply.size() >= 2 && reply.compare(reply.size() - 2, 2, "\r\n") == 0 && reply.size() - lineStart > 3 &&
            reply[lineStart + 3] == ' ')
            return reply;
    }
}

void Say(TlsChannel& channel, SocketCarrier& carrier, const std::string& line) {
    std::string bytes = line + "\r\n";
    channel.Send(carrier, bytes.data(), bytes.size(), kWait);
}

class TlsChannelTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string error = smtppeer::MakeTestCertificates(certificates.Path());
        ASSERT_EQ("", error);
    }
    HostPeer::Options Implicit(const char* certificate) {
        HostPeer::Options o;
        o.tls = "implicit";
        o.certificates = certificates.Path();
        o.certificate = certificate;
        return o;
    }
    std::vector<CertificateOwner> Pinned(const char* file) { return LoadRootCertificates(string(certificates / file)); }

    testing_support::TempDir certificates;
};

TEST_F(TlsChannelTest, TalksSmtpThroughImplicitTlsAndReportsTheSession) {
    HostPeer peer(Implicit("server"));
    ASSERT_TRUE(peer.Started()) << peer.Error();
    SocketCarrier carrier(peer.Port());
    ASSERT_TRUE(carrier.Connected());
    TlsChannel channel;
    channel.Handshake(carrier, string("localhost"), kWait);
    EXPECT_EQ("TLS 1.2", channel.Protocol().str().substr(0, 7));

    std::string greeting = TlsReply(channel, carrier);
    EXPECT_EQ(0u, greeting.find("220 ")) << greeting;
    // A peek leaves the bytes for the next read.
    Say(channel, carrier, "NOOP");
    char first[4] = {};
    ASSERT_EQ(3u, channel.Receive(carrier, first, 3, false, kWait));
    EXPECT_EQ("250", std::string(first, 3));
    EXPECT_EQ(0u, TlsReply(channel, carrier).find("250 "));
    // A command of a megabyte goes out in several records, gathered into few sends.
    size_t before = carrier.sent;
    Say(channel, carrier, "NOOP " + std::string(1 << 20, 'x'));
    EXPECT_GE(carrier.sent - before, size_t(1 << 20));
    EXPECT_EQ(0u, TlsReply(channel, carrier).find("5")) << "the server refuses the long line";
    Say(channel, carrier, "QUIT");
    EXPECT_EQ(0u, TlsReply(channel, carrier).find("221 "));
    // The server closes the session: the next read says so.
    char more[16];
    EXPECT_THROW(channel.Receive(carrier, more, sizeof more, true, kWait), QLAppException);

    CertificateOwner certificate = channel.ServerCertificate();
    ASSERT_TRUE(certificate);
    CertificateVerdict verdict = CheckServerCertificate(certificate.get(), string("localhost"), Pinned("root.pem"));
    EXPECT_TRUE(verdict.passed) << verdict.reason.str();
    EXPECT_EQ("CN=localhost", verdict.subject.str());
    EXPECT_EQ("CN=Postvane Test Issuer, O=Postvane Tests", verdict.issuer.str());
}

// The server's certificate against the host names and pinned roots of each case.
TEST_F(TlsChannelTest, CertificateCheckTable) {
    struct Case {
        const char* certificate;  // which certificate the server shows
        const char* pinned;       // TlsRootCertificate, or null
        const char* host;
        const char* reason;       // "" when the check passes, else the start of the reason
    };
    const char* untrusted = "цепочка не заканчивается доверенным корневым сертификатом";
    const char* untrustedPinned = "цепочка не заканчивается ни доверенным корневым сертификатом, ни корневым";
    const Case cases[] = {
        {"server", "root.pem", "localhost", ""},
        {"server", "root.der", "localhost", ""},
        {"server", "root.pem", "LOCALHOST", ""},
        {"server", "root.pem", "127.0.0.1", ""},
        {"server", "root.pem", "[::1]", ""},
        {"server", "root.pem", "::1", ""},
        {"server", "root.pem", "127.0.0.2", "сертификат выдан не для адреса \"127.0.0.2\""},
        {"server", nullptr, "localhost", untrusted},
        {"server", "other-root.pem", "localhost", untrustedPinned},
        {"server", "root.pem", "mail.example.test", "сертификат выдан не для имени \"mail.example.test\""},
        {"unknown", "root.pem", "localhost", untrustedPinned},
        {"unknown", nullptr, "localhost", untrusted},
        {"wrong-name", "root.pem", "localhost", "сертификат выдан не для имени \"localhost\""},
        {"wrong-name", "root.pem", "wrong.example.test", ""},
        {"wrong-name", "root.pem", "127.0.0.1", "сертификат выдан не для адреса"},
    };
    for (const char* kind : {"server", "unknown", "wrong-name"}) {
        HostPeer peer(Implicit(kind));
        ASSERT_TRUE(peer.Started()) << peer.Error();
        SocketCarrier carrier(peer.Port());
        ASSERT_TRUE(carrier.Connected());
        TlsChannel channel;
        channel.Handshake(carrier, string("localhost"), kWait);
        CertificateOwner certificate = channel.ServerCertificate();
        ASSERT_TRUE(certificate);
        for (const Case& c : cases) {
            if (std::string(c.certificate) != kind) continue;
            std::vector<CertificateOwner> pinned;
            if (c.pinned) pinned = Pinned(c.pinned);
            CertificateVerdict verdict = CheckServerCertificate(certificate.get(), string(c.host), pinned);
            std::string what = std::string(kind) + " for " + c.host + " pinned " + (c.pinned ? c.pinned : "-");
            EXPECT_EQ(*c.reason == 0, verdict.passed) << what << ": " << verdict.reason.str();
            EXPECT_EQ(0u, verdict.reason.str().find(c.reason)) << what << ": " << verdict.reason.str();
        }
    }
}

TEST_F(TlsChannelTest, RootTrustedByTheMachineNeedsNoPin) {
    // The system's chain engine reads the machine's roots at its first use in a process:
    // under ctest every test has a process of its own.
    const ::testing::UnitTest& run = *::testing::UnitTest::GetInstance();
    if (run.successful_test_count() + run.failed_test_count() + run.skipped_test_count() > 1)  // this one counts
        GTEST_SKIP() << "run this test alone: the process has checked a certificate chain before";
    // The machine's root store is kept under HKEY_LOCAL_MACHINE, which is this test's own.
    std::vector<CertificateOwner> root = Pinned("root.pem");
    HKEY rootKey = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Software\\Microsoft\\SystemCertificates\\Root", 0,
                                             nullptr, 0, KEY_ALL_ACCESS, nullptr, &rootKey, nullptr));
    HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_REG, 0, 0, 0, rootKey);
    ASSERT_TRUE(store != nullptr) << GetLastError();
    ASSERT_TRUE(CertAddCertificateContextToStore(store, root[0].get(), CERT_STORE_ADD_REPLACE_EXISTING, nullptr));
    CertCloseStore(store, 0);  // writes the certificate to the registry
    RegCloseKey(rootKey);

    HostPeer peer(Implicit("server"));
    ASSERT_TRUE(peer.Started()) << peer.Error();
    SocketCarrier carrier(peer.Port());
    TlsChannel channel;
    channel.Handshake(carrier, string("localhost"), kWait);
    CertificateOwner certificate = channel.ServerCertificate();
    CertificateVerdict verdict = CheckServerCertificate(certificate.get(), string("localhost"), {});
    EXPECT_TRUE(verdict.passed) << verdict.reason.str();
}

}  // namespace
