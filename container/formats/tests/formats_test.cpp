// Container classification on open. Legacy containers exist only as files
// written by earlier programs, so the tests make them here: a filesystem image
// from the real formatting tools, then each format's header transformation
// applied with this library's SSE2 under a system key, and the data sectors
// encrypted with the header's cipher.
#include "container/cipher/cipher.h"
#include "container/container.h"
#include "container/container_internal.h"
#include "container/files/file_access.h"
#include "container/formats/kdf_trailer.h"
#include "container/keys/system_key.h"
#include "container/tests/support/tool_images.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <map>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

using tw::Container;
using tw::test::Bytes;

constexpr size_t kSector = 512;
constexpr const char *kUserKeyText = "0011223344556f";
constexpr uint8_t kUserKey[7] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x6f};
const std::string kPassword = "correct horse";

using tw::test::put16;
using tw::test::put32;
using tw::test::put64;

Bytes schedule_of(const uint8_t key[7]) {
    Bytes table(tw::kSse2TableSize);
    tw::sse2_schedule(key, table.data());
    return table;
}

Bytes sector0_of(const Bytes &image) {
    return Bytes(image.begin(), image.begin() + kSector);
}

// Encrypts sectors 1.. of `file` with a legacy cipher keyed from the password,
// as every legacy container stores its data.
void encrypt_data_sectors(Bytes *file, uint32_t cipher, size_t sectors) {
    tw::CipherContext *ctx = tw::cipher_context_create();
    ASSERT_NE(ctx, nullptr);
    ASSERT_EQ(tw::cipher_setup(ctx, cipher, reinterpret_cast<const uint8_t *>(kPassword.data()),
                               kPassword.size()),
              0);
    ASSERT_EQ(tw::cipher_sectors(ctx, 1, sectors - 1, file->data() + kSector,
                                 file->data() + kSector, tw::kEncrypt),
              0);
    tw::cipher_context_destroy(ctx);
}

// ---- Header transformations of each legacy kind

struct ModernFields {
    uint64_t first; // the whole first quadword: start, cipher nibble, reserved bits
    uint64_t last;  // the whole second quadword
    uint32_t attribute32 = 0x11223344;
    uint64_t attribute64 = 0x5566778899AABBCCull;
    uint16_t marker = 0xAA55;
};

uint64_t modern_first(uint64_t start, uint32_t cipher) {
    return start | uint64_t{cipher} << 56;
}

// Kind 1: the 32-byte header at 256..287 encrypted with SSE2; `plain` gets
// the sector as it is presented after classification.
Bytes make_modern(const Bytes &image, const ModernFields &f, const uint8_t key[7], Bytes *plain,
                  uint32_t data_cipher) {
    Bytes file = image;
    uint8_t *h = file.data() + 256;
    put64(h, f.first);
    put64(h + 8, f.last);
    put32(h + 16, f.attribute32);
    put64(h + 20, f.attribute64);
    put16(h + 28, f.marker);
    *plain = sector0_of(file);
    Bytes table = schedule_of(key);
    tw::sse2_encrypt_blocks(h, 4, table.data());
    encrypt_data_sectors(&file, data_cipher, file.size() / kSector);
    return file;
}

struct EmbeddedFields {
    uint64_t first;
    uint64_t last;
    uint32_t attribute32 = 0x01020304;
    uint64_t attribute64 = 0x0A0B0C0D0E0F1011ull;
};

// Kind 2: the header written into the boot sector with its marker at 494,
// then the whole sector encrypted with SSE2.
Bytes make_intermediate(const Bytes &image, const EmbeddedFields &f, const uint8_t key[7],
                        Bytes *plain, uint32_t data_cipher) {
    Bytes file = image;
    uint8_t *s = file.data();
    put64(s + 256, f.first);
    put64(s + 264, f.last);
    put32(s + 272, f.attribute32);
    put64(s + 486, f.attribute64);
    put16(s + 494, 0xAA55);
    put16(s + 510, 0xAA55);
    *plain = sector0_of(file);
    Bytes table = schedule_of(key);
    tw::sse2_encrypt_blocks(s, 64, table.data());
    encrypt_data_sectors(&file, data_cipher, file.size() / kSector);
    return file;
}

