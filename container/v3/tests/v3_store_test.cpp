// Behaviour of the v3 chunk store on real container files: holes,
// compression decisions, authentication of chunks and metadata, transactions
// and their limits, the nonce prefix, and header-copy recovery rules.
#include "container/keys/keys.h"
#include "container/tests/support/v3_fixture.h"
#include "container/v3/v3_internal.h"
#include "container/v3/v3_store.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <random>
#include <set>
#include <string>
#include <unistd.h>
#include <vector>

namespace tw {
namespace {

using test::V3Open;
using test::V3TempDir;

std::vector<uint8_t> random_data(size_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    std::vector<uint8_t> out(n);
    for (auto &b : out)
        b = uint8_t(rng());
    return out;
}

v3::BlockRef chunk_ref(V3Store *s, uint64_t chunk) {
    v3::BlockRef ref{};
    EXPECT_EQ(v3::chunk_ref_get(s, chunk, &ref), 0);
    return ref;
}

void flip_bit(int fd, uint64_t offset, int bit) {
    uint8_t b;
    ASSERT_EQ(pread(fd, &b, 1, off_t(offset)), 1);
    b ^= uint8_t(1u << bit);
    ASSERT_EQ(pwrite(fd, &b, 1, off_t(offset)), 1);
}

void drop_node_cache(V3Store *s) {
    for (auto &level : s->cache)
        for (auto &c : level)
            c.valid = false;
}

TEST(V3Store, DataSurvivesReopenAndWrongPasswordIsRefused) {
    V3TempDir dir;
    const std::string path = dir.file("a.zcx");
    const uint64_t size = 1 << 20;
    std::vector<uint8_t> image(size, 0);
    {
        V3Open c;
        ASSERT_EQ(test::v3_test_create(path, size, kCipherAesXts, 16384, false, &c), 0);
        EXPECT_TRUE(v3_open_for_writing(c.store));
        // Sector 0, a piece crossing chunk 0 and 1, and the very end.
        auto a = random_data(1000, 1), b = random_data(4096, 2), d = random_data(512, 3);
        ASSERT_EQ(c.write(a.data(), a.size(), 0), 0);
        ASSERT_EQ(c.write(b.data(), b.size(), 16384 - 2048), 0);
        ASSERT_EQ(c.write(d.data(), d.size(), size - 512), 0);
        std::copy(a.begin(), a.end(), image.begin());
        std::copy(b.begin(), b.end(), image.begin() + 16384 - 2048);
        std::copy(d.begin(), d.end(), image.begin() + size - 512);
        EXPECT_EQ(c.write(d.data(), 1024, size - 512), -EINVAL);
        ASSERT_EQ(v3_end_writes(c.store), 0);
        EXPECT_FALSE(v3_open_for_writing(c.store));
        EXPECT_FALSE(v3_recovery_needed(c.store));
    }
    V3Open c;
    EXPECT_EQ(test::v3_test_open(path, &c, "wrong horse battery"), -EACCES);
    ASSERT_EQ(test::v3_test_open(path, &c), 0);
    EXPECT_FALSE(v3_recovery_needed(c.store));
    EXPECT_EQ(v3_chunk_size(c.store), 16384u);
    EXPECT_EQ(v3_version(c.store), 7u);
    int rc;
    EXPECT_EQ(c.read_all(size, &rc), image);
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(c.read(image.data(), 512, size - 511), -EINVAL);

    // The map root's tag is HMAC-SHA256 over the 72-byte block context and
    // the node, computed here from the on-disk bytes alone.
    const v3::CopyState &st = c.store->copy[c.store->current];
    uint8_t node[kV3NodeSize];
    ASSERT_EQ(pread(c.fd, node, sizeof node, off_t(st.map_root.offset)), ssize_t(sizeof node));
    uint8_t header[kV3HeaderSize];
    ASSERT_EQ(pread(c.fd, header, sizeof header, 4096 * c.store->current), ssize_t(sizeof header));
    uint8_t context[72] = {'Z', 'C', 'X', '3', 'R', 'E', 'F', 0};
    std::memcpy(context + 8, header + 80, 16); // container identifier
    std::memcpy(context + 24, header + 24, 8); // virtual size
    std::memcpy(context + 32, header + 68, 4); // chunk size
    std::memcpy(context + 36, header + 64, 4); // cipher
    context[40] = 2;                           // chunk-map node, level 0, index 0
    std::memcpy(context + 56, header + 128, 16);
    uint8_t tag[32];
    ASSERT_EQ(hmac_sha256(c.store->mac_key, {context, 72}, {node, sizeof node}, tag), 0);
    EXPECT_EQ(0, std::memcmp(tag, header + 128 + 16, 32));
}

TEST(V3Store, ZeroChunksStayHolesAndCompressionMustSaveASector) {
    V3TempDir dir;
    V3Open c;
    ASSERT_EQ(test::v3_test_create(dir.file("h.zcx"), 256 * 1024, kCipherAesXts, 4096, true, &c),
              0);
    std::vector<uint8_t> zeros(4096, 0);
    const uint64_t end_before = c.store->copy[c.store->current].end_used;
    ASSERT_EQ(c.write(zeros.data(), zeros.size(), 4096), 0);
    EXPECT_EQ(chunk_ref(c.store, 1).offset, 0u);
    EXPECT_EQ(c.store->copy[c.store->current].end_used, end_before) << "a hole allocates nothing";

    // 3600 random bytes compress to about 3.6 KiB: rounded up that is 4096,
    // not below the plaintext, so the chunk is stored plain.
    std::vector<uint8_t> mostly_random = random_data(4096, 7);
    std::fill(mostly_random.begin() + 3600, mostly_random.end(), 0);
    std::vector<uint8_t> half_zero = random_data(4096, 8);
    std::fill(half_zero.begin() + 2048, half_zero.end(), 0);
    ASSERT_EQ(c.write(mostly_random.data(), 4096, 2 * 4096), 0);
    ASSERT_EQ(c.write(half_zero.data(), 4096, 3 * 4096), 0);
    EXPECT_EQ(chunk_ref(c.store, 2).info, 0u);
    EXPECT_EQ(chunk_ref(c.store, 2).length, 4096u);
    EXPECT_EQ(chunk_ref(c.store, 3).info, 1u);
    EXPECT_LT(chunk_ref(c.store, 3).length, 2600u);

    // A flipped bit in the compressed chunk (or its padding) is caught.
    const v3::BlockRef compressed = chunk_ref(c.store, 3);
    for (uint64_t at :
         {compressed.offset + 10, compressed.offset + v3::round_up_512(compressed.length) - 1}) {
        flip_bit(c.fd, at, 5);
        std::vector<uint8_t> one(4096);
        EXPECT_EQ(c.read(one.data(), 4096, 3 * 4096), -EILSEQ);
        flip_bit(c.fd, at, 5);
    }

    // Zeroing a written chunk turns it back into a hole.
    ASSERT_EQ(c.write(zeros.data(), zeros.size(), 2 * 4096), 0);
    EXPECT_EQ(chunk_ref(c.store, 2).offset, 0u);
    std::vector<uint8_t> back(4 * 4096);
    EXPECT_EQ(c.read(back.data(), 512, 0), -EILSEQ) << "the sector-0 block is never a hole";
    ASSERT_EQ(c.read(back.data() + 512, back.size() - 512, 512), 0);
    EXPECT_TRUE(
        std::all_of(back.begin() + 512, back.begin() + 3 * 4096, [](uint8_t b) { return b == 0; }));
    EXPECT_TRUE(std::equal(half_zero.begin(), half_zero.end(), back.begin() + 3 * 4096));
}

TEST(V3Store, SingleBitFlipsAreDetectedAndStayLocal) {
    V3TempDir dir;
    V3Open c;
    // 4096-byte chunks over 1 MiB: four map leaves under one root.
    const uint64_t size = 1 << 20;
    ASSERT_EQ(test::v3_test_create(dir.file("f.zcx"), size, kCipherAesXts, 4096, false, &c), 0);
    auto data = random_data(size, 11);
    ASSERT_EQ(c.write(data.data(), size, 0), 0);
    ASSERT_EQ(v3_end_writes(c.store), 0);
    ASSERT_EQ(c.store->layout.map_depth, 1u);

    const v3::BlockRef chunk5 = chunk_ref(c.store, 5);
    const v3::CopyState &st = c.store->copy[c.store->current];
    uint8_t root[kV3NodeSize];
    ASSERT_EQ(pread(c.fd, root, sizeof root, off_t(st.map_root.offset)), ssize_t(sizeof root));
    v3::BlockRef leaf0;
    v3::ref_decode(root, &leaf0);

    struct Case {
        const char *what;
        uint64_t offset;
        uint64_t damaged_chunk; // reads EILSEQ
        uint64_t healthy_chunk; // still reads
    };
    const Case cases[] = {
        {"chunk payload", chunk5.offset + 1000, 5, 6},
        {"map leaf entry", leaf0.offset + 5 * 48 + 20, 5, 100},
        {"map leaf padding", leaf0.offset + 4000, 7, 70},
        {"map root", st.map_root.offset + 48 + 3, 70, 0},
    };
    std::vector<uint8_t> buf(4096);
    for (const Case &k : cases) {
        SCOPED_TRACE(k.what);
        for (int bit : {0, 7}) {
            flip_bit(c.fd, k.offset, bit);
            drop_node_cache(c.store);
            EXPECT_EQ(c.read(buf.data(), 4096, k.damaged_chunk * 4096), -EILSEQ);
            if (k.healthy_chunk != 0 || std::string(k.what) != "map root") {
                ASSERT_EQ(c.read(buf.data(), 4096, k.healthy_chunk * 4096), 0);
                EXPECT_TRUE(
                    std::equal(buf.begin(), buf.end(), data.begin() + k.healthy_chunk * 4096));
            }
            flip_bit(c.fd, k.offset, bit);
            drop_node_cache(c.store);
            ASSERT_EQ(c.read(buf.data(), 4096, k.damaged_chunk * 4096), 0);
        }
    }

    // A damaged allocation bitmap stops the next write, and the error sticks.
    const v3::BlockRef bitmap_root = c.store->copy[c.store->current].bitmap_root;
    ASSERT_NE(bitmap_root.offset, 0u);
    flip_bit(c.fd, bitmap_root.offset + 100, 3);
    drop_node_cache(c.store);
    ASSERT_EQ(v3_begin_writes(c.store), 0); // writes already began: no commit
    EXPECT_EQ(c.write(data.data(), 4096, 4096), -EILSEQ);
    EXPECT_EQ(c.read(buf.data(), 4096, 6 * 4096), -EILSEQ);
}

TEST(V3Store, OverwriteInOneTransactionFreesTheFirstPlaceAtOnce) {
    V3TempDir dir;
    const std::string path = dir.file("o.zcx");
    {
        V3Open c;
        ASSERT_EQ(test::v3_test_create(path, 256 * 1024, kCipherAesXts, 4096, false, &c), 0);
        v3_set_deferred_commit(c.store, true);
        auto first = random_data(4096, 21), second = random_data(4096, 22),
             other = random_data(4096, 23);
        ASSERT_EQ(c.write(first.data(), 4096, 8 * 4096), 0);
        const uint64_t first_place = chunk_ref(c.store, 8).offset;
        ASSERT_EQ(c.write(second.data(), 4096, 8 * 4096), 0);
        EXPECT_NE(chunk_ref(c.store, 8).offset, first_place);
        // The first place is free again: the next allocation takes it.
        ASSERT_EQ(c.write(other.data(), 4096, 9 * 4096), 0);
        EXPECT_EQ(chunk_ref(c.store, 9).offset, first_place);
        ASSERT_EQ(c.store->txn->chunks.size(), 2u);
        ASSERT_EQ(v3_end_writes(c.store), -EILSEQ) << "no sector-0 block was ever written";
    }
    V3Open c;
    ASSERT_EQ(test::v3_test_open(path, &c), 0);
    std::vector<uint8_t> buf(2 * 4096);
    ASSERT_EQ(c.read(buf.data(), buf.size(), 8 * 4096), 0);
    EXPECT_EQ(std::vector<uint8_t>(buf.begin(), buf.begin() + 4096), random_data(4096, 22));
    EXPECT_EQ(std::vector<uint8_t>(buf.begin() + 4096, buf.end()), random_data(4096, 23));
}

TEST(V3Store, DeferredModeCommitsEvery32ChunkWrites) {
    V3TempDir dir;
    const std::string path = dir.file("d.zcx");
    const uint64_t size = 64 * 4096;
    auto data = random_data(size, 31);
    {
        V3Open c;
        ASSERT_EQ(test::v3_test_create(path, size, kCipherAesXts, 4096, false, &c), 0);
        ASSERT_EQ(c.write(data.data(), 512, 0), 0); // sector 0, committed
        v3_set_deferred_commit(c.store, true);
        const uint64_t generation = c.store->copy[c.store->current].generation;
        for (uint64_t k = 1; k <= 32; ++k)
            ASSERT_EQ(c.write(data.data() + k * 4096, 4096, k * 4096), 0);
        EXPECT_EQ(c.store->copy[c.store->current].generation, generation);
        ASSERT_EQ(c.write(data.data() + 33 * 4096, 4096, 33 * 4096), 0);
        EXPECT_EQ(c.store->copy[c.store->current].generation, generation + 1);
        EXPECT_EQ(c.store->txn->chunk_writes, 1u);
        // Closed without committing the 33rd write.
    }
    V3Open c;
    ASSERT_EQ(test::v3_test_open(path, &c), 0);
    EXPECT_TRUE(v3_open_for_writing(c.store));
    EXPECT_TRUE(v3_recovery_needed(c.store));
    EXPECT_EQ(c.write(data.data(), 4096, 4096), -EROFS);
    int rc;
    auto back = c.read_all(size, &rc);
    ASSERT_EQ(rc, 0);
    EXPECT_TRUE(std::equal(back.begin() + 4096, back.begin() + 33 * 4096, data.begin() + 4096));
    EXPECT_TRUE(std::all_of(back.begin() + 33 * 4096, back.end(), [](uint8_t b) { return !b; }));
}

TEST(V3Store, NoncePrefixOnlyOnDataChunks) {
    V3TempDir dir;
    V3Open c;
    ASSERT_EQ(
        test::v3_test_create(dir.file("x.zcx"), 128 * 1024, kCipherXChaCha20, 16384, false, &c), 0);
    auto data = random_data(128 * 1024, 41);
    ASSERT_EQ(c.write(data.data(), data.size(), 0), 0);
    ASSERT_EQ(v3_end_writes(c.store), 0);
    const v3::BlockRef s0 = chunk_ref(c.store, v3::kSector0Chunk);
    EXPECT_EQ(s0.length, 512u);
    std::set<std::string> nonces;
    for (uint64_t k = 0; k < 8; ++k) {
        const v3::BlockRef ref = chunk_ref(c.store, k);
        EXPECT_EQ(ref.length, v3::chunk_plain_length(c.store, k) + 512) << k;
        uint8_t prefix[512];
        ASSERT_EQ(pread(c.fd, prefix, 512, off_t(ref.offset)), 512);
        EXPECT_TRUE(v3::all_zero(prefix + 24, 512 - 24));
        nonces.emplace(reinterpret_cast<const char *>(prefix), 24);
    }
    EXPECT_EQ(nonces.size(), 8u) << "nonces repeat";
    int rc;
    EXPECT_EQ(c.read_all(data.size(), &rc), data);
}

TEST(V3Store, HeaderCopyRecoveryRules) {
    V3TempDir dir;
    const std::string path = dir.file("r.zcx");
    const uint64_t size = 64 * 1024;
    auto data = random_data(size, 51);
    uint8_t header[2][kV3HeaderSize];
    uint8_t mac_key[32];
    {
        V3Open c;
        ASSERT_EQ(test::v3_test_create(path, size, kCipherAesXts, 4096, false, &c), 0);
        ASSERT_EQ(c.write(data.data(), size, 0), 0);
        ASSERT_EQ(v3_end_writes(c.store), 0);
        std::memcpy(header, c.store->header, sizeof header);
        std::memcpy(mac_key, c.store->mac_key, 32);
    }
    // A copy rebuilt with a changed state and a correct tag.
    auto restore = [&] {
        int fd = open(path.c_str(), O_RDWR);
        ASSERT_EQ(pwrite(fd, header, sizeof header, 0), ssize_t(sizeof header));
        close(fd);
    };
    auto rewrite = [&](int copy, auto change) {
        v3::HeaderFields f;
        ASSERT_EQ(v3::header_validate(header[copy], copy, UINT64_MAX, &f), v3::kCopyValid);
        uint8_t immutable[v3::kImmutableSize];
        std::memcpy(immutable, header[copy], sizeof immutable);
        change(f.state, immutable);
        uint8_t out[kV3HeaderSize];
        ASSERT_EQ(v3::header_build(immutable, f.state, mac_key, out), 0);
        int fd = open(path.c_str(), O_RDWR);
        ASSERT_EQ(pwrite(fd, out, sizeof out, off_t(4096) * copy), ssize_t(sizeof out));
        close(fd);
    };
    const int newer = v3::get64(header[0] + 112) > v3::get64(header[1] + 112) ? 0 : 1;

    // Copy A damaged, structurally or in its tag: copy B serves alone.
    for (uint64_t offset : {uint64_t(2000), uint64_t(4064)}) {
        SCOPED_TRACE(offset);
        int fd = open(path.c_str(), O_RDWR);
        flip_bit(fd, offset, 2);
        close(fd);
        V3Open c;
        ASSERT_EQ(test::v3_test_open(path, &c), 0);
        EXPECT_TRUE(v3_recovery_needed(c.store));
        EXPECT_EQ(c.store->current, 1);
        uint8_t buf[512];
        EXPECT_EQ(c.read(buf, sizeof buf, 0), 0);
        EXPECT_EQ(c.write(buf, sizeof buf, 0), -EROFS);
        c.close();
        restore();
    }

    // Both copies authentic but inconsistent.
    struct Case {
        const char *what;
        bool change_newer;
        void (*change)(v3::CopyState &, uint8_t *);
    };
    const Case cases[] = {
        {"generations three apart", true, [](v3::CopyState &st, uint8_t *) { st.generation += 2; }},
        {"newer end of used space below the older", true,
         [](v3::CopyState &st, uint8_t *) { st.end_used -= 512; }},
        {"immutable bytes differ", false, [](v3::CopyState &, uint8_t *imm) { imm[81] ^= 1; }},
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(k.what);
        rewrite(k.change_newer ? newer : 1 - newer, k.change);
        V3Open c;
        EXPECT_EQ(test::v3_test_open(path, &c), -EILSEQ);
        c.close();
        restore();
    }
    V3Open c;
    ASSERT_EQ(test::v3_test_open(path, &c), 0);
    EXPECT_FALSE(v3_recovery_needed(c.store));
}

TEST(V3Store, FailedCommitIsStickyAndKeepsThePreviousGeneration) {
    V3TempDir dir;
    const std::string path = dir.file("s.zcx");
    auto data = random_data(64 * 1024, 61);
    V3Open c;
    ASSERT_EQ(test::v3_test_create(path, 64 * 1024, kCipherAesXts, 4096, false, &c), 0);
    ASSERT_EQ(c.write(data.data(), 8192, 0), 0);
    // Writes now fail at the file: the error sticks.
    int readonly = open(path.c_str(), O_RDONLY);
    ASSERT_GE(readonly, 0);
    const int writable = c.store->fd;
    c.store->fd = readonly;
    EXPECT_EQ(c.write(data.data() + 8192, 4096, 8192), -EBADF);
    c.store->fd = writable;
    close(readonly);
    uint8_t buf[512];
    EXPECT_EQ(c.read(buf, sizeof buf, 0), -EBADF);
    EXPECT_EQ(v3_commit(c.store), -EBADF);
    EXPECT_EQ(v3_sticky_error(c.store), -EBADF);
    c.close();
    ASSERT_EQ(test::v3_test_open(path, &c), 0);
    std::vector<uint8_t> back(12288);
    ASSERT_EQ(c.read(back.data(), back.size(), 0), 0);
    EXPECT_TRUE(std::equal(back.begin(), back.begin() + 8192, data.begin()));
    EXPECT_TRUE(std::all_of(back.begin() + 8192, back.end(), [](uint8_t b) { return !b; }));
}

} // namespace
} // namespace tw

