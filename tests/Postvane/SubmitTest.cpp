#include <gtest/gtest.h>
#include <cstring>
#include <set>
#include <string>
#include <thread>
#include <vector>
#include "MailService.h"
#include "OutboxMessage.h"
#include "OutboxPassFixture.h"
#include "SmallVolume.h"
#include "Submit.h"
#include "TestSupport.h"
#include "qlframe.h"
#include <sddl.h>

using namespace testing_support;

namespace {

// The moment of submission: the Date line shows it without the milliseconds.
SYSTEMTIME At(WORD year, WORD month, WORD day, WORD hour, WORD minute, WORD second) {
    return Moment(year, month, day, hour, minute, second, 480);
}

// With the random seam below every boundary is this one.
const std::string kBoundary = "=_pennark_abababababababababababababababab";
const std::string kBoundaryLine = "--" + kBoundary;
// Everything from the Message-ID line (its value replaced by <ID>) to the start of the text
// part's body.
const std::string kMimeHead =
    "\r\nMessage-ID: <ID>"
    "\r\nMIME-Version: 1.0"
    "\r\nContent-Type: multipart/mixed;"
    "\r\n        boundary=\"" + kBoundary + "\"\r\n"
    "\r\n" + kBoundaryLine + "\r\n"
    "Content-Type: text/plain; charset=\"windows-1251\"\r\n"
    "Content-Transfer-Encoding: 8bit\r\n"
    "\r\n";
const std::string kClosing = "\r\n" + kBoundaryLine + "--\r\n";

// Random bits for the message identifier and the boundary: always 0xAB.
void FixedRandom(void* data, size_t count) { memset(data, 0xAB, count); }

// The message with the value of its Message-ID line replaced by <ID>.
std::string WithoutId(const std::string& message) {
    size_t at = message.find("\r\nMessage-ID: <");
    if (at == std::string::npos) return message;
    at += 14;
    size_t end = message.find("\r\n", at);
    return message.substr(0, at) + "<ID>" + message.substr(end);
}

SmtpMail EmptyMail() {
    SmtpMail mail = {};
    mail.Size = sizeof(SmtpMail);
    return mail;
}

SmtpMailAttachment Attachment(const std::string& data, const char* type, const char* name) {
    SmtpMailAttachment a = {};
    a.Size = sizeof(SmtpMailAttachment);
    a.Data = data.data();
    a.DataSize = DWORD(data.size());
    a.ContentType = type;
    a.FileName = name;
    return a;
}

// The Date line's value of a stored message.
std::string DateOf(const std::string& message) {
    size_t at = message.find("\r\nDate: ");
    if (at == std::string::npos) return "<no Date line>";
    at += 8;
    return message.substr(at, message.find("\r\n", at) - at);
}

std::string FirstLine(const std::string& message) { return message.substr(0, message.find("\r\n")); }

class Submit : public ::testing::Test {
protected:
    void SetUp() override {
        outbox = dir / "Outbox";
        SetRegText(kMailKey, "OutboxDir", outbox);
        SetRegNumber(kMailKey, "Disabled", 0);
        SetRegText(kSmtpKey, "ReversePath", "");
        Postvane::SubmitSeams::SetRandom(FixedRandom);
    }
    void TearDown() override {
        Postvane::SubmitSeams::SetTickCount(nullptr);
        Postvane::SubmitSeams::SetWrite(nullptr);
        Postvane::SubmitSeams::SetFlush(nullptr);
        Postvane::SubmitSeams::SetRandom(nullptr);
        OverrideSpecialFolderPath(0x1A, "");
    }

    // Submits through the export and returns the one message file it stored (and removes it),
    // its Message-ID replaced by <ID>.
    std::string Stored(const SmtpMail& mail) { return WithoutId(StoredAsIs(mail)); }
    std::string StoredAsIs(const SmtpMail& mail) {
        SetLastError(1234);
        EXPECT_TRUE(SmtpSendMail(&mail)) << "last error " << GetLastError();
        EXPECT_EQ(0u, GetLastError()) << "success clears the last error";
        std::vector<std::string> names = ListDir(outbox);
        if (names.size() != 1) {
            ADD_FAILURE() << names.size() << " files in the outbox, one expected";
            return std::string();
        }
        std::string path = outbox + "\\" + names[0];
        std::string bytes = ReadFileBytes(path);
        DeleteFileA(path.c_str());
        return bytes;
    }

    FixedClock clock{At(2009, 3, 3, 9, 5, 7)};
    FixedZone zone;  // UTC+3
    TempDir dir;
    std::string outbox;
};

}  // namespace

TEST_F(Submit, AllTextsEmptyGiveTheMinimalMessage) {
    SmtpMail mail = EmptyMail();
    EXPECT_EQ(
        "From: \"Quillet Pennark Email Plugin v.1.1.0.2\""
        "\r\nSubject: "
        "\r\nDate: Tue, 3 Mar 2009 09:05:07 +0300" +
            kMimeHead + kClosing,
        Stored(mail));

    const char* empty = "";
    mail.To = mail.Subject = mail.Text = mail.From = mail.Class = empty;
    EXPECT_EQ(
        "From: \"Quillet Pennark Email Plugin v.1.1.0.2\""
        "\r\nSubject: "
        "\r\nDate: Tue, 3 Mar 2009 09:05:07 +0300" +
            kMimeHead + kClosing,
        Stored(mail))
        << "empty texts count as null texts";
}