// Kind 4: sector 0 encrypted as a whole with SSE2, no header.
Bytes make_no_header(const Bytes &image, const uint8_t key[7], Bytes *plain) {
    Bytes file = image;
    *plain = sector0_of(file);
    Bytes table = schedule_of(key);
    tw::sse2_encrypt_blocks(file.data(), 64, table.data());
    encrypt_data_sectors(&file, tw::kCipherXor, file.size() / kSector);
    return file;
}

// Kind 3: every sector, sector 0 included, under the user's password.
Bytes make_legacy(const Bytes &image) {
    Bytes file = image;
    tw::CipherContext *ctx = tw::cipher_context_create();
    EXPECT_NE(ctx, nullptr);
    EXPECT_EQ(tw::cipher_setup(ctx, tw::kCipherSse1,
                               reinterpret_cast<const uint8_t *>(kPassword.data()),
                               kPassword.size()),
              0);
    EXPECT_EQ(
        tw::cipher_sectors(ctx, 0, file.size() / kSector, file.data(), file.data(), tw::kEncrypt),
        0);
    tw::cipher_context_destroy(ctx);
    return file;
}

// Kind 5: sector 0 under the system key, the rest under AES-256-XTS keyed from
// a fresh salted trailer, which is appended.
Bytes make_salted(const Bytes &image, const uint8_t key[7], Bytes *plain) {
    Bytes file = image;
    *plain = sector0_of(file);
    uint8_t trailer[tw::kKdfTrailerSize];
    uint8_t data_key[tw::kDataKeySize];
    EXPECT_EQ(tw::kdf_trailer_create(trailer, file.size(), tw::kCipherAesXts,
                                     reinterpret_cast<const uint8_t *>(kPassword.data()),
                                     kPassword.size(), data_key),
              0);
    tw::CipherContext *ctx = tw::cipher_context_create();
    EXPECT_NE(ctx, nullptr);
    EXPECT_EQ(tw::cipher_setup(ctx, tw::kCipherAesXts, data_key, sizeof data_key), 0);
    size_t sectors = file.size() / kSector;
    if (sectors > 1) {
        EXPECT_EQ(tw::cipher_sectors(ctx, 1, sectors - 1, file.data() + kSector,
                                     file.data() + kSector, tw::kEncrypt),
                  0);
    }
    tw::cipher_context_destroy(ctx);
    Bytes table = schedule_of(key);
    tw::sse2_encrypt_blocks(file.data(), 64, table.data());
    file.insert(file.end(), trailer, trailer + sizeof trailer);
    return file;
}

// A minimal APFS container superblock (the checksum is not part of the test).
Bytes apfs_image(size_t sectors) {
    Bytes image(sectors * kSector, 0);
    uint8_t *b = image.data();
    put64(b + 8, 1);
    put64(b + 16, 7);
    put32(b + 24, 0x80000001); // container superblock, ephemeral
    std::memcpy(b + 32, "NXSB", 4);
    put32(b + 36, 4096);
    put64(b + 40, sectors / 8);
    return image;
}

// ---- Images from the real tools, made once per test program

using Workspace = tw::test::ToolImages;

class FormatsTest : public tw::test::ContainerFileTest {
  protected:
    int open_bytes(const std::string &name, const Bytes &bytes, unsigned flags = 0) {
        return open_file(name, bytes, flags);
    }
};

// ---- Every kind from real filesystem images

enum class Key { default_in_force, user_in_force };
enum class WrittenUnder { default_key, user_key };

struct KindCase {
    const char *name;
    const char *image;
    Key key;
    WrittenUnder under;
    // Builds the container; `plain` receives the expected presented sector 0
    // (left empty when sector 0 is not presented).
    Bytes (*make)(const Bytes &image, const uint8_t key[7], Bytes *plain);
    int kind;
    uint32_t header_cipher;
    bool header_present;
    bool cd_image;
    // Expected range; range_end UINT64_MAX stands for "the sector count".
    uint64_t range_start;
    uint64_t range_end;
    uint64_t attribute64;
    uint32_t attribute32;
};

constexpr uint64_t kAll = UINT64_MAX;