namespace tw {
namespace {

TEST(V3Store, KeyfileContainersNeedTheirSecretAndOnlyThem) {
    V3TempDir dir;
    const std::string path = dir.file("k.zcx");
    const uint8_t secret[32] = {9, 8, 7, 6, 5, 4, 3, 2, 1};
    const auto *pw = test::password_bytes();
    const size_t pw_len = test::kV3Password.size();
    uint8_t key[64];
    {
        int fd = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
        ASSERT_GE(fd, 0);
        V3Store *store = nullptr;
        // Version 8 forces AES-XTS whatever was asked.
        ASSERT_EQ(v3_create(fd, 64 * 1024, kCipherXChaCha20, 4096, false, pw, pw_len, secret, 8,
                            &store, key),
                  0);
        EXPECT_EQ(v3_version(store), 8u);
        EXPECT_EQ(store->cipher, kCipherAesXts);
        EXPECT_EQ(v3_authenticate(store, pw, pw_len, secret, key), -EBUSY);
        test::V3TestCipher cipher;
        ASSERT_EQ(cipher.key(kCipherAesXts, key), 0);
        auto data = random_data(8192, 71);
        ASSERT_EQ(v3_write(store, test::V3TestCipher::run, &cipher, data.data(), data.size(), 0),
                  0);
        ASSERT_EQ(v3_end_writes(store), 0);
        v3_close(store);
        close(fd);
    }
    int fd = open(path.c_str(), O_RDWR);
    V3Store *store = nullptr;
    uint64_t size;
    uint32_t cipher_id;
    ASSERT_EQ(v3_detect(fd, uint64_t(lseek(fd, 0, SEEK_END)), &store, &size, &cipher_id), 1);
    EXPECT_EQ(v3_authenticate(store, pw, pw_len, nullptr, key), -ENODATA);
    ASSERT_EQ(v3_authenticate(store, pw, pw_len, secret, key), 0);
    test::V3TestCipher cipher;
    ASSERT_EQ(cipher.key(kCipherAesXts, key), 0);
    std::vector<uint8_t> back(8192);
    ASSERT_EQ(v3_read(store, test::V3TestCipher::run, &cipher, back.data(), back.size(), 0), 0);
    EXPECT_EQ(back, random_data(8192, 71));
    v3_close(store);
    close(fd);

    // A keyfile secret for a container without a keyfile copy.
    V3Open c;
    ASSERT_EQ(test::v3_test_create(dir.file("p.zcx"), 64 * 1024, kCipherAesXts, 4096, false, &c),
              0);
    c.store->begun = false; // as if freshly opened
    EXPECT_EQ(v3_authenticate(c.store, pw, pw_len, secret, key), -ENOTSUP);
}

TEST(V3Store, SpaceCheckComparesTheWholeDataArea) {
    V3TempDir dir;
    int fd = open(dir.file("s").c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(v3_space_check(fd, 1 << 20), 0);
    EXPECT_EQ(v3_space_check(fd, uint64_t(1) << 60), -ENOSPC);
    EXPECT_EQ(v3_space_check(fd, 1000), -EINVAL);
    close(fd);
}

} // namespace
} // namespace tw