TEST_F(Submit, SenderComesFromFromThenTheAccount) {
    SmtpMail mail = EmptyMail();
    SetRegText(kSmtpKey, "ReversePath", "kiosk");
    EXPECT_EQ("From: kiosk <kiosk>", FirstLine(Stored(mail)));
    mail.From = "Kiosk 7";
    EXPECT_EQ("From: Kiosk 7 <kiosk>", FirstLine(Stored(mail)));
    SetRegText(kSmtpKey, "ReversePath", "");
    EXPECT_EQ("From: Kiosk 7", FirstLine(Stored(mail)));
    DeleteRegValue(kSmtpKey, "ReversePath");
    mail.From = nullptr;
    EXPECT_EQ("From: \"Quillet Pennark Email Plugin v.1.1.0.2\"", FirstLine(Stored(mail)))
        << "a display name with dots is a quoted string";
}

TEST_F(Submit, FullMessageIsByteExact) {
    SetRegText(kSmtpKey, "ReversePath", "kiosk@example.com");
    const std::string report = "abc";
    const std::string nothing = "";
    const std::string sixty(57, '\0');      // 76 base64 characters: one line
    const std::string sixtyOne(58, '\0');   // 80 characters: a line of 76 and a line of 4
    SmtpMailAttachment parts[5] = {
        Attachment(report, "text/plain", "report.txt"),
        Attachment(report, "image/png", "skipped.png"),
        Attachment(nothing, nullptr, nullptr),
        Attachment(sixty, "", "zeros.bin"),
        Attachment(sixtyOne, "application/x-zeros", ""),
    };
    parts[1].Size = 16;  // too small a record: passed over without error
    SmtpMail mail = EmptyMail();
    mail.To = "a@example.com, b@example.com";
    mail.Subject = "Отчёт";
    mail.Text = "Line one\r\n.dot line\nbare LF\rbare CR \xC0\r\n";
    mail.Attachments = parts;
    mail.AttachmentCount = 5;
    mail.From = "Kiosk 7";
    mail.Class = "report";

    const std::string expected =
        "From: Kiosk 7 <kiosk@example.com>"
        "\r\nTo: a@example.com, b@example.com"
        "\r\nSubject: =?windows-1251?B?zvL3uPI=?="
        "\r\nDate: Tue, 3 Mar 2009 09:05:07 +0300"
        "\r\nX-Class: report" +
        kMimeHead +
        "Line one\r\n.dot line\nbare LF\rbare CR \xC0\r\n"
        // a named attachment with its type
        "\r\n" + kBoundaryLine + "\r\nContent-Disposition: attachment;\r\n"
        "\tfilename=\"report.txt\"\r\n"
        "Content-Transfer-Encoding: base64\r\n"
        "Content-Type: text/plain;\r\n"
        "\tname=\"report.txt\"\r\n"
        "\r\n"
        "YWJj\r\n"
        // no name, no type, no data: header lines and the blank line only
        "\r\n" + kBoundaryLine + "\r\nContent-Disposition: attachment;\r\n"
        "Content-Transfer-Encoding: base64\r\n"
        "Content-Type: application/octet-stream;\r\n"
        "\r\n"
        // exactly one full line
        "\r\n" + kBoundaryLine + "\r\nContent-Disposition: attachment;\r\n"
        "\tfilename=\"zeros.bin\"\r\n"
        "Content-Transfer-Encoding: base64\r\n"
        "Content-Type: application/octet-stream;\r\n"
        "\tname=\"zeros.bin\"\r\n"
        "\r\n" +
        std::string(76, 'A') + "\r\n"
        // one full line and a short one
        "\r\n" + kBoundaryLine + "\r\nContent-Disposition: attachment;\r\n"
        "Content-Transfer-Encoding: base64\r\n"
        "Content-Type: application/x-zeros;\r\n"
        "\r\n" +
        std::string(76, 'A') + "\r\nAA==\r\n" + kClosing;
    std::string stored = Stored(mail);
    EXPECT_EQ(expected, stored) << Printable(stored);
}

TEST_F(Submit, MissingAttachmentDataGivesEmptyParts) {
    SmtpMailAttachment part = Attachment("", nullptr, "lost.bin");
    part.Data = nullptr;
    part.DataSize = 4096;  // a count without data
    SmtpMail mail = EmptyMail();
    mail.Attachments = &part;
    mail.AttachmentCount = 1;
    std::string stored = Stored(mail);
    EXPECT_NE(std::string::npos, stored.find("\tname=\"lost.bin\"\r\n\r\n" + kClosing))
        << "the part has its header lines and no content: " << Printable(stored);

    mail.Attachments = nullptr;
    mail.AttachmentCount = 3;  // a count without records
    EXPECT_EQ(std::string::npos, Stored(mail).find("Content-Disposition")) << "no record, no part";
}

