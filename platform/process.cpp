#include "platform/process.h"

#include "platform/descriptor.h"
#include "platform/io.h"
#include "platform/named_event.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace tw {

namespace {

constexpr const char *kChildPath = "PATH=/usr/sbin:/usr/bin:/sbin:/bin";

int pidfd_open_(pid_t pid) {
    return static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
}

// Reads a small /proc file whole. 0 or a negative errno.
int read_proc_file(const std::string &path, std::string *out) {
    FileHandle fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.valid())
        return -errno;
    out->clear();
    char buf[4096];
    for (;;) {
        ssize_t n = read_some(fd.get(), buf, sizeof buf);
        if (n < 0)
            return static_cast<int>(n);
        if (n == 0)
            break;
        out->append(buf, static_cast<size_t>(n));
        if (out->size() > (1u << 20))
            break;
    }
    return 0;
}

// The boot time of the system in seconds since the epoch ("btime" of
// /proc/stat). The kernel derives it from the wall clock minus the time since
// boot, so it moves only when the wall clock is stepped.
int boot_epoch_seconds(uint64_t *out) {
    std::string stat;
    int rc = read_proc_file("/proc/stat", &stat);
    if (rc != 0)
        return rc;
    size_t pos = stat.find("\nbtime ");
    if (pos == std::string::npos)
        return -EIO;
    *out = strtoull(stat.c_str() + pos + 7, nullptr, 10);
    return *out != 0 ? 0 : -EIO;
}

// Kernel clock ticks since boot to 100 ns units since the epoch.
uint64_t ticks_to_epoch_100ns(uint64_t ticks, uint64_t boot_seconds) {
    static const long hz = sysconf(_SC_CLK_TCK);
    uint64_t per_tick = hz > 0 ? 10000000u / static_cast<uint64_t>(hz) : 100000u;
    return boot_seconds * 10000000u + ticks * per_tick;
}

// State letter and start time (field 22, clock ticks since boot) from
// /proc/PID/stat. The command name in field 2 may hold spaces and ")", so the
// fields are counted from the last ")".
int read_stat(pid_t pid, char *state, uint64_t *start_ticks) {
    std::string stat;
    int rc = read_proc_file("/proc/" + std::to_string(pid) + "/stat", &stat);
    if (rc != 0)
        return rc;
    size_t close_paren = stat.rfind(')');
    if (close_paren == std::string::npos || close_paren + 2 >= stat.size())
        return -EIO;
    const char *p = stat.c_str() + close_paren + 2;
    *state = *p;
    // Fields 3 (state) to 21 are skipped: 19 separators before field 22.
    for (int field = 3; field < 22; field++) {
        p = strchr(p, ' ');
        if (p == nullptr)
            return -EIO;
        p++;
    }
    char *end = nullptr;
    errno = 0;
    *start_ticks = strtoull(p, &end, 10);
    if (end == p || errno != 0)
        return -EIO;
    return 0;
}

int read_effective_uid(pid_t pid, std::string *out) {
    std::string status;
    int rc = read_proc_file("/proc/" + std::to_string(pid) + "/status", &status);
    if (rc != 0)
        return rc;
    size_t pos = status.find("\nUid:");
    if (pos == std::string::npos)
        return -EIO;
    // "Uid:" real, effective, saved, filesystem.
    unsigned long real = 0, effective = 0;
    if (sscanf(status.c_str() + pos + 5, "%lu %lu", &real, &effective) != 2)
        return -EIO;
    *out = std::to_string(effective);
    return 0;
}

struct WatchArgs {
    int pidfd;
    NamedEvent *cancel;
};

void *watch_parent(void *arg) {
    WatchArgs args = *static_cast<WatchArgs *>(arg);
    delete static_cast<WatchArgs *>(arg);
    // A pidfd becomes readable when its process exits.
    pollfd p{args.pidfd, POLLIN, 0};
    // Only the parent's exit ends the watch: a signal just restarts the wait.
    while (poll(&p, 1, -1) < 0 && errno == EINTR) {
    }
    named_event_set(args.cancel);
    close(args.pidfd);
    return nullptr;
}

