#include "platform/clock.h"

#include "platform/io.h"

#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <time.h>
#include <unistd.h>

namespace tw {

uint64_t monotonic_now() {
    timespec ts{};
    // CLOCK_BOOTTIME cannot fail on any kernel this runs on; a zero value
    // would only make deadlines expire early.
    if (clock_gettime(CLOCK_BOOTTIME, &ts) != 0)
        return 0;
    return static_cast<uint64_t>(ts.tv_sec) * 10000000u + static_cast<uint64_t>(ts.tv_nsec) / 100u;
}

namespace {

int hex_value(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// The kernel draws a random UUID at boot and shows it in this file; it is
// the same for every reader until the next boot.
uint64_t read_boot_id() {
    int fd = open("/proc/sys/kernel/random/boot_id", O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return 0;
    char text[64];
    ssize_t n = read_some(fd, text, sizeof text);
    close(fd);
    if (n < 36)
        return 0;
    // Fold the 32 hexadecimal digits (hyphens skipped) into 64 bits: the two
    // halves XORed keep every random bit of the identifier in play.
    uint64_t halves[2] = {0, 0};
    int digits = 0;
    for (int i = 0; i < 36; i++) {
        if (text[i] == '-')
            continue;
        int v = hex_value(text[i]);
        if (v < 0)
            return 0;
        uint64_t &h = halves[digits / 16];
        h = (h << 4) | static_cast<uint64_t>(v);
        digits++;
    }
    if (digits != 32)
        return 0;
    uint64_t value = (halves[0] ^ halves[1]) & 0x7FFFFFFFFFFFFFFFull;
    // 0 means "unknown" to callers; a real boot must never produce it.
    return value != 0 ? value : 1;
}

} // namespace

uint64_t boot_time() {
    // The value cannot change while this process runs, so it is read once.
    static std::atomic<uint64_t> cached{0};
    uint64_t value = cached.load(std::memory_order_relaxed);
    if (value == 0) {
        value = read_boot_id();
        if (value != 0)
            cached.store(value, std::memory_order_relaxed);
    }
    return value;
}

void sleep_ms(int ms) {
    timespec pause{ms / 1000, (ms % 1000) * 1000000L};
    nanosleep(&pause, nullptr);
}

} // namespace tw
