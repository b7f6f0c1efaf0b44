#include "qlbase.h"
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>

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

namespace {

// Most values fit here, so that one query both sizes and reads them.
const DWORD kSmallValue = 256;

// Reads a value whose data fits kSmallValue bytes with one query; a larger one is sized
// and then read. False when there is no such value (or it cannot be read).
bool QueryValue(HKEY key, const char* name, DWORD* type, std::string* data) {
    char small[kSmallValue];
    DWORD size = sizeof small;
    LONG r = RegQueryValueExA(key, name, nullptr, type, reinterpret_cast<BYTE*>(small), &size);
    if (r == ERROR_SUCCESS) {
        data->assign(small, std::min<DWORD>(size, sizeof small));
        return true;
    }
    // A larger value has been sized by the query: read it (again, when it grew meanwhile).
    while (r == ERROR_MORE_DATA) {
        data->assign(size_t(size) + 1, '\0');
        DWORD got = size;
        r = RegQueryValueExA(key, name, nullptr, type, reinterpret_cast<BYTE*>(&(*data)[0]), &got);
        if (r == ERROR_SUCCESS) {
            data->resize(std::min<size_t>(got, data->size()));
            return true;
        }
        size = got;
    }
    return false;
}

}  // namespace

RegKey::Value::operator string() const {
    if (!key_.key_) return string();
    DWORD type = 0;
    std::string buf;
    if (!QueryValue(key_.key_, name_.c_str(), &type, &buf)) return string();
    if (type != REG_SZ && type != REG_EXPAND_SZ) return string();
    while (!buf.empty() && buf.back() == '\0') buf.pop_back();
    return string(buf);
}

RegKey::Value::operator int() const {
    if (!key_.key_) return 0;
    DWORD type = 0;
    std::string buf;
    if (!QueryValue(key_.key_, name_.c_str(), &type, &buf)) return 0;
    if (type == REG_DWORD && buf.size() == sizeof(DWORD)) {
        DWORD v = 0;
        std::memcpy(&v, buf.data(), sizeof v);
        return int(v);
    }
    if (type == REG_SZ) {
        while (!buf.empty() && buf.back() == '\0') buf.pop_back();
        return int(std::strtol(buf.c_str(), nullptr, 10));
    }
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
