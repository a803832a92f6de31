#include "engine/credentials.h"
#include "support/request.h"

#include <cerrno>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <string>
#include <unistd.h>

namespace {

using tw::test::Request;

struct Case {
    const char *name;
    Request request;
    bool accepted;
};

Request kind1(std::string password, std::string system_key = "") {
    Request r;
    r.kind = 1;
    r.password = std::move(password);
    r.system_key = std::move(system_key);
    return r;
}

Request kind2(std::string password, std::string new_password) {
    Request r;
    r.kind = 2;
    r.password = std::move(password);
    r.new_password = std::move(new_password);
    return r;
}

template <typename F>
Request with(Request r, F change) {
    change(r);
    return r;
}

std::vector<Case> cases() {
    return {
        {"empty kind-1 password (unencrypted images)", kind1(""), true},
        {"password and system key", kind1("secret", "0123456789abCD"), true},
        // Digits are checked when the key is installed, with its own error.
        {"non-hex system key text of the right length", kind1("p", "zzzzzzzzzzzzzz"), true},
        {"4096-byte password", kind1(std::string(4096, 'x')), true},
        {"4097-byte password", kind1(std::string(4097, 'x')), false},
        {"kind 2", kind2("old", "new"), true},
        {"kind 2 with empty current password", kind2("", "new"), true},
        {"4096-byte new password", kind2("", std::string(4096, 'n')), true},
        {"4097-byte new password", kind2("", std::string(4097, 'n')), false},
        {"empty new password", kind2("old", ""), false},
        {"kind 0", with(kind1("p"), [](Request &r) { r.kind = 0; }), false},
        {"kind 3", with(kind1("p"), [](Request &r) { r.kind = 3; }), false},
        {"cipher 7", with(kind1("p"), [](Request &r) { r.cipher = 7; }), false},
        {"cipher 0", with(kind1("p"), [](Request &r) { r.cipher = 0; }), false},
        {"cipher 10", with(kind1("p"), [](Request &r) { r.cipher = 10; }), true},
        {"cipher 1", with(kind1("p"), [](Request &r) { r.cipher = 1; }), true},
        {"system key of 13", kind1("p", "0123456789abc"), false},
        {"system key of 15", kind1("p", "0123456789abcde"), false},
        {"one trailing byte", with(kind1("p"), [](Request &r) { r.trailing.assign(1, 'x'); }),
         false},
        {"trailing NUL byte",
         with(kind1(""), [](Request &r) { r.trailing = std::string(1, '\0'); }), false},
        {"NUL inside password", kind1(std::string("pa\0ss", 5)), false},
        {"NUL inside system key",
         kind1("p", std::string("0123456\0"
                                "89abcd",
                                14)),
         false},
        {"NUL inside new password", kind2("p", std::string("ne\0w", 4)), false},
        // The current password may be in a legacy encoding; only the new one
        // must be UTF-8.
        {"non-UTF-8 current password", kind1("\xff\xfe"), true},
        {"new password C0 80", kind2("p", "\xc0\x80"), false},
        {"new password with surrogate", kind2("p", "\xed\xa0\x80"), false},
        {"new password above U+10FFFF", kind2("p", "\xf4\x90\x80\x80"), false},
        {"new password lone continuation", kind2("p", "a\x80"), false},
        {"new password truncated sequence", kind2("p", "\xe2\x82"), false},
        {"new password with emoji", kind2("p", "\xf0\x9f\x98\x80"), true},
        {"password shorter than its length",
         with(kind1("abc"), [](Request &r) { r.password_length = 10; }), false},
        {"kind 2 header cut short",
         with(kind2("", "n"),
              [](Request &r) {
                  r.new_password.clear();
                  r.new_password_length = 1;
              }),
         false},
    };
}

TEST(CredentialRequest, DecodeTable) {
    for (const Case &c : cases()) {
        std::vector<uint8_t> bytes = tw::test::encode(c.request);
        tw::CredentialRecord record;
        int rc = tw::credential_decode(bytes.data(), bytes.size(), &record);
        EXPECT_EQ(rc == 0, c.accepted) << c.name;
        if (rc == 0) {
            EXPECT_EQ(record.kind, c.request.kind) << c.name;
            EXPECT_EQ(std::string(record.password, record.password_length), c.request.password);
            EXPECT_EQ(record.password[record.password_length], '\0');
            EXPECT_EQ(std::string(record.system_key, record.system_key_length),
                      c.request.system_key);
            EXPECT_EQ(std::string(record.new_password, record.new_password_length),
                      c.request.new_password);
        } else {
            // A rejected request leaves nothing of itself behind.
            EXPECT_EQ(rc, -EPROTO);
            EXPECT_EQ(record.password_length, 0u) << c.name;
            EXPECT_EQ(record.password[0], '\0') << c.name;
        }
    }
}

TEST(CredentialRequest, ReadFromAPipeNeedsTheEndOfTheStream) {
    for (const Case &c : cases()) {
        std::vector<uint8_t> bytes = tw::test::encode(c.request);
        int fds[2];
        ASSERT_EQ(0, pipe2(fds, O_CLOEXEC));
        // Requests stay far below the pipe's 64 KiB buffer.
        ASSERT_EQ(static_cast<ssize_t>(bytes.size()), write(fds[1], bytes.data(), bytes.size()));
        close(fds[1]);
        tw::CredentialRecord record;
        EXPECT_EQ(tw::credential_read(fds[0], &record) == 0, c.accepted) << c.name;
        close(fds[0]);
    }
}

TEST(CredentialRequest, LockedRecordIsZeroedAndWipedPasswordOnly) {
    bool locked = false;
    tw::CredentialRecord *r = tw::credential_record_new(&locked);
    ASSERT_NE(r, nullptr);
    std::vector<uint8_t> bytes = tw::test::encode(kind2("current", "next"));
    ASSERT_EQ(0, tw::credential_decode(bytes.data(), bytes.size(), r));
    tw::credential_record_wipe_password(r);
    EXPECT_EQ(r->password_length, 0u);
    for (char ch : r->password)
        ASSERT_EQ(ch, '\0');
    EXPECT_STREQ(r->new_password, "next");
    tw::credential_record_free(r);
}

} // namespace
