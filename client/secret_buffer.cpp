#include "client/secret_buffer.h"

#include "platform/locked_memory.h"

#include <cstring>
#include <openssl/crypto.h>
#include <utility>

namespace tw {

SecretBuffer::SecretBuffer(size_t capacity) {
    // A zero capacity still maps a page so that valid() means "allocated".
    bool locked = false;
    data_ = static_cast<uint8_t *>(locked_pages_alloc(capacity == 0 ? 1 : capacity, &locked));
    capacity_ = data_ != nullptr ? capacity : 0;
}

SecretBuffer::SecretBuffer(SecretBuffer &&other) noexcept
    : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)),
      capacity_(std::exchange(other.capacity_, 0)) {}

SecretBuffer &SecretBuffer::operator=(SecretBuffer &&other) noexcept {
    if (this != &other) {
        release();
        data_ = std::exchange(other.data_, nullptr);
        size_ = std::exchange(other.size_, 0);
        capacity_ = std::exchange(other.capacity_, 0);
    }
    return *this;
}

SecretBuffer::~SecretBuffer() {
    release();
}

void SecretBuffer::release() {
    if (data_ != nullptr) {
        OPENSSL_cleanse(data_, capacity_);
        locked_pages_free(data_, capacity_ == 0 ? 1 : capacity_);
    }
    data_ = nullptr;
    size_ = 0;
    capacity_ = 0;
}

bool SecretBuffer::resize(size_t size) {
    if (size > capacity_)
        return false;
    if (size < size_)
        OPENSSL_cleanse(data_ + size, size_ - size);
    size_ = size;
    return true;
}

bool SecretBuffer::assign(const void *bytes, size_t length) {
    SecretBuffer copy(length);
    if (!copy.valid())
        return false;
    if (length != 0)
        std::memcpy(copy.data_, bytes, length);
    copy.size_ = length;
    *this = std::move(copy);
    return true;
}

void SecretBuffer::clear() {
    if (data_ != nullptr)
        OPENSSL_cleanse(data_, capacity_);
    size_ = 0;
}

} // namespace tw
