#include "platform/io.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <gtest/gtest.h>
#include <pthread.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

std::vector<uint8_t> pattern(size_t length, uint8_t seed) {
    std::vector<uint8_t> bytes(length);
    for (size_t i = 0; i < length; ++i)
        bytes[i] = static_cast<uint8_t>(seed + i * 31 + (i >> 9));
    return bytes;
}

struct Pipe {
    int read_end = -1;
    int write_end = -1;
    Pipe() {
        int fds[2];
        EXPECT_EQ(0, pipe2(fds, O_CLOEXEC));
        read_end = fds[0];
        write_end = fds[1];
    }
    ~Pipe() {
        close_read();
        close_write();
    }
    void close_read() {
        if (read_end >= 0)
            close(read_end);
        read_end = -1;
    }
    void close_write() {
        if (write_end >= 0)
            close(write_end);
        write_end = -1;
    }
};

// An unnamed file in /tmp holding `bytes`.
int file_with(const std::vector<uint8_t> &bytes) {
    int fd = open("/tmp", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    EXPECT_GE(fd, 0) << std::strerror(errno);
    if (!bytes.empty()) {
        EXPECT_EQ(static_cast<ssize_t>(bytes.size()), write(fd, bytes.data(), bytes.size()));
    }
    return fd;
}

// A pipe that carries more than its buffer holds, fed in small pieces by
// another thread: the reader sees many short reads and must still get every
// byte in order.
TEST(Io, ReadFullCollectsShortReadsFromAPipe) {
    Pipe p;
    const auto sent = pattern(1 << 20, 3);
    std::thread writer([&] {
        for (size_t at = 0; at < sent.size(); at += 1000)
            ASSERT_EQ(0, tw::write_full(p.write_end, sent.data() + at,
                                        std::min<size_t>(1000, sent.size() - at)));
    });
    std::vector<uint8_t> got(sent.size());
    size_t done = 0;
    EXPECT_EQ(0, tw::read_full(p.read_end, got.data(), got.size(), &done));
    writer.join();
    EXPECT_EQ(sent.size(), done);
    EXPECT_EQ(sent, got);
}

TEST(Io, WriteFullDeliversEverythingThroughAPipe) {
    Pipe p;
    const auto sent = pattern(3 << 20, 9);
    std::vector<uint8_t> got;
    std::thread reader([&] {
        uint8_t chunk[777];
        for (;;) {
            ssize_t n = tw::read_some(p.read_end, chunk, sizeof chunk);
            ASSERT_GE(n, 0);
            if (n == 0)
                return;
            got.insert(got.end(), chunk, chunk + n);
        }
    });
    size_t done = 0;
    EXPECT_EQ(0, tw::write_full(p.write_end, sent.data(), sent.size(), &done));
    EXPECT_EQ(sent.size(), done);
    p.close_write();
    reader.join();
    EXPECT_EQ(sent, got);
}

TEST(Io, PositionedTransfersUseTheirOffsetAndLeaveTheFilePositionAlone) {
    int fd = file_with(pattern(100, 1));
    const auto block = pattern(5000, 77);
    const uint64_t offset = 3 * 4096 + 7;
    size_t done = 0;
    ASSERT_EQ(0, tw::pwrite_full(fd, block.data(), block.size(), offset, &done));
    EXPECT_EQ(block.size(), done);
    std::vector<uint8_t> back(block.size());
    ASSERT_EQ(0, tw::pread_full(fd, back.data(), back.size(), offset, &done));
    EXPECT_EQ(block.size(), done);
    EXPECT_EQ(block, back);
    // The gap before the block reads as zeros, the original bytes are kept.
    std::vector<uint8_t> head(200);
    ASSERT_EQ(0, tw::pread_full(fd, head.data(), head.size(), 0));
    const auto original = pattern(100, 1);
    EXPECT_TRUE(std::equal(original.begin(), original.end(), head.begin()));
    EXPECT_EQ(std::vector<uint8_t>(100, 0), std::vector<uint8_t>(head.begin() + 100, head.end()));
    EXPECT_EQ(100, lseek(fd, 0, SEEK_CUR));
    close(fd);
}

// The end of the file before the full length is -EIO, and the count tells
// how much did arrive.
TEST(Io, EndOfFileBeforeTheFullLengthIsEioWithTheCountRead) {
    int fd = file_with(pattern(100, 5));
    std::vector<uint8_t> buffer(150);
    size_t done = 999;
    EXPECT_EQ(-EIO, tw::pread_full(fd, buffer.data(), buffer.size(), 0, &done));
    EXPECT_EQ(100u, done);
    EXPECT_EQ(-EIO, tw::pread_full(fd, buffer.data(), 1, 100, &done));
    EXPECT_EQ(0u, done);
    ASSERT_EQ(60, lseek(fd, 60, SEEK_SET));
    EXPECT_EQ(-EIO, tw::read_full(fd, buffer.data(), 41, &done));
    EXPECT_EQ(40u, done);
    EXPECT_EQ(0, tw::read_some(fd, buffer.data(), 1)); // at the end
    EXPECT_EQ(0, tw::pread_some(fd, buffer.data(), 10, 100));
    EXPECT_EQ(4, tw::pread_some(fd, buffer.data(), 10, 96));
    close(fd);

    Pipe p;
    ASSERT_EQ(0, tw::write_full(p.write_end, "0123456789", 10));
    p.close_write();
    EXPECT_EQ(-EIO, tw::read_full(p.read_end, buffer.data(), 20, &done));
    EXPECT_EQ(10u, done);
    EXPECT_EQ(0, std::memcmp(buffer.data(), "0123456789", 10));
    // A zero length moves nothing and succeeds, even on a finished pipe.
    EXPECT_EQ(0, tw::read_full(p.read_end, buffer.data(), 0, &done));
    EXPECT_EQ(0u, done);
}

TEST(Io, FailedCallsReturnTheirErrno) {
    // Writing to a pipe whose reader has gone must be an error, not a signal.
    struct sigaction ignore {
    }, saved{};
    ignore.sa_handler = SIG_IGN;
    ASSERT_EQ(0, sigaction(SIGPIPE, &ignore, &saved));

    int read_only = open("/dev/null", O_RDONLY | O_CLOEXEC);
    ASSERT_GE(read_only, 0);
    Pipe gone;
    gone.close_read();
    Pipe pipe;
    int sockets[2];
    ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sockets));
    close(sockets[1]);
    char buffer[16] = "abc";
    iovec piece{buffer, 3};
    msghdr message{};
    message.msg_iov = &piece;
    message.msg_iovlen = 1;

    struct Case {
        const char *what;
        std::function<long()> call;
        long expected;
    };
    const Case cases[] = {
        {"read_full of a closed descriptor", [&] { return tw::read_full(-1, buffer, 4); }, -EBADF},
        {"write_full of a closed descriptor", [&] { return tw::write_full(-1, buffer, 4); },
         -EBADF},
        {"pread_full of a closed descriptor", [&] { return tw::pread_full(-1, buffer, 4, 0); },
         -EBADF},
        {"pwrite_full of a closed descriptor", [&] { return tw::pwrite_full(-1, buffer, 4, 0); },
         -EBADF},
        {"read_some of a closed descriptor", [&] { return long(tw::read_some(-1, buffer, 4)); },
         -EBADF},
        {"write_full to a read-only descriptor",
         [&] { return tw::write_full(read_only, buffer, 4); }, -EBADF},
        {"write_full to a pipe without reader",
         [&] { return tw::write_full(gone.write_end, buffer, 4); }, -EPIPE},
        {"pread_full of a pipe", [&] { return tw::pread_full(pipe.read_end, buffer, 4, 0); },
         -ESPIPE},
        {"pwrite_full to a pipe", [&] { return tw::pwrite_full(pipe.write_end, buffer, 4, 0); },
         -ESPIPE},
        {"send_message_some to a socket without peer",
         [&] { return long(tw::send_message_some(sockets[0], &message, MSG_NOSIGNAL)); }, -EPIPE},
        {"send_message_some of a pipe",
         [&] { return long(tw::send_message_some(pipe.write_end, &message, 0)); }, -ENOTSOCK},
    };
    for (const Case &c : cases)
        EXPECT_EQ(c.expected, c.call()) << c.what;

    size_t done = 7;
    EXPECT_EQ(-EPIPE, tw::write_full(gone.write_end, buffer, 4, &done));
    EXPECT_EQ(0u, done);
    close(sockets[0]);
    close(read_only);
    sigaction(SIGPIPE, &saved, nullptr);
}

