#include "container/secure_memory.h"

#include "platform/locked_memory.h"

#include <atomic>
#include <cstdio>
#include <openssl/crypto.h>
#include <unistd.h>

namespace tw {

namespace {

// Set before worker threads exist in practice, but allocations may also happen
// on them later; an atomic costs nothing here.
std::atomic<bool> lock_failed{false};

constexpr char kLockWarning[] =
    "Warning: cannot lock key memory; derived keys may be written to swap.\n";

} // namespace

void *secure_alloc(size_t size, bool *locked) {
    bool ok = false;
    void *buffer = locked_pages_alloc(size, &ok);
    if (buffer && !ok) {
        lock_failed.store(true, std::memory_order_relaxed);
        // One write(2) so that the line is not interleaved with other output
        // and does not depend on stdio buffering.
        ssize_t ignored = write(STDERR_FILENO, kLockWarning, sizeof kLockWarning - 1);
        (void)ignored;
    }
    if (locked)
        *locked = buffer && ok;
    return buffer;
}

void secure_free(void *buffer, size_t size) {
    if (!buffer)
        return;
    secure_wipe(buffer, size);
    locked_pages_free(buffer, size);
}

void secure_wipe(void *buffer, size_t length) {
    if (buffer && length)
        OPENSSL_cleanse(buffer, length);
}

bool secure_memory_lock_failed() {
    return lock_failed.load(std::memory_order_relaxed);
}

} // namespace tw
