// The line transport against a scripted server: reply parsing, line ends, time-outs,
// connection set-up and tear-down, sending.
#include "SmtpTestSupport.h"

using namespace Postvane;
using smtppeer::ScriptedServer;
using testing_support::Printable;

namespace smtptest {
namespace {

class SmtpTransport : public SmtpFixture {};

std::vector<std::string> Strings(const vec<string>& list) {
    std::vector<std::string> out;
    for (const string& s : list) out.push_back(s.str());
    return out;
}

typedef std::vector<std::string> Lines;

TEST_F(SmtpTransport, ReadsMultiLineRepliesInBothModes) {
    ScriptedServer server;
    server.Send("250-first\r\n250 last\r\n").Send("250-first\r\n250 last\r\n").Send("250\r\n").Send("250\r\n");
    Connect(server);
    vec<string> list;
    EXPECT_EQ(250u, SmtpReadReply(service.connection, &list, 2000, false));
    EXPECT_EQ(Lines({"first\r\n", "250 last\r\n"}), Strings(list));
    EXPECT_EQ(250u, SmtpReadReply(service.connection, &list, 2000, true));
    EXPECT_EQ(Lines({"first\r\n", "last\r\n"}), Strings(list)) << "text-only keeps the text after the code";
    EXPECT_EQ(250u, SmtpReadReply(service.connection, &list, 2000, true));
    EXPECT_EQ(Lines({""}), Strings(list)) << "a line of the code alone has an empty text";
    EXPECT_EQ(250u, SmtpReadReply(service.connection, &list, 2000, false));
    EXPECT_EQ(Lines({"250\r\n"}), Strings(list));
}

TEST_F(SmtpTransport, RejectsMalformedReplyLines) {
    ScriptedServer server;
    server.Send("250-a\r\n251 b\r\n").Send("hello\r\n").Send("250x\r\n").Send(" 250 ok\r\n").Send("220 fine\r\n");
    Connect(server);
    const std::string malformed = "Ошибка интерпретации ответа сервера";
    EXPECT_EQ(malformed, Raised([&] { SmtpReadReply(service.connection, nullptr, 2000, false); })) << "code changed";
    EXPECT_EQ(malformed, Raised([&] { SmtpReadReply(service.connection, nullptr, 2000, false); })) << "no digits";
    EXPECT_EQ(malformed, Raised([&] { SmtpReadReply(service.connection, nullptr, 2000, false); })) << "letter after code";
    EXPECT_EQ(malformed, Raised([&] { SmtpReadReply(service.connection, nullptr, 2000, false); })) << "blank before code";
    EXPECT_EQ(220u, SmtpReadReply(service.connection, nullptr, 2000, false)) << "each bad line was consumed whole";
}

TEST_F(SmtpTransport, FindsLineEndsExactly) {
    ScriptedServer server;
    server.Send("250 split\r").Pause(200).Send("\n221 next\r\n");  // CR LF across two segments
    server.Send("250 a\rb\r\r\n");                                  // bare CR, CR CR LF
    server.Send("250-lf\n250 alone\n");                              // LF alone ends a line too
    server.Send("250 split\n").Pause(200).Send("\n");               // LF, then an empty line? no: a new reply
    std::string longText(3000, 'x');
    server.Send("250 " + longText + "\r\n");                        // longer than one peek
    server.Send("250 one\r\n251 two\r\n");                          // two replies in one segment
    Connect(server);
    vec<string> list;
    EXPECT_EQ(250u, SmtpReadReply(service.connection, &list, 2000, true));
    EXPECT_EQ(Lines({"split\r\n"}), Strings(list));
    EXPECT_EQ(221u, SmtpReadReply(service.connection, &list, 2000, true)) << "the LF of a split CR LF is not left behind";
    EXPECT_EQ(250u, SmtpReadReply(service.connection, &list, 2000, true));
    EXPECT_EQ(Lines({"a\rb\r\r\n"}), Strings(list)) << "a CR is data unless an LF follows it";
    EXPECT_EQ(250u, SmtpReadReply(service.connection, &list, 2000, false));
    EXPECT_EQ(Lines({"lf\r\n", "250 alone\r\n"}), Strings(list)) << "lines ending in LF alone are kept with CR LF";
    EXPECT_EQ(250u, SmtpReadReply(service.connection, &list, 2000, true));
    EXPECT_EQ(Lines({"split\r\n"}), Strings(list));
    EXPECT_EQ("Ошибка интерпретации ответа сервера", Raised([&] { SmtpReadReply(service.connection, &list, 2000, true); }))
        << "an empty line is no reply";
    EXPECT_EQ(250u, SmtpReadReply(service.connection, &list, 2000, true));
    EXPECT_EQ(Lines({longText + "\r\n"}), Strings(list));
    EXPECT_EQ(250u, SmtpReadReply(service.connection, &list, 2000, false));
    EXPECT_EQ(Lines({"250 one\r\n"}), Strings(list)) << "the first read takes only the first reply";
    EXPECT_EQ(251u, SmtpReadReply(service.connection, &list, 2000, false));
}

TEST_F(SmtpTransport, ARepliesLeftOverGoWithItsConnection) {
    // Replies that came together are taken from the socket at once; what is left of them
    // belongs to that connection only.
    ScriptedServer first;
    first.Send("220 one\r\n250 left over\r\n");
    Connect(first);
    vec<string> list;
    EXPECT_EQ(220u, SmtpReadReply(service.connection, &list, 2000, true));
    SmtpDisconnect(service.session);
    ScriptedServer second;
    second.Send("221 two\r\n");
    Connect(second);
    EXPECT_EQ(221u, SmtpReadReply(service.connection, &list, 2000, true));
    EXPECT_EQ(Lines({"two\r\n"}), Strings(list));
}

TEST_F(SmtpTransport, ReportsClosedAndSilentServers) {
    {
        ScriptedServer server;
        server.Close();
        Connect(server);
        EXPECT_EQ("Соединение разорвано", Raised([&] { SmtpReadReply(service.connection, nullptr, 2000, false); }));
        SmtpDisconnect(service.session);
    }
    ScriptedServer silent;
    Connect(silent);
    EXPECT_EQ("Таймаут ввода от сервера", Raised([&] { SmtpReadReply(service.connection, nullptr, 300, false); }));
}

TEST_F(SmtpTransport, BoundsATricklingReplyAsAWhole) {
    ScriptedServer server;
    server.Send("250-a\r\n").Pause(500).Send("250-b\r\n").Pause(500).Send("250-c\r\n").Pause(500).Send("250 d\r\n");
    Connect(server);
    // Every line comes well within the budget, the reply as a whole does not.
    EXPECT_EQ("Таймаут ввода от сервера", Raised([&] { SmtpReadReply(service.connection, nullptr, 1200, false); }));
}

TEST_F(SmtpTransport, RefusesOverlongReplies) {
    ScriptedServer server;
    server.Send("250 " + std::string(kMaxReplyLine, 'x') + "\r\n");
    Connect(server);
    EXPECT_EQ("Ошибка интерпретации ответа сервера", Raised([&] { SmtpReadReply(service.connection, nullptr, 5000, false); }));
}

TEST_F(SmtpTransport, WithoutServerOpensNothing) {
    testing_support::DeleteRegValue(kSmtpKey, "Server");
    EXPECT_FALSE(SmtpConnect(service.session));
    EXPECT_EQ(INVALID_SOCKET, service.connection.Socket());
    EXPECT_EQ(1u, log.Count("Почтовый сервер не задан, отправка невозможна")) << log.Text();
}

// A resolver that notes what it was asked and answers from the real one, or with a chain
// of its own.
struct RecordingResolver {
    static std::string& Host() { static std::string s; return s; }
    static std::string& Service() { static std::string s; return s; }
    static std::vector<unsigned short>& Ports() { static std::vector<unsigned short> p; return p; }
    static int WSAAPI GetAddrInfo(const char* host, const char* service, const addrinfo* hints, addrinfo** result) {
        Host() = host ? host : "";
        Service() = service ? service : "";
        if (Host() == "unresolvable.test") {
            WSASetLastError(WSAHOST_NOT_FOUND);
            return WSAHOST_NOT_FOUND;
        }
        if (Ports().empty()) return Fallback::GetAddrInfoIPv4(host, service, hints, result);
        addrinfo** tail = result;
        for (unsigned short port : Ports()) {
            addrinfo* entry = nullptr;
            Fallback::GetAddrInfoIPv4("127.0.0.1", std::to_string(port).c_str(), hints, &entry);
            *tail = entry;
            tail = &entry->ai_next;
        }
        return 0;
    }
    static void Install() {
        static ResolverFunctions functions = {GetAddrInfo, Fallback::GetNameInfoIPv4, Fallback::FreeAddrInfoIPv4, true};
        Ports().clear();
        SetResolverFunctions(&functions);
    }
};

TEST_F(SmtpTransport, ResolvesTheConfiguredServerAndPort) {
    RecordingResolver::Install();
    testing_support::SetRegText(kSmtpKey, "Port", "");
    EXPECT_NE("<nothing raised>", Raised([&] { SmtpConnect(service.session); }));
    EXPECT_EQ("127.0.0.1", RecordingResolver::Host());
    EXPECT_EQ("smtp", RecordingResolver::Service()) << "an empty Port means the service smtp";
    EXPECT_EQ(1u, log.Count("Почтовый сервер: 127.0.0.1, порт: smtp")) << log.Text();
    testing_support::DeleteRegValue(kSmtpKey, "Port");
    testing_support::SetRegNumber(kSmtpKey, "Port", 2525);
    Raised([&] { SmtpConnect(service.session); });
    EXPECT_EQ("2525", RecordingResolver::Service()) << "a port stored as a number is used as one";
    FakeNames::Remove();
    AddrInfoRequest request(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    const addrinfo* a = request.Resolve("127.0.0.1", "smtp");
    ASSERT_NE(nullptr, a);
    EXPECT_EQ(25, ntohs(reinterpret_cast<const sockaddr_in*>(a->ai_addr)->sin_port));
}

TEST_F(SmtpTransport, FailedAttemptsLeaveNoSocketBehind) {
    RecordingResolver::Install();
    testing_support::SetRegText(kSmtpKey, "Server", "unresolvable.test");
    UsePort(25);
    EXPECT_EQ("Не удаётся разрешить адрес: сервер \"unresolvable.test\" порт \"25\". Ошибка Winsock: 11001",
              Raised([&] { SmtpConnect(service.session); }));
    EXPECT_EQ(INVALID_SOCKET, service.connection.Socket());

    // A port where nobody listens.
    unsigned short closedPort;
    {
        ScriptedServer gone;
        closedPort = gone.Port();
    }
    testing_support::SetRegText(kSmtpKey, "Server", "127.0.0.1");
    UsePort(closedPort);
    EXPECT_EQ("Не получилось соединиться с сервером 127.0.0.1:" + std::to_string(closedPort) + ": ошибка Winsock 10061",
              Raised([&] { SmtpConnect(service.session); }));
    EXPECT_EQ(INVALID_SOCKET, service.connection.Socket());

    DWORD before = 0, after = 0;
    GetProcessHandleCount(GetCurrentProcess(), &before);
    for (int i = 0; i < 40; ++i) {
        testing_support::SetRegText(kSmtpKey, "Server", i % 2 ? "unresolvable.test" : "127.0.0.1");
        Raised([&] { SmtpConnect(service.session); });
    }
    GetProcessHandleCount(GetCurrentProcess(), &after);
    EXPECT_EQ(INVALID_SOCKET, service.connection.Socket());
    EXPECT_LE(after, before + 2) << "failed attempts must not accumulate sockets";
}

TEST_F(SmtpTransport, TriesEveryAddressUntilOneAnswers) {
    ScriptedServer listening;
    unsigned short closedPort;
    {
        ScriptedServer gone;
        closedPort = gone.Port();
    }
    RecordingResolver::Install();
    RecordingResolver::Ports() = {closedPort, closedPort, listening.Port()};
    listening.Start();
    EXPECT_TRUE(SmtpConnect(service.session));
    EXPECT_TRUE(listening.WaitScript(2000));
    EXPECT_EQ(1, listening.Connections());
    EXPECT_EQ(2u, log.Count("Адрес 127.0.0.1 не отвечает (Не получилось соединиться с сервером, ошибка Winsock: "
                            "10061), пробуем следующий")) << log.Text();
    SmtpDisconnect(service.session);

    // None answers: the last failure is told, naming the server.
    RecordingResolver::Ports() = {closedPort, closedPort};
    std::string raised = Raised([&] { SmtpConnect(service.session); });
    EXPECT_EQ(0u, raised.find("Не получилось соединиться с сервером 127.0.0.1:")) << raised;
    EXPECT_NE(std::string::npos, raised.find(": ошибка Winsock 10061")) << raised;
    EXPECT_EQ(INVALID_SOCKET, service.connection.Socket());
}

TEST_F(SmtpTransport, SetsNoDelayAndSendsLinesWithCrLf) {
    ScriptedServer server;
    Connect(server);
    BOOL noDelay = FALSE;
    int size = sizeof noDelay;
    ASSERT_EQ(0, getsockopt(service.connection.Socket(), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<char*>(&noDelay), &size));
    EXPECT_TRUE(noDelay) << "small messages must not wait for delayed acknowledgements";
    SmtpSendLine(service.connection, string("NOOP 100%s"), 1000);
    SmtpSendLine(service.connection, string(""), 1000);
    SmtpDisconnect(service.session);
    ASSERT_TRUE(server.WaitClientClosed(5000));
    EXPECT_EQ("NOOP 100%s\r\n\r\n", server.Received());
}

TEST_F(SmtpTransport, RefusesLineEndsInsideACommand) {
    ScriptedServer server;
    Connect(server);
    for (const char* text : {"RCPT TO: <a@x>\r\nDATA", "RCPT TO: <a\n>", "MAIL FROM: <a\r>"}) {
        EXPECT_EQ("Строка команды SMTP содержит перевод строки", Raised([&] { SmtpSendLine(service.connection, string(text), 1000); }))
            << Printable(text);
    }
    SmtpDisconnect(service.session);
    ASSERT_TRUE(server.WaitClientClosed(5000));
    EXPECT_EQ("", server.Received()) << "nothing of a refused line may go out";
}

TEST_F(SmtpTransport, SendsAllOfALongLine) {
    // The server reads slowly through a small buffer, so sends can only take part of the line.
    ScriptedServer server(4096);
    server.Pause(300).Expect(1);
    Connect(server);
    std::string big(1024 * 1024, 'a');
    for (size_t i = 0; i < big.size(); i += 1000) big[i] = char('b' + (i / 1000) % 20);
    SmtpSendLine(service.connection, string(big), 10000);
    ASSERT_TRUE(server.WaitScript(10000)) << server.Error();
    EXPECT_TRUE(server.Received() == big + "\r\n") << "the line arrived incomplete or changed: "
                                                    << server.Received().size() << " bytes";
}

TEST_F(SmtpTransport, BoundsASendToAPeerThatStopsReading) {
    ScriptedServer server(4096);
    server.Stall();
    Connect(server);
    int small = 4096;
    setsockopt(service.connection.Socket(), SOL_SOCKET, SO_SNDBUF, reinterpret_cast<const char*>(&small), sizeof small);
    std::string big(16 * 1024 * 1024, 'a');
    EXPECT_EQ("Ошибка Winsock при выводе данных: 10060", Raised([&] { SmtpSendLine(service.connection, string(big), 500); }));
}

TEST_F(SmtpTransport, NoticesAStopWithinASecondWhileWaiting) {
    {
        ScriptedServer silent;
        Connect(silent);
        StopLater stop(service, 300);
        EXPECT_EQ(kStopText, Raised([&] { SmtpReadReply(service.connection, nullptr, 20000, false); }))
            << "the stop must end the wait long before its time-out";
        SmtpDisconnect(service.session);
    }
    service.stopEvent.Reset();
    ScriptedServer stalled(4096);
    stalled.Stall();
    Connect(stalled);
    int small = 4096;
    setsockopt(service.connection.Socket(), SOL_SOCKET, SO_SNDBUF, reinterpret_cast<const char*>(&small), sizeof small);
    StopLater stop(service, 300);
    std::string big(16 * 1024 * 1024, 'a');
    EXPECT_EQ(kStopText, Raised([&] { SmtpSendLine(service.connection, string(big), 20000); }));
}

TEST_F(SmtpTransport, TracesLinesLiterallyWhenAsked) {
    ScriptedServer server;
    server.Reply("250 100% done\r\n");
    Connect(server);
    service.debugFlags = kTraceSent | kTraceReceived;
    SmtpSendLine(service.connection, string("NOOP %s%n"), 1000);
    SmtpReadReply(service.connection, nullptr, 2000, false);
    SmtpSendLine(service.connection, string("AUTH PLAIN c2VjcmV0"), 1000, "AUTH PLAIN ***");
    std::string text = log.Text();
    EXPECT_EQ(1u, log.Count("C>NOOP %s%n\r\n")) << text;
    EXPECT_EQ(1u, log.Count("S>250 100% done\r\n")) << text;
    EXPECT_EQ(1u, log.Count("C>AUTH PLAIN ***\r\n")) << text;
    EXPECT_EQ(0u, log.Count("c2VjcmV0")) << "a credential line must not be traced in clear";
}

}  // namespace
}  // namespace smtptest
