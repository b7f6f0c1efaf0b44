// Submitted messages as their recipients' software reads them after delivery: Python's
// email package (default policy) on the host reads them without defects and gives back the
// host's texts, SpamAssassin scores them as it scores the same message composed by Python,
// and a Postfix that does not offer 8BITMIME gets nothing 8-bit yet the same bytes decoded.
#include <cstdio>
#include <cstdlib>
#include <map>
#include "OutboxPassFixture.h"
#include "SmtpPeer.h"
#include "Submit.h"

using namespace Postvane;
using smtppeer::DeliveredMessage;
using smtppeer::HostPeer;

namespace smtptest {
namespace {

typedef std::map<std::string, std::string> Fields;

const DWORD kReaderWait = 120000;  // two SpamAssassin runs take a few seconds each
const char kAccount[] = "kiosk@shop.example";

std::string Encoded(const std::string& bytes) { return Base64Encode(bytes.data(), bytes.size()).str(); }

std::string Decoded(const std::string& text) {
    vec<unsigned char> bytes;
    if (!Base64Decode(&bytes, text.c_str())) return "<not base64>";
    return std::string(reinterpret_cast<const char*>(bytes.Data()), bytes.Count());
}

// Runs read_delivered.py (beside this file) on the host with the case and returns its
// answers; "error" holds what went wrong.
Fields ReadDelivered(const Fields& input, testing_support::TempDir& dir) {
    std::string casePath = dir / "case.txt", outPath = dir / "read.txt";
    std::string caseText;
    for (const auto& f : input) caseText += f.first + " " + Encoded(f.second) + "\n";
    testing_support::WriteFileBytes(casePath, caseText);
    DeleteFileA(outPath.c_str());
    std::string tools = smtppeer::HostPeerScript();
    std::string script = tools.substr(0, tools.rfind('/')) + "/../../tests/Postvane/read_delivered.py";
    std::string command = "\"Z:\\usr\\bin\\python3\" \"" + script + "\" \"" + smtppeer::UnixPath(casePath) + "\" \"" +
                          smtppeer::UnixPath(outPath) + "\"";
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    std::vector<char> line(command.begin(), command.end());
    line.push_back('\0');
    if (!CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
        return Fields{{"error", "cannot start " + command}};
    // Wine gives no handle of a Unix process to wait on: the answer file appears whole.
    if (process.hThread) CloseHandle(process.hThread);
    if (process.hProcess) CloseHandle(process.hProcess);
    DWORD start = GetTickCount();
    while (!testing_support::PathExists(outPath)) {
        if (GetTickCount() - start > kReaderWait) return Fields{{"error", "no answer from " + command}};
        Sleep(50);
    }
    Fields out;
    std::string text = testing_support::ReadFileBytes(outPath);
    for (size_t at = 0, eol; (eol = text.find('\n', at)) != std::string::npos; at = eol + 1) {
        std::string entry = text.substr(at, eol - at);
        size_t blank = entry.find(' ');
        out[entry.substr(0, blank)] = Decoded(entry.substr(blank + 1));
    }
    return out;
}

class MessageReaders : public OutboxPassTest {
protected:
    void SetUp() override {
        OutboxPassTest::SetUp();
        SetRegText(kMailKey, "OutboxDir", outbox);
        SetRegText(kSmtpKey, "ReversePath", kAccount);
    }
    // Submits the message through the export; false when it was refused.
    bool Submit(const SmtpMail& mail) { return SmtpSendMail(&mail) != FALSE; }
    // The one message file in the outbox.
    std::string Submitted() {
        std::vector<std::string> names = ListDir(outbox);
        return names.size() == 1 ? ReadFileBytes(outbox + "\\" + names[0]) : "<" + std::to_string(names.size()) + " files>";
    }
    // What the reader is told of a submitted message besides its delivered bytes.
    static Fields Texts(const SmtpMail& mail, const std::string& delivered) {
        Fields f{{"message", delivered}, {"address", kAccount}, {"to", mail.To ? mail.To : ""},
                 {"from", mail.From ? mail.From : ""}, {"subject", mail.Subject ? mail.Subject : ""},
                 {"text", mail.Text ? mail.Text : ""}};
        size_t at = delivered.find("\r\nDate: ");
        if (at != std::string::npos) f["date"] = delivered.substr(at + 8, delivered.find("\r\n", at + 2) - at - 8);
        if (mail.AttachmentCount) {
            const SmtpMailAttachment& a = mail.Attachments[0];
            f["filename"] = a.FileName;
            f["type"] = a.ContentType;
            f["data"] = std::string(static_cast<const char*>(a.Data), a.DataSize);
        }
        return f;
    }
    testing_support::TempDir work;
};

SmtpMailAttachment Attachment(const std::string& data, const char* type, const char* name) {
    SmtpMailAttachment a = {};
    a.Size = sizeof a;
    a.Data = data.data();
    a.DataSize = DWORD(data.size());
    a.ContentType = type;
    a.FileName = name;
    return a;
}

const char kSubject[] = "Ваш чек об оплате заказа №12345 в киоске на вокзале — спасибо за покупку!";
const char kFrom[] = "Киоск №7, вокзал";
const char kText[] =
    "Здравствуйте!\r\n\r\nВы оплатили заказ №12345 на сумму 1 250,00 руб. Чек во вложении.\r\n"
    "Спасибо, что пользуетесь нашими киосками.\r\n\r\nС уважением,\r\nслужба поддержки\r\n";

TEST_F(MessageReaders, ReadersGiveBackTheTextsAndScoreTheReceiptAsPythonsOwn) {
    std::string receipt;
    for (int i = 1; i <= 40; ++i) receipt += "Позиция " + std::to_string(i) + ": товар, 1 шт., 31,25 руб.\r\n";
    SmtpMailAttachment attachment = Attachment(receipt, "text/plain", "Чек №12345 от 8 декабря.txt");
    const char* const kFired[] = {"FROM_ILLEGAL_CHARS", "SUBJ_ILLEGAL_CHARS", "SUBJECT_NEEDS_ENCODING", "MISSING_MID",
                                  "BASE64_LENGTH_79_INF"};
    for (DWORD attachments : {DWORD(1), DWORD(0)}) {
        SCOPED_TRACE(attachments ? "with an attachment" : "text only");
        RuleServer server;
        Serve(server);
        SmtpMail mail = {};
        mail.Size = sizeof mail;
        mail.To = "customer@mail.example";
        mail.From = kFrom;
        mail.Subject = kSubject;
        mail.Text = kText;
        mail.Attachments = &attachment;
        mail.AttachmentCount = attachments;
        ASSERT_TRUE(Submit(mail)) << GetLastError();
        ASSERT_TRUE(OutboxPass(service, nullptr));
        ASSERT_EQ(1u, server.Messages().size()) << log.Text();
        Fields read = ReadDelivered(Texts(mail, server.Messages()[0].content), work);
        ASSERT_EQ("", read["error"]);
        EXPECT_EQ("", read["defects"]);
        EXPECT_EQ(kSubject, read["subject"]);
        EXPECT_EQ(kFrom, read["from_name"]);
        EXPECT_EQ(kAccount, read["from_address"]);
        EXPECT_EQ(kText, read["text"]) << "the text part decodes to the host's bytes";
        EXPECT_EQ(attachments ? attachment.FileName : "", read["filename"]);
        EXPECT_EQ(attachments ? receipt : "", read["attachment"]);
        std::printf("SpamAssassin: %s (the same message composed by Python: %s), rules %s\n", read["spam_ours"].c_str(),
                    read["spam_python"].c_str(), read["rules_ours"].c_str());
        double ours = atof(read["spam_ours"].c_str()), python = atof(read["spam_python"].c_str());
        EXPECT_LE(ours, python + 0.5) << read["spam_ours"] << " against " << read["spam_python"]
                                      << "; rules " << read["rules_ours"];
        for (const char* rule : kFired)
            EXPECT_EQ(std::string::npos, ("," + read["rules_ours"] + ",").find(std::string(",") + rule + ","))
                << rule << " in " << read["rules_ours"];
    }
}

// Texts of the host and of the settings that would forge parts, headers or parameters:
// delivered, each message has the parts it was given, the sender it was given and no other
// header; a fall-back recipient with a line end sends nothing.
TEST_F(MessageReaders, NoCallerTextOrSettingForgesPartsHeadersOrParameters) {
    const std::string html = "<html><b>Оплатите счёт</b></html>";
    struct Case {
        const char* what;
        const char* from;
        const char* fileName;
        std::string text;
        const char* fallback;  // Recipient, for a file of an earlier version without To
        const char* parts;     // what Python finds
        const char* fromName;
        const char* fileNames;
    } cases[] = {
        {"specials in the display name", "Bank <support@bank.test>", nullptr, "Текст\r\n", nullptr, "1",
         "Bank <support@bank.test>", ""},
        {"quotes in the file name", "Киоск", "a.txt\"; name=\"evil.exe", "Текст\r\n", nullptr, "2", "Киоск",
         "a.txt\"; name=\"evil.exe"},
        {"backslash and quote in a Cyrillic file name", "Киоск", "Счёт \"№1\" \\ копия.txt", "Текст\r\n", nullptr, "2",
         "Киоск", "Счёт \"№1\" \\ копия.txt"},
        {"a text that holds a delimiter and a forged part", "Киоск", nullptr,
         "Смотрите\r\n--" + std::string(60, '-') + "\r\nContent-Type: text/html\r\nContent-Disposition: attachment; "
         "filename=\"invoice.html\"\r\n\r\n" + html + "\r\n",
         nullptr, "1", "Киоск", ""},
        {"a line end in the fall-back recipient", nullptr, nullptr, "", "victim@mail.example\r\nBcc: all@mail.example",
         "0", "", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        RuleServer server;
        Serve(server);
        std::string attachmentData = "вложение";
        SmtpMailAttachment attachment = Attachment(attachmentData, "text/plain", c.fileName);
        SmtpMail mail = {};
        mail.Size = sizeof mail;
        mail.To = "customer@mail.example";
        mail.From = c.from;
        mail.Subject = "Чек";
        mail.Text = c.text.c_str();
        mail.Attachments = &attachment;
        mail.AttachmentCount = c.fileName ? 1 : 0;
        if (c.fallback) {
            SetRegText(kSmtpKey, "Recipient", c.fallback);
            Put("1.eml", "From: kiosk\r\nSubject: old\r\n\r\nbody\r\n");
        } else {
            DeleteRegValue(kSmtpKey, "Recipient");
            ASSERT_TRUE(Submit(mail)) << GetLastError();
        }
        DWORD next = INFINITE;
        EXPECT_TRUE(OutboxPass(service, &next));
        if (c.fallback) {
            EXPECT_TRUE(server.Messages().empty()) << "nothing is sent to a forged recipient";
            EXPECT_EQ(1u, log.Count("Недопустимый адрес получателя (\"Recipient\")")) << log.Text();
            EXPECT_EQ((std::vector<std::string>{"1.eml"}), ListDir(outbox)) << "the message is kept";
            EXPECT_EQ("<none>", AttemptLog("1.eml")) << "and not counted";
            EXPECT_NE(INFINITE, next) << "it is looked at again";
            DeleteFileA((outbox + "\\1.eml").c_str());
            continue;
        }
        ASSERT_EQ(1u, server.Messages().size()) << log.Text();
        const RuleServer::Message delivered = server.Messages()[0];
        EXPECT_EQ((std::vector<std::string>{" <customer@mail.example>"}), delivered.recipients) << "no parameter added";
        Fields input = Texts(mail, delivered.content);
        input["nospam"] = "";
        Fields read = ReadDelivered(input, work);
        ASSERT_EQ("", read["error"]);
        EXPECT_EQ("", read["defects"]);
        EXPECT_EQ(c.parts, read["parts"]);
        EXPECT_EQ(c.fromName, read["from_name"]);
        EXPECT_EQ(kAccount, read["from_address"]);
        EXPECT_EQ(c.fileNames, read["filename"]);
        EXPECT_EQ(c.text, read["text"]);
        EXPECT_EQ("From To Subject Date Message-ID MIME-Version Content-Type", read["headers"]) << "no other header";
    }
}

// A line over 998 bytes and 8-bit text, through a Postfix that does not offer 8BITMIME:
// nothing 8-bit reaches it, and the text and the attachment decode to the host's bytes; the
// message file stays as it was written.
TEST_F(MessageReaders, ServerWithout8BitMimeGetsSevenBitThatDecodesToTheSameBytes) {
    testing_support::TempDir certificates;
    ASSERT_EQ("", smtppeer::MakeTestCertificates(certificates.Path()));
    FakeNames::Install("localhost", "127.0.0.1");
    SetRegText(kSmtpKey, "Server", "localhost");
    SetRegText(kSmtpKey, "TlsRootCertificate", certificates / "root.pem");
    SetRegNumber(kSmtpKey, "Tls", 1);
    HostPeer::Options o;
    o.server = "postfix";
    o.login = kLogin;
    o.password = kPassword;
    o.certificates = certificates.Path();
    o.no8BitMime = true;
    HostPeer peer(o);
    ASSERT_TRUE(peer.Started()) << peer.Error();
    UsePort(peer.Port());
    SetRegText(kMailKey, "ArchiveDir", archive);

    std::string text = "Короткая строка\r\n";
    for (int i = 0; i < 120; ++i) text += "Строка0123";  // 1,200 bytes on one line
    text += "\r\n.точка в начале строки\r\nконец\r\n";
    std::string attachmentData(3000, '\0');
    for (size_t i = 0; i < attachmentData.size(); ++i) attachmentData[i] = char(i * 7);
    SmtpMailAttachment attachment = Attachment(attachmentData, "application/octet-stream", "данные.bin");
    std::string shortText = "Текст без длинных строк\r\n";
    for (const std::string* body : {&text, &shortText}) {
        SCOPED_TRACE(body == &text ? "a 1,200-byte line" : "8bit text");
        SmtpMail mail = {};
        mail.Size = sizeof mail;
        mail.To = "customer@mail.example";
        mail.From = kFrom;
        mail.Subject = kSubject;
        mail.Text = body->c_str();
        mail.Attachments = &attachment;
        mail.AttachmentCount = 1;
        size_t before = peer.Messages(0, 0).size();
        ASSERT_TRUE(Submit(mail)) << GetLastError();
        std::string file = Submitted();
        ASSERT_TRUE(OutboxPass(service, nullptr)) << log.Text();
        std::vector<DeliveredMessage> messages = peer.Messages(before + 1, 20000);
        ASSERT_EQ(before + 1, messages.size()) << log.Text();
        const std::string& delivered = messages.back().content;
        size_t eightBit = 0;
        for (char ch : delivered) eightBit += static_cast<unsigned char>(ch) >= 0x80;
        EXPECT_EQ(0u, eightBit) << "bytes over 127 on the wire";
        std::vector<std::string> archived = ListDir(archive);
        ASSERT_EQ(1u, archived.size());
        EXPECT_TRUE(file == ReadFileBytes(archive + "\\" + archived[0])) << "the file was sent as it was written";
        Fields input = Texts(mail, delivered);
        input["nospam"] = "";
        Fields read = ReadDelivered(input, work);
        ASSERT_EQ("", read["error"]);
        EXPECT_EQ("", read["defects"]);
        EXPECT_TRUE(*body == read["text"]) << "the text decodes to the host's bytes";
        EXPECT_TRUE(attachmentData == read["attachment"]);
        EXPECT_EQ(1u, (body == &text) == (file.find("Content-Transfer-Encoding: quoted-printable") != std::string::npos))
            << "only the long line makes the file's text quoted-printable";
        for (const std::string& name : archived) DeleteFileA((archive + "\\" + name).c_str());
    }
}

}  // namespace
}  // namespace smtptest
