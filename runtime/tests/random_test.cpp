#include "runtime/random.h"

#include <cstring>
#include <gtest/gtest.h>
#include <vector>

namespace {

TEST(RandomBytes, FillsLargeAndEmptyBuffers) {
    // Larger than one getrandom call may deliver, so the loop is exercised.
    std::vector<unsigned char> a(40u << 20), b(40u << 20);
    ASSERT_TRUE(tw::random_bytes(a.data(), a.size()));
    ASSERT_TRUE(tw::random_bytes(b.data(), b.size()));
    EXPECT_NE(0, std::memcmp(a.data(), b.data(), a.size()));
    // The tail must have been written too: 4 KiB of zeros is not random.
    std::vector<unsigned char> zeros(4096, 0);
    EXPECT_NE(0, std::memcmp(a.data() + a.size() - 4096, zeros.data(), 4096));
    EXPECT_TRUE(tw::random_bytes(nullptr, 0));
}

} // namespace
