// The v3 layout arithmetic, the structural rules of a root-header copy (and
// which failures count as unsupported rather than damaged), and detection.
#include "container/cipher/cipher.h"
#include "container/tests/support/v3_fixture.h"
#include "container/v3/v3_internal.h"
#include "container/v3/v3_store.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <gtest/gtest.h>
#include <unistd.h>

namespace tw {
namespace {

TEST(V3Layout, SizesLimitsAndErrors) {
    struct Case {
        uint64_t size;
        uint32_t chunk;
        uint32_t cipher;
        int rc;
        uint32_t map_depth;
        uint64_t total_sectors;
        uint64_t bitmap_nodes;
        uint64_t data_offset;
    };
    const Case cases[] = {
        {1 << 20, 16384, kCipherAesXts, 0, 0, 10248, 1, 20480},
        // XChaCha20 adds a nonce sector per chunk and one slack sector per 256.
        {1 << 20, 4096, kCipherXChaCha20, 0, 1, 4648, 1, 20480},
        {512, 4096, kCipherAesXts, 0, 0, 2057, 1, 20480},
        {uint64_t(64) << 30, 4096, kCipherAesXts, 0, 3, 136350216, 4231, 51998720},
        // The largest size whose data area still fits below 2^63 bytes.
        {0x7fc72f8396de9e00, 65536, kCipherAesXts, 0, 7, 18001004904642143, 558066868326,
         6857525677998080},
        {0x7fc72f8396dea000, 65536, kCipherAesXts, -EFBIG},
        {(uint64_t(1) << 63) - 512, 65536, kCipherAesXts, -EFBIG}, // 2^54 sectors or more
        {(uint64_t(1) << 63) - 512, 4096, kCipherXChaCha20, -EFBIG},
        {0, 4096, kCipherAesXts, -EINVAL},
        {1000, 4096, kCipherAesXts, -EINVAL},
        {uint64_t(1) << 63, 4096, kCipherAesXts, -EINVAL},
        {1 << 20, 8192, kCipherAesXts, -EINVAL},
        {1 << 20, 0, kCipherAesXts, -EINVAL},
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(testing::Message() << k.size << " / " << k.chunk << " / " << k.cipher);
        V3Layout layout;
        ASSERT_EQ(v3_layout_compute(k.size, k.chunk, k.cipher, &layout), k.rc);
        if (k.rc)
            continue;
        EXPECT_EQ(layout.map_depth, k.map_depth);
        EXPECT_EQ(layout.total_sectors, k.total_sectors);
        EXPECT_EQ(layout.bitmap_nodes, k.bitmap_nodes);
        EXPECT_EQ(layout.data_offset, k.data_offset);
        EXPECT_EQ(layout.bitmap_level_nodes[layout.bitmap_depth], 1u);
        EXPECT_EQ(layout.map_level_nodes[layout.map_depth], 1u);
    }
}

// A valid copy A of a 1 MiB container with 16384-byte chunks and AES-XTS.
struct HeaderFixture {
    V3Layout layout{};
    uint8_t bytes[kV3HeaderSize];
    uint64_t file_size;