Bytes modern_xor(const Bytes &image, const uint8_t key[7], Bytes *plain) {
    // The range end lies beyond the image and is clamped.
    return make_modern(image, {modern_first(1, 8), 1ull << 40}, key, plain, tw::kCipherXor);
}
Bytes modern_sse1(const Bytes &image, const uint8_t key[7], Bytes *plain) {
    return make_modern(image, {modern_first(63, 1) | 0xF0ull << 56, 100 | 1ull << 63}, key, plain,
                       tw::kCipherSse1);
}
Bytes modern_any_cipher(const Bytes &image, const uint8_t key[7], Bytes *plain) {
    return make_modern(image, {modern_first(0, 15), 7}, key, plain, tw::kCipherXor);
}
Bytes intermediate_xor(const Bytes &image, const uint8_t key[7], Bytes *plain) {
    // Bits 48..55 belong to the start here; bits 60..63 are not the cipher.
    return make_intermediate(image, {0xF8AB000000000002ull, 1ull << 40}, key, plain,
                             tw::kCipherXor);
}
Bytes intermediate_blowfish(const Bytes &image, const uint8_t key[7], Bytes *plain) {
    return make_intermediate(image, {modern_first(5, 3), 9}, key, plain, tw::kCipherSse1);
}
Bytes no_header(const Bytes &image, const uint8_t key[7], Bytes *plain) {
    return make_no_header(image, key, plain);
}
Bytes legacy(const Bytes &image, const uint8_t *, Bytes *) {
    return make_legacy(image);
}
Bytes salted(const Bytes &image, const uint8_t key[7], Bytes *plain) {
    return make_salted(image, key, plain);
}
Bytes in_clear(const Bytes &image, const uint8_t *, Bytes *plain) {
    *plain = sector0_of(image);
    return image;
}
Bytes iso_noise_sector0(const Bytes &image, const uint8_t *, Bytes *plain) {
    Bytes file = image;
    for (size_t i = 0; i < kSector; ++i)
        file[i] = uint8_t(i * 37 + 11);
    *plain = sector0_of(file);
    return file;
}
Bytes apfs(const Bytes &, const uint8_t *, Bytes *plain) {
    Bytes image = apfs_image(2048);
    *plain = sector0_of(image);
    return image;
}

constexpr Key kDef = Key::default_in_force;
constexpr Key kUser = Key::user_in_force;
constexpr WrittenUnder kUnderDef = WrittenUnder::default_key;
constexpr WrittenUnder kUnderUser = WrittenUnder::user_key;

