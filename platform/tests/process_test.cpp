#include "platform/process.h"

#include "platform/named_event.h"
#include "platform/tests/support/temp_env.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <string>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using tw::test::TempEnv;

uint64_t now_epoch_100ns() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 10000000u + static_cast<uint64_t>(ts.tv_nsec) / 100u;
}

int wait_exit_code(pid_t pid) {
    int status = 0;
    if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status))
        return -1;
    return WEXITSTATUS(status);
}

// Runs body in a child process and returns its exit code.
template <typename Body>
int in_child(Body body) {
    pid_t pid = fork();
    if (pid == 0)
        _exit(body());
    return pid < 0 ? -1 : wait_exit_code(pid);
}

// A child that sleeps until killed.
pid_t start_sleeper() {
    pid_t pid = fork();
    if (pid == 0) {
        for (;;)
            pause();
    }
    return pid;
}

void stop(pid_t pid) {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
}

TEST(ProcessIdentity, StartTimeIsStableAndPlausible) {
    uint64_t before = now_epoch_100ns();
    pid_t pid = start_sleeper();
    ASSERT_GT(pid, 0);
    bool running = false;
    uint64_t first = 0, second = 0;
    std::string uid;
    ASSERT_EQ(0, tw::process_identity(pid, &running, &first, &uid));
    EXPECT_TRUE(running);
    EXPECT_EQ(std::to_string(geteuid()), uid);
    ASSERT_EQ(0, tw::process_identity(pid, nullptr, &second, nullptr));
    EXPECT_EQ(first, second);
    // The boot time has whole-second resolution and start times count clock
    // ticks: the value is within about a second of the fork.
    EXPECT_LT(first, now_epoch_100ns() + 20000000u);
    EXPECT_GT(first + 20000000u, before);
    EXPECT_TRUE(tw::process_is_same(pid, first));
    EXPECT_FALSE(tw::process_is_same(pid, first + 1));

    // Ended but not yet reaped (a zombie): no longer running.
    kill(pid, SIGKILL);
    siginfo_t info{};
    ASSERT_EQ(0, waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT));
    ASSERT_EQ(0, tw::process_identity(pid, &running, nullptr, nullptr));
    EXPECT_FALSE(running);
    EXPECT_FALSE(tw::process_is_same(pid, first));
    waitpid(pid, nullptr, 0);
    EXPECT_FALSE(tw::process_is_same(pid, first));
    ASSERT_EQ(0, tw::process_identity(pid, &running, &second, nullptr));
    EXPECT_FALSE(running);
    EXPECT_EQ(0u, second);

    // This process itself: started before the child.
    uint64_t own = 0;
    ASSERT_EQ(0, tw::process_identity(getpid(), &running, &own, nullptr));
    EXPECT_TRUE(running);
    EXPECT_LE(own, first);
    EXPECT_FALSE(tw::process_is_same(0, own));
    EXPECT_FALSE(tw::process_is_same(getpid(), 0));
    EXPECT_TRUE(tw::process_is_same(getpid(), own));
}

TEST(ProcessIdentity, ImageAndHandlePaths) {
    TempEnv env;
    char exe[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", exe, sizeof exe);
    ASSERT_GT(n, 0);
    std::string image;
    ASSERT_EQ(0, tw::process_image_path(getpid(), &image));
    EXPECT_EQ(std::string(exe, static_cast<size_t>(n)), image);
    EXPECT_EQ(-EINVAL, tw::process_image_path(0, &image));

    std::string file = env.path("file");
    tw::test::write_file(file, "x");
    int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    std::string path;
    ASSERT_EQ(0, tw::final_path_of_handle(fd, &path));
    EXPECT_EQ(file, path);
    // Renamed while open: the handle's current name.
    ASSERT_EQ(0, rename(file.c_str(), (file + "2").c_str()));
    ASSERT_EQ(0, tw::final_path_of_handle(fd, &path));
    EXPECT_EQ(file + "2", path);
    ASSERT_EQ(0, unlink((file + "2").c_str()));
    EXPECT_EQ(-ENOENT, tw::final_path_of_handle(fd, &path));
    close(fd);

    int p[2];
    ASSERT_EQ(0, pipe2(p, O_CLOEXEC));
    EXPECT_EQ(-EINVAL, tw::final_path_of_handle(p[0], &path));
    close(p[0]);
    close(p[1]);
    EXPECT_EQ(-EBADF, tw::final_path_of_handle(p[0], &path));
}

// Launches argv with standard output into a pipe and returns what the child
// wrote and its exit code.
struct ChildRun {
    int rc = 0;
    std::string output;
    int exit_code = -1;
    tw::LaunchedProcess process;
};

ChildRun run(const std::vector<std::string> &argv, tw::LaunchOptions options = {}) {
    ChildRun r;
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) {
        r.rc = -errno;
        return r;
    }
    options.stdout_fd = out[1];
    r.rc = tw::launch_process(argv, options, &r.process);
    close(out[1]);
    if (r.rc == 0) {
        r.output = tw::test::read_all(out[0]);
        r.exit_code = wait_exit_code(r.process.pid);
        if (r.process.pidfd >= 0)
            close(r.process.pidfd);
    }
    close(out[0]);
    return r;
}

