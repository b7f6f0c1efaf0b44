// Isolation and helpers shared by the test programs.
#pragma once
#include <windows.h>
#include <string>
#include <vector>
#include "qlbase.h"

namespace testing_support {

// The product's configuration keys under (the isolated) HKEY_LOCAL_MACHINE. Spelled out here,
// not taken from the product, so that a test notices when the product reads elsewhere.
const char kProductKey[] = "Software\\Quillet\\Pennark";
const char kMailKey[] = "Software\\Quillet\\Pennark\\Kiosk\\Mail";
const char kSmtpKey[] = "Software\\Quillet\\Pennark\\Kiosk\\Mail\\SMTP";
const char kDialupKey[] = "Software\\Quillet\\Pennark\\Kiosk\\Dialup";
// The key of one mail class (below the Mail key's MailClass).
std::string MailClassKey(const std::string& name);

// HKEY_LOCAL_MACHINE of this process redirected to a fresh key under HKEY_CURRENT_USER
// (named base\<process>-<tick>-<count>) that holds a copy of the machine's cryptography
// registration, which the data protection API reads from HKEY_LOCAL_MACHINE. The destructor
// restores HKEY_LOCAL_MACHINE and removes the key with everything in it. One at a time.
class PrivateRegistry {
public:
    explicit PrivateRegistry(const char* base);
    ~PrivateRegistry();
    PrivateRegistry(const PrivateRegistry&) = delete;
    PrivateRegistry& operator=(const PrivateRegistry&) = delete;
    // False when the key could not be made or put in place (nothing is redirected then).
    bool Isolated() const { return isolated_; }
    HKEY Key() const { return key_; }
    // The key's path under HKEY_CURRENT_USER.
    const std::string& Root() const { return root_; }
private:
    HKEY key_ = nullptr;
    std::string root_;
    bool isolated_ = false;
};

// The registry path under HKEY_CURRENT_USER that stands in for HKEY_LOCAL_MACHINE in this
// test process (set up by the test main before any test runs).
const std::string& RegistryRoot();

// Writes a value under the isolated HKEY_LOCAL_MACHINE; an empty name is the default value.
void SetRegText(const std::string& keyPath, const char* name, const std::string& value);
void SetRegNumber(const std::string& keyPath, const char* name, DWORD value);
void DeleteRegValue(const std::string& keyPath, const char* name);
// The text of a value, or "<absent>".
std::string GetRegText(const std::string& keyPath, const char* name);

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
// The full path of a file in the folder of the running test program.
std::string BesideTests(const char* name);

// What a program run by RunBesideTests did.
struct ProgramRun {
    bool ended = false;          // it started and ended within the limit
    DWORD exitCode = DWORD(-1);
    std::string output;          // its standard output and error
    bool Has(const std::string& text) const { return output.find(text) != std::string::npos; }
};
// Runs a program from beside the tests with the arguments, its HKEY_LOCAL_MACHINE this test's
// private key, and waits up to limitMs before ending it. Its output goes to a file, not a
// pipe: a desktop process that a program's window starts inherits the handle and would hold a
// pipe open.
ProgramRun RunBesideTests(const char* program, const std::string& arguments, DWORD limitMs);
// A moment as SYSTEMTIME (the day of the week is left 0: conversions ignore it).
SYSTEMTIME Moment(WORD year, WORD month, WORD day, WORD hour = 0, WORD minute = 0, WORD second = 0, WORD ms = 0);

// The moment RealTime::Now() returns while the object lives (local time); the system's
// clock again after. The clock seam takes a plain function, so one clock at a time.
class FixedClock {
public:
    explicit FixedClock(const SYSTEMTIME& moment);
    ~FixedClock();
    FixedClock(const FixedClock&) = delete;
    FixedClock& operator=(const FixedClock&) = delete;
    void Set(const SYSTEMTIME& moment);
    void Advance(double seconds);
    RealTime Now() const;
};

// The time zone the conversions between local time and UTC see while the object lives; the
// system's again after. One at a time.
class FixedZone {
public:
    // A zone biasMinutes west of UTC all year round (-180 is UTC+3), reported as
    // TIME_ZONE_ID_UNKNOWN like a zone without daylight saving.
    explicit FixedZone(LONG biasMinutes = -180);
    ~FixedZone();
    FixedZone(const FixedZone&) = delete;
    FixedZone& operator=(const FixedZone&) = delete;
    // What GetTimeZoneInformation answers from now on: id and the record.
    void Set(DWORD id, const TIME_ZONE_INFORMATION& zone);
    void Set(DWORD id, LONG bias, LONG standardBias = 0, LONG daylightBias = 0);
};

// Records the calls of the service callback (the exported callback's signature).
class CallbackProbe {
public:
    CallbackProbe();
    ~CallbackProbe();
    CallbackProbe(const CallbackProbe&) = delete;
    CallbackProbe& operator=(const CallbackProbe&) = delete;
    static void __cdecl Called(int code, int detail, void* userData);
    // True when a call came within ms (a call that came before counts).
    bool Wait(DWORD ms) const;
    int code = -1, detail = -1;
    void* userData = nullptr;
    volatile LONG calls = 0;
private:
    HANDLE called_;
};

// A text with windows-1251 bytes shown as \xNN where they are not printable ASCII.
std::string Printable(const std::string& bytes);

// The value of the first header line of message that starts with name ("Subject: "), or "":
// unfolded, its windows-1251 encoded words decoded.
std::string HeaderOf(const std::string& message, const std::string& name);

}  // namespace testing_support
