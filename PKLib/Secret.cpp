#include "Secret.h"
#include <wincrypt.h>
#include <atomic>
#include <cstring>

const wchar_t kSecretDescription[] = L"Application data";

namespace {

// A stored value this short cannot be a protected blob: it reads as the empty text.
const size_t kEmptyValueLimit = 4;

std::atomic<RegistryQueryFunction> g_query{nullptr};

RegistryQueryFunction Query() {
    RegistryQueryFunction q = g_query.load();
    return q ? q : RegQueryValueExA;
}

// Owner of a buffer that CryptProtectData or CryptUnprotectData allocated.
class [[nodiscard]] LocalBlob {
public:
    LocalBlob() { blob.cbData = 0; blob.pbData = nullptr; }
    ~LocalBlob() {
        if (!blob.pbData) return;
        if (wipe) SecureZeroMemory(blob.pbData, blob.cbData);
        LocalFree(blob.pbData);
    }
    LocalBlob(const LocalBlob&) = delete;
    LocalBlob& operator=(const LocalBlob&) = delete;
    DATA_BLOB blob;
    bool wipe = false;
};

// Keeps a cryptographic provider loaded for the life of the process. Where the data
// protection API acquires and releases a provider for every call (Wine), each call would
// otherwise load and unload the provider's library again.
void KeepProviderLoaded() {
    static HCRYPTPROV provider = [] {
        HCRYPTPROV p = 0;
        if (!CryptAcquireContextW(&p, nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT)) p = 0;
        return p;
    }();
    (void)provider;
}

// The protected bytes of buffer, unprotected into *out (wiped when *out is released).
bool Unprotect(const vec<unsigned char>& buffer, LocalBlob* out) {
    if (buffer.IsEmpty()) return false;
    KeepProviderLoaded();
    DATA_BLOB in;
    in.cbData = DWORD(buffer.Count());
    in.pbData = const_cast<BYTE*>(buffer.Data());
    out->wipe = true;
    return CryptUnprotectData(&in, nullptr, nullptr, nullptr, nullptr, CRYPTPROTECT_LOCAL_MACHINE, &out->blob) != FALSE;
}

size_t TextLength(const DATA_BLOB& blob) {
    const void* zero = std::memchr(blob.pbData, 0, blob.cbData);
    return zero ? size_t(static_cast<const BYTE*>(zero) - blob.pbData) : blob.cbData;
}

}  // namespace

// ---- SecretText -------------------------------------------------------------------------

void SecretText::Assign(const char* data, size_t length) {
    Clear();
    Append(data, length);
}

void SecretText::Append(const char* data, size_t length) {
    if (length == 0) return;
    if (bytes_.size() + length > bytes_.capacity()) {
        // Grow by hand so that the old bytes are wiped, not left behind by the allocator.
        std::vector<char> grown;
        grown.reserve((bytes_.size() + length) * 2);
        grown.assign(bytes_.begin(), bytes_.end());
        Clear();
        bytes_.swap(grown);
    }
    bytes_.insert(bytes_.end(), data, data + length);
}

void SecretText::Clear() {
    if (bytes_.capacity()) SecureZeroMemory(bytes_.data(), bytes_.capacity());
    bytes_.clear();
}

// ---- Writing ------------------------------------------------------------------------------

bool ProtectText(const wchar_t* description, vec<unsigned char>* output, const char* text) {
    if (!output) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    if (!text) text = "";
    DATA_BLOB in;
    in.cbData = DWORD(std::strlen(text) + 1);  // the terminating zero is protected too
    in.pbData = reinterpret_cast<BYTE*>(const_cast<char*>(text));
    LocalBlob out;
    if (!CryptProtectData(&in, description, nullptr, nullptr, nullptr, CRYPTPROTECT_LOCAL_MACHINE, &out.blob))
        return false;
    for (DWORD i = 0; i < out.blob.cbData; ++i) output->Insert(i, out.blob.pbData[i]);
    return true;
}

bool WriteBinaryValue(HKEY key, const char* valueName, const vec<unsigned char>& buffer) {
    LONG r = RegSetValueExA(key, valueName, 0, REG_BINARY, buffer.Data(), DWORD(buffer.Count()));
    if (r != ERROR_SUCCESS) {
        SetLastError(DWORD(r));
        return false;
    }
    return true;
}

bool StoreSecret(const wchar_t* description, HKEY key, const char* valueName, const char* text) {
    vec<unsigned char> blob;
    return ProtectText(description, &blob, text) && WriteBinaryValue(key, valueName, blob);
}

// ---- Reading ------------------------------------------------------------------------------

bool ReadBinaryValue(HKEY key, const char* valueName, vec<unsigned char>* output) {
    if (!output) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    RegistryQueryFunction query = Query();
    vec<unsigned char> work;
    for (;;) {
        DWORD size = 0;
        LONG r = query(key, valueName, nullptr, nullptr, nullptr, &size);
        if (r != ERROR_SUCCESS && r != ERROR_MORE_DATA) {
            SetLastError(DWORD(r));
            return false;
        }
        work.Clear();
        work.Resize(size);
        DWORD got = size;
        // A zero-sized value still gets a real buffer, so the second query reads, not sizes.
        BYTE spare = 0;
        r = query(key, valueName, nullptr, nullptr, size ? work.Data() : &spare, &got);
        if (r == ERROR_SUCCESS) {
            work.Resize(got < size ? got : size);
            *output = work;
            return true;
        }
        if (r != ERROR_MORE_DATA) {
            SetLastError(DWORD(r));
            return false;
        }
        // The value grew in between: start again.
    }
}

string UnprotectBlob(const vec<unsigned char>& buffer) {
    LocalBlob out;
    if (!Unprotect(buffer, &out)) return string();
    return string(reinterpret_cast<const char*>(out.blob.pbData), TextLength(out.blob));
}

bool UnprotectBlob(const vec<unsigned char>& buffer, SecretText* text) {
    text->Clear();
    LocalBlob out;
    if (!Unprotect(buffer, &out)) return false;
    text->Assign(reinterpret_cast<const char*>(out.blob.pbData), TextLength(out.blob));
    return true;
}

string LoadSecret(HKEY key, const char* valueName) {
    vec<unsigned char> blob;
    if (!ReadBinaryValue(key, valueName, &blob)) return string();
    if (blob.Count() <= kEmptyValueLimit) return string("");
    return UnprotectBlob(blob);
}

bool LoadSecret(HKEY key, const char* valueName, SecretText* text) {
    text->Clear();
    vec<unsigned char> blob;
    if (!ReadBinaryValue(key, valueName, &blob)) return false;
    if (blob.Count() <= kEmptyValueLimit) return true;
    return UnprotectBlob(blob, text);
}

void SetSecretRegistryQuery(RegistryQueryFunction query) { g_query.store(query); }
