// The import worker's sandbox, entered by forked children of this test.
#include "platform/sandbox.h"

#include <cerrno>
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <string>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace tw {
namespace {

// Runs `body` in a child that entered the sandbox first (when `enter`);
// returns the child's wait status. Exit codes above 100 are set-up failures.
template <typename Body>
int in_child(bool enter, Body body) {
    pid_t pid = fork();
    if (pid == 0) {
        int status = sandbox_open_status();
        if (status < 0)
            _exit(101);
        if (enter && sandbox_enter() != 0)
            _exit(102);
        _exit(body(status));
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return status;
}

bool exited_with(int status, int code) {
    return WIFEXITED(status) && WEXITSTATUS(status) == code;
}

bool killed_by_filter(int status) {
    return WIFSIGNALED(status) && WTERMSIG(status) == SIGSYS;
}

TEST(Sandbox, ProofHoldsOnlyInside) {
    auto prove = [](int status) { return sandbox_prove(status) == 0 ? 0 : 1; };
    EXPECT_TRUE(exited_with(in_child(false, prove), 1));
    EXPECT_TRUE(exited_with(in_child(true, prove), 0));
}

// The worker is an ordinary user's process, hardened (not dumpable) before
// it enters the sandbox; a test run as root becomes "nobody" for this.
TEST(Sandbox, EntersAsAnUnprivilegedProcessThatIsNotDumpable) {
    pid_t pid = fork();
    if (pid == 0) {
        if (geteuid() == 0 &&
            (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0))
            _exit(101);
        if (prctl(PR_SET_DUMPABLE, 0, 0, 0, 0) != 0)
            _exit(102);
        int status = sandbox_open_status();
        if (status < 0)
            _exit(103);
        if (sandbox_enter() != 0)
            _exit(104);
        _exit(sandbox_prove(status) == 0 ? 0 : 105);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(exited_with(status, 0)) << status;
}

TEST(Sandbox, HeldDescriptorsStayUsable) {
    int fds[2];
    ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);
    int status = in_child(true, [&](int) {
        char byte = 'x';
        if (write(fds[1], &byte, 1) != 1)
            return 1;
        struct stat st;
        return fstat(fds[0], &st) == 0 ? 0 : 2;
    });
    EXPECT_TRUE(exited_with(status, 0)) << status;
    char byte = 0;
    EXPECT_EQ(read(fds[0], &byte, 1), 1);
    EXPECT_EQ(byte, 'x');
    close(fds[0]);
    close(fds[1]);
}

TEST(Sandbox, PathsSocketsAndProcessesEndTheProcess) {
    char folder[] = "/tmp/tw-sandbox-XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    const std::string file = std::string(folder) + "/probe";
    struct Case {
        const char *name;
        int (*body)(const std::string &file);
        bool killed;
        int code; // the exit code when not killed
    };
    const Case cases[] = {
        {"open an existing path",
         [](const std::string &) { return open("/etc/hostname", O_RDONLY); }, true, 0},
        {"create a socket", [](const std::string &) { return socket(AF_UNIX, SOCK_STREAM, 0); },
         true, 0},
        {"fork", [](const std::string &) { return int(fork()); }, true, 0},
        {"stat a path",
         [](const std::string &) {
             struct stat st;
             return stat("/etc/hostname", &st);
         },
         true, 0},
        // Creating a file in a folder anyone could write to is refused.
        {"create a file",
         [](const std::string &f) {
             int fd = open(f.c_str(), O_CREAT | O_EXCL | O_WRONLY, 0600);
             return fd < 0 && errno == EACCES ? 7 : 8;
         },
         false, 7},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        int status = in_child(true, [&](int) { return c.body(file) & 0x7f; });
        if (c.killed)
            EXPECT_TRUE(killed_by_filter(status)) << status;
        else
            EXPECT_TRUE(exited_with(status, c.code)) << status;
    }
    EXPECT_NE(access(file.c_str(), F_OK), 0);
    rmdir(folder);
}

} // namespace
} // namespace tw
