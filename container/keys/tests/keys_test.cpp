#include "container/formats/kdf_trailer.h"
#include "container/keys/keys.h"
#include "container/tests/support/crypto_test_util.h"

#include <cerrno>
#include <cstring>
#include <gtest/gtest.h>
#include <openssl/hmac.h>
#include <string>
#include <vector>

namespace {

using tw::test::bytes_of;
using tw::test::from_hex;
using tw::test::to_hex;

// Known answers for the container derivations were computed with an
// independent implementation (Python hashlib/hmac) of the same construction.
const std::vector<uint8_t> kSalt = from_hex("000102030405060708090a0b0c0d0e0f"
                                            "101112131415161718191a1b1c1d1e1f");
const std::string kPassword = "correct horse battery staple";

struct Pbkdf2Case {
    const char *name;
    bool sha512;
    const char *password;
    const char *salt;
    uint32_t iterations;
    const char *expected;
};

TEST(Pbkdf2, PublishedVectors) {
    const Pbkdf2Case cases[] = {
        // RFC 7914 section 11.
        {"rfc7914-1", false, "passwd", "salt", 1,
         "55ac046e56e3089fec1691c22544b605f94185216dde0465e68b9d57c20dacbc"
         "49ca9cccf179b645991664b39d77ef317c71b845b1e30bd509112041d3a19783"},
        {"rfc7914-2", false, "Password", "NaCl", 80000,
         "4ddcd8f60b98be21830cee5ef22701f9641a4418d04c0414aeff08876b34ab56"
         "a1d425a1225833549adb841b51c9b3176a272bdebba1d078478f62b397f33c8d"},
        // The widely published PBKDF2-HMAC-SHA512 vectors.
        {"sha512-1", true, "password", "salt", 1,
         "867f70cf1ade02cff3752599a3a53dc4af34c7a669815ae5d513554e1c8cf252"
         "c02d470a285a0501bad999bfe943c08f050235d7d68b1da55e63f73b60a57fce"},
        {"sha512-2", true, "password", "salt", 2,
         "e1d9c16aa681708a45f5c7c4e215ceb66e011a2e9f0040713f18aefdb866d53c"
         "f76cab2868a39b9f7840edce4fef5a82be67335c77a6068e04112754f27ccf4e"},
        {"sha512-4096", true, "passwordPASSWORDpassword", "saltSALTsaltSALTsaltSALTsaltSALTsalt",
         4096,
         "8c0511f4c6e597c6ac6315d8f0362e225f3c501495ba23b868c005174dc4ee71"
         "115b59f9e60cd9532fa33e0f75aefe30225c583a186cd82bd4daea9724a3d3b8"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        auto password = bytes_of(c.password);
        auto salt = bytes_of(c.salt);
        std::vector<uint8_t> out(64);
        int rc = c.sha512 ? tw::pbkdf2_sha512(password, salt, c.iterations, out.data(), 64)
                          : tw::pbkdf2_sha256(password, salt, c.iterations, out.data(), 64);
        ASSERT_EQ(0, rc);
        EXPECT_EQ(c.expected, to_hex(out));
    }
}

TEST(Hkdf, Rfc5869Sha256Vectors) {
    struct Case {
        std::vector<uint8_t> ikm, salt, info;
        const char *prk;
        const char *okm;
    } cases[] = {
        {from_hex("0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b"),
         from_hex("000102030405060708090a0b0c"), from_hex("f0f1f2f3f4f5f6f7f8f9"),
         "077709362c2e32df0ddc3f0dc47bba6390b6c73bb50f9c3122ec844ad7c2b3e5",
         "3cb25f25faacd57a90434f64d0362f2a2d2d0a90cf1a5a4c5db02d56ecc4c5bf"
         "34007208d5b887185865"},
        {from_hex("000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f"
                  "202122232425262728292a2b2c2d2e2f303132333435363738393a3b3c3d3e3f"
                  "404142434445464748494a4b4c4d4e4f"),
         from_hex("606162636465666768696a6b6c6d6e6f707172737475767778797a7b7c7d7e7f"
                  "808182838485868788898a8b8c8d8e8f909192939495969798999a9b9c9d9e9f"
                  "a0a1a2a3a4a5a6a7a8a9aaabacadaeaf"),
         from_hex("b0b1b2b3b4b5b6b7b8b9babbbcbdbebfc0c1c2c3c4c5c6c7c8c9cacbcccdcecf"
                  "d0d1d2d3d4d5d6d7d8d9dadbdcdddedfe0e1e2e3e4e5e6e7e8e9eaebecedeeef"
                  "f0f1f2f3f4f5f6f7f8f9fafbfcfdfeff"),
         "06a6b88c5853361a06104c9ceb35b45cef760014904671014a193f40c15fc244",
         "b11e398dc80327a1c8e7f78c596a49344f012eda2d4efad8a050cc4c19afa97c"
         "59045a99cac7827271cb41c65e590e09da3275600c2f09b8367793a9aca3db71"
         "cc30c58179ec3e87c14c01d5c1f3434f1d87"},
        {from_hex("0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b"),
         {},
         {},
         "19ef24a32c717b167f33a91d6f648bdf96596776afdb6377ac434c1c293ccb04",
         "8da4e775a563c18f715f802a063c5a31b8a11f5c5ee1879ec3454e5f3c738d2d"
         "9d201395faa4b61a96c8"},
    };
    int index = 0;
    for (const auto &c : cases) {
        SCOPED_TRACE(++index);
        uint8_t prk[32];
        ASSERT_EQ(0, tw::hkdf_sha256_extract(c.salt, c.ikm, prk));
        EXPECT_EQ(c.prk, to_hex(prk, 32));
        std::vector<uint8_t> okm(std::strlen(c.okm) / 2);
        ASSERT_EQ(0, tw::hkdf_sha256_expand(prk, c.info, okm.data(), okm.size()));
        EXPECT_EQ(c.okm, to_hex(okm));
    }
}

TEST(Hmac, TwoInputsEqualOneOverTheirConcatenation) {
    uint8_t key[32];
    for (int i = 0; i < 32; ++i)
        key[i] = uint8_t(0xC0 + i);
    std::vector<uint8_t> message(100);
    for (size_t i = 0; i < message.size(); ++i)
        message[i] = uint8_t(i * 7);
    uint8_t expected[32];
    unsigned expected_length = 0;
    ASSERT_NE(nullptr, HMAC(EVP_sha256(), key, 32, message.data(), message.size(), expected,
                            &expected_length));
    // Every split, including an empty first or second input.
    for (size_t split = 0; split <= message.size(); ++split) {
        uint8_t tag[32];
        std::span<const uint8_t> all(message);
        ASSERT_EQ(0, tw::hmac_sha256(key, all.first(split), all.subspan(split), tag));
        ASSERT_EQ(to_hex(expected, 32), to_hex(tag, 32)) << "split " << split;
    }
}

TEST(Tags, EqualOnlyWhenEveryByteMatches) {
    uint8_t a[32], b[32];
    for (int i = 0; i < 32; ++i)
        a[i] = b[i] = uint8_t(i);
    EXPECT_TRUE(tw::tags_equal(a, b));
    for (int position : {0, 17, 31}) {
        b[position] ^= 0x01;
        EXPECT_FALSE(tw::tags_equal(a, b)) << position;
        b[position] ^= 0x01;
    }
}

TEST(StorageKeys, KnownAnswerWithAndWithoutNetworkBootKey) {
    const char *material = "50e6b56e6d8bb7a53578a66328349e56acebba77f3c0883bdc6c472e9f258430"
                           "d640eb9ef2f8b38ce21009559f6df2bb60ed335c08ef4ed3d676009cf748ac0c"
                           "effb2bea5ceaa9788b4769e54f0e7729212106433dbbe7d1aad5addcebf10cfc";
    const char *network = "55eff1cd8a1a692ffd0e2b5ec9ed35d1f2c9e1bf29d8da11ef94ed26b5f7ad4d"
                          "5a3d6cf657790bf9204eb1a097925cdf025b3b82c1a88d8d5b2f609597749b26";
    auto password = bytes_of(kPassword);
    uint8_t km[96], nb[64];
    ASSERT_EQ(0, tw::derive_storage_keys(password.data(), password.size(), kSalt.data(), km, nb));
    EXPECT_EQ(material, to_hex(km, 96));
    EXPECT_EQ(network, to_hex(nb, 64));
    ASSERT_EQ(0, tw::derive_storage_keys(password.data(), password.size(), kSalt.data(), km));
    EXPECT_EQ(material, to_hex(km, 96));
}

// Inside a memo scope a repeated derivation takes the remembered PBKDF2
// result; every other password or salt still gets its own known answer.
TEST(StorageKeys, MemoScopeGivesTheSameKeysAndNeverAnothers) {
    const char *material = "50e6b56e6d8bb7a53578a66328349e56acebba77f3c0883bdc6c472e9f258430"
                           "d640eb9ef2f8b38ce21009559f6df2bb60ed335c08ef4ed3d676009cf748ac0c"
                           "effb2bea5ceaa9788b4769e54f0e7729212106433dbbe7d1aad5addcebf10cfc";
    auto password = bytes_of(kPassword);
    auto other_salt = kSalt;
    other_salt[31] ^= 1;
    auto other_password = bytes_of(kPassword + "!");
    uint8_t km[96], expected_other_salt[96], expected_other_password[96];
    ASSERT_EQ(0, tw::derive_storage_keys(password.data(), password.size(), other_salt.data(),
                                         expected_other_salt));
    ASSERT_EQ(0, tw::derive_storage_keys(other_password.data(), other_password.size(), kSalt.data(),
                                         expected_other_password));

    ASSERT_EQ(0, tw::kdf_memo_begin());
    ASSERT_EQ(0, tw::kdf_memo_begin()); // scopes nest
    for (int round = 0; round < 2; ++round) {
        ASSERT_EQ(0, tw::derive_storage_keys(password.data(), password.size(), kSalt.data(), km));
        EXPECT_EQ(material, to_hex(km, 96)) << "round " << round;
    }
    ASSERT_EQ(0, tw::derive_storage_keys(password.data(), password.size(), other_salt.data(), km));
    EXPECT_EQ(to_hex(expected_other_salt, 96), to_hex(km, 96));
    ASSERT_EQ(
        0, tw::derive_storage_keys(other_password.data(), other_password.size(), kSalt.data(), km));
    EXPECT_EQ(to_hex(expected_other_password, 96), to_hex(km, 96));
    // A password that is a prefix of the remembered one is another password.
    ASSERT_EQ(0, tw::derive_storage_keys(password.data(), password.size(), kSalt.data(), km));
    EXPECT_EQ(material, to_hex(km, 96));
    tw::kdf_memo_end();
    tw::kdf_memo_end();
    tw::kdf_memo_end(); // one end too many changes nothing
    ASSERT_EQ(0, tw::derive_storage_keys(password.data(), password.size(), kSalt.data(), km));
    EXPECT_EQ(material, to_hex(km, 96));
}

TEST(Pbkdf2Keys, KnownAnswer) {
    auto password = bytes_of(kPassword);
    uint8_t km[96];
    ASSERT_EQ(0, tw::derive_pbkdf2_keys(password.data(), password.size(), kSalt.data(), km));
    EXPECT_EQ("613a4c3411394e24fffe6c51994307724572e574bcd98ea8cf457c64899bfbfe"
              "8514036e0c5f790d6008a3569b6b62e9a73852e6ef3870b5395ee4547f9370db"
              "550fae6f96fa87da4cb430f4ebc51b864e49d18c3b81e823d8ec095d1135ac15",
              to_hex(km, 96));
}

// Password limits of both container derivations: 1..4096 bytes. A refused
// call must leave no stale key bytes in the output.
TEST(ContainerDerivations, PasswordLengthLimits) {
    struct Case {
        size_t length;
        int expected;
    } cases[] = {{0, -E2BIG}, {4097, -E2BIG}, {4096, 0}};
    std::vector<uint8_t> password(4097, 'p');
    using Derive = int (*)(const uint8_t *, size_t, const uint8_t *, uint8_t *);
    Derive storage = [](const uint8_t *p, size_t n, const uint8_t *s, uint8_t *out) {
        return tw::derive_storage_keys(p, n, s, out);
    };
    const std::pair<const char *, Derive> derivations[] = {{"storage", storage},
                                                           {"pbkdf2", tw::derive_pbkdf2_keys}};
    for (const auto &[name, derive] : derivations) {
        for (const auto &c : cases) {
            SCOPED_TRACE(std::string(name) + " length " + std::to_string(c.length));
            uint8_t km[96];
            std::memset(km, 0xAA, sizeof km);
            EXPECT_EQ(c.expected, derive(password.data(), c.length, kSalt.data(), km));
            if (c.expected != 0)
                EXPECT_EQ(std::string(192, '0'), to_hex(km, 96));
            else
                EXPECT_NE(std::string(192, '0'), to_hex(km, 96));
        }
    }
}

TEST(KeyfileKeys, KnownAnswer) {
    std::vector<uint8_t> secret(32, 0xA5);
    auto password = bytes_of("p\xc3\xa4sswo\xcc\x88rd"); // NFC and NFD letters, as given
    auto nfc = bytes_of("p\xc3\xa4ssw\xc3\xb6rd");
    uint8_t km[96], nb[64];
    ASSERT_EQ(0,
              tw::derive_keyfile_keys(nfc.data(), nfc.size(), secret.data(), kSalt.data(), km, nb));
    EXPECT_EQ("0acf4a67ab3b123903b5a9b7f9f29da68caee5d8f3c9d633ad84791ce575ee32"
              "4c20953a06405f60eec83d5b0cbb791acf072122e4e74b2041824c7dbbf560f4"
              "d5180db8ee767278ffe6c3a4cdbcbd4c8e4f15455cca9f486fca1e9f1402ffc7",
              to_hex(km, 96));
    EXPECT_EQ("04c7825a062ec7256dffb8383f43f4fce00fd3e81e65dcb2a8f5cce37229d0ff"
              "1a6fc405eda5b22b4c149518ce707f58ce85d1103e097be3e461603264bcfd55",
              to_hex(nb, 64));
    // Passwords are exact bytes: the decomposed spelling is a different key.
    uint8_t other[96];
    ASSERT_EQ(0, tw::derive_keyfile_keys(password.data(), password.size(), secret.data(),
                                         kSalt.data(), other));
    EXPECT_NE(to_hex(km, 96), to_hex(other, 96));
}

TEST(KeyfileKeys, RejectsMalformedPasswordsBeforeDeriving) {
    std::vector<uint8_t> secret(32, 0xA5);
    struct Case {
        const char *name;
        std::vector<uint8_t> password;
    } cases[] = {
        {"encoded surrogate U+D800", from_hex("61eda08062")},
        {"encoded low surrogate U+DFFF", from_hex("edbfbf")},
        {"empty", {}},
        {"too long", std::vector<uint8_t>(4097, 'a')},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        uint8_t km[96], nb[64];
        std::memset(km, 0xAA, sizeof km);
        std::memset(nb, 0xAA, sizeof nb);
        EXPECT_EQ(-EINVAL, tw::derive_keyfile_keys(c.password.data(), c.password.size(),
                                                   secret.data(), kSalt.data(), km, nb));
        EXPECT_EQ(std::string(192, '0'), to_hex(km, 96));
        EXPECT_EQ(std::string(128, '0'), to_hex(nb, 64));
    }
}

TEST(Utf8, StrictValidation) {
    struct Case {
        const char *hex;
        bool valid;
    } cases[] = {
        {"", true},
        {"416263", true},
        {"c3a4", true},         // U+00E4
        {"e282ac", true},       // U+20AC
        {"ed9fbf", true},       // U+D7FF, last before the surrogates
        {"ee8080", true},       // U+E000, first after them
        {"f09f9880", true},     // U+1F600
        {"f48fbfbf", true},     // U+10FFFF
        {"eda080", false},      // U+D800 surrogate
        {"edbfbf", false},      // U+DFFF surrogate
        {"c0af", false},        // overlong '/'
        {"c1bf", false},        // overlong
        {"e08080", false},      // overlong 3-byte
        {"f08282ac", false},    // overlong 4-byte
        {"f4908080", false},    // U+110000
        {"f8888080 80", false}, // 5-byte form
        {"80", false},          // lone continuation
        {"e282", false},        // truncated at the end
        {"e24141", false},      // continuation missing
        {"c3", false},          // truncated 2-byte
        {"ff", false},
    };
    for (const auto &c : cases) {
        auto bytes = from_hex(c.hex);
        EXPECT_EQ(c.valid, tw::utf8_is_strict(bytes)) << c.hex;
    }
}

TEST(VeraCryptHeaderKey, KnownAnswerAndLengthLimits) {
    std::vector<uint8_t> salt(64);
    for (int i = 0; i < 64; ++i)
        salt[i] = uint8_t(64 + i);
    auto password = bytes_of("veracrypt");
    uint8_t key[64];
    ASSERT_EQ(0,
              tw::derive_veracrypt_header_key(password.data(), password.size(), salt.data(), key));
    EXPECT_EQ("fa1b639acc015fe004871e0b863fa01500ff8dde0dd4989aa7ce0a8d44cbdd82"
              "d7b0414a666c9d912b00ea6012a3be83868c424b7f2f2539506fa0f01dd669dc",
              to_hex(key, 64));

    std::vector<uint8_t> long_password(129, 'v');
    EXPECT_EQ(-EINVAL, tw::derive_veracrypt_header_key(long_password.data(), 0, salt.data(), key));
    EXPECT_EQ(-EINVAL,
              tw::derive_veracrypt_header_key(long_password.data(), 129, salt.data(), key));
    EXPECT_EQ(std::string(128, '0'), to_hex(key, 64));
    EXPECT_EQ(0, tw::derive_veracrypt_header_key(long_password.data(), 128, salt.data(), key));
}

// --- Salted trailer ---

class KdfTrailerTest : public ::testing::Test {
  protected:
    static constexpr uint64_t kPayload = 64 * 512;
    static constexpr uint64_t kFileSize = kPayload + tw::kKdfTrailerSize;
    std::vector<uint8_t> password = bytes_of("trailer password");

    static void put32(uint8_t *p, uint32_t v) { std::memcpy(p, &v, 4); }
    static void put64(uint8_t *p, uint64_t v) { std::memcpy(p, &v, 8); }

    // A trailer with the given magic and version, tagged (when asked) with the
    // key material the reader must derive for that version.
    std::vector<uint8_t> legacy_trailer(const char *magic, uint32_t version, bool storage_keys,
                                        bool tagged = true) {
        std::vector<uint8_t> t(tw::kKdfTrailerSize, 0);
        std::memcpy(t.data(), magic, 8);
        put32(&t[8], version);
        put32(&t[12], 4096);
        put32(&t[16], 512);
        put32(&t[20], 600000);
        put64(&t[24], kPayload);
        for (int i = 0; i < 32; ++i)
            t[32 + i] = uint8_t(0x30 + i);
        if (std::memcmp(magic, "FZCXKDF", 8) == 0)
            put32(&t[64], 8);
        if (!tagged)
            return t;
        uint8_t km[96];
        int rc = storage_keys
                     ? tw::derive_storage_keys(password.data(), password.size(), &t[32], km)
                     : tw::derive_pbkdf2_keys(password.data(), password.size(), &t[32], km);
        EXPECT_EQ(0, rc);
        EXPECT_EQ(0, tw::hmac_sha256(km + 64, {t.data(), 4064}, {}, &t[4064]));
        return t;
    }
};

TEST_F(KdfTrailerTest, CreatedTrailerParsesAndUnlocksOnlyWithItsPassword) {
    std::vector<uint8_t> trailer(tw::kKdfTrailerSize);
    uint8_t created_key[64];
    ASSERT_EQ(0, tw::kdf_trailer_create(trailer.data(), kPayload, 9, password.data(),
                                        password.size(), created_key));
    EXPECT_EQ(0, std::memcmp(trailer.data(), "FZCXKDF\0", 8));
    tw::KdfTrailerInfo info{};
    ASSERT_EQ(0, tw::kdf_trailer_parse(trailer.data(), kFileSize, &info));
    EXPECT_EQ(3u, info.version);
    EXPECT_EQ(9u, info.cipher_id);
    EXPECT_EQ(kPayload, info.payload_size);

    uint8_t key[64];
    ASSERT_EQ(0, tw::kdf_trailer_unlock(trailer.data(), kFileSize, password.data(), password.size(),
                                        key));
    EXPECT_EQ(to_hex(created_key, 64), to_hex(key, 64));

    auto wrong = bytes_of("trailer passwore");
    std::memset(key, 0xAA, sizeof key);
    EXPECT_EQ(-EACCES,
              tw::kdf_trailer_unlock(trailer.data(), kFileSize, wrong.data(), wrong.size(), key));
    EXPECT_EQ(std::string(128, '0'), to_hex(key, 64));

    // A structurally valid change of an authenticated field (cipher 9 -> 8).
    trailer[64] = 8;
    EXPECT_EQ(-EACCES, tw::kdf_trailer_unlock(trailer.data(), kFileSize, password.data(),
                                              password.size(), key));
}

TEST_F(KdfTrailerTest, TwoTrailersOfOnePasswordHaveFreshSalts) {
    std::vector<uint8_t> a(tw::kKdfTrailerSize), b(tw::kKdfTrailerSize);
    ASSERT_EQ(0, tw::kdf_trailer_create(a.data(), kPayload, 1, password.data(), password.size(),
                                        nullptr));
    ASSERT_EQ(0, tw::kdf_trailer_create(b.data(), kPayload, 1, password.data(), password.size(),
                                        nullptr));
    EXPECT_NE(to_hex(&a[32], 32), to_hex(&b[32], 32));
}

TEST_F(KdfTrailerTest, OlderVersionsUnlockWithPlainPbkdf2) {
    struct Case {
        const char *magic;
        uint32_t version;
        bool storage_keys;
        uint32_t cipher;
    } cases[] = {{"FZCXKDF\0", 2, false, 8}, {"FZCXXTS\0", 1, false, 9}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.magic);
        auto trailer = legacy_trailer(c.magic, c.version, c.storage_keys);
        tw::KdfTrailerInfo info{};
        ASSERT_EQ(0, tw::kdf_trailer_parse(trailer.data(), kFileSize, &info));
        EXPECT_EQ(c.cipher, info.cipher_id);
        uint8_t key[64];
        EXPECT_EQ(0, tw::kdf_trailer_unlock(trailer.data(), kFileSize, password.data(),
                                            password.size(), key));
    }
}

TEST_F(KdfTrailerTest, CreateRefusesWhatCouldNotBeOpenedAgain) {
    std::vector<uint8_t> trailer(tw::kKdfTrailerSize);
    struct Case {
        uint64_t payload;
        uint32_t cipher;
        size_t password_length;
        int expected;
    } cases[] = {
        {0, 9, 8, -EINVAL},
        {kPayload + 1, 9, 8, -EINVAL},
        {0x7ffffffffffff000ull, 9, 8, -EINVAL},
        {kPayload, 10, 8, -EINVAL}, // XChaCha20 needs nonces a trailer container has no room for
        {kPayload, 7, 8, -EINVAL},
        {kPayload, 9, 0, -E2BIG},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.payload);
        SCOPED_TRACE(c.cipher);
        EXPECT_EQ(c.expected, tw::kdf_trailer_create(trailer.data(), c.payload, c.cipher,
                                                     password.data(), c.password_length, nullptr));
        EXPECT_EQ(std::string(8192, '0'), to_hex(trailer));
    }
}

