#include "runtime/text.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <gtest/gtest.h>
#include <set>
#include <string>

namespace {

TEST(FormatAlloc, FormatsIntoAFreshBlock) {
    char *s = tw::format_alloc("%s.%s.tmp", "/a/b", "id");
    ASSERT_NE(nullptr, s);
    EXPECT_STREQ("/a/b.id.tmp", s);
    free(s);
    // Longer than any fixed first guess would be.
    std::string big(100000, 'x');
    s = tw::format_alloc("[%s|%d]", big.c_str(), -7);
    ASSERT_NE(nullptr, s);
    EXPECT_EQ("[" + big + "|-7]", std::string(s));
    free(s);
    s = tw::format_alloc("%s", "");
    ASSERT_NE(nullptr, s);
    EXPECT_STREQ("", s);
    free(s);
}

TEST(Utf8, StrictValidation) {
    struct Case {
        std::string bytes;
        bool valid;
    };
    const Case cases[] = {
        {"", true},
        {"plain ascii \x7f", true},
        {std::string("nul\0inside", 10), true},
        {"\xC2\x80", true},
        {"\xDF\xBF", true},
        {"\xE0\xA0\x80", true},
        {"\xED\x9F\xBF", true}, // U+D7FF, just below the surrogates
        {"\xEE\x80\x80", true}, // U+E000, just above
        {"\xEF\xBF\xBF", true},
        {"\xF0\x90\x80\x80", true},
        {"\xF4\x8F\xBF\xBF", true}, // U+10FFFF
        {"\xC0\x80", false},        // overlong NUL
        {"\xC1\xBF", false},
        {"\xE0\x9F\xBF", false},     // overlong three-byte
        {"\xF0\x8F\xBF\xBF", false}, // overlong four-byte
        {"\xED\xA0\x80", false},     // U+D800
        {"\xED\xBF\xBF", false},     // U+DFFF
        {"\xF4\x90\x80\x80", false}, // above U+10FFFF
        {"\xF5\x80\x80\x80", false},
        {"\xF8\x88\x80\x80\x80", false},
        {"\xFF", false},
        {"\x80", false},
        {"a\xBF", false},
        {"\xC3", false}, // truncated at the end of the buffer
        {"\xE2\x82", false},
        {"\xF0\x9F\x98", false},
        {"\xC3\x28", false}, // continuation byte missing
        {"\xE2\x28\xA1", false},
        {"\xF0\x9F\x98\xC0", false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.bytes));
        EXPECT_EQ(c.valid, tw::utf8_is_valid(c.bytes.data(), c.bytes.size()));
    }
    EXPECT_TRUE(tw::utf8_is_valid(nullptr, 0));
    EXPECT_FALSE(tw::utf8_is_valid(nullptr, 1));
    // The length argument bounds the check: a sequence cut by it is invalid.
    EXPECT_FALSE(tw::utf8_is_valid("\xC3\xA9", 1));
}

TEST(Utf8, PrefixLengthNeverSplitsACharacter) {
    struct Case {
        const char *text;
        size_t limit;
        size_t expected;
    };
    const Case cases[] = {
        {"abc", 3, 3},
        {"abc", 10, 3},
        {"abc", 2, 2},
        {"abc", 0, 0},
        {"", 0, 0},
        {"a\xC3\xA9z", 2, 1},               // limit on the second byte of é
        {"a\xC3\xA9z", 3, 3},               // limit after é
        {"a\xC3\xA9z", 1, 1},               // limit on é's first byte
        {"\xE2\x82\xAC\xE2\x82\xAC", 5, 3}, // inside the second euro sign
        {"\xE2\x82\xAC\xE2\x82\xAC", 4, 3}, // likewise
        {"\xF0\x9F\x98\x80!", 3, 0},        // inside the first character
        {"\xF0\x9F\x98\x80!", 4, 4},        // limit on "!"
        {"\x80\x80\x80\x80", 2, 0},         // only continuation bytes
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(::testing::PrintToString(std::string(c.text)) + " limit " +
                     std::to_string(c.limit));
        EXPECT_EQ(c.expected, tw::utf8_prefix_length(c.text, c.limit));
    }
    EXPECT_EQ(0u, tw::utf8_prefix_length(nullptr, 5));
}

TEST(Paths, EqualOnlyWhenByteForByteEqual) {
    EXPECT_TRUE(tw::paths_equal("/home/u/a.zcx", "/home/u/a.zcx"));
    EXPECT_FALSE(tw::paths_equal("/home/u/A.zcx", "/home/u/a.zcx"));
    EXPECT_FALSE(tw::paths_equal("/home/u/a.zcx", "/home/u/a.zcx/"));
    EXPECT_FALSE(tw::paths_equal("/home/u/\xC3\xA9", "/home/u/\xC3\x89"));
    EXPECT_FALSE(tw::paths_equal(nullptr, "/a"));
    EXPECT_FALSE(tw::paths_equal("/a", nullptr));
}