TEST_F(Submit, ToAndClassLinesOnlyWhenSet) {
    SmtpMail mail = EmptyMail();
    mail.To = "a@example.com";
    mail.Subject = "s";
    std::string withTo = Stored(mail);
    EXPECT_EQ(0u, withTo.find("From: \"Quillet Pennark Email Plugin v.1.1.0.2\"\r\nTo: a@example.com\r\nSubject: s\r\n"));
    EXPECT_EQ(std::string::npos, withTo.find("X-Class")) << Printable(withTo);

    mail.To = nullptr;
    mail.Class = "urgent";
    std::string withClass = Stored(mail);
    EXPECT_EQ(std::string::npos, withClass.find("To:")) << Printable(withClass);
    EXPECT_NE(std::string::npos, withClass.find("\r\nDate: Tue, 3 Mar 2009 09:05:07 +0300\r\nX-Class: urgent\r\n"
                                                "Message-ID: <ID>\r\nMIME-Version: 1.0\r\n"))
        << Printable(withClass);
}

TEST_F(Submit, DateShowsLocalTimeAndCurrentZone) {
    SmtpMail mail = EmptyMail();
    struct Case {
        DWORD id;
        LONG bias, standardBias, daylightBias;
        const char* zone;
    } cases[] = {
        {TIME_ZONE_ID_UNKNOWN, -180, 0, 0, "+0300"},
        {TIME_ZONE_ID_UNKNOWN, 300, 0, 0, "-0500"},
        {TIME_ZONE_ID_UNKNOWN, -330, 0, 0, "+0530"},
        {TIME_ZONE_ID_UNKNOWN, 0, 0, 0, "+0000"},
        {TIME_ZONE_ID_UNKNOWN, 60, -60, -60, "-0100"},          // other returns use Bias alone
        {TIME_ZONE_ID_STANDARD, -120, -60, -120, "+0300"},      // Bias + StandardBias
        {TIME_ZONE_ID_DAYLIGHT, 300, 0, -60, "-0400"},          // Bias + DaylightBias
        {TIME_ZONE_ID_DAYLIGHT, -570, 0, -60, "+1030"},
        {TIME_ZONE_ID_INVALID, -180, -60, -60, "+0300"},
    };
    for (const Case& c : cases) {
        zone.Set(c.id, c.bias, c.standardBias, c.daylightBias);
        EXPECT_EQ(std::string("Tue, 3 Mar 2009 09:05:07 ") + c.zone, DateOf(Stored(mail)))
            << "zone id " << c.id << ", bias " << c.bias;
    }
    zone.Set(TIME_ZONE_ID_UNKNOWN, -180);
    clock.Set(At(2023, 12, 31, 23, 0, 9));
    EXPECT_EQ("Sun, 31 Dec 2023 23:00:09 +0300", DateOf(Stored(mail))) << "Sunday is the last day name";
    clock.Set(At(2024, 1, 1, 0, 59, 0));
    EXPECT_EQ("Mon, 1 Jan 2024 00:59:00 +0300", DateOf(Stored(mail)));
}

TEST_F(Submit, RefusalsSetTheLastErrorAndCreateNothing) {
    std::string missing = dir / "not\\yet";
    SetRegText(kMailKey, "OutboxDir", missing);

    SetLastError(0);
    EXPECT_FALSE(SmtpSendMail(nullptr));
    EXPECT_EQ(DWORD(ERROR_INVALID_PARAMETER), GetLastError());

    SmtpMail mail = EmptyMail();
    for (DWORD size : {DWORD(0), DWORD(31), DWORD(sizeof(SmtpMail) - 1)}) {
        mail.Size = size;
        SetLastError(0);
        EXPECT_FALSE(SmtpSendMail(&mail)) << "Size " << size;
        EXPECT_EQ(DWORD(ERROR_INVALID_DATA), GetLastError()) << "Size " << size;
    }

    mail.Size = sizeof(SmtpMail);
    SetRegNumber(kMailKey, "Disabled", 1);
    SetLastError(0);
    EXPECT_FALSE(SmtpSendMail(&mail));
    EXPECT_EQ(DWORD(ERROR_SERVICE_DISABLED), GetLastError());

    // Disabled also before a default outbox would be made.
    DeleteRegValue(kMailKey, "OutboxDir");
    OverrideSpecialFolderPath(0x1A, dir / "AppData");
    SetLastError(0);
    EXPECT_FALSE(SmtpSendMail(&mail));
    EXPECT_EQ(DWORD(ERROR_SERVICE_DISABLED), GetLastError());

    EXPECT_FALSE(PathExists(dir / "not")) << "no outbox directory is created by a refusal";
    EXPECT_FALSE(PathExists(dir / "AppData"));
    EXPECT_EQ("<absent>", GetRegText(kMailKey, "OutboxDir")) << "no default is stored by a refusal";
    EXPECT_TRUE(ListDir(dir.Path()).empty());
}

TEST_F(Submit, RecordOfAtLeastItsSizeIsAccepted) {
    struct Larger {
        SmtpMail mail;
        char future[32];
    } larger = {};
    larger.mail = EmptyMail();
    larger.mail.Subject = "larger";
    larger.mail.Size = sizeof(Larger);
    EXPECT_EQ(sizeof(SmtpMail) + 32, sizeof(Larger));
    EXPECT_NE(std::string::npos, Stored(larger.mail).find("Subject: larger\r\n")) << "the excess is ignored";
    SmtpMail exact = EmptyMail();
    EXPECT_EQ(0u, Stored(exact).find("From: "));
}

