#include "worker/tests/support/worker_run.h"

#include "iscsi/tests/support/programs.h"
#include "platform/named_event.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <openssl/evp.h>
#include <poll.h>
#include <sched.h>
#include <spawn.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

extern char **environ;

namespace tw::test {

namespace {

const char *kPidFile = "/run/tarnwick/initiator.pid";

void put32(Bytes &out, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        out.push_back(uint8_t(v >> (8 * i)));
}

// Feeds `input` and collects both outputs until the process closes them.
bool exchange(int in, int out, int err, const Bytes &input, std::string *out_text,
              std::string *err_text, int timeout_seconds) {
    bool timed_out = false;
    size_t written = 0;
    if (input.empty()) {
        close(in);
        in = -1;
    }
    timespec start;
    clock_gettime(CLOCK_MONOTONIC, &start);
    while (out >= 0 || err >= 0) {
        pollfd fds[3];
        int n = 0;
        if (in >= 0)
            fds[n++] = {in, POLLOUT, 0};
        if (out >= 0)
            fds[n++] = {out, POLLIN, 0};
        if (err >= 0)
            fds[n++] = {err, POLLIN, 0};
        timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        if (now.tv_sec - start.tv_sec > timeout_seconds) {
            timed_out = true;
            break;
        }
        if (poll(fds, nfds_t(n), 1000) <= 0)
            continue;
        for (int i = 0; i < n; ++i) {
            if (!fds[i].revents)
                continue;
            if (fds[i].fd == in) {
                ssize_t w = write(in, input.data() + written, input.size() - written);
                if (w > 0)
                    written += size_t(w);
                if (w < 0 || written == input.size()) {
                    close(in);
                    in = -1;
                }
                continue;
            }
            char buffer[65536];
            ssize_t r = read(fds[i].fd, buffer, sizeof buffer);
            if (r <= 0) {
                close(fds[i].fd);
                (fds[i].fd == out ? out : err) = -1;
                continue;
            }
            std::string *to = fds[i].fd == out ? out_text : err_text;
            if (to)
                to->append(buffer, size_t(r));
        }
    }
    for (int fd : {in, out, err})
        if (fd >= 0)
            close(fd);
    return timed_out;
}

std::string member_text(const std::string &line, const std::string &name) {
    std::string key = "\"" + name + "\":";
    size_t at = line.find(key);
    if (at == std::string::npos)
        return "";
    at += key.size();
    if (line[at] == '"') {
        size_t end = line.find('"', at + 1);
        return line.substr(at + 1, end - at - 1);
    }
    size_t end = line.find_first_of(",}", at);
    return line.substr(at, end - at);
}

std::string bin(const std::string &name) {
    return std::string(TW_BIN_DIR) + "/" + name;
}

std::vector<std::string> initiator_argv(const WorkerProcess &worker,
                                        const std::vector<std::string> &commands, bool published) {
    // The shell publishes its own id and then becomes the initiator.
    std::string script = published ? "echo $$ > /run/tarnwick/initiator.pid; exec \"$0\" \"$@\""
                                   : "exec \"$0\" \"$@\"";
    std::vector<std::string> argv = {"/bin/sh", "-c", script, bin("iscsi-io"), worker.url()};
    argv.insert(argv.end(), commands.begin(), commands.end());
    return argv;
}

} // namespace

bool private_namespace_ready(std::string *why) {
    static int state = 0; // 0 not tried, 1 ready, 2 failed
    static std::string reason;
    if (state == 0) {
        state = 2;
        if (geteuid() != 0) {
            reason = "needs root for a private mount namespace";
        } else if (unshare(CLONE_NEWNS) != 0) {
            reason = std::string("unshare: ") + std::strerror(errno);
        } else if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
            reason = std::string("making mounts private: ") + std::strerror(errno);
        } else {
            mkdir("/run/tarnwick", 0755);
            if (mount("tmpfs", "/run/tarnwick", "tmpfs", 0, "mode=0755,size=1m") != 0)
                reason = std::string("tmpfs on /run/tarnwick: ") + std::strerror(errno);
            else
                state = 1;
        }
    }
    if (why)
        *why = reason;
    return state == 1;
}

