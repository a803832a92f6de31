// "replace": a verified copy that takes the container's name, the original
// kept as a backup, the names exchanged under a journal.
#include "container/container.h"
#include "container/files/write_session.h"
#include "engine/engine.h"
#include "engine/events.h"
#include "engine/operations.h"
#include "engine/recovery_files.h"
#include "engine/reencode.h"
#include "engine/replacement.h"
#include "engine/source.h"
#include "platform/files.h"
#include "runtime/errors.h"
#include "runtime/json.h"
#include "runtime/text.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace tw {

namespace {

constexpr size_t kBackupNamePrefixMax = 120;

const char *const kReplaceMessage =
    "Replacement could not finish. The original or its backup was retained. If a recovery journal "
    "exists, keep the files together and use Recover Replacement.";

bool cancelled(void *data) {
    return engine_cancel_requested(static_cast<EngineContext *>(data));
}

// The new copy takes what the original's owner chose for it: its group,
// its permission bits (never group or other write, which a container must
// not have) and its user attributes, except the marker of a write session,
// which belongs to the original's own mounts. Reported and skipped where the
// file system or the user's rights do not allow it: the copy stays private.
void keep_original_attributes(int original_fd, int copy_fd, const char *copy_name) {
    FileStatus original, copy;
    if (file_status(original_fd, &original) != 0 || file_status(copy_fd, &copy) != 0)
        return;
    if (original.group != copy.group) {
        if (int rc = file_set_group(copy_fd, original.group))
            std::fprintf(stderr, "Warning: '%s' keeps its own group: %s.\n", copy_name,
                         error_text(rc));
    }
    const uint32_t mode = original.mode & 0755;
    if (int rc = file_set_mode(copy_fd, mode))
        std::fprintf(stderr, "Warning: '%s' keeps its own permissions: %s.\n", copy_name,
                     error_text(rc));
    std::vector<std::string> names;
    if (file_xattr_names(original_fd, &names) != 0)
        return;
    for (const std::string &name : names) {
        if (name.rfind("user.", 0) != 0 || name == kWriteSessionAttribute)
            continue;
        std::vector<uint8_t> value;
        int rc = file_xattr_get(original_fd, name.c_str(), &value);
        if (rc == 0)
            rc = file_xattr_set(copy_fd, name.c_str(), value.data(), value.size());
        if (rc != 0)
            std::fprintf(stderr, "Warning: '%s' lacks the attribute '%s': %s.\n", copy_name,
                         name.c_str(), error_text(rc));
    }
}

// Opens the new copy, locks it exclusively and reads its identity. The
// descriptor is opened for writing only because Linux grants the exclusive
// in-use lock to such a descriptor alone; nothing is written through it. It
// is handed out as soon as it is open, so that a failure later on can still
// recognise the copy and remove it.
int copy_lock_and_identify(int dir, const std::string &name, int original_fd, EngineContext *ctx,
                           ReplacementIdentity *out, FileHandle *copy) {
    int fd = file_open_at(dir, name.c_str(), FileAccess::read_write, FileCreate::open_existing,
                          kFileNoFollow | kFileNonBlock);
    if (fd < 0)
        return fd;
    copy->reset(fd);
    if (file_lock(fd, true) != 0)
        return -EBUSY;
    keep_original_attributes(original_fd, fd, name.c_str());
    if (engine_cancel_requested(ctx))
        return -ECANCELED;
    return replacement_identity_fd(fd, cancelled, ctx, out);
}

// The original must be a plain file of this user with one name only: a
// second hard link would keep the "replaced" contents reachable elsewhere.
int check_original(int fd) {
    FileStatus st;
    int rc = file_status(fd, &st);
    if (rc != 0)
        return rc;
    if (st.type != FileType::regular || st.links != 1 || st.owner != geteuid())
        return -EINVAL;
    return 0;
}

struct ReplaceState {
    ReplacementFolder folder;
    std::string backup_path; // D joined with B, once known
    ReplacementJournal journal;
};

int replace_files(EngineContext *ctx, PreparedSource *src, ReencodeOptions *options,
                  ReplaceState *state) {
    ReplacementFolder &folder = state->folder;
    const int original_fd = container_descriptor(src->container);
    int rc = replacement_folder_open(src->path.c_str(), &folder);
    if (rc != 0)
        return rc;
    // 2. An exchange of this container must not be pending.
    FileStatus st;
    rc =
        file_status_at(folder.dir.get(), replacement_journal_name(folder.name).c_str(), false, &st);
    if (rc == 0)
        return -EEXIST;
    if (rc != -ENOENT)
        return rc;
    // 3. The name must still be the file we hold open.
    FileStatus named, held;
    rc = file_status_at(folder.dir.get(), folder.name.c_str(), false, &named);
    if (rc == 0)
        rc = file_status(original_fd, &held);
    if (rc != 0 || !(named.identity == held.identity))
        return -EBUSY;
    // 4. The original's identity, read in full.
    rc = check_original(original_fd);
    if (rc != 0)
        return rc;
    ReplacementJournal &j = state->journal;
    j.name = folder.name;
    rc = replacement_identity_fd(original_fd, cancelled, ctx, &j.original);
    if (rc != 0)
        return rc;
    // 5. Names for the copy and the exchange.
    char uuid[kUuidTextSize];
    if (!uuid_generate(uuid))
        return -EIO;
    size_t cut = utf8_prefix_length(folder.name.c_str(), kBackupNamePrefixMax);
    j.backup = folder.name.substr(0, cut) + ".original-" + uuid + ".zcx";
    j.swap = std::string(".openzcx-swap-") + uuid + ".zcx";
    state->backup_path = replacement_join(folder.path, j.backup);
    // What earlier replacements of this name left before their journal was
    // in place goes now; it never includes the original.
    replacement_sweep_leftovers(folder.dir.get(), folder.name);
    // The partial journal names the copy before it exists and is held for
    // the whole replacement: killed at any later point, the next
    // replacement finds and removes what this one left.
    FileHandle partial;
    rc = replacement_journal_begin(folder.dir.get(), uuid, j, &partial);
    if (rc != 0)
        return rc;
    // 6. The verified copy under the swap name, never under a name that says
    // "original".
    if (options->chunk_size == kChunkFromSource)
        options->chunk_size = kDefaultChunk;
    const std::string swap_path = replacement_join(folder.path, j.swap);
    options->output_path = swap_path.c_str();
    rc = container_reencode(src->container, *options);
    // 7. Lock and identify the copy; the original must not have changed.
    FileHandle copy;
    if (rc == 0)
        rc = copy_lock_and_identify(folder.dir.get(), j.swap, original_fd, ctx, &j.copy, &copy);
    ReplacementIdentity again;
    if (rc == 0)
        rc = replacement_identity_fd(original_fd, cancelled, ctx, &again);
    if (rc == 0 && !(again == j.original))
        rc = -kErrChanged;
    if (rc == 0 && engine_cancel_requested(ctx))
        rc = -ECANCELED;
    // 8. The journal makes the exchange restartable from here on.
    if (rc == 0)
        rc = replacement_journal_commit(folder.dir.get(), uuid, j, &partial);
    if (rc != 0) {
        // 9. A copy that never got its journal is removed again, and so is
        // the partial journal.
        FileStatus b;
        if (copy.valid() && file_status_at(folder.dir.get(), j.swap.c_str(), false, &b) == 0) {
            FileStatus open_copy;
            if (file_status(copy.get(), &open_copy) == 0 && b.identity == open_copy.identity)
                file_unlink_at(folder.dir.get(), j.swap.c_str());
        }
        if (partial.valid()) {
            partial.reset();
            file_unlink_at(folder.dir.get(), replacement_partial_journal_name(uuid).c_str());
        }
        file_flush(folder.dir.get());
        return rc;
    }
    // 10. The exchange: N to B, S to N.
    engine_progress(ctx, "publishing", 0, 1);
    return replacement_exchange(folder.dir.get(), j);
}

} // namespace

