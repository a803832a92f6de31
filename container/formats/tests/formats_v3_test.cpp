// Classification of real v3 containers made by the v3 store.
#include "container/container.h"
#include "container/container_internal.h"
#include "container/files/file_access.h"
#include "container/v3/v3_store.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <functional>
#include <gtest/gtest.h>
#include <string>
#include <unistd.h>

namespace {

struct Case {
    const char *what;
    std::function<void(int fd)> damage;
    int expected; // 0: classified as kind 7
};

void flip(int fd, off_t offset) {
    uint8_t b = 0;
    ASSERT_EQ(1, pread(fd, &b, 1, offset));
    b ^= 0x01;
    ASSERT_EQ(1, pwrite(fd, &b, 1, offset));
}

void put32(int fd, off_t offset, uint32_t v) {
    uint8_t bytes[4] = {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8),
                        static_cast<uint8_t>(v >> 16), static_cast<uint8_t>(v >> 24)};
    ASSERT_EQ(4, pwrite(fd, bytes, 4, offset));
}

TEST(ClassifyV3, StoreMadeContainersAndDamagedCopies) {
    char tmpl[] = "/tmp/tw-classify-v3-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    const std::string path = std::string(tmpl) + "/disk.zcx";
    const Case cases[] = {
        {"both copies intact", [](int) {}, 0},
        // Structural damage to one copy: the other one still classifies it.
        {"copy A with a bad constant", [](int fd) { put32(fd, 16, 4096); }, 0},
        {"copy B with a bad constant", [](int fd) { put32(fd, 4096 + 16, 4096); }, 0},
        // A changed tag is not structural: classification accepts the copy,
        // authentication decides later.
        {"copy A with a changed tag", [](int fd) { flip(fd, 4064); }, 0},
        {"both copies with a bad constant",
         [](int fd) {
             put32(fd, 16, 4096);
             put32(fd, 4096 + 16, 4096);
         },
         -ENOTSUP},
        {"both copies with an unknown version",
         [](int fd) {
             put32(fd, 8, 9);
             put32(fd, 4096 + 8, 9);
         },
         -ENOTSUP},
        {"both copies with a wrong layout field",
         [](int fd) {
             flip(fd, 104);
             flip(fd, 4096 + 104);
         },
         -EINVAL},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        ASSERT_GE(fd, 0);
        tw::V3Store *store = nullptr;
        uint8_t key[64];
        const char password[] = "secret";
        ASSERT_EQ(0, tw::v3_create(fd, 8u << 20, 9, 16384, true,
                                   reinterpret_cast<const uint8_t *>(password), 6, nullptr, 7,
                                   &store, key));
        tw::v3_close(store);
        c.damage(fd);
        close(fd);

        tw::Container *container = nullptr;
        int rc = tw::container_open(path.c_str(), tw::kContainerOpenRead, &container);
        EXPECT_EQ(rc, c.expected);
        if (rc == 0) {
            EXPECT_EQ(container->info.format_kind, tw::kFormatCompressed);
            EXPECT_STREQ(tw::format_kind_name(container->info.format_kind), "OpenZCX compressed");
            EXPECT_EQ(container->info.size, 8u << 20);
            EXPECT_EQ(container->info.header_cipher, 9u);
            EXPECT_EQ(container->info.cipher, 255u); // not unlocked yet
            ASSERT_NE(container->v3, nullptr);
            EXPECT_EQ(tw::v3_version(container->v3), 7u);
            EXPECT_FALSE(container->info.cd_image);
        }
        EXPECT_EQ(0, tw::container_close(container));
        unlink(path.c_str());
    }
    rmdir(tmpl);
}

} // namespace
