// Unlocking and reading containers of every kind. Legacy containers are made
// here from images of the real formatting tools: sector 0 protected with SSE2
// under the system key (or, for the legacy ZCXCrypt kind, under the password)
// and the data sectors encrypted with a legacy cipher keyed from the password.
// Salted and v3 containers are made with the library's own writers.
#include "container/container.h"
#include "container/container_internal.h"
#include "container/files/file_access.h"
#include "container/formats/kdf_trailer.h"
#include "container/keys/system_key.h"
#include "container/tests/support/tool_images.h"
#include "container/tests/support/v3_fixture.h"
#include "runtime/errors.h"

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <string>
#include <string_view>

namespace {

using tw::Container;
using tw::test::Bytes;
using tw::test::ToolImages;

constexpr size_t kSector = 512;
const std::string kPassword = "correct horse";
const std::string kCyrillic = "\xd0\x9f\xd0\xb0\xd1\x80\xd0\xbe\xd0\xbb\xd1\x8c"; // "Пароль"
const Bytes kCyrillic1251 = {0xcf, 0xe0, 0xf0, 0xee, 0xeb, 0xfc};
const Bytes kCyrillic866 = {0x8f, 0xa0, 0xe0, 0xae, 0xab, 0xec};

std::span<const uint8_t> bytes_of(const std::string &text) {
    return {reinterpret_cast<const uint8_t *>(text.data()), text.size()};
}

Bytes sector_of(const Bytes &image, uint64_t n) {
    return Bytes(image.begin() + long(n * kSector), image.begin() + long((n + 1) * kSector));
}

// ---- Legacy containers

// The embedded header of kinds 2 and 3 written into a boot sector.
void put_embedded_header(uint8_t *s, uint64_t first, uint64_t last) {
    tw::test::put64(s + 256, first);
    tw::test::put64(s + 264, last);
    tw::test::put32(s + 272, 0x01020304);
    tw::test::put64(s + 486, 0x0A0B0C0D0E0F1011ull);
    tw::test::put16(s + 494, 0xAA55);
}

// What readers see of a sector 0 with an embedded header: the header fields
// stay, the range attribute and marker at 486..495 read as zeros.
Bytes served_with_header(const Bytes &plain) {
    Bytes served = plain;
    std::memset(served.data() + 486, 0, 10);
    return served;
}

// Kind 2: the embedded header written into the boot sector, the whole sector
// under the default system key, data under `cipher`.
Bytes make_intermediate(const Bytes &image, uint32_t cipher, std::span<const uint8_t> key,
                        Bytes *served) {
    Bytes file = image;
    put_embedded_header(file.data(), 1 | uint64_t{cipher} << 56, file.size() / kSector);
    *served = served_with_header(file);
    tw::test::sse2_protect_sector0(file.data(), tw::kDefaultSystemKey);
    tw::test::encrypt_sectors(&file, cipher, key, 1, file.size() / kSector - 1);
    return file;
}

// Kind 4: sector 0 under the default system key, no header.
Bytes make_no_header(const Bytes &image, uint32_t cipher, std::span<const uint8_t> key) {
    Bytes file = image;
    tw::test::sse2_protect_sector0(file.data(), tw::kDefaultSystemKey);
    tw::test::encrypt_sectors(&file, cipher, key, 1, file.size() / kSector - 1);
    return file;
}

// Kind 6: sector 0 in clear, data encrypted.
Bytes make_clear(const Bytes &image, uint32_t cipher, std::span<const uint8_t> key) {
    Bytes file = image;
    tw::test::encrypt_sectors(&file, cipher, key, 1, file.size() / kSector - 1);
    return file;
}

// Kind 3: every sector, sector 0 included, under the password.
Bytes make_legacy(const Bytes &image, uint32_t cipher, std::span<const uint8_t> key) {
    Bytes file = image;
    tw::test::encrypt_sectors(&file, cipher, key, 0, file.size() / kSector);
    return file;
}

// Kind 5: sector 0 under the system key, the rest under the trailer's key.
Bytes make_salted(const Bytes &image, uint32_t cipher) {
    Bytes file = image;
    uint8_t trailer[tw::kKdfTrailerSize];
    uint8_t data_key[tw::kDataKeySize];
    EXPECT_EQ(tw::kdf_trailer_create(trailer, file.size(), cipher, bytes_of(kPassword).data(),
                                     kPassword.size(), data_key),
              0);
    tw::test::encrypt_sectors(&file, cipher, {data_key, tw::cipher_key_length(cipher)}, 1,
                              file.size() / kSector - 1);
    tw::test::sse2_protect_sector0(file.data(), tw::kDefaultSystemKey);
    file.insert(file.end(), trailer, trailer + sizeof trailer);
    return file;
}

// Kind 7: the image written through a new v3 store (sector 0 under the
// default system key).
Bytes make_v3(const Bytes &image, uint32_t cipher, uint32_t chunk_size, bool compress) {
    const std::string path = ToolImages::get().dir() + "/v3-build.zcx";
    std::filesystem::remove(path);
    tw::test::V3Open v3;
    int rc = tw::test::v3_test_create(path, image.size(), cipher, chunk_size, compress, &v3);
    EXPECT_EQ(rc, 0);
    if (rc == 0)
        rc = v3.write(image.data(), image.size(), 0);
    EXPECT_EQ(rc, 0);
    if (rc == 0) {
        EXPECT_EQ(tw::v3_end_writes(v3.store), 0);
    }
    v3.close();
    Bytes file = ToolImages::read(path);
    std::filesystem::remove(path);
    return file;
}

const std::string kV3Password(tw::test::kV3Password);

// ---- Fixture: no system key, no variables; one open container at a time

class AccessTest : public tw::test::ContainerFileTest {
  protected:
    Container *open_bytes(const std::string &name, const Bytes &bytes) {
        EXPECT_EQ(open_file(name, bytes), 0) << name;
        return container_;
    }
    int unlock(const std::string &password, uint32_t cipher = tw::kCipherUnset) {
        return tw::container_unlock(container_, bytes_of(password).data(), password.size(), cipher);
    }
    Bytes read_all() {
        Bytes out(tw::container_size(container_));
        EXPECT_EQ(tw::container_read(container_, out.data(), out.size(), 0), ssize_t(out.size()));
        return out;
    }
};

// ---- Every kind unlocks with the right password and reads its image back

struct UnlockCase {
    const char *name;
    const char *image;
    // Builds the container file; `served` gets the image as readers see it.
    Bytes (*make)(const Bytes &image, Bytes *served);
    const std::string *password;
    int kind;
    uint32_t cipher;    // the cipher in use afterwards
    bool header_locked; // kind 3 only
};

Bytes intermediate_xor(const Bytes &i, Bytes *served) {
    return make_intermediate(i, tw::kCipherXor, bytes_of(kPassword), served);
}
Bytes intermediate_sse1(const Bytes &i, Bytes *served) {
    return make_intermediate(i, tw::kCipherSse1, bytes_of(kPassword), served);
}
Bytes no_header_xor(const Bytes &i, Bytes *served) {
    *served = i;
    return make_no_header(i, tw::kCipherXor, bytes_of(kPassword));
}
Bytes no_header_cp1251(const Bytes &i, Bytes *served) {
    *served = i;
    return make_no_header(i, tw::kCipherSse1, kCyrillic1251);
}
Bytes clear_cp866(const Bytes &i, Bytes *served) {
    *served = i;
    return make_clear(i, tw::kCipherXor, kCyrillic866);
}
Bytes legacy_sse1(const Bytes &i, Bytes *served) {
    *served = i;
    return make_legacy(i, tw::kCipherSse1, bytes_of(kPassword));
}
Bytes legacy_xor(const Bytes &i, Bytes *served) {
    *served = i;
    return make_legacy(i, tw::kCipherXor, bytes_of(kPassword));
}
// A kind-3 sector 0 that carries the embedded header over an MBR without
// boot code.
Bytes legacy_with_header(const Bytes &i, Bytes *served) {
    Bytes image = i;
    put_embedded_header(image.data(), 3 | uint64_t{tw::kCipherXor} << 56, 100);
    *served = served_with_header(image);
    return make_legacy(image, tw::kCipherXor, bytes_of(kPassword));
}
Bytes salted_aes(const Bytes &i, Bytes *served) {
    *served = i;
    return make_salted(i, tw::kCipherAesXts);
}
Bytes salted_xor(const Bytes &i, Bytes *served) {
    *served = i;
    return make_salted(i, tw::kCipherXor);
}
Bytes v3_aes(const Bytes &i, Bytes *served) {
    *served = i;
    return make_v3(i, tw::kCipherAesXts, 16384, false);
}
Bytes v3_xchacha_lz4(const Bytes &i, Bytes *served) {
    *served = i;
    return make_v3(i, tw::kCipherXChaCha20, 4096, true);
}

// The container file alone.
template <Bytes (*Make)(const Bytes &, Bytes *)>
Bytes file_of(const Bytes &image) {
    Bytes served;
    return Make(image, &served);
}

const UnlockCase kUnlockCases[] = {
    {"IntermediateXorFat32", "fat32", intermediate_xor, &kPassword, 2, tw::kCipherXor, false},
    {"IntermediateSse1Ntfs", "ntfs", intermediate_sse1, &kPassword, 2, tw::kCipherSse1, false},
    // No header names the cipher: SSE1 is tried first, XOR matches.
    {"NoHeaderXorExt4", "ext4", no_header_xor, &kPassword, 4, tw::kCipherXor, false},
    {"NoHeaderCp1251Fat32", "fat32", no_header_cp1251, &kCyrillic, 4, tw::kCipherSse1, false},
    {"ClearCp866Mbr", "mbr", clear_cp866, &kCyrillic, 6, tw::kCipherXor, false},
    // A decrypted boot sector carries boot code (at least its jump and name).
    {"LegacySse1Fat12", "fat12", legacy_sse1, &kPassword, 3, tw::kCipherSse1, true},
    {"LegacyXorExfat", "exfat", legacy_xor, &kPassword, 3, tw::kCipherXor, true},
    // The header's range fields lie inside bytes 0..439 as well.
    {"LegacyWithHeaderMbr", "mbr", legacy_with_header, &kPassword, 3, tw::kCipherXor, true},
    {"SaltedAesFat32", "fat32", salted_aes, &kPassword, 5, tw::kCipherAesXts, false},
    {"SaltedXorExt4", "ext4", salted_xor, &kPassword, 5, tw::kCipherXor, false},
    {"V3AesNtfs", "ntfs", v3_aes, &kV3Password, 7, tw::kCipherAesXts, false},
    {"V3XChaChaCompressedFat32", "fat32", v3_xchacha_lz4, &kV3Password, 7, tw::kCipherXChaCha20,
     false},
};

// Cases print as their names in failure messages.
using tw::test::PrintTo;

class UnlockTest : public AccessTest, public ::testing::WithParamInterface<UnlockCase> {};

TEST_P(UnlockTest, UnlocksVerifiesAndReadsTheImage) {
    const UnlockCase &c = GetParam();
    const Bytes &image = ToolImages::get().image(c.image);
    Bytes expected;
    Bytes file = c.make(image, &expected);
    ASSERT_FALSE(HasFailure());
    Container *k = open_bytes(std::string(c.name) + ".zcx", file);
    ASSERT_NE(k, nullptr);
    ASSERT_EQ(k->info.format_kind, c.kind);

    // Nothing beyond sector 0 is readable before unlocking.
    uint8_t sector[kSector];
    EXPECT_EQ(tw::container_read_sector(k, 1, sector), -EACCES);

    ASSERT_EQ(unlock(*c.password), 0);
    EXPECT_TRUE(k->info.unlocked);
    EXPECT_FALSE(k->info.fallback);
    EXPECT_EQ(k->info.cipher, c.cipher);
    EXPECT_EQ(k->info.header_locked, c.header_locked);
    if (c.kind == 3) {
        bool header = std::string_view(c.name).find("WithHeader") != std::string_view::npos;
        EXPECT_EQ(k->info.header_present, header);
        EXPECT_EQ(k->info.header_cipher, header ? tw::kCipherXor : tw::kCipherUnset);
        if (header) {
            EXPECT_EQ(k->info.range_end, 100u);
        }
    }
    char text[200];
    EXPECT_EQ(tw::container_verify_filesystem(k, text, sizeof text), tw::kVerifyRecognised) << text;

    Bytes all = read_all();
    ASSERT_EQ(all.size(), image.size());
    EXPECT_TRUE(all == expected);
    for (uint64_t n : {uint64_t{0}, uint64_t{1}, uint64_t{17}, all.size() / kSector - 1}) {
        ASSERT_EQ(tw::container_read_sector(k, n, sector), 0);
        EXPECT_EQ(Bytes(sector, sector + kSector), sector_of(expected, n)) << "sector " << n;
    }
    // A read starting inside sector 0 and spanning three sectors, and one
    // across two sectors further on, equal the sector reads.
    for (uint64_t offset : {uint64_t{100}, uint64_t{40 * kSector + 7}}) {
        Bytes piece(3 * kSector);
        ASSERT_EQ(tw::container_read(k, piece.data(), piece.size(), offset), ssize_t(piece.size()));
        Bytes joined;
        for (uint64_t n = offset / kSector; n <= (offset + piece.size()) / kSector; ++n) {
            ASSERT_EQ(tw::container_read_sector(k, n, sector), 0);
            joined.insert(joined.end(), sector, sector + kSector);
        }
        EXPECT_EQ(piece, Bytes(joined.begin() + long(offset % kSector),
                               joined.begin() + long(offset % kSector + piece.size())));
    }
}

INSTANTIATE_TEST_SUITE_P(RealImages, UnlockTest, ::testing::ValuesIn(kUnlockCases),
                         [](const auto &info) { return std::string(info.param.name); });

// ---- A damaged root header copy A: copy B authenticates and decides

// One changed byte of copy A at `offset` (XOR with `mask`).
struct HeaderFlip {
    size_t offset;
    uint8_t mask;
};

// A byte in every field of the header, several values of the fields that
// leave copy A structurally valid but name other parameters.
const HeaderFlip kEveryField[] = {
    {0, 0x01},   {8, 0x01},   {8, 0x02},    {8, 0x04},    {12, 0x01},   {16, 0x01},   {20, 0x01},
    {24, 0x02},  {31, 0x01},  {32, 0x01},   {63, 0x80},   {64, 0x01},   {64, 0x08},   {64, 0x03},
    {68, 0x01},  {72, 0x01},  {76, 0x01},   {80, 0x01},   {95, 0x80},   {96, 0x01},   {104, 0x01},
    {112, 0x02}, {112, 0x01}, {120, 0x01},  {121, 0x02},  {128, 0x01},  {136, 0x01},  {140, 0x01},
    {144, 0x01}, {176, 0x01}, {188, 0x01},  {224, 0x01},  {240, 0x01},  {272, 0x01},  {276, 0x01},
    {280, 0x01}, {288, 0x01}, {2000, 0x01}, {4063, 0x80}, {4064, 0x01}, {4095, 0x80},
};
// The fields that select keys and ciphers; for the other ciphers.
const HeaderFlip kKeyFields[] = {
    {8, 0x01},  {8, 0x02},  {32, 0x01}, {64, 0x01},   {64, 0x02},
    {64, 0x08}, {64, 0x03}, {72, 0x01}, {4064, 0x01},
};

struct DamagedCopyCase {
    const char *name;
    uint32_t cipher;
    uint32_t chunk_size;
    bool compress;
    std::span<const HeaderFlip> flips;
};

const DamagedCopyCase kDamagedCopyCases[] = {
    {"Aes", tw::kCipherAesXts, 16384, false, kEveryField},
    {"XChaChaCompressed", tw::kCipherXChaCha20, 4096, true, kKeyFields},
    {"Sse1", tw::kCipherSse1, 16384, false, kKeyFields},
    {"XorCompressed", tw::kCipherXor, 65536, true, kKeyFields},
};

class DamagedCopyTest : public AccessTest, public ::testing::WithParamInterface<DamagedCopyCase> {};

TEST_P(DamagedCopyTest, EveryChangedByteOfCopyAOpensThroughCopyB) {
    const DamagedCopyCase &c = GetParam();
    const Bytes &image = ToolImages::get().image("fat32");
    const Bytes healthy = make_v3(image, c.cipher, c.chunk_size, c.compress);
    ASSERT_FALSE(HasFailure());
    for (const HeaderFlip &flip : c.flips) {
        SCOPED_TRACE(testing::Message() << "offset " << flip.offset << " mask " << int(flip.mask));
        Bytes file = healthy;
        file[flip.offset] ^= flip.mask;
        Container *k = open_bytes("damaged-a.zcx", file);
        ASSERT_NE(k, nullptr);
        ASSERT_EQ(k->info.format_kind, 7);
        ASSERT_EQ(unlock(kV3Password), 0);
        EXPECT_EQ(k->info.cipher, c.cipher);
        EXPECT_EQ(tw::v3_compressed(k->v3), c.compress);
        EXPECT_EQ(tw::v3_chunk_size(k->v3), c.chunk_size);
        EXPECT_TRUE(tw::v3_recovery_needed(k->v3));
        EXPECT_EQ(tw::container_size(k), image.size());
        EXPECT_TRUE(read_all() == image);
    }
    // The same key fields asked for explicitly: the cipher of the copy that
    // authenticated is the one a request must name.
    Bytes file = healthy;
    file[64] ^= 0x08;
    ASSERT_NE(open_bytes("damaged-a.zcx", file), nullptr);
    EXPECT_EQ(unlock(kV3Password, c.cipher), 0);
}

INSTANTIATE_TEST_SUITE_P(Ciphers, DamagedCopyTest, ::testing::ValuesIn(kDamagedCopyCases),
                         [](const auto &info) { return std::string(info.param.name); });

// ---- Wrong passwords

TEST_F(AccessTest, WrongPasswordOnNoHeaderKindFallsBackAndVerificationFails) {
    Container *k =
        open_bytes("fallback.zcx", file_of<no_header_xor>(ToolImages::get().image("fat32")));
    ASSERT_NE(k, nullptr);
    ASSERT_EQ(k->info.format_kind, 4);
    ASSERT_EQ(unlock("wrong horse"), 0);
    EXPECT_TRUE(k->info.unlocked);
    EXPECT_TRUE(k->info.fallback);
    EXPECT_EQ(k->info.cipher, tw::kCipherSse1); // no header names one
    char text[200];
    EXPECT_EQ(tw::container_verify_filesystem(k, text, sizeof text), tw::kVerifyNotRecognised);
    EXPECT_STREQ(text, "No recognized filesystem or partition signatures found");
    EXPECT_TRUE(k->info.fallback);

    // Unlocking again with the right password replaces the fallback.
    ASSERT_EQ(unlock(kPassword), 0);
    EXPECT_FALSE(k->info.fallback);
    EXPECT_EQ(tw::container_verify_filesystem(k, text, sizeof text), tw::kVerifyRecognised);
}

TEST_F(AccessTest, WrongPasswordWithRequestedCipherFallsBackWithoutFlag) {
    Container *k =
        open_bytes("requested.zcx", file_of<intermediate_sse1>(ToolImages::get().image("fat32")));
    ASSERT_NE(k, nullptr);
    ASSERT_EQ(unlock("wrong horse", tw::kCipherXor), 0);
    EXPECT_EQ(k->info.cipher, tw::kCipherXor);
    EXPECT_FALSE(k->info.fallback);
    EXPECT_EQ(tw::container_verify_filesystem(k), tw::kVerifyNotRecognised);
}

TEST_F(AccessTest, LegacyWithRequestedCipherKeepsTheFirstUnprovenPair) {
    // Without the requested cipher a wrong password fails; with it, the first
    // pair that might be right is taken and verification tells the truth.
    Container *k =
        open_bytes("legacy-requested.zcx", file_of<legacy_sse1>(ToolImages::get().image("fat12")));
    ASSERT_NE(k, nullptr);
    ASSERT_EQ(k->info.format_kind, 3);
    ASSERT_EQ(unlock("wrong horse"), -EACCES);
    ASSERT_EQ(unlock("wrong horse", tw::kCipherSse1), 0);
    EXPECT_TRUE(k->info.unlocked);
    EXPECT_TRUE(k->info.sector0_available);
    EXPECT_EQ(k->info.cipher, tw::kCipherSse1);
    EXPECT_EQ(tw::container_verify_filesystem(k), tw::kVerifyNotRecognised);
    ASSERT_EQ(unlock(kPassword, tw::kCipherSse1), 0);
    EXPECT_EQ(tw::container_verify_filesystem(k), tw::kVerifyRecognised);
}

struct RefusalCase {
    const char *name;
    Bytes (*make)(const Bytes &image);
    const char *password;
    uint32_t cipher;
    int error;
};

const RefusalCase kRefusalCases[] = {
    {"SaltedWrongPassword", file_of<salted_aes>, "wrong horse", tw::kCipherUnset, -EACCES},
    {"SaltedOtherCipher", file_of<salted_aes>, "correct horse", tw::kCipherXor, -EINVAL},
    {"V3WrongPassword", file_of<v3_aes>, "wrong horse", tw::kCipherUnset, -EACCES},
    {"V3OtherCipher", file_of<v3_aes>, "correct horse battery", tw::kCipherXChaCha20, -EINVAL},
    {"LegacyWrongPassword", file_of<legacy_sse1>, "wrong horse", tw::kCipherUnset, -EACCES},
    {"LegacyWithAes", file_of<legacy_sse1>, "correct horse", tw::kCipherAesXts, -EINVAL},
    {"IntermediateWithXChaCha", file_of<intermediate_xor>, "correct horse", tw::kCipherXChaCha20,
     -EINVAL},
    {"UnavailableBlowfish", file_of<intermediate_xor>, "correct horse", 3, -EINVAL},
};

class RefusalTest : public AccessTest, public ::testing::WithParamInterface<RefusalCase> {};

TEST_P(RefusalTest, FailsAndStaysLocked) {
    const RefusalCase &c = GetParam();
    Container *k =
        open_bytes(std::string(c.name) + ".zcx", c.make(ToolImages::get().image("fat32")));
    ASSERT_NE(k, nullptr);
    EXPECT_EQ(unlock(c.password, c.cipher), c.error);
    EXPECT_FALSE(k->info.unlocked);
    EXPECT_EQ(k->info.cipher, tw::kCipherUnset);
    EXPECT_EQ(k->data_cipher.id, tw::kCipherUnset);
    uint8_t sector[kSector];
    EXPECT_EQ(tw::container_read_sector(k, 1, sector), -EACCES);
}

INSTANTIATE_TEST_SUITE_P(Refusals, RefusalTest, ::testing::ValuesIn(kRefusalCases),
                         [](const auto &info) { return std::string(info.param.name); });

// ---- Kind 3: a CD image found only through its descriptor

TEST_F(AccessTest, LegacyIsoWithSignedRawSector0BecomesClearCdImage) {
    // The stored sector 0 ends with the boot signature but decrypts to noise,
    // so only the ISO descriptor at byte 32768 proves the password.
    Bytes image = ToolImages::get().image("iso");
    ASSERT_GT(image.size(), 65 * kSector);
    Bytes raw(kSector);
    for (size_t i = 0; i < kSector; ++i)
        raw[i] = uint8_t(i * 73 + 5);
    raw[510] = 0x55;
    raw[511] = 0xAA;
    Bytes file = make_legacy(image, tw::kCipherSse1, bytes_of(kPassword));
    std::memcpy(file.data(), raw.data(), kSector);
    Container *k = open_bytes("legacy-iso.zcx", file);
    ASSERT_NE(k, nullptr);
    ASSERT_EQ(k->info.format_kind, 3);
    ASSERT_EQ(unlock(kPassword), 0);
    EXPECT_EQ(k->info.format_kind, 6);
    EXPECT_TRUE(k->info.cd_image);
    EXPECT_EQ(k->info.cipher, tw::kCipherSse1);
    EXPECT_EQ(k->info.range_end, k->info.sector_count);
    uint8_t sector[kSector];
    ASSERT_EQ(tw::container_read_sector(k, 0, sector), 0);
    EXPECT_EQ(Bytes(sector, sector + kSector), raw);
    ASSERT_EQ(tw::container_read_sector(k, 64, sector), 0);
    EXPECT_EQ(Bytes(sector, sector + kSector), sector_of(image, 64));
    EXPECT_EQ(tw::container_verify_filesystem(k), tw::kVerifyRecognised);
}

// ---- Sector 0 presentation and the exFAT boot checksum

TEST_F(AccessTest, IntermediateSector0ServesZerosInPlaceOfTheHeader) {
    Bytes file = file_of<intermediate_xor>(ToolImages::get().image("fat32"));
    Container *k = open_bytes("header.zcx", file);
    ASSERT_NE(k, nullptr);
    // Readable before unlocking: it was decrypted under the system key.
    uint8_t sector[kSector];
    ASSERT_EQ(tw::container_read_sector(k, 0, sector), 0);
    EXPECT_EQ(Bytes(sector + 486, sector + 496), Bytes(10, 0));
    EXPECT_NE(Bytes(k->presented_sector0 + 486, k->presented_sector0 + 496), Bytes(10, 0));
    EXPECT_EQ(sector[510], 0x55);
    EXPECT_EQ(std::memcmp(sector, k->presented_sector0, 486), 0);
}

// The exFAT boot checksum as the formatting tool computes it.
uint32_t exfat_checksum(const Bytes &image, size_t sectors) {
    uint32_t sum = 0;
    for (size_t i = 0; i < sectors * kSector; ++i) {
        if (i == 106 || i == 107 || i == 112)
            continue;
        sum = ((sum & 1) ? 0x80000000u : 0) + (sum >> 1) + image[i];
    }
    return sum;
}

TEST_F(AccessTest, ExfatBehindIntermediateHeaderKeepsAValidBootChecksum) {
    // The header fields stay in the presented sector 0 (in the boot code), so
    // the stored checksum sector no longer fits what readers see.
    const Bytes &image = ToolImages::get().image("exfat");
    ASSERT_FALSE(image.empty());
    Bytes expected;
    Container *k = open_bytes("exfat.zcx", intermediate_xor(image, &expected));
    ASSERT_NE(k, nullptr);
    ASSERT_EQ(unlock(kPassword), 0);
    Bytes served = read_all();
    EXPECT_NE(sector_of(served, 11), sector_of(image, 11));
    uint32_t checksum = exfat_checksum(served, 11);
    for (size_t i = 0; i < kSector; i += 4)
        EXPECT_EQ(std::memcmp(served.data() + 11 * kSector + i, &checksum, 4), 0);
    // Apart from the checksum, readers see the image as it was meant.
    for (size_t i = 0; i < kSector; ++i)
        served[11 * kSector + i] = expected[11 * kSector + i];
    EXPECT_TRUE(served == expected);
    served = read_all();
    // Sector reads agree with the bulk read.
    uint8_t sector[kSector];
    ASSERT_EQ(tw::container_read_sector(k, 11, sector), 0);
    EXPECT_EQ(Bytes(sector, sector + kSector), sector_of(served, 11));

    std::string path = ToolImages::get().write("exfat-served.img", served);
    std::string command =
        "PATH=/usr/sbin:/sbin:/usr/bin:/bin fsck.exfat -n '" + path + "' >'" + path + ".log' 2>&1";
    EXPECT_EQ(std::system(command.c_str()), 0) << ToolImages::read(path + ".log").data();
    std::filesystem::remove(path);
    std::filesystem::remove(path + ".log");
}

// ---- Sizes and the end of the image

TEST_F(AccessTest, PartialFinalSectorIsNotAddressable) {
    Bytes file(1000000, 0);
    Container *k = open_bytes("million.zcx", file);
    ASSERT_NE(k, nullptr);
    ASSERT_EQ(k->info.format_kind, 6);
    ASSERT_EQ(tw::container_probe_plaintext(k), -EACCES); // zeros are not a filesystem
    ASSERT_EQ(unlock(kPassword), 0);                      // fallback
    EXPECT_EQ(k->info.sector_count, 1953u);
    EXPECT_EQ(tw::container_size(k), 1953u * kSector);
    uint8_t sector[kSector];
    EXPECT_EQ(tw::container_read_sector(k, 1952, sector), 0);
    EXPECT_EQ(tw::container_read_sector(k, 1953, sector), -EFAULT);
    Bytes buffer(1000);
    EXPECT_EQ(tw::container_read(k, buffer.data(), buffer.size(), 1953 * kSector), 0);
    EXPECT_EQ(tw::container_read(k, buffer.data(), buffer.size(), 1953 * kSector - 36), 36);
}

// ---- Plaintext images

TEST_F(AccessTest, PlaintextProbeReadsAnUnencryptedImage) {
    const Bytes &image = ToolImages::get().image("ntfs");
    Container *k = open_bytes("plain.img", image);
    ASSERT_NE(k, nullptr);
    ASSERT_EQ(k->info.format_kind, 6);
    ASSERT_EQ(tw::container_probe_plaintext(k), 0);
    EXPECT_TRUE(k->info.unlocked);
    EXPECT_EQ(k->info.cipher, tw::kCipherNone);
    EXPECT_EQ(tw::container_verify_filesystem(k), tw::kVerifyRecognised);
    EXPECT_TRUE(read_all() == image);
}

TEST_F(AccessTest, PlaintextProbeRefusesEncryptedImages) {
    Container *k = open_bytes("enc.zcx", file_of<no_header_xor>(ToolImages::get().image("ext4")));
    ASSERT_NE(k, nullptr);
    EXPECT_EQ(tw::container_probe_plaintext(k), -EACCES);
    EXPECT_FALSE(k->info.unlocked);
    EXPECT_EQ(k->info.cipher, tw::kCipherUnset);
    k = open_bytes("salted.zcx", file_of<salted_aes>(ToolImages::get().image("fat32")));
    ASSERT_NE(k, nullptr);
    EXPECT_EQ(tw::container_probe_plaintext(k), -EACCES);
    EXPECT_FALSE(k->info.unlocked);
}

// ---- v3 sector 0 under the built-in key while a user key is in force

TEST_F(AccessTest, V3Sector0WrittenUnderDefaultKeyIsFoundWithUserKeyInForce) {
    const Bytes &image = ToolImages::get().image("fat32");
    Bytes file = file_of<v3_aes>(image);
    ASSERT_EQ(tw::system_key_set_hex("0011223344556f"), 0);
    Container *k = open_bytes("v3-user-key.zcx", file);
    ASSERT_NE(k, nullptr);
    ASSERT_EQ(k->info.format_kind, 7);
    ASSERT_EQ(unlock(kV3Password), 0);
    EXPECT_EQ(std::memcmp(k->presented_sector0, image.data(), kSector), 0);
    uint8_t table[tw::kSse2TableSize];
    tw::sse2_schedule(tw::kDefaultSystemKey, table);
    EXPECT_EQ(std::memcmp(k->system_key_schedule, table, sizeof table), 0);
    EXPECT_EQ(tw::container_verify_filesystem(k), tw::kVerifyRecognised);
    EXPECT_TRUE(read_all() == image);
}

// ---- Closing a written v3 container publishes its writes

TEST_F(AccessTest, ClosingAWrittenV3ContainerCommitsItsStore) {
    const Bytes &image = ToolImages::get().image("fat32");
    const std::string path = ToolImages::get().write("v3-written.zcx", file_of<v3_aes>(image));
    ASSERT_EQ(tw::container_open(path.c_str(), tw::kContainerOpenWrite, &container_), 0);
    ASSERT_FALSE(container_->info.read_only);
    ASSERT_EQ(unlock(kV3Password), 0);
    // Writes held back in an open transaction, as a mount worker makes them.
    tw::v3_set_deferred_commit(container_->v3, true);
    Bytes data(8 * kSector, 0x6B);
    const uint64_t offset = 300 * kSector;
    ASSERT_EQ(tw::v3_write(container_->v3, tw::container_v3_cipher, container_, data.data(),
                           data.size(), offset),
              0);
    container_->written = true;
    EXPECT_EQ(tw::container_close(container_), 0);
    container_ = nullptr;

    ASSERT_EQ(tw::container_open(path.c_str(), tw::kContainerOpenRead, &container_), 0);
    ASSERT_EQ(unlock(kV3Password), 0);
    Bytes back(data.size());
    ASSERT_EQ(tw::container_read(container_, back.data(), back.size(), offset),
              ssize_t(back.size()));
    EXPECT_EQ(back, data);
    // Sector 0 went through the system-key side of the cipher callback.
    EXPECT_EQ(tw::container_verify_filesystem(container_), tw::kVerifyRecognised);
    std::filesystem::remove(path);
}

// ---- Verification texts

TEST_F(AccessTest, VerificationWithoutSector0) {
    Container *k =
        open_bytes("legacy-locked.zcx", file_of<legacy_sse1>(ToolImages::get().image("fat12")));
    ASSERT_NE(k, nullptr);
    ASSERT_EQ(k->info.format_kind, 3);
    EXPECT_EQ(tw::container_verify_filesystem(k), tw::kVerifyNoSector0);
    uint8_t sector[kSector];
    EXPECT_EQ(tw::container_read_sector(k, 0, sector), -EACCES);
}

TEST_F(AccessTest, VerificationReportsAReadError) {
    // A file that shrinks after opening: the probe's reads come up short.
    const Bytes &image = ToolImages::get().image("fat32");
    std::string path = ToolImages::get().write("shrinking.zcx", file_of<no_header_xor>(image));
    ASSERT_EQ(tw::container_open(path.c_str(), tw::kContainerOpenRead, &container_), 0);
    ASSERT_EQ(unlock(kPassword), 0);
    ASSERT_EQ(truncate(path.c_str(), kSector), 0);
    char text[200];
    EXPECT_EQ(tw::container_verify_filesystem(container_, text, sizeof text), tw::kVerifyReadError);
    EXPECT_EQ(std::string(text),
              std::string("reading the container failed: ") + tw::error_text(-EIO));
    EXPECT_EQ(container_->last_read_error, -EIO);
    Bytes buffer(4 * kSector, 0xAB);
    EXPECT_EQ(tw::container_read(container_, buffer.data(), buffer.size(), 0), -EIO);
    EXPECT_EQ(buffer, Bytes(buffer.size(), 0)); // nothing decrypted is left
    std::filesystem::remove(path);
}

// ---- Password candidates

struct CandidateCase {
    const char *name;
    std::string text;
    std::vector<Bytes> expected;
};

Bytes b(std::string_view s) {
    return {s.begin(), s.end()};
}

const CandidateCase kCandidateCases[] = {
    {"AsciiOnlyOnce", "correct horse", {b("correct horse")}},
    {"CyrillicInBothCodePages", kCyrillic, {b(kCyrillic), kCyrillic1251, kCyrillic866}},
    // "№" is in both code pages, at different codes.
    {"NumeroSign", "\xe2\x84\x96", {b("\xe2\x84\x96"), {0xb9}, {0xfc}}},
    // "ё" exists in both; U+0098 has no code in Windows-1251 (nor in 866).
    {"NoCodeForU0098", "\xd1\x91\xc2\x98", {b("\xd1\x91\xc2\x98")}},
    // "€" is in Windows-1251 only.
    {"EuroOnlyIn1251", "\xe2\x82\xac", {b("\xe2\x82\xac"), {0x88}}},
    // Box drawing is in 866 only.
    {"BoxDrawingOnlyIn866", "\xe2\x95\x90", {b("\xe2\x95\x90"), {0xcd}}},
    {"InvalidUtf8OnlyOriginal", "\xcf\xe0\xf0", {b("\xcf\xe0\xf0")}},
    {"OverlongOnlyOriginal", "\xc0\xaf", {b("\xc0\xaf")}},
    {"SurrogateOnlyOriginal", "\xed\xa0\x80", {b("\xed\xa0\x80")}},
    {"Empty", "", {b("")}},
};

class CandidateTest : public ::testing::TestWithParam<CandidateCase> {};

TEST_P(CandidateTest, BuildsDistinctConvertibleCandidates) {
    const CandidateCase &c = GetParam();
    tw::PasswordCandidates list;
    ASSERT_EQ(tw::password_candidates_build(bytes_of(c.text).data(), c.text.size(), &list), 0);
    std::vector<Bytes> got;
    for (size_t i = 0; i < list.count; ++i)
        got.emplace_back(list[i].begin(), list[i].end());
    EXPECT_EQ(got, c.expected);
}

INSTANTIATE_TEST_SUITE_P(Texts, CandidateTest, ::testing::ValuesIn(kCandidateCases),
                         [](const auto &info) { return std::string(info.param.name); });

TEST(PasswordCandidates, LongestPasswordAcceptedOneMoreRefused) {
    std::string text(tw::kMaxPasswordLength, 'a');
    tw::PasswordCandidates list;
    EXPECT_EQ(tw::password_candidates_build(bytes_of(text).data(), text.size(), &list), 0);
    EXPECT_EQ(list.count, 1u);
    text.push_back('a');
    EXPECT_EQ(tw::password_candidates_build(bytes_of(text).data(), text.size(), &list), -E2BIG);
}

// ---- Export, range reads and the full read check

Bytes salted_sse1(const Bytes &i, Bytes *served) {
    *served = i;
    return make_salted(i, tw::kCipherSse1);
}
Bytes v3_xchacha(const Bytes &i, Bytes *served) {
    *served = i;
    return make_v3(i, tw::kCipherXChaCha20, 16384, false);
}
Bytes v3_aes_lz4(const Bytes &i, Bytes *served) {
    *served = i;
    return make_v3(i, tw::kCipherAesXts, 65536, true);
}

struct ExportCase {
    const char *name;
    const char *image;
    Bytes (*make)(const Bytes &image, Bytes *served);
    const std::string *password;
};

const ExportCase kExportCases[] = {
    {"SaltedSse1Fat32", "fat32", salted_sse1, &kPassword},
    {"SaltedXorNtfs", "ntfs", salted_xor, &kPassword},
    {"SaltedAesExfat", "exfat", salted_aes, &kPassword},
    {"V3AesCompressedExfat", "exfat", v3_aes_lz4, &kV3Password},
    {"V3XChaChaNtfs", "ntfs", v3_xchacha, &kV3Password},
    {"IntermediateXorFat32", "fat32", intermediate_xor, &kPassword},
};

class ExportTest : public AccessTest, public ::testing::WithParamInterface<ExportCase> {};

void count_progress(uint64_t done, uint64_t total, void *data) {
    auto *calls = static_cast<std::vector<std::pair<uint64_t, uint64_t>> *>(data);
    calls->emplace_back(done, total);
}

TEST_P(ExportTest, ExportWritesTheImageAsReadersSeeIt) {
    const ExportCase &c = GetParam();
    const Bytes &image = ToolImages::get().image(c.image);
    Bytes expected;
    Bytes file = c.make(image, &expected);
    ASSERT_FALSE(HasFailure());
    // The file keeps its name: the full read check compares its status.
    const std::string path = ToolImages::get().write(std::string(c.name) + ".zcx", file);
    ASSERT_EQ(tw::container_open(path.c_str(), tw::kContainerOpenRead, &container_), 0);
    Container *k = container_;
    ASSERT_EQ(unlock(*c.password), 0);

    std::vector<std::pair<uint64_t, uint64_t>> calls;
    ASSERT_EQ(tw::container_check_all(k, count_progress, &calls), 0);
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ(calls.front(), std::make_pair(uint64_t{0}, uint64_t{image.size()}));

    const std::string out = ToolImages::get().dir() + "/" + c.name + ".img";
    const std::string want = ToolImages::get().write(std::string(c.name) + ".want", expected);
    calls.clear();
    ASSERT_EQ(tw::container_export(k, out.c_str(), count_progress, &calls), 0);
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ(calls.back(),
              std::make_pair(uint64_t{image.size() / kSector}, uint64_t{image.size() / kSector}));
    std::string command = "cmp -s '" + want + "' '" + out + "'";
    EXPECT_EQ(std::system(command.c_str()), 0) << command;

    // A second export never replaces the first.
    EXPECT_EQ(tw::container_export(k, out.c_str(), nullptr, nullptr), -EEXIST);
    EXPECT_EQ(std::system(command.c_str()), 0);
    std::filesystem::remove(out);
    std::filesystem::remove(want);
    std::filesystem::remove(path);
}

INSTANTIATE_TEST_SUITE_P(Layouts, ExportTest, ::testing::ValuesIn(kExportCases),
                         [](const auto &info) { return std::string(info.param.name); });

// A v3 container whose copy B is a version-8 (keyfile) copy and whose copy A
// is an ordinary version-7 copy: a password alone reaches only copy A, so the
// store needs recovery and its keyfile copy is out of reach. Neither export
// nor re-encoding may take it as whole, and nothing is written.
TEST_F(AccessTest, MixedVersion8FormIsRefusedBeforeAnyOutputExists) {
    const Bytes &image = ToolImages::get().image("fat32");
    Bytes file = make_v3(image, tw::kCipherAesXts, 16384, false);
    ASSERT_FALSE(HasFailure());

    const std::string keyfile_path = ToolImages::get().dir() + "/v8-build.zcx";
    std::filesystem::remove(keyfile_path);
    int fd = ::open(keyfile_path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0);
    const uint8_t secret[32] = {1, 2, 3, 4, 5, 6, 7, 8};
    uint8_t key[64];
    tw::V3Store *store = nullptr;
    ASSERT_EQ(tw::v3_create(fd, image.size(), tw::kCipherAesXts, 16384, false,
                            tw::test::password_bytes(), kV3Password.size(), secret, 8, &store, key),
              0);
    tw::v3_close(store);
    ::close(fd);
    Bytes keyfile_copy = ToolImages::read(keyfile_path);
    std::filesystem::remove(keyfile_path);
    ASSERT_GE(keyfile_copy.size(), size_t{8192});
    std::memcpy(file.data() + 4096, keyfile_copy.data() + 4096, 4096);

    const std::string path = ToolImages::get().write("mixed-v8.zcx", file);
    ASSERT_EQ(tw::container_open(path.c_str(), tw::kContainerOpenRead, &container_), 0);
    ASSERT_EQ(unlock(kV3Password), 0);
    ASSERT_NE(container_->v3, nullptr);
    EXPECT_EQ(tw::v3_version(container_->v3), 7u);
    EXPECT_TRUE(tw::v3_recovery_needed(container_->v3));

    const std::string exported = ToolImages::get().dir() + "/mixed-v8.img";
    EXPECT_EQ(tw::container_export(container_, exported.c_str(), nullptr, nullptr),
              -ENOTRECOVERABLE);
    EXPECT_FALSE(std::filesystem::exists(exported));

    const std::string reencoded = ToolImages::get().dir() + "/mixed-v8-rekeyed.zcx";
    tw::ReencodeOptions r;
    r.password = bytes_of(kPassword).data();
    r.password_length = kPassword.size();
    r.output_path = reencoded.c_str();
    r.chunk_size = 16384;
    EXPECT_EQ(tw::container_reencode(container_, r), -ENOTRECOVERABLE);
    EXPECT_FALSE(std::filesystem::exists(reencoded));
    for (const auto &entry : std::filesystem::directory_iterator(ToolImages::get().dir()))
        EXPECT_EQ(entry.path().filename().string().find(".openzcx-rekey-"), std::string::npos);
    std::filesystem::remove(path);
}

TEST_F(AccessTest, RangeReadsRefuseUnalignedRangesAndAReplacedSector0) {
    const Bytes &image = ToolImages::get().image("fat32");
    std::string path = ToolImages::get().write("range.zcx", file_of<no_header_xor>(image));
    ASSERT_EQ(tw::container_open(path.c_str(), tw::kContainerOpenRead, &container_), 0);
    ASSERT_EQ(unlock(kPassword), 0);
    Bytes buffer(4 * kSector);
    EXPECT_EQ(tw::container_read_range(container_, buffer.data(), 100, 0), -EINVAL);
    EXPECT_EQ(tw::container_read_range(container_, buffer.data(), kSector, 7), -EINVAL);
    EXPECT_EQ(
        tw::container_read_range(container_, buffer.data(), 2 * kSector, image.size() - kSector),
        -EINVAL);
    ASSERT_EQ(tw::container_read_range(container_, buffer.data(), buffer.size(), 0), 0);
    EXPECT_EQ(buffer, Bytes(image.begin(), image.begin() + long(buffer.size())));

    // Another sector 0 stored meanwhile: the copy would mix two files.
    Bytes other(kSector, 0x5A);
    FILE *f = std::fopen(path.c_str(), "r+b");
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(std::fwrite(other.data(), 1, other.size(), f), other.size());
    std::fclose(f);
    std::fill(buffer.begin(), buffer.end(), 0xAB);
    EXPECT_EQ(tw::container_read_range(container_, buffer.data(), buffer.size(), 0),
              -tw::kErrChanged);
    EXPECT_EQ(buffer, Bytes(buffer.size(), 0));
    EXPECT_EQ(tw::container_check_all(container_, nullptr, nullptr), -tw::kErrChanged);
    // Ranges after sector 0 are still served.
    EXPECT_EQ(tw::container_read_range(container_, buffer.data(), buffer.size(), kSector), 0);
    std::filesystem::remove(path);
}

TEST_F(AccessTest, FullReadCheckRefusalsAndCancellation) {
    Container *k = open_bytes("check.zcx", file_of<legacy_sse1>(ToolImages::get().image("fat12")));
    ASSERT_NE(k, nullptr);
    EXPECT_EQ(tw::container_check_all(k, nullptr, nullptr), -EINVAL); // locked
    ASSERT_EQ(unlock(kPassword), 0);
    ASSERT_TRUE(k->info.header_locked);
    EXPECT_EQ(tw::container_check_all(k, nullptr, nullptr), -EINVAL); // boot code in sector 0

    tw::container_close(container_);
    container_ = nullptr;
    const std::string path = ToolImages::get().write(
        "cancel.zcx", file_of<no_header_xor>(ToolImages::get().image("fat32")));
    ASSERT_EQ(tw::container_open(path.c_str(), tw::kContainerOpenRead, &container_), 0);
    k = container_;
    ASSERT_EQ(unlock(kPassword), 0);
    std::atomic<uint32_t> cancel{1};
    tw::container_set_cancel(k, &cancel);
    EXPECT_EQ(tw::container_check_all(k, nullptr, nullptr), -ECANCELED);
    const std::string out = ToolImages::get().dir() + "/cancelled.img";
    EXPECT_EQ(tw::container_export(k, out.c_str(), nullptr, nullptr), -ECANCELED);
    EXPECT_FALSE(std::filesystem::exists(out));
    cancel = 0;
    EXPECT_EQ(tw::container_check_all(k, nullptr, nullptr), 0);
    std::filesystem::remove(path);
}

// ---- Creation from a plain image and re-encoding

struct CreateCase {
    const char *name;
    uint32_t cipher;
    uint32_t chunk_size;
    bool compress;
    int kind;                    // of the new container
    uint32_t written_chunk_size; // what the output reports
};

const CreateCase kCreateCases[] = {
    {"SaltedSse1", tw::kCipherSse1, 0, false, 5, 0},
    {"SaltedXor", tw::kCipherXor, 0, false, 5, 0},
    {"SaltedAes", tw::kCipherAesXts, 0, false, 5, 0},
    {"XChaChaWithoutChunkSizeIsV3", tw::kCipherXChaCha20, 0, false, 7, 16384},
    {"V3Sse1", tw::kCipherSse1, 16384, false, 7, 16384},
    {"V3XorCompressed", tw::kCipherXor, 65536, true, 7, 65536},
    {"V3AesCompressed", tw::kCipherAesXts, 4096, true, 7, 4096},
    {"V3XChaChaCompressed", tw::kCipherXChaCha20, 4096, true, 7, 4096},
};

class CreateTest : public AccessTest, public ::testing::WithParamInterface<CreateCase> {
  protected:
    // A freshly formatted image as creation gets it: deleted, read-only.
    static int deleted_image(const std::string &name, const Bytes &image) {
        std::string path = ToolImages::get().write(name, image);
        int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        std::filesystem::remove(path);
        return fd;
    }
};

void record_phases(const char *phase, uint64_t done, uint64_t total, void *data) {
    auto *phases = static_cast<std::vector<std::string> *>(data);
    if (phases->empty() || phases->back() != phase)
        phases->push_back(phase);
    EXPECT_LE(done, total);
}

TEST_P(CreateTest, PlainImageToContainerAndBackIsIdentical) {
    const CreateCase &c = GetParam();
    const Bytes &image = ToolImages::get().image("fat32");
    ASSERT_EQ(tw::system_key_set_default(), 0);
    int fd = deleted_image(std::string(c.name) + ".raw", image);
    ASSERT_GE(fd, 0);
    const std::string dir = ToolImages::get().dir();
    const std::string output = dir + "/" + c.name + ".zcx";
    std::vector<std::string> phases;
    tw::ReencodeOptions o;
    o.password = bytes_of(kPassword).data();
    o.password_length = kPassword.size();
    o.cipher = c.cipher;
    o.chunk_size = c.chunk_size;
    o.compress = c.compress;
    o.output_path = output.c_str();
    o.progress = record_phases;
    o.progress_data = &phases;
    ASSERT_EQ(tw::container_create_from_image(fd, o), 0);
    close(fd);
    EXPECT_EQ(phases, (std::vector<std::string>{"initializing", "verifying"}));

    ASSERT_EQ(tw::container_open(output.c_str(), tw::kContainerOpenRead, &container_), 0);
    Container *k = container_;
    EXPECT_EQ(k->info.format_kind, c.kind);
    ASSERT_EQ(unlock(kPassword), 0);
    EXPECT_EQ(k->info.cipher, c.cipher);
    if (c.kind == 7) {
        EXPECT_EQ(tw::v3_chunk_size(k->v3), c.written_chunk_size);
        EXPECT_EQ(tw::v3_compressed(k->v3), c.compress);
        EXPECT_FALSE(tw::v3_open_for_writing(k->v3));
    }
    const std::string exported = output + ".img";
    const std::string original = ToolImages::get().write(std::string(c.name) + ".orig", image);
    ASSERT_EQ(tw::container_export(k, exported.c_str(), nullptr, nullptr), 0);
    std::string command = "cmp -s '" + original + "' '" + exported + "'";
    EXPECT_EQ(std::system(command.c_str()), 0) << command;
    std::string fsck = "fsck.fat -n '" + exported + "' >/dev/null 2>&1";
    EXPECT_EQ(std::system(fsck.c_str()), 0) << fsck;

    // Re-encoding into the other layout under a new password gives the same
    // image again; the first container stays as it was.
    const std::string rekeyed = output + ".rekeyed";
    const std::string new_password = "new horse";
    tw::ReencodeOptions r;
    r.password = bytes_of(new_password).data();
    r.password_length = new_password.size();
    r.cipher = tw::kCipherAesXts;
    r.chunk_size = c.kind == 5 ? 16384 : 0;
    r.output_path = rekeyed.c_str();
    ASSERT_EQ(tw::container_reencode(k, r), 0);
    EXPECT_EQ(tw::container_reencode(k, r), -EEXIST); // never replaces
    tw::container_close(container_);
    container_ = nullptr;
    ASSERT_EQ(tw::container_open(rekeyed.c_str(), tw::kContainerOpenRead, &container_), 0);
    EXPECT_EQ(container_->info.format_kind, c.kind == 5 ? 7 : 5);
    EXPECT_EQ(unlock(kPassword), -EACCES);
    ASSERT_EQ(unlock(new_password), 0);
    std::filesystem::remove(exported);
    ASSERT_EQ(tw::container_export(container_, exported.c_str(), nullptr, nullptr), 0);
    EXPECT_EQ(std::system(command.c_str()), 0) << command;

    for (const std::string &path : {output, exported, original, rekeyed})
        std::filesystem::remove(path);
}

INSTANTIATE_TEST_SUITE_P(CiphersAndLayouts, CreateTest, ::testing::ValuesIn(kCreateCases),
                         [](const auto &info) { return std::string(info.param.name); });

// Interference during a re-encoding: a cancel seen while verifying, or the
// source file changed under the copy. Nothing is published either way.
struct Interference {
    const char *phase;
    std::atomic<uint32_t> *cancel = nullptr;
    const std::string *source_path = nullptr;
    bool replace = false; // put another file under the source's name
    bool done = false;
};

void interfere(const char *phase, uint64_t done, uint64_t, void *data) {
    auto *i = static_cast<Interference *>(data);
    if (i->done || std::string_view(phase) != i->phase || done == 0)
        return;
    i->done = true;
    if (i->cancel)
        *i->cancel = 1;
    if (i->source_path && i->replace) {
        // The same bytes under the same name, but another file.
        const std::string other = *i->source_path + ".other";
        std::filesystem::copy_file(*i->source_path, other);
        std::filesystem::rename(other, *i->source_path);
    } else if (i->source_path) {
        // Same bytes, new modification time: the file was written meanwhile.
        FILE *f = std::fopen(i->source_path->c_str(), "r+b");
        ASSERT_NE(f, nullptr);
        uint8_t byte = 0;
        ASSERT_EQ(std::fread(&byte, 1, 1, f), 1u);
        std::fseek(f, 0, SEEK_SET);
        std::fwrite(&byte, 1, 1, f);
        std::fclose(f);
    }
}

TEST_F(AccessTest, ReencodeInterruptedPublishesNothing) {
    const Bytes &image = ToolImages::get().image("fat32");
    enum Kind { cancelled, written, replaced };
    for (Kind kind : {cancelled, written, replaced}) {
        const bool cancel = kind == cancelled;
        SCOPED_TRACE(cancel            ? "cancelled while verifying"
                     : kind == written ? "source written while copying"
                                       : "source replaced while copying");
        const std::string source = ToolImages::get().write("busy.zcx", file_of<salted_aes>(image));
        Bytes before = ToolImages::read(source);
        tw::container_close(container_);
        container_ = nullptr;
        ASSERT_EQ(tw::container_open(source.c_str(), tw::kContainerOpenRead, &container_), 0);
        ASSERT_EQ(unlock(kPassword), 0);
        std::atomic<uint32_t> flag{0};
        tw::container_set_cancel(container_, &flag);
        Interference i{cancel ? "verifying" : "reencoding"};
        if (cancel)
            i.cancel = &flag;
        else
            i.source_path = &source;
        i.replace = kind == replaced;
        const std::string output = ToolImages::get().dir() + "/busy-out.zcx";
        tw::ReencodeOptions r;
        r.password = bytes_of(kPassword).data();
        r.password_length = kPassword.size();
        r.chunk_size = 16384;
        r.output_path = output.c_str();
        r.progress = interfere;
        r.progress_data = &i;
        EXPECT_EQ(tw::container_reencode(container_, r), cancel ? -ECANCELED : -tw::kErrChanged);
        EXPECT_TRUE(i.done);
        EXPECT_FALSE(std::filesystem::exists(output));
        for (const auto &entry : std::filesystem::directory_iterator(ToolImages::get().dir()))
            EXPECT_EQ(entry.path().filename().string().find(".openzcx-rekey-"), std::string::npos)
                << entry.path();
        EXPECT_EQ(ToolImages::read(source), before);
        std::filesystem::remove(source);
    }
}

// A read-only source can hold only the shared in-use lock, which a mount or
// another operation may hold as well: the copy writer refuses it while any
// other open file holds a lock on it, and copies it once it is alone.
TEST_F(AccessTest, ReencodeRefusesAReadOnlySourceSomebodyElseHolds) {
    const Bytes &image = ToolImages::get().image("fat32");
    const std::string source = ToolImages::get().write("shared.zcx", file_of<salted_aes>(image));
    tw::container_close(container_);
    container_ = nullptr;
    ASSERT_EQ(tw::container_open(source.c_str(), tw::kContainerOpenRead, &container_), 0);
    ASSERT_EQ(unlock(kPassword), 0);
    Container *other = nullptr;
    ASSERT_EQ(tw::container_open(source.c_str(), tw::kContainerOpenRead, &other), 0);
    const std::string output = ToolImages::get().dir() + "/shared-out.zcx";
    tw::ReencodeOptions r;
    r.password = bytes_of(kPassword).data();
    r.password_length = kPassword.size();
    r.chunk_size = 16384;
    r.output_path = output.c_str();
    EXPECT_EQ(tw::container_reencode(container_, r), -EBUSY);
    EXPECT_FALSE(std::filesystem::exists(output));
    tw::ContainerInfo info;
    tw::container_info(container_, &info);
    EXPECT_FALSE(info.unlocked);

    tw::container_close(other);
    ASSERT_EQ(unlock(kPassword), 0);
    EXPECT_EQ(tw::container_reencode(container_, r), 0);
    EXPECT_TRUE(std::filesystem::exists(output));
    std::filesystem::remove(output);
    std::filesystem::remove(source);
}

// ---- Import stream

int read_bytes(void *user, void *buffer, size_t length, uint64_t offset) {
    const auto *image = static_cast<const Bytes *>(user);
    if (offset > image->size() || length > image->size() - offset)
        return -EINVAL;
    std::memcpy(buffer, image->data() + offset, length);
    return 0;
}

TEST_F(AccessTest, ImportStreamWritesAVerifiedV3Container) {
    const Bytes &image = ToolImages::get().image("exfat");
    ASSERT_EQ(tw::system_key_set_default(), 0);
    const std::string dir = ToolImages::get().dir();
    const std::string source_path = ToolImages::get().write("volume.raw", image);
    const std::string output = dir + "/imported.zcx";
    int source_fd = ::open(source_path.c_str(), O_RDONLY | O_CLOEXEC);
    int out_fd = ::open(output.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    int read_fd = ::open(output.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(source_fd, 0);
    ASSERT_GE(out_fd, 0);
    ASSERT_GE(read_fd, 0);
    tw::ImportStream in;
    in.size = image.size();
    in.read = read_bytes;
    in.user = const_cast<Bytes *>(&image);
    in.source_fd = source_fd;
    in.output_fd = read_fd; // a read-only output handle is refused
    in.output_read_fd = read_fd;
    in.password = bytes_of(kPassword).data();
    in.password_length = kPassword.size();
    EXPECT_EQ(tw::container_import_stream(in), -EINVAL);
    in.output_fd = out_fd;
    in.output_read_fd = source_fd; // not the same file
    EXPECT_EQ(tw::container_import_stream(in), -EINVAL);
    in.output_read_fd = read_fd;
    std::vector<std::string> phases;
    in.progress = record_phases;
    in.progress_data = &phases;
    ASSERT_EQ(tw::container_import_stream(in), 0);
    EXPECT_EQ(phases, (std::vector<std::string>{"importing", "verifying"}));
    for (int fd : {source_fd, out_fd, read_fd})
        close(fd);

    ASSERT_EQ(tw::container_open(output.c_str(), tw::kContainerOpenRead, &container_), 0);
    EXPECT_EQ(container_->info.format_kind, 7);
    ASSERT_EQ(unlock(kPassword), 0);
    EXPECT_EQ(container_->info.cipher, tw::kCipherAesXts);
    EXPECT_EQ(tw::v3_chunk_size(container_->v3), 16384u);
    EXPECT_TRUE(read_all() == image);
    std::filesystem::remove(output);
    std::filesystem::remove(source_path);
}

TEST_F(AccessTest, ReencodeRefusals) {
    const Bytes &image = ToolImages::get().image("fat32");
    const std::string output = ToolImages::get().dir() + "/refused.zcx";
    Container *k = open_bytes("fallback-source.zcx", file_of<no_header_xor>(image));
    ASSERT_NE(k, nullptr);
    tw::ReencodeOptions r;
    r.password = bytes_of(kPassword).data();
    r.password_length = kPassword.size();
    r.output_path = output.c_str();
    EXPECT_EQ(tw::container_reencode(k, r), -EINVAL); // locked
    ASSERT_EQ(unlock("wrong horse"), 0);
    EXPECT_EQ(tw::container_reencode(k, r), -EINVAL); // unlocked in fallback
    ASSERT_EQ(unlock(kPassword), 0);
    r.cipher = tw::kCipherXChaCha20;
    EXPECT_EQ(tw::container_reencode(k, r), -EINVAL); // XChaCha20 needs the v3 layout
    r.cipher = tw::kCipherAesXts;
    r.password_length = 0;
    EXPECT_EQ(tw::container_reencode(k, r), -EINVAL);
    EXPECT_FALSE(std::filesystem::exists(output));
}

} // namespace
