// Isolation and helpers shared by the test programs.
#pragma once
#include <windows.h>
#include <string>
#include <vector>

namespace testing_support {

// The registry path under HKEY_CURRENT_USER that stands in for HKEY_LOCAL_MACHINE in this
// test process (set up by the test main before any test runs).
const std::string& RegistryRoot();

// Writes a value under the isolated HKEY_LOCAL_MACHINE; an empty name is the default value.
void SetRegText(const char* keyPath, const char* name, const std::string& value);
void SetRegNumber(const char* keyPath, const char* name, DWORD value);
void DeleteRegValue(const char* keyPath, const char* name);
// The text of a value, or "<absent>".
std::string GetRegText(const char* keyPath, const char* name);

// A fresh directory under the temporary folder, removed with everything in it on destruction.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& Path() const { return path_; }
    // Path joined with a relative name.
    std::string operator/(const std::string& name) const { return path_ + "\\" + name; }
private:
    std::string path_;
};

void RemoveTree(const std::string& path);
std::string ReadFileBytes(const std::string& path);
void WriteFileBytes(const std::string& path, const std::string& bytes);
bool PathExists(const std::string& path);
// Names of the entries of a directory (no "." or ".."), sorted.
std::vector<std::string> ListDir(const std::string& dir);
// A moment as SYSTEMTIME (the day of the week is left 0: conversions ignore it).
SYSTEMTIME Moment(WORD year, WORD month, WORD day, WORD hour = 0, WORD minute = 0, WORD second = 0, WORD ms = 0);
// A time zone for TimeSource::SetZone: UTC+3 all year round, no daylight saving.
DWORD ZoneUtcPlus3(TIME_ZONE_INFORMATION* tzi);

// A text with windows-1251 bytes shown as \xNN where they are not printable ASCII.
std::string Printable(const std::string& bytes);

}  // namespace testing_support
