#include <gtest/gtest.h>
#include "TestSupport.h"
#include "qlbase.h"

using namespace testing_support;

namespace {
const char* const kKey = kMailKey;
}

TEST(RegKey, MissingKeyReadsAsAbsent) {
    RegKey key(HKEY_LOCAL_MACHINE, "Software\\Quillet\\Pennark\\Kiosk\\Mail\\Classes\\none", false,
               RegKey::ReadAccess);
    EXPECT_FALSE(key.IsOpen()) << "opening a missing key without create does not throw";
    EXPECT_TRUE(key["Limit"].Text().IsNull());
    EXPECT_EQ(0, int(key["Limit"]));
    EXPECT_FALSE(key["Limit"].Valid());
    RegKey child(key, "deeper", false, RegKey::ReadAccess);
    EXPECT_FALSE(child.IsOpen()) << "a missing parent gives a missing child";
    EXPECT_EQ(0, child["x"].Number());
    EXPECT_THROW(key["Limit"] = 5, WindowsError) << "a key that is not open stores nothing";
}

TEST(RegKey, CreateMakesEveryLevelAndValuesConvert) {
    {
        RegKey key(HKEY_LOCAL_MACHINE, kKey, true, RegKey::AllAccess);
        ASSERT_TRUE(key.IsOpen());
        EXPECT_FALSE(key["OutboxDir"].Valid());
        key["OutboxDir"] = "C:\\Outbox";
        key["Retry Timeout"] = 60;
        key["Negative"] = -1;
        EXPECT_TRUE(key["OutboxDir"].Valid());
    }
    EXPECT_EQ("C:\\Outbox", GetRegText(kKey, "OutboxDir")) << "a text is stored as a string value";
    EXPECT_EQ("60", GetRegText(kKey, "Retry Timeout")) << "a number is stored as a 32-bit value";

    SetRegText(kKey, "Port", "587");
    SetRegText(kKey, "Empty", "");
    RegKey read(HKEY_LOCAL_MACHINE, kKey, false, RegKey::ReadAccess);
    EXPECT_EQ("C:\\Outbox", read["OutboxDir"].Text().str());
    EXPECT_EQ(60, int(read["Retry Timeout"]));
    EXPECT_EQ(-1, int(read["Negative"]));
    EXPECT_EQ(587, int(read["Port"])) << "a number written as text reads as its number";
    EXPECT_TRUE(read["Retry Timeout"].Text().IsNull()) << "a number does not read as text";
    EXPECT_TRUE(read["Empty"].Valid()) << "an empty text exists";
    EXPECT_EQ("", read["Empty"].Text().str());
    EXPECT_FALSE(read["Empty"].Text().IsNull());
    EXPECT_EQ(0, int(read["Empty"]));

    RegKey smtp(read, "SMTP", true, RegKey::AllAccess);
    smtp["ReversePath"] = string("kiosk@example.com");
    EXPECT_EQ("kiosk@example.com", GetRegText(kSmtpKey, "ReversePath"))
        << "a key opened under another key";
}

TEST(RegKey, ReadingKeySeesLaterWrites) {
    SetRegNumber(kKey, "Disabled", 0);
    RegKey key(HKEY_LOCAL_MACHINE, kKey, false, RegKey::ReadAccess);
    EXPECT_EQ(0, int(key["Disabled"]));
    SetRegNumber(kKey, "Disabled", 1);
    EXPECT_EQ(1, int(key["Disabled"])) << "values are read at the moment of use";
    DeleteRegValue(kKey, "Disabled");
    EXPECT_FALSE(key["Disabled"].Valid());
}

TEST(RegKey, TextsOfEveryLengthReadWhole) {
    // Short texts are read in one query, longer ones sized first: both give the whole text.
    RegKey write(HKEY_LOCAL_MACHINE, kKey, true, RegKey::AllAccess);
    RegKey read(HKEY_LOCAL_MACHINE, kKey, false, RegKey::ReadAccess);
    for (size_t length : {size_t(1), size_t(254), size_t(255), size_t(256), size_t(257), size_t(5000)}) {
        std::string text(length, 'x');
        text[0] = 'A';
        text[length - 1] = 'Z';
        SetRegText(kKey, "Long", text);
        EXPECT_EQ(text, read["Long"].Text().str()) << length;
    }
    SetRegText(kKey, "Long", std::string(300, ' ') + "42");
    EXPECT_EQ(42, int(read["Long"])) << "a long number text";
    std::string bytes(600, '\x7f');
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(write.Handle(), "Long", 0, REG_BINARY,
                                            reinterpret_cast<const BYTE*>(bytes.data()), DWORD(bytes.size())));
    EXPECT_TRUE(read["Long"].Text().IsNull()) << "binary data is no text, however long";
    EXPECT_EQ(0, int(read["Long"]));
    DeleteRegValue(kKey, "Long");
}
