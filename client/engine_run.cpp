// Running tarnwick-engine: one child process per operation, a credential
// request on its standard input, JSON event lines on its standard output.
#include "client/client.h"

#include "platform/descriptor.h"
#include "platform/folders.h"
#include "platform/io.h"
#include "platform/named_event.h"
#include "platform/process.h"
#include "platform/secure_memory.h"

#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <vector>

namespace tw {

namespace {

constexpr size_t kReadChunk = 4096;
constexpr size_t kStderrTail = 16383;
// How often the reader looks at the cancel flag while the engine is quiet:
// a signal handler can only set the flag, and the reader turns it into the
// engine's cancellation event.
constexpr int kPollMilliseconds = 100;

constexpr const char *kEngineStopped = "The engine stopped before completing the operation.";

bool make_pipe(FileHandle *read_end, FileHandle *write_end) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        return false;
    read_end->reset(fds[0]);
    write_end->reset(fds[1]);
    return true;
}

// Sets the engine's cancellation event. False when it cannot be opened yet
// (the engine creates it at start) or any more (it has ended).
bool set_cancel_event(pid_t pid) {
    char name[48];
    std::snprintf(name, sizeof name, "Cancel.%lu", static_cast<unsigned long>(pid));
    NamedEvent *event = nullptr;
    if (named_event_open(name, &event) != 0)
        return false;
    named_event_set(event);
    named_event_close(event);
    return true;
}

// What one run has seen so far.
struct RunState {
    EngineRunContext *ctx;
    JsonValue *result = nullptr;
    bool have_error = false;
    std::string error_code;
    std::string error_message;
    bool protocol_failed = false;
};

void record_protocol_error(RunState *st, const char *message) {
    st->have_error = true;
    st->protocol_failed = true;
    st->error_code = "protocol";
    st->error_message = message;
    st->ctx->cancel_requested.store(true);
}

// Handles one complete line (without its line feed). False after a
// protocol error: nothing more is read.
bool handle_line(RunState *st, const char *line, size_t length) {
    JsonValue *event = json_parse(line, length);
    if (event == nullptr || event->kind != JsonKind::Object) {
        json_free(event);
        record_protocol_error(st, "The engine response could not be read.");
        return false;
    }
    const JsonValue *version = json_get(event, "version");
    if (version == nullptr || version->kind != JsonKind::Number || !version->is_integer ||
        version->int_value != 1) {
        json_free(event);
        record_protocol_error(st, "The engine version is incompatible.");
        return false;
    }
    const char *kind = json_get_string(event, "event", "");
    if (std::strcmp(kind, "progress") == 0) {
        // An absent or non-numeric fraction counts as -1, which is refused.
        double fraction = json_get_double(event, "fraction", -1.0);
        if (!std::isfinite(fraction) || fraction < 0.0 || fraction > 1.0) {
            json_free(event);
            record_protocol_error(st, "The engine returned invalid progress.");
            return false;
        }
        if (st->ctx->progress != nullptr)
            st->ctx->progress(st->ctx->progress_user, json_get_string(event, "phase", nullptr),
                              fraction);
        json_free(event);
        return true;
    }
    if (std::strcmp(kind, "result") == 0) {
        // A later result replaces an earlier one. The event and version
        // members are the envelope, not part of the result.
        json_remove(event, "event");
        json_remove(event, "version");
        json_free(st->result);
        st->result = event;
        return true;
    }
    if (std::strcmp(kind, "error") == 0) {
        st->have_error = true;
        st->error_code = json_get_string(event, "code", "engine");
        st->error_message = json_get_string(event, "message", "The engine failed.");
        json_free(event);
        return true;
    }
    json_free(event);
    record_protocol_error(st, "The engine returned an unknown response.");
    return false;
}

// Keeps line feeds and printable bytes (0x20 and above except 0x7F), then
// trims spaces and line feeds at both ends.
std::string clean_stderr(const std::string &raw) {
    std::string text;
    for (char c : raw) {
        auto b = static_cast<unsigned char>(c);
        if (b == '\n' || (b >= 0x20 && b != 0x7F))
            text.push_back(c);
    }
    size_t begin = text.find_first_not_of(" \n");
    if (begin == std::string::npos)
        return {};
    size_t end = text.find_last_not_of(" \n");
    return text.substr(begin, end - begin + 1);
}

void append_stderr(std::string *tail, const char *bytes, size_t length) {
    tail->append(bytes, length);
    if (tail->size() > kStderrTail)
        tail->erase(0, tail->size() - kStderrTail);
}

int wait_for_exit(pid_t pid) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR)
            return -1;
    }
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    return 128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
}

int failure_number(std::string_view code) {
    if (code == "cancelled")
        return -ECANCELED;
    if (code == "protocol")
        return -EPROTO;
    if (code == "credentials" || code == "newPassword")
        return -EACCES;
    if (code == "usage" || code == "source")
        return -EINVAL;
    return -EIO;
}

} // namespace

void ClientOutcome::reset() {
    json_free(result);
    result = nullptr;
    code.clear();
    message.clear();
}

int client_fail(ClientOutcome *out, std::string_view code, std::string_view message) {
    out->reset();
    out->code = code;
    out->message = message;
    return failure_number(code);
}

int client_exit_code(std::string_view code) {
    return code == "credentials" ? 2 : 1;
}

