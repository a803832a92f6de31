#include "iscsi/tests/support/programs.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

extern char **environ;

namespace tw::test {

pid_t spawn_program(const std::vector<std::string> &argv, int in, int out, int err) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (in >= 0)
        posix_spawn_file_actions_adddup2(&actions, in, 0);
    if (out >= 0)
        posix_spawn_file_actions_adddup2(&actions, out, 1);
    if (err >= 0)
        posix_spawn_file_actions_adddup2(&actions, err, 2);
    std::vector<char *> args;
    for (const std::string &arg : argv)
        args.push_back(const_cast<char *>(arg.c_str()));
    args.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ) != 0)
        pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

int wait_program(pid_t pid) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0)
        if (errno != EINTR)
            return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int ServedFile::stop() {
    if (pid <= 0)
        return -1;
    kill(pid, SIGTERM);
    int status = wait_program(pid);
    pid = -1;
    return status;
}

bool serve_file(ServedFile *served, const std::string &path, const std::string &target_name,
                const std::string &chap_name, const std::string &secret,
                const std::vector<std::string> &options) {
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0)
        return false;
    if (pipe2(out, O_CLOEXEC) != 0) {
        close(in[0]);
        close(in[1]);
        return false;
    }
    std::vector<std::string> argv{std::string(TW_BIN_DIR) + "/target-serve"};
    argv.insert(argv.end(), options.begin(), options.end());
    argv.insert(argv.end(), {path, target_name, chap_name});
    served->pid = spawn_program(argv, in[0], out[1], out[1]);
    close(in[0]);
    close(out[1]);
    std::string line = secret + "\n";
    bool ok = served->pid > 0 &&
              write(in[1], line.data(), line.size()) == static_cast<ssize_t>(line.size());
    close(in[1]);
    std::string text;
    while (ok && text.find('\n') == std::string::npos) {
        pollfd pfd{out[0], POLLIN, 0};
        char buffer[64];
        ssize_t n = poll(&pfd, 1, 10000) == 1 ? read(out[0], buffer, sizeof buffer) : 0;
        if (n <= 0)
            ok = false;
        else
            text.append(buffer, static_cast<size_t>(n));
    }
    close(out[0]);
    if (ok) {
        long port = strtol(text.c_str(), nullptr, 10);
        ok = port > 0 && port < 65536;
        served->port = static_cast<uint16_t>(port);
    }
    if (!ok)
        served->stop();
    return ok;
}

int run_program(const std::vector<std::string> &argv, std::string *output, int timeout_seconds) {
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0)
        return -1;
    pid_t pid = spawn_program(argv, -1, out[1], out[1]);
    close(out[1]);
    if (pid < 0) {
        close(out[0]);
        return -1;
    }
    timespec start;
    clock_gettime(CLOCK_MONOTONIC, &start);
    for (;;) {
        pollfd pfd{out[0], POLLIN, 0};
        timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        if (now.tv_sec - start.tv_sec > timeout_seconds) {
            kill(pid, SIGKILL);
            break;
        }
        if (poll(&pfd, 1, 1000) <= 0)
            continue;
        char buffer[4096];
        ssize_t n = read(out[0], buffer, sizeof buffer);
        if (n <= 0)
            break;
        output->append(buffer, static_cast<size_t>(n));
    }
    close(out[0]);
    return wait_program(pid);
}

TempDir::TempDir() {
    const char *base = getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/tw-iscsi-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (mkdtemp(buffer.data()))
        path = buffer.data();
}

TempDir::~TempDir() {
    if (path.empty())
        return;
    std::string output;
    run_program({"/bin/rm", "-rf", path}, &output, 60);
}

} // namespace tw::test