    HeaderFixture() {
        v3::HeaderFields f{};
        f.version = 7;
        f.virtual_size = 1 << 20;
        f.cipher = kCipherAesXts;
        f.chunk_size = 16384;
        EXPECT_EQ(v3_layout_compute(f.virtual_size, f.chunk_size, f.cipher, &f.layout), 0);
        layout = f.layout;
        uint8_t immutable[v3::kImmutableSize];
        v3::header_immutable(f, immutable);
        v3::CopyState st{};
        st.generation = 2;
        st.end_used = layout.data_offset + 65536;
        st.bitmap_root.info = v3::absent_bitmap_summary(layout, 129, layout.bitmap_depth, 0);
        const uint8_t key[32] = {1};
        EXPECT_EQ(v3::header_build(immutable, st, key, bytes), 0);
        file_size = st.end_used;
    }
};

TEST(V3Header, StructuralRulesSeparateUnsupportedFromDamaged) {
    using Edit = std::function<void(uint8_t *)>;
    auto set32 = [](size_t at, uint32_t v) {
        return Edit([=](uint8_t *h) { v3::put32(h + at, v); });
    };
    auto set64 = [](size_t at, uint64_t v) {
        return Edit([=](uint8_t *h) { v3::put64(h + at, v); });
    };
    auto both = [](Edit a, Edit b) { return Edit([=](uint8_t *h) { a(h), b(h); }); };
    HeaderFixture base;
    const uint64_t D = base.layout.data_offset;
    struct Case {
        const char *what;
        Edit edit;
        v3::CopyStatus expected;
    };
    const Case cases[] = {
        {"untouched", [](uint8_t *) {}, v3::kCopyValid},
        {"magic", [](uint8_t *h) { h[3] = 'Y'; }, v3::kCopyInvalid},
        {"version 2", set32(8, 2), v3::kCopyUnsupported},
        {"version 9", set32(8, 9), v3::kCopyUnsupported},
        {"header size", set32(12, 2048), v3::kCopyUnsupported},
        {"sector size", set32(16, 4096), v3::kCopyUnsupported},
        {"iterations", set32(20, 1000), v3::kCopyUnsupported},
        {"compression 2", set32(72, 2), v3::kCopyUnsupported},
        {"cipher SSE2", set32(64, kCipherSse2), v3::kCopyUnsupported},
        {"version 5 with XOR", both(set32(8, 5), set32(64, kCipherXor)), v3::kCopyUnsupported},
        {"version 4 with XChaCha20", both(set32(8, 4), set32(64, kCipherXChaCha20)),
         v3::kCopyUnsupported},
        {"flag byte 2", [](uint8_t *h) { h[277] = 2; }, v3::kCopyUnsupported},
        {"flag on version 6", both(set32(8, 6), set32(276, 1)), v3::kCopyUnsupported},
        {"flag 256", set32(276, 256), v3::kCopyInvalid},
        {"flag 1", set32(276, 1), v3::kCopyValid},
        {"reserved 76", [](uint8_t *h) { h[77] = 1; }, v3::kCopyInvalid},
        {"total sectors", set64(96, base.layout.total_sectors + 1), v3::kCopyInvalid},
        {"data offset", set64(104, D + 12288), v3::kCopyInvalid},
        {"chunk size", set32(68, 4096), v3::kCopyInvalid},
        {"generation 0", set64(112, 0), v3::kCopyInvalid},
        {"odd generation in copy A", set64(112, 3), v3::kCopyInvalid},
        {"end of used space unaligned", set64(120, D + 100), v3::kCopyInvalid},
        {"end of used space below data", set64(120, D - 512), v3::kCopyInvalid},
        {"end of used space beyond file", set64(120, D + 65536 + 512), v3::kCopyInvalid},
        {"extent count 129", set32(272, 129), v3::kCopyInvalid},
        {"reserved 280", [](uint8_t *h) { h[285] = 1; }, v3::kCopyInvalid},
        {"one extent", both(set32(272, 1), both(set64(288, D), set64(296, 16384))), v3::kCopyValid},
        {"extent longer than a chunk", both(set32(272, 1), both(set64(288, D), set64(296, 16896))),
         v3::kCopyInvalid},
        {"extent of length 0", both(set32(272, 1), set64(288, D)), v3::kCopyInvalid},
        {"extent below the data area",
         both(set32(272, 1), both(set64(288, D - 512), set64(296, 512))), v3::kCopyInvalid},
        {"extent past end of used space",
         both(set32(272, 1), both(set64(288, D + 65536 - 512), set64(296, 1024))),
         v3::kCopyInvalid},
        {"overlapping extents",
         both(both(set32(272, 2), both(set64(288, D), set64(296, 4096))),
              both(set64(304, D + 3584), set64(312, 512))),
         v3::kCopyInvalid},
        {"adjacent extents",
         both(both(set32(272, 2), both(set64(288, D), set64(296, 4096))),
              both(set64(304, D + 4096), set64(312, 512))),
         v3::kCopyValid},
        {"byte after the extents", [](uint8_t *h) { h[4000] = 1; }, v3::kCopyInvalid},
        {"tag", [](uint8_t *h) { h[4070] ^= 1; }, v3::kCopyValid}, // checked at unlock
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(k.what);
        uint8_t h[kV3HeaderSize];
        std::memcpy(h, base.bytes, sizeof h);
        k.edit(h);
        EXPECT_EQ(v3::header_validate(h, 0, base.file_size, nullptr), k.expected);
    }
}

TEST(V3Detect, ClassifiesByBothCopies) {
    test::V3TempDir dir;
    HeaderFixture base;
    struct Case {
        const char *what;
        std::function<void(uint8_t *file)> make; // file of base.file_size bytes
        int rc;
    };
    const Case cases[] = {
        {"no magic", [](uint8_t *) {}, 0},
        {"valid copy A", [&](uint8_t *f) { std::memcpy(f, base.bytes, kV3HeaderSize); }, 1},
        {"valid copy B only",
         [&](uint8_t *f) {
             std::memcpy(f + 4096, base.bytes, kV3HeaderSize);
             v3::put64(f + 4096 + 112, 1);
         },
         1},
        {"unsupported copy A, damaged copy B",
         [&](uint8_t *f) {
             std::memcpy(f, base.bytes, kV3HeaderSize);
             v3::put32(f + 8, 9);
             std::memcpy(f + 4096, base.bytes, kV3HeaderSize); // even generation in B
         },
         -ENOTSUP},
        {"damaged copy A",
         [&](uint8_t *f) {
             std::memcpy(f, base.bytes, kV3HeaderSize);
             f[4000] = 1;
         },
         -EINVAL},
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(k.what);
        std::vector<uint8_t> file(base.file_size, 0);
        k.make(file.data());
        const std::string path = dir.file("d.bin");
        int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(pwrite(fd, file.data(), file.size(), 0), ssize_t(file.size()));
        V3Store *store = nullptr;
        uint64_t size = 0;
        uint32_t cipher = 0;
        EXPECT_EQ(v3_detect(fd, file.size(), &store, &size, &cipher), k.rc);
        if (k.rc == 1) {
            EXPECT_EQ(size, uint64_t(1) << 20);
            EXPECT_EQ(cipher, kCipherAesXts);
            EXPECT_EQ(v3_version(store), 7u);
        } else {
            EXPECT_EQ(store, nullptr);
        }
        v3_close(store);
        close(fd);
    }
    // Files too short to hold the magic are not v3.
    const std::string path = dir.file("short.bin");
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
    ASSERT_EQ(pwrite(fd, "FZCXCMP", 7, 0), 7);
    V3Store *store = nullptr;
    uint64_t size;
    uint32_t cipher;
    EXPECT_EQ(v3_detect(fd, 7, &store, &size, &cipher), 0);
    close(fd);
}

} // namespace
} // namespace tw