std::vector<std::string> split(const std::string &text, char separator) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (size_t pos; (pos = text.find(separator, start)) != std::string::npos; start = pos + 1)
        parts.push_back(text.substr(start, pos - start));
    return parts;
}

TEST(LaunchProcess, EnvironmentIsExactlyTheMinimalSet) {
    TempEnv env;
    setenv("TW_TEST_SHOULD_NOT_PASS", "leak", 1);
    // The session bus passes only to a child that asks for it.
    setenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/run/user/7/bus", 1);
    ChildRun r = run({"/usr/bin/env"});
    tw::LaunchOptions desktop;
    desktop.session_bus = true;
    ChildRun with_bus = run({"/usr/bin/env"}, desktop);
    unsetenv("DBUS_SESSION_BUS_ADDRESS");
    unsetenv("TW_TEST_SHOULD_NOT_PASS");
    ASSERT_EQ(0, with_bus.rc);
    std::vector<std::string> bus_lines = split(with_bus.output, '\n');
    std::sort(bus_lines.begin(), bus_lines.end());
    EXPECT_EQ((std::vector<std::string>{
                  "DBUS_SESSION_BUS_ADDRESS=unix:path=/run/user/7/bus", "HOME=" + env.path("home"),
                  "PATH=/usr/sbin:/usr/bin:/sbin:/bin", "XDG_DATA_HOME=" + env.path("data"),
                  "XDG_RUNTIME_DIR=" + env.path("run")}),
              bus_lines);
    ASSERT_EQ(0, r.rc);
    EXPECT_EQ(0, r.exit_code);
    std::vector<std::string> lines = split(r.output, '\n');
    std::sort(lines.begin(), lines.end());
    std::vector<std::string> expected = {
        "HOME=" + env.path("home"),
        "PATH=/usr/sbin:/usr/bin:/sbin:/bin",
        "XDG_DATA_HOME=" + env.path("data"),
        "XDG_RUNTIME_DIR=" + env.path("run"),
    };
    EXPECT_EQ(expected, lines);

    // Without XDG_RUNTIME_DIR it is not passed at all.
    unsetenv("XDG_RUNTIME_DIR");
    r = run({"/usr/bin/env"});
    ASSERT_EQ(0, r.rc);
    lines = split(r.output, '\n');
    std::sort(lines.begin(), lines.end());
    expected.pop_back();
    EXPECT_EQ(expected, lines);
}

TEST(LaunchProcess, ArgumentsPassUnchanged) {
    TempEnv env;
    const std::vector<std::string> args = {
        "", "a\"b", "ends in backslash\\", "two  words", "\\\\\"", "$HOME *", "-c"};
    std::vector<std::string> argv = {"/bin/sh", "-c",
                                     "for a in \"$@\"; do printf '%s|' \"$a\"; done", "sh"};
    argv.insert(argv.end(), args.begin(), args.end());
    ChildRun r = run(argv);
    ASSERT_EQ(0, r.rc);
    EXPECT_EQ(0, r.exit_code);
    EXPECT_EQ(args, split(r.output, '|'));
}

