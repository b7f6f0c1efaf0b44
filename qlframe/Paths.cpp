#include "qlframe.h"
#include <shlobj.h>
#include <cstdio>
#include <cstring>
#include <map>

namespace {
bool IsSep(char c) { return c == '\\' || c == '/'; }

size_t LastSep(const std::string& s) { return s.find_last_of("\\/"); }

std::map<int, std::string>& Overrides() {
    static std::map<int, std::string> overrides;
    return overrides;
}
}  // namespace

string FormatBufferV(size_t size, const char* format, va_list args) {
    if (size == 0) return string("");
    std::string buf(size, '\0');
    int n = std::vsnprintf(&buf[0], size, format, args);
    if (n < 0) n = 0;
    buf.resize(std::min(size_t(n), size - 1));
    return string(std::move(buf));
}

string FormatBuffer(size_t size, const char* format, ...) {
    va_list args;
    va_start(args, format);
    string s = FormatBufferV(size, format, args);
    va_end(args);
    return s;
}

string MakePathSpec(const string& dir) {
    if (dir.IsEmpty()) return string("");
    const std::string& s = dir.str();
    return IsSep(s.back()) ? dir : dir + "\\";
}

string GetParentPath(const string& path) {
    size_t sep = LastSep(path.str());
    return sep == std::string::npos ? string("") : string(path.str().substr(0, sep + 1));
}

string GetFileFromPath(const string& path) {
    size_t sep = LastSep(path.str());
    return sep == std::string::npos ? path : string(path.str().substr(sep + 1));
}

string GetFileName(const string& path) {
    std::string name = GetFileFromPath(path).str();
    size_t dot = name.find_last_of('.');
    return string(dot == std::string::npos ? name : name.substr(0, dot));
}

string GetFileExt(const string& path) {
    std::string name = GetFileFromPath(path).str();
    size_t dot = name.find_last_of('.');
    return string(dot == std::string::npos ? std::string() : name.substr(dot));
}

string GetFullPath(const string& path) {
    if (path.IsEmpty()) return path;
    char buf[MAX_PATH * 4];
    DWORD n = GetFullPathNameA(path.c_str(), sizeof buf, buf, nullptr);
    return n == 0 || n >= sizeof buf ? path : string(buf, n);
}

string ExpEnv(const string& text) {
    if (text.IsEmpty()) return text;
    DWORD n = ExpandEnvironmentStringsA(text.c_str(), nullptr, 0);
    if (n == 0) return text;
    std::string buf(n, '\0');
    n = ExpandEnvironmentStringsA(text.c_str(), &buf[0], n);
    if (n == 0) return text;
    buf.resize(std::strlen(buf.c_str()));
    return string(std::move(buf));
}

bool IsAbsolutePath(const string& path) {
    const std::string& s = path.str();
    if (s.size() >= 3 && s[1] == ':' && IsSep(s[2])) return true;
    return s.size() >= 2 && IsSep(s[0]) && IsSep(s[1]);
}

bool FileExists(const string& path) {
    return !path.IsEmpty() && GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool CreatePath(const string& dir, string* error) {
    std::string s = dir.str();
    while (s.size() > 1 && IsSep(s.back())) s.pop_back();
    if (s.empty()) return false;
    DWORD attrs = GetFileAttributesA(s.c_str());
    if (attrs != INVALID_FILE_ATTRIBUTES) return (attrs & FILE_ATTRIBUTE_DIRECTORY) != 0;
    size_t sep = LastSep(s);
    if (sep != std::string::npos && sep > 0 && s[sep - 1] != ':' && !(sep == 1 && IsSep(s[0])))
        CreatePath(string(s.substr(0, sep)), nullptr);
    if (CreateDirectoryA(s.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS) return true;
    if (error) *error = FormatBuffer(256, "cannot create directory, error %lu: ", GetLastError()) + string(s);
    return false;
}

void OverrideSpecialFolderPath(int folder, const string& path) {
    if (path.IsEmpty()) Overrides().erase(folder);
    else Overrides()[folder] = path.str();
}

string GetSpecialFolderPath(HWND window, int folder) {
    auto it = Overrides().find(folder);
    if (it != Overrides().end()) return string(it->second);
    char buf[MAX_PATH];
    if (FAILED(SHGetFolderPathA(window, folder, nullptr, SHGFP_TYPE_CURRENT, buf))) return string("");
    return string(buf);
}

string GetModuleFileNameA(HMODULE module) {
    char buf[MAX_PATH * 4];
    DWORD n = ::GetModuleFileNameA(module, buf, sizeof buf);
    return string(buf, n < sizeof buf ? n : 0);
}
