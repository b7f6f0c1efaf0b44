// Reading the service's settings so that a value it cannot use is never taken for another:
// a number must be stored as a 32-bit number or as the text of a decimal number, and lie in
// its range. A value that fails raises BadSetting, whose text names the value, its key and
// what is allowed; whatever depends on the value stops there instead of going on with 0 or
// a default.
#pragma once
#include <windows.h>
#include <memory>
#include "core.h"
#include "qlbase.h"

namespace Postvane {

// A setting that is present but cannot be used.
class BadSetting : public QLAppException {
public:
    using QLAppException::QLAppException;
};

// What is stored under a name, as far as a number is concerned.
struct StoredNumber {
    bool present = false;  // a value exists (an empty text counts as absent)
    bool number = false;   // it is a 32-bit number, or a text of decimal digits that fits one
    DWORD value = 0;
    bool huge = false;     // a text of decimal digits beyond 32 bits (value is 0xFFFFFFFF)
    string shown;          // how the log shows what is stored: the number, or the text quoted
};
StoredNumber ReadStoredNumber(const RegKey& key, const char* name);

// The number under name in [low, high]; absent gives absent. keyPath (under
// HKEY_LOCAL_MACHINE) and allowed go into the text of the BadSetting raised otherwise.
DWORD CheckedNumber(const RegKey& key, const char* keyPath, const char* name, DWORD low, DWORD high, DWORD absent,
                    const char* allowed);

// The text of a BadSetting: "Недопустимое значение <name> (<shown>) в ключе
// HKEY_LOCAL_MACHINE\<keyPath>; допустимо: <allowed>".
string BadSettingText(const char* keyPath, const char* name, const string& shown, const char* allowed);

// The key the SMTP values are read from or written to: a handle of its own onto settings
// (a key laid out like the SMTP subkey), or, when settings is null, onto the configured SMTP
// subkey. Not open when that key is missing or refuses the access.
std::unique_ptr<RegKey> OpenSmtpKey(HKEY settings, REGSAM access);

}  // namespace Postvane