TEST(LaunchProcess, OnlyStandardDescriptorsReachTheChild) {
    TempEnv env;
    // Descriptors that a careless child would inherit: no close-on-exec.
    int leaky = open("/dev/null", O_RDONLY);
    int leaky_pipe[2];
    ASSERT_GE(leaky, 0);
    ASSERT_EQ(0, pipe(leaky_pipe));
    // The shell lists its own descriptors through another program started
    // as a plain command (a pipeline would hold pipe descriptors in the shell
    // meanwhile); also its working folder and where its standard input and
    // error point.
    ChildRun r = run({"/bin/sh", "-c",
                      "/bin/ls -m /proc/$$/fd; /bin/readlink /proc/$$/cwd /proc/$$/fd/0 "
                      "/proc/$$/fd/2"});
    close(leaky);
    close(leaky_pipe[0]);
    close(leaky_pipe[1]);
    ASSERT_EQ(0, r.rc);
    EXPECT_EQ(0, r.exit_code);
    EXPECT_EQ("0, 1, 2\n/\n/dev/null\n/dev/null\n", r.output);
}

TEST(LaunchProcess, StandardInputAndErrorAreThoseGiven) {
    TempEnv env;
    int in[2], err[2];
    ASSERT_EQ(0, pipe2(in, O_CLOEXEC));
    ASSERT_EQ(0, pipe2(err, O_CLOEXEC));
    ASSERT_EQ(6, write(in[1], "hello\n", 6));
    close(in[1]);
    tw::LaunchOptions options;
    options.stdin_fd = in[0];
    options.stderr_fd = err[1];
    ChildRun r =
        run({"/bin/sh", "-c", "read line; echo \"out $line\"; echo \"err $line\" >&2"}, options);
    close(in[0]);
    close(err[1]);
    std::string errors = tw::test::read_all(err[0]);
    close(err[0]);
    ASSERT_EQ(0, r.rc);
    EXPECT_EQ("out hello\n", r.output);
    EXPECT_EQ("err hello\n", errors);

    // The same descriptor for all three, and descriptors 0-2 of this process
    // passed in swapped order, are placed correctly.
    int both[2];
    ASSERT_EQ(0, pipe2(both, O_CLOEXEC));
    options = {};
    options.stderr_fd = both[1];
    tw::LaunchedProcess p;
    ASSERT_EQ(0,
              tw::launch_process(std::vector<std::string>{"/bin/sh", "-c", "echo e >&2; echo o"},
                                 {.stdin_fd = -1, .stdout_fd = both[1], .stderr_fd = both[1]}, &p));
    close(both[1]);
    EXPECT_EQ("e\no\n", tw::test::read_all(both[0]));
    close(both[0]);
    EXPECT_EQ(0, wait_exit_code(p.pid));
    close(p.pidfd);
}

TEST(LaunchProcess, IdentityGroupAndFailures) {
    TempEnv env;
    tw::LaunchedProcess p;
    ASSERT_EQ(0, tw::launch_process(std::vector<std::string>{"/bin/sleep", "30"}, {}, &p));
    EXPECT_TRUE(tw::process_is_same(p.pid, p.start_time));
    EXPECT_EQ(getpgrp(), getpgid(p.pid));
    std::string image;
    ASSERT_EQ(0, tw::process_image_path(p.pid, &image));
    char *real = realpath("/bin/sleep", nullptr);
    ASSERT_NE(nullptr, real);
    EXPECT_EQ(real, image);
    free(real);
    ASSERT_GE(p.pidfd, 0);
    pollfd pfd{p.pidfd, POLLIN, 0};
    EXPECT_EQ(0, poll(&pfd, 1, 0));
    kill(p.pid, SIGKILL);
    EXPECT_EQ(1, poll(&pfd, 1, 5000));
    waitpid(p.pid, nullptr, 0);
    close(p.pidfd);
    EXPECT_FALSE(tw::process_is_same(p.pid, p.start_time));

    tw::LaunchOptions group;
    group.new_process_group = true;
    ASSERT_EQ(0, tw::launch_process(std::vector<std::string>{"/bin/sleep", "30"}, group, &p));
    EXPECT_EQ(p.pid, getpgid(p.pid));
    stop(p.pid);
    close(p.pidfd);

    std::string script = env.path("not-executable");
    tw::test::write_file(script, "#!/bin/sh\n");
    struct Case {
        std::vector<std::string> argv;
        int expected;
    } cases[] = {
        {{}, -EINVAL},
        {{"sleep", "1"}, -EINVAL},
        {{""}, -EINVAL},
        {{"/bin/echo", std::string("a\0b", 3)}, -EINVAL},
        {{env.path("missing")}, -ENOENT},
        {{script}, -EACCES},
    };
    for (const Case &c : cases) {
        tw::LaunchedProcess none;
        EXPECT_EQ(c.expected, tw::launch_process(c.argv, {}, &none))
            << (c.argv.empty() ? "(empty)" : c.argv[0]);
        EXPECT_EQ(0, none.pid);
    }
    // A failed start leaves no child behind.
    EXPECT_EQ(-1, waitpid(-1, nullptr, WNOHANG));
    EXPECT_EQ(ECHILD, errno);
}

