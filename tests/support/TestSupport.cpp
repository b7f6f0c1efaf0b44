#include "TestSupport.h"
#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace testing_support {

namespace {
std::string g_root;

HKEY OpenKey(const char* keyPath) {
    HKEY k = nullptr;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, keyPath, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k, nullptr) !=
        ERROR_SUCCESS)
        throw std::runtime_error(std::string("cannot create test key ") + keyPath);
    return k;
}
}  // namespace

const std::string& RegistryRoot() { return g_root; }

void SetRegistryRootForMain(const std::string& root) { g_root = root; }

void SetRegText(const char* keyPath, const char* name, const std::string& value) {
    HKEY k = OpenKey(keyPath);
    RegSetValueExA(k, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()), DWORD(value.size() + 1));
    RegCloseKey(k);
}

void SetRegNumber(const char* keyPath, const char* name, DWORD value) {
    HKEY k = OpenKey(keyPath);
    RegSetValueExA(k, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
    RegCloseKey(k);
}

void DeleteRegValue(const char* keyPath, const char* name) {
    HKEY k = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, keyPath, 0, KEY_ALL_ACCESS, &k) == ERROR_SUCCESS) {
        RegDeleteValueA(k, name);
        RegCloseKey(k);
    }
}

std::string GetRegText(const char* keyPath, const char* name) {
    char buf[4096];
    DWORD size = sizeof buf, type = 0;
    HKEY k = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, keyPath, 0, KEY_READ, &k) != ERROR_SUCCESS) return "<absent>";
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

DWORD ZoneUtcPlus3(TIME_ZONE_INFORMATION* tzi) {
    *tzi = TIME_ZONE_INFORMATION();
    tzi->Bias = -180;
    return TIME_ZONE_ID_UNKNOWN;
}

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

}  // namespace testing_support