std::atomic<int> interruptions{0};

void count_interruption(int) {
    interruptions.fetch_add(1);
}

// Installs the counting SIGUSR1 handler without SA_RESTART, so that a blocked
// call fails with EINTR, and puts the previous handler back at the end.
struct InterruptingSignal {
    struct sigaction saved {};
    int rc = 0;
    InterruptingSignal() {
        struct sigaction handler {};
        handler.sa_handler = count_interruption;
        sigemptyset(&handler.sa_mask);
        handler.sa_flags = 0;
        rc = sigaction(SIGUSR1, &handler, &saved);
    }
    ~InterruptingSignal() { sigaction(SIGUSR1, &saved, nullptr); }
};

// Waits until `thread` has started, then hits it with SIGUSR1 five times,
// each after it had time to block again. Returns how many handler runs were
// counted meanwhile.
int interrupt_five_times(std::thread &thread, const std::atomic<bool> &started) {
    while (!started)
        std::this_thread::yield();
    int before = interruptions.load();
    for (int i = 0; i < 5; ++i) {
        usleep(20000); // the thread is blocked in its call by now
        // Each signal is waited for before the next is sent: two sent while
        // the thread has not run yet (a busy machine) would arrive as one.
        const int seen = interruptions.load();
        pthread_kill(thread.native_handle(), SIGUSR1);
        for (int wait = 0; wait < 400 && interruptions.load() == seen; ++wait)
            usleep(5000);
    }
    return interruptions.load() - before;
}

