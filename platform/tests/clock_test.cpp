#include "platform/clock.h"

#include <cstdint>
#include <cstdio>
#include <gtest/gtest.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

namespace {

TEST(Clock, MonotonicCountsIn100ns) {
    uint64_t a = tw::monotonic_now();
    usleep(50 * 1000);
    uint64_t b = tw::monotonic_now();
    EXPECT_GE(b - a, 500000u);    // at least the 50 ms slept
    EXPECT_LT(b - a, 100000000u); // and not ten seconds
    EXPECT_LE(b, tw::monotonic_now());
}

// Also started as a program of its own by the next test, so that a fresh
// process computes the value.
TEST(Clock, BootTimeIsPrinted) {
    ASSERT_NE(0u, tw::boot_time());
    printf("boot_time=%llu\n", static_cast<unsigned long long>(tw::boot_time()));
}

TEST(Clock, BootTimeIsStableAndSharedByProcesses) {
    uint64_t value = tw::boot_time();
    ASSERT_NE(0u, value);
    EXPECT_LE(value, static_cast<uint64_t>(INT64_MAX));
    EXPECT_EQ(value, tw::boot_time());

    int p[2];
    ASSERT_EQ(0, pipe(p));
    pid_t pid = fork();
    if (pid == 0) {
        dup2(p[1], 1);
        execl("/proc/self/exe", "clock_test", "--gtest_filter=Clock.BootTimeIsPrinted", nullptr);
        _exit(127);
    }
    close(p[1]);
    std::string output;
    char buf[4096];
    for (ssize_t n; (n = read(p[0], buf, sizeof buf)) > 0;)
        output.append(buf, static_cast<size_t>(n));
    close(p[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << output;
    EXPECT_NE(std::string::npos, output.find("boot_time=" + std::to_string(value) + "\n"))
        << output;
}

} // namespace
