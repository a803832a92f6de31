// Building credential requests: the exact bytes the engine reads, and every
// input the client refuses before an engine starts.
#include "client/client.h"

#include <cstdio>
#include <gtest/gtest.h>
#include <string>
#include <unistd.h>

namespace {

using tw::ClientOutcome;
using tw::CredentialInput;
using tw::SecureBuffer;

std::span<const uint8_t> bytes(const std::string &s) {
    return {reinterpret_cast<const uint8_t *>(s.data()), s.size()};
}

// Builds a request; the spans point into the caller's strings.
int build(uint32_t kind, uint32_t cipher, const std::string &password, const std::string &key,
          const std::string &new_password, const std::string &confirmation, SecureBuffer *record,
          ClientOutcome *err) {
    CredentialInput in;
    in.kind = kind;
    in.cipher = cipher;
    in.password = bytes(password);
    in.system_key = bytes(key);
    in.new_password = bytes(new_password);
    in.confirmation = bytes(confirmation);
    return tw::credential_request_build(in, record, err);
}

std::string record_text(const SecureBuffer &b) {
    return std::string(reinterpret_cast<const char *>(b.data()), b.size());
}

TEST(CredentialRequest, ExactLayout) {
    struct Case {
        const char *name;
        uint32_t kind;
        uint32_t cipher;
        std::string password, key, new_password;
        std::string expected;
    } cases[] = {
        {"kind 1, empty password, no key", 1, 255, "", "", "",
         std::string("\x01\0\0\0\xff\0\0\0\0\0\0\0\0\0\0\0", 16)},
        {"kind 1 with a mixed-case key", 1, 9, "pw", "0123456789abCD", "",
         std::string("\x01\0\0\0\x09\0\0\0\x02\0\0\0\x0e\0\0\0", 16) + "pw0123456789abCD"},
        {"kind 2", 2, 10, "old", "", "n\xc3\xa9w",
         std::string("\x02\0\0\0\x0a\0\0\0\x03\0\0\0\0\0\0\0\x04\0\0\0", 20) + "oldn\xc3\xa9w"},
        {"kind 2 with key and a 4096-byte password", 2, 1, std::string(4096, 'p'), "ABCDEF01234567",
         "n",
         std::string("\x02\0\0\0\x01\0\0\0\x00\x10\0\0\x0e\0\0\0\x01\0\0\0", 20) +
             std::string(4096, 'p') + "ABCDEF01234567n"},
    };
    for (const Case &c : cases) {
        SecureBuffer record;
        ClientOutcome err;
        ASSERT_EQ(build(c.kind, c.cipher, c.password, c.key, c.new_password, c.new_password,
                        &record, &err),
                  0)
            << c.name << err.message;
        EXPECT_EQ(record_text(record), c.expected) << c.name;
    }
}

TEST(CredentialRequest, RefusedInputs) {
    const std::string credentials =
        "Use a password of at most 4096 UTF-8 bytes and a system key of 14 hexadecimal digits.";
    const std::string new_password =
        "Enter and confirm the same nonempty new password, up to 4096 UTF-8 bytes.";
    struct Case {
        const char *name;
        uint32_t kind = 1;
        uint32_t cipher = 255;
        std::string password, key, new_password, confirmation;
        std::string code;
    } cases[] = {
        {"password of 4097 bytes", 1, 255, std::string(4097, 'p'), "", "", "", "credentials"},
        {"NUL in password", 1, 255, std::string("a\0b", 3), "", "", "", "credentials"},
        {"key of 13 digits", 1, 255, "", "0123456789abc", "", "", "credentials"},
        {"key of 15 digits", 1, 255, "", "0123456789abcde", "", "", "credentials"},
        {"key with g", 1, 255, "", "0123456789abcg", "", "", "credentials"},
        {"cipher 7", 1, 7, "", "", "", "", "credentials"},
        {"cipher 0", 1, 0, "", "", "", "", "credentials"},
        {"kind 3", 3, 255, "", "", "", "", "credentials"},
        {"empty new password", 2, 255, "old", "", "", "", "newPassword"},
        {"new password of 4097 bytes", 2, 255, "old", "", std::string(4097, 'n'),
         std::string(4097, 'n'), "newPassword"},
        {"confirmation differs", 2, 255, "old", "", "new", "New", "newPassword"},
        {"confirmation longer", 2, 255, "old", "", "new", "new ", "newPassword"},
        {"new password not UTF-8", 2, 255, "old", "", "caf\xe9", "caf\xe9", "newPassword"},
        {"new password checked first", 2, 7, std::string(5000, 'p'), "bad", "a", "b",
         "newPassword"},
        {"then the current password", 2, 255, std::string(4097, 'p'), "", "n", "n", "credentials"},
    };
    for (const Case &c : cases) {
        SecureBuffer record;
        ClientOutcome err;
        EXPECT_EQ(build(c.kind, c.cipher, c.password, c.key, c.new_password, c.confirmation,
                        &record, &err),
                  -EACCES)
            << c.name;
        EXPECT_EQ(err.code, c.code) << c.name;
        EXPECT_EQ(err.message, c.code == "credentials" ? credentials : new_password) << c.name;
        EXPECT_EQ(record.size(), 0u) << c.name;
        EXPECT_EQ(tw::client_exit_code(err.code), c.code == "credentials" ? 2 : 1) << c.name;
    }
}

TEST(CredentialRequest, OfferedCiphersAccepted) {
    for (uint32_t cipher : {1u, 8u, 9u, 10u, 255u}) {
        SecureBuffer record;
        ClientOutcome err;
        EXPECT_EQ(build(1, cipher, "", "", "", "", &record, &err), 0) << cipher;
        EXPECT_EQ(record.data()[4], cipher) << cipher;
    }
}

} // namespace

// A container operation carries the system key into its request: a
// malformed one is refused before any engine starts.
TEST(CredentialRequest, FileOperationsCarryTheSystemKey) {
    char folder[] = "/tmp/tw-client-XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    const std::string input = std::string(folder) + "/c.zcx";
    FILE *f = fopen(input.c_str(), "w");
    ASSERT_NE(f, nullptr);
    fclose(f);
    const std::string password = "pw", key = "12345";
    tw::FileOperation op;
    op.command = "verify";
    op.input = input;
    op.password = bytes(password);
    op.system_key = bytes(key);
    tw::EngineRunContext ctx;
    ClientOutcome out;
    EXPECT_NE(0, tw::engine_file_operation(&ctx, op, &out));
    EXPECT_EQ("credentials", out.code) << out.message;
    unlink(input.c_str());
    rmdir(folder);
}