TEST_F(Submit, DefaultOutboxIsCreatedAndStored) {
    DeleteRegValue(kMailKey, "OutboxDir");
    OverrideSpecialFolderPath(0x1A, dir / "AppData");
    SmtpMail mail = EmptyMail();
    SetLastError(1234);
    ASSERT_TRUE(SmtpSendMail(&mail));
    EXPECT_EQ(0u, GetLastError());
    std::string expected = dir / "AppData\\Quillet\\Pennark\\Outbox";
    EXPECT_EQ(expected, GetRegText(kMailKey, "OutboxDir"));
    std::vector<std::string> names = ListDir(expected);
    ASSERT_EQ(1u, names.size()) << "the message lands in the default outbox";
    EXPECT_EQ(".eml", GetFileExt(names[0].c_str()).str());

    SetRegText(kMailKey, "OutboxDir", "");
    ASSERT_TRUE(SmtpSendMail(&mail)) << "an empty value also means the default";
    EXPECT_EQ(2u, ListDir(expected).size());
}

TEST_F(Submit, TakenNumberMovesToTheNextFree) {
    CreatePath(outbox.c_str(), nullptr);
    Postvane::SubmitSeams::SetTickCount([]() -> DWORD { return 1000; });
    WriteFileBytes(outbox + "\\1000.eml", "taken");
    CreateDirectoryA((outbox + "\\1001.eml").c_str(), nullptr);
    SmtpMail mail = EmptyMail();
    ASSERT_TRUE(SmtpSendMail(&mail));
    EXPECT_EQ((std::vector<std::string>{"1000.eml", "1001.eml", "1002.eml"}), ListDir(outbox));
    EXPECT_EQ("taken", ReadFileBytes(outbox + "\\1000.eml")) << "an existing file is never overwritten";

    Postvane::SubmitSeams::SetTickCount([]() -> DWORD { return 0xFFFFFFFF; });
    WriteFileBytes(outbox + "\\4294967295.eml", "taken");
    ASSERT_TRUE(SmtpSendMail(&mail));
    EXPECT_TRUE(PathExists(outbox + "\\0.eml")) << "the number wraps around after 4294967295";
}

TEST_F(Submit, ConcurrentSubmissionsAllLand) {
    // Every thread starts its search at the same number, so the names collide.
    Postvane::SubmitSeams::SetTickCount([]() -> DWORD { return 77; });
    const int kThreads = 8, kEach = 12;
    std::string body;
    while (body.size() < 3000) body += std::string(62, 'b') + "\r\n";
    std::vector<std::thread> threads;
    std::vector<int> failures(kThreads, 0);
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            SmtpMail mail = EmptyMail();
            mail.Text = body.c_str();
            for (int i = 0; i < kEach; ++i) {
                try {
                    if (!SmtpSendMail(&mail)) ++failures[t];
                } catch (const QuilletException&) {
                    ++failures[t];
                }
            }
        });
    for (std::thread& t : threads) t.join();
    for (int t = 0; t < kThreads; ++t) EXPECT_EQ(0, failures[t]) << "thread " << t;

    std::vector<std::string> names = ListDir(outbox);
    ASSERT_EQ(size_t(kThreads * kEach), names.size()) << "every submission has its own file";
    std::set<std::string> contents;
    std::set<std::string> ids;
    for (const std::string& n : names) {
        std::string message = ReadFileBytes(outbox + "\\" + n);
        contents.insert(WithoutId(message));
        ids.insert(message.substr(0, message.find("\r\nMIME-Version")));
    }
    EXPECT_EQ(size_t(kThreads * kEach), ids.size()) << "every message has its own Message-ID";
    ASSERT_EQ(1u, contents.size()) << "every file holds the same complete message";
    EXPECT_EQ("From: \"Quillet Pennark Email Plugin v.1.1.0.2\"\r\nSubject: \r\nDate: Tue, 3 Mar 2009 09:05:07 +0300" +
                  kMimeHead + body + kClosing,
              *contents.begin());
}

TEST_F(Submit, LineBreaksInHeaderValuesBecomeOneSpace) {
    SetRegText(kSmtpKey, "ReversePath", "kiosk@example.com");
    const std::string data = "line\r\nBcc: y\r\n";
    SmtpMailAttachment part = Attachment(data, "text/plain\r\nX-Evil: 1", "a\r\n\r\nb.txt");
    SmtpMail mail = EmptyMail();
    mail.To = "a@example.com";
    mail.Subject = "Hi\r\n\r\n\r\nInjected body";
    mail.From = "Kiosk\nX-Evil: 1";
    mail.Class = "c\r\rd\n";
    mail.Text = "Body\r\n\r\nkeeps\nits breaks";
    mail.Attachments = &part;
    mail.AttachmentCount = 1;
    std::string stored = Stored(mail);
    std::string header = stored.substr(0, stored.find("\r\nMessage-ID"));
    EXPECT_EQ("From: \"Kiosk X-Evil: 1\" <kiosk@example.com>"
              "\r\nTo: a@example.com"
              "\r\nSubject: Hi Injected body"
              "\r\nDate: Tue, 3 Mar 2009 09:05:07 +0300"
              "\r\nX-Class: c d ",
              header)
        << Printable(stored);
    EXPECT_NE(std::string::npos, stored.find(kMimeHead + "Body\r\n\r\nkeeps\nits breaks\r\n")) << "the body is untouched";
    EXPECT_NE(std::string::npos, stored.find("\tfilename=\"a b.txt\"\r\n"));
    EXPECT_NE(std::string::npos, stored.find("Content-Type: text/plain X-Evil: 1;\r\n"));
    EXPECT_NE(std::string::npos, stored.find("\r\n\r\n" + Base64Encode(data.data(), data.size()).str() + "\r\n"))
        << "attachment content is encoded unchanged";
}

