// Locked, wiped memory for keys, passwords and decrypted sectors.
//
// Pages come from locked_pages_alloc: private, zero-filled, excluded from core
// dumps and locked in RAM when the kernel allows it (RLIMIT_MEMLOCK, missing
// CAP_IPC_LOCK may refuse the lock; the pages are then still usable).
//
// Every buffer that holds secret material comes from secure_alloc and goes
// back through secure_free, which zeroes it before the pages are released.
// When the kernel refuses to lock key memory, the memory is still handed out;
// a warning goes to standard error and a process-wide flag remembers it.
// secure_wipe is the one way to clear secret bytes anywhere in the program.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>

namespace tw {

// Maps `size` bytes (rounded up to whole pages) of private, zero-filled,
// read/write memory, excludes them from core dumps and tries to lock them in
// RAM. Returns nullptr when no memory could be mapped (size 0 included).
// `*locked` (when given) tells whether the lock succeeded. Says nothing about
// a refused lock: the caller decides how to report it.
void *locked_pages_alloc(size_t size, bool *locked);

// Unlocks and unmaps memory from locked_pages_alloc. The caller wipes first.
// `size` is the size passed to locked_pages_alloc. A null pointer is ignored.
void locked_pages_free(void *pages, size_t size);

// Zero-filled memory of at least `size` bytes for key material, kept out of
// swap when the kernel allows it and always out of core dumps. nullptr
// (ENOMEM) when no memory could be mapped or size is 0. `*locked` (optional)
// tells whether this allocation is locked; a refused lock also writes the
// warning line and sets the process-wide flag read by
// secure_memory_lock_failed.
void *secure_alloc(size_t size, bool *locked = nullptr);

// Zeroes `size` bytes and releases memory from secure_alloc or
// locked_pages_alloc (same size). A null pointer is ignored.
void secure_free(void *buffer, size_t size);

// Zeroes `length` bytes in a way the compiler cannot remove. A null pointer
// or a zero length does nothing.
void secure_wipe(void *buffer, size_t length);

// True once any lock of key memory in this process was refused.
bool secure_memory_lock_failed();

// A secret byte buffer in locked pages, wiped and released when it goes out
// of scope or is replaced. Check valid() after construction: allocation can
// fail.
//
// Two ways to make one:
//  - SecureBuffer(size): a fixed-size secret (a key, a sector), all `size`
//    bytes in use, from secure_alloc (a refused lock warns). Size 0 is not
//    valid.
//  - SecureBuffer::with_capacity(capacity): room for a password or credential
//    record that grows up to `capacity`, none of it in use yet. A refused lock
//    is not reported (the front-end never warns about it). Capacity 0 still
//    maps a page, so that valid() means "allocated".
class SecureBuffer {
  public:
    SecureBuffer() = default;
    explicit SecureBuffer(size_t size);
    static SecureBuffer with_capacity(size_t capacity);
    SecureBuffer(SecureBuffer &&other) noexcept { swap(other); }
    SecureBuffer &operator=(SecureBuffer &&other) noexcept {
        SecureBuffer(std::move(other)).swap(*this);
        return *this;
    }
    SecureBuffer(const SecureBuffer &) = delete;
    SecureBuffer &operator=(const SecureBuffer &) = delete;
    ~SecureBuffer() { secure_free(data_, mapped_); }

    bool valid() const { return data_ != nullptr; }
    bool locked() const { return locked_; }
    uint8_t *data() { return data_; }
    const uint8_t *data() const { return data_; }
    // Bytes in use, at most capacity().
    size_t size() const { return size_; }
    size_t capacity() const { return capacity_; }
    std::span<uint8_t> span() { return {data_, size_}; }
    std::span<const uint8_t> span() const { return {data_, size_}; }

    // Zeroes the bytes in use; the size stays.
    void wipe() { secure_wipe(data_, size_); }
    // Sets the number of bytes in use; bytes beyond it are wiped. False when
    // `size` exceeds the capacity.
    bool resize(size_t size);
    // Replaces the contents with a copy of `length` bytes (a new buffer of
    // that capacity, as with_capacity makes); false when no memory could be
    // had, which leaves the buffer as it was.
    bool assign(const void *bytes, size_t length);
    // Wipes every byte and sets the size to 0.
    void clear();

  private:
    void swap(SecureBuffer &other) noexcept;
    uint8_t *data_ = nullptr;
    size_t size_ = 0;
    size_t capacity_ = 0;
    size_t mapped_ = 0; // the size the pages were allocated with
    bool locked_ = false;
};

} // namespace tw
