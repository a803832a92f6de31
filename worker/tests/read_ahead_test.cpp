// The worker's read-ahead over a source in memory: every read returns the
// source's current bytes, whether it came from the range read ahead or not;
// no range is read twice by a sequential reader; a write (forget) is never
// answered with bytes read before it; a failed read ahead is read again, and
// its error reported, only when it is asked for.
#include "worker/read_ahead.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <gtest/gtest.h>
#include <mutex>
#include <thread>
#include <vector>

namespace tw {
namespace {

struct Source {
    std::vector<uint8_t> bytes;
    std::mutex mutex;
    std::vector<std::pair<uint64_t, size_t>> reads; // every read asked of the source
    uint64_t failing = UINT64_MAX;                  // reads covering this offset fail
};

int read_source(void *context, void *buffer, size_t length, uint64_t offset) {
    auto *s = static_cast<Source *>(context);
    std::lock_guard lock(s->mutex);
    s->reads.push_back({offset, length});
    if (offset + length > s->bytes.size())
        return -EINVAL;
    if (s->failing >= offset && s->failing < offset + length)
        return -EIO;
    std::memcpy(buffer, s->bytes.data() + offset, length);
    return 0;
}

struct ReadAheadTest : testing::Test {
    static constexpr size_t kSize = 1 << 20;
    Source source;
    ReadAhead *ra = nullptr;

    void SetUp() override {
        source.bytes.resize(kSize);
        for (size_t i = 0; i < kSize; ++i)
            source.bytes[i] = uint8_t(i * 131 + i / 4096);
        ASSERT_EQ(read_ahead_create(kSize, read_source, &source, &ra), 0);
    }
    void TearDown() override { read_ahead_destroy(ra); }

    // Reads through the read-ahead and checks the bytes against the source.
    void expect_read(uint64_t offset, size_t length) {
        std::vector<uint8_t> out(length, 0xEE);
        ASSERT_EQ(read_ahead_read(ra, out.data(), length, offset), 0) << offset;
        std::lock_guard lock(source.mutex);
        EXPECT_EQ(0, std::memcmp(out.data(), source.bytes.data() + offset, length)) << offset;
    }
    // Waits until the thread has begun reading the range (a read ahead not
    // begun yet would be withdrawn by the next read).
    void wait_for_read_ahead(uint64_t offset, size_t length) {
        for (int i = 0; i < 5000; ++i) {
            {
                std::lock_guard lock(source.mutex);
                for (const auto &r : source.reads)
                    if (r.first == offset && r.second == length)
                        return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        FAIL() << "no read ahead of " << offset;
    }
    size_t reads_of(uint64_t offset, size_t length) {
        read_ahead_settle(ra);
        std::lock_guard lock(source.mutex);
        size_t n = 0;
        for (const auto &r : source.reads)
            n += r.first == offset && r.second == length;
        return n;
    }
};

TEST_F(ReadAheadTest, SequentialReadsAreServedFromTheRangeReadAhead) {
    constexpr size_t kStep = 128 * 1024;
    for (uint64_t at = 0; at < kSize; at += kStep)
        expect_read(at, kStep);
    // Each range was asked of the source exactly once: by the read-ahead
    // before the reader came, or by the reader when the read ahead had not
    // begun yet.
    for (uint64_t at = 0; at < kSize; at += kStep)
        EXPECT_EQ(reads_of(at, kStep), 1u) << at;
    EXPECT_EQ(source.reads.size(), kSize / kStep) << "nothing is read past the end";
}

TEST_F(ReadAheadTest, ScatteredAndPartialReadsReturnTheSourceBytes) {
    // A table of reads: sequential, overlapping the range read ahead, inside
    // it, backwards, at the very end.
    const std::pair<uint64_t, size_t> reads[] = {
        {0, 65536},           {65536, 65536},     {131072, 4096},  {135168, 512},
        {4096, 8192},         {200704, 65536},    {266240, 65536}, {290000, 1000},
        {kSize - 8192, 8192}, {kSize - 512, 512}, {0, 512},
    };
    for (const auto &[offset, length] : reads)
        ASSERT_NO_FATAL_FAILURE(expect_read(offset, length));
}

TEST_F(ReadAheadTest, ForgetDropsBytesReadBeforeAWrite) {
    constexpr size_t kStep = 65536;
    expect_read(0, kStep);
    expect_read(kStep, kStep); // the range at 2 * kStep is read ahead
    ASSERT_NO_FATAL_FAILURE(wait_for_read_ahead(2 * kStep, kStep));
    read_ahead_forget(ra);
    {
        std::lock_guard lock(source.mutex);
        std::memset(source.bytes.data() + 2 * kStep, 0x5A, kStep);
    }
    expect_read(2 * kStep, kStep);
    EXPECT_EQ(reads_of(2 * kStep, kStep), 2u) << "read again after the write";
}

TEST_F(ReadAheadTest, AFailedReadAheadIsReadAgainWhenAskedFor) {
    constexpr size_t kStep = 65536;
    source.failing = 2 * kStep + 100;
    expect_read(0, kStep);
    expect_read(kStep, kStep); // the read ahead of 2 * kStep fails quietly
    ASSERT_NO_FATAL_FAILURE(wait_for_read_ahead(2 * kStep, kStep));
    std::vector<uint8_t> out(kStep);
    EXPECT_EQ(read_ahead_read(ra, out.data(), kStep, 2 * kStep), -EIO);
    EXPECT_EQ(reads_of(2 * kStep, kStep), 2u);
    source.failing = UINT64_MAX;
    expect_read(2 * kStep, kStep);
}

} // namespace
} // namespace tw