Bytes credential_request(const std::string &password, uint32_t cipher,
                         const std::string &system_key) {
    Bytes out;
    put32(out, 1);
    put32(out, cipher);
    put32(out, uint32_t(password.size()));
    put32(out, uint32_t(system_key.size()));
    out.insert(out.end(), password.begin(), password.end());
    out.insert(out.end(), system_key.begin(), system_key.end());
    return out;
}

Bytes credential_request_new(const std::string &current, const std::string &fresh) {
    Bytes out;
    put32(out, 2);
    put32(out, 255);
    put32(out, uint32_t(current.size()));
    put32(out, 0);
    put32(out, uint32_t(fresh.size()));
    out.insert(out.end(), current.begin(), current.end());
    out.insert(out.end(), fresh.begin(), fresh.end());
    return out;
}

Bytes read_file(const std::string &path) {
    Bytes bytes;
    if (FILE *f = std::fopen(path.c_str(), "rb")) {
        uint8_t buffer[65536];
        size_t got;
        while ((got = std::fread(buffer, 1, sizeof buffer, f)) > 0)
            bytes.insert(bytes.end(), buffer, buffer + got);
        std::fclose(f);
    }
    return bytes;
}

void write_file(const std::string &path, const Bytes &bytes) {
    if (FILE *f = std::fopen(path.c_str(), "wb")) {
        if (!bytes.empty())
            std::fwrite(bytes.data(), 1, bytes.size(), f);
        std::fclose(f);
    }
}

std::string sha256_of_file(const std::string &path) {
    Bytes bytes = read_file(path);
    unsigned char digest[32];
    unsigned int length = 0;
    EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha256(), nullptr);
    std::string hex;
    char two[3];
    for (unsigned i = 0; i < length; ++i) {
        std::snprintf(two, sizeof two, "%02x", digest[i]);
        hex += two;
    }
    return hex;
}

int run(const std::vector<std::string> &argv, const Bytes &input, std::string *out,
        std::string *err, int timeout_seconds) {
    int in[2], o[2], e[2];
    if (pipe2(in, O_CLOEXEC) || pipe2(o, O_CLOEXEC) || pipe2(e, O_CLOEXEC))
        return -1;
    pid_t pid = spawn_program(argv, in[0], o[1], e[1]);
    close(in[0]);
    close(o[1]);
    close(e[1]);
    if (pid < 0) {
        close(in[1]);
        close(o[0]);
        close(e[0]);
        return -1;
    }
    std::string ignored;
    if (exchange(in[1], o[0], e[0], input, out ? out : &ignored, err ? err : &ignored,
                 timeout_seconds))
        kill(pid, SIGKILL);
    return wait_program(pid);
}

bool shell(const std::string &command) {
    std::string out, err;
    int rc = run({"/bin/sh", "-c", command}, {}, &out, &err);
    if (rc != 0)
        std::fprintf(stderr, "command failed (%d): %s\n%s%s", rc, command.c_str(), out.c_str(),
                     err.c_str());
    return rc == 0;
}

WorkerProcess::~WorkerProcess() {
    if (pid > 0) {
        ::kill(pid, SIGKILL);
        wait_program(pid);
    }
}

std::string WorkerProcess::url() const {
    return "iscsi://tarnwick%" + secret + "@127.0.0.1:" + std::to_string(port) + "/" + target +
           "/0";
}

bool WorkerProcess::signal(const std::string &event) const {
    NamedEvent *handle = nullptr;
    if (named_event_open(event + "." + mount_id, &handle) != 0)
        return false;
    named_event_set(handle);
    named_event_close(handle);
    return true;
}

int WorkerProcess::stop() {
    if (pid <= 0)
        return exit_code;
    signal("Stop");
    return wait();
}

void WorkerProcess::kill_now() {
    if (pid <= 0)
        return;
    ::kill(pid, SIGKILL);
    wait_program(pid);
    pid = -1;
    exit_code = -1;
}

int WorkerProcess::wait() {
    if (pid > 0) {
        exit_code = wait_program(pid);
        pid = -1;
    }
    return exit_code;
}