// What a caller's texts can do to the message: every case keeps one text part, the
// headers and parameters the message writes, and nothing else.
TEST_F(Submit, CallerTextsCannotForgePartsHeadersOrParameters) {
    static int draws;
    draws = 0;
    // The first boundary drawn (after the identifier's bits) is the one the text forges.
    Postvane::SubmitSeams::SetRandom([](void* data, size_t count) { memset(data, draws++ < 2 ? 0xAB : 0xCD, count); });
    const std::string forged = "x\r\n" + kBoundaryLine + "\r\nContent-Type: text/html\r\n"
                               "Content-Disposition: attachment; filename=\"invoice.html\"\r\n\r\n<b>pay</b>\r\n" +
                               kBoundaryLine + "--\r\n";
    const std::string other = "=_pennark_cdcdcdcdcdcdcdcdcdcdcdcdcdcdcdcd";
    struct Case {
        const char* what;
        const char* from;
        const char* fileName;
        const char* text;
        const char* expected;  // a line the message must hold
    } cases[] = {
        {"specials in the display name", "Bank <support@bank.test>", nullptr, "",
         "From: \"Bank <support@bank.test>\" <kiosk@example.com>"},
        {"quotes and backslashes in the display name", "A \"B\" \\ C", nullptr, "",
         "From: \"A \\\"B\\\" \\\\ C\" <kiosk@example.com>"},
        {"Cyrillic display name", "\xCA\xE8\xEE\xF1\xEA", nullptr, "",
         "From: =?windows-1251?B?yuju8eo=?= <kiosk@example.com>"},
        {"encoded-word look-alike", "=?utf-8?B?QQ==?=", nullptr, "",
         "From: \"=?utf-8?B?QQ==?=\" <kiosk@example.com>"},
        {"a quote in the file name", "K", "a.txt\"; name=\"evil.exe", "",
         "\tfilename=\"a.txt\\\"; name=\\\"evil.exe\"\r\n"},
        {"a Cyrillic file name", "K", "\xD1\xF7\xE5\xF2.pdf", "", "\tfilename*=windows-1251''%D1%F7%E5%F2.pdf\r\n"},
        {"a Cyrillic file name for old readers", "K", "\xD1\xF7\xE5\xF2.pdf", "", "\tname=\"=?windows-1251?B?0ffl8i5wZGY=?=\"\r\n"},
        {"a text that holds the first boundary", "K", nullptr, forged.c_str(), "boundary=\"=_pennark_cdcdcdcdcdcdcdcdcdcdcdcdcdcdcdcd\""},
    };
    SetRegText(kSmtpKey, "ReversePath", "kiosk@example.com");
    for (const Case& c : cases) {
        draws = 0;
        SmtpMailAttachment part = Attachment("data", "application/pdf", c.fileName);
        SmtpMail mail = EmptyMail();
        mail.From = c.from;
        mail.Text = c.text;
        mail.Attachments = &part;
        mail.AttachmentCount = c.fileName ? 1 : 0;
        std::string stored = Stored(mail);
        EXPECT_NE(std::string::npos, stored.find(c.expected)) << c.what << ": " << Printable(stored);
        std::string boundary = stored.find(other) != std::string::npos ? other : kBoundary;
        size_t delimiters = 0;
        for (size_t at = stored.find("\r\n--" + boundary); at != std::string::npos; at = stored.find("\r\n--" + boundary, at + 1))
            ++delimiters;
        EXPECT_EQ(1u + mail.AttachmentCount + 1, delimiters) << c.what << ": the parts the message writes, no more";
        EXPECT_EQ(std::string::npos, stored.find("\r\nname=")) << c.what;
    }
}

TEST_F(Submit, AddressesThatAreNotPlainAreRefusedWithoutAFile) {
    struct Case {
        const char* to;
        const char* reversePath;
    } cases[] = {
        {"a@example.com\r\nBcc: victim@example.com", "kiosk@example.com"},
        {"a@example.com> NOTIFY=NEVER", "kiosk@example.com"},
        {"<a@example.com>", "kiosk@example.com"},
        {"a@example.com, b c@example.com", "kiosk@example.com"},
        {"a@exa\tmple.com", "kiosk@example.com"},
        {"a@example.com\x7F", "kiosk@example.com"},
        {"a@example.com", "kiosk@example.com\r\nBcc: x@example.com"},
        {"a@example.com", "kiosk@example.com> SIZE=1"},
    };
    for (const Case& c : cases) {
        SetRegText(kSmtpKey, "ReversePath", c.reversePath);
        SmtpMail mail = EmptyMail();
        mail.To = c.to;
        SetLastError(0);
        EXPECT_FALSE(SmtpSendMail(&mail)) << Printable(c.to) << " / " << Printable(c.reversePath);
        EXPECT_EQ(DWORD(ERROR_INVALID_DATA), GetLastError()) << Printable(c.to);
        EXPECT_TRUE(ListDir(outbox).empty()) << Printable(c.to);
    }
    SetRegText(kSmtpKey, "ReversePath", "kiosk@example.com");
    SmtpMail mail = EmptyMail();
    mail.To = " a@example.com,,b@example.com ";
    EXPECT_NE(std::string::npos, Stored(mail).find("\r\nTo:  a@example.com,,b@example.com \r\n"))
        << "blanks around the pieces and empty pieces are no fault";
}