const KindCase kKindCases[] = {
    // name, image, key in force, written under, make, kind, header cipher,
    // header present, cd, range start, range end, attribute64, attribute32
    {"ModernFat12Xor", "fat12", kDef, kUnderDef, modern_xor, 1, 8, true, false, 1, kAll,
     0x5566778899AABBCCull, 0x11223344},
    {"ModernExfatSse1", "exfat", kDef, kUnderDef, modern_sse1, 1, 1, true, false, 63, 100,
     0x5566778899AABBCCull, 0x11223344},
    {"ModernAnyCipherNtfs", "ntfs", kDef, kUnderDef, modern_any_cipher, 1, 255, true, false, 0, 7,
     0x5566778899AABBCCull, 0x11223344},
    {"ModernUnderUserKey", "fat32", kUser, kUnderUser, modern_xor, 1, 8, true, false, 1, kAll,
     0x5566778899AABBCCull, 0x11223344},
    {"ModernUnderDefaultWhileUserKeyInForce", "fat32", kUser, kUnderDef, modern_xor, 1, 8, true,
     false, 1, kAll, 0x5566778899AABBCCull, 0x11223344},
    {"IntermediateFat32", "fat32", kDef, kUnderDef, intermediate_xor, 2, 8, true, false,
     0xAB000000000002ull, kAll, 0x0A0B0C0D0E0F1011ull, 0x01020304},
    {"IntermediateBlowfishExfat", "exfat", kDef, kUnderDef, intermediate_blowfish, 2, 255, true,
     false, 5, 9, 0x0A0B0C0D0E0F1011ull, 0x01020304},
    {"IntermediateUnderDefaultWhileUserKeyInForce", "ntfs", kUser, kUnderDef, intermediate_xor, 2,
     8, true, false, 0xAB000000000002ull, kAll, 0x0A0B0C0D0E0F1011ull, 0x01020304},
    {"NoHeaderNtfs", "ntfs", kDef, kUnderDef, no_header, 4, 255, false, false, 0, kAll, kAll, 0},
    {"NoHeaderExfatUnderUserKey", "exfat", kUser, kUnderUser, no_header, 4, 255, false, false, 0,
     kAll, kAll, 0},
    {"NoHeaderMbrUnderDefaultWhileUserKeyInForce", "mbr", kUser, kUnderDef, no_header, 4, 255,
     false, false, 0, kAll, kAll, 0},
    {"NoHeaderZeroSector0Ext4", "ext4", kDef, kUnderDef, no_header, 4, 255, false, false, 0, kAll,
     kAll, 0},
    {"LegacyFat12", "fat12", kDef, kUnderDef, legacy, 3, 255, false, false, 0, 0, 0, 0},
    {"LegacyNtfsWithUserKey", "ntfs", kUser, kUnderDef, legacy, 3, 255, false, false, 0, 0, 0, 0},
    {"SaltedFat32", "fat32", kDef, kUnderDef, salted, 5, 9, false, false, 0, 0, 0, 0},
    // The ISO descriptor of a salted container is encrypted data: no CD flag.
    {"SaltedIsoUnderDefaultWhileUserKeyInForce", "iso", kUser, kUnderDef, salted, 5, 9, false,
     false, 0, 0, 0, 0},
    {"SaltedZeroSector0Ext4", "ext4", kDef, kUnderDef, salted, 5, 9, false, false, 0, 0, 0, 0},
    {"ClearFat12", "fat12", kDef, kUnderDef, in_clear, 6, 255, false, false, 0, kAll, kAll, 0},
    {"ClearNtfsWithUserKey", "ntfs", kUser, kUnderDef, in_clear, 6, 255, false, false, 0, kAll,
     kAll, 0},
    {"ClearMbr", "mbr", kDef, kUnderDef, in_clear, 6, 255, false, false, 0, kAll, kAll, 0},
    {"ClearZeroSector0Ext4", "ext4", kDef, kUnderDef, in_clear, 6, 255, false, false, 0, kAll, kAll,
     0},
    {"ClearApfs", "fat12", kDef, kUnderDef, apfs, 6, 255, false, false, 0, kAll, kAll, 0},
    {"IsoInClear", "iso", kDef, kUnderDef, in_clear, 6, 255, false, true, 0, kAll, kAll, 0},
    {"IsoWithArbitrarySector0", "iso", kDef, kUnderDef, iso_noise_sector0, 6, 255, false, true, 0,
     kAll, kAll, 0},
};

// Cases print as their names in failure messages.
using tw::test::PrintTo;

class KindTest : public FormatsTest, public ::testing::WithParamInterface<KindCase> {};

TEST_P(KindTest, ClassifiesMadeContainer) {
    const KindCase &c = GetParam();
    const Bytes &image = Workspace::get().image(c.image);
    ASSERT_GE(image.size(), 64 * kSector);
    if (c.key == Key::user_in_force) {
        ASSERT_EQ(tw::system_key_set_hex(kUserKeyText), 0);
    }
    const uint8_t *written_key =
        c.under == WrittenUnder::user_key ? kUserKey : tw::kDefaultSystemKey;
    Bytes plain;
    Bytes file = c.make(image, written_key, &plain);
    ASSERT_FALSE(HasFailure());

    ASSERT_EQ(open_bytes(std::string(c.name) + ".zcx", file), 0);
    const Container &k = *container_;
    EXPECT_EQ(k.info.format_kind, c.kind) << tw::format_kind_name(k.info.format_kind);
    EXPECT_EQ(k.info.header_cipher, c.header_cipher);
    EXPECT_EQ(k.info.cipher, tw::kCipherUnset);
    EXPECT_FALSE(k.info.unlocked);
    EXPECT_EQ(k.info.header_present, c.header_present);
    EXPECT_EQ(k.info.cd_image, c.cd_image);
    EXPECT_EQ(k.info.header_locked, false);
    EXPECT_EQ(k.v3, nullptr);
    EXPECT_EQ(k.info.file_size, file.size());
    uint64_t image_size = c.kind == 5 ? file.size() - tw::kKdfTrailerSize : file.size();
    EXPECT_EQ(k.info.size, image_size);
    EXPECT_EQ(k.info.sector_count, image_size / kSector);
    EXPECT_EQ(k.info.range_start, c.range_start);
    EXPECT_EQ(k.info.range_end, c.range_end == kAll ? k.info.sector_count : c.range_end);
    EXPECT_EQ(k.info.range_attribute64, c.attribute64);
    EXPECT_EQ(k.info.range_attribute32, c.attribute32);
    EXPECT_EQ(0, std::memcmp(k.raw_sector0, file.data(), kSector));

    if (c.kind == 3) {
        EXPECT_FALSE(k.info.sector0_available);
    } else {
        ASSERT_TRUE(k.info.sector0_available);
        ASSERT_EQ(plain.size(), kSector);
        EXPECT_EQ(0, std::memcmp(k.presented_sector0, plain.data(), kSector));
    }
    if (c.kind == 5) {
        EXPECT_EQ(0, std::memcmp(k.trailer, file.data() + file.size() - tw::kKdfTrailerSize,
                                 tw::kKdfTrailerSize));
    }

    // The schedule kept is that of the key the container was written under
    // when a system key protected sector 0, else the key in force.
    ASSERT_TRUE(k.system_key_loaded);
    bool system_key_matched = c.kind == 1 || c.kind == 2 || c.kind == 4 || c.kind == 5;
    const uint8_t *expected_key = system_key_matched            ? written_key
                                  : c.key == Key::user_in_force ? kUserKey
                                                                : tw::kDefaultSystemKey;
    EXPECT_EQ(schedule_of(expected_key),
              Bytes(k.system_key_schedule, k.system_key_schedule + tw::kSse2TableSize));
}