TEST(LaunchProcess, DetachedChildIsNobodysChildAndLeadsItsSession) {
    TempEnv env;
    const std::string facts = env.path("facts");
    const std::string script = env.path("daemon.sh");
    // Writes its own pid, parent and session, then stays.
    tw::test::write_file(script, "#!/bin/sh\nset -e\nread -r _ _ _ ppid _ sid _ < /proc/$$/stat\n"
                                 "echo $$ $ppid $sid > " +
                                     facts + ".tmp\nmv " + facts + ".tmp " + facts +
                                     "\nexec sleep 30\n");
    ASSERT_EQ(0, chmod(script.c_str(), 0700));
    tw::LaunchOptions detached;
    detached.detached = true;
    tw::LaunchedProcess p;
    p.pid = 77;
    ASSERT_EQ(0, tw::launch_process(std::vector<std::string>{script}, detached, &p));
    EXPECT_EQ(0, p.pid);
    EXPECT_EQ(-1, p.pidfd);
    // The intermediate has been reaped and the daemon is not ours to wait for.
    EXPECT_EQ(-1, waitpid(-1, nullptr, WNOHANG));
    EXPECT_EQ(ECHILD, errno);
    long pid = 0, ppid = 0, sid = 0;
    for (int i = 0; i < 500 && pid == 0; i++) {
        FILE *f = fopen(facts.c_str(), "r");
        if (f != nullptr) {
            if (fscanf(f, "%ld %ld %ld", &pid, &ppid, &sid) != 3)
                pid = 0;
            fclose(f);
        }
        if (pid == 0)
            usleep(10000);
    }
    ASSERT_GT(pid, 0);
    EXPECT_NE(getpid(), ppid);
    EXPECT_EQ(pid, sid);
    kill(static_cast<pid_t>(pid), SIGKILL);

    // A program that cannot start is still reported, and leaves no child.
    tw::LaunchedProcess none;
    EXPECT_EQ(-ENOENT,
              tw::launch_process(std::vector<std::string>{env.path("missing")}, detached, &none));
    EXPECT_EQ(-1, waitpid(-1, nullptr, WNOHANG));
    // A detached child cannot also be tied to the caller's life.
    detached.kill_with_parent = true;
    EXPECT_EQ(-EINVAL, tw::launch_process(std::vector<std::string>{"/bin/true"}, detached, &none));
}

TEST(LaunchProcess, KillWithParentEndsChildWithLaunchingThread) {
    TempEnv env;
    struct Case {
        bool kill_with_parent;
        bool killed;
    } cases[] = {{true, true}, {false, false}};
    for (const Case &c : cases) {
        tw::LaunchedProcess p;
        int rc = -1;
        std::thread launcher([&] {
            tw::LaunchOptions options;
            options.kill_with_parent = c.kill_with_parent;
            rc = tw::launch_process(std::vector<std::string>{"/bin/sleep", "30"}, options, &p);
        });
        launcher.join();
        ASSERT_EQ(0, rc);
        pollfd pfd{p.pidfd, POLLIN, 0};
        EXPECT_EQ(c.killed ? 1 : 0, poll(&pfd, 1, c.killed ? 5000 : 200)) << c.kill_with_parent;
        stop(p.pid);
        close(p.pidfd);
    }
}

