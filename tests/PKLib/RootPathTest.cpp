#include <gtest/gtest.h>
#include "PKLib.h"
#include "TestSupport.h"

using testing_support::TempDir;
using testing_support::WriteFileBytes;

namespace {
using testing_support::kProductKey;

std::string HostDirectory() {
    char path[MAX_PATH];
    DWORD n = ::GetModuleFileNameA(nullptr, path, sizeof path);
    std::string s(path, n);
    return s.substr(0, s.find_last_of('\\') + 1);
}

// A file beside the test program, removed at the end.
class FileBesideHost {
public:
    explicit FileBesideHost(const std::string& name) : path_(HostDirectory() + name) { WriteFileBytes(path_, "x"); }
    ~FileBesideHost() { Remove(); }
    void Remove() { DeleteFileA(path_.c_str()); }
    const std::string& Path() const { return path_; }
private:
    std::string path_;
};

// Runs the test with a current directory where nothing is found.
class InEmptyDirectory {
public:
    InEmptyDirectory() {
        GetCurrentDirectoryA(sizeof old_, old_);
        SetCurrentDirectoryA(dir_.Path().c_str());
    }
    ~InEmptyDirectory() { SetCurrentDirectoryA(old_); }
private:
    TempDir dir_;
    char old_[MAX_PATH];
};
}  // namespace

TEST(RootPath, AbsentKeyGivesEmptyAndALaterKeyIsStillSeen) {
    EXPECT_EQ(string(""), GetRootPath()) << "no product key yet";
    testing_support::SetRegText(kProductKey, "Root Path", "C:\\Pennark");
    EXPECT_EQ(string("C:\\Pennark\\"), GetRootPath()) << "the key created after the first use is read";
    testing_support::SetRegText(kProductKey, "Root Path", "D:\\Other\\");
    EXPECT_EQ(string("D:\\Other\\"), GetRootPath()) << "the value is read at every call";
    testing_support::DeleteRegValue(kProductKey, "Root Path");
    EXPECT_EQ(string(""), GetRootPath()) << "an absent value gives the empty root";
}

TEST(RootPath, ExpandsEnvironmentVariables) {
    SetEnvironmentVariableA("PENNARK_TEST_DRIVE", "E:\\Kiosk");
    testing_support::SetRegText(kProductKey, "Root Path", "%PENNARK_TEST_DRIVE%\\Pennark");
    EXPECT_EQ(string("E:\\Kiosk\\Pennark\\"), GetRootPath());
}

TEST(FindProgramFile, AbsoluteNameIsReturnedEvenWhenMissingWithTopicAndWindow) {
    const char* name = "C:\\nowhere\\postdesk.chm";
    EXPECT_EQ(string("C:\\nowhere\\postdesk.chm"), FindProgramFile(nullptr, name, "", ""));
    EXPECT_EQ(string("C:\\nowhere\\postdesk.chm::/email.htm>main"), FindProgramFile(nullptr, name, "/email.htm", "main"));
    EXPECT_EQ(string("C:\\nowhere\\postdesk.chm::/email.htm"), FindProgramFile(nullptr, name, "/email.htm", string()));
    EXPECT_EQ(string("C:\\nowhere\\postdesk.chm>main"), FindProgramFile(nullptr, name, string(), "main"));

    SetEnvironmentVariableA("PENNARK_TEST_HELP", "C:\\help");
    EXPECT_EQ(string("C:\\help\\postdesk.chm"), FindProgramFile(nullptr, "%PENNARK_TEST_HELP%\\postdesk.chm", "", ""))
        << "the name is expanded before it is judged absolute";
}

TEST(FindProgramFile, BesideHostWinsOverRootPathThenRootThenTheNameAsGiven) {
    InEmptyDirectory cwd;
    TempDir root;
    testing_support::SetRegText(kProductKey, "Root Path", root.Path());
    char name[64];
    wsprintfA(name, "pklib-%lu.chm", GetCurrentProcessId());
    WriteFileBytes(root / name, "root");
    FileBesideHost beside(name);

    EXPECT_EQ(string(beside.Path().c_str()), FindProgramFile(nullptr, name, "", "")) << "beside the host first";
    beside.Remove();
    EXPECT_EQ(string((root / name + "::t.htm").c_str()), FindProgramFile(nullptr, name, "t.htm", ""))
        << "then under the root path";
    DeleteFileA((root / name).c_str());
    EXPECT_EQ(string(name), FindProgramFile(nullptr, name, "", "")) << "else the name as given";
    EXPECT_EQ(string("::t.htm"), FindProgramFile(nullptr, "", "t.htm", "")) << "an empty name finds no directory";
}