INSTANTIATE_TEST_SUITE_P(RealImages, KindTest, ::testing::ValuesIn(kKindCases),
                         [](const auto &info) { return std::string(info.param.name); });

// ---- Every rule of the Modern header, on one FAT boot sector

struct ModernRuleCase {
    const char *name;
    ModernFields fields;
    bool keep_raw_signature;
    int kind;               // 1 when the header is accepted
    uint32_t header_cipher; // for kind 1
};

const ModernRuleCase kModernRuleCases[] = {
    {"Accepted", {modern_first(2, 8), 10}, true, 1, 8},
    {"CipherZeroIsNotUsable", {modern_first(2, 0), 10}, true, 1, 255},
    {"CipherSevenIsNotUsable", {modern_first(2, 7), 10}, true, 1, 255},
    {"CipherFifteenIsAny", {modern_first(2, 15), 10}, true, 1, 255},
    {"CipherNineRejected", {modern_first(2, 9), 10}, true, 6, 0},
    {"CipherFourteenRejected", {modern_first(2, 14), 10}, true, 6, 0},
    {"TopNibbleOfFirstIgnored", {modern_first(2, 1) | 0xFull << 60, 10}, true, 1, 1},
    {"Bits48To55OfFirstRejected", {modern_first(2, 1) | 1ull << 48, 10}, true, 6, 0},
    {"Bits48To62OfLastRejected", {modern_first(2, 1), 10 | 1ull << 62}, true, 6, 0},
    {"Bit63OfLastIgnored", {modern_first(2, 1), 10 | 1ull << 63}, true, 1, 1},
    {"EndBeforeStartRejected", {modern_first(11, 1), 10}, true, 6, 0},
    {"EndEqualToStartAccepted", {modern_first(10, 1), 10}, true, 1, 1},
    {"MissingMarkerRejected", {modern_first(2, 1), 10, 1, 2, 0x55AB}, true, 6, 0},
    // Without the raw boot signature the header is not looked at, and the
    // sector is neither in clear nor a system-key sector: legacy.
    {"MissingRawSignature", {modern_first(2, 1), 10}, false, 3, 0},
};

class ModernRuleTest : public FormatsTest, public ::testing::WithParamInterface<ModernRuleCase> {};

TEST_P(ModernRuleTest, HeaderFieldRules) {
    const ModernRuleCase &c = GetParam();
    Bytes image = Workspace::get().image("fat12");
    image.resize(64 * kSector);
    Bytes plain;
    Bytes file = make_modern(image, c.fields, tw::kDefaultSystemKey, &plain, tw::kCipherXor);
    ASSERT_FALSE(HasFailure());
    if (!c.keep_raw_signature)
        put16(file.data() + 510, 0);
    ASSERT_EQ(open_bytes("modern-rule.zcx", file), 0);
    EXPECT_EQ(container_->info.format_kind, c.kind);
    if (c.kind == 1) {
        EXPECT_EQ(container_->info.header_cipher, c.header_cipher);
        EXPECT_EQ(container_->info.range_start, c.fields.first & 0xFFFFFFFFFFFFull);
        EXPECT_EQ(container_->info.range_end, c.fields.last & 0xFFFFFFFFFFFFull);
        EXPECT_EQ(0, std::memcmp(container_->presented_sector0, plain.data(), kSector));
    } else if (c.kind == 6) {
        EXPECT_EQ(0, std::memcmp(container_->presented_sector0, file.data(), kSector));
        EXPECT_FALSE(container_->info.header_present);
    }
}