TEST(LaunchProcess, ParentDeathSignalReachesAChildThatCleansUp) {
    TempEnv env;
    char folder[] = "/tmp/tw-death-signal-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(folder));
    const std::string marker = std::string(folder) + "/hup";
    tw::LaunchedProcess p;
    int rc = -1;
    std::thread launcher([&] {
        tw::LaunchOptions options;
        options.parent_death_signal = SIGHUP;
        // The child handles the signal itself and exits after noting it.
        rc = tw::launch_process(std::vector<std::string>{"/bin/sh", "-c",
                                                         "trap 'echo hup > \"$0\"; exit 0' HUP; "
                                                         "while :; do sleep 0.05; done",
                                                         marker},
                                options, &p);
        // Give the shell time to install its trap before this thread ends.
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
    });
    launcher.join();
    ASSERT_EQ(0, rc);
    pollfd pfd{p.pidfd, POLLIN, 0};
    EXPECT_EQ(1, poll(&pfd, 1, 5000));
    EXPECT_EQ(0, wait_exit_code(p.pid));
    close(p.pidfd);
    EXPECT_EQ(0, access(marker.c_str(), F_OK)) << "the child did not see SIGHUP";
    unlink(marker.c_str());
    rmdir(folder);
}

// Outcome codes written by the watched grandchild.
enum : char { kSetAtOnce = 'S', kSetLater = 'L', kNotSet = 'N', kNotOrphanedToInit = 'I' };

TEST(ParentWatch, ParentAlreadyGoneSetsAtOnce) {
    TempEnv env;
    int result[2];
    ASSERT_EQ(0, pipe2(result, O_CLOEXEC));
    pid_t middle = fork();
    if (middle == 0) {
        const pid_t original = getpid();
        if (fork() == 0) {
            // The grandchild: its parent exits right away.
            for (int i = 0; i < 500 && getppid() == original; i++)
                usleep(10 * 1000);
            char outcome = kNotOrphanedToInit;
            if (getppid() == 1) {
                tw::NamedEvent *cancel = nullptr;
                std::string name = "Cancel." + std::to_string(getpid());
                if (tw::named_event_create(name, &cancel) != 0)
                    _exit(1);
                int rc = tw::parent_watch_start(cancel);
                outcome = rc < 0 && tw::named_event_is_set(cancel) ? kSetAtOnce : kNotSet;
                tw::named_event_close(cancel);
            }
            ssize_t w = write(result[1], &outcome, 1);
            _exit(w == 1 ? 0 : 1);
        }
        _exit(0);
    }
    ASSERT_GT(middle, 0);
    close(result[1]);
    EXPECT_EQ(0, wait_exit_code(middle));
    char outcome = 0;
    ASSERT_EQ(1, read(result[0], &outcome, 1));
    close(result[0]);
    if (outcome == kNotOrphanedToInit)
        GTEST_SKIP() << "orphans are adopted by a subreaper here, not by init";
    EXPECT_EQ(kSetAtOnce, outcome);
}

TEST(ParentWatch, ParentExitWhileWatchingSetsEvent) {
    TempEnv env;
    int ready[2], result[2];
    ASSERT_EQ(0, pipe2(ready, O_CLOEXEC));
    ASSERT_EQ(0, pipe2(result, O_CLOEXEC));
    pid_t middle = fork();
    if (middle == 0) {
        if (fork() == 0) {
            alarm(30);
            tw::NamedEvent *cancel = nullptr;
            std::string name = "Cancel." + std::to_string(getpid());
            if (tw::named_event_create(name, &cancel) != 0)
                _exit(1);
            char outcome = kNotSet;
            if (tw::parent_watch_start(cancel) != 0 || tw::named_event_is_set(cancel)) {
                outcome = kSetAtOnce;
            } else {
                char c = 'r';
                if (write(ready[1], &c, 1) != 1)
                    _exit(1);
                if (tw::named_event_wait(cancel, 10000) == 0)
                    outcome = kSetLater;
            }
            tw::named_event_close(cancel);
            ssize_t w = write(result[1], &outcome, 1);
            _exit(w == 1 ? 0 : 1);
        }
        // The middle process ends once the grandchild watches it.
        close(ready[1]);
        char c;
        _exit(read(ready[0], &c, 1) == 1 ? 0 : 1);
    }
    ASSERT_GT(middle, 0);
    close(ready[0]);
    close(ready[1]);
    close(result[1]);
    EXPECT_EQ(0, wait_exit_code(middle));
    char outcome = 0;
    ASSERT_EQ(1, read(result[0], &outcome, 1));
    close(result[0]);
    EXPECT_EQ(kSetLater, outcome);
}

