#include "TestSupport.h"
#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace testing_support {

namespace {
std::string g_root;

HKEY OpenKey(const std::string& keyPath) {
    HKEY k = nullptr;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, keyPath.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k, nullptr) !=
        ERROR_SUCCESS)
        throw std::runtime_error(std::string("cannot create test key ") + keyPath);
    return k;
}
}  // namespace

const std::string& RegistryRoot() { return g_root; }

std::string MailClassKey(const std::string& name) { return std::string(kMailKey) + "\\MailClass\\" + name; }

PrivateRegistry::PrivateRegistry(const char* base) {
    static LONG counter = 0;
    char name[160];
    std::snprintf(name, sizeof name, "%s\\%lu-%lu-%ld", base, GetCurrentProcessId(), GetTickCount(),
                  InterlockedIncrement(&counter));
    root_ = name;
    if (RegCreateKeyExA(HKEY_CURRENT_USER, name, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key_, nullptr) != ERROR_SUCCESS) {
        key_ = nullptr;
        return;
    }
    const char cryptography[] = "Software\\Microsoft\\Cryptography";
    HKEY crypto = nullptr;
    if (RegCreateKeyExA(key_, cryptography, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &crypto, nullptr) == ERROR_SUCCESS) {
        RegCopyTreeA(HKEY_LOCAL_MACHINE, cryptography, crypto);
        RegCloseKey(crypto);
    }
    isolated_ = RegOverridePredefKey(HKEY_LOCAL_MACHINE, key_) == ERROR_SUCCESS;
}

PrivateRegistry::~PrivateRegistry() {
    if (isolated_) RegOverridePredefKey(HKEY_LOCAL_MACHINE, nullptr);
    if (key_) {
        RegCloseKey(key_);
        RegDeleteTreeA(HKEY_CURRENT_USER, root_.c_str());
    }
}

void SetRegistryRootForMain(const std::string& root) { g_root = root; }

void SetRegText(const std::string& keyPath, const char* name, const std::string& value) {
    HKEY k = OpenKey(keyPath);
    RegSetValueExA(k, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()), DWORD(value.size() + 1));
    RegCloseKey(k);
}

void SetRegNumber(const std::string& keyPath, const char* name, DWORD value) {
    HKEY k = OpenKey(keyPath);
    RegSetValueExA(k, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
    RegCloseKey(k);
}

void DeleteRegValue(const std::string& keyPath, const char* name) {
    HKEY k = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, keyPath.c_str(), 0, KEY_ALL_ACCESS, &k) == ERROR_SUCCESS) {
        RegDeleteValueA(k, name);
        RegCloseKey(k);
    }
}

std::string GetRegText(const std::string& keyPath, const char* name) {
    char buf[4096];
    DWORD size = sizeof buf, type = 0;
    HKEY k = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, keyPath.c_str(), 0, KEY_READ, &k) != ERROR_SUCCESS) return "<absent>";
    LONG r = RegQueryValueExA(k, name, nullptr, &type, reinterpret_cast<BYTE*>(buf), &size);
    RegCloseKey(k);
    if (r != ERROR_SUCCESS) return "<absent>";
    if (type == REG_DWORD) return std::to_string(*reinterpret_cast<DWORD*>(buf));
    return std::string(buf, size ? size - 1 : 0);
}

TempDir::TempDir() {
    char base[MAX_PATH];
    GetTempPathA(sizeof base, base);
    static LONG counter = 0;
    char name[MAX_PATH + 64];
    std::snprintf(name, sizeof name, "%spennark-test-%lu-%lu-%ld", base, GetCurrentProcessId(), GetTickCount(),
                  InterlockedIncrement(&counter));
    path_ = name;
    CreateDirectoryA(path_.c_str(), nullptr);
}

TempDir::~TempDir() { RemoveTree(path_); }

