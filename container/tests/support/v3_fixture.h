// Shared pieces of the v3 store tests: a temporary folder, the cipher
// callback a container supplies (SSE2 under the system key for the sector-0
// block, the data cipher for everything else) and open/create helpers.
#pragma once

#include "container/cipher/cipher.h"
#include "container/keys/system_key.h"
#include "container/v3/v3_internal.h"
#include "container/v3/v3_store.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <string>
#include <string_view>
#include <unistd.h>
#include <vector>

namespace tw::test {

inline constexpr std::string_view kV3Password = "correct horse battery";

class V3TempDir {
  public:
    V3TempDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "tw-v3-XXXXXX").string();
        if (mkdtemp(pattern.data()))
            path_ = pattern;
    }
    ~V3TempDir() {
        std::error_code ec;
        if (!path_.empty())
            std::filesystem::remove_all(path_, ec);
    }
    std::string file(std::string_view name) const { return path_ + "/" + std::string(name); }

  private:
    std::string path_;
};

// The data cipher keyed from the data key, and the SSE2 schedule of the
// built-in system key for the sector-0 block.
struct V3TestCipher {
    CipherContext *data = nullptr;
    uint8_t sse2[kSse2TableSize] = {};

    V3TestCipher() { sse2_schedule(kDefaultSystemKey, sse2); }
    ~V3TestCipher() { cipher_context_destroy(data); }
    int key(uint32_t id, const uint8_t *data_key) {
        cipher_context_destroy(data);
        data = cipher_context_create();
        if (!data)
            return -ENOMEM;
        return cipher_setup(data, id, data_key, cipher_key_length(id));
    }
    static int run(void *ctx, uint8_t *units, size_t count, uint64_t first,
                   const uint8_t *nonce_prefix, int direction) {
        auto *self = static_cast<V3TestCipher *>(ctx);
        if (first == 0) {
            for (size_t i = 0; i < count; ++i) {
                uint8_t *unit = units + kSectorSize * i;
                if (direction == kEncrypt)
                    sse2_encrypt_blocks(unit, 64, self->sse2);
                else
                    sse2_decrypt_blocks(unit, 64, self->sse2);
            }
            return 0;
        }
        return cipher_sectors(self->data, first, count, units, units, direction, nonce_prefix);
    }
};

// An open container: descriptor, store and cipher.
struct V3Open {
    int fd = -1;
    V3Store *store = nullptr;
    V3TestCipher cipher;

    V3Open() = default;
    V3Open(const V3Open &) = delete;
    V3Open &operator=(const V3Open &) = delete;
    ~V3Open() { close(); }
    void close() {
        v3_close(store);
        store = nullptr;
        if (fd >= 0)
            ::close(fd);
        fd = -1;
    }
    int read(uint8_t *buffer, size_t length, uint64_t offset) {
        return v3_read(store, V3TestCipher::run, &cipher, buffer, length, offset);
    }
    int write(const uint8_t *data, size_t length, uint64_t offset) {
        return v3_write(store, V3TestCipher::run, &cipher, data, length, offset);
    }
    std::vector<uint8_t> read_all(uint64_t size, int *rc) {
        std::vector<uint8_t> out(size);
        *rc = read(out.data(), size, 0);
        return out;
    }
};

inline const uint8_t *password_bytes() {
    return reinterpret_cast<const uint8_t *>(kV3Password.data());
}

inline int v3_test_create(const std::string &path, uint64_t size, uint32_t cipher,
                          uint32_t chunk_size, bool compress, V3Open *out) {
    out->close();
    out->fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (out->fd < 0)
        return -errno;
    uint8_t key[64];
    int rc = v3_create(out->fd, size, cipher, chunk_size, compress, password_bytes(),
                       kV3Password.size(), nullptr, 7, &out->store, key);
    if (rc == 0)
        rc = out->cipher.key(cipher, key);
    return rc;
}

inline int v3_test_open(const std::string &path, V3Open *out,
                        std::string_view password = kV3Password) {
    out->close();
    out->fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (out->fd < 0)
        return -errno;
    off_t size = lseek(out->fd, 0, SEEK_END);
    uint64_t virtual_size;
    uint32_t cipher;
    int rc = v3_detect(out->fd, uint64_t(size), &out->store, &virtual_size, &cipher);
    if (rc != 1)
        return rc == 0 ? -ENOENT : rc;
    uint8_t key[64];
    rc = v3_authenticate(out->store, reinterpret_cast<const uint8_t *>(password.data()),
                         password.size(), nullptr, key);
    if (rc == 0)
        rc = out->cipher.key(cipher, key);
    return rc;
}

} // namespace tw::test
