// Byte buffers for passwords and credential records.
//
// The bytes live in locked pages (kept out of swap when the kernel allows it,
// always out of core dumps) and are overwritten with zeros before the pages
// are released or reused, on every path.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace tw {

class SecretBuffer {
  public:
    SecretBuffer() = default;
    // Room for `capacity` bytes (at least one page is mapped); check valid().
    explicit SecretBuffer(size_t capacity);
    SecretBuffer(SecretBuffer &&other) noexcept;
    SecretBuffer &operator=(SecretBuffer &&other) noexcept;
    SecretBuffer(const SecretBuffer &) = delete;
    SecretBuffer &operator=(const SecretBuffer &) = delete;
    ~SecretBuffer();

    bool valid() const { return data_ != nullptr; }
    uint8_t *data() { return data_; }
    const uint8_t *data() const { return data_; }
    // Bytes in use, at most capacity().
    size_t size() const { return size_; }
    size_t capacity() const { return capacity_; }
    std::span<const uint8_t> bytes() const { return {data_, size_}; }

    // Sets the number of bytes in use; bytes beyond it are wiped. False when
    // `size` exceeds the capacity.
    bool resize(size_t size);
    // Replaces the contents with a copy of `length` bytes (a new buffer of
    // that capacity); false when no memory could be had.
    bool assign(const void *bytes, size_t length);
    // Wipes every byte and sets the size to 0.
    void clear();

  private:
    void release();
    uint8_t *data_ = nullptr;
    size_t size_ = 0;
    size_t capacity_ = 0;
};

} // namespace tw
