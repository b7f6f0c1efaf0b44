#include <gtest/gtest.h>
#include "qlframe.h"

TEST(Base64, RoundTrip) {
    const char data[] = "any carnal pleasure";
    string e = Base64Encode(data, sizeof data - 1);
    EXPECT_EQ("YW55IGNhcm5hbCBwbGVhc3VyZQ==", e.str());
    vec<unsigned char> out;
    ASSERT_TRUE(Base64Decode(&out, e.c_str()));
    EXPECT_EQ(std::string(data), std::string(out.begin(), out.end()));
}
