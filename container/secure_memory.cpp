#include "container/secure_memory.h"

#include "platform/locked_memory.h"

#include <atomic>
#include <cstdio>
#include <openssl/crypto.h>

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
        // Standard error is unbuffered: the line goes out at once, in one piece.
        std::fwrite(kLockWarning, 1, sizeof kLockWarning - 1, stderr);
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