INSTANTIATE_TEST_SUITE_P(Fields, ModernRuleTest, ::testing::ValuesIn(kModernRuleCases),
                         [](const auto &info) { return std::string(info.param.name); });

// ---- Sizes, trailers and the v3 magic on small files

Bytes zeros(size_t size) {
    return Bytes(size, 0);
}

// A salted file of `payload` bytes: sector 0 zero under the default key.
Bytes salted_file(size_t payload) {
    Bytes plain;
    return make_salted(zeros(payload), tw::kDefaultSystemKey, &plain);
}

Bytes with_v3_magic(size_t size, size_t at) {
    Bytes file(size, 0xA5);
    std::memcpy(file.data() + at, "FZCXCMP", 8);
    return file;
}

struct SmallCase {
    const char *name;
    Bytes (*make)();
    int result;    // 0 or the negative errno
    int kind;      // when opened
    uint64_t size; // image size when opened
};

const SmallCase kSmallCases[] = {
    {"Bytes511", [] { return zeros(511); }, -EINVAL, 0, 0},
    {"ZeroSector", [] { return zeros(512); }, 0, 6, 512},
    {"PartialSecondSector", [] { return zeros(1000); }, 0, 6, 1000},
    {"SaltedAt4608", [] { return salted_file(512); }, 0, 5, 512},
    // One byte short of sector 0 plus a trailer: the trailer is not looked
    // at, and the sector (ending in the magic's first byte) is legacy.
    {"TrailerNotTestedAt4607",
     [] {
         Bytes file = salted_file(512);
         file.erase(file.begin());
         return file;
     },
     0, 3, 4607},
    {"TrailerPayloadMismatch",
     [] {
         Bytes file = salted_file(512);
         file.insert(file.begin(), 512, 0);
         return file;
     },
     -EINVAL, 0, 0},
    {"TrailerSectorSizeDamaged",
     [] {
         Bytes file = salted_file(1024);
         put32(file.data() + 1024 + 16, 4096);
         return file;
     },
     -EINVAL, 0, 0},
    {"TrailerZeroAreaDamaged",
     [] {
         Bytes file = salted_file(1024);
         file[1024 + 2000] = 1;
         return file;
     },
     -EINVAL, 0, 0},
    // A salted container is never an ISO image, whatever its sector 64 holds.
    {"SaltedWithPlainIsoDescriptor",
     [] {
         Bytes file = salted_file(40960);
         std::memcpy(file.data() + 32768,
                     "\x01"
                     "CD001\x01",
                     7);
         return file;
     },
     0, 5, 40960},
    {"XtsTrailerMagicWithoutFields",
     [] {
         Bytes file = zeros(8192);
         std::memcpy(file.data() + 4096, "FZCXXTS", 8);
         return file;
     },
     -EINVAL, 0, 0},
};

class SmallFileTest : public FormatsTest, public ::testing::WithParamInterface<SmallCase> {};

TEST_P(SmallFileTest, Classifies) {
    const SmallCase &c = GetParam();
    Bytes file = c.make();
    ASSERT_FALSE(HasFailure());
    ASSERT_EQ(open_bytes("small.zcx", file), c.result);
    if (c.result != 0) {
        EXPECT_EQ(container_, nullptr);
        return;
    }
    EXPECT_EQ(container_->info.format_kind, c.kind);
    EXPECT_EQ(container_->info.size, c.size);
    EXPECT_EQ(container_->info.sector_count, c.size / kSector);
    EXPECT_FALSE(container_->info.cd_image);
    if (c.kind == 5) {
        EXPECT_TRUE(container_->info.sector0_available);
        EXPECT_EQ(container_->info.header_cipher, tw::kCipherAesXts);
    }
    if (c.kind == 6) {
        EXPECT_EQ(container_->info.range_end, container_->info.sector_count);
        EXPECT_EQ(0, std::memcmp(container_->presented_sector0, zeros(kSector).data(), kSector));
    }
}