TEST(ParentWatch, UntrustedOrEndedParentSetsAtOnce) {
    TempEnv env;
    tw::NamedEvent *cancel = nullptr;
    // A process that started after this one cannot be its parent: the id
    // was reused. Start times count clock ticks (10 ms), so the younger one
    // is started a few ticks after this process to be told apart.
    usleep(50 * 1000);
    pid_t younger = start_sleeper();
    ASSERT_GT(younger, 0);
    ASSERT_EQ(0, tw::named_event_create("Cancel.younger", &cancel));
    EXPECT_EQ(-ESRCH, tw::parent_watch_start_for(younger, cancel));
    EXPECT_TRUE(tw::named_event_is_set(cancel));
    tw::named_event_close(cancel);

    // An id that names no process any more.
    stop(younger);
    ASSERT_EQ(0, tw::named_event_create("Cancel.ended", &cancel));
    EXPECT_GT(0, tw::parent_watch_start_for(younger, cancel));
    EXPECT_TRUE(tw::named_event_is_set(cancel));
    tw::named_event_close(cancel);

    ASSERT_EQ(0, tw::named_event_create("Cancel.init", &cancel));
    EXPECT_EQ(-ESRCH, tw::parent_watch_start_for(1, cancel));
    EXPECT_TRUE(tw::named_event_is_set(cancel));
    tw::named_event_close(cancel);
}

TEST(Hardening, LimitsAndDescriptors) {
    // In a child: hardening changes the whole process.
    EXPECT_EQ(0, in_child([] {
                  int keep = open("/dev/null", O_RDONLY);
                  int drop = open("/dev/null", O_RDONLY);
                  int drop_high = fcntl(drop, F_DUPFD, 100);
                  if (keep < 0 || drop < 0 || drop_high < 0)
                      return 1;
                  const int kept[] = {keep};
                  if (tw::harden_process(kept) != 0)
                      return 2;
                  if (fcntl(keep, F_GETFD) < 0 || fcntl(drop, F_GETFD) >= 0 ||
                      fcntl(drop_high, F_GETFD) >= 0)
                      return 3;
                  for (int fd = 0; fd < 3; fd++)
                      if (fcntl(fd, F_GETFD) < 0)
                          return 4;
                  if (prctl(PR_GET_DUMPABLE, 0, 0, 0, 0) != 0)
                      return 5;
                  rlimit core{};
                  if (getrlimit(RLIMIT_CORE, &core) != 0 || core.rlim_cur != 0 ||
                      core.rlim_max != 0)
                      return 6;
                  if (umask(0) != 077)
                      return 7;
                  struct sigaction sa {};
                  if (sigaction(SIGPIPE, nullptr, &sa) != 0 || sa.sa_handler != SIG_IGN)
                      return 8;
                  return 0;
              }));
}

TEST(Hardening, LockedMemoryLimitGrows) {
    EXPECT_EQ(0, in_child([] {
                  rlimit rl{};
                  if (getrlimit(RLIMIT_MEMLOCK, &rl) != 0)
                      return 1;
                  const rlim_t hard = rl.rlim_max, low = 64u << 10;
                  if (hard != RLIM_INFINITY && hard < 4 * low)
                      return 0; // too little room to tell anything apart
                  // Within the hard limit: the soft limit grows by exactly extra.
                  const rlim_t extra = hard == RLIM_INFINITY ? (8u << 20) : (hard - low) / 2;
                  rl = {low, hard};
                  if (setrlimit(RLIMIT_MEMLOCK, &rl) != 0 || tw::raise_locked_memory_limit(extra))
                      return 2;
                  if (getrlimit(RLIMIT_MEMLOCK, &rl) != 0 || rl.rlim_cur != low + extra ||
                      rl.rlim_max != hard)
                      return 3;
                  if (hard == RLIM_INFINITY)
                      return 0;
                  // Beyond it: up to the hard limit, or past it for a process
                  // allowed to raise the hard limit as well.
                  rl = {low, hard};
                  if (setrlimit(RLIMIT_MEMLOCK, &rl) != 0 || tw::raise_locked_memory_limit(hard))
                      return 4;
                  if (getrlimit(RLIMIT_MEMLOCK, &rl) != 0 || rl.rlim_cur < hard ||
                      rl.rlim_cur > rl.rlim_max)
                      return 5;
                  return 0;
              }));
}

} // namespace