TEST_F(KdfTrailerTest, ParseRejectsEveryStructuralFault) {
    const auto good = legacy_trailer("FZCXKDF\0", 2, false, false);
    ASSERT_EQ(0, tw::kdf_trailer_parse(good.data(), kFileSize, nullptr));
    struct Case {
        const char *name;
        size_t offset;
        uint8_t value;
        uint64_t file_size;
    } cases[] = {
        {"magic", 0, 'G', kFileSize},
        {"magic terminator", 7, 1, kFileSize},
        {"version 4", 8, 4, kFileSize},
        {"version 1 with FZCXKDF", 8, 1, kFileSize},
        {"trailer size", 13, 0x20, kFileSize},
        {"sector size", 17, 4, kFileSize},
        {"iterations", 20, 0x41, kFileSize},
        {"payload not a sector multiple", 24, 1, kFileSize},
        {"cipher 10", 64, 10, kFileSize},
        {"cipher 0", 64, 0, kFileSize},
        {"reserved byte", 68, 1, kFileSize},
        {"last reserved byte", 4063, 1, kFileSize},
        {"file size mismatch", 0, 'F', kFileSize + 512},
        {"file shorter than a trailer", 0, 'F', 4095},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        auto t = good;
        t[c.offset] = c.value;
        EXPECT_EQ(-EINVAL, tw::kdf_trailer_parse(t.data(), c.file_size, nullptr));
    }
    // With "FZCXXTS" the cipher word belongs to the zero area.
    auto xts = legacy_trailer("FZCXXTS\0", 1, false, false);
    ASSERT_EQ(0, tw::kdf_trailer_parse(xts.data(), kFileSize, nullptr));
    xts[64] = 9;
    EXPECT_EQ(-EINVAL, tw::kdf_trailer_parse(xts.data(), kFileSize, nullptr));
    xts[64] = 0;
    put32(&xts[8], 2);
    EXPECT_EQ(-EINVAL, tw::kdf_trailer_parse(xts.data(), kFileSize, nullptr));
}

} // namespace
