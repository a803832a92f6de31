// Running the real broker in a test, and talking to it as root or as
// another user. Header-only, so the engine's tests can use it as well.
#pragma once

#include "runtime/json.h"
#include "runtime/pipes.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <functional>
#include <sched.h>
#include <string>
#include <sys/mount.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace tw::test {

inline constexpr const char *kBrokerSocket = kBrokerSocketPath;

inline std::string broker_program() {
    return std::string(TW_BIN_DIR) + "/tarnwick-broker";
}

struct ProgramRun {
    int status = -1; // exit code, or 128 + signal
    std::string out;
    std::string err;
};

// Runs a program to its end with extra environment entries ("NAME=value"),
// optionally as another user; returns its exit code and what it printed.
// With `alone` the program sees only its own processes (a PID namespace
// with its own /proc): programs that look for running engines then ignore
// those of tests running beside this one.
inline ProgramRun run_program(const std::vector<std::string> &argv,
                              const std::vector<std::string> &env = {}, uid_t uid = 0,
                              bool alone = false) {
    int out[2], err[2];
    ProgramRun run;
    if (pipe2(out, O_CLOEXEC) != 0)
        return run;
    if (pipe2(err, O_CLOEXEC) != 0) {
        close(out[0]);
        close(out[1]);
        return run;
    }
    pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], 1);
        dup2(err[1], 2);
        if (alone) {
            if (unshare(CLONE_NEWPID | CLONE_NEWNS) != 0)
                _exit(97);
            pid_t inner = fork();
            if (inner != 0) {
                int status = 0;
                waitpid(inner, &status, 0);
                _exit(WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
            }
            if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
                mount("proc", "/proc", "proc", MS_NOSUID | MS_NODEV | MS_NOEXEC, nullptr) != 0)
                _exit(96);
        }
        if (uid != 0 && (setresgid(uid, uid, uid) != 0 || setresuid(uid, uid, uid) != 0))
            _exit(99);
        std::vector<char *> args, envp;
        for (const std::string &a : argv)
            args.push_back(const_cast<char *>(a.c_str()));
        args.push_back(nullptr);
        std::vector<std::string> environment = {"PATH=/usr/sbin:/usr/bin:/sbin:/bin"};
        environment.insert(environment.end(), env.begin(), env.end());
        for (std::string &e : environment)
            envp.push_back(e.data());
        envp.push_back(nullptr);
        execve(args[0], args.data(), envp.data());
        _exit(127);
    }
    close(out[1]);
    close(err[1]);
    // Standard error is read once standard output has ended; the programs
    // run here print little to either.
    char buf[4096];
    ssize_t n;
    while ((n = read(out[0], buf, sizeof buf)) > 0)
        run.out.append(buf, static_cast<size_t>(n));
    while ((n = read(err[0], buf, sizeof buf)) > 0)
        run.err.append(buf, static_cast<size_t>(n));
    close(out[0]);
    close(err[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return run;
}

// The broker as a child process, started without arguments.
struct BrokerProcess {
    pid_t pid = -1;

    // Starts the broker and waits until it answers a request, which it does
    // once its records are loaded (or until it has ended). True when it
    // answers.
    bool start() {
        pid = fork();
        if (pid == 0) {
            std::string program = broker_program();
            char *args[] = {program.data(), nullptr};
            char path[] = "PATH=/usr/sbin:/usr/bin:/sbin:/bin";
            char *envp[] = {path, nullptr};
            execve(args[0], args, envp);
            _exit(127);
        }
        for (int i = 0; i < 500; i++) {
            FileHandle fd;
            if (pipe_connect(kBrokerSocket, 0, &fd) == 0) {
                JsonValue *request = json_parse_text(R"({"action":"list","version":1})");
                int rc = pipe_send_message(fd.get(), request);
                json_free(request);
                JsonValue *reply = nullptr;
                if (rc == 0 && pipe_receive_message(fd.get(), 10000, &reply) == 0) {
                    json_free(reply);
                    return true;
                }
            }
            if (waitpid(pid, nullptr, WNOHANG) == pid) {
                pid = -1;
                return false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }

    // Sends the signal and returns the exit code (128 + signal when killed).
    int stop(int signal_number = SIGTERM) {
        if (pid <= 0)
            return -1;
        kill(pid, signal_number);
        int status = 0;
        waitpid(pid, &status, 0);
        pid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

    ~BrokerProcess() { stop(SIGKILL); }
};

// Runs body in a child process with uid as its real, effective and saved
// user and group (unchanged when it is this process's), and returns the
// text body gave back; "" when the child could not run.
inline std::string text_from_child_as(uid_t uid, const std::function<std::string()> &body) {
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0)
        return "";
    pid_t pid = fork();
    if (pid == 0) {
        if (uid != geteuid() && (setresgid(uid, uid, uid) != 0 || setresuid(uid, uid, uid) != 0))
            _exit(99);
        const std::string text = body();
        (void)!write(out[1], text.data(), text.size());
        _exit(0);
    }
    close(out[1]);
    std::string all;
    char buf[4096];
    ssize_t n;
    while ((n = read(out[0], buf, sizeof buf)) > 0)
        all.append(buf, static_cast<size_t>(n));
    close(out[0]);
    waitpid(pid, nullptr, 0);
    return all;
}

// One request (a JSON text) on one connection to the socket, as uid: the
// reply as compact JSON text, "" when none came within timeout_ms, "!N"
// (N the errno) when the connection failed.
inline std::string socket_request_as(uid_t uid, const std::string &socket,
                                     const std::string &request, int timeout_ms) {
    return text_from_child_as(uid, [&]() -> std::string {
        FileHandle fd;
        if (int rc = pipe_connect(socket.c_str(), 2000, &fd))
            return "!" + std::to_string(-rc);
        JsonValue *r = json_parse_text(request.c_str());
        pipe_send_message(fd.get(), r);
        json_free(r);
        JsonValue *reply = nullptr;
        if (pipe_receive_message(fd.get(), timeout_ms, &reply) != 0)
            return "";
        char *t = json_serialize(reply);
        std::string answer = t != nullptr ? t : "";
        json_free_text(t);
        json_free(reply);
        return answer;
    });
}

// Sends requests (JSON texts) over one connection, as root in this process
// or as `uid` in a child, and returns the replies as compact JSON texts; a
// request without reply gives "" and ends the list.
inline std::vector<std::string> broker_requests(const std::vector<std::string> &requests,
                                                uid_t uid = 0) {
    auto talk = [&](std::vector<std::string> *replies) {
        FileHandle fd;
        if (pipe_connect(kBrokerSocket, 2000, &fd) != 0)
            return;
        for (const std::string &text : requests) {
            JsonValue *request = json_parse_text(text.c_str());
            int rc = pipe_send_message(fd.get(), request);
            json_free(request);
            JsonValue *reply = nullptr;
            if (rc != 0 || pipe_receive_message(fd.get(), 5000, &reply) != 0) {
                replies->push_back("");
                return;
            }
            char *out = json_serialize(reply);
            replies->push_back(out ? out : "");
            json_free_text(out);
            json_free(reply);
        }
    };
    std::vector<std::string> replies;
    if (uid == 0) {
        talk(&replies);
        return replies;
    }
    const std::string all = text_from_child_as(uid, [&] {
        std::vector<std::string> mine;
        talk(&mine);
        std::string lines;
        for (const std::string &r : mine)
            lines += r + "\n";
        return lines;
    });
    for (size_t start = 0, end; (end = all.find('\n', start)) != std::string::npos; start = end + 1)
        replies.push_back(all.substr(start, end - start));
    return replies;
}

inline std::string broker_request(const std::string &request, uid_t uid = 0) {
    std::vector<std::string> replies = broker_requests({request}, uid);
    return replies.empty() ? std::string() : replies[0];
}

} // namespace tw::test
