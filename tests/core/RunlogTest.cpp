#include <gtest/gtest.h>
#include <cstdio>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>
#include "Runlog.h"
#include "TestSupport.h"
#include "qlbase.h"

using testing_support::ReadFileBytes;
using testing_support::TempDir;

namespace {
std::vector<std::string> Lines(const std::string& bytes) {
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t end; (end = bytes.find("\r\n", start)) != std::string::npos; start = end + 2)
        lines.push_back(bytes.substr(start, end - start));
    EXPECT_EQ(bytes.size(), start) << "every record ends with CR LF";
    return lines;
}

class Log : public ::testing::Test {
protected:
    TempDir dir;
};
}  // namespace

TEST_F(Log, RecordHoldsTimeKindAndMessage) {
    testing_support::FixedClock clock(testing_support::Moment(2009, 3, 3, 9, 5, 7, 250));
    std::string path = dir / "service.log";
    {
        Runlog log;
        log.SetOptions(3);
        log.SetLogPath(path.c_str());
        EXPECT_TRUE(log.HasFile());
        log.Write(Runlog::Progress, "started %d", 7);
        log.WriteText(Runlog::Error, "Почтовый ящик не задан.");
    }
    EXPECT_EQ("2009-03-03 09:05:07.250 [5] started 7\r\n"
              "2009-03-03 09:05:07.250 [2] Почтовый ящик не задан.\r\n",
              ReadFileBytes(path));
    {
        Runlog again;
        again.SetLogPath(path.c_str());
        again.Write(Runlog::Survived, "appended");
    }
    EXPECT_EQ(3u, Lines(ReadFileBytes(path)).size()) << "a log appends to an existing file";
}

TEST_F(Log, DataIsWrittenLiterally) {
    std::string path = dir / "literal.log";
    Runlog log;
    log.SetLogPath(path.c_str());
    log.Write(Runlog::Detail, "%s", "<< 250 100% done %s %n");
    log.WriteText(Runlog::Detail, "C:\\Outbox\\%u.eml");
    std::string big(5000, 'x');
    big += "%d end";
    log.Write(Runlog::Detail, "%s", big.c_str());
    std::vector<std::string> lines = Lines(ReadFileBytes(path));
    ASSERT_EQ(3u, lines.size());
    EXPECT_NE(std::string::npos, lines[0].find("[6] << 250 100% done %s %n"));
    EXPECT_NE(std::string::npos, lines[1].find("[6] C:\\Outbox\\%u.eml"));
    EXPECT_NE(std::string::npos, lines[2].find("[6] " + big)) << "a long record is kept whole";
}

TEST_F(Log, EveryRecordIsOneLine) {
    const std::pair<const char*, const char*> cases[] = {
        {"250 ok\r\n", "250 ok"},
        {"first\r\nsecond", "first\\r\\nsecond"},
        {"a\nb\rc", "a\\nb\\rc"},
        {"reply\r\n2026-12-08 12:00:00.000 [5] forged\r\n\r\n", "reply\\r\\n2026-12-08 12:00:00.000 [5] forged"},
    };
    std::string path = dir / "lines.log";
    Runlog log;
    log.SetLogPath(path.c_str());
    for (const auto& c : cases) log.WriteText(Runlog::Detail, c.first);
    log.Write(Runlog::Detail, "%s", "via a format\n");
    std::vector<std::string> lines = Lines(ReadFileBytes(path));
    ASSERT_EQ(5u, lines.size()) << ReadFileBytes(path);
    for (size_t i = 0; i < 4; ++i) EXPECT_EQ(cases[i].second, lines[i].substr(lines[i].find("[6] ") + 4));
    EXPECT_NE(std::string::npos, lines[4].find("[6] via a format"));
}

TEST_F(Log, ConcurrentWritesLoseNothing) {
    std::string path = dir / "threads.log";
    Runlog log;
    log.SetLogPath(path.c_str());
    const int kThreads = 8, kRecords = 200;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&log, t] {
            for (int i = 0; i < kRecords; ++i) log.Write(Runlog::Progress, "thread %d record %d", t, i);
        });
    for (std::thread& t : threads) t.join();

    std::vector<std::string> lines = Lines(ReadFileBytes(path));
    ASSERT_EQ(size_t(kThreads * kRecords), lines.size());
    std::set<std::string> seen;
    std::vector<int> next(kThreads, 0);
    for (const std::string& line : lines) {
        size_t at = line.find(" [5] thread ");
        ASSERT_NE(std::string::npos, at) << "a record was torn: " << line;
        seen.insert(line.substr(at));
        int t = -1, i = -1;
        ASSERT_EQ(2, std::sscanf(line.c_str() + at, " [5] thread %d record %d", &t, &i)) << line;
        EXPECT_LE(next[t], i) << "each thread's records stay in the order it wrote them";
        next[t] = i + 1;
    }
    EXPECT_EQ(size_t(kThreads * kRecords), seen.size()) << "every record appears exactly once";
}

TEST_F(Log, TakesTheKitsReportsAsErrorsWhileGivenTheOption) {
    std::string path = dir / "kit.log";
    {
        Runlog log;
        log.SetLogPath(path.c_str());
        MTSys::Report("before the option");
        log.SetOptions(3);
        MTSys::Report("WaitCallback::Release: UnregisterWaitEx failure, error code: 6");
        log.SetOptions(1);
        MTSys::Report("after the option");
        log.SetOptions(3);
        {
            Runlog other;
            other.SetOptions(3);  // takes the reports from the first log while it lives
        }
        MTSys::Report("after the other log");
    }
    MTSys::Report("after the log");  // goes nowhere and must not touch the log that is gone
    std::vector<std::string> lines = Lines(ReadFileBytes(path));
    ASSERT_EQ(1u, lines.size());
    EXPECT_NE(std::string::npos, lines[0].find(" [2] WaitCallback::Release: UnregisterWaitEx failure, error code: 6"));
}

TEST_F(Log, NullPathEndsFileOutput) {
    std::string first = dir / "first.log", second = dir / "second.log";
    Runlog log;
    log.Write(Runlog::Error, "before any file");  // goes nowhere, must not fail
    log.SetLogPath(first.c_str());
    log.Write(Runlog::Progress, "one");
    log.SetLogPath(nullptr);
    EXPECT_FALSE(log.HasFile());
    EXPECT_TRUE(log.LogPath().IsEmpty());
    log.Write(Runlog::Progress, "dropped");
    log.SetLogPath(second.c_str());
    log.Write(Runlog::Progress, "two");
    log.SetLogPath(nullptr);

    std::vector<std::string> a = Lines(ReadFileBytes(first));
    ASSERT_EQ(1u, a.size());
    EXPECT_NE(std::string::npos, a[0].find("one"));
    std::vector<std::string> b = Lines(ReadFileBytes(second));
    ASSERT_EQ(1u, b.size());
    EXPECT_NE(std::string::npos, b[0].find("two"));
    EXPECT_TRUE(DeleteFileA(first.c_str())) << "a log that has ended keeps no handle open";
}
