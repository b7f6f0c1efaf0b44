#include <windows.h>
#include <winioctl.h>
#include <gtest/gtest.h>
#include "PKLib.h"
#include "TestSupport.h"

using testing_support::TempDir;
using testing_support::WriteFileBytes;

TEST(LoadTextFile, EmptyFileGivesEmptyTextAndBytesComeBackExactly) {
    TempDir dir;
    WriteFileBytes(dir / "empty.eml", "");
    string empty = LoadTextFile(string((dir / "empty.eml").c_str()));
    EXPECT_FALSE(empty.IsNull()) << "an empty file is the empty text, not a null one";
    EXPECT_EQ(0u, empty.Length());

    const std::string bytes("To: a@b\r\n\0\xC0\xFF\r\n.\r\n", 16);
    WriteFileBytes(dir / "1.eml", bytes);
    string text = LoadTextFile(string((dir / "1.eml").c_str()));
    ASSERT_EQ(bytes.size(), text.Length()) << "NUL bytes do not end the text";
    EXPECT_EQ(bytes, text.str());
}

TEST(LoadTextFile, MissingFileThrowsWithThePath) {
    TempDir dir;
    std::string path = dir / "missing.eml";
    try {
        LoadTextFile(string(path.c_str()));
        ADD_FAILURE() << "a missing file must throw, not load as empty";
    } catch (const FileAccessException& e) {
        std::string reason = e.Reason().str();
        EXPECT_EQ(0u, reason.find("file open error:")) << reason;
        EXPECT_NE(std::string::npos, reason.find(path)) << reason;
        EXPECT_EQ(string(path.c_str()), e.Resource());
    }
    EXPECT_THROW(LoadFile(string(path.c_str()), nullptr), FileAccessException)
        << "the open comes before the output is looked at";
}

TEST(LoadFile, ReadsAFileAnotherWriterHoldsOpen) {
    TempDir dir;
    std::string path = dir / "2.eml";
    HANDLE writer = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, writer);
    DWORD written = 0;
    WriteFile(writer, "partial", 7, &written, nullptr);
    vec<unsigned char> out;
    EXPECT_TRUE(LoadFile(string(path.c_str()), &out)) << "reading shares the file with its writer";
    EXPECT_EQ(7u, out.Count());
    CloseHandle(writer);
}

TEST(LoadFile, OpenPortIsReadFromItsStartIntoAnEmptiedBuffer) {
    TempDir dir;
    std::string path = dir / "3.eml";
    WriteFileBytes(path, "0123456789");
    FilePort port(string(path.c_str()), CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                                    OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(port.IsValid());
    LONGLONG pos = 4;
    port.SetPos(&pos);

    vec<unsigned char> out;
    out.Resize(3);  // something left from before
    EXPECT_FALSE(LoadFile(port, nullptr)) << "no output buffer";
    ASSERT_TRUE(LoadFile(port, &out));
    EXPECT_EQ("0123456789", std::string(reinterpret_cast<const char*>(out.Data()), out.Count()));
    EXPECT_EQ(string("0123456789"), LoadTextFile(port));
}

TEST(LoadFile, RefusesAFileTooLargeForOneReadInsteadOfCuttingIt) {
    TempDir dir;
    std::string path = dir / "huge.eml";
    HANDLE h = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    DWORD bytes = 0;
    // Sparse where the file system allows it, so no data is written.
    DeviceIoControl(h, FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &bytes, nullptr);
    LARGE_INTEGER size;
    size.QuadPart = 0x100000000LL + 3;  // its low 32 bits alone would read as 3 bytes
    bool grown = SetFilePointerEx(h, size, nullptr, FILE_BEGIN) && SetEndOfFile(h);
    CloseHandle(h);
    if (!grown) GTEST_SKIP() << "the file system refuses a 4 GB file";

    vec<unsigned char> out;
    EXPECT_THROW(LoadFile(string(path.c_str()), &out), FileException);
    EXPECT_EQ(0u, out.Count());
}
