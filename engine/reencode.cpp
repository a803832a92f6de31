// "rekey" and "convert": a verified copy with a new password, and with a
// chosen cipher and layout, written to a new file.
#include "engine/reencode.h"
#include "container/container.h"
#include "container/files/file_access.h"
#include "engine/damage.h"
#include "engine/engine.h"
#include "engine/events.h"
#include "engine/operations.h"
#include "engine/recovery_files.h"
#include "engine/source.h"
#include "platform/files.h"
#include "runtime/errors.h"

#include <cerrno>

namespace tw {

namespace {

void copy_progress(const char *phase, uint64_t done, uint64_t total, void *data) {
    engine_progress(data, phase, done, total);
}

// The output's layout: the defaults for the command applied to the source.
void resolve_layout(const EngineArgs &args, const ContainerInfo &source, ReencodeOptions *o) {
    const bool v3 = source.v3;
    o->cipher = args.output_cipher == kCipherKeep ? source.cipher : args.output_cipher;
    switch (args.command) {
    case EngineCommand::Rekey:
        if (args.pair_given) {
            o->chunk_size = args.chunk_size;
            o->compress = args.compression == CompressionChoice::Fast;
        } else {
            o->chunk_size = v3 ? source.v3_chunk_size : 0;
            o->compress = v3 && source.v3_compressed;
        }
        break;
    case EngineCommand::Convert:
        o->chunk_size = args.chunk_size;
        o->compress = args.compression == CompressionChoice::Fast;
        break;
    case EngineCommand::Replace:
        if (args.pair_given) {
            o->chunk_size = args.chunk_size;
            o->compress = args.compression == CompressionChoice::Fast;
        } else {
            o->chunk_size = v3 ? source.v3_chunk_size : kDefaultChunk;
            o->compress = v3 && source.v3_compressed;
        }
        break;
    default:
        break;
    }
}

} // namespace

namespace {

struct Failure {
    int rc;
    const char *code;
    const char *message; // null: the error's own text
};

// How a failed re-encoding is reported, by its result.
constexpr Failure kFailures[] = {
    {-ECANCELED, "cancelled", "The operation was cancelled. The original is unchanged."},
    {-kErrChanged, "sourceChanged",
     "A file changed during the operation. No completed copy was published; the source was not "
     "written."},
    {-EOPNOTSUPP, "io",
     "This storage does not support the required reservation or durability guarantees. Choose "
     "another local disk."},
    {-EILSEQ, "verification",
     "The new container failed full verification and was not published. The original is "
     "unchanged."},
    {-ENOSPC, "io",
     "There is not enough space for a complete second container. The original is unchanged."},
    {-EEXIST, "destinationExists", "The destination already exists. Choose a new filename."},
    {-EBUSY, "destinationExists", "The destination already exists. Choose a new filename."},
    {-EACCES, "io",
     "Choose a local destination folder owned by your account that other users cannot modify."},
    {-EIO, "io",
     "A read, write, or flush failed. Keep the original. If the final output exists, verify it "
     "before use."},
};

const Failure *failure_for(int rc) {
    for (const Failure &f : kFailures)
        if (f.rc == rc)
            return &f;
    return nullptr;
}

} // namespace

int reencode_source_failure(const PreparedSource &source, int rc) {
    if (rc == 0 || rc == -ECANCELED)
        return -1;
    ContainerDamage damage = container_damage(source.container);
    if (damage.part != DamagedPart::none)
        return engine_fail_damage(damage, nullptr);
    // The copy writer takes the source's exclusive lock once more; a reader
    // that came in since the preparation makes that fail with EBUSY, which
    // is not about the destination.
    if (rc == -EBUSY && file_lock_test(container_descriptor(source.container), true) != 0)
        return engine_fail("busy", "The container is in use by a mount or another operation.");
    return -1;
}

const char *reencode_error_code(int rc) {
    const Failure *f = failure_for(rc);
    return f ? f->code : "io";
}

int reencode_failure(int rc) {
    const Failure *f = failure_for(rc);
    return engine_fail(f ? f->code : "io", f && f->message ? f->message : error_text(rc));
}

int reencode_prepare(EngineContext *ctx, PreparedSource *src, ReencodeOptions *options,
                     int *exit_code) {
    if (source_prepare(ctx, src, exit_code) != 0)
        return -1;
    ContainerInfo info;
    container_info(src->container, &info);
    const EngineCommand command = ctx->args.command;
    bool refused = info.header_locked || (src->plaintext && command != EngineCommand::Convert);
    if (refused) {
        source_release(src);
        *exit_code = engine_fail("unsupported", "Change Password requires a verified encrypted "
                                                "container with a recognized header.");
        return -1;
    }
    resolve_layout(ctx->args, info, options);
    if (new_password_check(ctx, options->cipher, exit_code) != 0) {
        source_release(src);
        return -1;
    }
    engine_check_cancel(ctx);
    RecoveryFiles given = recovery_files_check(ctx->args.file);
    RecoveryFiles resolved = recovery_files_check(src->path.c_str());
    if (given != RecoveryFiles::none || resolved != RecoveryFiles::none) {
        source_release(src);
        *exit_code =
            engine_fail("recovery", "Conversion state changed. The operation was stopped.");
        return -1;
    }
    options->password = reinterpret_cast<const uint8_t *>(ctx->credentials->new_password);
    options->password_length = ctx->credentials->new_password_length;
    options->progress = copy_progress;
    options->progress_data = ctx;
    return 0;
}

int reencode_report(EngineContext *ctx, const char *path, uint32_t cipher, JsonValue *extra) {
    PreparedSource written;
    written.path = path;
    int rc = container_open(path, kContainerOpenRead, &written.container);
    if (rc == 0)
        rc = container_unlock(written.container,
                              reinterpret_cast<const uint8_t *>(ctx->credentials->new_password),
                              ctx->credentials->new_password_length, cipher);
    if (rc == 0 && container_verify_filesystem(written.container, written.probe_text,
                                               sizeof written.probe_text) != kVerifyRecognised)
        rc = -EILSEQ;
    if (rc != 0) {
        source_release(&written);
        return engine_fail("verification",
                           "The saved container could not be reopened. Verify it before use.");
    }
    int code = write_summary(ctx, written, true, extra);
    source_release(&written);
    return code;
}

int run_rekey_or_convert(EngineContext *ctx) {
    PreparedSource src;
    ReencodeOptions options;
    int exit_code = 0;
    if (reencode_prepare(ctx, &src, &options, &exit_code) != 0)
        return exit_code;
    if (destination_taken(ctx->args.output, &exit_code)) {
        source_release(&src);
        return exit_code;
    }
    options.output_path = ctx->args.output;
    int rc = container_reencode(src.container, options);
    int source_code = reencode_source_failure(src, rc);
    source_release(&src);
    if (source_code >= 0)
        return source_code;
    if (rc != 0)
        return reencode_failure(rc);
    return reencode_report(ctx, ctx->args.output, options.cipher, nullptr);
}

} // namespace tw