void RemoveTree(const std::string& path) {
    WIN32_FIND_DATAA fd;
    HANDLE h = FindFirstFileA((path + "\\*").c_str(), &fd);
    if (h != INVALID_HANDLE_VALUE) {
        do {
            std::string n = fd.cFileName;
            if (n == "." || n == "..") continue;
            std::string full = path + "\\" + n;
            if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) RemoveTree(full);
            else {
                SetFileAttributesA(full.c_str(), FILE_ATTRIBUTE_NORMAL);
                DeleteFileA(full.c_str());
            }
        } while (FindNextFileA(h, &fd));
        FindClose(h);
    }
    RemoveDirectoryA(path.c_str());
}

std::string ReadFileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void WriteFileBytes(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary);
    out << bytes;
}

bool PathExists(const std::string& path) { return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

std::vector<std::string> ListDir(const std::string& dir) {
    std::vector<std::string> names;
    WIN32_FIND_DATAA fd;
    HANDLE h = FindFirstFileA((dir + "\\*").c_str(), &fd);
    if (h == INVALID_HANDLE_VALUE) return names;
    do {
        std::string n = fd.cFileName;
        if (n != "." && n != "..") names.push_back(n);
    } while (FindNextFileA(h, &fd));
    FindClose(h);
    std::sort(names.begin(), names.end());
    return names;
}

SYSTEMTIME Moment(WORD year, WORD month, WORD day, WORD hour, WORD minute, WORD second, WORD ms) {
    SYSTEMTIME st = {};
    st.wYear = year;
    st.wMonth = month;
    st.wDay = day;
    st.wHour = hour;
    st.wMinute = minute;
    st.wSecond = second;
    st.wMilliseconds = ms;
    return st;
}

std::string BesideTests(const char* name) {
    char path[MAX_PATH];
    std::string program(path, GetModuleFileNameA(nullptr, path, sizeof path));
    return program.substr(0, program.find_last_of("\\/") + 1) + name;
}

ProgramRun RunBesideTests(const char* program, const std::string& arguments, DWORD limitMs) {
    ProgramRun run;
    TempDir dir;
    const std::string outputPath = dir / "output.txt";
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE output = CreateFileA(outputPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    STARTUPINFOA start = {};
    start.cb = sizeof start;
    start.dwFlags = STARTF_USESTDHANDLES;
    start.hStdOutput = start.hStdError = output;
    start.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    std::string command = "\"" + BesideTests(program) + "\" " + arguments;
    PROCESS_INFORMATION process = {};
    // The child takes the variable from this process's environment; ours is put back after.
    char previous[512];
    DWORD had = GetEnvironmentVariableA("PENNARK_REGISTRY_ROOT", previous, sizeof previous);
    SetEnvironmentVariableA("PENNARK_REGISTRY_ROOT", RegistryRoot().c_str());
    BOOL started = output != INVALID_HANDLE_VALUE &&
                   CreateProcessA(nullptr, &command[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &start, &process);
    DWORD error = GetLastError();
    SetEnvironmentVariableA("PENNARK_REGISTRY_ROOT", had && had < sizeof previous ? previous : nullptr);
    if (output != INVALID_HANDLE_VALUE) CloseHandle(output);
    if (!started) {
        run.output = std::string("<") + program + " not started, error " + std::to_string(error) + ">";
        return run;
    }
    run.ended = WaitForSingleObject(process.hProcess, limitMs) == WAIT_OBJECT_0;
    if (!run.ended) {
        TerminateProcess(process.hProcess, DWORD(-1));
        WaitForSingleObject(process.hProcess, 5000);
    }
    GetExitCodeProcess(process.hProcess, &run.exitCode);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    run.output = ReadFileBytes(outputPath);
    return run;
}

namespace {
RealTime g_moment;
RealTime FixedMoment() { return g_moment; }

TIME_ZONE_INFORMATION g_zone;
DWORD g_zoneId;
DWORD FixedZoneInformation(TIME_ZONE_INFORMATION* tzi) {
    *tzi = g_zone;
    return g_zoneId;
}
}  // namespace

FixedClock::FixedClock(const SYSTEMTIME& moment) {
    Set(moment);
    TimeSource::SetClock(FixedMoment);
}
FixedClock::~FixedClock() { TimeSource::SetClock(nullptr); }
void FixedClock::Set(const SYSTEMTIME& moment) { g_moment = RealTime(moment); }
void FixedClock::Advance(double seconds) { g_moment = g_moment + RealTime(seconds * RealTime::Second); }
RealTime FixedClock::Now() const { return g_moment; }

FixedZone::FixedZone(LONG biasMinutes) {
    Set(TIME_ZONE_ID_UNKNOWN, biasMinutes);
    TimeSource::SetZone(FixedZoneInformation);
}
FixedZone::~FixedZone() { TimeSource::SetZone(nullptr); }
void FixedZone::Set(DWORD id, const TIME_ZONE_INFORMATION& zone) {
    g_zone = zone;
    g_zoneId = id;
}
void FixedZone::Set(DWORD id, LONG bias, LONG standardBias, LONG daylightBias) {
    TIME_ZONE_INFORMATION zone = {};
    zone.Bias = bias;
    zone.StandardBias = standardBias;
    zone.DaylightBias = daylightBias;
    Set(id, zone);
}

CallbackProbe::CallbackProbe() : called_(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {}
CallbackProbe::~CallbackProbe() { CloseHandle(called_); }
void __cdecl CallbackProbe::Called(int code, int detail, void* userData) {
    CallbackProbe* self = static_cast<CallbackProbe*>(userData);
    self->code = code;
    self->detail = detail;
    self->userData = userData;
    InterlockedIncrement(&self->calls);
    SetEvent(self->called_);
}
bool CallbackProbe::Wait(DWORD ms) const { return WaitForSingleObject(called_, ms) == WAIT_OBJECT_0; }

std::string Printable(const std::string& bytes) {
    std::string out;
    for (unsigned char c : bytes) {
        if (c == '\r') out += "\\r";
        else if (c == '\n') out += "\\n\n";
        else if (c == '\t') out += "\\t";
        else if (c >= 32 && c < 127) out += char(c);
        else { char b[8]; std::snprintf(b, sizeof b, "\\x%02X", c); out += b; }
    }
    return out;
}

namespace {

// The text of a header value with its windows-1251 B encoded words decoded; the blanks
// between two encoded words go, as RFC 2047 asks.
std::string DecodedWords(const std::string& value) {
    static const std::string kStart = "=?windows-1251?B?";
    std::string out;
    size_t pending = std::string::npos;  // where blanks after an encoded word began in out
    for (size_t at = 0; at < value.size();) {
        if (value.compare(at, kStart.size(), kStart) == 0) {
            size_t end = value.find("?=", at + kStart.size());
            if (end != std::string::npos) {
                vec<unsigned char> bytes;
                if (Base64Decode(&bytes, value.substr(at + kStart.size(), end - at - kStart.size()).c_str())) {
                    if (pending != std::string::npos) out.erase(pending);
                    out.append(reinterpret_cast<const char*>(bytes.Data()), bytes.Count());
                    at = end + 2;
                    pending = out.size();
                    continue;
                }
            }
        }
        if (value[at] != ' ' && value[at] != '\t') pending = std::string::npos;
        out += value[at++];
    }
    return out;
}

}  // namespace

std::string HeaderOf(const std::string& message, const std::string& name) {
    for (size_t at = 0; at < message.size();) {
        size_t end = message.find("\r\n", at);
        if (end == std::string::npos || end == at) break;
        if (message.compare(at, name.size(), name) == 0) {
            std::string value = message.substr(at + name.size(), end - at - name.size());
            // Folded lines continue the value.
            while (end + 2 < message.size() && (message[end + 2] == ' ' || message[end + 2] == '\t')) {
                size_t next = message.find("\r\n", end + 2);
                if (next == std::string::npos) next = message.size();
                value += message.substr(end + 2, next - end - 2);
                end = next;
            }
            return DecodedWords(value);
        }
        at = end + 2;
    }
    return std::string();
}

}  // namespace testing_support