INSTANTIATE_TEST_SUITE_P(Files, SmallFileTest, ::testing::ValuesIn(kSmallCases),
                         [](const auto &info) { return std::string(info.param.name); });

// A file carrying the v3 magic belongs to the v3 store: a header it cannot
// validate fails the open and is never read as another kind, however much the
// rest of the file looks like one.
TEST_F(FormatsTest, V3MagicWithDamagedHeaderIsNeverAnotherKind) {
    struct {
        const char *name;
        Bytes file;
    } cases[] = {
        {"CopyA", with_v3_magic(16384, 0)},
        {"CopyB", with_v3_magic(16384, 4096)},
        {"CopyAOnly", with_v3_magic(4200, 0)},
        {"SaltedLookalike",
         [] {
             Bytes file = salted_file(8192);
             std::memcpy(file.data(), "FZCXCMP", 8);
             return file;
         }()},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        int result = open_bytes("v3.zcx", c.file);
        EXPECT_TRUE(result == -ENOTSUP || result == -EINVAL) << result;
        EXPECT_EQ(container_, nullptr);
    }
}

// ---- Opening: modes, descriptors, the system key from the environment

TEST_F(FormatsTest, OpenModesAndDescriptor) {
    Bytes plain;
    Bytes file = make_no_header(Workspace::get().image("fat12"), tw::kDefaultSystemKey, &plain);
    std::string path = Workspace::get().write("modes.zcx", file);
    for (int mode : {tw::kContainerOpenUnlocked, tw::kContainerOpenRead, tw::kContainerOpenWrite}) {
        SCOPED_TRACE(mode);
        Container *c = nullptr;
        ASSERT_EQ(tw::container_open(path.c_str(), mode, &c), 0);
        EXPECT_EQ(c->info.format_kind, 4);
        EXPECT_STREQ(c->display_path, path.c_str());
        EXPECT_EQ(c->info.read_only, mode != tw::kContainerOpenWrite);
        EXPECT_FALSE(c->info.block_device);
        EXPECT_GE(c->fd, 0);
        EXPECT_EQ(tw::container_close(c), 0);
    }

    int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    for (bool writable : {false, true}) {
        Container *c = nullptr;
        ASSERT_EQ(tw::container_open_descriptor(fd, writable, &c), 0);
        EXPECT_EQ(c->info.format_kind, 4);
        EXPECT_STREQ(c->display_path, "passed container descriptor");
        EXPECT_EQ(c->info.read_only, !writable);
        EXPECT_NE(c->fd, fd);
        EXPECT_EQ(tw::container_close(c), 0);
    }
    // The caller's descriptor stays open.
    EXPECT_EQ(fcntl(fd, F_GETFD), FD_CLOEXEC);
    close(fd);

    // A read-only descriptor never gives a writable container.
    fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    Container *c = nullptr;
    ASSERT_EQ(tw::container_open_descriptor(fd, true, &c), 0);
    EXPECT_TRUE(c->info.read_only);
    tw::container_close(c);
    close(fd);

    EXPECT_EQ(tw::container_open_descriptor(-1, false, &c), -EBADF);
    int pipe_fds[2];
    ASSERT_EQ(pipe(pipe_fds), 0);
    EXPECT_EQ(tw::container_open_descriptor(pipe_fds[0], false, &c), -EINVAL);
    EXPECT_EQ(c, nullptr);
    close(pipe_fds[0]);
    close(pipe_fds[1]);
    EXPECT_EQ(tw::container_open((Workspace::get().dir() + "/absent.zcx").c_str(),
                                 tw::kContainerOpenRead, &c),
              -ENOENT);
    std::filesystem::remove(path);
}