void start_worker(WorkerProcess *worker, const std::vector<std::string> &args, const Bytes &input) {
    // A worker that refuses its command line ends before reading its input.
    signal(SIGPIPE, SIG_IGN);
    std::vector<std::string> argv = {bin("tarnwick-worker")};
    argv.insert(argv.end(), args.begin(), args.end());
    if (args.size() >= 2)
        worker->mount_id = args[1];
    int in[2], o[2];
    if (pipe2(in, O_CLOEXEC) || pipe2(o, O_CLOEXEC))
        return;
    // Standard error goes to the test's own, like a worker.log.
    worker->pid = spawn_program(argv, in[0], o[1], 2);
    close(in[0]);
    close(o[1]);
    if (!input.empty() && write(in[1], input.data(), input.size()) != ssize_t(input.size()))
        std::fprintf(stderr, "short write of the credential request\n");
    close(in[1]);
    std::string text;
    while (text.find('\n') == std::string::npos) {
        pollfd pfd{o[0], POLLIN, 0};
        char buffer[4096];
        ssize_t n = poll(&pfd, 1, 60000) == 1 ? read(o[0], buffer, sizeof buffer) : 0;
        if (n <= 0)
            break;
        text.append(buffer, size_t(n));
    }
    close(o[0]);
    worker->line = text.substr(0, text.find('\n'));
    if (member_text(worker->line, "event") == "ready") {
        worker->port = uint16_t(std::atoi(member_text(worker->line, "port").c_str()));
        worker->target = member_text(worker->line, "target");
        worker->secret = member_text(worker->line, "chapSecret");
    } else {
        worker->wait();
    }
}

void serve(WorkerProcess *worker, const std::string &mount_id, const std::string &container,
           const std::string &status, const std::string &mode, const Bytes &input) {
    start_worker(worker, {"serve", mount_id, container, status, mode}, input);
}

int initiator(const WorkerProcess &worker, const std::vector<std::string> &commands,
              std::string *output, bool published) {
    if (!published) {
        // Somebody else is the published initiator.
        FILE *f = std::fopen(kPidFile, "w");
        if (f) {
            std::fprintf(f, "%d\n", getpid());
            std::fclose(f);
        }
    }
    return run(initiator_argv(worker, commands, published), {}, output, output);
}

InitiatorProcess::~InitiatorProcess() {
    if (pid > 0) {
        ::kill(pid, SIGKILL);
        wait_program(pid);
    }
    if (out >= 0)
        close(out);
}

bool InitiatorProcess::wait_for(const std::string &text, int timeout_ms) {
    while (output.find(text) == std::string::npos) {
        pollfd pfd{out, POLLIN, 0};
        char buffer[4096];
        ssize_t n = poll(&pfd, 1, timeout_ms) == 1 ? read(out, buffer, sizeof buffer) : 0;
        if (n <= 0)
            return false;
        output.append(buffer, size_t(n));
    }
    return true;
}

int InitiatorProcess::wait() {
    wait_for("\x01", 30000); // drains to the end
    int code = pid > 0 ? wait_program(pid) : -1;
    pid = -1;
    return code;
}

void InitiatorProcess::kill_now() {
    if (pid > 0) {
        ::kill(pid, SIGKILL);
        wait_program(pid);
    }
    pid = -1;
}

void start_initiator(InitiatorProcess *process, const WorkerProcess &worker,
                     const std::vector<std::string> &commands) {
    int o[2];
    if (pipe2(o, O_CLOEXEC))
        return;
    int null_in = open("/dev/null", O_RDONLY | O_CLOEXEC);
    process->pid = spawn_program(initiator_argv(worker, commands, true), null_in, o[1], o[1]);
    close(null_in);
    close(o[1]);
    process->out = o[0];
}

uint32_t status32(const std::string &path, size_t offset) {
    Bytes b = read_file(path);
    if (b.size() < offset + 4)
        return 0xFFFFFFFF;
    return uint32_t(b[offset]) | uint32_t(b[offset + 1]) << 8 | uint32_t(b[offset + 2]) << 16 |
           uint32_t(b[offset + 3]) << 24;
}

uint64_t status64(const std::string &path, size_t offset) {
    return status32(path, offset) | uint64_t(status32(path, offset + 4)) << 32;
}

} // namespace tw::test