// Decodes and returns the bytes, or "<fail>" (checking the error code).
std::string decode(const std::string &text) {
    unsigned char *out = reinterpret_cast<unsigned char *>(1);
    size_t length = 99;
    int rc = tw::base64_decode(text.data(), text.size(), &out, &length);
    if (rc != 0) {
        EXPECT_EQ(-EINVAL, rc);
        EXPECT_EQ(nullptr, out);
        EXPECT_EQ(0u, length);
        return "<fail>";
    }
    EXPECT_NE(nullptr, out);
    std::string s(reinterpret_cast<char *>(out), length);
    tw::wipe_and_free(out, length);
    return s;
}

TEST(Base64, DecodesOnlyStrictPaddedText) {
    struct Case {
        std::string text;
        std::string bytes;
    };
    const Case cases[] = {
        {"", ""},
        {"QQ==", "A"},
        {"QUI=", "AB"},
        {"QUJD", "ABC"},
        {"QUJDRA==", "ABCD"},
        {"+/+/", "\xFB\xFF\xBF"},
        {"AAAA", std::string(3, '\0')},
        {"Q===", "<fail>"},
        {"QQ=A", "<fail>"},
        {"====", "<fail>"},
        {"QQ", "<fail>"},
        {"QUJ", "<fail>"},
        {"QUJDR", "<fail>"},
        {"QQ==QUJD", "<fail>"}, // padding only in the last group
        {"QUI=QUJD", "<fail>"},
        {"QU I", "<fail>"},
        {"QUJD\n", "<fail>"},
        {"QU-_", "<fail>"}, // URL-safe alphabet is not this one
        {"QUJ\x80", "<fail>"},
        {std::string("QU\0=", 4), "<fail>"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.text));
        EXPECT_EQ(c.bytes, decode(c.text));
    }
    unsigned char *out;
    size_t length;
    EXPECT_EQ(-EINVAL, tw::base64_decode(nullptr, 4, &out, &length));
    EXPECT_EQ(-EINVAL, tw::base64_decode("QUJD", 4, nullptr, &length));
}

TEST(Base64, EncodesEveryLengthAndRoundTrips) {
    const std::pair<std::string, std::string> known[] = {
        {"", ""},
        {"f", "Zg=="},
        {"fo", "Zm8="},
        {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="},
        {"fooba", "Zm9vYmE="},
        {"foobar", "Zm9vYmFy"},
    };
    for (const auto &[bytes, text] : known) {
        char *encoded = tw::base64_encode(bytes.data(), bytes.size());
        ASSERT_NE(nullptr, encoded);
        EXPECT_EQ(text, std::string(encoded));
        tw::wipe_and_free_text(encoded);
    }
    std::string all;
    for (int i = 0; i < 256 * 3 + 2; ++i)
        all += static_cast<char>(i * 7 + 3);
    for (size_t n = 0; n <= all.size(); n += 1 + n / 8) {
        char *encoded = tw::base64_encode(all.data(), n);
        ASSERT_NE(nullptr, encoded);
        EXPECT_EQ(nullptr, strchr(encoded, '\n'));
        EXPECT_EQ(all.substr(0, n), decode(encoded));
        tw::wipe_and_free_text(encoded);
    }
}

TEST(Uuid, GeneratesVersion4LowerCaseText) {
    std::set<std::string> seen;
    for (int i = 0; i < 200; ++i) {
        char id[tw::kUuidTextSize];
        ASSERT_TRUE(tw::uuid_generate(id));
        std::string s(id);
        ASSERT_EQ(36u, s.size());
        EXPECT_TRUE(tw::uuid_is_valid(id));
        EXPECT_EQ('4', s[14]);
        EXPECT_NE(std::string::npos, std::string("89ab").find(s[19])) << s;
        for (char c : s)
            EXPECT_TRUE(c == '-' || (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')) << s;
        seen.insert(s);
    }
    EXPECT_EQ(200u, seen.size());
}

TEST(Uuid, ValidationAcceptsOnlyTheTextForm) {
    struct Case {
        const char *text;
        bool valid;
    };
    const Case cases[] = {
        {"123e4567-e89b-42d3-a456-426614174000", true},
        {"123E4567-E89B-42D3-A456-426614174000", true},
        // The version and variant are not checked, only the form.
        {"00000000-0000-0000-0000-000000000000", true},
        {"123e4567-e89b-42d3-a456-42661417400", false},
        {"123e4567-e89b-42d3-a456-4266141740000", false},
        {"123e4567e-89b-42d3-a456-426614174000", false},
        {"123e4567-e89b-42d3-a456_426614174000", false},
        {"123e4567-e89b-42d3-a456-42661417400g", false},
        {"{23e4567-e89b-42d3-a456-42661417400}", false},
        {"123e4567-e89b-42d3-a456-42661417400 ", false},
        {"", false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(c.valid, tw::uuid_is_valid(c.text));
    }
    EXPECT_FALSE(tw::uuid_is_valid(nullptr));
}

} // namespace
