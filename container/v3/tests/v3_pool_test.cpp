// The chunk pool against the single-thread store: with the random source
// made repeatable, the same writes through a pool must leave a byte-identical
// file (chunks, metadata, headers, commit for commit), for every cipher,
// chunk size and compression setting; pooled reads must return the same
// bytes and the same authentication failures as reads on one thread.
#include "container/tests/support/v3_fixture.h"
#include "container/v3/v3_internal.h"
#include "container/v3/v3_pool.h"
#include "container/v3/v3_store.h"
#include "runtime/random.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <random>
#include <string>
#include <unistd.h>
#include <vector>

namespace tw {
namespace {

struct PoolConfig {
    uint32_t chunk_size;
    uint32_t cipher;
    bool compress;
};

std::string config_name(const testing::TestParamInfo<PoolConfig> &info) {
    return "chunk" + std::to_string(info.param.chunk_size) + "_cipher" +
           std::to_string(info.param.cipher) + (info.param.compress ? "_lz4" : "_plain");
}

// A repeatable stand-in for the kernel's random bytes: salt, identifier and
// nonces come out the same in every run that starts from the same seed.
std::mt19937_64 fake_random;
bool fake_random_bytes(void *buffer, size_t length) {
    auto *p = static_cast<uint8_t *>(buffer);
    for (size_t i = 0; i < length; ++i)
        p[i] = uint8_t(fake_random());
    return true;
}

struct RepeatableRandom {
    RepeatableRandom() {
        fake_random.seed(0x5eed);
        random_set_source_for_testing(fake_random_bytes);
    }
    ~RepeatableRandom() { random_set_source_for_testing(nullptr); }
};

// Random, compressible and zero pieces of `piece` bytes each.
void fill(std::mt19937_64 &rng, uint8_t *p, size_t n, size_t piece) {
    for (size_t at = 0; at < n; at += piece) {
        const size_t len = std::min(piece, n - at);
        switch (rng() % 3) {
        case 0:
            for (size_t i = 0; i < len; ++i)
                p[at + i] = uint8_t(rng());
            break;
        case 1: {
            const uint8_t a = uint8_t(rng());
            for (size_t i = 0; i < len; ++i)
                p[at + i] = (i / 64) % 2 ? a : uint8_t(i % 7);
            break;
        }
        default:
            std::memset(p + at, 0, len);
        }
    }
}

std::vector<uint8_t> file_bytes(int fd) {
    const off_t size = lseek(fd, 0, SEEK_END);
    std::vector<uint8_t> out(size_t(size > 0 ? size : 0));
    if (pread(fd, out.data(), out.size(), 0) != ssize_t(out.size()))
        out.clear();
    return out;
}

uint64_t image_size(const PoolConfig &cfg) {
    // Several read and write windows, a two-level map for 4096-byte chunks
    // and a short last chunk in every setting.
    const uint64_t chunks = cfg.chunk_size == 4096 ? 300 : cfg.chunk_size == 16384 ? 80 : 22;
    return chunks * cfg.chunk_size + 1536;
}

// One fixed sequence of writes, commits and reads on a new container; the
// file's bytes come back in `file`, the image it must hold in `image`.
void run_script(const PoolConfig &cfg, unsigned threads, const std::string &path,
                std::vector<uint8_t> *file, std::vector<uint8_t> *image,
                bool write_behind = false) {
    RepeatableRandom repeatable;
    std::mt19937_64 rng(0xc0ffee + cfg.chunk_size + cfg.cipher + cfg.compress);
    const uint64_t size = image_size(cfg);
    const uint64_t c = cfg.chunk_size;
    image->assign(size, 0);
    test::V3Open o;
    ASSERT_EQ(test::v3_test_create(path, size, cfg.cipher, cfg.chunk_size, cfg.compress, &o), 0);
    v3_set_no_flush(o.store, true);
    ASSERT_EQ(v3_pool_start(o.store, o.cipher.data, threads), 0);
    ASSERT_EQ(v3_pool_threads(o.store), threads);
    if (write_behind) {
        ASSERT_EQ(v3_pool_write_behind(o.store), 0);
    }

    auto write = [&](uint64_t offset, uint64_t length, size_t piece) {
        std::vector<uint8_t> data(length);
        fill(rng, data.data(), length, piece);
        ASSERT_EQ(o.write(data.data(), length, offset), 0) << offset << " + " << length;
        std::memcpy(image->data() + offset, data.data(), length);
    };
    auto check = [&](uint64_t offset, uint64_t length) {
        std::vector<uint8_t> back(length);
        ASSERT_EQ(o.read(back.data(), length, offset), 0) << offset << " + " << length;
        ASSERT_EQ(0, std::memcmp(back.data(), image->data() + offset, length))
            << offset << " + " << length;
    };

    // The fill of a new container: sector 0, then everything in one call
    // (many windows and commits), in pieces of half a chunk.
    write(0, 512, 512);
    write(512, size - 512, cfg.chunk_size / 2);
    check(0, size);
    // Overwrites in one call: aligned whole chunks, an unaligned range
    // with partial chunks at both ends, zeros over written chunks.
    write(3 * c, 7 * c, cfg.chunk_size);
    write(c + 1000, 5 * c + 77, 4096);
    std::vector<uint8_t> zeros(4 * c, 0);
    ASSERT_EQ(o.write(zeros.data(), zeros.size(), 8 * c), 0);
    std::memset(image->data() + 8 * c, 0, zeros.size());
    check(0, size);
    // Deferred commits: the same chunks twice in one transaction, reads of
    // a range mixing chunks of the open transaction and chunks on disk.
    v3_set_deferred_commit(o.store, true);
    write(2 * c, 3 * c, cfg.chunk_size);
    write(2 * c, 3 * c, cfg.chunk_size);
    check(0, size);
    write(size - 3 * c - 1536, 3 * c + 1536, cfg.chunk_size);
    ASSERT_EQ(v3_commit(o.store), 0);
    v3_set_deferred_commit(o.store, false);
    write(0, 512, 512);
    ASSERT_EQ(v3_end_writes(o.store), 0);
    check(0, size);
    ASSERT_EQ(v3_pool_write_behind_end(o.store), 0);
    *file = file_bytes(o.fd);
}

class V3Pool : public testing::TestWithParam<PoolConfig> {};

TEST_P(V3Pool, WritesAreByteIdenticalAndReadsFindDamage) {
    const PoolConfig cfg = GetParam();
    test::V3TempDir dir;
    const std::string path = dir.file("pooled.zcx");
    std::vector<uint8_t> alone, pooled, image, image_pooled;
    ASSERT_NO_FATAL_FAILURE(run_script(cfg, 1, dir.file("alone.zcx"), &alone, &image));
    ASSERT_NO_FATAL_FAILURE(run_script(cfg, 3, path, &pooled, &image_pooled));
    ASSERT_EQ(image, image_pooled);
    ASSERT_FALSE(alone.empty());
    ASSERT_EQ(alone.size(), pooled.size());
    size_t first_difference = 0;
    while (first_difference < alone.size() && alone[first_difference] == pooled[first_difference])
        ++first_difference;
    ASSERT_EQ(first_difference, alone.size()) << "the files differ from byte " << first_difference;

    // Reopened, the whole image reads back through a pool.
    const uint64_t size = image.size(), c = cfg.chunk_size;
    test::V3Open o;
    ASSERT_EQ(test::v3_test_open(path, &o), 0);
    ASSERT_EQ(v3_pool_start(o.store, o.cipher.data, 2), 0);
    int rc;
    EXPECT_EQ(o.read_all(size, &rc), image);
    EXPECT_EQ(rc, 0);

    // One flipped bit in a stored chunk in the middle of a long read: the
    // read fails as it does on one thread, and leaves nothing decrypted;
    // the chunks around it still read.
    uint64_t victim = 12;
    v3::BlockRef ref{};
    for (; victim < size / c - 2; ++victim) {
        ASSERT_EQ(v3::chunk_ref_get(o.store, victim, &ref), 0);
        if (ref.offset != 0)
            break;
    }
    ASSERT_NE(ref.offset, 0u) << "the script leaves data in the middle chunks";
    uint8_t byte;
    ASSERT_EQ(pread(o.fd, &byte, 1, off_t(ref.offset + ref.length / 2)), 1);
    byte ^= 0x10;
    ASSERT_EQ(pwrite(o.fd, &byte, 1, off_t(ref.offset + ref.length / 2)), 1);
    std::vector<uint8_t> back(size);
    EXPECT_EQ(o.read(back.data(), size - 512, 512), -EILSEQ);
    v3_pool_stop(o.store);
    EXPECT_EQ(o.read(back.data(), size - 512, 512), -EILSEQ) << "the same without the pool";
    ASSERT_EQ(v3_pool_start(o.store, o.cipher.data, 2), 0);
    back.assign(size, 0);
    ASSERT_EQ(o.read(back.data(), victim * c, 0), 0);
    EXPECT_EQ(0, std::memcmp(back.data(), image.data(), victim * c));
    const uint64_t after = (victim + 1) * c;
    ASSERT_EQ(o.read(back.data(), size - after, after), 0);
    EXPECT_EQ(0, std::memcmp(back.data(), image.data() + after, size - after));
}

// Commits handed to the writing thread reach the file as the same bytes; the
// reads between them (the script checks the whole image after each phase)
// see every commit handed over before them.
TEST_P(V3Pool, WriteBehindWritesTheSameBytes) {
    const PoolConfig cfg = GetParam();
    test::V3TempDir dir;
    std::vector<uint8_t> alone, behind, image, image_behind;
    ASSERT_NO_FATAL_FAILURE(run_script(cfg, 1, dir.file("alone.zcx"), &alone, &image));
    ASSERT_NO_FATAL_FAILURE(
        run_script(cfg, 2, dir.file("behind.zcx"), &behind, &image_behind, true));
    ASSERT_EQ(image, image_behind);
    ASSERT_FALSE(alone.empty());
    ASSERT_TRUE(alone == behind) << "the files differ";
}

std::vector<PoolConfig> all_configs() {
    std::vector<PoolConfig> out;
    for (uint32_t chunk : {4096u, 16384u, 65536u})
        for (uint32_t cipher : {kCipherSse1, kCipherXor, kCipherAesXts, kCipherXChaCha20})
            for (bool compress : {false, true})
                out.push_back({chunk, cipher, compress});
    return out;
}

INSTANTIATE_TEST_SUITE_P(AllSettings, V3Pool, testing::ValuesIn(all_configs()), config_name);

TEST(V3PoolStart, NeedsAnUnlockedStoreAndCountsThreads) {
    test::V3TempDir dir;
    test::V3Open o;
    ASSERT_EQ(test::v3_test_create(dir.file("s.zcx"), 1 << 20, kCipherAesXts, 16384, false, &o), 0);
    EXPECT_EQ(v3_pool_start(o.store, nullptr, 2), -EINVAL);
    EXPECT_EQ(v3_pool_start(o.store, o.cipher.data, 1), 0);
    EXPECT_EQ(v3_pool_threads(o.store), 1u) << "one thread needs no pool";
    EXPECT_EQ(v3_pool_start(o.store, o.cipher.data, 100), 0);
    EXPECT_EQ(v3_pool_threads(o.store), kV3PoolMaxThreads);
    EXPECT_EQ(v3_pool_start(o.store, o.cipher.data, 0), 0);
    EXPECT_EQ(v3_pool_threads(o.store), std::min(v3_pool_online_cpus(), kV3PoolMaxThreads) < 2
                                            ? 1u
                                            : std::min(v3_pool_online_cpus(), kV3PoolMaxThreads));
    std::vector<uint8_t> sector0(512, 7);
    ASSERT_EQ(o.write(sector0.data(), 512, 0), 0);
    ASSERT_EQ(v3_end_writes(o.store), 0);
    const std::string path = dir.file("s.zcx");
    o.close();

    // Detected but not unlocked: no pool.
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    V3Store *store = nullptr;
    uint64_t virtual_size;
    uint32_t cipher;
    ASSERT_EQ(v3_detect(fd, uint64_t(lseek(fd, 0, SEEK_END)), &store, &virtual_size, &cipher), 1);
    CipherContext *any = cipher_context_create();
    EXPECT_EQ(v3_pool_start(store, any, 2), -EACCES);
    cipher_context_destroy(any);
    v3_close(store);
    ::close(fd);
}

TEST(V3PoolWriteBehind, NeedsAPoolAndFlushesOffAndKeepsTheFirstWriteError) {
    test::V3TempDir dir;
    test::V3Open o;
    ASSERT_EQ(test::v3_test_create(dir.file("w.zcx"), 4 << 20, kCipherAesXts, 16384, false, &o), 0);
    EXPECT_EQ(v3_pool_write_behind(o.store), -EINVAL) << "no pool";
    ASSERT_EQ(v3_pool_start(o.store, o.cipher.data, 2), 0);
    EXPECT_EQ(v3_pool_write_behind(o.store), -EINVAL) << "flushes on";
    v3_set_no_flush(o.store, true);
    ASSERT_EQ(v3_pool_write_behind(o.store), 0);
    EXPECT_EQ(v3_pool_write_behind_end(o.store), 0) << "nothing handed over";
    ASSERT_EQ(v3_pool_write_behind(o.store), 0);

    std::vector<uint8_t> data(256 * 1024);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = uint8_t(i * 7 + 1);
    ASSERT_EQ(o.write(data.data(), data.size(), 0), 0);
    // The file can no longer be written: the store's descriptor now refers
    // to a read-only description of the same file.
    const int read_only = ::open(dir.file("w.zcx").c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(read_only, 0);
    ASSERT_EQ(v3_pool_write_behind_end(o.store), 0) << "the first commit is in the file";
    ASSERT_EQ(v3_pool_write_behind(o.store), 0);
    ASSERT_EQ(dup3(read_only, o.fd, O_CLOEXEC), o.fd);
    ::close(read_only);
    // The failed write shows at a later commit, or at the end at the latest,
    // and then sticks.
    int rc = 0;
    for (uint64_t at = 1 << 20; rc == 0 && at < (3u << 20); at += data.size())
        rc = o.write(data.data(), data.size(), at);
    const int end = v3_pool_write_behind_end(o.store);
    EXPECT_EQ(rc == 0 ? end : rc, -EBADF);
    EXPECT_EQ(end, -EBADF);
    EXPECT_EQ(o.write(data.data(), data.size(), 0), -EBADF);
    EXPECT_EQ(v3_commit(o.store), -EBADF);
}

} // namespace
} // namespace tw