void engine_cancel(EngineRunContext *ctx) {
    ctx->cancel_requested.store(true);
    pid_t pid = ctx->engine_pid.load();
    if (pid != 0)
        set_cancel_event(pid);
}

int engine_run(EngineRunContext *ctx, std::span<const std::string> args,
               std::span<const uint8_t> credentials, ClientOutcome *out) {
    out->reset();
    std::string engine;
    struct stat st {};
    if (program_file_path("tarnwick-engine", &engine) != 0 || ::stat(engine.c_str(), &st) != 0 ||
        !S_ISREG(st.st_mode))
        return client_fail(out, "installation",
                           "The Tarnwick engine is missing. Rebuild or reinstall the application.");
    if (args.size() > kEngineArgumentLimit)
        return client_fail(out, "engine", "The Tarnwick engine could not start.");
    if (ctx->cancel_requested.load())
        return client_fail(out, "cancelled", "Operation cancelled.");

    FileHandle in_read, in_write, out_read, out_write, err_read, err_write;
    if (!make_pipe(&in_read, &in_write) || !make_pipe(&out_read, &out_write) ||
        !make_pipe(&err_read, &err_write))
        return client_fail(out, "engine", "The Tarnwick engine could not start.");

    std::vector<std::string> argv;
    argv.reserve(args.size() + 1);
    argv.push_back(engine);
    argv.insert(argv.end(), args.begin(), args.end());
    LaunchOptions options;
    options.stdin_fd = in_read.get();
    options.stdout_fd = out_write.get();
    options.stderr_fd = err_write.get();
    // A Ctrl+C at the terminal reaches only the front-end, which cancels the
    // engine through its event so that it can clean up.
    options.new_process_group = true;
    // If this thread ends while the engine runs (the front-end was killed),
    // the engine gets SIGHUP and cancels as if asked to: it then removes its
    // partial output instead of running on for nobody.
    options.parent_death_signal = SIGHUP;
    LaunchedProcess child;
    if (launch_process(argv, options, &child) != 0)
        return client_fail(out, "engine", "The Tarnwick engine could not start.");
    if (child.pidfd >= 0)
        ::close(child.pidfd);
    ctx->engine_pid.store(child.pid);
    in_read.reset();
    out_write.reset();
    err_write.reset();

    // A failed write means the engine stopped reading; its events say why.
    write_full(in_write.get(), credentials.data(), credentials.size());
    in_write.reset();

    RunState state{ctx};
    std::vector<char> line(kEngineLineLimit + 1);
    size_t pending = 0;
    std::string stderr_tail;
    bool event_set = false;
    char chunk[kReadChunk];

    while (out_read.valid() || err_read.valid()) {
        if (ctx->cancel_requested.load() && !event_set)
            event_set = set_cancel_event(child.pid);
        pollfd fds[2] = {{out_read.get(), POLLIN, 0}, {err_read.get(), POLLIN, 0}};
        int ready = ::poll(fds, 2, kPollMilliseconds);
        if (ready < 0 && errno != EINTR)
            break;
        if (ready <= 0)
            continue;
        if (fds[1].revents != 0) {
            ssize_t n = read_some(err_read.get(), chunk, sizeof chunk);
            if (n > 0)
                append_stderr(&stderr_tail, chunk, static_cast<size_t>(n));
            else
                err_read.reset();
        }
        if (fds[0].revents == 0)
            continue;
        ssize_t n = read_some(out_read.get(), line.data() + pending, line.size() - pending);
        if (n <= 0) {
            out_read.reset();
            continue;
        }
        pending += static_cast<size_t>(n);
        size_t start = 0;
        bool keep_reading = true;
        for (;;) {
            auto *feed =
                static_cast<char *>(std::memchr(line.data() + start, '\n', pending - start));
            if (feed == nullptr)
                break;
            size_t end = static_cast<size_t>(feed - line.data());
            keep_reading = handle_line(&state, line.data() + start, end - start);
            start = end + 1;
            if (!keep_reading)
                break;
        }
        if (keep_reading) {
            std::memmove(line.data(), line.data() + start, pending - start);
            pending -= start;
            if (pending == line.size()) {
                record_protocol_error(&state, "The engine returned an oversized response.");
                keep_reading = false;
            }
        }
        if (!keep_reading) {
            pending = 0;
            out_read.reset();
            if (!event_set)
                event_set = set_cancel_event(child.pid);
        }
    }
    // Lines can hold results; nothing of them stays behind in memory.
    secure_wipe(line.data(), line.size());

    if (ctx->cancel_requested.load())
        set_cancel_event(child.pid);
    // The id is cleared before the child is reaped: until then it cannot be
    // reused, so a concurrent engine_cancel never reaches another process.
    ctx->engine_pid.store(0);
    int exit_code = wait_for_exit(child.pid);
    std::string tail = clean_stderr(stderr_tail);

    int rc;
    if (state.have_error) {
        rc = client_fail(out, state.error_code, state.error_message);
    } else if (state.result == nullptr || pending != 0 || exit_code != 0) {
        rc = ctx->cancel_requested.load() ? client_fail(out, "cancelled", "Operation cancelled.")
                                          : client_fail(out, "engine", kEngineStopped);
    } else {
        out->result = state.result;
        state.result = nullptr;
        return 0;
    }
    json_free(state.result);
    if (!tail.empty())
        out->message += "\n" + tail;
    return rc;
}

} // namespace tw