// A reader blocked in read is hit by signals installed without SA_RESTART,
// so each read fails with EINTR; the helpers go on and deliver the data that
// comes afterwards.
TEST(Io, ReadsInterruptedBySignalsGoOn) {
    InterruptingSignal signal;
    ASSERT_EQ(0, signal.rc);

    struct Case {
        const char *what;
        std::function<long(int, uint8_t *, size_t)> read;
    };
    const Case cases[] = {
        {"read_full", [](int fd, uint8_t *b, size_t n) { return long(tw::read_full(fd, b, n)); }},
        {"read_some",
         [](int fd, uint8_t *b, size_t n) {
             ssize_t got = tw::read_some(fd, b, n);
             return got == static_cast<ssize_t>(n) ? 0L : long(got);
         }},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Pipe p;
        const auto sent = pattern(64, 11);
        std::vector<uint8_t> got(sent.size());
        std::atomic<bool> started{false};
        long result = 1;
        std::thread reader([&] {
            started = true;
            result = c.read(p.read_end, got.data(), got.size());
        });
        int counted = interrupt_five_times(reader, started);
        ASSERT_EQ(0, tw::write_full(p.write_end, sent.data(), sent.size()));
        reader.join();
        EXPECT_EQ(5, counted);
        EXPECT_EQ(0, result);
        EXPECT_EQ(sent, got);
    }
}

// A poll interrupted by signals goes on waiting: it reports the descriptor
// that becomes ready afterwards, and a time-out still ends it.
TEST(Io, PollInterruptedBySignalsGoesOn) {
    InterruptingSignal signal;
    ASSERT_EQ(0, signal.rc);
    Pipe p;
    std::atomic<bool> started{false};
    int result = -1;
    std::thread poller([&] {
        started = true;
        pollfd fd{p.read_end, POLLIN, 0};
        result = tw::poll_some(&fd, 1, 20000);
    });
    int counted = interrupt_five_times(poller, started);
    const uint8_t byte = 1;
    ASSERT_EQ(0, tw::write_full(p.write_end, &byte, 1));
    poller.join();
    EXPECT_EQ(5, counted);
    EXPECT_EQ(1, result);

    Pipe quiet;
    started = false;
    std::chrono::steady_clock::duration took{};
    std::thread waiter([&] {
        started = true;
        pollfd fd{quiet.read_end, POLLIN, 0};
        auto start = std::chrono::steady_clock::now();
        result = tw::poll_some(&fd, 1, 300);
        took = std::chrono::steady_clock::now() - start;
    });
    interrupt_five_times(waiter, started);
    waiter.join();
    EXPECT_EQ(0, result);
    EXPECT_GE(took, std::chrono::milliseconds(290));
}

// A writer blocked on a full pipe is interrupted in the same way; whatever
// the interrupted write had moved is not sent twice.
TEST(Io, WritesInterruptedBySignalsGoOn) {
    InterruptingSignal signal;
    ASSERT_EQ(0, signal.rc);

    Pipe p;
    const auto sent = pattern(1 << 20, 21); // far more than the pipe holds
    std::atomic<bool> started{false};
    int result = 1;
    std::thread writer([&] {
        started = true;
        result = tw::write_full(p.write_end, sent.data(), sent.size());
    });
    int counted = interrupt_five_times(writer, started);
    std::vector<uint8_t> got(sent.size());
    EXPECT_EQ(0, tw::read_full(p.read_end, got.data(), got.size()));
    writer.join();
    EXPECT_EQ(5, counted);
    EXPECT_EQ(0, result);
    EXPECT_EQ(sent, got);
}

} // namespace
