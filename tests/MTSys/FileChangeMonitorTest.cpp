#include <gtest/gtest.h>
#include "FileChangeMonitor.h"
#include "TestSupport.h"

using testing_support::TempDir;
using testing_support::WriteFileBytes;

namespace {
// The service's filter: names, attributes, size, last write, security.
const DWORD kOutboxFilter = 0x11D;
// Long enough for a change that must come; the test ends as soon as it does.
const DWORD kMustSignalMs = 5000;
// Long enough to show that a change does not come.
const DWORD kQuietMs = 300;
}  // namespace

TEST(FileChangeMonitor, SignalsOnFileCreatedInDirectoryAndStaysSignalled) {
    TempDir dir;
    MTSys::FileChangeMonitor monitor(dir.Path().c_str(), false, kOutboxFilter);
    ASSERT_TRUE(monitor.IsValid()) << "monitor on an existing directory";
    EXPECT_FALSE(monitor.IsSignalled()) << "nothing changed yet";

    WriteFileBytes(dir / "1.eml", "To: a@b\r\n");
    ASSERT_TRUE(monitor.Wait(kMustSignalMs)) << "a new file signals the monitor";
    EXPECT_TRUE(monitor.IsSignalled()) << "the signal stays until re-armed";
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(monitor.GetHandle(), 0)) << "GetHandle is the waitable handle";
}

TEST(FileChangeMonitor, IgnoresFileCreatedInSubdirectory) {
    TempDir dir;
    ASSERT_TRUE(CreateDirectoryA((dir / "Wait").c_str(), nullptr));
    MTSys::FileChangeMonitor monitor(dir.Path().c_str(), false, kOutboxFilter);
    ASSERT_TRUE(monitor.IsValid());

    WriteFileBytes(dir / "Wait\\1.eml.msglog", "log");
    EXPECT_FALSE(monitor.Wait(kQuietMs)) << "a file in a subdirectory must not signal without subtree";

    // The monitor itself works: a file beside the subdirectory does signal.
    WriteFileBytes(dir / "2.eml", "x");
    EXPECT_TRUE(monitor.Wait(kMustSignalMs));
}

TEST(FileChangeMonitor, MissingDirectoryGivesInvalidMonitorAndLastError) {
    TempDir dir;
    SetLastError(0);
    MTSys::FileChangeMonitor monitor((dir / "missing\\deeper").c_str(), false, kOutboxFilter);
    DWORD error = GetLastError();
    EXPECT_FALSE(monitor.IsValid());
    EXPECT_TRUE(error == ERROR_PATH_NOT_FOUND || error == ERROR_FILE_NOT_FOUND) << "last error " << error;
    EXPECT_EQ(INVALID_HANDLE_VALUE, monitor.GetHandle());
    EXPECT_FALSE(monitor.Wait(0)) << "an invalid monitor never reads as signalled";
    EXPECT_FALSE(monitor.Wait(INFINITE)) << "and never blocks a waiter";

    SetLastError(0);
    MTSys::FileChangeMonitor direct((dir / "missing").c_str(), false, kOutboxFilter);
    error = GetLastError();
    EXPECT_FALSE(direct.IsValid());
    EXPECT_TRUE(error == ERROR_PATH_NOT_FOUND || error == ERROR_FILE_NOT_FOUND) << "last error " << error;
}

TEST(FileChangeMonitor, RearmWaitsForTheNextChangeAndFailsAfterClose) {
    TempDir dir;
    MTSys::FileChangeMonitor monitor(dir.Path().c_str(), false, kOutboxFilter);
    ASSERT_TRUE(monitor.IsValid());
    WriteFileBytes(dir / "1.eml", "a");
    ASSERT_TRUE(monitor.Wait(kMustSignalMs));

    monitor.Rearm();
    WriteFileBytes(dir / "2.eml", "b");
    EXPECT_TRUE(monitor.Wait(kMustSignalMs)) << "a re-armed monitor signals the next change";

    monitor.Close();
    EXPECT_FALSE(monitor.IsValid());
    EXPECT_FALSE(monitor.IsSignalled());
    try {
        monitor.Rearm();
        ADD_FAILURE() << "re-arming a closed monitor must throw";
    } catch (const WindowsError& e) {
        EXPECT_EQ(string("MTSys/FileChangeMonitor"), e.Source());
        EXPECT_NE(0, e.Code());
    }
}
