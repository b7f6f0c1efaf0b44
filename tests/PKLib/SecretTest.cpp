// The protected secret store over the Data Protection API and the (isolated) registry.
#include <gtest/gtest.h>
#include <string>
#include "Secret.h"
#include "TestSupport.h"
#include "qlbase.h"

namespace {

const char* const kKey = testing_support::kSmtpKey;

class Secret : public ::testing::Test {
protected:
    Secret() : key_(HKEY_LOCAL_MACHINE, kKey, true, RegKey::AllAccess) {}
    HKEY Key() const { return key_.Handle(); }
    void WriteRaw(const std::string& bytes) {
        ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(Key(), "Pass", 0, REG_BINARY,
                                                reinterpret_cast<const BYTE*>(bytes.data()), DWORD(bytes.size())));
    }
    std::string ReadRaw() {
        vec<unsigned char> blob;
        EXPECT_TRUE(ReadBinaryValue(Key(), "Pass", &blob));
        return std::string(reinterpret_cast<const char*>(blob.Data()), blob.Count());
    }
    RegKey key_;
};

TEST_F(Secret, StoresAndLoadsAProtectedText) {
    const char password[] = "пароль с пробелом 100%";
    ASSERT_TRUE(StoreSecret(kSecretDescription, Key(), "Pass", password)) << GetLastError();
    DWORD type = 0;
    ASSERT_EQ(ERROR_SUCCESS, RegQueryValueExA(Key(), "Pass", nullptr, &type, nullptr, nullptr));
    EXPECT_EQ(DWORD(REG_BINARY), type);
    std::string stored = ReadRaw();
    EXPECT_GT(stored.size(), 4u);
    EXPECT_EQ(std::string::npos, stored.find("пароль")) << "the registry must not hold the plain text";
    EXPECT_EQ(password, LoadSecret(Key(), "Pass").str());

    SecretText text;
    ASSERT_TRUE(LoadSecret(Key(), "Pass", &text));
    EXPECT_EQ(password, std::string(text.Data(), text.Length()));
}

TEST_F(Secret, KeepsTheEmptyPasswordApartFromNone) {
    ASSERT_TRUE(StoreSecret(kSecretDescription, Key(), "Pass", ""));
    string loaded = LoadSecret(Key(), "Pass");
    EXPECT_FALSE(loaded.IsNull());
    EXPECT_EQ("", loaded.str());

    for (size_t n = 1; n <= 4; ++n) {
        WriteRaw(std::string(n, '\x7f'));
        loaded = LoadSecret(Key(), "Pass");
        EXPECT_FALSE(loaded.IsNull()) << n << " bytes read as the empty text";
        EXPECT_EQ("", loaded.str());
    }

    RegDeleteValueA(Key(), "Pass");
    SetLastError(0);
    EXPECT_TRUE(LoadSecret(Key(), "Pass").IsNull()) << "a missing value reads as no text";
    EXPECT_EQ(DWORD(ERROR_FILE_NOT_FOUND), GetLastError());
    SecretText text;
    EXPECT_FALSE(LoadSecret(Key(), "Pass", &text));
    EXPECT_TRUE(LoadSecret(nullptr, "Pass").IsNull()) << "an unreadable key reads as no text";
}

TEST_F(Secret, ReadsADamagedValueAsNoText) {
    ASSERT_TRUE(StoreSecret(kSecretDescription, Key(), "Pass", "secret"));
    std::string blob = ReadRaw();
    for (size_t i = blob.size() / 2; i < blob.size() / 2 + 8 && i < blob.size(); ++i) blob[i] = char(blob[i] ^ 0x5A);
    WriteRaw(blob);
    EXPECT_TRUE(LoadSecret(Key(), "Pass").IsNull());
    WriteRaw(std::string(64, 'x'));
    EXPECT_TRUE(LoadSecret(Key(), "Pass").IsNull());
}

TEST_F(Secret, RefusesNullOutputs) {
    SetLastError(0);
    EXPECT_FALSE(ProtectText(kSecretDescription, nullptr, "x"));
    EXPECT_EQ(DWORD(ERROR_INVALID_PARAMETER), GetLastError());
    SetLastError(0);
    EXPECT_FALSE(ReadBinaryValue(Key(), "Pass", nullptr));
    EXPECT_EQ(DWORD(ERROR_INVALID_PARAMETER), GetLastError());
    vec<unsigned char> buffer;
    buffer.Add(0xEE);
    ASSERT_TRUE(ProtectText(kSecretDescription, &buffer, "x"));
    EXPECT_EQ(0xEE, buffer[buffer.Count() - 1]) << "the blob goes in front of what the buffer held";
}

// A value that grows between the size query and the read: the first read reports more data.
struct GrowingValue {
    static int& Calls() { static int n = 0; return n; }
    static LONG WINAPI Query(HKEY key, LPCSTR name, LPDWORD reserved, LPDWORD type, LPBYTE data, LPDWORD size) {
        ++Calls();
        if (Calls() == 2) {
            *size = *size + 16;
            return ERROR_MORE_DATA;
        }
        return RegQueryValueExA(key, name, reserved, type, data, size);
    }
};

TEST_F(Secret, ReadsAGrowingValueAgain) {
    ASSERT_TRUE(StoreSecret(kSecretDescription, Key(), "Pass", "grown"));
    SetSecretRegistryQuery(GrowingValue::Query);
    string loaded = LoadSecret(Key(), "Pass");
    SetSecretRegistryQuery(nullptr);
    EXPECT_EQ(4, GrowingValue::Calls()) << "size, read (more data), size, read";
    EXPECT_EQ("grown", loaded.str());
}

TEST_F(Secret, WipesAndGrowsSecretText) {
    SecretText text;
    std::string expected;
    for (int i = 0; i < 100; ++i) {
        text.Append("ab", 2);
        expected += "ab";
    }
    EXPECT_EQ(expected, std::string(text.Data(), text.Length()));
    text.Clear();
    EXPECT_TRUE(text.IsEmpty());
    EXPECT_STREQ("", text.Data());
}

}  // namespace
