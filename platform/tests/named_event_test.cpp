#include "platform/named_event.h"

#include "platform/tests/support/temp_env.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace {

using tw::NamedEvent;

struct NamedEventTest : ::testing::Test {
    tw::test::TempEnv env;
    // Events live in the runtime folder derived from XDG_RUNTIME_DIR.
    std::string file(const std::string &name) { return env.path("run") + "/tarnwick/" + name; }
    std::string unique(const char *purpose) {
        return std::string(purpose) + "." + std::to_string(getpid());
    }
};

// Runs body in a child process and returns its exit code (-1 if it did not
// exit normally). The child never returns into the test framework.
template <typename Body>
int in_child(Body body) {
    pid_t pid = fork();
    if (pid == 0)
        _exit(body());
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status))
        return -1;
    return WEXITSTATUS(status);
}

TEST_F(NamedEventTest, ChildWaitsUntilCreatorSets) {
    NamedEvent *event = nullptr;
    std::string name = unique("Stop");
    ASSERT_EQ(0, tw::named_event_create(name, &event));
    int ready[2];
    ASSERT_EQ(0, pipe2(ready, O_CLOEXEC));
    pid_t pid = fork();
    if (pid == 0) {
        // The waiter opens the event by name, as another program would.
        NamedEvent *mine = nullptr;
        if (tw::named_event_open(name, &mine) != 0 || tw::named_event_is_set(mine))
            _exit(2);
        char c = 'r';
        if (write(ready[1], &c, 1) != 1)
            _exit(3);
        alarm(20); // a lost wake-up must fail the test, not hang it
        int rc = tw::named_event_wait(mine, -1);
        _exit(rc == 0 && tw::named_event_is_set(mine) ? 0 : 4);
    }
    ASSERT_GT(pid, 0);
    close(ready[1]);
    char c = 0;
    ASSERT_EQ(1, read(ready[0], &c, 1));
    close(ready[0]);
    usleep(100 * 1000); // let the child block in its wait
    tw::named_event_set(event);
    int status = 0;
    ASSERT_EQ(pid, waitpid(pid, &status, 0));
    ASSERT_TRUE(WIFEXITED(status)) << "child ended by signal " << WTERMSIG(status);
    EXPECT_EQ(0, WEXITSTATUS(status));
    tw::named_event_close(event);
}

TEST_F(NamedEventTest, OpenerInChildSetsCreatorsEvent) {
    // The cancellation direction: the engine creates, its client sets.
    NamedEvent *event = nullptr;
    std::string name = unique("Cancel");
    ASSERT_EQ(0, tw::named_event_create(name, &event));
    EXPECT_FALSE(tw::named_event_is_set(event));
    EXPECT_EQ(0, in_child([&] {
                  usleep(50 * 1000);
                  NamedEvent *other = nullptr;
                  if (tw::named_event_open(name, &other) != 0)
                      return 1;
                  tw::named_event_set(other);
                  tw::named_event_close(other);
                  return 0;
              }));
    EXPECT_EQ(0, tw::named_event_wait(event, 5000));
    EXPECT_TRUE(tw::named_event_is_set(event));
    // The opener's close left the file in place; only the creator removes it.
    struct stat st;
    EXPECT_EQ(0, lstat(file(name).c_str(), &st));
    tw::named_event_close(event);
}

TEST_F(NamedEventTest, WaitTimesOutAndPolls) {
    NamedEvent *event = nullptr;
    ASSERT_EQ(0, tw::named_event_create("Cancel.1", &event));
    EXPECT_EQ(-ETIMEDOUT, tw::named_event_wait(event, 0));
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(-ETIMEDOUT, tw::named_event_wait(event, 150));
    auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(waited, std::chrono::milliseconds(150));
    EXPECT_LT(waited, std::chrono::seconds(5));
    tw::named_event_set(event);
    tw::named_event_set(event); // setting twice keeps it set
    EXPECT_TRUE(tw::named_event_is_set(event));
    EXPECT_EQ(0, tw::named_event_wait(event, 0));
    EXPECT_EQ(0, tw::named_event_wait(event, -1));
    tw::named_event_close(event);
}

TEST_F(NamedEventTest, CreateIsExclusiveAndCloseRemovesFile) {
    NamedEvent *first = nullptr, *second = nullptr;
    ASSERT_EQ(0, tw::named_event_create("Stop.x", &first));
    struct stat st;
    ASSERT_EQ(0, lstat(file("Stop.x").c_str(), &st));
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(0600u, st.st_mode & 07777);
    EXPECT_EQ(geteuid(), st.st_uid);
    struct stat folder;
    ASSERT_EQ(0, lstat((env.path("run") + "/tarnwick").c_str(), &folder));
    EXPECT_EQ(0700u, folder.st_mode & 07777);

    EXPECT_EQ(-EEXIST, tw::named_event_create("Stop.x", &second));
    // An existing event is neither reset nor removed by the failed creation.
    tw::named_event_set(first);
    EXPECT_EQ(-EEXIST, tw::named_event_create("Stop.x", &second));
    EXPECT_TRUE(tw::named_event_is_set(first));
    ASSERT_EQ(0, tw::named_event_open("Stop.x", &second));
    EXPECT_TRUE(tw::named_event_is_set(second));
    tw::named_event_close(second);

    tw::named_event_close(first);
    EXPECT_NE(0, lstat(file("Stop.x").c_str(), &st));
    EXPECT_EQ(-ENOENT, tw::named_event_open("Stop.x", &second));
    // Once the creator is gone, the name can be created anew.
    ASSERT_EQ(0, tw::named_event_create("Stop.x", &first));
    EXPECT_FALSE(tw::named_event_is_set(first));
    tw::named_event_close(first);
}

