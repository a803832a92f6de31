#include "request.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace tw::test {

namespace {

void put32(std::vector<uint8_t> &out, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

} // namespace

std::vector<uint8_t> encode(const Request &r) {
    std::vector<uint8_t> out;
    put32(out, r.kind);
    put32(out, r.cipher);
    put32(out,
          static_cast<uint32_t>(r.password_length >= 0 ? r.password_length
                                                       : static_cast<int64_t>(r.password.size())));
    put32(out, static_cast<uint32_t>(r.system_key_length >= 0
                                         ? r.system_key_length
                                         : static_cast<int64_t>(r.system_key.size())));
    if (r.kind == 2)
        put32(out, static_cast<uint32_t>(r.new_password_length >= 0
                                             ? r.new_password_length
                                             : static_cast<int64_t>(r.new_password.size())));
    out.insert(out.end(), r.password.begin(), r.password.end());
    out.insert(out.end(), r.system_key.begin(), r.system_key.end());
    if (r.kind == 2)
        out.insert(out.end(), r.new_password.begin(), r.new_password.end());
    out.insert(out.end(), r.trailing.begin(), r.trailing.end());
    return out;
}

std::vector<std::string> EngineRun::lines() const {
    std::vector<std::string> result;
    size_t start = 0;
    while (start < out.size()) {
        size_t end = out.find('\n', start);
        if (end == std::string::npos) {
            result.push_back(out.substr(start));
            break;
        }
        result.push_back(out.substr(start, end - start));
        start = end + 1;
    }
    return result;
}

static EngineRun run_engine_impl(const std::vector<std::string> &args,
                                 const std::vector<uint8_t> &stdin_bytes,
                                 const std::function<void(const std::string &, int)> &on_line,
                                 std::string *runtime_dir, int as_user = -1,
                                 bool deny_locking = false, const std::string &program_path = {},
                                 const std::string &home = {});

EngineRun run_engine_with(const std::string &program, const std::string &home,
                          const std::vector<std::string> &args,
                          const std::vector<uint8_t> &stdin_bytes,
                          const std::function<void(const std::string &line, int pid)> &on_line) {
    return run_engine_impl(args, stdin_bytes, on_line, nullptr, -1, false, program, home);
}

EngineRun run_engine(const std::vector<std::string> &args, const std::vector<uint8_t> &stdin_bytes,
                     std::string *runtime_dir) {
    return run_engine_impl(args, stdin_bytes, nullptr, runtime_dir);
}

EngineRun
run_engine_watching(const std::vector<std::string> &args, const std::vector<uint8_t> &stdin_bytes,
                    const std::function<void(const std::string &line, int pid)> &on_line) {
    return run_engine_impl(args, stdin_bytes, on_line, nullptr);
}

EngineRun run_engine_as_user(uid_t uid, const std::vector<std::string> &args,
                             const std::vector<uint8_t> &stdin_bytes, bool deny_memory_locking) {
    return run_engine_impl(args, stdin_bytes, nullptr, nullptr, int(uid), deny_memory_locking);
}

static EngineRun run_engine_impl(const std::vector<std::string> &args,
                                 const std::vector<uint8_t> &stdin_bytes,
                                 const std::function<void(const std::string &, int)> &on_line,
                                 std::string *runtime_dir, int as_user, bool deny_locking,
                                 const std::string &program_path, const std::string &home) {
    EngineRun run;
    char dir_template[] = "/tmp/tw-engine-test-XXXXXX";
    const char *dir = mkdtemp(dir_template);
    if (dir == nullptr)
        return run;
    if (runtime_dir)
        *runtime_dir = dir;
    if (as_user >= 0 && chown(dir, uid_t(as_user), gid_t(as_user)) != 0)
        return run;

    int in[2], out[2], err[2];
    if (pipe2(in, O_CLOEXEC) || pipe2(out, O_CLOEXEC) || pipe2(err, O_CLOEXEC))
        return run;
    std::string program =
        program_path.empty() ? std::string(TW_BIN_DIR) + "/tarnwick-engine" : program_path;
    std::vector<std::string> words = args;
    words.insert(words.begin(), program);
    std::vector<char *> argv;
    for (auto &w : words)
        argv.push_back(w.data());
    argv.push_back(nullptr);

    pid_t pid = fork();
    if (pid == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        dup2(err[1], 2);
        setenv("XDG_RUNTIME_DIR", dir, 1);
        setenv("HOME", home.empty() ? dir : home.c_str(), 1);
        if (!home.empty())
            unsetenv("XDG_DATA_HOME");
        // A limit of 0 that the engine cannot raise: it denies every lock
        // once the user switch below has dropped root's capabilities.
        struct rlimit none = {0, 0};
        if (deny_locking && setrlimit(RLIMIT_MEMLOCK, &none) != 0)
            _exit(126);
        if (as_user >= 0 && (setgroups(0, nullptr) != 0 || setgid(gid_t(as_user)) != 0 ||
                             setuid(uid_t(as_user)) != 0))
            _exit(126);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    close(err[1]);
    if (on_line && pid > 0)
        on_line(std::string(), pid); // started: the id is known from here on
    // The engine may stop reading early (a rejected request); a broken pipe
    // then is expected and not a test failure.
    signal(SIGPIPE, SIG_IGN);
    size_t written = 0;
    while (written < stdin_bytes.size()) {
        ssize_t n = write(in[1], stdin_bytes.data() + written, stdin_bytes.size() - written);
        if (n <= 0)
            break;
        written += static_cast<size_t>(n);
    }
    close(in[1]);

    pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    int open_count = 2;
    while (open_count > 0) {
        if (poll(fds, 2, 30000) <= 0)
            break;
        for (pollfd &p : fds) {
            if (p.fd < 0 || !(p.revents & (POLLIN | POLLHUP)))
                continue;
            char buf[4096];
            ssize_t n = read(p.fd, buf, sizeof buf);
            if (n <= 0) {
                close(p.fd);
                p.fd = -1;
                --open_count;
            } else {
                if (p.fd != out[0]) {
                    run.err.append(buf, static_cast<size_t>(n));
                    continue;
                }
                size_t before = run.out.size();
                run.out.append(buf, static_cast<size_t>(n));
                if (!on_line)
                    continue;
                // Report every line completed by this read.
                size_t start = run.out.rfind('\n', before == 0 ? 0 : before - 1);
                start = (start == std::string::npos || before == 0) ? 0 : start + 1;
                for (size_t end; (end = run.out.find('\n', start)) != std::string::npos;
                     start = end + 1)
                    if (end >= before)
                        on_line(run.out.substr(start, end - start), pid);
            }
        }
    }
    for (pollfd &p : fds)
        if (p.fd >= 0)
            close(p.fd);
    int status = 0;
    waitpid(pid, &status, 0);
    run.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    if (!runtime_dir) {
        std::string cmd = std::string("rm -rf '") + dir + "'";
        if (std::system(cmd.c_str()) != 0)
            run.err += "\n(test: could not remove the temporary folder)";
    }
    return run;
}

UserFolder::UserFolder(uid_t u) : uid(u) {
    if (geteuid() != 0) {
        skip_reason = "running the engine as another user needs root";
        return;
    }
    char tmpl[] = "/tmp/tw-user-XXXXXX";
    if (mkdtemp(tmpl) == nullptr || chown(tmpl, uid, uid) != 0) {
        skip_reason = "no folder for the user";
        return;
    }
    path = tmpl;
    if (run_engine_as_user(uid, {"creation-options"}, {}).exit_code != 0)
        skip_reason = "the engine cannot run as uid " + std::to_string(uid) + " from this build";
}

UserFolder::~UserFolder() {
    if (path.empty())
        return;
    std::string command = "rm -rf '" + path + "'";
    if (std::system(command.c_str()) != 0)
        std::fprintf(stderr, "could not remove %s\n", path.c_str());
}

std::string UserFolder::put(const std::string &name, const std::vector<uint8_t> &bytes,
                            mode_t mode) {
    std::string file = path + "/" + name;
    int fd = open(file.c_str(), O_CREAT | O_TRUNC | O_WRONLY | O_CLOEXEC, 0600);
    if (fd < 0)
        return file;
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n <= 0)
            break;
        done += size_t(n);
    }
    if (fchown(fd, uid, uid) != 0 || fchmod(fd, mode) != 0)
        std::fprintf(stderr, "could not give %s to uid %u\n", file.c_str(), unsigned(uid));
    close(fd);
    return file;
}

} // namespace tw::test
