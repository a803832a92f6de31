#include "container/keys/system_key.h"
#include "container/tests/support/crypto_test_util.h"

#include <cerrno>
#include <cstdlib>
#include <gtest/gtest.h>
#include <string>

namespace {

using tw::test::to_hex;

// The system key is process-wide state fed from the environment; every test
// starts from nothing set and no variables.
class SystemKeyTest : public ::testing::Test {
  protected:
    void SetUp() override { clean(); }
    void TearDown() override { clean(); }
    static void clean() {
        unsetenv("ZCX_SYSTEM_KEY");
        unsetenv("ZCX_SYSTEM_KEY_STRING");
        tw::system_key_forget();
    }
    static std::string current() {
        uint8_t key[tw::kSystemKeySize];
        if (tw::system_key_get(key) != 0)
            return "unset";
        return to_hex(key, sizeof key);
    }
};

TEST_F(SystemKeyTest, HexTextParsing) {
    struct Case {
        const char *text;
        const char *expected; // nullptr: EINVAL
    } cases[] = {
        {"  \t0x0011223344AaBb\r\n", "0011223344aabb"},
        {"0X00112233445566", "00112233445566"},
        {"00112233445566", "00112233445566"},
        {"fFeEdDcCbBaA99 \t\r\n", "ffeeddccbbaa99"},
        {"001122334455667", nullptr},    // 15 digits
        {"0011223344556", nullptr},      // 13 digits
        {"0x 00112233445566", nullptr},  // space between prefix and digits
        {"0x0x00112233445566", nullptr}, // only one prefix is skipped
        {"00112233445g66", nullptr},
        {"0011 2233445566", nullptr},
        {"\n00112233445566", nullptr}, // only spaces and tabs lead
        {"", nullptr},
        {"0x", nullptr},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        // A failure must not leave an earlier key in force either.
        ASSERT_EQ(0, tw::system_key_set_default());
        int rc = tw::system_key_set_hex(c.text);
        if (c.expected) {
            EXPECT_EQ(0, rc);
            EXPECT_EQ(c.expected, current());
            EXPECT_TRUE(tw::system_key_is_set());
            EXPECT_FALSE(tw::system_key_is_default());
        } else {
            EXPECT_EQ(-EINVAL, rc);
            EXPECT_EQ("unset", current());
            EXPECT_FALSE(tw::system_key_is_set());
            EXPECT_FALSE(tw::system_key_is_default());
        }
    }
}

TEST_F(SystemKeyTest, DefaultKeyIsTheOnlyCandidateWhenInForce) {
    ASSERT_EQ(0, tw::system_key_set_default());
    EXPECT_TRUE(tw::system_key_is_default());
    EXPECT_EQ(to_hex(tw::kDefaultSystemKey, 7), current());
    uint8_t candidates[2][tw::kSystemKeySize];
    ASSERT_EQ(1u, tw::system_key_candidates(candidates));
    EXPECT_EQ(to_hex(tw::kDefaultSystemKey, 7), to_hex(candidates[0], 7));

    ASSERT_EQ(0, tw::system_key_set_hex("0102030405060f"));
    ASSERT_EQ(2u, tw::system_key_candidates(candidates));
    EXPECT_EQ("0102030405060f", to_hex(candidates[0], 7));
    EXPECT_EQ(to_hex(tw::kDefaultSystemKey, 7), to_hex(candidates[1], 7));

    tw::system_key_forget();
    EXPECT_EQ(0u, tw::system_key_candidates(candidates));
    EXPECT_FALSE(tw::system_key_is_set());
}

TEST_F(SystemKeyTest, LoadTakesTheEnvironmentInOrder) {
    struct Case {
        const char *name;
        const char *hex;    // ZCX_SYSTEM_KEY or nullptr
        const char *string; // ZCX_SYSTEM_KEY_STRING or nullptr
        const char *expected;
        bool is_default;
    } cases[] = {
        {"nothing: default", nullptr, nullptr, nullptr, true},
        {"hex variable", " 0xa0a1a2a3a4a5a6\n", nullptr, "a0a1a2a3a4a5a6", false},
        {"hex wins over string", "a0a1a2a3a4a5a6", "abc", "a0a1a2a3a4a5a6", false},
        // 'A'^55 'b'^AA 'C'^55 'd'^AA 'E'^55 'f'^AA, byte 6 zero; 'G' unused.
        {"string, first six", nullptr, "AbCdEfG", "14c816ce10cc00", false},
        {"short string", nullptr, "ab", "34c80000000000", false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        clean();
        if (c.hex)
            setenv("ZCX_SYSTEM_KEY", c.hex, 1);
        if (c.string)
            setenv("ZCX_SYSTEM_KEY_STRING", c.string, 1);
        ASSERT_EQ(0, tw::system_key_load());
        EXPECT_EQ(c.expected ? c.expected : to_hex(tw::kDefaultSystemKey, 7), current());
        EXPECT_EQ(c.is_default, tw::system_key_is_default());
    }
}

TEST_F(SystemKeyTest, LoadDoesNotReplaceAnExplicitKey) {
    ASSERT_EQ(0, tw::system_key_set_hex("00000000000001"));
    setenv("ZCX_SYSTEM_KEY", "ffffffffffffff", 1);
    EXPECT_EQ(0, tw::system_key_load());
    EXPECT_EQ("00000000000001", current());
}

TEST_F(SystemKeyTest, FailedLoadIsRememberedUntilForgotten) {
    struct Case {
        const char *name;
        const char *variable;
        const char *value;
    } cases[] = {
        {"empty string variable", "ZCX_SYSTEM_KEY_STRING", ""},
        {"malformed hex variable", "ZCX_SYSTEM_KEY", "0x123"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        clean();
        setenv(c.variable, c.value, 1);
        EXPECT_EQ(-EINVAL, tw::system_key_load());
        EXPECT_FALSE(tw::system_key_is_set());
        // The environment no longer explains the failure, yet the same error
        // comes back: the outcome of the first load is what counts.
        unsetenv(c.variable);
        EXPECT_EQ(-EINVAL, tw::system_key_load());
        EXPECT_FALSE(tw::system_key_is_set());
        // An explicit key still works, and satisfies later loads.
        ASSERT_EQ(0, tw::system_key_set_hex("11111111111111"));
        EXPECT_EQ(0, tw::system_key_load());
        // Forgetting starts over: the next load reads the environment again.
        tw::system_key_forget();
        EXPECT_EQ(0, tw::system_key_load());
        EXPECT_TRUE(tw::system_key_is_default());
    }
}

} // namespace
