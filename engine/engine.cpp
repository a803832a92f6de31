#include "engine/engine.h"

#include "container/files/output_file.h"
#include "container/keys/system_key.h"
#include "engine/events.h"
#include "engine/import_protocol.h"
#include "platform/folders.h"
#include "platform/io.h"
#include "platform/named_event.h"
#include "platform/process.h"
#include "platform/secure_memory.h"
#include "runtime/json.h"
#include "runtime/text.h"

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>

namespace tw {

namespace {

constexpr uint64_t kLockedMemoryGrowth = 8u << 20;

constexpr const char *kCancelledMessage =
    "Operation cancelled. Original kept. If a new file exists, verify it before using it.";

// The context lives for the whole process: the progress callback may end the
// process from deep inside an operation and must find what to clean up.
EngineContext g_context;

// A stop signal is a cancellation: SIGHUP (the launcher asks the kernel for
// it when the front-end that started this engine ends, also when the watch of
// the parent could not see it), SIGTERM (a shutdown, `kill PID`), SIGINT and
// SIGQUIT. The handler records it and sets the cancellation event. While a
// result is being published (the final renames) it does nothing more: the
// publishing finishes and the operation reports what it did. Otherwise it
// removes the registered partial output, writes the prepared "cancelled"
// line and ends the process at once, so that no state of the operation (a
// password read, a key derivation, a read check) keeps it alive.
volatile sig_atomic_t g_stop_signal = 0;
std::atomic<bool> g_publishing{false};
std::atomic<NamedEvent *> g_cancel_event{nullptr};
char g_cancelled_line[256];
size_t g_cancelled_line_length = 0;

// The message of the "cancelled" line; an operation with its own wording
// (the import) sets it before it starts.
const char *g_cancelled_message = kCancelledMessage;

constexpr int kStopSignals[] = {SIGHUP, SIGTERM, SIGINT, SIGQUIT};

// The "cancelled" event line, made once with the event writer's JSON so that
// the signal handler only has to write it.
void prepare_cancelled_line() {
    g_cancelled_line_length = 0;
    JsonValue *event = json_new(JsonKind::Object);
    if (event == nullptr)
        return;
    json_set_string(event, "event", "error");
    json_set_string(event, "code", "cancelled");
    json_set_string(event, "message", g_cancelled_message);
    json_set_int(event, "version", 1);
    char *text = json_serialize(event);
    json_free(event);
    if (text == nullptr)
        return;
    size_t length = std::strlen(text);
    if (length + 1 < sizeof g_cancelled_line) {
        std::memcpy(g_cancelled_line, text, length);
        g_cancelled_line[length] = '\n';
        g_cancelled_line_length = length + 1;
    }
    json_free_text(text);
}

void on_stop_signal(int signal) {
    g_stop_signal = signal;
    named_event_set(g_cancel_event.load());
    if (g_publishing.load())
        return;
    // Only async-signal-safe steps: unlinkat, plain memory wipes, write,
    // lstat and unlink of the event's name, _exit.
    output_remove_registered();
    credential_record_wipe(g_context.credentials);
    if (g_cancelled_line_length != 0)
        (void)write_full(STDOUT_FILENO, g_cancelled_line, g_cancelled_line_length);
    named_event_remove_name(g_context.cancel);
    _exit(kExitFailure);
}

void watch_stop_signals() {
    prepare_cancelled_line();
    struct sigaction action {};
    action.sa_handler = on_stop_signal;
    sigemptyset(&action.sa_mask);
    for (int signal : kStopSignals)
        sigaddset(&action.sa_mask, signal);
    action.sa_flags = SA_RESTART;
    for (int signal : kStopSignals)
        sigaction(signal, &action, nullptr);
}

void release_context(EngineContext *ctx) {
    // The record leaves the context before it is freed, so that a stop
    // signal arriving meanwhile never wipes released memory.
    CredentialRecord *credentials = ctx->credentials;
    ctx->credentials = nullptr;
    std::atomic_signal_fence(std::memory_order_seq_cst);
    credential_record_free(credentials);
    system_key_forget();
    // The parent watch may still set the event from its own thread until the
    // process ends, so only its name goes; the mapping stays valid.
    named_event_remove_name(ctx->cancel);
}

[[noreturn]] void cancel_now(EngineContext *ctx) {
    // The partial output goes first: nothing may be left under a name that
    // looks like a finished container.
    output_remove_registered();
    credential_record_wipe(ctx->credentials);
    event_write_error("cancelled", g_cancelled_message);
    release_context(ctx);
    _exit(kExitFailure);
}

int run_unavailable(EngineContext *) {
    return engine_fail("unavailable", "This operation is not available in this version.");
}

bool arguments_are_utf8(int argc, char **argv) {
    for (int i = 0; i < argc; ++i)
        if (!utf8_is_valid(argv[i], std::strlen(argv[i])))
            return false;
    return true;
}

// Reads the credential request into locked memory. The request's kind must
// match the command: kind 2 exactly for the commands that take a new password.
int read_credentials(EngineContext *ctx) {
    const uint32_t with_new = static_cast<uint32_t>(CredentialKind::CurrentAndNew);
    int rc = credential_read(STDIN_FILENO, ctx->credentials);
    if (rc == 0 && (ctx->credentials->kind == with_new) != (ctx->args.credential_kind == with_new))
        rc = -EPROTO;
    if (rc != 0)
        credential_record_wipe(ctx->credentials);
    return rc;
}

// Installs the system key the client sent, or the built-in default when it
// sent none. The text is wiped once parsed.
int install_system_key(EngineContext *ctx) {
    CredentialRecord *r = ctx->credentials;
    int rc;
    if (r != nullptr && r->system_key_length != 0)
        rc = system_key_set_hex(r->system_key);
    else
        rc = system_key_set_default();
    if (r != nullptr) {
        secure_wipe(r->system_key, sizeof r->system_key);
        r->system_key_length = 0;
    }
    return rc;
}

int run_general(EngineContext *ctx) {
    // Every general command gets its locked credential record, also when it
    // reads no request: whether locking worked is part of its summary.
    ctx->credentials = credential_record_new(&ctx->credentials_locked);
    if (ctx->credentials == nullptr)
        return engine_fail("engine", "Out of memory.");
    if (ctx->args.reads_credentials) {
        int rc = read_credentials(ctx);
        if (rc == -ENOMEM)
            return engine_fail("engine", "Out of memory.");
        if (rc != 0)
            return engine_fail("protocol", "Invalid credential request.");
    }
    // An import runs before the system key is applied to this process and
    // installs it itself afterwards; every other command gets its key now.
    if (ctx->args.command != EngineCommand::ImportVeracrypt && install_system_key(ctx) != 0)
        return engine_fail("systemKey",
                           "The system key must contain exactly 14 hexadecimal digits.");
    ctx->progress.mode = engine_command_info(ctx->args.command)->progress;
    EngineOperation run = engine_operation_for(ctx->args.command);
    return (run ? run : run_unavailable)(ctx);
}

} // namespace

void engine_set_cancelled_message(const char *message) {
    // The stop signals wait while the line is rewritten, so the handler never
    // writes half of the old line and half of the new one.
    sigset_t stop, previous;
    sigemptyset(&stop);
    for (int signal : kStopSignals)
        sigaddset(&stop, signal);
    pthread_sigmask(SIG_BLOCK, &stop, &previous);
    g_cancelled_message = message;
    prepare_cancelled_line();
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

int engine_fail(const char *code, const char *message) {
    event_write_error(code, message);
    return exit_code_for_error(code);
}

void engine_check_cancel(EngineContext *ctx) {
    if (engine_cancel_requested(ctx))
        cancel_now(ctx);
}

bool engine_cancel_requested(const EngineContext *ctx) {
    return g_stop_signal != 0 || (ctx->cancel != nullptr && named_event_is_set(ctx->cancel));
}

int engine_start_cancellation(EngineContext *ctx) {
    char name[48];
    std::snprintf(name, sizeof name, "Cancel.%lu", static_cast<unsigned long>(getpid()));
    int rc = named_event_create(name, &ctx->cancel);
    if (rc != 0)
        return rc;
    g_cancel_event.store(ctx->cancel);
    // Events of engines that were killed before they could remove theirs.
    named_event_sweep_leftovers("Cancel.");
    // When the parent cannot be trusted this sets the event at once, so the
    // operation cancels at its first check.
    parent_watch_start(ctx->cancel);
    return 0;
}

int engine_progress(void *opaque, const char *phase, uint64_t done, uint64_t total) {
    auto *ctx = static_cast<EngineContext *>(opaque);
    ProgressDecision d = progress_evaluate(&ctx->progress, phase, done, total);
    // Publishing (the final renames) is never interrupted; the import's own
    // loops watch for cancellation themselves.
    bool polls =
        ctx->progress.mode == ProgressMode::Export ||
        ((ctx->progress.mode == ProgressMode::Copy || ctx->progress.mode == ProgressMode::Image) &&
         !d.is_publishing);
    if (d.is_publishing || (phase != nullptr && std::strcmp(phase, "publishing") == 0))
        g_publishing.store(true);
    if (polls && engine_cancel_requested(ctx))
        cancel_now(ctx);
    if (d.write)
        event_write_progress(d.with_phase ? phase : nullptr, d.fraction);
    return 0;
}

int engine_main(int argc, char **argv) {
    if (argc >= 2 && std::strcmp(argv[1], "import-worker") == 0) {
        // The import worker speaks a private protocol on the three
        // descriptors it inherits, never event lines. It ends with _exit:
        // nothing that runs at a normal exit is allowed in its sandbox.
        static constexpr int kWorkerDescriptors[] = {kImportSourceFd, kImportInputFd,
                                                     kImportStatusFd};
        harden_process(kWorkerDescriptors);
        _exit(import_worker_main(argc, argv));
    }
    watch_stop_signals();
    harden_process();

    raise_locked_memory_limit(kLockedMemoryGrowth);

    EngineContext *ctx = &g_context;
    if (engine_start_cancellation(ctx) != 0) {
        // Most often the runtime folder was refused; say which and why.
        std::string refusal = runtime_folder_refusal();
        if (refusal.empty())
            return engine_fail("engine", "Linux could not create the cancellation event.");
        std::string message =
            "Linux could not create the cancellation event: the runtime folder " + refusal + ".";
        return engine_fail("engine", message.c_str());
    }

    int code;
    if (!arguments_are_utf8(argc, argv)) {
        code = engine_fail("usage", "Invalid arguments.");
    } else if (engine_special_command(argc, argv, &ctx->args)) {
        EngineOperation run = engine_operation_for(ctx->args.command);
        code = (run ? run : run_unavailable)(ctx);
    } else {
        const char *message = nullptr;
        if (engine_parse_general(argc, argv, &ctx->args, &message) != 0)
            code = engine_fail("usage", message);
        else
            code = run_general(ctx);
    }
    release_context(ctx);
    return code;
}

} // namespace tw
