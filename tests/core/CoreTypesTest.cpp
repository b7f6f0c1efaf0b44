#include <gtest/gtest.h>
#include "core.h"

TEST(String, NullEmptyAndSharing) {
    string null;
    EXPECT_TRUE(null.IsNull());
    EXPECT_FALSE(null.HasText());
    EXPECT_STREQ("", null.c_str());
    string empty("");
    EXPECT_FALSE(empty.IsNull());
    EXPECT_TRUE(empty.IsEmpty());
    string a("abc");
    string b = a;
    b += "d";
    EXPECT_EQ("abc", a.str()) << "appending to a copy must not change the shared original";
    EXPECT_EQ("abcd", b.str());
    string bytes("a\0b", 3);
    EXPECT_EQ(3u, bytes.Length()) << "a string holds NUL bytes";
}
