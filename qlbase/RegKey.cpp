#include "qlbase.h"
#include <cstdlib>

namespace {
const char kSource[] = "qlbase/RegKey";
}

RegKey::RegKey(HKEY parent, const char* path, bool create, REGSAM access) : key_(nullptr) {
    Open(parent, path, create, access);
}

RegKey::RegKey(const RegKey& parent, const char* path, bool create, REGSAM access) : key_(nullptr) {
    if (parent.key_) Open(parent.key_, path, create, access);
    else if (create) ThrowWindowsError(ERROR_FILE_NOT_FOUND, kSource, __LINE__);
}

void RegKey::Open(HKEY parent, const char* path, bool create, REGSAM access) {
    LONG r;
    if (create) {
        r = RegCreateKeyExA(parent, path, 0, nullptr, 0, access, nullptr, &key_, nullptr);
        CheckErrorCode(r, kSource, __LINE__);
    } else {
        r = RegOpenKeyExA(parent, path, 0, access, &key_);
        if (r != ERROR_SUCCESS) key_ = nullptr;  // a missing key reads as empty
    }
}

RegKey::~RegKey() {
    if (key_) RegCloseKey(key_);
}

RegKey::Value::operator string() const {
    if (!key_.key_) return string();
    DWORD type = 0, size = 0;
    if (RegQueryValueExA(key_.key_, name_.c_str(), nullptr, &type, nullptr, &size) != ERROR_SUCCESS)
        return string();
    if (type != REG_SZ && type != REG_EXPAND_SZ) return string();
    std::string buf(size + 1, '\0');
    DWORD got = size;
    if (RegQueryValueExA(key_.key_, name_.c_str(), nullptr, &type,
                         reinterpret_cast<BYTE*>(&buf[0]), &got) != ERROR_SUCCESS)
        return string();
    buf.resize(std::min<size_t>(got, buf.size()));
    while (!buf.empty() && buf.back() == '\0') buf.pop_back();
    return string(buf);
}

RegKey::Value::operator int() const {
    if (!key_.key_) return 0;
    DWORD type = 0, size = 0;
    if (RegQueryValueExA(key_.key_, name_.c_str(), nullptr, &type, nullptr, &size) != ERROR_SUCCESS)
        return 0;
    if (type == REG_DWORD && size == sizeof(DWORD)) {
        DWORD v = 0;
        size = sizeof v;
        RegQueryValueExA(key_.key_, name_.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(&v), &size);
        return int(v);
    }
    if (type == REG_SZ) return int(std::strtol(Text().c_str(), nullptr, 10));
    return 0;
}

bool RegKey::Value::Valid() const {
    return key_.key_ &&
           RegQueryValueExA(key_.key_, name_.c_str(), nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
}

RegKey::Value& RegKey::Value::operator=(const char* text) {
    if (!text) text = "";
    if (!key_.key_) ThrowWindowsError(ERROR_INVALID_HANDLE, kSource, __LINE__);
    LONG r = RegSetValueExA(key_.key_, name_.c_str(), 0, REG_SZ,
                            reinterpret_cast<const BYTE*>(text), DWORD(std::strlen(text) + 1));
    CheckErrorCode(r, kSource, __LINE__);
    return *this;
}

RegKey::Value& RegKey::Value::operator=(int number) {
    if (!key_.key_) ThrowWindowsError(ERROR_INVALID_HANDLE, kSource, __LINE__);
    DWORD v = DWORD(number);
    LONG r = RegSetValueExA(key_.key_, name_.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&v), sizeof v);
    CheckErrorCode(r, kSource, __LINE__);
    return *this;
}