// Closes every descriptor from 3 up except those in keep (sorted).
int close_descriptors_above_2(std::vector<int> keep) {
    std::sort(keep.begin(), keep.end());
    unsigned first = 3;
    int result = 0;
    auto close_span = [&](unsigned lo, unsigned hi) {
        if (lo > hi)
            return;
        if (close_range(lo, hi, 0) == 0)
            return;
        if (errno != ENOSYS && errno != EINVAL) {
            result = -errno;
            return;
        }
        rlimit rl{};
        unsigned limit = getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur != RLIM_INFINITY
                             ? static_cast<unsigned>(std::min<rlim_t>(rl.rlim_cur, 1u << 20))
                             : 65536u;
        for (unsigned fd = lo; fd <= hi && fd < limit; fd++)
            close(static_cast<int>(fd));
    };
    for (int fd : keep) {
        if (fd < static_cast<int>(first))
            continue;
        close_span(first, static_cast<unsigned>(fd) - 1);
        first = static_cast<unsigned>(fd) + 1;
    }
    close_span(first, ~0u);
    return result;
}

} // namespace

int harden_process(std::span<const int> keep) {
    int result = 0;
    auto note = [&](int rc) {
        if (result == 0 && rc != 0)
            result = rc;
    };
    // Not dumpable: no core file, and other processes of the user can neither
    // ptrace this one nor read its memory through /proc.
    if (prctl(PR_SET_DUMPABLE, 0, 0, 0, 0) != 0)
        note(-errno);
    rlimit no_core{0, 0};
    if (setrlimit(RLIMIT_CORE, &no_core) != 0)
        note(-errno);
    umask(077);
    if (signal(SIGPIPE, SIG_IGN) == SIG_ERR)
        note(-errno);
    note(close_descriptors_above_2(std::vector<int>(keep.begin(), keep.end())));
    return result;
}

int raise_locked_memory_limit(uint64_t extra) {
    rlimit rl{};
    if (getrlimit(RLIMIT_MEMLOCK, &rl) != 0)
        return -errno;
    if (rl.rlim_cur == RLIM_INFINITY)
        return 0;
    rlim_t wanted = rl.rlim_cur + extra < rl.rlim_cur || rl.rlim_cur + extra == RLIM_INFINITY
                        ? RLIM_INFINITY - 1
                        : rl.rlim_cur + extra;
    // A privileged process may raise the hard limit as well; anyone else goes
    // only as far as the hard limit.
    if (rl.rlim_max != RLIM_INFINITY && wanted > rl.rlim_max) {
        rlimit both{wanted, wanted};
        if (setrlimit(RLIMIT_MEMLOCK, &both) == 0)
            return 0;
        wanted = rl.rlim_max;
    }
    rlimit soft{wanted, rl.rlim_max};
    return setrlimit(RLIMIT_MEMLOCK, &soft) == 0 ? 0 : -errno;
}

int process_identity(pid_t pid, bool *running, uint64_t *start_time, std::string *uid) {
    if (running)
        *running = false;
    if (start_time)
        *start_time = 0;
    if (pid <= 0)
        return -EINVAL;
    char state = 0;
    uint64_t ticks = 0;
    int rc = read_stat(pid, &state, &ticks);
    if (rc == -ENOENT || rc == -ESRCH)
        return 0;
    if (rc != 0)
        return rc;
    uint64_t boot = 0;
    rc = boot_epoch_seconds(&boot);
    if (rc != 0)
        return rc;
    if (uid) {
        rc = read_effective_uid(pid, uid);
        if (rc == -ENOENT || rc == -ESRCH)
            return 0;
        if (rc != 0)
            return rc;
    }
    if (running)
        *running = state != 'Z' && state != 'X' && state != 'x';
    if (start_time)
        *start_time = ticks_to_epoch_100ns(ticks, boot);
    return 0;
}

bool process_is_same(pid_t pid, uint64_t start_time) {
    if (pid <= 0 || start_time == 0)
        return false;
    bool running = false;
    uint64_t started = 0;
    return process_identity(pid, &running, &started, nullptr) == 0 && running &&
           started == start_time;
}

int process_image_path(pid_t pid, std::string *out) {
    if (pid <= 0)
        return -EINVAL;
    std::string link = "/proc/" + std::to_string(pid) + "/exe";
    char buf[PATH_MAX];
    ssize_t n = readlink(link.c_str(), buf, sizeof buf);
    if (n < 0)
        return -errno;
    if (static_cast<size_t>(n) >= sizeof buf)
        return -ENAMETOOLONG;
    out->assign(buf, static_cast<size_t>(n));
    return 0;
}

