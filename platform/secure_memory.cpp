#include "platform/secure_memory.h"

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <openssl/crypto.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <utility>

namespace tw {

namespace {

// Set before worker threads exist in practice, but allocations may also happen
// on them later; an atomic costs nothing here.
std::atomic<bool> lock_failed{false};

constexpr char kLockWarning[] =
    "Warning: cannot lock key memory; derived keys may be written to swap.\n";

// mlock and munlock go straight to the kernel: the sanitizer runtimes replace
// the C library's wrappers with no-ops that report success, which would hide
// a refused lock in exactly the builds that test this path.
int lock_range(void *pages, size_t length) {
    return int(syscall(SYS_mlock, pages, length));
}

void unlock_range(void *pages, size_t length) {
    (void)syscall(SYS_munlock, pages, length);
}

size_t page_rounded(size_t size) {
    static const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    if (size > SIZE_MAX - (page - 1))
        return 0;
    return (size + page - 1) / page * page;
}

} // namespace

void *locked_pages_alloc(size_t size, bool *locked) {
    if (locked)
        *locked = false;
    size_t length = page_rounded(size);
    if (length == 0)
        return nullptr;
    void *pages = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (pages == MAP_FAILED)
        return nullptr;
    // Keys must not end up in a core file even when locking is refused; the
    // advice is independent of the lock, so its failure is not fatal either.
    (void)madvise(pages, length, MADV_DONTDUMP);
    bool ok = lock_range(pages, length) == 0;
    if (locked)
        *locked = ok;
    return pages;
}

void locked_pages_free(void *pages, size_t size) {
    if (!pages)
        return;
    size_t length = page_rounded(size);
    // munlock fails harmlessly on pages that were never locked.
    unlock_range(pages, length);
    (void)munmap(pages, length);
}

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

SecureBuffer::SecureBuffer(size_t size) {
    data_ = static_cast<uint8_t *>(secure_alloc(size, &locked_));
    if (data_) {
        size_ = capacity_ = mapped_ = size;
    }
}

SecureBuffer SecureBuffer::with_capacity(size_t capacity) {
    SecureBuffer buffer;
    size_t mapped = capacity == 0 ? 1 : capacity;
    buffer.data_ = static_cast<uint8_t *>(locked_pages_alloc(mapped, &buffer.locked_));
    if (buffer.data_) {
        buffer.capacity_ = capacity;
        buffer.mapped_ = mapped;
    }
    return buffer;
}

void SecureBuffer::swap(SecureBuffer &other) noexcept {
    std::swap(data_, other.data_);
    std::swap(size_, other.size_);
    std::swap(capacity_, other.capacity_);
    std::swap(mapped_, other.mapped_);
    std::swap(locked_, other.locked_);
}

bool SecureBuffer::resize(size_t size) {
    if (size > capacity_)
        return false;
    if (size < size_)
        secure_wipe(data_ + size, size_ - size);
    size_ = size;
    return true;
}

bool SecureBuffer::assign(const void *bytes, size_t length) {
    SecureBuffer copy = with_capacity(length);
    if (!copy.valid())
        return false;
    if (length != 0)
        std::memcpy(copy.data_, bytes, length);
    copy.size_ = length;
    *this = std::move(copy);
    return true;
}

void SecureBuffer::clear() {
    secure_wipe(data_, capacity_);
    size_ = 0;
}

} // namespace tw
