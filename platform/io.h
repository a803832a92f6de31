// Reading and writing descriptors without losing a short or interrupted
// transfer.
//
// The *_full functions move exactly `length` bytes, repeating the call after
// a short transfer or an interruption by a signal. They return 0, -EIO when the
// end of the file (or a write that took nothing) comes before `length` bytes
// moved, or the negative errno of the failed call. `*done` (optional) receives
// the number of bytes that did move, also when the result is an error, for
// callers that accept a shorter result at the end of a file.
#pragma once

#include <poll.h>

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <sys/socket.h>
#include <sys/types.h>

namespace tw {

int read_full(int fd, void *buffer, size_t length, size_t *done = nullptr);
int write_full(int fd, const void *buffer, size_t length, size_t *done = nullptr);
int pread_full(int fd, void *buffer, size_t length, uint64_t offset, size_t *done = nullptr);
int pwrite_full(int fd, const void *buffer, size_t length, uint64_t offset, size_t *done = nullptr);

inline int write_full(int fd, std::string_view text) {
    return write_full(fd, text.data(), text.size());
}

// One read, repeated only when a signal interrupted it: the number of bytes
// read (0 at the end of the file) or a negative errno value. For readers that
// wait with poll and take whatever has arrived.
ssize_t read_some(int fd, void *buffer, size_t length);
ssize_t pread_some(int fd, void *buffer, size_t length, uint64_t offset);

// poll, repeated with the time left when a signal interrupted it (a negative
// timeout waits without end): the number of ready descriptors, 0 when the
// time ran out, or a negative errno value.
int poll_some(pollfd *fds, nfds_t count, int timeout_ms);

// One sendmsg, repeated only when a signal interrupted it: the number of
// bytes sent or a negative errno value.
ssize_t send_message_some(int fd, const msghdr *message, int flags);
// One send and one recvmsg, repeated the same way.
ssize_t send_some(int fd, const void *buffer, size_t length, int flags);
ssize_t receive_message_some(int fd, msghdr *message, int flags);

// Fills `length` bytes from the kernel's random source (never blocking once
// it has been seeded). 0 or a negative errno value.
int random_fill(void *buffer, size_t length);

} // namespace tw
