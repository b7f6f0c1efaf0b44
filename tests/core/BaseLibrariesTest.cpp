#include <gtest/gtest.h>
#include <string>
#include "qlframe.h"

TEST(Base64, RoundTrip) {
    const char data[] = "any carnal pleasure";
    string e = Base64Encode(data, sizeof data - 1);
    EXPECT_EQ("YW55IGNhcm5hbCBwbGVhc3VyZQ==", e.str());
    vec<unsigned char> out;
    ASSERT_TRUE(Base64Decode(&out, e.c_str()));
    EXPECT_EQ(std::string(data), std::string(out.begin(), out.end()));
}

TEST(Base64, EncodesEveryByteValueInOneLine) {
    std::string all;
    for (int i = 0; i < 256; ++i) all += char(i);
    string e = Base64Encode(all.data(), all.size());
    EXPECT_EQ(344u, e.Length()) << "256 bytes give 86 groups of four characters";
    EXPECT_EQ(std::string::npos, e.str().find_first_of("\r\n")) << "the encoder never breaks lines";
    vec<unsigned char> out;
    ASSERT_TRUE(Base64Decode(&out, e.c_str()));
    EXPECT_EQ(all, std::string(out.begin(), out.end()));
    EXPECT_EQ("", Base64Encode("", 0).str());
    EXPECT_EQ("AA==", Base64Encode("\0", 1).str());
    EXPECT_EQ("AAA=", Base64Encode("\0\0", 2).str());
}

TEST(Base64, RejectsInvalidInput) {
    vec<unsigned char> out;
    EXPECT_FALSE(Base64Decode(&out, "YW5")) << "length not a multiple of four";
    EXPECT_FALSE(Base64Decode(&out, "YW5!")) << "character outside the alphabet";
    EXPECT_FALSE(Base64Decode(&out, "YW 5")) << "white space inside";
    EXPECT_FALSE(Base64Decode(&out, "Y===")) << "three padding characters";
    EXPECT_FALSE(Base64Decode(&out, "YW=5")) << "padding followed by data";
    EXPECT_FALSE(Base64Decode(&out, "YQ==YW55")) << "padding before the last group";
    ASSERT_TRUE(Base64Decode(&out, ""));
    EXPECT_EQ(0u, out.Count());
}

TEST(FormatBuffer, FormatsAndCutsToTheBuffer) {
    EXPECT_EQ("12345.eml", FormatBuffer(256, "%u.eml", 12345u).str());
    string cut = FormatBuffer(8, "%s", "0123456789");
    EXPECT_EQ("0123456", cut.str()) << "output is cut to the buffer, its NUL included";
    EXPECT_EQ("", FormatBuffer(1, "%s", "x").str());
}

TEST(ScanNumber, ReadsDecimalNumbersForTruncation) {
    EXPECT_EQ(25, int(ScanNumber(0, "25", 0, true)));
    EXPECT_EQ(25, int(ScanNumber(0, " 25.9\t", 0, true))) << "white space around, fraction truncated";
    EXPECT_EQ(-3, int(ScanNumber(0, "-3.7", 0, true))) << "truncation is toward zero";
    EXPECT_EQ(1500, int(ScanNumber(2, "1.5e3", 0, true)));
    EXPECT_EQ(0, int(ScanNumber(0, ".5", 0, true)));
}

TEST(ScanNumber, TextThatIsNoNumberRaisesNumericSyntax) {
    const char* bad[] = {"", "   ", "abc", "12abc", "1 2", "-", ".", "0x1A", "inf", "nan", "1e999"};
    for (const char* text : bad) {
        try {
            ScanNumber(0, text, 0, true);
            ADD_FAILURE() << "\"" << text << "\" was read as a number";
        } catch (const NumericSyntax& e) {
            EXPECT_TRUE(e.Reason().HasText());
        }
    }
    EXPECT_THROW(ScanNumber(0, nullptr, 0, true), NumericSyntax);
    // Callers catch at every level of the family.
    EXPECT_THROW(ScanNumber(0, "x", 0, true), NumericScanException);
    EXPECT_THROW(ScanNumber(0, "x", 0, true), InvalidValue);
    EXPECT_THROW(ScanNumber(0, "x", 0, true), QuilletException);
}

TEST(Exceptions, WindowsErrorNamesCodeAndSource) {
    SetLastError(ERROR_ACCESS_DENIED);
    try {
        CheckSystemCall(FALSE, "Postvane/Submit", 42);
        FAIL() << "a zero result must raise";
    } catch (const WindowsError& e) {
        EXPECT_EQ(5, e.Code());
        EXPECT_EQ(42, e.Line());
        EXPECT_EQ("Windows system call error 5 (00000005) at \"Postvane/Submit\":42", e.Reason().str());
    }
    EXPECT_EQ(7, CheckSystemCall(7, "x", 1)) << "a non-zero result passes through";
    EXPECT_NO_THROW(CheckErrorCode(0, "x", 1));
    try {
        CheckErrorCode(ERROR_FILE_NOT_FOUND, "qlbase/RegKey", 7);
        FAIL() << "a non-zero code must raise";
    } catch (const QuilletException& e) {
        EXPECT_EQ("Windows system call error 2 (00000002) at \"qlbase/RegKey\":7", e.Reason().str());
    }
    EXPECT_EQ("Debug Exception", DebugException().Reason().str());
    EXPECT_EQ("cannot open C:\\x", FileAccessException("cannot open", "C:\\x").Reason().str());
}
