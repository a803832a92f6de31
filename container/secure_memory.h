// Locked, wiped memory for keys, passwords and decrypted sectors.
//
// Every buffer that holds secret material comes from secure_alloc and goes
// back through secure_free, which zeroes it before the pages are released.
// When the kernel refuses to lock the pages the memory is still handed out;
// a warning goes to standard error and a process-wide flag remembers it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>

namespace tw {

// Zero-filled memory of at least `size` bytes, kept out of swap when the
// kernel allows it and always out of core dumps. nullptr (ENOMEM) when no
// memory could be mapped or size is 0. `*locked` (optional) tells whether this
// allocation is locked; a refused lock also writes the warning line and sets
// the process-wide flag read by secure_memory_lock_failed.
void *secure_alloc(size_t size, bool *locked = nullptr);

// Zeroes `size` bytes and releases memory from secure_alloc (same size).
// A null pointer is ignored.
void secure_free(void *buffer, size_t size);

// Zeroes `length` bytes in a way the compiler cannot remove.
void secure_wipe(void *buffer, size_t length);

// True once any lock of key memory in this process was refused.
bool secure_memory_lock_failed();

// A fixed-size secret buffer in locked memory, wiped and released when it goes
// out of scope. Check valid() after construction: allocation can fail.
class SecureBuffer {
  public:
    SecureBuffer() = default;
    explicit SecureBuffer(size_t size) {
        data_ = static_cast<uint8_t *>(secure_alloc(size, &locked_));
        size_ = data_ ? size : 0;
    }
    SecureBuffer(SecureBuffer &&other) noexcept { swap(other); }
    SecureBuffer &operator=(SecureBuffer &&other) noexcept {
        SecureBuffer(std::move(other)).swap(*this);
        return *this;
    }
    SecureBuffer(const SecureBuffer &) = delete;
    SecureBuffer &operator=(const SecureBuffer &) = delete;
    ~SecureBuffer() { secure_free(data_, size_); }

    bool valid() const { return data_ != nullptr; }
    bool locked() const { return locked_; }
    uint8_t *data() { return data_; }
    const uint8_t *data() const { return data_; }
    size_t size() const { return size_; }
    std::span<uint8_t> span() { return {data_, size_}; }
    std::span<const uint8_t> span() const { return {data_, size_}; }
    void wipe() { secure_wipe(data_, size_); }

  private:
    void swap(SecureBuffer &other) noexcept {
        std::swap(data_, other.data_);
        std::swap(size_, other.size_);
        std::swap(locked_, other.locked_);
    }
    uint8_t *data_ = nullptr;
    size_t size_ = 0;
    bool locked_ = false;
};

} // namespace tw
