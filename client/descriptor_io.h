// Writing to pipes and terminals without losing a short write.
#pragma once

#include <cstddef>
#include <string_view>

namespace tw {

// Writes every byte to fd, retrying short and interrupted writes. 0, or the
// negative errno of the failed write (-EPIPE when the reader has gone; this
// process ignores SIGPIPE).
int fd_write_all(int fd, const void *bytes, size_t length);
inline int fd_write_all(int fd, std::string_view text) {
    return fd_write_all(fd, text.data(), text.size());
}

} // namespace tw
