// Randomized model test: random writes, overwrites and zero-fills against an
// in-memory image, committed in random batches, for every chunk size, cipher
// and compression setting. The store must agree with the image while open and
// after closing and reopening.
#include "container/tests/support/v3_fixture.h"
#include "container/v3/v3_internal.h"
#include "container/v3/v3_store.h"

#include <cstring>
#include <gtest/gtest.h>
#include <random>
#include <string>
#include <vector>

namespace tw {
namespace {

struct ModelConfig {
    uint32_t chunk_size;
    uint32_t cipher;
    bool compress;
};

std::string config_name(const testing::TestParamInfo<ModelConfig> &info) {
    return "chunk" + std::to_string(info.param.chunk_size) + "_cipher" +
           std::to_string(info.param.cipher) + (info.param.compress ? "_lz4" : "_plain");
}

class V3Model : public testing::TestWithParam<ModelConfig> {};

// Data of three kinds: random, compressible (runs and repeats) and zero.
void fill(std::mt19937_64 &rng, uint8_t *p, size_t n) {
    switch (rng() % 3) {
    case 0:
        for (size_t i = 0; i < n; ++i)
            p[i] = uint8_t(rng());
        break;
    case 1: {
        const uint8_t a = uint8_t(rng()), b = uint8_t(rng());
        for (size_t i = 0; i < n; ++i)
            p[i] = (i / 64) % 2 ? a : uint8_t(b + i % 7);
        break;
    }
    default:
        std::memset(p, 0, n);
    }
}

TEST_P(V3Model, MatchesImageAcrossCommitsAndReopen) {
    const ModelConfig cfg = GetParam();
    const uint64_t seed = 0x7a3c0000u + cfg.chunk_size + cfg.cipher * 7 + cfg.compress;
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937_64 rng(seed);
    // Enough chunks for a two-level map with 4096-byte chunks, and a short
    // last chunk in every configuration.
    const uint64_t chunks = cfg.chunk_size == 4096 ? 100 : cfg.chunk_size == 16384 ? 20 : 9;
    const uint64_t size = chunks * cfg.chunk_size + 1536;
    std::vector<uint8_t> image(size, 0);

    test::V3TempDir dir;
    const std::string path = dir.file("m.zcx");
    test::V3Open c;
    ASSERT_EQ(test::v3_test_create(path, size, cfg.cipher, cfg.chunk_size, cfg.compress, &c), 0);
    // Sector 0 exists in every image.
    for (int i = 0; i < 512; ++i)
        image[i] = uint8_t(i * 3);
    ASSERT_EQ(c.write(image.data(), 512, 0), 0);
    v3_set_deferred_commit(c.store, true);

    std::vector<uint8_t> buf;
    for (int op = 0; op < 120; ++op) {
        SCOPED_TRACE("operation " + std::to_string(op));
        const uint64_t max_len = 3 * uint64_t(cfg.chunk_size);
        uint64_t offset, length;
        if (rng() % 4 == 0) { // whole aligned chunks
            const uint64_t first = rng() % chunks;
            offset = std::max<uint64_t>(first * cfg.chunk_size, 512);
            length = std::min<uint64_t>((1 + rng() % 2) * cfg.chunk_size, size - offset);
            length -= length % 512;
        } else {
            offset = 512 + rng() % (size - 512);
            length = 1 + rng() % std::min<uint64_t>(max_len, size - offset);
        }
        if (length == 0)
            continue;
        if (rng() % 16 == 0) { // sector 0 rewritten
            offset = 0;
            length = 512;
        }
        buf.resize(length);
        fill(rng, buf.data(), length);
        ASSERT_EQ(c.write(buf.data(), length, offset), 0);
        std::memcpy(image.data() + offset, buf.data(), length);

        if (rng() % 4 == 0) {
            ASSERT_EQ(v3_commit(c.store), 0);
        }
        if (rng() % 8 == 0) // switch between deferred and immediate commits
            v3_set_deferred_commit(c.store, !c.store->deferred);
        // A random range reads back as the image, pending writes included.
        const uint64_t at = rng() % size;
        const uint64_t n = 1 + rng() % std::min<uint64_t>(max_len, size - at);
        buf.resize(n);
        ASSERT_EQ(c.read(buf.data(), n, at), 0);
        ASSERT_EQ(0, std::memcmp(buf.data(), image.data() + at, n)) << "at " << at << " + " << n;
    }
    ASSERT_EQ(v3_end_writes(c.store), 0);
    int rc;
    ASSERT_EQ(c.read_all(size, &rc), image);
    ASSERT_EQ(rc, 0);
    for (int copy = 0; copy < 2; ++copy)
        ASSERT_EQ(v3::header_validate(c.store->header[copy], copy, c.store->file_size, nullptr),
                  v3::kCopyValid)
            << "copy " << copy;
    c.close();

    ASSERT_EQ(test::v3_test_open(path, &c), 0);
    EXPECT_FALSE(v3_recovery_needed(c.store));
    EXPECT_EQ(v3_compressed(c.store), cfg.compress);
    EXPECT_EQ(c.read_all(size, &rc), image);
    EXPECT_EQ(rc, 0);
}

std::vector<ModelConfig> all_configs() {
    std::vector<ModelConfig> out;
    for (uint32_t chunk : {4096u, 16384u, 65536u})
        for (uint32_t cipher : {kCipherSse1, kCipherXor, kCipherAesXts, kCipherXChaCha20})
            for (bool compress : {false, true})
                out.push_back({chunk, cipher, compress});
    return out;
}

INSTANTIATE_TEST_SUITE_P(AllSettings, V3Model, testing::ValuesIn(all_configs()), config_name);

} // namespace
} // namespace tw
