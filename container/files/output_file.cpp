#include "container/files/output_file.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sched.h>
#include <string>
#include <unistd.h>

#include "container/files/file_access.h"
#include "runtime/errors.h"

namespace tw {

namespace {

// ---- Process-wide list of named temporaries
//
// A fixed table of slots driven by atomic states, so that a cancellation
// thread or a signal handler can remove the temporaries while the main thread
// writes, without a lock that either side could be holding.

enum SlotState : int { kSlotFree, kSlotFilling, kSlotActive, kSlotRemoving, kSlotRemoved };

struct TemporarySlot {
    std::atomic<int> state{kSlotFree};
    int directory = -1;
    char name[kOutputNameMax + 1] = {};
};

constexpr int kTemporarySlots = 32;
TemporarySlot temporary_slots[kTemporarySlots];

int register_temporary(int directory, const char *name) {
    for (int i = 0; i < kTemporarySlots; ++i) {
        TemporarySlot &slot = temporary_slots[i];
        int expected = kSlotFree;
        if (!slot.state.compare_exchange_strong(expected, kSlotFilling))
            continue;
        slot.directory = directory;
        std::snprintf(slot.name, sizeof slot.name, "%s", name);
        slot.state.store(kSlotActive);
        return i;
    }
    return -EMFILE;
}

// Takes the temporary off the list. If a removal is running on it, waits for
// that to finish: the caller is about to close the directory it uses.
void unregister_temporary(int index) {
    if (index < 0 || index >= kTemporarySlots)
        return;
    TemporarySlot &slot = temporary_slots[index];
    for (;;) {
        int state = slot.state.load();
        if (state == kSlotActive) {
            if (slot.state.compare_exchange_strong(state, kSlotFree))
                return;
        } else if (state == kSlotRemoving) {
            sched_yield();
        } else {
            slot.state.store(kSlotFree);
            return;
        }
    }
}

// ---- Names

constexpr size_t kDirectoryPathMax = 4095;
constexpr int kExportNameAttempts = 16;
constexpr int kPrivateNameAttempts = 99;

// Splits an output path at its last "/" into the folder and the final name.
int split_output_path(const char *path, std::string *directory, const char **final_name) {
    const char *slash = std::strrchr(path, '/');
    const char *name = slash ? slash + 1 : path;
    if (name[0] == '\0' || std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0)
        return -EISDIR;
    if (std::strlen(name) > kOutputNameMax)
        return -ENAMETOOLONG;
    // Literal folders are built with a fresh string: assigning a literal
    // into *directory trips a false -Wrestrict overlap warning in GCC 12 at -O3.
    if (slash == nullptr) {
        *directory = std::string(1, '.');
    } else if (slash == path) {
        *directory = std::string(1, '/');
    } else {
        size_t length = static_cast<size_t>(slash - path);
        if (length > kDirectoryPathMax)
            return -ENAMETOOLONG;
        directory->assign(path, length);
    }
    *final_name = name;
    return 0;
}

// Formats "PREFIX" + final name cut to `cut` bytes + ".%012llx" + suffix.
int temporary_name(char *buffer, size_t size, const char *prefix, const char *final_name,
                   size_t cut, const char *suffix) {
    int length = std::snprintf(buffer, size, "%s%.*s.%012llx%s", prefix,
                               static_cast<int>(utf8_prefix_length(final_name, cut)), final_name,
                               static_cast<unsigned long long>(random_48bit()), suffix);
    if (length < 0 || static_cast<size_t>(length) > kOutputNameMax)
        return -ENAMETOOLONG;
    return 0;
}

// Creates a named temporary, drawing a new number on every collision.
int create_named_temporary(OutputFile *out, const char *prefix, size_t cut, const char *suffix,
                           int attempts) {
    for (int attempt = 0; attempt < attempts; ++attempt) {
        char name[kOutputNameMax + 1];
        if (int error = temporary_name(name, sizeof name, prefix, out->final_name, cut, suffix))
            return error;
        int fd = file_open_at(out->directory.get(), name, FileAccess::read_write,
                              FileCreate::create_new, kFileOwnerOnly | kFileNoFollow);
        if (fd == -EEXIST)
            continue;
        if (fd < 0)
            return fd;
        out->file.reset(fd);
        std::snprintf(out->temporary_name, sizeof out->temporary_name, "%s", name);
        int slot = register_temporary(out->directory.get(), name);
        if (slot < 0) {
            file_unlink_at(out->directory.get(), name);
            out->file.reset();
            out->temporary_name[0] = '\0';
            return slot;
        }
        out->registration = slot;
        return 0;
    }
    return -EEXIST;
}

// Unlinks the named temporary (if any) and takes it off the list. Returns
// 0, or EIO after printing the line that names the file left behind.
int remove_temporary(OutputFile *out) {
    int result = 0;
    if (out->temporary_name[0] != '\0') {
        int error = file_unlink_at(out->directory.get(), out->temporary_name);
        if (error && error != -ENOENT) {
            std::fprintf(stderr,
                         "Error: could not remove the temporary file '%s' next to the output "
                         "(%s); it holds the output's data, remove it by hand.\n",
                         out->temporary_name, error_text(error));
            result = -EIO;
        }
    }
    unregister_temporary(out->registration);
    out->registration = -1;
    out->temporary_name[0] = '\0';
    return result;
}

void clear_record(OutputFile *out) {
    out->file.reset();
    out->directory.reset();
    out->final_name[0] = '\0';
    out->temporary_name[0] = '\0';
    out->hidden_temporary = false;
    out->no_replace = false;
    out->private_output = false;
    out->direct = false;
}

int not_regular(const char *path) {
    std::fprintf(stderr, "Error: '%s' is not a regular file.\n", path);
    return -EINVAL;
}

int source_itself(const char *path) {
    std::fprintf(stderr, "Error: '%s' is the source container itself.\n", path);
    return -EINVAL;
}

// ---- Publishing

std::atomic<PublishHook> publish_hook{nullptr};

void run_publish_hook(const char *output_path, PublishStage stage) {
    if (PublishHook hook = publish_hook.load())
        hook(output_path, stage);
}

int cannot_put_in_place(const char *output_path) {
    std::fprintf(stderr,
                 "Error: this filesystem can't put '%s' in place without risking replacing "
                 "another file (no RENAME_NOREPLACE, no hard links); write the output to "
                 "another filesystem.\n",
                 output_path);
    return -ENOTSUP;
}

int changed_meanwhile(const char *output_path) {
    std::fprintf(stderr, "Error: '%s' changed while the output was written; not replacing it.\n",
                 output_path);
    return -EBUSY;
}

struct PublishState {
    bool published = false;
    bool moved_aside = false;
    char backup_name[kOutputNameMax + 1] = {};
    FileHandle previous; // the file moved aside, locked until publishing ends
};

// Moves a file that has the final name aside to the backup name, after making
// sure that it may be replaced: a regular file (or link), not the source, not
// in use.
int move_previous_aside(int source, const char *output_path, OutputFile *out,
                        const FileStatus &existing, PublishState *state) {
    int dir = out->directory.get();
    if (existing.type != FileType::regular && existing.type != FileType::link)
        return not_regular(output_path);

    int fd = file_open_at(dir, out->final_name, FileAccess::read_write, FileCreate::open_existing,
                          kFileNonBlock);
    if (fd == -EACCES || fd == -EPERM || fd == -EROFS || fd == -ETXTBSY)
        fd = file_open_at(dir, out->final_name, FileAccess::read, FileCreate::open_existing,
                          kFileNonBlock);
    if (fd < 0) {
        std::fprintf(stderr, "Error: cannot check whether '%s' is in use: %s\n", output_path,
                     error_text(fd));
        return fd;
    }
    state->previous.reset(fd);
    FileStatus opened;
    if (int error = file_status(fd, &opened)) {
        std::fprintf(stderr, "Error: cannot check whether '%s' is in use: %s\n", output_path,
                     error_text(error));
        return error;
    }
    if (opened.type != FileType::regular)
        return not_regular(output_path);
    if (existing.type == FileType::regular && opened.identity != existing.identity)
        return changed_meanwhile(output_path);
    if (source >= 0) {
        FileStatus source_status;
        if (int error = file_status(source, &source_status)) {
            std::fprintf(stderr, "Error: cannot check whether '%s' is the source container: %s\n",
                         output_path, error_text(error));
            return error;
        }
        if (source_status.identity == opened.identity)
            return source_itself(output_path);
    }

    // Holding the exclusive lock keeps a mount or a conversion from starting
    // on the old file while it is moved. A descriptor that could only be
    // opened for reading cannot hold it; there the lock is only tested.
    int lock_error = handle_is_read_only(fd) ? file_lock_test(fd, true) : file_lock(fd, true);
    if (lock_error == -EWOULDBLOCK || lock_error == -EBUSY) {
        std::fprintf(stderr,
                     "Error: '%s' is in use (mounted or being converted); not replacing it.\n",
                     output_path);
        return -EBUSY;
    }
    if (lock_error) {
        std::fprintf(stderr, "Error: cannot lock '%s' to check whether it is in use: %s\n",
                     output_path, error_text(lock_error));
        return lock_error;
    }

    if (int error = temporary_name(state->backup_name, sizeof state->backup_name, ".",
                                   out->final_name, 200, ".old"))
        return error;
    run_publish_hook(output_path, PublishStage::before_move_aside);
    // Moving the old file aside needs the same facilities as putting the
    // output in place; where they are missing, say so before anything moved.
    if (int error = rename_noreplace(dir, out->final_name, state->backup_name))
        return error == -ENOTSUP ? cannot_put_in_place(output_path) : error;
    state->moved_aside = true;

    // What was moved must be what was checked: the name itself (a link is
    // moved as a link) and, for a regular file, the file opened and locked.
    FileStatus moved;
    bool same = file_status_at(dir, state->backup_name, false, &moved) == 0 &&
                moved.identity == existing.identity &&
                (existing.type == FileType::link || moved.identity == opened.identity);
    return same ? 0 : changed_meanwhile(output_path);
}

int put_in_place(const char *output_path, OutputFile *out, PublishState *state) {
    int dir = out->directory.get();
    int error = out->hidden_temporary ? file_link_at(out->file.get(), dir, out->final_name)
                                      : rename_noreplace(dir, out->temporary_name, out->final_name);
    if (error == 0) {
        state->published = true;
        if (!out->hidden_temporary) {
            unregister_temporary(out->registration);
            out->registration = -1;
            out->temporary_name[0] = '\0';
        }
        return 0;
    }
    if (error == -EEXIST) {
        std::fprintf(stderr,
                     "Error: '%s' appeared while the output was written; not replacing it.\n",
                     output_path);
        return -EBUSY;
    }
    if (error == -ENOTSUP || (out->hidden_temporary && error == -EPERM))
        return cannot_put_in_place(output_path);
    return error;
}

int publish_steps(int source, const char *output_path, OutputFile *out,
                  const PublishCallbacks *callbacks, PublishState *state) {
    if (int error = file_flush(out->file.get())) {
        std::fprintf(stderr, "Error: flushing the output for '%s' failed: %s.\n", output_path,
                     error_text(error));
        return error;
    }
    if (callbacks && callbacks->cancelled && callbacks->cancelled(callbacks->context))
        return -ECANCELED;
    if (callbacks && callbacks->progress)
        callbacks->progress(callbacks->context, "publishing", 0, 1);

    int dir = out->directory.get();
    FileStatus existing;
    int error = file_status_at(dir, out->final_name, false, &existing);
    if (error == 0) {
        if (out->no_replace)
            return -EEXIST;
        error = move_previous_aside(source, output_path, out, existing, state);
    } else if (error == -ENOENT) {
        error = 0;
    }
    if (error == 0) {
        run_publish_hook(output_path, PublishStage::before_put_in_place);
        error = put_in_place(output_path, out, state);
    }

    if (state->moved_aside) {
        if (error == 0) {
            int unlink_error = file_unlink_at(dir, state->backup_name);
            if (unlink_error)
                std::fprintf(stderr,
                             "Error: '%s' is in place, but the previous one couldn't be removed "
                             "and is still '%s' in the same directory: %s.\n",
                             output_path, state->backup_name, error_text(unlink_error));
        } else if (rename_noreplace(dir, state->backup_name, out->final_name) != 0) {
            std::fprintf(stderr, "Error: the previous '%s' is now '%s' in the same directory.\n",
                         output_path, state->backup_name);
        }
    }
    return error;
}

} // namespace

int output_open(int source, const char *output_path, bool private_output, OutputFile *out) {
    clear_record(out);
    if (int error = file_path_check(output_path))
        return error;

    FileStatus existing;
    int error = file_status_path(output_path, true, &existing);
    if (error == 0) {
        if (source >= 0) {
            FileStatus source_status;
            if (int source_error = file_status(source, &source_status))
                return source_error;
            if (source_status.identity == existing.identity)
                return source_itself(output_path);
        }
        if (existing.type != FileType::regular)
            return not_regular(output_path);
    } else if (error != -ENOENT) {
        return error;
    }

    std::string directory_path;
    const char *final_name = nullptr;
    if (int split_error = split_output_path(output_path, &directory_path, &final_name))
        return split_error;
    int dir = directory_open(directory_path.c_str());
    if (dir < 0)
        return dir;
    out->directory.reset(dir);
    std::snprintf(out->final_name, sizeof out->final_name, "%s", final_name);

    if (!private_output) {
        int fd = file_open_unnamed(dir);
        if (fd >= 0) {
            out->file.reset(fd);
            out->hidden_temporary = true;
            return 0;
        }
        if (fd != -EOPNOTSUPP && fd != -EISDIR && fd != -EINVAL && fd != -ENOENT) {
            clear_record(out);
            return fd;
        }
        // No unnamed files here: a hidden name that the engine removes on
        // cancellation and exit.
        error = create_named_temporary(out, ".", 200, "", kExportNameAttempts);
        if (error)
            clear_record(out);
        return error;
    }

    out->no_replace = true;
    out->private_output = true;
    error = folder_is_trusted(dir);
    if (error == 0)
        error = volume_is_local_durable(dir);
    if (error == 0) {
        FileStatus final_status;
        int final_error = file_status_at(dir, out->final_name, false, &final_status);
        if (final_error == 0)
            error = -EEXIST;
        else if (final_error != -ENOENT)
            error = final_error;
    }
    if (error == 0)
        error =
            create_named_temporary(out, ".openzcx-rekey-", 180, ".partial", kPrivateNameAttempts);
    if (error)
        clear_record(out);
    return error;
}

void output_open_direct(FileHandle file, OutputFile *out) {
    clear_record(out);
    out->file = std::move(file);
    out->direct = true;
}

int output_publish(int source, const char *output_path, OutputFile *out, int status,
                   const PublishCallbacks *callbacks) {
    int result = status;
    if (out->direct) {
        FileStatus file_status_now;
        if (result == 0 && file_status(out->file.get(), &file_status_now) == 0 &&
            (file_status_now.type == FileType::regular ||
             file_status_now.type == FileType::block_device)) {
            result = file_flush(out->file.get());
            if (result)
                std::fprintf(stderr, "Error: flushing the output for '%s' failed: %s.\n",
                             output_path, error_text(result));
        }
        int close_error = out->file.reset();
        if (result == 0)
            result = close_error;
        clear_record(out);
        return result;
    }
    if (!out->file.valid() || !out->directory.valid()) {
        clear_record(out);
        return result ? result : -EBADF;
    }

    PublishState state;
    if (result == 0)
        result = publish_steps(source, output_path, out, callbacks, &state);

    // A re-encoded container is flushed once more after it got its name.
    FileHandle published_copy;
    if (result == 0 && out->private_output)
        published_copy.reset(dup(out->file.get()));

    int close_error = out->file.reset();
    if (result == 0)
        result = close_error;
    bool temporary_remained = false;
    if (!state.published) {
        int remove_error = remove_temporary(out);
        temporary_remained = remove_error != 0;
        if (result == 0)
            result = remove_error;
    }
    if (!temporary_remained && result == 0)
        result = file_flush(out->directory.get());
    if (result == 0 && published_copy.valid())
        result = file_flush(published_copy.get());
    state.previous.reset();
    clear_record(out);
    return result;
}

int output_unchanged(const OutputFile &out, const char *output_path, const FileStatus &written) {
    FileStatus now;
    if (int error = file_status(out.file.get(), &now))
        return error;
    if (!file_status_same(now, written))
        return -kErrChanged;
    if (out.temporary_name[0] != '\0') {
        FileStatus named;
        int error = file_status_at(out.directory.get(), out.temporary_name, false, &named);
        if (error == -ENOENT || (error == 0 && named.identity != now.identity))
            return -kErrChanged;
        if (error)
            return error;
    }
    std::string directory_path;
    const char *final_name = nullptr;
    if (int error = split_output_path(output_path, &directory_path, &final_name))
        return error;
    FileStatus directory_now;
    FileStatus directory_named;
    if (int error = file_status(out.directory.get(), &directory_now))
        return error;
    int error = file_status_path(directory_path.c_str(), true, &directory_named);
    if (error == -ENOENT || error == -ENOTDIR ||
        (error == 0 && directory_named.identity != directory_now.identity))
        return -kErrChanged;
    return error;
}

void output_discard(OutputFile *out) {
    out->file.reset();
    if (!out->direct)
        remove_temporary(out);
    clear_record(out);
}

void output_set_publish_hook_for_testing(PublishHook hook) {
    publish_hook.store(hook);
}

int output_remove_registered() {
    int removed = 0;
    for (TemporarySlot &slot : temporary_slots) {
        int expected = kSlotActive;
        if (!slot.state.compare_exchange_strong(expected, kSlotRemoving))
            continue;
        if (file_unlink_at(slot.directory, slot.name) == 0)
            ++removed;
        slot.state.store(kSlotRemoved);
    }
    return removed;
}

} // namespace tw
