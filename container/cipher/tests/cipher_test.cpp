#include "container/cipher/cipher.h"
#include "container/keys/system_key.h"
#include "container/tests/support/crypto_test_util.h"

#include <cerrno>
#include <cstring>
#include <gtest/gtest.h>
#include <memory>
#include <sodium.h>
#include <string>
#include <vector>

namespace {

using tw::test::from_hex;
using tw::test::to_hex;
using Sector = std::vector<uint8_t>;

struct ContextDeleter {
    void operator()(tw::CipherContext *ctx) const { tw::cipher_context_destroy(ctx); }
};
using Context = std::unique_ptr<tw::CipherContext, ContextDeleter>;

Context keyed(uint32_t id, const std::vector<uint8_t> &key) {
    Context ctx(tw::cipher_context_create());
    EXPECT_NE(nullptr, ctx);
    EXPECT_EQ(0, tw::cipher_setup(ctx.get(), id, key.data(), key.size()));
    return ctx;
}

// 00 01 .. ff 00 01 .. ff: the plaintext of the IEEE 1619 512-byte vectors.
Sector counting_sector() {
    Sector s(tw::kSectorSize);
    for (size_t i = 0; i < s.size(); ++i)
        s[i] = uint8_t(i);
    return s;
}

Sector transformed(tw::CipherContext *ctx, Sector s, uint64_t number, int direction,
                   const uint8_t *nonce = nullptr) {
    EXPECT_EQ(0, tw::cipher_sector(ctx, s.data(), number, direction, nonce));
    return s;
}

std::vector<uint8_t> data_key(uint8_t first) {
    std::vector<uint8_t> key(64);
    for (size_t i = 0; i < key.size(); ++i)
        key[i] = uint8_t(first + 3 * i);
    return key;
}

// --- AES-256-XTS ---

const std::vector<uint8_t> kIeeeKey =
    from_hex("2718281828459045235360287471352662497757247093699959574966967627"
             "3141592653589793238462643383279502884197169399375105820974944592");

struct XtsVector {
    int number;
    uint64_t sector;
    const char *ciphertext;
};

// IEEE 1619-2007 XTS-AES-256 vectors 10..14: one 512-byte data unit each,
// data unit sequence numbers up to 40 bits.
const XtsVector kXtsVectors[] = {
    {
        10,
        0xffull,
        "1c3b3a102f770386e4836c99e370cf9bea00803f5e482357a4ae12d414a3e63b"
        "5d31e276f8fe4a8d66b317f9ac683f44680a86ac35adfc3345befecb4bb188fd"
        "5776926c49a3095eb108fd1098baec70aaa66999a72a82f27d848b21d4a741b0"
        "c5cd4d5fff9dac89aeba122961d03a757123e9870f8acf1000020887891429ca"
        "2a3e7a7d7df7b10355165c8b9a6d0a7de8b062c4500dc4cd120c0f7418dae3d0"
        "b5781c34803fa75421c790dfe1de1834f280d7667b327f6c8cd7557e12ac3a0f"
        "93ec05c52e0493ef31a12d3d9260f79a289d6a379bc70c50841473d1a8cc81ec"
        "583e9645e07b8d9670655ba5bbcfecc6dc3966380ad8fecb17b6ba02469a020a"
        "84e18e8f84252070c13e9f1f289be54fbc481457778f616015e1327a02b140f1"
        "505eb309326d68378f8374595c849d84f4c333ec4423885143cb47bd71c5edae"
        "9be69a2ffeceb1bec9de244fbe15992b11b77c040f12bd8f6a975a44a0f90c29"
        "a9abc3d4d893927284c58754cce294529f8614dcd2aba991925fedc4ae74ffac"
        "6e333b93eb4aff0479da9a410e4450e0dd7ae4c6e2910900575da401fc07059f"
        "645e8b7e9bfdef33943054ff84011493c27b3429eaedb4ed5376441a77ed4385"
        "1ad77f16f541dfd269d50d6a5f14fb0aab1cbb4c1550be97f7ab4066193c4caa"
        "773dad38014bd2092fa755c824bb5e54c4f36ffda9fcea70b9c6e693e148c151",
    },
    {
        11,
        0xffffull,
        "77a31251618a15e6b92d1d66dffe7b50b50bad552305ba0217a610688eff7e11"
        "e1d0225438e093242d6db274fde801d4cae06f2092c728b2478559df58e837c2"
        "469ee4a4fa794e4bbc7f39bc026e3cb72c33b0888f25b4acf56a2a9804f1ce6d"
        "3d6e1dc6ca181d4b546179d55544aa7760c40d06741539c7e3cd9d2f6650b201"
        "3fd0eeb8c2b8e3d8d240ccae2d4c98320a7442e1c8d75a42d6e6cfa4c2eca179"
        "8d158c7aecdf82490f24bb9b38e108bcda12c3faf9a21141c3613b58367f922a"
        "aa26cd22f23d708dae699ad7cb40a8ad0b6e2784973dcb605684c08b8d6998c6"
        "9aac049921871ebb65301a4619ca80ecb485a31d744223ce8ddc2394828d6a80"
        "470c092f5ba413c3378fa6054255c6f9df4495862bbb3287681f931b687c888a"
        "bf844dfc8fc28331e579928cd12bd2390ae123cf03818d14dedde5c0c24c8ab0"
        "18bfca75ca096f2d531f3d1619e785f1ada437cab92e980558b3dce1474afb75"
        "bfedbf8ff54cb2618e0244c9ac0d3c66fb51598cd2db11f9be39791abe447c63"
        "094f7c453b7ff87cb5bb36b7c79efb0872d17058b83b15ab0866ad8a58656c5a"
        "7e20dbdf308b2461d97c0ec0024a2715055249cf3b478ddd4740de654f75ca68"
        "6e0d7345c69ed50cdc2a8b332b1f8824108ac937eb050585608ee734097fc090"
        "54fbff89eeaeea791f4a7ab1f9868294a4f9e27b42af8100cb9d59cef9645803",
    },
    {
        12,
        0xffffffull,
        "e387aaa58ba483afa7e8eb469778317ecf4cf573aa9d4eac23f2cdf914e4e200"
        "a8b490e42ee646802dc6ee2b471b278195d60918ececb44bf79966f83faba049"
        "9298ebc699c0c8634715a320bb4f075d622e74c8c932004f25b41e361025b5a8"
        "7815391f6108fc4afa6a05d9303c6ba68a128a55705d415985832fdeaae6c8e1"
        "9110e84d1b1f199a2692119edc96132658f09da7c623efcec712537a3d94c0bf"
        "5d7e352ec94ae5797fdb377dc1551150721adf15bd26a8efc2fcaad56881fa9e"
        "62462c28f30ae1ceaca93c345cf243b73f542e2074a705bd2643bb9f7cc79bb6"
        "e7091ea6e232df0f9ad0d6cf502327876d82207abf2115cdacf6d5a48f6c1879"
        "a65b115f0f8b3cb3c59d15dd8c769bc014795a1837f3901b5845eb491adfefe0"
        "97b1fa30a12fc1f65ba22905031539971a10f2f36c321bb51331cdefb39e3964"
        "c7ef079994f5b69b2edd83a71ef549971ee93f44eac3938fcdd61d01fa71799d"
        "a3a8091c4c48aa9ed263ff0749df95d44fef6a0bb578ec69456aa5408ae32c7a"
        "f08ad7ba8921287e3bbee31b767be06a0e705c864a769137df28292283ea81a2"
        "480241b44d9921cdbec1bc28dc1fda114bd8e5217ac9d8ebafa720e9da4f9ace"
        "231cc949e5b96fe76ffc21063fddc83a6b8679c00d35e09576a875305bed5f36"
        "ed242c8900dd1fa965bc950dfce09b132263a1eef52dd6888c309f5a7d712826",
    },
    {
        13,
        0xffffffffull,
        "bf53d2dade78e822a4d949a9bc6766b01b06a8ef70d26748c6a7fc36d80ae4c5"
        "520f7c4ab0ac8544424fa405162fef5a6b7f229498063618d39f0003cb5fb8d1"
        "c86b643497da1ff945c8d3bedeca4f479702a7a735f043ddb1d6aaade3c4a0ac"
        "7ca7f3fa5279bef56f82cd7a2f38672e824814e10700300a055e1630b8f1cb0e"
        "919f5e942010a416e2bf48cb46993d3cb6a51c19bacf864785a00bc2ecff15d3"
        "50875b246ed53e68be6f55bd7e05cfc2b2ed6432198a6444b6d8c247fab941f5"
        "69768b5c429366f1d3f00f0345b96123d56204c01c63b22ce78baf116e525ed9"
        "0fdea39fa469494d3866c31e05f295ff21fea8d4e6e13d67e47ce722e9698a1c"
        "1048d68ebcde76b86fcf976eab8aa9790268b7068e017a8b9b749409514f1053"
        "027fd16c3786ea1bac5f15cb79711ee2abe82f5cf8b13ae73030ef5b9e4457e7"
        "5d1304f988d62dd6fc4b94ed38ba831da4b7634971b6cd8ec325d9c61c00f1df"
        "73627ed3745a5e8489f3a95c69639c32cd6e1d537a85f75cc844726e8a72fc00"
        "77ad22000f1d5078f6b866318c668f1ad03d5a5fced5219f2eabbd0aa5c0f460"
        "d183f04404a0d6f469558e81fab24a167905ab4c7878502ad3e38fdbe62a4155"
        "6cec37325759533ce8f25f367c87bb5578d667ae93f9e2fd99bcbc5f2fbba88c"
        "f6516139420fcff3b7361d86322c4bd84c82f335abb152c4a93411373aaa8220",
    },
    {
        14,
        0xffffffffffull,
        "64497e5a831e4a932c09be3e5393376daa599548b816031d224bbf50a818ed23"
        "50eae7e96087c8a0db51ad290bd00c1ac1620857635bf246c176ab463be30b80"
        "8da548081ac847b158e1264be25bb0910bbc92647108089415d45fab1b3d2604"
        "e8a8eff1ae4020cfa39936b66827b23f371b92200be90251e6d73c5f86de5fd4"
        "a950781933d79a28272b782a2ec313efdfcc0628f43d744c2dc2ff3dcb66999b"
        "50c7ca895b0c64791eeaa5f29499fb1c026f84ce5b5c72ba1083cddb5ce45434"
        "631665c333b60b11593fb253c5179a2c8db813782a004856a1653011e93fb6d8"
        "76c18366dd8683f53412c0c180f9c848592d593f8609ca736317d356e13e2bff"
        "3a9f59cd9aeb19cd482593d8c46128bb32423b37a9adfb482b99453fbe25a41b"
        "f6feb4aa0bef5ed24bf73c762978025482c13115e4015aac992e5613a3b5c2f6"
        "85b84795cb6e9b2656d8c88157e52c42f978d8634c43d06fea928f2822e465aa"
        "6576e9bf419384506cc3ce3c54ac1a6f67dc66f3b30191e698380bc999b05abc"
        "e19dc0c6dcc2dd001ec535ba18deb2df1a101023108318c75dc98611a09dc48a"
        "0acdec676fabdf222f07e026f059b672b56e5cbc8e1d21bbd867dd9272120546"
        "81d70ea737134cdfce93b6f82ae22423274e58a0821cc5502e2d0ab4585e94de"
        "6975be5e0b4efce51cd3e70c25a1fbbbd609d273ad5b0d59631c531f6a0a57b9",
    },
};

TEST(AesXts, Ieee1619Vectors) {
    auto ctx = keyed(tw::kCipherAesXts, kIeeeKey);
    for (const auto &v : kXtsVectors) {
        SCOPED_TRACE(v.number);
        Sector encrypted = transformed(ctx.get(), counting_sector(), v.sector, tw::kEncrypt);
        EXPECT_EQ(v.ciphertext, to_hex(encrypted));
        EXPECT_EQ(to_hex(counting_sector()),
                  to_hex(transformed(ctx.get(), encrypted, v.sector, tw::kDecrypt)));
    }
}

TEST(AesXts, TweakUsesAllSixtyFourBits) {
    auto ctx = keyed(tw::kCipherAesXts, data_key(1));
    const uint64_t numbers[] = {0, 1, (1ull << 32) + 1, 1ull << 32, 1ull << 63, ~0ull};
    std::vector<std::string> seen;
    for (uint64_t n : numbers) {
        std::string c = to_hex(transformed(ctx.get(), Sector(512, 0), n, tw::kEncrypt));
        for (const auto &other : seen)
            EXPECT_NE(other, c) << "sector " << n;
        seen.push_back(c);
    }
}

TEST(AesXts, PartialDataUnitsMatchTheSectorPrefix) {
    // XTS without ciphertext stealing: the first k blocks of a unit depend
    // only on their own tweaks, so a 32-byte unit is the vector's first 32.
    auto ctx = keyed(tw::kCipherAesXts, kIeeeKey);
    Sector unit = counting_sector();
    ASSERT_EQ(0, tw::cipher_xts_unit(ctx.get(), unit.data(), 32, 0xff, tw::kEncrypt));
    EXPECT_EQ(std::string(kXtsVectors[0].ciphertext, 64), to_hex(unit.data(), 32));
    EXPECT_EQ(to_hex(counting_sector().data() + 32, 480), to_hex(unit.data() + 32, 480));
    ASSERT_EQ(0, tw::cipher_xts_unit(ctx.get(), unit.data(), 32, 0xff, tw::kDecrypt));
    EXPECT_EQ(to_hex(counting_sector()), to_hex(unit));

    for (size_t length : {0, 8, 24, 520, 1024}) {
        EXPECT_EQ(-EINVAL, tw::cipher_xts_unit(ctx.get(), unit.data(), length, 0, tw::kEncrypt))
            << length;
    }
    EXPECT_EQ(0, tw::cipher_xts_unit(ctx.get(), unit.data(), 16, 0, tw::kEncrypt));
    EXPECT_EQ(0, tw::cipher_xts_unit(ctx.get(), unit.data(), 512, 0, tw::kEncrypt));
    auto other = keyed(tw::kCipherXor, {1, 2, 3});
    EXPECT_EQ(-EINVAL, tw::cipher_xts_unit(other.get(), unit.data(), 512, 0, tw::kEncrypt));
}

TEST(AesXts, EqualKeyHalvesAreRefusedAndLeaveTheContextReset) {
    // OpenSSL refuses XTS encryption keys whose halves are equal; derived
    // keys never have them, and the refusal must not leave a half-keyed
    // context behind.
    Context ctx(tw::cipher_context_create());
    std::vector<uint8_t> key(64, 0x11);
    EXPECT_EQ(-EIO, tw::cipher_setup(ctx.get(), tw::kCipherAesXts, key.data(), key.size()));
    EXPECT_EQ(tw::kCipherUnset, ctx->id);
    Sector s(512, 0);
    EXPECT_EQ(-EINVAL, tw::cipher_sector(ctx.get(), s.data(), 0, tw::kEncrypt));
}

// --- Runs of sectors, every cipher ---

TEST(CipherRuns, RunEqualsSectorBySectorForEveryCipher) {
    uint8_t nonce[24];
    for (int i = 0; i < 24; ++i)
        nonce[i] = uint8_t(0xE0 ^ i);
    const std::pair<uint32_t, std::vector<uint8_t>> ciphers[] = {
        {tw::kCipherAesXts, data_key(7)},
        {tw::kCipherXChaCha20, data_key(9)},
        {tw::kCipherSse1, from_hex("00112233445566778899aabbccddeeff")},
        {tw::kCipherXor, from_hex("0102030405060708090a0b0c0d0e0f10")},
    };
    constexpr size_t kCount = 9;
    const uint64_t first = (1ull << 32) - 4; // crosses the 32-bit boundary
    std::vector<uint8_t> plain(kCount * 512);
    for (size_t i = 0; i < plain.size(); ++i)
        plain[i] = uint8_t(i * 31 + 5);
    for (const auto &[id, key] : ciphers) {
        SCOPED_TRACE(id);
        auto ctx = keyed(id, key);
        std::vector<uint8_t> expected = plain;
        for (size_t i = 0; i < kCount; ++i)
            ASSERT_EQ(0, tw::cipher_sector(ctx.get(), expected.data() + 512 * i, first + i,
                                           tw::kEncrypt, nonce));
        std::vector<uint8_t> out(plain.size());
        ASSERT_EQ(0, tw::cipher_sectors(ctx.get(), first, kCount, plain.data(), out.data(),
                                        tw::kEncrypt, nonce));
        EXPECT_EQ(to_hex(expected), to_hex(out));
        std::vector<uint8_t> in_place = plain;
        ASSERT_EQ(0, tw::cipher_sectors(ctx.get(), first, kCount, in_place.data(), in_place.data(),
                                        tw::kEncrypt, nonce));
        EXPECT_EQ(to_hex(expected), to_hex(in_place));
        ASSERT_EQ(0, tw::cipher_sectors(ctx.get(), first, kCount, in_place.data(), in_place.data(),
                                        tw::kDecrypt, nonce));
        EXPECT_EQ(to_hex(plain), to_hex(in_place));
        EXPECT_EQ(0,
                  tw::cipher_sectors(ctx.get(), first, 0, nullptr, nullptr, tw::kEncrypt, nonce));
    }
}

// --- XChaCha20 ---

// draft-irtf-cfrg-xchacha-03 appendix A.3.2: key 80..9f, the nonce below,
// block counter 1 -- the same counter start as the sector variant, so sector
// 0 of that plaintext must give the published ciphertext.
const std::vector<uint8_t> kDraftKey =
    from_hex("808182838485868788898a8b8c8d8e8f909192939495969798999a9b9c9d9e9f");
const std::vector<uint8_t> kDraftNonce =
    from_hex("404142434445464748494a4b4c4d4e4f5051525354555658");
const char kDraftPlaintext[] =
    "The dhole (pronounced \"dole\") is also known as the Asiatic wild dog, red dog, and "
    "whistling dog. It is about the size of a German shepherd but looks more like a long-legged "
    "fox. This highly elusive and skilled jumper is classified with wolves, coyotes, jackals, and "
    "foxes in the taxonomic family Canidae.";
const char kDraftCiphertext[] = "7d0a2e6b7f7c65a236542630294e063b7ab9b555a5d5149aa21e4ae1e4fbce87"
                                "ecc8e08a8b5e350abe622b2ffa617b202cfad72032a3037e76ffdcdc4376ee05"
                                "3a190d7e46ca1de04144850381b9cb29f051915386b8a710b8ac4d027b8b050f"
                                "7cba5854e028d564e453b8a968824173fc16488b8970cac828f11ae53cabd201"
                                "12f87107df24ee6183d2274fe4c8b1485534ef2c5fbc1ec24bfc3663efaa08bc"
                                "047d29d25043532db8391a8a3d776bf4372a6955827ccb0cdd4af403a7ce4c63"
                                "d595c75a43e045f0cce1f29c8b93bd65afc5974922f214a40b7c402cdb91ae73"
                                "c0b63615cdad0480680f16515a7ace9d39236464328a37743ffc28f4ddb324f4"
                                "d0f5bbdc270c65b1749a6efff1fbaa09536175ccd29fb9e6057b307320d31683"
                                "8a9c71f70b5b5907a66f7ea49aadc409";

std::vector<uint8_t> draft_data_key() {
    std::vector<uint8_t> key = kDraftKey;
    key.resize(64, 0xEE); // bytes 32..63 of the data key are not used by XChaCha20
    return key;
}

TEST(XChaCha20, DraftVectorAtSectorZero) {
    auto ctx = keyed(tw::kCipherXChaCha20, draft_data_key());
    Sector s(512, 0);
    std::memcpy(s.data(), kDraftPlaintext, sizeof kDraftPlaintext - 1);
    Sector c = transformed(ctx.get(), s, 0, tw::kEncrypt, kDraftNonce.data());
    EXPECT_EQ(kDraftCiphertext, to_hex(c.data(), sizeof kDraftPlaintext - 1));
    // Cross-check the whole sector against libsodium's own XChaCha20.
    Sector reference(512);
    ASSERT_EQ(0, crypto_stream_xchacha20_xor_ic(reference.data(), s.data(), 512, kDraftNonce.data(),
                                                1, kDraftKey.data()));
    EXPECT_EQ(to_hex(reference), to_hex(c));
    // Encryption and decryption are the same operation.
    EXPECT_EQ(to_hex(s), to_hex(transformed(ctx.get(), c, 0, tw::kDecrypt, kDraftNonce.data())));
}

TEST(XChaCha20, SectorNumberIsXoredIntoTheLastNonceBytes) {
    auto ctx = keyed(tw::kCipherXChaCha20, draft_data_key());
    const uint64_t sector = 0x0102030405060708ull;
    Sector c = transformed(ctx.get(), Sector(512, 0), sector, tw::kEncrypt, kDraftNonce.data());
    std::vector<uint8_t> nonce = kDraftNonce;
    for (int i = 0; i < 8; ++i)
        nonce[16 + i] ^= uint8_t(sector >> (8 * i));
    Sector reference(512, 0);
    ASSERT_EQ(0, crypto_stream_xchacha20_xor_ic(reference.data(), reference.data(), 512,
                                                nonce.data(), 1, kDraftKey.data()));
    EXPECT_EQ(to_hex(reference), to_hex(c));
}

TEST(XChaCha20, NonceAndSectorNumberBothChangeTheKeystream) {
    auto ctx = keyed(tw::kCipherXChaCha20, data_key(3));
    std::vector<uint8_t> n1(24, 0x01), n2(24, 0x01);
    n2[3] = 0x02; // a byte of the HChaCha20 half
    std::vector<uint8_t> n3 = n1;
    n3[23] = 0x81; // a byte of the per-sector half
    Sector zero(512, 0);
    std::string base = to_hex(transformed(ctx.get(), zero, 5, tw::kEncrypt, n1.data()));
    EXPECT_NE(base, to_hex(transformed(ctx.get(), zero, 5, tw::kEncrypt, n2.data())));
    EXPECT_NE(base, to_hex(transformed(ctx.get(), zero, 5, tw::kEncrypt, n3.data())));
    EXPECT_NE(base, to_hex(transformed(ctx.get(), zero, 6, tw::kEncrypt, n1.data())));
    EXPECT_NE(base,
              to_hex(transformed(ctx.get(), zero, 5 + (1ull << 40), tw::kEncrypt, n1.data())));
}

TEST(XChaCha20, RefusesToRunWithoutANonce) {
    auto ctx = keyed(tw::kCipherXChaCha20, data_key(3));
    Sector s(512, 0x5A);
    EXPECT_EQ(-EINVAL, tw::cipher_sector(ctx.get(), s.data(), 0, tw::kEncrypt));
    EXPECT_EQ(-EINVAL,
              tw::cipher_sectors(ctx.get(), 0, 1, s.data(), s.data(), tw::kEncrypt, nullptr));
    EXPECT_EQ(Sector(512, 0x5A), s);
}

// --- XOR ---

// The key walk runs 16 * ceil(n / 16) steps. Known answers from an
// independent model; a zero sector encrypts to the 8-byte key repeated.
TEST(XorCipher, KeyWalkLengthsAndSectorTransform) {
    struct Case {
        const char *name;
        std::vector<uint8_t> key;
        const char *derived;
    } cases[] = {
        {"1-byte key, 16 steps", from_hex("5a"), "30b11d858830d6a3"},
        {"16-byte key, 16 steps", from_hex("0102030405060708090a0b0c0d0e0f10"), "9d2ef3ec1912cfe5"},
        {"17-byte key, 32 steps", from_hex("0102030405060708090a0b0c0d0e0f1011"),
         "6592d429161b201a"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        auto ctx = keyed(tw::kCipherXor, c.key);
        Sector out = transformed(ctx.get(), Sector(512, 0), 12345, tw::kEncrypt);
        std::string expected;
        for (int i = 0; i < 64; ++i)
            expected += c.derived;
        EXPECT_EQ(expected, to_hex(out));
        // The sector number does not enter; decryption is the same XOR.
        EXPECT_EQ(to_hex(out), to_hex(transformed(ctx.get(), Sector(512, 0), 0, tw::kDecrypt)));
    }
}

// --- SSE1 ---

TEST(Sse1, KnownAnswerAndRoundTrip) {
    auto key = tw::test::bytes_of("legacy password");
    auto ctx = keyed(tw::kCipherSse1, key);
    Sector c = transformed(ctx.get(), counting_sector(), 0, tw::kEncrypt);
    EXPECT_EQ("7ab98bdce9164f1a47672ecc4e43a1e272c349bdb9e6f59a97e86272d8fe0c6d"
              "dd531533e63a526f94ac7ace029d7771a77a5b52f7968200dcccea2c58a80336"
              "e54039862c8faf2f594f9913bd53786c9ee536e952bf71ba88abee22ee658e32"
              "c71115cb2e92ae5e8308ffeabccd1e02946cfc21ff7d367d90cab79505ef92f4"
              "aba65bc48030ed596e9289b2167bcd9ee27c09338566a50b789efe24e755cc8d"
              "d81f3c3f27aff20194bcde3292ccfa2b4a825a7b86e8b530b11c195b326ec66e"
              "0de4966273f56845ef2c93b960f4eee85ece730a0142b825edc361e713cbd971"
              "69ed3f82ce0c0b0d85b52e4bc4ba7a4d3f5ffe1d3a237f443b8b5696ce0394ea"
              "9c3ced116443b38c86afb894bcc1421f751657e3c65ca9fbf385e47c45152cfe"
              "877e108e933b064bc3684ce313a475482c2f0c9b030a237c919ff22e8593650c"
              "40eb78b396543c7e9cd489abc73df38df22439c1f942944e49d1e40f9c9b0da9"
              "adc12b18fafb6e3598ed968c4ab5e292b7812ff13ac8b648522846d7596bd61e"
              "16ca4a9faac16cb047f81144b89442a696d39f91e3fd26070d5d7c52c5e67f99"
              "79e6a69d0a8aafc3faf1788c0e84da0022cc3d7ecf965bc31c8b183d4c6142cb"
              "9787ec56cbacfe1802f0e26d0fea7f7ff947386ffadc79958876d30448411532"
              "69201d0822fa79a2dbda7b5f99ef85ab24aedf32204d33f0775785a809a82882",
              to_hex(c));
    EXPECT_EQ(to_hex(counting_sector()), to_hex(transformed(ctx.get(), c, 0, tw::kDecrypt)));
    // The sector number does not enter.
    EXPECT_EQ(to_hex(c), to_hex(transformed(ctx.get(), counting_sector(), 77, tw::kEncrypt)));
}

TEST(Sse1, RoundTripsForShortAndLongKeys) {
    // 1 byte, a length that does not divide the table, and longer than the
    // 2052-byte table itself.
    for (size_t length : {1, 7, 33, 3000}) {
        SCOPED_TRACE(length);
        std::vector<uint8_t> key(length);
        for (size_t i = 0; i < length; ++i)
            key[i] = uint8_t(i * 13 + 1);
        auto ctx = keyed(tw::kCipherSse1, key);
        Sector plain = counting_sector();
        Sector c = transformed(ctx.get(), plain, 0, tw::kEncrypt);
        EXPECT_NE(to_hex(plain), to_hex(c));
        EXPECT_EQ(to_hex(plain), to_hex(transformed(ctx.get(), c, 0, tw::kDecrypt)));
    }
}

// --- SSE2 ---

TEST(Sse2, ScheduleAndSectorKnownAnswers) {
    uint8_t table[tw::kSse2TableSize];
    tw::sse2_schedule(tw::kDefaultSystemKey, table);
    EXPECT_EQ("3fbaa1e58338f3e1bf404962f49d99213223ad216caaf2df53fe42b146758f40"
              "93d9ce588d4aa3bc602d8092698f05e07fe664358648e793b523a0724ad6ece4"
              "92d75d53c8b473d58b651ff7662539e60f5c7c5d83cd21afca8e6ec4acdc7f1e"
              "1667a9c26ada52b80ade3d96b3168f7e6173f8eaad58783e30e0b43f33a0ec80"
              "792a1f85d1886bcd74d491256ee2dfa23049f549784a528af81601487a3460b2"
              "2d6de17bfcfee92df5d49de0ac4360decd76b5e127e14ce9acbcd351cf538081"
              "b859079cb6b8e712dc1b06651c0953e8b428704159270d358845f43fa19f44d2"
              "e73070ad44a63569169f3aaa48bdd668564fe925c72f0c1b2309fe07f3f7a0fa"
              "9461c59392cebee2",
              to_hex(table, sizeof table));
    Sector s = counting_sector();
    tw::sse2_encrypt_blocks(s.data(), 64, table);
    EXPECT_EQ("2b355a5dc8cddbd56107e2b47b4adf9a535e57306a9a9d60c61b14f4a992e473"
              "3380394c367281098c91ef2411b1caf30639537ca6d6209404cfda99a4574264"
              "785b0f2b8b6c30348c0fa631aea972d90e5d372aafab029f7fc001413c2df06b"
              "883020ec26cab61483c427974a85c7784056d1299bb40a8956ad112c32bcd29c"
              "cc345fb7139789482c7bf059658c7f25efa10063c42ff799602eeda7943123af"
              "e981120d9a64585ab45580b8b00c44e3c8b510d077ed346e9361756e0d7472d4"
              "4ec5ff631ecbd96d9b27cf804cd40528062004a6bc37348a704a74f510e0f354"
              "888d77cf8fcef7568f06bfd6b6e8840a468e7f49f712e96206230b845289fcaa"
              "a30f65984008f592861e33d3de602e4169abab1674ed28421454f76e57cc01d9"
              "94cc73a79b3dbb32b576731df84d2e2c7b02cee869bbb3006a71413a02bad7c5"
              "4a8f54df79407568744620da0661f004be575a715fa29fc3cbc42be090301a0b"
              "63acca2c412eccd3a6aca26465ed42a617ecddbad00a07f8375bdfa6516e8c12"
              "bb079bcd7c88c5f11496dedf2da16da329b0b95d02406e7b53e2f55967ed0bf5"
              "abf898f5dccbce12851ce84f9f43ec575f8432cbe6de5253cf9c5b2c59495516"
              "0a5d460ee23220432cb9d7d3955d0d5567de2e971b6e0e59157020be2bc69f0f"
              "d534ab423217ace204b494593d3b6a7baaf8ace7dbe81bf4dfb556292917c20d",
              to_hex(s));
}

TEST(Sse2, RoundTripsSectorsAndHeaders) {
    const uint8_t key[7] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66};
    uint8_t table[tw::kSse2TableSize];
    tw::sse2_schedule(key, table);
    for (size_t blocks : {4, 64}) {
        SCOPED_TRACE(blocks);
        Sector plain = counting_sector();
        Sector s = plain;
        tw::sse2_encrypt_blocks(s.data(), blocks, table);
        EXPECT_NE(to_hex(plain.data(), 8 * blocks), to_hex(s.data(), 8 * blocks));
        EXPECT_EQ(to_hex(plain.data() + 8 * blocks, 512 - 8 * blocks),
                  to_hex(s.data() + 8 * blocks, 512 - 8 * blocks));
        tw::sse2_decrypt_blocks(s.data(), blocks, table);
        EXPECT_EQ(to_hex(plain), to_hex(s));
    }
}

TEST(Sse2, ChangingOneBlockChangesEveryLaterBlockOnly) {
    uint8_t table[tw::kSse2TableSize];
    tw::sse2_schedule(tw::kDefaultSystemKey, table);
    // Both directions chain: encrypting changed plaintext, and decrypting
    // changed ciphertext.
    for (bool encrypt : {true, false}) {
        SCOPED_TRACE(encrypt);
        Sector a = counting_sector();
        Sector b = a;
        b[8 * 10 + 3] ^= 0x40;
        auto run = encrypt ? tw::sse2_encrypt_blocks : tw::sse2_decrypt_blocks;
        run(a.data(), 64, table);
        run(b.data(), 64, table);
        for (size_t block = 0; block < 64; ++block) {
            bool same = std::memcmp(a.data() + 8 * block, b.data() + 8 * block, 8) == 0;
            EXPECT_EQ(block < 10, same) << "block " << block;
        }
    }
}

// --- Dispatch rules ---

TEST(CipherDispatch, SetupRefusesUnusableIdsAndKeys) {
    Context ctx(tw::cipher_context_create());
    ASSERT_NE(nullptr, ctx);
    std::vector<uint8_t> key = data_key(1);
    struct Case {
        const char *name;
        uint32_t id;
        const uint8_t *key;
        size_t length;
    } cases[] = {
        {"GOST (name only)", 0, key.data(), 32},
        {"IDEA (name only)", 2, key.data(), 16},
        {"SSE2 (headers only)", tw::kCipherSse2, key.data(), 32},
        {"id 11", 11, key.data(), 64},
        {"no-transform id", tw::kCipherNone, key.data(), 64},
        {"unset id", tw::kCipherUnset, key.data(), 64},
        {"AES without key", tw::kCipherAesXts, nullptr, 64},
        {"AES with 32 bytes", tw::kCipherAesXts, key.data(), 32},
        {"XChaCha20 with 32 bytes", tw::kCipherXChaCha20, key.data(), 32},
        {"SSE1 with empty key", tw::kCipherSse1, key.data(), 0},
        {"XOR with empty key", tw::kCipherXor, key.data(), 0},
        {"XOR key longer than 2^32-1", tw::kCipherXor, key.data(), size_t(1) << 32},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        // A failed set-up over a working context leaves it reset, not keyed
        // with the old key.
        ASSERT_EQ(0, tw::cipher_setup(ctx.get(), tw::kCipherXor, key.data(), 16));
        EXPECT_EQ(-EINVAL, tw::cipher_setup(ctx.get(), c.id, c.key, c.length));
        EXPECT_EQ(tw::kCipherUnset, ctx->id);
        Sector s(512, 0);
        EXPECT_EQ(-EINVAL, tw::cipher_sector(ctx.get(), s.data(), 0, tw::kDecrypt));
    }
}

TEST(CipherDispatch, ResetWipesKeysAndDirectionIsChecked) {
    Context ctx(tw::cipher_context_create());
    std::vector<uint8_t> key = data_key(1);
    ASSERT_EQ(0, tw::cipher_setup(ctx.get(), tw::kCipherSse1, key.data(), 32));
    Sector s(512, 0);
    EXPECT_EQ(-EINVAL, tw::cipher_sector(ctx.get(), s.data(), 0, 2));
    EXPECT_EQ(-EINVAL, tw::cipher_sector(ctx.get(), s.data(), 0, -1));
    tw::cipher_reset(ctx.get());
    EXPECT_EQ(tw::kCipherUnset, ctx->id);
    EXPECT_EQ(tw::kCipherUnset, ctx->legacy.id);
    const auto *legacy = reinterpret_cast<const uint8_t *>(&ctx->legacy);
    EXPECT_EQ(std::string(2 * (sizeof ctx->legacy - 4), '0'),
              to_hex(legacy + 4, sizeof ctx->legacy - 4));

    ASSERT_EQ(0, tw::cipher_setup(ctx.get(), tw::kCipherXChaCha20, key.data(), 64));
    tw::cipher_reset(ctx.get());
    EXPECT_EQ(std::string(64, '0'), to_hex(ctx->xchacha20_key, 32));
}

TEST(CipherDispatch, PlainContextLeavesSectorsUnchanged) {
    Context ctx(tw::cipher_context_create());
    tw::cipher_setup_plain(ctx.get());
    Sector s = counting_sector();
    EXPECT_EQ(to_hex(counting_sector()), to_hex(transformed(ctx.get(), s, 9, tw::kDecrypt)));
    Sector out(512);
    ASSERT_EQ(0, tw::cipher_sectors(ctx.get(), 0, 1, s.data(), out.data(), tw::kEncrypt));
    EXPECT_EQ(to_hex(s), to_hex(out));
}

TEST(CipherDispatch, KeyLengthTable) {
    const size_t expected[] = {32, 32, 16, 56, 8, 24, 32, 32, 16, 64, 64};
    for (uint32_t id = 0; id < 11; ++id)
        EXPECT_EQ(expected[id], tw::cipher_key_length(id)) << id;
    EXPECT_EQ(0u, tw::cipher_key_length(tw::kCipherNone));
    EXPECT_EQ(0u, tw::cipher_key_length(tw::kCipherUnset));
}

TEST(CipherDispatch, ZeroedMemoryBecomesAResetContext) {
    // Containers embed the context in their own locked, zeroed allocation.
    alignas(tw::CipherContext) uint8_t raw[sizeof(tw::CipherContext)] = {};
    auto *ctx = reinterpret_cast<tw::CipherContext *>(raw);
    tw::cipher_reset(ctx);
    EXPECT_EQ(tw::kCipherUnset, ctx->id);
    std::vector<uint8_t> key = data_key(5);
    ASSERT_EQ(0, tw::cipher_setup(ctx, tw::kCipherAesXts, key.data(), 64));
    tw::cipher_reset(ctx); // frees the OpenSSL contexts (LeakSanitizer checks)
}

} // namespace
