// "inspect", "verify" and "export": the container summary without and with
// the password, and the decrypted image written to a new file.
#include "container/container.h"
#include "container/files/write_session.h"
#include "engine/damage.h"
#include "engine/engine.h"
#include "engine/events.h"
#include "engine/image_checks.h"
#include "engine/operations.h"
#include "engine/source.h"
#include "engine/summary.h"
#include "platform/files.h"
#include "runtime/errors.h"
#include "runtime/json.h"

#include <sys/stat.h>

namespace tw {

namespace {

int read_through_container(void *context, void *buffer, size_t length, uint64_t offset) {
    auto *c = static_cast<Container *>(context);
    ssize_t n = container_read(c, buffer, length, offset);
    if (n < 0)
        return static_cast<int>(n);
    return static_cast<size_t>(n) == length ? 0 : -EIO;
}

// Whether an experimental write session was left unfinished: the v3 flag,
// the markers, and for a verified container a dirty filesystem on it.
bool write_session_left(const PreparedSource &src, bool verified) {
    Container *c = src.container;
    ContainerInfo info;
    container_info(c, &info);
    if (verified && info.v3 && info.v3_version == 7 && info.v3_open_for_writing)
        return true;
    if (write_session_marker_found(src.path.c_str(), container_descriptor(c)))
        return true;
    if (verified) {
        ImageReader image{read_through_container, c, info.size};
        DirtyState state = dirty_state_scan(image);
        if (state == DirtyState::Dirty || state == DirtyState::IoFailure)
            return true;
    }
    return false;
}

} // namespace

int write_summary(EngineContext *ctx, const PreparedSource &src, bool verified, JsonValue *extra) {
    Container *c = src.container;
    ContainerInfo info;
    container_info(c, &info);
    SummaryFacts f;
    f.format_name = format_kind_name(info.format_kind);
    f.plaintext = src.plaintext;
    f.unlocked = info.unlocked;
    f.cipher = info.cipher;
    f.cipher_name = cipher_name(info.cipher);
    f.verified = verified;
    if (verified) {
        f.filesystem = src.probe_text;
        ImageReader image{read_through_container, c, info.size};
        f.filesystem_type = filesystem_type(info.presented_sector0, image);
        f.write_filesystem = write_support_filesystem(write_support_input(info));
    }
    FileStatus st;
    if (file_status(container_descriptor(c), &st) == 0) {
        f.allocated_size_known = true;
        f.allocated_size = st.blocks * 512;
    }
    if (info.v3) {
        f.v3 = true;
        f.v3_compressed = info.v3_compressed;
        f.v3_chunk_size = info.v3_chunk_size;
        f.v3_recovery_needed = info.v3_recovery_needed;
    }
    f.size = info.size;
    bool d = write_session_left(src, verified);
    bool v3_needs = verified && f.v3 && f.v3_recovery_needed;
    f.recovery_required = src.recovery_files || d || v3_needs;
    f.write_session_recovery = d && !src.recovery_files && !v3_needs;
    f.cd_image = info.cd_image;
    f.header_locked = info.header_locked;
    f.memory_locked = info.memory_locked;
    f.credentials_locked = ctx->credentials_locked;
    JsonValue *summary = container_summary(f);
    for (JsonValue *m = json_first(extra); m != nullptr; m = json_next(m))
        json_set(summary, json_key(m), json_clone(m));
    int rc = summary ? event_write_result(summary) : -ENOMEM;
    json_free(summary);
    return rc == 0 ? kExitSuccess : kExitFailure;
}

int run_inspect(EngineContext *ctx) {
    PreparedSource src;
    int exit_code = 0;
    if (source_prepare(ctx, &src, &exit_code) != 0)
        return exit_code;
    int code = write_summary(ctx, src, false, nullptr);
    source_release(&src);
    return code;
}

int run_verify(EngineContext *ctx) {
    PreparedSource src;
    int exit_code = 0;
    if (source_prepare(ctx, &src, &exit_code) != 0)
        return exit_code;
    int code = write_summary(ctx, src, true, nullptr);
    source_release(&src);
    return code;
}

} // namespace tw

namespace tw {

namespace {

void export_progress(uint64_t done, uint64_t total, void *data) {
    engine_progress(data, nullptr, done, total);
}

} // namespace

int run_export(EngineContext *ctx) {
    PreparedSource src;
    int exit_code = 0;
    if (source_prepare(ctx, &src, &exit_code) != 0)
        return exit_code;
    // Nothing is read before the destination is known to be free.
    if (destination_taken(ctx->args.output, &exit_code)) {
        source_release(&src);
        return exit_code;
    }
    int rc = container_export(src.container, ctx->args.output, export_progress, ctx);
    if (rc != 0) {
        ContainerDamage damage = container_damage(src.container);
        source_release(&src);
        if (rc == -EILSEQ || damage.part != DamagedPart::none)
            return engine_fail_damage(damage, nullptr);
        if (rc == -ECANCELED)
            return engine_fail("cancelled",
                               "The operation was cancelled. The original is unchanged.");
        return engine_fail(rc == -EEXIST || rc == -EBUSY ? "destinationExists" : "io",
                           error_text(rc));
    }
    int code = write_summary(ctx, src, true, nullptr);
    source_release(&src);
    return code;
}

} // namespace tw