TEST_F(Submit, LongHeadersFoldAndEachMessageHasItsOwnIdentifier) {
    Postvane::SubmitSeams::SetRandom(nullptr);
    SetRegText(kSmtpKey, "ReversePath", "kiosk@kiosks.example.com");
    std::string subject(200, '\xE0');  // 200 letters "а"
    SmtpMail mail = EmptyMail();
    mail.Subject = subject.c_str();
    std::string first = StoredAsIs(mail), second = StoredAsIs(mail);
    std::string head = first.substr(0, first.find("\r\n\r\n"));
    for (size_t at = 0, eol; at < head.size(); at = eol + 2) {
        eol = head.find("\r\n", at);
        if (eol == std::string::npos) eol = head.size();
        EXPECT_LE(eol - at, 78u) << Printable(head.substr(at, eol - at));
    }
    auto id = [](const std::string& m) {
        size_t at = m.find("\r\nMessage-ID: <");
        return at == std::string::npos ? std::string() : m.substr(at + 14, m.find("\r\n", at + 2) - at - 14);
    };
    EXPECT_NE(id(first), id(second));
    EXPECT_NE(std::string::npos, id(first).find("@kiosks.example.com>")) << id(first);
    EXPECT_NE(first.substr(first.find("boundary=")), second.substr(second.find("boundary="))) << "random boundaries";
}

TEST_F(Submit, TextWithALineOver998BytesIsQuotedPrintable) {
    std::string text = "short\r\n" + std::string(1200, '\xF0') + "=\r\nend \r\n";
    SmtpMail mail = EmptyMail();
    mail.Text = text.c_str();
    std::string stored = Stored(mail);
    EXPECT_NE(std::string::npos, stored.find("Content-Transfer-Encoding: quoted-printable\r\n\r\nshort\r\n=F0=F0"))
        << Printable(stored.substr(0, 600));
    size_t body = stored.find("short\r\n");
    std::string qp = stored.substr(body, stored.find("\r\n" + kBoundaryLine, body) - body);
    for (size_t at = 0, eol; at < qp.size(); at = eol + 2) {
        eol = qp.find("\r\n", at);
        if (eol == std::string::npos) eol = qp.size();
        EXPECT_LE(eol - at, 76u);
    }
    EXPECT_NE(std::string::npos, qp.find("=3D\r\nend=20\r\n")) << "\"=\" and a blank before a line end are encoded";
    const std::string longest(998, 'x');
    mail.Text = longest.c_str();
    EXPECT_NE(std::string::npos, Stored(mail).find("Content-Transfer-Encoding: 8bit")) << "998 bytes stay 8bit";
}

