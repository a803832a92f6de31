#include "containers.h"

#include "container/cipher/cipher.h"
#include "container/formats/kdf_trailer.h"
#include "container/keys/system_key.h"

#include <cstdio>
#include <cstdlib>
#include <gtest/gtest.h>

namespace tw::test {

bool shell_in(const std::string &dir, const std::string &command) {
    std::string full = "cd '" + dir + "' && (" + command + ") >/dev/null 2>&1";
    return std::system(full.c_str()) == 0;
}

std::vector<uint8_t> read_bytes(const std::string &path) {
    std::vector<uint8_t> bytes;
    if (FILE *f = std::fopen(path.c_str(), "rb")) {
        uint8_t buffer[65536];
        size_t n;
        while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0)
            bytes.insert(bytes.end(), buffer, buffer + n);
        std::fclose(f);
    }
    return bytes;
}

void write_bytes(const std::string &path, const std::vector<uint8_t> &bytes) {
    FILE *f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr) << path;
    ASSERT_EQ(std::fwrite(bytes.data(), 1, bytes.size(), f), bytes.size());
    std::fclose(f);
}

std::vector<uint8_t> make_salted_container(std::vector<uint8_t> image,
                                           const std::string &password) {
    EXPECT_EQ(image.size() % 512, 0u);
    uint8_t trailer[kKdfTrailerSize];
    uint8_t key[64];
    EXPECT_EQ(0, kdf_trailer_create(trailer, image.size(), kCipherAesXts,
                                    reinterpret_cast<const uint8_t *>(password.data()),
                                    password.size(), key));
    uint8_t table[kSse2TableSize];
    sse2_schedule(kDefaultSystemKey, table);
    sse2_encrypt_blocks(image.data(), 512 / kSse2BlockSize, table);
    CipherContext *ctx = cipher_context_create();
    EXPECT_EQ(0, cipher_setup(ctx, kCipherAesXts, key, sizeof key));
    EXPECT_EQ(0, cipher_sectors(ctx, 1, image.size() / 512 - 1, image.data() + 512,
                                image.data() + 512, kEncrypt));
    cipher_context_destroy(ctx);
    image.insert(image.end(), trailer, trailer + sizeof trailer);
    return image;
}

} // namespace tw::test
