#include "runtime/random.h"

#include "platform/io.h"

#include <atomic>

namespace tw {

namespace {

std::atomic<bool (*)(void *, size_t)> test_source{nullptr};

} // namespace

bool random_bytes(void *buffer, size_t length) {
    if (auto source = test_source.load(std::memory_order_acquire))
        return source(buffer, length);
    return random_fill(buffer, length) == 0;
}

void random_set_source_for_testing(bool (*source)(void *buffer, size_t length)) {
    test_source.store(source, std::memory_order_release);
}

} // namespace tw