namespace {
std::string g_writtenPath;
DWORD g_readerError;
int g_flushes;
LONGLONG g_sizeAtFlush;

// Writes half of the message, then fails as a full disk would.
void FailingWrite(FilePort& file, const void* data, size_t count) {
    g_writtenPath = file.Path().str();
    file.Write(data, count / 2);
    throw FileException("file write error, system error 112:", file.Path());
}

// Writes the message after checking that nobody else can open the file meanwhile.
void ProbingWrite(FilePort& file, const void* data, size_t count) {
    g_writtenPath = file.Path().str();
    HANDLE reader = CreateFileA(file.Path().c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    g_readerError = reader == INVALID_HANDLE_VALUE ? GetLastError() : 0;
    if (reader != INVALID_HANDLE_VALUE) CloseHandle(reader);
    file.Write(data, count);
}

void CountingFlush(FilePort& file) {
    ++g_flushes;
    g_sizeAtFlush = file.Size();
    file.Flush();
}

// What the service's view of the outbox showed halfway through the write.
DWORD g_attributesMidway;
size_t g_listedMidway;
bool g_candidateMidway;

void LookingWrite(FilePort& file, const void* data, size_t count) {
    file.Write(data, count / 2);
    g_attributesMidway = GetFileAttributesA(file.Path().c_str());
    std::string outbox = GetParentPath(file.Path()).str();
    g_listedMidway = Postvane::ListOutbox(outbox.c_str()).size();
    Postvane::MailService service;
    service.outboxDirectory = outbox.c_str();
    g_candidateMidway = service.HasCandidate();
    file.Write(static_cast<const char*>(data) + count / 2, count - count / 2);
}

// The host process ends halfway through the write, as in a crash or a power cut.
void DyingWrite(FilePort& file, const void* data, size_t count) {
    file.Write(data, count / 2);
    ExitProcess(3);
}
}  // namespace

TEST_F(Submit, MessageIsHiddenFromTheServiceUntilComplete) {
    Postvane::SubmitSeams::SetWrite(LookingWrite);
    SmtpMail mail = EmptyMail();
    mail.Text = "a message the service must not see half-written";
    ASSERT_TRUE(SmtpSendMail(&mail));
    EXPECT_TRUE(g_attributesMidway & FILE_ATTRIBUTE_HIDDEN) << "hidden while written";
    EXPECT_EQ(0u, g_listedMidway) << "passes do not list it";
    EXPECT_FALSE(g_candidateMidway) << "it wakes no pass";
    std::vector<std::string> names = ListDir(outbox);
    ASSERT_EQ(1u, names.size());
    EXPECT_FALSE(GetFileAttributesA((outbox + "\\" + names[0]).c_str()) & FILE_ATTRIBUTE_HIDDEN)
        << "visible once complete";
    EXPECT_EQ(1u, Postvane::ListOutbox(outbox.c_str()).size());
}

TEST_F(Submit, HostDyingDuringTheWriteLeavesNoVisibleMessage) {
    // The dying submission runs in a child process (a new run of this test), which stores
    // into this process's outbox, named to it through the environment.
    const char kShared[] = "PENNARK_TEST_DYING_OUTBOX";
    char shared[MAX_PATH] = "";
    if (!GetEnvironmentVariableA(kShared, shared, sizeof shared)) SetEnvironmentVariableA(kShared, outbox.c_str());
    GetEnvironmentVariableA(kShared, shared, sizeof shared);
    SetRegText(kMailKey, "OutboxDir", shared);
    const std::string text(200000, 't');
    EXPECT_EXIT(
        {
            Postvane::SubmitSeams::SetWrite(DyingWrite);
            SmtpMail mail = EmptyMail();
            mail.Text = text.c_str();
            SmtpSendMail(&mail);
        },
        ::testing::ExitedWithCode(3), "");
    SetEnvironmentVariableA(kShared, nullptr);
    std::vector<std::string> names = ListDir(shared);
    ASSERT_EQ(1u, names.size()) << "the remains of the write";
    std::string path = std::string(shared) + "\\" + names[0];
    EXPECT_LT(ReadFileBytes(path).size(), text.size());
    EXPECT_TRUE(GetFileAttributesA(path.c_str()) & FILE_ATTRIBUTE_HIDDEN) << "never visible to the service";
    EXPECT_TRUE(Postvane::ListOutbox(shared).empty());
}

TEST_F(Submit, NameWhoseEarlierMessageLeftStateInTheWaitDirectoryIsNotTaken) {
    Postvane::SubmitSeams::SetTickCount([]() -> DWORD { return 100; });
    CreateDirectoryA(outbox.c_str(), nullptr);
    CreateDirectoryA((outbox + "\\Wait").c_str(), nullptr);
    WriteFileBytes(outbox + "\\Wait\\100.eml.msglog", "2026-12-08 09:00:00\r\n");
    WriteFileBytes(outbox + "\\Wait\\101.eml.done", "delivered\t2026-12-08 09:00:00\t9\t0\r\n");
    WriteFileBytes(outbox + "\\Wait\\102.eml.rcpt", "delivered\t2026-12-08 09:00:00\ta@example.test\t250 ok\r\n");
    SmtpMail mail = EmptyMail();
    ASSERT_TRUE(SmtpSendMail(&mail));
    EXPECT_EQ((std::vector<std::string>{"103.eml", "Wait"}), ListDir(outbox))
        << "a new message must not inherit an attempt log, a done mark or a recipient record";
}

TEST_F(Submit, FailedWriteLeavesNoFile) {
    Postvane::SubmitSeams::SetWrite(FailingWrite);
    SmtpMail mail = EmptyMail();
    mail.Text = "a message that will not be complete";
    g_writtenPath.clear();
    SetLastError(0);
    EXPECT_FALSE(SmtpSendMail(&mail)) << "nothing leaves the export";
    EXPECT_EQ(112u, GetLastError()) << "the system error of the failed write";
    EXPECT_THROW(Postvane::SubmitMail(&mail, true), FileException);
    EXPECT_FALSE(g_writtenPath.empty()) << "the write was reached";
    EXPECT_TRUE(ListDir(outbox).empty()) << "the partial file was removed";
}

TEST_F(Submit, UnwritableOutboxRaisesAndStoresNothing) {
    WriteFileBytes(dir / "blocker", "a file where the outbox's parent should be");
    SetRegText(kMailKey, "OutboxDir", dir / "blocker\\Outbox");
    SmtpMail mail = EmptyMail();
    SetLastError(0);
    EXPECT_FALSE(SmtpSendMail(&mail)) << "the export reports the failure, it raises nothing";
    EXPECT_NE(0u, GetLastError());
    EXPECT_EQ("a file where the outbox's parent should be", ReadFileBytes(dir / "blocker"));
}

TEST_F(Submit, FileIsHeldExclusivelyUntilComplete) {
    Postvane::SubmitSeams::SetWrite(ProbingWrite);
    SmtpMail mail = EmptyMail();
    g_readerError = 0;
    ASSERT_TRUE(SmtpSendMail(&mail));
    EXPECT_EQ(DWORD(ERROR_SHARING_VIOLATION), g_readerError) << "a reader during the write must be refused";
    EXPECT_EQ(outbox + "\\", GetParentPath(g_writtenPath.c_str()).str());
    HANDLE reader = CreateFileA(g_writtenPath.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_NE(INVALID_HANDLE_VALUE, reader) << "the finished file is released";
    if (reader != INVALID_HANDLE_VALUE) CloseHandle(reader);
}

TEST_F(Submit, ExportFlushesTheCompleteFile) {
    Postvane::SubmitSeams::SetFlush(CountingFlush);
    SmtpMail mail = EmptyMail();
    mail.Text = "flushed";
    g_flushes = 0;
    ASSERT_TRUE(SmtpSendMail(&mail));
    EXPECT_EQ(1, g_flushes) << "the export flushes the file to the disk";
    std::vector<std::string> names = ListDir(outbox);
    ASSERT_EQ(1u, names.size());
    EXPECT_EQ(LONGLONG(ReadFileBytes(outbox + "\\" + names[0]).size()), g_sizeAtFlush)
        << "the flush comes after the whole message is written";

    g_flushes = 0;
    ASSERT_TRUE(Postvane::SubmitMail(&mail, false));
    EXPECT_EQ(0, g_flushes);
}


namespace {
// Replaces the access rules of a key under the isolated HKEY_LOCAL_MACHINE.
void SetKeyAccess(const char* keyPath, const char* sddl) {
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, keyPath, 0, READ_CONTROL | WRITE_DAC, &key));
    PSECURITY_DESCRIPTOR sd = nullptr;
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl, SDDL_REVISION_1, &sd, nullptr));
    EXPECT_EQ(ERROR_SUCCESS, RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, sd));
    LocalFree(sd);
    RegCloseKey(key);
}
}  // namespace

