// The protected secret store: a text protected with the Windows Data Protection API for
// the whole machine and kept as a REG_BINARY registry value (the blob of CryptProtectData,
// unchanged). Nothing here throws: failures are false results or texts without a value,
// with the Windows last error set.
#pragma once
#include <windows.h>
#include <vector>
#include "core.h"

// The data description stored with every protected text.
extern const wchar_t kSecretDescription[];  // L"Application data"

// A credential in memory. Its bytes are wiped with SecureZeroMemory when they are cleared,
// replaced or destroyed, also the old bytes when the buffer grows.
class SecretText {
public:
    SecretText() {}
    ~SecretText() { Clear(); }
    SecretText(const SecretText&) = delete;
    SecretText& operator=(const SecretText&) = delete;

    void Assign(const char* data, size_t length);
    void Append(const char* data, size_t length);
    void Append(char c) { Append(&c, 1); }
    void Clear();
    const char* Data() const { return bytes_.empty() ? "" : bytes_.data(); }
    size_t Length() const { return bytes_.size(); }
    bool IsEmpty() const { return bytes_.empty(); }

private:
    std::vector<char> bytes_;
};

// Protects the text's bytes with its terminating zero (flags CRYPTPROTECT_LOCAL_MACHINE, no
// entropy, no prompt) and inserts the blob at the front of *output. A null output sets
// ERROR_INVALID_PARAMETER; a failing CryptProtectData leaves its last error. A null text
// is protected as the empty text.
bool ProtectText(const wchar_t* description, vec<unsigned char>* output, const char* text);

// RegSetValueExA with REG_BINARY and the buffer's bytes; true on ERROR_SUCCESS (else the
// last error is the registry's result).
bool WriteBinaryValue(HKEY key, const char* valueName, const vec<unsigned char>& buffer);

// ProtectText into a fresh buffer, then WriteBinaryValue; true only when both succeed.
bool StoreSecret(const wchar_t* description, HKEY key, const char* valueName, const char* text);

// Reads the value's bytes (whatever its registry type) into *output. When the value grows
// between asking its size and reading it, the read starts again. False with the last error
// set to the registry's result (ERROR_FILE_NOT_FOUND for a missing value); a null output
// sets ERROR_INVALID_PARAMETER.
bool ReadBinaryValue(HKEY key, const char* valueName, vec<unsigned char>* output);

// The plaintext of a blob, up to its first zero byte. An empty buffer or a blob that
// CryptUnprotectData refuses (another machine's, damaged) gives a null string.
string UnprotectBlob(const vec<unsigned char>& buffer);
// The same into a wiping buffer; false when there is no text.
bool UnprotectBlob(const vec<unsigned char>& buffer, SecretText* text);

// The stored text: null when the value cannot be read (missing, key unreadable) or not
// unprotected; the empty text when the value has 4 bytes or fewer (CryptUnprotectData is
// then not called).
string LoadSecret(HKEY key, const char* valueName);
// The same into a wiping buffer; false when there is no text (the buffer is then empty).
bool LoadSecret(HKEY key, const char* valueName, SecretText* text);

// Tests replace RegQueryValueExA to change a value between the two queries; null restores it.
typedef LONG(WINAPI* RegistryQueryFunction)(HKEY key, LPCSTR name, LPDWORD reserved, LPDWORD type, LPBYTE data,
                                            LPDWORD size);
void SetSecretRegistryQuery(RegistryQueryFunction query);