int final_path_of_handle(int fd, std::string *out) {
    struct stat st;
    if (fstat(fd, &st) != 0)
        return -errno;
    std::string link = "/proc/self/fd/" + std::to_string(fd);
    char buf[PATH_MAX];
    ssize_t n = readlink(link.c_str(), buf, sizeof buf);
    if (n < 0)
        return -errno;
    if (static_cast<size_t>(n) >= sizeof buf)
        return -ENAMETOOLONG;
    // Pipes, sockets and anonymous descriptors read as "pipe:[...]" and alike.
    if (n == 0 || buf[0] != '/')
        return -EINVAL;
    // An unlinked file reads as "PATH (deleted)": that name is no longer its.
    if (st.st_nlink == 0)
        return -ENOENT;
    out->assign(buf, static_cast<size_t>(n));
    return 0;
}

int launch_process(std::span<const std::string> argv, const LaunchOptions &options,
                   LaunchedProcess *out) {
    if (argv.empty() || argv[0].empty() || argv[0][0] != '/')
        return -EINVAL;
    if (options.detached && (options.kill_with_parent || options.parent_death_signal != 0))
        return -EINVAL;
    std::vector<char *> args;
    for (const std::string &a : argv) {
        if (a.find('\0') != std::string::npos)
            return -EINVAL;
        args.push_back(const_cast<char *>(a.c_str()));
    }
    args.push_back(nullptr);

    std::vector<std::string> env_strings{kChildPath};
    for (const char *name :
         {"HOME", "XDG_DATA_HOME", "XDG_RUNTIME_DIR", "DBUS_SESSION_BUS_ADDRESS"}) {
        if (strcmp(name, "DBUS_SESSION_BUS_ADDRESS") == 0 && !options.session_bus)
            continue;
        const char *value = getenv(name);
        if (value != nullptr && value[0] != '\0')
            env_strings.push_back(std::string(name) + "=" + value);
    }
    std::vector<char *> envp;
    for (std::string &s : env_strings)
        envp.push_back(s.data());
    envp.push_back(nullptr);

    int null_fd = -1;
    if (options.stdin_fd < 0 || options.stdout_fd < 0 || options.stderr_fd < 0) {
        null_fd = open("/dev/null", O_RDWR | O_CLOEXEC);
        if (null_fd < 0)
            return -errno;
    }
    const int sources[3] = {options.stdin_fd >= 0 ? options.stdin_fd : null_fd,
                            options.stdout_fd >= 0 ? options.stdout_fd : null_fd,
                            options.stderr_fd >= 0 ? options.stderr_fd : null_fd};
    // The child reports a failed execve through this pipe; a successful one
    // closes it (close-on-exec), which the parent reads as end of file.
    int report[2];
    if (pipe2(report, O_CLOEXEC) != 0) {
        int e = errno;
        if (null_fd >= 0)
            close(null_fd);
        return -e;
    }
    const pid_t parent = getpid();
    const char *path = args[0];

    pid_t pid = fork();
    if (pid == 0) {
        // Child: only async-signal-safe calls from here to execve.
        int err = 0;
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        struct sigaction dfl {};
        dfl.sa_handler = SIG_DFL;
        for (int sig = 1; sig < NSIG; sig++)
            sigaction(sig, &dfl, nullptr);
        if (options.new_process_group && setpgid(0, 0) != 0)
            err = errno;
        const int death_signal = options.kill_with_parent ? SIGKILL : options.parent_death_signal;
        if (err == 0 && death_signal != 0) {
            if (prctl(PR_SET_PDEATHSIG, death_signal, 0, 0, 0) != 0)
                err = errno;
            else if (getppid() != parent)
                err = ESRCH; // the parent ended before the signal was armed
        }
        // Lift every source above the numbers being placed first, so that
        // placing one cannot overwrite another (the caller may pass 0, 1 or 2
        // in any order), nor the report pipe.
        const size_t extra = options.inherit.size();
        const int first_free = 3 + static_cast<int>(extra);
        int report_fd = report[1];
        if (err == 0 && report_fd < first_free) {
            report_fd = fcntl(report[1], F_DUPFD_CLOEXEC, first_free);
            if (report_fd < 0) {
                report_fd = report[1];
                err = errno;
            }
        }
        int lifted[3] = {-1, -1, -1};
        for (int i = 0; i < 3 && err == 0; i++) {
            lifted[i] = fcntl(sources[i], F_DUPFD_CLOEXEC, first_free);
            if (lifted[i] < 0)
                err = errno;
        }
        int lifted_extra[8];
        if (extra > sizeof lifted_extra / sizeof lifted_extra[0])
            err = EINVAL;
        for (size_t i = 0; i < extra && err == 0; i++) {
            lifted_extra[i] = fcntl(options.inherit[i], F_DUPFD_CLOEXEC, first_free);
            if (lifted_extra[i] < 0)
                err = errno;
        }
        for (int i = 0; i < 3 && err == 0; i++)
            if (dup2(lifted[i], i) < 0)
                err = errno;
        for (size_t i = 0; i < extra && err == 0; i++)
            if (dup2(lifted_extra[i], 3 + static_cast<int>(i)) < 0)
                err = errno;
        if (err == 0 && close_range(unsigned(first_free), ~0u, CLOSE_RANGE_CLOEXEC) != 0) {
            // Older kernels: close everything but the report pipe by hand.
            rlimit rl{};
            unsigned limit = getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur != RLIM_INFINITY
                                 ? static_cast<unsigned>(rl.rlim_cur)
                                 : 65536u;
            for (unsigned fd = unsigned(first_free); fd < limit; fd++)
                if (static_cast<int>(fd) != report_fd)
                    close(static_cast<int>(fd));
        }
        if (err == 0 && chdir("/") != 0)
            err = errno;
        if (err == 0 && options.detached) {
            // The intermediate exits at once; its child (still holding the
            // report pipe) becomes the daemon.
            pid_t daemon = fork();
            if (daemon > 0)
                _exit(0);
            if (daemon < 0 || setsid() < 0)
                err = errno;
        }
        if (err == 0) {
            execve(path, args.data(), envp.data());
            err = errno;
        }
        (void)write_full(report_fd, &err, sizeof err);
        _exit(127);
    }
    int fork_errno = errno;
    close(report[1]);
    if (null_fd >= 0)
        close(null_fd);
    if (pid < 0) {
        close(report[0]);
        return -fork_errno;
    }
    int child_err = 0;
    ssize_t n = read_some(report[0], &child_err, sizeof child_err);
    close(report[0]);
    if (options.detached) {
        // The intermediate has exited (or exits now); the report came from
        // it or from the daemon, which nobody here may wait for.
        (void)process_wait(pid, nullptr, 0);
        if (n == static_cast<ssize_t>(sizeof child_err))
            return child_err != 0 ? -child_err : -EIO;
        *out = LaunchedProcess{};
        return 0;
    }
    if (n == static_cast<ssize_t>(sizeof child_err)) {
        // The failed child must be reaped whatever interrupts the wait.
        (void)process_wait(pid, nullptr, 0);
        return child_err != 0 ? -child_err : -EIO;
    }
    // The child has not been reaped, so its /proc entry (a zombie at worst)
    // still gives its start time, and the pidfd names this very child.
    LaunchedProcess launched;
    launched.pid = pid;
    process_identity(pid, nullptr, &launched.start_time, nullptr);
    launched.pidfd = pidfd_open_(pid);
    *out = launched;
    return 0;
}

