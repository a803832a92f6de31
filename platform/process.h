// Processes: start-up hardening, identity, launching children and watching
// the parent.
//
// A process is identified by its id together with its start time, never by
// its id alone, because ids are reused. Start times are in 100-nanosecond
// units since 1970-01-01 UTC, at the kernel's clock-tick resolution.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <sys/types.h>

namespace tw {

struct NamedEvent;

// Start-up hardening, the first call of every program: no core dumps and no
// ptrace or /proc access by other unprivileged processes (PR_SET_DUMPABLE 0,
// RLIMIT_CORE 0), files and folders created private (umask 077), SIGPIPE
// ignored (a closed pipe is an EPIPE error, not death), and every inherited
// descriptor above 2 closed except those listed in keep (a child started with
// descriptors of its own names them). Returns 0 or the first step's error;
// the remaining steps are still taken.
int harden_process(std::span<const int> keep = {});

// Raises the soft limit of locked memory by extra bytes, as far as the hard
// limit allows (a privileged process raises the hard limit too), so that key
// buffers can be locked. 0 or a negative errno.
int raise_locked_memory_limit(uint64_t extra);

// Whether pid is running (a zombie is not), its start time, and optionally
// its effective user id as decimal text. Returns 0 (with *running false and
// *start_time 0 when there is no such process) or a negative errno when
// /proc cannot be read. Any output pointer may be null.
int process_identity(pid_t pid, bool *running, uint64_t *start_time, std::string *uid);

// True when the process pid is running and started at start_time. False for
// a zero id or time.
bool process_is_same(pid_t pid, uint64_t start_time);

// The program file of the process (readlink of /proc/PID/exe). 0 or a
// negative errno (-EACCES when the process is not ours to inspect).
int process_image_path(pid_t pid, std::string *out);

// The path of the file open as fd (readlink of /proc/self/fd/N). -ENOENT when
// the file no longer has a name, -EINVAL when fd is not a file in a folder
// (a pipe, socket or anonymous descriptor).
int final_path_of_handle(int fd, std::string *out);

struct LaunchOptions {
    // Descriptors that become the child's 0, 1 and 2; -1 gives /dev/null.
    int stdin_fd = -1;
    int stdout_fd = -1;
    int stderr_fd = -1;
    // The child leads a new process group (setpgid), so a signal to the
    // caller's group does not reach it and its group can be signalled alone.
    bool new_process_group = false;
    // The child is killed (SIGKILL) when the launching thread ends.
    bool kill_with_parent = false;
    // Otherwise, when non-zero: the signal the child receives when the
    // launching thread ends, for a child that cleans up before it exits.
    // Either way a launcher that ends before the signal is armed leaves no
    // child running.
    int parent_death_signal = 0;
    // The child is a daemon of its own: it leads a new session (setsid) and
    // is started through an intermediate process that exits at once, so it
    // is never the caller's child (no zombie waits on the caller, no signal
    // of the caller's session reaches it). Nothing else may be asked of its
    // lifetime: kill_with_parent and parent_death_signal are refused, and
    // the result carries no identity (pid 0, pidfd -1).
    bool detached = false;
    // The child also gets DBUS_SESSION_BUS_ADDRESS when the caller has it: a
    // child that talks to the desktop (the keyring) needs the user's session
    // bus, which is not always at its standard place in the runtime folder.
    bool session_bus = false;
    // Further descriptors the child gets, as 3, 4, ... in this order (for a
    // child that was told their numbers); nothing else is inherited.
    std::span<const int> inherit;
};

struct LaunchedProcess {
    pid_t pid = 0;
    uint64_t start_time = 0; // with pid, the child's identity
    int pidfd = -1;          // to wait on or poll the child; the caller closes it
};

// Starts argv[0], an absolute path, with the arguments exactly as given (no
// quoting, no search path). The child gets the three descriptors of options
// and those of options.inherit, no other descriptor of this process, the environment
// PATH=/usr/sbin:/usr/bin:/sbin:/bin plus HOME, XDG_DATA_HOME and
// XDG_RUNTIME_DIR each when set here, the working folder "/", default signal
// handling and an empty signal mask. Returns 0 once the program is executing;
// -EINVAL for an empty argv, a relative path or a NUL inside an argument; the
// error of execve (e.g. -ENOENT, -EACCES) when the program could not start
// (the failed child is reaped); or another negative errno. A detached child
// is reported the same way: success once it is executing.
int launch_process(std::span<const std::string> argv, const LaunchOptions &options,
                   LaunchedProcess *out);

// waitpid, repeated only when a signal interrupted it: the child's pid, 0
// (WNOHANG and still running) or a negative errno value.
pid_t process_wait(pid_t pid, int *status, int options);

// Watches the parent process and sets cancel when it ends. The parent is the
// one getppid names; id 1 means it has already ended (this process was handed
// to init). It is trusted only when it started no later than this process
// (otherwise its id was reused; start times within one clock tick count as
// "no later", and the parent id is read again after the pidfd is taken); a detached thread then
// waits on it and sets cancel when it exits. When any step fails or the parent is not trusted,
// cancel is set at once and a negative errno is returned. The event must stay
// open for the rest of the process's life.
int parent_watch_start(NamedEvent *cancel);

// The same for a given parent id; parent_watch_start and tests use it.
int parent_watch_start_for(pid_t parent, NamedEvent *cancel);

} // namespace tw
