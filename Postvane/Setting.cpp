#include "Setting.h"
#include <cstring>
#include <string>
#include "Globals.h"
#include "ServiceLog.h"
#include "qlframe.h"

namespace Postvane {

namespace {
const DWORD kSmallValue = 256;
}  // namespace

StoredNumber ReadStoredNumber(const RegKey& key, const char* name) {
    StoredNumber stored;
    if (!key.IsOpen()) return stored;
    DWORD type = 0;
    DWORD size = 0;
    if (RegQueryValueExA(key.Handle(), name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS) return stored;
    std::string data(size ? size : 1, '\0');
    DWORD got = size;
    LONG r = RegQueryValueExA(key.Handle(), name, nullptr, &type, reinterpret_cast<BYTE*>(&data[0]), &got);
    if (r != ERROR_SUCCESS) {
        // Changed between the two queries, or unreadable: it is there but cannot be used.
        stored.present = true;
        stored.shown = "(не читается)";
        return stored;
    }
    data.resize(got);
    if (type == REG_DWORD && data.size() == sizeof(DWORD)) {
        stored.present = stored.number = true;
        std::memcpy(&stored.value, data.data(), sizeof(DWORD));
        stored.shown = FormatBuffer(32, "%lu", static_cast<unsigned long>(stored.value));
        return stored;
    }
    if (type == REG_SZ || type == REG_EXPAND_SZ) {
        while (!data.empty() && data.back() == '\0') data.pop_back();
        if (data.empty()) return stored;  // an empty field: no value
        stored.present = true;
        if (data.size() > kSmallValue) data = data.substr(0, kSmallValue) + "...";
        stored.shown = "\"" + LogSafe(string(data)) + "\"";
        // Decimal digits only: no sign, no blanks, nothing after the number.
        unsigned long long value = 0;
        bool digits = true;
        for (char c : data) {
            if (c < '0' || c > '9') {
                digits = false;
                break;
            }
            value = value * 10 + unsigned(c - '0');
            if (value > 0xFFFFFFFFull) {
                stored.huge = true;
                value = 0xFFFFFFFFull;
            }
        }
        if (digits) {
            stored.number = true;
            stored.value = DWORD(value);
        }
        return stored;
    }
    stored.present = true;
    stored.shown = FormatBuffer(64, "(данные типа %lu)", static_cast<unsigned long>(type));
    return stored;
}

string BadSettingText(const char* keyPath, const char* name, const string& shown, const char* allowed) {
    return string("Недопустимое значение ") + name + " (" + shown + ") в ключе HKEY_LOCAL_MACHINE\\" + keyPath +
           "; допустимо: " + allowed;
}

DWORD CheckedNumber(const RegKey& key, const char* keyPath, const char* name, DWORD low, DWORD high, DWORD absent,
                    const char* allowed) {
    StoredNumber stored = ReadStoredNumber(key, name);
    if (!stored.present) return absent;
    if (!stored.number || stored.value < low || stored.value > high)
        throw BadSetting(BadSettingText(keyPath, name, stored.shown, allowed));
    return stored.value;
}

std::unique_ptr<RegKey> OpenSmtpKey(HKEY settings, REGSAM access) {
    // An empty path opens another handle onto the key itself, which the caller then owns.
    if (settings) return std::unique_ptr<RegKey>(new RegKey(settings, "", false, access));
    if (access == KEY_READ) return std::unique_ptr<RegKey>(new RegKey(*ConfigKey(), "SMTP", false, access));
    return std::unique_ptr<RegKey>(new RegKey(HKEY_LOCAL_MACHINE, kSmtpKeyPath, false, access));
}

}  // namespace Postvane