TEST_F(NamedEventTest, LeftoverOfKilledCreatorIsReplaced) {
    // A creator in another process: alive, its name is taken; killed without
    // closing, its file stays behind but no longer blocks the name.
    int ready[2];
    ASSERT_EQ(0, pipe2(ready, O_CLOEXEC));
    pid_t pid = fork();
    if (pid == 0) {
        NamedEvent *event = nullptr;
        char c = tw::named_event_create("Cancel.77", &event) == 0 ? 'y' : 'n';
        tw::named_event_set(event);
        if (write(ready[1], &c, 1) != 1)
            _exit(1);
        for (;;)
            pause();
    }
    ASSERT_GT(pid, 0);
    close(ready[1]);
    char c = 0;
    ASSERT_EQ(1, read(ready[0], &c, 1));
    close(ready[0]);
    ASSERT_EQ('y', c);

    NamedEvent *event = nullptr;
    EXPECT_EQ(-EEXIST, tw::named_event_create("Cancel.77", &event));
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    struct stat st;
    ASSERT_EQ(0, lstat(file("Cancel.77").c_str(), &st));
    ASSERT_EQ(0, tw::named_event_create("Cancel.77", &event));
    EXPECT_FALSE(tw::named_event_is_set(event)) << "a new event, not the old one";
    tw::named_event_close(event);

    // A file that is not an event of this user is never taken for one.
    tw::test::write_file(file("Cancel.78"), "not an event");
    EXPECT_EQ(-EEXIST, tw::named_event_create("Cancel.78", &event));
}

TEST_F(NamedEventTest, SweepRemovesOnlyLeftoversOfEndedCreators) {
    // Two creators killed without closing, one still running (this process),
    // one event of another purpose and a file that is no event.
    for (const char *name : {"Cancel.91", "Cancel.92", "Stop.93"})
        ASSERT_EQ(9, in_child([&] {
                      NamedEvent *event = nullptr;
                      return tw::named_event_create(name, &event) == 0 ? 9 : 1;
                  }));
    NamedEvent *live = nullptr;
    ASSERT_EQ(0, tw::named_event_create("Cancel.94", &live));
    tw::test::write_file(file("Cancel.95"), "not an event");

    EXPECT_EQ(2, tw::named_event_sweep_leftovers("Cancel."));
    struct stat st;
    EXPECT_NE(0, lstat(file("Cancel.91").c_str(), &st));
    EXPECT_NE(0, lstat(file("Cancel.92").c_str(), &st));
    EXPECT_EQ(0, lstat(file("Cancel.94").c_str(), &st)) << "its creator runs";
    EXPECT_EQ(0, lstat(file("Cancel.95").c_str(), &st)) << "not an event";
    EXPECT_EQ(0, lstat(file("Stop.93").c_str(), &st)) << "another prefix";
    tw::named_event_set(live);
    EXPECT_TRUE(tw::named_event_is_set(live));
    tw::named_event_close(live);
}

TEST_F(NamedEventTest, CreatorCloseLeavesAReplacedFileAlone) {
    NamedEvent *event = nullptr;
    ASSERT_EQ(0, tw::named_event_create("Stop.y", &event));
    ASSERT_EQ(0, unlink(file("Stop.y").c_str()));
    tw::test::write_file(file("Stop.y"), "keep");
    tw::named_event_close(event);
    struct stat st;
    EXPECT_EQ(0, lstat(file("Stop.y").c_str(), &st));
}

TEST_F(NamedEventTest, NamesAreValidated) {
    const std::string too_long(tw::kNamedEventNameMax + 1, 'a');
    const std::string longest(tw::kNamedEventNameMax, 'a');
    struct Case {
        std::string name;
        int expected;
    } cases[] = {
        {"", -EINVAL},       {".", -EINVAL},         {"..", -EINVAL},
        {"a/b", -EINVAL},    {"../Stop.1", -EINVAL}, {std::string("a\0b", 3), -EINVAL},
        {too_long, -EINVAL}, {longest, 0},           {"...", 0},
    };
    for (const Case &c : cases) {
        NamedEvent *event = nullptr;
        EXPECT_EQ(c.expected, tw::named_event_create(c.name, &event)) << c.name.size();
        if (c.expected == 0)
            tw::named_event_close(event);
        else
            EXPECT_EQ(c.expected, tw::named_event_open(c.name, &event)) << c.name.size();
    }
}

TEST_F(NamedEventTest, OpenRefusesFilesThatAreNotEvents) {
    // Make the runtime folder by creating (and dropping) one event.
    NamedEvent *event = nullptr;
    ASSERT_EQ(0, tw::named_event_create("Real.1", &event));

    ASSERT_EQ(0, symlink(file("Real.1").c_str(), file("Link.1").c_str()));
    ASSERT_EQ(0, mkdir(file("Folder.1").c_str(), 0700));
    ASSERT_EQ(0, mkfifo(file("Fifo.1").c_str(), 0600));
    tw::test::write_file(file("Short.1"), "");
    tw::test::write_file(file("Foreign.1"), std::string(4, '\0'));
    ASSERT_EQ(0, chown(file("Foreign.1").c_str(), 12345, 12345));

    for (const char *name : {"Link.1", "Folder.1", "Fifo.1", "Short.1", "Foreign.1"}) {
        NamedEvent *other = nullptr;
        EXPECT_EQ(-EACCES, tw::named_event_open(name, &other)) << name;
    }
    tw::named_event_close(event);
}

} // namespace
