#include "platform/filesystem_tools.h"

#include "platform/clock.h"
#include "platform/descriptor.h"
#include "platform/io.h"
#include "platform/process.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace tw {

namespace {

constexpr size_t kReadPiece = 4096;

uint64_t now_ms() {
    return monotonic_now() / 10000;
}

void finish_line(TerminalText *t) {
    size_t end = t->line.size();
    while (end > 0 && (t->line[end - 1] == ' ' || t->line[end - 1] == '\t'))
        end--;
    t->finished.append(t->line, 0, end);
    t->finished.push_back('\n');
    t->line.clear();
    // Trimmed in steps, not on every line: the tail is cut once it is twice
    // the limit.
    if (t->finished.size() > 2 * t->limit)
        t->finished = text_tail(t->finished, t->limit);
}

} // namespace

std::string text_tail(const std::string &text, size_t limit) {
    if (text.size() <= limit)
        return text;
    size_t start = text.size() - limit;
    size_t cut = text.find('\n', start);
    // A tail without a line break is kept as it is.
    if (cut == std::string::npos || cut + 1 >= text.size())
        return text.substr(start);
    return text.substr(cut + 1);
}

void terminal_feed(TerminalText *t, std::span<const char> bytes) {
    for (char c : bytes) {
        if (t->carriage_return) {
            t->carriage_return = false;
            if (c == '\n') {
                finish_line(t);
                continue;
            }
            t->line.clear();
        }
        if (c == '\r')
            t->carriage_return = true;
        else if (c == '\n')
            finish_line(t);
        else if (c == '\b') {
            if (!t->line.empty())
                t->line.pop_back();
        } else if (c == '\t' || static_cast<unsigned char>(c) >= 0x20) {
            if (c != 0x7f && t->line.size() < kTerminalLineLimit)
                t->line.push_back(c);
        }
    }
}

std::string terminal_finish(TerminalText *t) {
    t->carriage_return = false;
    if (!t->line.empty())
        finish_line(t);
    std::string out = text_tail(t->finished, t->limit);
    t->finished.clear();
    return out;
}

std::string system_program(const char *name) {
    for (const char *folder : {"/usr/sbin", "/usr/bin", "/sbin", "/bin"}) {
        std::string path = std::string(folder) + "/" + name;
        if (access(path.c_str(), X_OK) == 0)
            return path;
    }
    return {};
}

int tool_run(std::span<const std::string> argv, int timeout_ms, size_t output_limit, int *exit_code,
             std::string *output) {
    if (argv.empty())
        return -EINVAL;
    std::vector<std::string> args(argv.begin(), argv.end());
    args[0] = system_program(argv[0].c_str());
    if (args[0].empty())
        return -ENOENT;
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        return -errno;
    FileHandle read_end(fds[0]), write_end(fds[1]);
    LaunchOptions options;
    options.stdout_fd = write_end.get();
    options.stderr_fd = write_end.get();
    options.kill_with_parent = true;
    LaunchedProcess child;
    int rc = launch_process(args, options, &child);
    write_end.reset();
    if (rc != 0)
        return rc;
    FileHandle pidfd(child.pidfd);

    TerminalText text;
    text.limit = output_limit;
    const uint64_t deadline = timeout_ms > 0 ? now_ms() + static_cast<uint64_t>(timeout_ms) : 0;
    bool killed = false;
    char piece[kReadPiece];
    for (;;) {
        int wait_ms = -1;
        if (deadline != 0) {
            uint64_t now = now_ms();
            if (now >= deadline) {
                kill(child.pid, SIGKILL);
                killed = true;
                break;
            }
            wait_ms = static_cast<int>(deadline - now);
        }
        pollfd p{read_end.get(), POLLIN, 0};
        int n = poll(&p, 1, wait_ms);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            break;
        if (n == 0)
            continue;
        ssize_t got = read_some(read_end.get(), piece, sizeof piece);
        if (got <= 0)
            break; // the child and whatever it started closed the pipe
        terminal_feed(&text, std::span<const char>(piece, static_cast<size_t>(got)));
    }
    int status = 0;
    pid_t waited = process_wait(child.pid, &status, 0);
    output->append(terminal_finish(&text));
    if (waited < 0)
        return static_cast<int>(waited);
    if (killed)
        *exit_code = 1;
    else if (WIFEXITED(status))
        *exit_code = WEXITSTATUS(status);
    else
        *exit_code = 128 + WTERMSIG(status);
    return 0;
}

} // namespace tw
