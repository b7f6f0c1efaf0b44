#include <gtest/gtest.h>
#include <algorithm>
#include <vector>
#include "core.h"

TEST(String, NullEmptyAndSharing) {
    string null;
    EXPECT_TRUE(null.IsNull());
    EXPECT_FALSE(null.HasText());
    EXPECT_STREQ("", null.c_str());
    string empty("");
    EXPECT_FALSE(empty.IsNull());
    EXPECT_TRUE(empty.IsEmpty());
    EXPECT_TRUE(string(static_cast<const char*>(nullptr)).IsNull()) << "a null text builds a null string";
    string a("abc");
    string b = a;
    b += "d";
    EXPECT_EQ("abc", a.str()) << "appending to a copy must not change the shared original";
    EXPECT_EQ("abcd", b.str());
    string bytes("a\0b", 3);
    EXPECT_EQ(3u, bytes.Length()) << "a string holds NUL bytes";
}

TEST(String, BuildingFromATextCopiesIt) {
    char buffer[] = "kiosk";
    string s(buffer);
    buffer[0] = 'K';
    EXPECT_EQ("kiosk", s.str()) << "the string must not alias the caller's buffer";
}

TEST(String, EqualityTellsNullFromEmpty) {
    EXPECT_TRUE(string() == string());
    EXPECT_FALSE(string() == string("")) << "null and empty are different strings";
    EXPECT_TRUE(string("") == "");
    EXPECT_FALSE(string() == "");
    EXPECT_TRUE(string() == static_cast<const char*>(nullptr));
    EXPECT_TRUE(string("Abc") != "abc") << "plain strings compare byte for byte";
}

TEST(String, MidAndConcatenation) {
    string s("Subject: test");
    EXPECT_EQ("test", s.Mid(9).str());
    EXPECT_EQ("Sub", s.Mid(0, 3).str());
    EXPECT_EQ("", s.Mid(100).str()) << "a start past the end gives an empty text";
    EXPECT_EQ("a-b", (string("a") + "-" + string("b")).str());
    EXPECT_EQ("x", ("x" + string()).str()) << "a null string adds nothing";
}

// The order of keys is lstrcmpiA's: case is ignored and punctuation sorts before digits,
// digits before letters; the empty key comes first.
TEST(Keystring, OrderIsCaseInsensitiveWithEmptyFirst) {
    EXPECT_TRUE(keystring("abc") == keystring("ABC"));
    EXPECT_FALSE(keystring("abc") < keystring("ABC"));
    EXPECT_FALSE(keystring("ABC") < keystring("abc"));
    EXPECT_TRUE(keystring("a") < keystring("B")) << "byte order would put 'B' first";
    EXPECT_TRUE(keystring("B") < keystring("c"));
    EXPECT_TRUE(keystring("") < keystring("a"));
    EXPECT_TRUE(keystring() < keystring("0")) << "a null key sorts as the empty key";
    EXPECT_TRUE(keystring("_x") < keystring("A")) << "byte order would put 'A' before '_'";
    EXPECT_TRUE(keystring("10") < keystring("9"));

    std::vector<keystring> keys = {"b", "_x", "A", "", "9", "Ab", "10", "aa"};
    std::sort(keys.begin(), keys.end());
    std::vector<std::string> got;
    for (const keystring& k : keys) got.push_back(k.str());
    EXPECT_EQ((std::vector<std::string>{"", "_x", "10", "9", "A", "aa", "Ab", "b"}), got);
}

TEST(Map, OneEntryPerKeyIgnoringCase) {
    map m;
    m.Set("Server", "smtp.example.com");
    m.Set("SERVER", "mail.example.com");
    m.Set("port", "25");
    ASSERT_EQ(2u, m.Count()) << "keys that differ only in case are one entry";
    EXPECT_EQ("mail.example.com", m.Get("server").str()) << "setting again replaces the value";
    EXPECT_EQ("Server", m[1]->key.str()) << "the first spelling of the key is kept";
    EXPECT_TRUE(m.Has("PORT"));
    EXPECT_TRUE(m.Get("missing").IsNull()) << "an absent key gives a null string";
    EXPECT_EQ(m.Count(), m.Find("missing"));
    EXPECT_TRUE(m.Remove("Port"));
    EXPECT_FALSE(m.Remove("port")) << "a removed key is gone";
    EXPECT_EQ(1u, m.Count());
}

TEST(Map, StaysSortedForLookups) {
    map m;
    const char* keys[] = {"kilo", "Alpha", "echo", "", "Zulu", "bravo", "delta", "X-Class", "charlie", "10"};
    for (const char* k : keys) m.Set(k, string(k) + "!");
    ASSERT_EQ(10u, m.Count());
    for (size_t i = 1; i < m.Count(); ++i)
        EXPECT_LT(lstrcmpiA(m[i - 1]->key.c_str(), m[i]->key.c_str()), 0) << "entries out of order at " << i;
    EXPECT_EQ("", m[0]->key.str()) << "the empty key sorts first";
    for (const char* k : keys) {
        std::string upper(k);
        std::transform(upper.begin(), upper.end(), upper.begin(), ::toupper);
        EXPECT_EQ(std::string(k) + "!", m.Get(upper.c_str()).str()) << "lookup of " << upper;
    }
}

namespace {
struct Counted : uref {
    explicit Counted(int* deaths) : deaths_(deaths) {}
    ~Counted() override { ++*deaths_; }
    int* deaths_;
};
struct Tracked {
    explicit Tracked(int* deaths) : deaths_(deaths) {}
    ~Tracked() { ++*deaths_; }
    int* deaths_;
};
}  // namespace

TEST(RefCounting, LastHolderDestroys) {
    int deaths = 0;
    Counted* c = new Counted(&deaths);
    c->AddRef();
    c->AddRef();
    c->Release();
    EXPECT_EQ(0, deaths);
    c->Release();
    EXPECT_EQ(1, deaths) << "the release that reaches zero destroys the object";

    int freed = 0;
    {
        rptr<Tracked> a(new Tracked(&freed));
        {
            rptr<Tracked> b = a;
            EXPECT_EQ(2, a.use_count());
        }
        EXPECT_EQ(0, freed) << "a copy going away must not free the shared object";
    }
    EXPECT_EQ(1, freed);

    arptr<char> text(new char[4]{'a', 'b', 'c', 0});
    arptr<char> copy = text;
    EXPECT_EQ(text.get(), copy.get());
    EXPECT_EQ('b', copy[1]);
}

TEST(OwnedArray, RemovingDeletesTheElement) {
    int deaths = 0;
    {
        ivec<Tracked> items;
        for (int i = 0; i < 3; ++i) items.Add(new Tracked(&deaths));
        items.Delete(1);
        EXPECT_EQ(1, deaths);
        EXPECT_EQ(2u, items.Count());
    }
    EXPECT_EQ(3, deaths) << "the array deletes what it still holds";
}
