#include <gtest/gtest.h>
#include "Disposal.h"
#include "OutboxPassFixture.h"
#include "SmallVolume.h"
#include "TestSupport.h"

using namespace testing_support;
using Postvane::MailService;

namespace {
const char* const kMail = kMailKey;

// A service log in a temporary file, read back as text.
class DisposalTest : public ::testing::Test {
protected:
    void SetUp() override {
        Postvane::ServiceLog().SetLogPath((dir / "service.log").c_str());
        outbox = dir / "Outbox";
        CreateDirectoryA(outbox.c_str(), nullptr);
        message = outbox + "\\123.eml";
        WriteFileBytes(message, "From: a\r\n\r\nbody");
    }
    void TearDown() override { Postvane::ServiceLog().SetLogPath(nullptr); }
    std::string Log() { return ReadFileBytes(dir / "service.log"); }

    TempDir dir;
    std::string outbox, message;
    MailService service;
};
}  // namespace

TEST_F(DisposalTest, EmptyDirectoryValuesAreLoggedAndNotCopied) {
    EXPECT_FALSE(Postvane::DisposeMessage(service, message.c_str(), true));
    EXPECT_FALSE(Postvane::DisposeMessage(service, message.c_str(), false));
    std::string log = Log();
    EXPECT_NE(std::string::npos, log.find("[2] Путь архива не задан, не удаётся сохранить отправленное сообщение: " + message))
        << Printable(log);
    EXPECT_NE(std::string::npos, log.find("[2] Путь архива не задан, не удаётся сохранить неотправленное сообщение: " + message))
        << Printable(log);
    EXPECT_TRUE(PathExists(message)) << "disposal copies; deleting is the caller's";
}

TEST_F(DisposalTest, CopiesUnderAFreeNameIntoACreatedDirectory) {
    std::string archive = dir / "deep\\Sent";
    SetRegText(kMail, "ArchiveDir", archive);
    ASSERT_TRUE(Postvane::DisposeMessage(service, message.c_str(), true)) << "missing parents are created";
    EXPECT_EQ(ReadFileBytes(message), ReadFileBytes(archive + "\\123.eml"));

    WriteFileBytes(archive + "\\123(1).eml", "older");
    ASSERT_TRUE(Postvane::DisposeMessage(service, message.c_str(), true));
    EXPECT_EQ((std::vector<std::string>{"123(1).eml", "123(2).eml", "123.eml"}), ListDir(archive));
    EXPECT_EQ("older", ReadFileBytes(archive + "\\123(1).eml")) << "a copy never overwrites an earlier one";
    EXPECT_NE(std::string::npos, Log().find("[5] Копируется " + message + " в " + archive + "\\123(2).eml"));
}

TEST_F(DisposalTest, CopiesFilesOfAnySizeByteForByte) {
    std::string archive = dir / "Sent";
    SetRegText(kMail, "ArchiveDir", archive);
    std::string large(5 * (1 << 19) + 3, '\0');  // two and a half copy blocks; one block exactly before it
    for (size_t i = 0; i < large.size(); ++i) large[i] = char(i * 13 + i / 4093);
    const std::string contents[] = {"", "x", std::string(1 << 20, 'y'), large};
    for (size_t i = 0; i < 4; ++i) {
        std::string source = outbox + "\\" + std::to_string(i) + ".eml";
        WriteFileBytes(source, contents[i]);
        ASSERT_TRUE(Postvane::DisposeMessage(service, source.c_str(), true)) << contents[i].size() << " bytes";
        EXPECT_TRUE(ReadFileBytes(archive + "\\" + std::to_string(i) + ".eml") == contents[i])
            << contents[i].size() << " bytes";
    }
}

TEST_F(DisposalTest, UniqueNameKeepsNamesWithoutExtension) {
    std::string plain = dir / "README";
    EXPECT_EQ(plain, Postvane::UniqueTargetPath(plain.c_str()).str());
    WriteFileBytes(plain, "x");
    EXPECT_EQ(dir / "README(1)", Postvane::UniqueTargetPath(plain.c_str()).str());
}

TEST_F(DisposalTest, StopRequestCancelsALargeCopy) {
    std::string big = outbox + "\\big.eml";
    WriteFileBytes(big, std::string(5 << 20, 'x'));
    std::string bad = dir / "Bad";
    SetRegText(kMail, "BadMailDir", bad);

    // The stop request arrives after the first block has been copied.
    struct Probe {
        MailService* service;
        int calls;
        // A copy progress routine has the standard-call convention (a lambda converts only to
        // the default one).
        static DWORD WINAPI Progress(LARGE_INTEGER a, LARGE_INTEGER b, LARGE_INTEGER c, LARGE_INTEGER d, DWORD e,
                                     DWORD f, HANDLE g, HANDLE h, LPVOID data) {
            Probe* p = static_cast<Probe*>(data);
            if (++p->calls == 2) p->service->stopEvent.Set();
            return Postvane::CopyProgress(a, b, c, d, e, f, g, h, p->service);
        }
    } probe{&service, 0};
    LPPROGRESS_ROUTINE progress = Probe::Progress;
    CreateDirectoryA(bad.c_str(), nullptr);
    std::string target = bad + "\\big.eml";
    SetLastError(0);
    EXPECT_FALSE(Postvane::CopyFileInBlocks(big.c_str(), target.c_str(), progress, &probe));
    EXPECT_EQ(DWORD(ERROR_REQUEST_ABORTED), GetLastError());
    EXPECT_EQ(2, probe.calls);
    EXPECT_FALSE(PathExists(target)) << "a cancelled copy leaves no partial file";

    EXPECT_FALSE(Postvane::DisposeMessage(service, big.c_str(), false));
    EXPECT_NE(std::string::npos, Log().find("[2] Копирование завершено неудачей. Системная ошибка 000004d3."))
        << Printable(Log());
}

// An undeliverable message whose copy a full volume refuses is tried again after each pause:
// the failure is told once, until a copy is made again, and no partial copy stays.
TEST_F(DisposalTest, CopiesThatAFullVolumeRefusesAreLoggedOncePerEpisode) {
    std::string small = dir / "Small";
    CreateDirectoryA(small.c_str(), nullptr);
    postvane_test::SmallVolume volume(small, "64k");
    if (!volume.Mounted()) GTEST_SKIP() << "no small volume can be mounted here: " << volume.Reason();
    SetRegText(kMail, "BadMailDir", small);
    std::string large = outbox + "\\200.eml";
    WriteFileBytes(large, std::string(100 * 1024, 'l'));
    const std::string failed = "[2] Копирование завершено неудачей. Системная ошибка 00000070.";
    const struct {
        const std::string& path;
        Postvane::Kept kept;
        size_t told;
    } steps[] = {{large, Postvane::Kept::Failed, 1}, {large, Postvane::Kept::Failed, 1},
                 {message, Postvane::Kept::Copied, 1}, {large, Postvane::Kept::Failed, 2}};
    for (const auto& step : steps) {
        EXPECT_EQ(step.kept, Postvane::KeepCopy(service, step.path.c_str(), false));
        EXPECT_EQ(step.told, smtptest::Occurrences(Log(), failed)) << Printable(Log());
    }
    EXPECT_EQ(std::vector<std::string>{"123.eml"}, ListDir(small)) << "no partial copy";
}
