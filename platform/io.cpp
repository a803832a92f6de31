#include "platform/io.h"

#include <cerrno>
#include <ctime>
#include <sys/random.h>
#include <unistd.h>

namespace tw {

namespace {

int negative_errno() {
    return errno > 0 ? -errno : -EIO;
}

// The one loop behind every *_full function: `call` moves up to `want` bytes,
// `at` bytes into the request, and returns what it moved.
template <typename Byte, typename Call>
int transfer_full(Byte *bytes, size_t length, size_t *done, Call call) {
    size_t moved = 0;
    int rc = 0;
    while (moved < length) {
        ssize_t n = call(bytes + moved, length - moved, moved);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            rc = negative_errno();
            break;
        }
        if (n == 0) {
            rc = -EIO;
            break;
        }
        moved += static_cast<size_t>(n);
    }
    if (done)
        *done = moved;
    return rc;
}

// One call that a signal may interrupt, made again until it is not.
template <typename Call>
ssize_t retry_interrupted(Call call) {
    for (;;) {
        ssize_t n = call();
        if (n >= 0)
            return n;
        if (errno != EINTR)
            return negative_errno();
    }
}

} // namespace

int read_full(int fd, void *buffer, size_t length, size_t *done) {
    return transfer_full(static_cast<char *>(buffer), length, done,
                         [fd](char *p, size_t want, size_t) { return ::read(fd, p, want); });
}

int write_full(int fd, const void *buffer, size_t length, size_t *done) {
    return transfer_full(static_cast<const char *>(buffer), length, done,
                         [fd](const char *p, size_t want, size_t) { return ::write(fd, p, want); });
}

int pread_full(int fd, void *buffer, size_t length, uint64_t offset, size_t *done) {
    return transfer_full(static_cast<char *>(buffer), length, done,
                         [fd, offset](char *p, size_t want, size_t at) {
                             return ::pread(fd, p, want, static_cast<off_t>(offset + at));
                         });
}

int pwrite_full(int fd, const void *buffer, size_t length, uint64_t offset, size_t *done) {
    return transfer_full(static_cast<const char *>(buffer), length, done,
                         [fd, offset](const char *p, size_t want, size_t at) {
                             return ::pwrite(fd, p, want, static_cast<off_t>(offset + at));
                         });
}

ssize_t read_some(int fd, void *buffer, size_t length) {
    return retry_interrupted([&] { return ::read(fd, buffer, length); });
}

ssize_t pread_some(int fd, void *buffer, size_t length, uint64_t offset) {
    return retry_interrupted(
        [&] { return ::pread(fd, buffer, length, static_cast<off_t>(offset)); });
}

int poll_some(pollfd *fds, nfds_t count, int timeout_ms) {
    timespec start{};
    clock_gettime(CLOCK_MONOTONIC, &start);
    for (int left = timeout_ms;;) {
        int n = ::poll(fds, count, left);
        if (n >= 0 || errno != EINTR)
            return n >= 0 ? n : -errno;
        if (timeout_ms >= 0) {
            timespec now{};
            clock_gettime(CLOCK_MONOTONIC, &now);
            const int64_t spent =
                (now.tv_sec - start.tv_sec) * 1000 + (now.tv_nsec - start.tv_nsec) / 1000000;
            left = spent >= timeout_ms ? 0 : timeout_ms - static_cast<int>(spent);
        }
    }
}

ssize_t send_message_some(int fd, const msghdr *message, int flags) {
    return retry_interrupted([&] { return ::sendmsg(fd, message, flags); });
}

ssize_t send_some(int fd, const void *buffer, size_t length, int flags) {
    return retry_interrupted([&] { return ::send(fd, buffer, length, flags); });
}

ssize_t receive_message_some(int fd, msghdr *message, int flags) {
    return retry_interrupted([&] { return ::recvmsg(fd, message, flags); });
}

int random_fill(void *buffer, size_t length) {
    // getrandom returns at most 32 MiB per call from the urandom pool and may
    // be interrupted by a signal; the loop goes on until everything is filled.
    return transfer_full(static_cast<char *>(buffer), length, nullptr,
                         [](char *p, size_t want, size_t) { return ::getrandom(p, want, 0); });
}

} // namespace tw