TEST_F(Submit, DefaultOutboxServesEvenWhenItCannotBeStored) {
    DeleteRegValue(kMailKey, "OutboxDir");
    OverrideSpecialFolderPath(0x1A, dir / "AppData");
    SetKeyAccess(kMailKey, "D:P(A;;KR;;;WD)");  // everyone may read, nobody may write
    SmtpMail mail = EmptyMail();
    BOOL result = FALSE;
    EXPECT_NO_THROW(result = SmtpSendMail(&mail));
    SetKeyAccess(kMailKey, "D:P(A;;KA;;;WD)");
    EXPECT_TRUE(result);
    EXPECT_EQ(1u, ListDir(dir / "AppData\\Quillet\\Pennark\\Outbox").size()) << "the message lands in the default outbox";
    EXPECT_EQ("<absent>", GetRegText(kMailKey, "OutboxDir"));
}

namespace {
// The volume refuses the write halfway, as a full one does.
void DiskFullWrite(FilePort& file, const void* data, size_t count) {
    file.Write(data, count / 2);
    throw FileException("file write error, system error 39:", file.Path());
}
}  // namespace

TEST_F(Submit, FullOutboxVolumeRefusesTheMessageWithoutAFileAndIsLoggedOnce) {
    std::string small = dir / "Small", logPath = dir / "service.log";
    CreateDirectoryA(small.c_str(), nullptr);
    postvane_test::SmallVolume volume(small, "256k");
    if (!volume.Mounted()) GTEST_SKIP() << "no small volume can be mounted here: " << volume.Reason();
    SetRegText(kMailKey, "OutboxDir", small + "\\Outbox");
    Postvane::ServiceLog().SetLogPath(logPath.c_str());
    const std::string large(300 * 1024, 'l'), receipt = "a receipt";
    struct Step {
        const std::string& text;
        bool refusedWrite;  // the write fails with ERROR_HANDLE_DISK_FULL
        bool stored;
        size_t told;        // log lines of the full disk so far
    };
    const Step steps[] = {
        {receipt, false, true, 0},
        {large, false, false, 1},   // larger than the free space: refused before any file
        {large, false, false, 1},   // the same episode
        {receipt, false, true, 1},  // a small one still goes, and ends the episode
        {receipt, true, false, 2},  // the write finds the disk full: a new episode
        {large, false, false, 2},
    };
    size_t stored = 0;
    for (const Step& step : steps) {
        Postvane::SubmitSeams::SetWrite(step.refusedWrite ? DiskFullWrite : nullptr);
        SmtpMail mail = EmptyMail();
        mail.Text = step.text.c_str();
        SetLastError(0);
        EXPECT_EQ(step.stored, SmtpSendMail(&mail) != FALSE) << step.text.size();
        if (!step.stored) {
            EXPECT_EQ(DWORD(ERROR_DISK_FULL), GetLastError());
        }
        stored += step.stored;
        EXPECT_EQ(stored, ListDir(small + "\\Outbox").size()) << "no file, hidden or not, of a refused message";
        std::string log = ReadFileBytes(logPath);
        EXPECT_EQ(step.told, smtptest::Occurrences(log, "[2] Недостаточно места на диске почтового ящика " + small +
                                                                 "\\Outbox\\: свободно ")) << Printable(log);
    }
    Postvane::ServiceLog().SetLogPath(nullptr);
}
