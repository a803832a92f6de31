// The VeraCrypt header parser and data reader, on volumes of the test-only
// writer that cryptsetup opens independently.
#include "engine/veracrypt.h"

#include "container/tests/support/tool_images.h"
#include "engine/tests/support/veracrypt_writer.h"
#include "platform/files.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

namespace tw {
namespace {

using test::ToolImages;

std::span<const uint8_t> bytes_of(const std::string &s) {
    return {reinterpret_cast<const uint8_t *>(s.data()), s.size()};
}

int open_volume(const std::string &path, const std::string &password, VeraCryptVolume **out) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return -errno;
    int rc = veracrypt_open(fd, bytes_of(password).data(), password.size(), out);
    if (rc != 0)
        close(fd);
    return rc;
}

// One FAT32 volume for the cases that need a real one: the writer's and
// cryptsetup's derivations are paid once.
struct Fat32Volume {
    std::string path;
    std::vector<uint8_t> image;
    std::vector<uint8_t> keys;
    static const Fat32Volume &get() {
        static Fat32Volume v = [] {
            Fat32Volume made;
            made.image = ToolImages::get().image("fat32");
            made.path = ToolImages::get().dir() + "/fat32.hc";
            test::VeraCryptSettings settings;
            EXPECT_TRUE(test::write_veracrypt_volume(made.path, made.image, settings, &made.keys));
            return made;
        }();
        return v;
    }
};

// cryptsetup reads the writer's header in userspace and gives the same
// master keys, and OpenSSL decrypts the data area with them to the plain
// image. Checkable this way without the kernel's crypto API: volumes with
// AES-256-XTS and PBKDF2-HMAC-SHA-512 (see cryptsetup_master_keys).
TEST(VeraCryptWriter, CryptsetupOpensTheFixture) {
    const Fat32Volume &v = Fat32Volume::get();
    std::vector<uint8_t> keys = test::cryptsetup_master_keys(v.path, "vera password");
    ASSERT_EQ(keys, v.keys);
    EXPECT_EQ(test::decrypt_veracrypt_data(v.path, keys), v.image);
}

TEST(VeraCryptOpen, ReadsTheDecryptedVolume) {
    const Fat32Volume &v = Fat32Volume::get();
    VeraCryptVolume *volume = nullptr;
    FileHandle fd(open(v.path.c_str(), O_RDONLY | O_CLOEXEC));
    ASSERT_TRUE(fd.valid());
    ASSERT_EQ(veracrypt_open(fd.get(), bytes_of("vera password").data(), 13, &volume), 0);
    ASSERT_EQ(veracrypt_data_size(volume), v.image.size());
    EXPECT_NE(veracrypt_probe_text(volume)[0], 0);
    std::vector<uint8_t> data(v.image.size());
    ASSERT_EQ(veracrypt_read(volume, data.data(), data.size(), 0), 0);
    EXPECT_EQ(data, v.image);

    // Requests that are empty, unaligned or beyond the data.
    uint8_t sector[1024];
    const uint64_t size = v.image.size();
    EXPECT_EQ(veracrypt_read(volume, sector, 0, 0), -EINVAL);
    EXPECT_EQ(veracrypt_read(volume, sector, 100, 0), -EINVAL);
    EXPECT_EQ(veracrypt_read(volume, sector, 512, 100), -EINVAL);
    EXPECT_EQ(veracrypt_read(volume, sector, 1024, size - 512), -EINVAL);
    EXPECT_EQ(veracrypt_read(volume, sector, 512, size), -EINVAL);
    EXPECT_EQ(veracrypt_read(volume, sector, 512, size - 512), 0);
    veracrypt_close(volume);
}

// Refused before any key is derived: the password and the file's shape.
TEST(VeraCryptOpen, RefusesBadPasswordsAndFilesCheaply) {
    const Fat32Volume &v = Fat32Volume::get();
    VeraCryptVolume *volume = nullptr;
    EXPECT_EQ(open_volume(v.path, "", &volume), -EINVAL);
    EXPECT_EQ(open_volume(v.path, std::string(129, 'a'), &volume), -EINVAL);
    EXPECT_EQ(open_volume(v.path, std::string("a\0b", 3), &volume), -EINVAL);
    EXPECT_EQ(open_volume(v.path, "\xff\xfe", &volume), -EINVAL);

    std::string small = ToolImages::get().write("small.hc", std::vector<uint8_t>(268288, 1));
    EXPECT_EQ(open_volume(small, "vera password", &volume), -EINVAL);
    std::string odd = ToolImages::get().write("odd.hc", std::vector<uint8_t>(268800 + 100, 1));
    EXPECT_EQ(open_volume(odd, "vera password", &volume), -EINVAL);

    // A descriptor that could write the file is refused.
    int fd = open(v.path.c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(veracrypt_open(fd, bytes_of("vera password").data(), 13, &volume), -EINVAL);
    close(fd);
    EXPECT_EQ(volume, nullptr);
}

// Every field of a decrypted header, changed one at a time (CRCs sealed
// again unless the case is about them).
TEST(VeraCryptHeaderCheck, RefusesEachField) {
    constexpr uint64_t kData = 1 << 20;
    constexpr uint64_t kFile = kData + 262144;
    uint8_t keys[64];
    for (int i = 0; i < 64; ++i)
        keys[i] = uint8_t(i + 1);
    struct Case {
        const char *name;
        size_t at;
        std::vector<uint8_t> bytes;
        bool seal;
        int expected;
    };
    const std::vector<Case> cases = {
        {"valid", 0, {}, true, 0},
        {"magic", 64, {'V', 'E', 'R', 'B'}, true, -EACCES},
        {"header CRC", 252, {0, 0, 0, 0}, false, -EACCES},
        {"key area CRC", 300, {0x55}, false, -EACCES},
        {"version 4", 68, {0, 4}, true, -EPROTONOSUPPORT},
        {"newer program version", 70, {0x01, 0x2a}, true, -EPROTONOSUPPORT},
        {"hidden volume", 92 + 7, {1}, true, -EPROTONOSUPPORT},
        {"flags", 124 + 3, {1}, true, -EPROTONOSUPPORT},
        {"4096-byte sectors", 128, {0, 0, 0x10, 0}, true, -EPROTONOSUPPORT},
        {"volume size", 100 + 7, {1}, true, -EINVAL},
        {"encrypted area size", 116 + 6, {1}, true, -EINVAL},
        {"encrypted area start", 108 + 5, {1}, true, -EINVAL},
        {"equal XTS keys", 288, std::vector<uint8_t>(keys, keys + 32), true, -EPROTONOSUPPORT},
    };
    for (const Case &c : cases) {
        std::vector<uint8_t> h = test::veracrypt_plain_header(kData, {}, keys);
        std::copy(c.bytes.begin(), c.bytes.end(), h.begin() + long(c.at));
        if (c.seal)
            test::veracrypt_seal_header(h.data());
        uint8_t out[64] = {};
        EXPECT_EQ(veracrypt_header_check(h.data(), kFile, out), c.expected) << c.name;
        if (c.expected == 0) {
            EXPECT_EQ(std::memcmp(out, keys, 64), 0);
        }
    }
    // The same valid header for a file of another size.
    std::vector<uint8_t> h = test::veracrypt_plain_header(kData, {}, keys);
    uint8_t out[64];
    EXPECT_EQ(veracrypt_header_check(h.data(), kFile + 512, out), -EINVAL);
}

} // namespace
} // namespace tw
