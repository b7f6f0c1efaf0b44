#include <gtest/gtest.h>
#include "TestSupport.h"
#include "qlframe.h"

using testing_support::TempDir;

TEST(Paths, PathSpecEndsWithOneSeparator) {
    EXPECT_EQ("C:\\Outbox\\", MakePathSpec("C:\\Outbox").str());
    EXPECT_EQ("C:\\Outbox\\", MakePathSpec("C:\\Outbox\\").str()) << "a directory path stays unchanged";
    EXPECT_EQ("C:/Outbox/", MakePathSpec("C:/Outbox/").str());
    EXPECT_EQ("", MakePathSpec("").str());
    string parent = GetParentPath("C:\\Pennark\\Postdesk.dll");
    EXPECT_EQ("C:\\Pennark\\", parent.str());
    EXPECT_EQ(parent.str(), MakePathSpec(parent).str()) << "a parent path is ready for a file name";
    EXPECT_EQ("", GetParentPath("Postdesk.dll").str());
}

TEST(Paths, ComponentsOfAPath) {
    EXPECT_EQ("12345.eml", GetFileFromPath("C:\\Outbox\\12345.eml").str());
    EXPECT_EQ("12345.eml", GetFileFromPath("C:/Outbox/12345.eml").str());
    EXPECT_EQ("12345.eml", GetFileFromPath("12345.eml").str());
    EXPECT_EQ("12345", GetFileName("C:\\Outbox\\12345.eml").str());
    EXPECT_EQ(".eml", GetFileExt("C:\\Outbox\\12345.eml").str());
    EXPECT_EQ("archive.tar", GetFileName("D:\\a.b\\archive.tar.gz").str()) << "only the last dot counts";
    EXPECT_EQ(".gz", GetFileExt("D:\\a.b\\archive.tar.gz").str());
    EXPECT_EQ("", GetFileExt("D:\\a.b\\README").str()) << "a dot in a directory is no extension";
    EXPECT_EQ("README", GetFileName("D:\\a.b\\README").str());
    // A free name in the archive is built by plain concatenation.
    string path = "C:\\Sent\\12345.eml";
    EXPECT_EQ("C:\\Sent\\12345(1).eml",
              (GetParentPath(path) + GetFileName(path) + "(1)" + GetFileExt(path)).str());
}

TEST(Paths, AbsoluteFullAndExpanded) {
    EXPECT_TRUE(IsAbsolutePath("C:\\x"));
    EXPECT_TRUE(IsAbsolutePath("\\\\server\\share"));
    EXPECT_FALSE(IsAbsolutePath("x\\y"));
    EXPECT_FALSE(IsAbsolutePath("C:x"));
    EXPECT_TRUE(IsAbsolutePath(GetFullPath("x\\y")));
    SetEnvironmentVariableA("PENNARK_TEST_DIR", "C:\\Kiosk");
    EXPECT_EQ("C:\\Kiosk\\Outbox", ExpEnv("%PENNARK_TEST_DIR%\\Outbox").str());
    EXPECT_EQ("plain", ExpEnv("plain").str());
}

TEST(Paths, CreatePathCreatesEveryMissingParent) {
    TempDir dir;
    std::string deep = dir / "a\\b\\c";
    EXPECT_TRUE(CreatePath(deep.c_str(), nullptr));
    EXPECT_TRUE(FileExists(deep.c_str()));
    EXPECT_TRUE(CreatePath((deep + "\\").c_str(), nullptr)) << "an existing directory, with its separator";
    EXPECT_TRUE(CreatePath((dir / "x/y").c_str(), nullptr)) << "slashes separate too";
    EXPECT_TRUE(FileExists((dir / "x\\y").c_str()));

    testing_support::WriteFileBytes(dir / "file", "x");
    string error;
    EXPECT_FALSE(CreatePath((dir / "file\\sub").c_str(), &error)) << "a file stands in the way";
    EXPECT_TRUE(error.HasText()) << "the failure is described when asked";
    EXPECT_FALSE(CreatePath((dir / "file").c_str(), nullptr)) << "a file is not a directory";
}

TEST(Paths, SpecialFolderCanBeRedirected) {
    EXPECT_TRUE(GetSpecialFolderPath(nullptr, 0x1A).HasText()) << "the application-data folder exists";
    OverrideSpecialFolderPath(0x1A, "C:\\Redirected");
    EXPECT_EQ("C:\\Redirected", GetSpecialFolderPath(nullptr, 0x1A).str());
    OverrideSpecialFolderPath(0x1A, "");
    EXPECT_NE("C:\\Redirected", GetSpecialFolderPath(nullptr, 0x1A).str());
    string exe = GetModuleFileNameA(HMODULE(nullptr));
    EXPECT_EQ(".exe", GetFileExt(exe).str()) << exe.str();
}
