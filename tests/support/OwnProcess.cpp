#include "OwnProcess.h"
#include <windows.h>
#include <gtest/gtest.h>
#include <string>
#include "TestSupport.h"

namespace testing_support {

namespace {
// Names the test that the new process runs in a process of its own.
const char kOwnProcess[] = "PENNARK_OWN_PROCESS";
// Longer than any single test takes, shorter than ctest's limit.
const DWORD kOwnProcessLimitMs = 180000;
// Under load Wine now and then fails a process start with ERROR_INTERNAL_ERROR (the new
// process ended while it started); such a start is tried again, a few times.
const int kStartAttempts = 3;

std::string CurrentTest() {
    const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
    return test ? std::string(test->test_suite_name()) + "." + test->name() : std::string();
}
}  // namespace

bool InOwnProcess() {
    char value[512];
    DWORD n = GetEnvironmentVariableA(kOwnProcess, value, sizeof value);
    return n > 0 && n < sizeof value && CurrentTest() == value;
}

void RunInOwnProcess() {
    const std::string name = CurrentTest();
    char program[MAX_PATH];
    DWORD length = GetModuleFileNameA(nullptr, program, sizeof program);
    ASSERT_TRUE(length > 0 && length < sizeof program);

    TempDir dir;
    const std::string outputPath = dir / "output.txt";
    SECURITY_ATTRIBUTES inherited = {sizeof inherited, nullptr, TRUE};
    HANDLE output = CreateFileA(outputPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherited, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, output) << "error " << GetLastError();
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = output;
    startup.hStdError = output;
    PROCESS_INFORMATION child = {};
    std::string command = "\"" + std::string(program, length) + "\" --gtest_filter=" + name;
    SetEnvironmentVariableA(kOwnProcess, name.c_str());
    BOOL started = FALSE;
    DWORD error = 0;
    for (int attempt = 0; !started && attempt < kStartAttempts; ++attempt) {
        started = CreateProcessA(nullptr, &command[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &child);
        error = started ? 0 : GetLastError();
        if (error != ERROR_INTERNAL_ERROR) break;
    }
    SetEnvironmentVariableA(kOwnProcess, nullptr);
    CloseHandle(output);
    ASSERT_TRUE(started) << command << ": error " << error;

    DWORD code = STILL_ACTIVE;
    if (WaitForSingleObject(child.hProcess, kOwnProcessLimitMs) != WAIT_OBJECT_0) {
        TerminateProcess(child.hProcess, 1);
        WaitForSingleObject(child.hProcess, INFINITE);
        ADD_FAILURE() << name << " did not end in its own process within " << kOwnProcessLimitMs / 1000 << " s";
    }
    GetExitCodeProcess(child.hProcess, &code);
    CloseHandle(child.hThread);
    CloseHandle(child.hProcess);
    EXPECT_EQ(0u, code) << name << " failed in its own process:\n" << ReadFileBytes(outputPath);
}

}  // namespace testing_support