int parent_watch_start_for(pid_t parent, NamedEvent *cancel) {
    int rc = 0;
    int pidfd = -1;
    if (parent <= 1) {
        rc = -ESRCH; // handed to init: the real parent has ended
    } else if ((pidfd = pidfd_open_(parent)) < 0) {
        rc = -errno;
    } else {
        bool running = false;
        uint64_t parent_start = 0, own_start = 0;
        rc = process_identity(parent, &running, &parent_start, nullptr);
        if (rc == 0)
            rc = process_identity(getpid(), nullptr, &own_start, nullptr);
        // A parent that started after this process is a newer process that
        // received the id of the real one.
        if (rc == 0 &&
            (!running || parent_start == 0 || own_start == 0 || parent_start > own_start))
            rc = -ESRCH;
    }
    if (rc == 0) {
        auto *args = new WatchArgs{pidfd, cancel};
        pthread_attr_t attr;
        pthread_t thread;
        pthread_attr_init(&attr);
        pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
        int e = pthread_create(&thread, &attr, watch_parent, args);
        pthread_attr_destroy(&attr);
        if (e == 0)
            return 0;
        delete args;
        rc = -e;
    }
    if (pidfd >= 0)
        close(pidfd);
    named_event_set(cancel);
    return rc;
}

int parent_watch_start(NamedEvent *cancel) {
    pid_t parent = getppid();
    int rc = parent_watch_start_for(parent, cancel);
    // If the parent ended before its pidfd was taken, this process has been
    // handed to another one by now: the watch would name a stranger.
    if (rc == 0 && getppid() != parent) {
        named_event_set(cancel);
        rc = -ESRCH;
    }
    return rc;
}

pid_t process_wait(pid_t pid, int *status, int options) {
    for (;;) {
        pid_t got = waitpid(pid, status, options);
        if (got >= 0)
            return got;
        if (errno != EINTR)
            return -errno;
    }
}

} // namespace tw
