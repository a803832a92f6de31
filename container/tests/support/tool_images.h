// Filesystem images made by the real formatting tools, once per test program,
// and the byte helpers the container tests build legacy containers with.
#pragma once

#include "container/cipher/cipher.h"
#include "container/container.h"
#include "container/files/file_access.h"
#include "container/keys/system_key.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <gtest/gtest.h>
#include <map>
#include <ostream>
#include <span>
#include <string>
#include <unistd.h>
#include <vector>

namespace tw::test {

using Bytes = std::vector<uint8_t>;

inline void put16(uint8_t *p, uint16_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
}
inline void put32(uint8_t *p, uint32_t v) {
    put16(p, uint16_t(v));
    put16(p + 2, uint16_t(v >> 16));
}
inline void put64(uint8_t *p, uint64_t v) {
    put32(p, uint32_t(v));
    put32(p + 4, uint32_t(v >> 32));
}

// Table cases print as their names in failure messages (bring this into the
// test's namespace with a using-declaration).
template <typename Case>
concept NamedCase = requires(const Case &c) {
    c.name;
};
template <NamedCase Case>
void PrintTo(const Case &c, std::ostream *os) {
    *os << c.name;
}

// A private temporary folder with the images of the formatting tools, made on
// first use and removed at exit.
class ToolImages {
  public:
    static ToolImages &get() {
        static ToolImages workspace;
        return workspace;
    }
    const std::string &dir() const { return dir_; }

    // A base image by name, made by its tool on first use.
    const Bytes &image(const std::string &name) {
        auto found = images_.find(name);
        if (found != images_.end())
            return found->second;
        static const std::map<std::string, std::string> recipes = {
            {"fat12", "truncate -s 4M fat12.img && mkfs.vfat -F 12 -n TW fat12.img"},
            {"fat32", "truncate -s 8M fat32.img && mkfs.vfat -F 32 -s 1 fat32.img"},
            {"exfat", "truncate -s 8M exfat.img && mkfs.exfat exfat.img"},
            {"ntfs", "truncate -s 8M ntfs.img && mkntfs -F -Q -q ntfs.img"},
            {"ext4", "truncate -s 4M ext4.img && mke2fs -q -t ext4 -F ext4.img"},
            {"mbr", "truncate -s 4M mbr.img && echo 'start=2048, type=c' | sfdisk -q mbr.img"},
            {"iso", "mkdir -p iso.d && echo data > iso.d/a.txt && "
                    "xorriso -as mkisofs -quiet -V DISC -o iso.img iso.d"},
        };
        std::string command = "cd '" + dir_ + "' && (export HOME=\"$PWD\" " +
                              "PATH=/usr/sbin:/sbin:/usr/bin:/bin; " + recipes.at(name) +
                              ") >tool.log 2>&1";
        Bytes &image = images_[name];
        if (std::system(command.c_str()) != 0) {
            ADD_FAILURE() << "making " << name << " failed: " << command;
            return image;
        }
        image = read(dir_ + "/" + name + ".img");
        std::filesystem::remove(dir_ + "/" + name + ".img");
        return image;
    }

    std::string write(const std::string &name, const Bytes &bytes) {
        std::string path = dir_ + "/" + name;
        FILE *f = std::fopen(path.c_str(), "wb");
        EXPECT_NE(f, nullptr) << path;
        if (f) {
            EXPECT_EQ(std::fwrite(bytes.data(), 1, bytes.size(), f), bytes.size());
            std::fclose(f);
        }
        return path;
    }

    static Bytes read(const std::string &path) {
        Bytes bytes;
        if (FILE *f = std::fopen(path.c_str(), "rb")) {
            uint8_t buffer[65536];
            size_t got;
            while ((got = std::fread(buffer, 1, sizeof buffer, f)) > 0)
                bytes.insert(bytes.end(), buffer, buffer + got);
            std::fclose(f);
        }
        return bytes;
    }

    ToolImages(const ToolImages &) = delete;
    ToolImages &operator=(const ToolImages &) = delete;
    ~ToolImages() {
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }

  private:
    ToolImages() {
        const char *tmp = std::getenv("TMPDIR");
        std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/tw-images-XXXXXX";
        std::vector<char> buffer(pattern.begin(), pattern.end());
        buffer.push_back(0);
        if (mkdtemp(buffer.data()))
            dir_ = buffer.data();
    }
    std::string dir_;
    std::map<std::string, Bytes> images_;
};

// Encrypts `count` sectors of `bytes` from sector `first` in place with a
// cipher keyed from `key` (password bytes for SSE1/XOR, a data key for AES
// and XChaCha20).
inline void encrypt_sectors(Bytes *bytes, uint32_t cipher, std::span<const uint8_t> key,
                            uint64_t first, uint64_t count) {
    CipherContext *ctx = cipher_context_create();
    ASSERT_NE(ctx, nullptr);
    ASSERT_EQ(cipher_setup(ctx, cipher, key.data(), key.size()), 0);
    uint8_t *at = bytes->data() + first * 512;
    EXPECT_EQ(cipher_sectors(ctx, first, count, at, at, kEncrypt), 0);
    cipher_context_destroy(ctx);
}

// Protects a whole sector 0 with SSE2 under a 7-byte system key.
inline void sse2_protect_sector0(uint8_t *sector, const uint8_t key[7]) {
    uint8_t table[kSse2TableSize];
    sse2_schedule(key, table);
    sse2_encrypt_blocks(sector, 512 / kSse2BlockSize, table);
}

// The system key is process-wide and read from the environment: every test
// starts with none set and no variables. Holds one open container at a time.
class ContainerFileTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(ToolImages::get().dir().empty());
        clean();
    }
    void TearDown() override {
        container_close(container_);
        clean();
    }
    static void clean() {
        unsetenv("ZCX_SYSTEM_KEY");
        unsetenv("ZCX_SYSTEM_KEY_STRING");
        system_key_forget();
    }
    // Writes `bytes` as a file, opens it for reading (replacing the container
    // held before) and removes the name again.
    int open_file(const std::string &name, const Bytes &bytes, unsigned flags = 0) {
        container_close(container_);
        container_ = nullptr;
        std::string path = ToolImages::get().write(name, bytes);
        int result = container_open(path.c_str(), kContainerOpenRead, &container_, flags);
        std::filesystem::remove(path);
        return result;
    }

    Container *container_ = nullptr;
};

} // namespace tw::test