int run_replace(EngineContext *ctx) {
    PreparedSource src;
    ReencodeOptions options;
    int exit_code = 0;
    if (reencode_prepare(ctx, &src, &options, &exit_code) != 0)
        return exit_code;
    ReplaceState state;
    int rc = replace_files(ctx, &src, &options, &state);
    std::string path = src.path;
    int source_code = reencode_source_failure(src, rc);
    source_release(&src);
    if (source_code >= 0)
        return source_code;
    if (rc == -ECANCELED)
        return reencode_failure(rc);
    if (rc != 0) {
        const char *code = reencode_error_code(rc);
        FileStatus st;
        bool retained = !state.backup_path.empty() &&
                        file_status_path(state.backup_path.c_str(), false, &st) == 0 &&
                        recovery_files_check(path.c_str()) == RecoveryFiles::none;
        if (!retained)
            return engine_fail(code, kReplaceMessage);
        char *message = format_alloc("%s Retained encrypted file: %s", kReplaceMessage,
                                     state.backup_path.c_str());
        int code_exit = engine_fail(code, message ? message : kReplaceMessage);
        std::free(message);
        return code_exit;
    }
    JsonValue *extra = json_new(JsonKind::Object);
    json_set_string(extra, "backupPath", state.backup_path.c_str());
    int code = reencode_report(ctx, path.c_str(), options.cipher, extra);
    json_free(extra);
    return code;
}

} // namespace tw