// A block device holds a container as well; its size comes from the device.
TEST_F(FormatsTest, BlockDevice) {
    Bytes plain;
    Bytes file = make_no_header(Workspace::get().image("exfat"), tw::kDefaultSystemKey, &plain);
    std::string path = Workspace::get().write("device.zcx", file);
    std::string device_file = Workspace::get().dir() + "/device.name";
    std::string command = "losetup -r -f --show '" + path + "' >'" + device_file + "' 2>/dev/null";
    if (std::system(command.c_str()) != 0) {
        std::filesystem::remove(path);
        GTEST_SKIP() << "no loop device can be attached here";
    }
    Bytes name = Workspace::read(device_file);
    std::string device(name.begin(), name.end());
    while (!device.empty() && device.back() == '\n')
        device.pop_back();
    Container *c = nullptr;
    int result = tw::container_open(device.c_str(), tw::kContainerOpenRead, &c);
    if (result == 0) {
        EXPECT_TRUE(c->info.block_device);
        EXPECT_EQ(c->info.file_size, file.size());
        EXPECT_EQ(c->info.format_kind, 4);
        EXPECT_EQ(0, std::memcmp(c->presented_sector0, plain.data(), kSector));
        tw::container_close(c);
    }
    std::string detach = "losetup -d '" + device + "'";
    EXPECT_EQ(std::system(detach.c_str()), 0);
    std::filesystem::remove(path);
    EXPECT_EQ(result, 0) << device;
}

TEST_F(FormatsTest, SystemKeyFromTheEnvironment) {
    Bytes plain;
    const Bytes &image = Workspace::get().image("fat12");
    Bytes under_user = make_no_header(image, kUserKey, &plain);

    // The environment's key is loaded on the first open.
    setenv("ZCX_SYSTEM_KEY", kUserKeyText, 1);
    ASSERT_EQ(open_bytes("env.zcx", under_user), 0);
    EXPECT_EQ(container_->info.format_kind, 4);
    clean();

    // A malformed key fails the open, unless the file is a fresh private
    // image, for which no key is loaded: then only what needs no key is found.
    setenv("ZCX_SYSTEM_KEY", "0x12", 1);
    EXPECT_EQ(open_bytes("env.zcx", under_user), -EINVAL);
    EXPECT_EQ(container_, nullptr);
    tw::system_key_forget();
    ASSERT_EQ(open_bytes("env.zcx", under_user, tw::kContainerFreshImage), 0);
    EXPECT_EQ(container_->info.format_kind, 3);
    EXPECT_FALSE(container_->system_key_loaded);
    ASSERT_EQ(open_bytes("env.zcx", image, tw::kContainerFreshImage), 0);
    EXPECT_EQ(container_->info.format_kind, 6);
}

// Closing reports a write error met earlier even when the flush succeeds, and
// the flush of a written container.
TEST_F(FormatsTest, CloseReportsWriteErrors) {
    std::string path = Workspace::get().write("close.zcx", zeros(4096));
    Container *c = nullptr;
    ASSERT_EQ(tw::container_open(path.c_str(), tw::kContainerOpenWrite, &c), 0);
    c->written = true;
    EXPECT_EQ(tw::container_close(c), 0);

    ASSERT_EQ(tw::container_open(path.c_str(), tw::kContainerOpenWrite, &c), 0);
    c->written = true;
    c->write_error = -ENOSPC;
    testing::internal::CaptureStderr();
    EXPECT_EQ(tw::container_close(c), -ENOSPC);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err, "Error: flushing '" + path + "' failed: " + strerror(ENOSPC) + "\n");
    std::filesystem::remove(path);
}

TEST(FormatNames, Tables) {
    EXPECT_STREQ(tw::format_kind_name(1), "OpenZCX Modern (ctRangeFDD, 32-byte SSE2 header)");
    EXPECT_STREQ(tw::format_kind_name(3),
                 "Legacy ZCXCrypt (ctRangeFDDOld, user-key encrypted header)");
    EXPECT_STREQ(tw::format_kind_name(7), "OpenZCX compressed");
    EXPECT_STREQ(tw::format_kind_name(0), "Unknown Format");
    EXPECT_STREQ(tw::format_kind_name(8), "Unknown Format");
    EXPECT_STREQ(tw::format_kind_name(-1), "Unknown Format");
    EXPECT_STREQ(tw::cipher_name(0), "GOST28147");
    EXPECT_STREQ(tw::cipher_name(9), "AES-256-XTS");
    EXPECT_STREQ(tw::cipher_name(10), "XChaCha20");
    EXPECT_STREQ(tw::cipher_name(11), "Unknown");
    EXPECT_STREQ(tw::cipher_name(255), "Unknown");
}

} // namespace
