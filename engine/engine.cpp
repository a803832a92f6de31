#include "engine/engine.h"

#include "container/files/output_file.h"
#include "container/keys/system_key.h"
#include "engine/events.h"
#include "engine/import_protocol.h"
#include "platform/named_event.h"
#include "platform/process.h"
#include "platform/secure_memory.h"
#include "runtime/text.h"

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <unistd.h>

namespace tw {

namespace {

constexpr uint64_t kLockedMemoryGrowth = 8u << 20;

constexpr const char *kCancelledMessage =
    "Operation cancelled. Original kept. If a new file exists, verify it before using it.";

// The context lives for the whole process: the progress callback may end the
// process from deep inside an operation and must find what to clean up.
EngineContext g_context;

// The launcher asks the kernel for SIGHUP when the front-end that started
// this engine ends (also when it ended before the parent watch could see
// it, for instance once a subreaper has adopted the engine). The handler
// only records it and sets the cancellation event; the operation cancels at
// its next check.
volatile sig_atomic_t g_parent_gone = 0;
std::atomic<NamedEvent *> g_cancel_event{nullptr};

void on_parent_gone(int) {
    g_parent_gone = 1;
    named_event_set(g_cancel_event.load());
}

void watch_parent_death_signal() {
    struct sigaction action {};
    action.sa_handler = on_parent_gone;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGHUP, &action, nullptr);
}

void release_context(EngineContext *ctx) {
    credential_record_free(ctx->credentials);
    ctx->credentials = nullptr;
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
    event_write_error("cancelled", kCancelledMessage);
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

int engine_fail(const char *code, const char *message) {
    event_write_error(code, message);
    return exit_code_for_error(code);
}

void engine_check_cancel(EngineContext *ctx) {
    if (engine_cancel_requested(ctx))
        cancel_now(ctx);
}

bool engine_cancel_requested(const EngineContext *ctx) {
    return g_parent_gone != 0 || (ctx->cancel != nullptr && named_event_is_set(ctx->cancel));
}

int engine_start_cancellation(EngineContext *ctx) {
    char name[48];
    std::snprintf(name, sizeof name, "Cancel.%lu", static_cast<unsigned long>(getpid()));
    int rc = named_event_create(name, &ctx->cancel);
    if (rc != 0)
        return rc;
    g_cancel_event.store(ctx->cancel);
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
    watch_parent_death_signal();
    harden_process();

    raise_locked_memory_limit(kLockedMemoryGrowth);

    EngineContext *ctx = &g_context;
    if (engine_start_cancellation(ctx) != 0)
        return engine_fail("engine", "Linux could not create the cancellation event.");

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
