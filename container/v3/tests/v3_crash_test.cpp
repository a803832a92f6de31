// Crash safety: a child process writes a stream of transactions and is killed
// with SIGKILL at chosen points of a commit (between chunk writes, after the
// chunks and nodes before the header, after the header). Reopening must always
// authenticate and read exactly the image of the last committed generation.
#include "container/tests/support/v3_fixture.h"
#include "container/v3/v3_internal.h"
#include "container/v3/v3_store.h"

#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <random>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace tw {
namespace {

constexpr uint64_t kChunk = 4096;
constexpr uint64_t kSize = 80 * kChunk;
constexpr int kRounds = 4;

struct Event {
    int stage;
    int commit; // commits completed before this event
};

// One deterministic write of the stream, applied to the store or the image.
struct Write {
    uint64_t offset;
    std::vector<uint8_t> data;
};

std::vector<std::vector<Write>> make_stream() {
    std::mt19937_64 rng(0xC0FFEE);
    std::vector<std::vector<Write>> rounds(kRounds);
    for (auto &round : rounds) {
        const int writes = 3 + int(rng() % 4);
        for (int w = 0; w < writes; ++w) {
            Write item;
            item.offset = rng() % 8 == 0 ? 0 : 512 + rng() % (kSize - 512 - 2 * kChunk);
            const size_t length = item.offset == 0 ? 512 : 1 + rng() % (2 * kChunk);
            item.data.resize(length);
            const bool zero = rng() % 5 == 0;
            for (auto &b : item.data)
                b = zero ? 0 : uint8_t(rng() % 4 == 0 ? 0 : rng());
            round.push_back(std::move(item));
        }
    }
    return rounds;
}

// Child side: the hook either records every event into a pipe or kills the
// process at the chosen event.
int g_events_fd = -1;
int g_kill_at = -1;
int g_event = 0;
int g_commits = 0;

void hook(int stage, uint64_t) {
    if (g_events_fd >= 0) {
        Event e{stage, g_commits};
        if (write(g_events_fd, &e, sizeof e) != ssize_t(sizeof e))
            _exit(5);
    }
    if (g_event++ == g_kill_at)
        kill(getpid(), SIGKILL);
}

[[noreturn]] void run_stream(test::V3Open &c, const std::vector<std::vector<Write>> &stream) {
    v3::commit_hook = hook;
    for (const auto &round : stream) {
        for (const Write &w : round)
            if (c.write(w.data.data(), w.data.size(), w.offset) != 0)
                _exit(6);
        if (v3_commit(c.store) != 0)
            _exit(7);
        ++g_commits;
    }
    _exit(0);
}

std::vector<uint8_t> read_file(const std::string &path) {
    std::vector<uint8_t> bytes;
    int fd = open(path.c_str(), O_RDONLY);
    off_t size = lseek(fd, 0, SEEK_END);
    bytes.resize(size_t(size));
    EXPECT_EQ(pread(fd, bytes.data(), bytes.size(), 0), ssize_t(size));
    close(fd);
    return bytes;
}

void restore_file(const std::string &path, const std::vector<uint8_t> &bytes) {
    int fd = open(path.c_str(), O_RDWR);
    ASSERT_EQ(ftruncate(fd, off_t(bytes.size())), 0);
    ASSERT_EQ(pwrite(fd, bytes.data(), bytes.size(), 0), ssize_t(bytes.size()));
    close(fd);
}

TEST(V3Crash, EveryKillPointLeavesTheLastCommittedGeneration) {
    test::V3TempDir dir;
    const std::string path = dir.file("c.zcx");
    test::V3Open c;
    ASSERT_EQ(test::v3_test_create(path, kSize, kCipherAesXts, kChunk, true, &c), 0);
    std::vector<uint8_t> image(kSize);
    for (size_t i = 0; i < kSize; ++i)
        image[i] = uint8_t(i % 251 < 100 ? 0 : i * 7);
    ASSERT_EQ(c.write(image.data(), kSize, 0), 0);
    v3_set_deferred_commit(c.store, true);
    const uint64_t first_generation = c.store->copy[c.store->current].generation;
    const std::vector<uint8_t> saved = read_file(path);

    const auto stream = make_stream();
    std::vector<std::vector<uint8_t>> images{image};
    for (const auto &round : stream) {
        for (const Write &w : round)
            std::memcpy(image.data() + w.offset, w.data.data(), w.data.size());
        images.push_back(image);
    }

    // Dry run in a child: the list of commit events.
    int pipe_fds[2];
    ASSERT_EQ(pipe(pipe_fds), 0);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        close(pipe_fds[0]);
        g_events_fd = pipe_fds[1];
        run_stream(c, stream);
    }
    close(pipe_fds[1]);
    std::vector<Event> events;
    Event e;
    while (read(pipe_fds[0], &e, sizeof e) == ssize_t(sizeof e))
        events.push_back(e);
    close(pipe_fds[0]);
    int status;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    ASSERT_GT(events.size(), size_t(3 * kRounds));

    // Kill points of every commit: after its first chunk write, after the
    // chunk write halfway through, before the header and after the header.
    std::vector<int> points;
    for (int i = 0; i < int(events.size());) {
        int end = i;
        while (end < int(events.size()) && events[end].commit == events[i].commit)
            ++end;
        int chunks = 0;
        while (i + chunks < end && events[i + chunks].stage == v3::kStageChunkWritten)
            ++chunks;
        points.push_back(i);
        if (chunks > 2)
            points.push_back(i + chunks / 2);
        for (int j = i + chunks; j < end; ++j)
            points.push_back(j);
        i = end;
    }
    std::printf("%zu commit events, %zu kill points\n", events.size(), points.size());
    for (int point : points) {
        const Event &at = events[size_t(point)];
        const int committed = at.commit + (at.stage == v3::kStageHeaderWritten ? 1 : 0);
        SCOPED_TRACE("kill at event " + std::to_string(point) + " stage " +
                     std::to_string(at.stage) + " of commit " + std::to_string(at.commit));
        restore_file(path, saved);
        pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            g_kill_at = point;
            run_stream(c, stream);
        }
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << status;

        test::V3Open after;
        ASSERT_EQ(test::v3_test_open(path, &after), 0);
        EXPECT_EQ(after.store->copy[after.store->current].generation,
                  first_generation + uint64_t(committed));
        int rc;
        EXPECT_TRUE(after.read_all(kSize, &rc) == images[size_t(committed)]);
        EXPECT_EQ(rc, 0);
    }
}

} // namespace
} // namespace tw
