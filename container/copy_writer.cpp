// The copy writer: streams a decrypted image into a new container written in
// a hidden temporary, reopens that temporary as a container, proves the new
// password on it and compares every byte with the source before the output
// may be published.
#include "container/container.h"

#include "container/container_access.h"
#include "container/container_internal.h"
#include "container/copy_source.h"
#include "container/files/file_access.h"
#include "container/files/output_file.h"
#include "container/formats/formats.h"
#include "container/keys/keys.h"
#include "container/keys/system_key.h"
#include "container/v3/v3_pool.h"
#include "platform/io.h"
#include "runtime/errors.h"

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

namespace tw {

namespace {

// Called with the output's descriptor once it is written, before it is
// flushed and reopened for verification (tests only).
void (*written_hook)(int output_fd) = nullptr;

// The source is encrypted and written in steps of kStep (the steps decide
// where the transactions of a v3 output end, so they are part of its bytes);
// verification reads and compares larger steps, one pool window at a time.
constexpr size_t kStep = 256 * 1024;
constexpr size_t kVerifyStep = 512 * 1024;
static_assert(kVerifyStep >= kStep && kVerifyStep <= kV3PoolWindowBytes);
constexpr uint64_t kSaltedSizeLimit = 0x7FFFFFFFFFFFF000ull;
constexpr size_t kSectorBlocks = kSectorSize / kSse2BlockSize;

bool cancelled(const std::atomic<uint32_t> *cancel) {
    return cancel != nullptr && cancel->load(std::memory_order_relaxed) != 0;
}
bool cancelled(const Container *c) {
    return cancelled(c->cancel);
}

// Flushes the written output on a thread of its own while it is read back
// and compared: verification reads the same bytes from the page cache either
// way, and nothing is published before both have ended. Without the thread
// the flush runs at once, before verification.
class BackgroundFlush {
  public:
    // Without `use_thread` (a copy told to stay on the calling thread, as in
    // the import worker's sandbox) the flush runs at once.
    BackgroundFlush(int fd, bool use_thread) : fd_(fd) {
        if (!use_thread) {
            result_ = file_flush(fd_);
            return;
        }
        sigset_t all, previous;
        sigfillset(&all);
        pthread_sigmask(SIG_SETMASK, &all, &previous);
        started_ = pthread_create(&thread_, nullptr, main, this) == 0;
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
        if (!started_)
            result_ = file_flush(fd_);
    }
    BackgroundFlush(const BackgroundFlush &) = delete;
    BackgroundFlush &operator=(const BackgroundFlush &) = delete;
    ~BackgroundFlush() { finish(); }

    // The flush's result, once it has ended.
    int finish() {
        if (started_) {
            pthread_join(thread_, nullptr);
            started_ = false;
        }
        return result_;
    }

  private:
    static void *main(void *self) {
        auto *f = static_cast<BackgroundFlush *>(self);
        f->result_ = file_flush(f->fd_);
        return nullptr;
    }

    int fd_;
    pthread_t thread_{};
    bool started_ = false;
    int result_ = 0;
};

int read_container_range(void *user, void *buffer, size_t length, uint64_t offset) {
    return container_read_range(static_cast<Container *>(user), buffer, length, offset);
}

CopySource source_of(Container *c) {
    return {container_size(c), read_container_range, c, c->cancel, true};
}

void report(const ReencodeOptions &o, const char *phase, uint64_t done, uint64_t total) {
    if (o.progress)
        o.progress(phase, done, total, o.progress_data);
}

struct Target {
    Container *container = nullptr; // output cipher, system-key schedule, v3 store
    int fd = -1;                    // the output being written (not owned)
    bool v3 = false;
};

// Encrypts one step of the salted layout in place: sector 0 under the system
// key, every other sector with the output cipher and its own number.
int encrypt_salted_step(Target *t, uint8_t *data, size_t length, uint64_t offset) {
    uint64_t first = offset / kSectorSize;
    size_t count = length / kSectorSize;
    if (first == 0) {
        sse2_encrypt_blocks(data, kSectorBlocks, t->container->system_key_schedule);
        ++first;
        --count;
        data += kSectorSize;
    }
    if (count == 0)
        return 0;
    return cipher_sectors(&t->container->data_cipher, first, count, data, data, kEncrypt);
}

int write_step(Target *t, uint8_t *data, size_t length, uint64_t offset) {
    if (t->v3)
        return v3_write(t->container->v3, container_v3_cipher, t->container, data, length, offset);
    if (int error = encrypt_salted_step(t, data, length, offset))
        return error;
    return pwrite_full(t->fd, data, length, offset);
}

// The output is unlocked again for verification from the same password and
// salt it was created with: the PBKDF2 result is remembered for the length
// of one copy instead of being computed twice. Without memory for it, both
// derivations simply run.
struct KdfMemoScope {
    KdfMemoScope() : open(kdf_memo_begin() == 0) {}
    ~KdfMemoScope() {
        if (open)
            kdf_memo_end();
    }
    KdfMemoScope(const KdfMemoScope &) = delete;
    KdfMemoScope &operator=(const KdfMemoScope &) = delete;
    bool open;
};

// A new read-only description of an unnamed file.
int reopen_read_only(int fd) {
    char path[64];
    std::snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
    return file_open(path, FileAccess::read, FileCreate::open_existing, 0);
}

// Opens the finished output again, read-only, as the file just written.
int reopen_output(const OutputFile &out, const FileStatus &written, int verify_fd, int *fd) {
    int reopened;
    if (verify_fd >= 0)
        reopened = file_duplicate(verify_fd);
    else if (out.temporary_name[0] != 0)
        reopened = file_open_at(out.directory.get(), out.temporary_name, FileAccess::read,
                                FileCreate::open_existing, 0);
    else
        reopened = reopen_read_only(out.file.get());
    if (reopened < 0)
        return reopened;
    FileStatus now;
    int error = file_status(reopened, &now);
    if (error == 0 && (now.type != FileType::regular || !(now.identity == written.identity) ||
                       now.size != written.size))
        error = -kErrChanged;
    if (error) {
        close(reopened);
        return error;
    }
    *fd = reopened;
    return 0;
}

// The reopened output must be exactly what was meant.
int check_output(const Container *v, const CopySource &source, const ReencodeOptions &o,
                 bool keep_open) {
    bool ok = v->info.size == source.size && v->info.cipher == o.cipher;
    if (o.chunk_size == 0) {
        ok = ok && v->info.format_kind == kFormatSalted;
    } else {
        ok = ok && v->info.format_kind == kFormatCompressed && v->v3 != nullptr &&
             !v3_recovery_needed(v->v3) && v3_open_for_writing(v->v3) == keep_open &&
             v3_chunk_size(v->v3) == o.chunk_size && v3_compressed(v->v3) == o.compress &&
             v3_version(v->v3) == (o.keyfile_secret ? 8u : 7u);
    }
    return ok ? 0 : -EILSEQ;
}

int verify_output(const CopySource &source, const OutputFile &out, const FileStatus &written,
                  const ReencodeOptions &o, bool keep_open, uint8_t *const a[2], uint8_t *b) {
    int fd = -1;
    if (int error = reopen_output(out, written, o.output_fd, &fd))
        return error;
    Container *v = nullptr;
    const char *name = out.temporary_name[0] != 0 ? out.temporary_name : "private output";
    int error = container_open_descriptor_named(fd, false, name, &v);
    close(fd);
    if (error)
        return error;
    if (cancelled(source.cancel))
        error = -ECANCELED;
    if (error == 0)
        error = container_unlock_with_secret(v, o.password, o.password_length, o.keyfile_secret,
                                             o.cipher);
    if (error == 0) {
        int result = container_verify_filesystem(v);
        if (result == kVerifyReadError)
            error = v->last_read_error ? v->last_read_error : -EIO;
        else if (result != kVerifyRecognised)
            error = -EILSEQ;
    }
    if (error == 0)
        error = check_output(v, source, o, keep_open);
    if (error == 0)
        error = container_start_chunk_pool(v, o.threads);
    const uint64_t total = source.size;
    if (error == 0)
        report(o, "verifying", 0, total);
    {
        // The source is read one step ahead while the output is read and
        // compared.
        StepReadAhead ahead(source);
        int slot = 0;
        if (error == 0 && total > 0)
            ahead.start(a[0], size_t(std::min<uint64_t>(kVerifyStep, total)), 0);
        for (uint64_t done = 0; error == 0 && done < total;) {
            size_t step = size_t(std::min<uint64_t>(kVerifyStep, total - done));
            error = ahead.finish();
            const uint64_t next = done + step;
            if (error == 0 && next < total)
                ahead.start(a[1 - slot], size_t(std::min<uint64_t>(kVerifyStep, total - next)),
                            next);
            if (error == 0)
                error = container_read_range(v, b, step, done);
            if (error == 0 && std::memcmp(a[slot], b, step) != 0)
                error = -EILSEQ;
            if (error == 0 && cancelled(source.cancel))
                error = -ECANCELED;
            done = next;
            slot = 1 - slot;
            if (error == 0)
                report(o, "verifying", done, total);
        }
    }
    int close_error = container_close(v);
    return error ? error : close_error;
}

int copy_write(const CopySource &source, Target *t, const ReencodeOptions &o, bool keep_open,
               const uint8_t *trailer, OutputFile *out, const char *phase,
               FileStatus *written_status = nullptr) {
    if (int error = file_lock(t->fd, true))
        return error;
    const uint64_t total = source.size;
    int error = 0;
    if (t->v3) {
        V3Store *store = nullptr;
        error = v3_create(t->fd, total, o.cipher, o.chunk_size, o.compress, o.password,
                          o.password_length, o.keyfile_secret, o.keyfile_secret ? 8 : 7, &store,
                          t->container->data_key);
        t->container->v3 = store;
        if (error == 0) {
            v3_set_no_flush(store, true);
            error = cipher_setup(&t->container->data_cipher, o.cipher, t->container->data_key,
                                 cipher_key_length(o.cipher));
        }
        if (error == 0)
            error = v3_pool_start(store, &t->container->data_cipher, o.threads);
        // The output stays unnamed until it is complete and flushed, so its
        // commits may reach the file behind the transformation of the next.
        // Without the writing thread the commits are written at once, only
        // more slowly.
        if (error == 0 && v3_pool_threads(store) > 1)
            static_cast<void>(v3_pool_write_behind(store));
        secure_wipe(t->container->data_key, kDataKeySize);
    } else {
        error = file_reserve(t->fd, total + kKdfTrailerSize);
    }
    if (error)
        return error;

    // Two buffers for the source (one is read while the other is written)
    // and one for the output read back during verification.
    SecureBuffer a0(kVerifyStep), a1(kVerifyStep), b(kVerifyStep);
    if (!a0.valid() || !a1.valid() || !b.valid())
        return -ENOMEM;
    uint8_t *const a[2] = {a0.data(), a1.data()};
    report(o, phase, 0, total);
    {
        StepReadAhead ahead(source);
        int slot = 0;
        if (total > 0 && !cancelled(source.cancel))
            ahead.start(a[0], size_t(std::min<uint64_t>(kStep, total)), 0);
        for (uint64_t done = 0; done < total;) {
            if (cancelled(source.cancel))
                return -ECANCELED;
            size_t step = size_t(std::min<uint64_t>(kStep, total - done));
            error = ahead.finish();
            const uint64_t next = done + step;
            if (error == 0 && next < total && !cancelled(source.cancel))
                ahead.start(a[1 - slot], size_t(std::min<uint64_t>(kStep, total - next)), next);
            if (error == 0)
                error = write_step(t, a[slot], step, done);
            secure_wipe(a[slot], step);
            if (error)
                return error;
            done = next;
            slot = 1 - slot;
            report(o, phase, done, total);
        }
    }
    a0.wipe();
    a1.wipe();
    if (t->v3) {
        // Sector 0 once more, as the last write, so that it is current.
        error = source.read(source.user, a[0], kSectorSize, 0);
        if (error == 0)
            error = write_step(t, a[0], kSectorSize, 0);
        a0.wipe();
        if (error == 0)
            error = keep_open ? v3_commit(t->container->v3) : v3_end_writes(t->container->v3);
        const int behind = v3_pool_write_behind_end(t->container->v3);
        if (error == 0)
            error = behind;
        // Written: its threads and buffers are not needed for verification.
        v3_pool_stop(t->container->v3);
    } else {
        error = pwrite_full(t->fd, trailer, kKdfTrailerSize, total);
    }
    FileStatus written;
    if (error == 0)
        error = file_status(t->fd, &written);
    if (error == 0 && written_status != nullptr)
        *written_status = written;
    if (error == 0 && written_hook != nullptr)
        written_hook(t->fd);
    if (error)
        return error;
    BackgroundFlush flush(t->fd, o.threads != 1);
    error = verify_output(source, *out, written, o, keep_open, a, b.data());
    const int flushed = flush.finish();
    return error ? error : flushed;
}

int refuse(const Container *s, const ReencodeOptions &o) {
    bool source_v8 = s->v3 != nullptr && v3_has_version8_copy(s->v3);
    if (source_v8 && (v3_version(s->v3) < 8 || v3_recovery_needed(s->v3)))
        return -ENOTRECOVERABLE;
    if ((source_v8 && o.keyfile_secret == nullptr) ||
        (o.keyfile_secret != nullptr && (o.cipher != kCipherAesXts || o.chunk_size == 0)))
        return -ENOTSUP;
    if (!s->info.read_only || !s->info.unlocked || !s->info.sector0_available ||
        s->info.header_locked || o.password == nullptr || o.password_length == 0)
        return -EINVAL;
    if (o.output_path == nullptr && o.output_fd < 0)
        return -EINVAL;
    if (!cipher_is_offered(o.cipher) || (o.cipher == kCipherXChaCha20 && o.chunk_size == 0))
        return -EINVAL;
    if (o.chunk_size != 0 && o.chunk_size != 4096 && o.chunk_size != 16384 && o.chunk_size != 65536)
        return -EINVAL;
    bool source_cipher_ok =
        o.creation ? s->info.cipher == kCipherNone
                   : s->info.cipher == kCipherNone || cipher_is_offered(s->info.cipher);
    if (!source_cipher_ok || s->info.fallback || s->info.size % kSectorSize != 0)
        return -EINVAL;
    if (cancelled(s))
        return -ECANCELED;
    if (o.password_length > kMaxPasswordLength)
        return -E2BIG;
    return 0;
}

// An output handle given by the caller: a regular, empty file open for
// reading and writing, with one link, not the source, on a local volume.
int check_output_handle(int fd, const Container *source) {
    FileStatus status;
    if (int error = file_status(fd, &status))
        return error;
    FileAccess access;
    if (int error = file_access_mode(fd, &access))
        return error;
    if (status.type != FileType::regular || status.size != 0 || status.links != 1 ||
        access != FileAccess::read_write || status.identity == source->open_status.identity ||
        volume_is_local_durable(fd) != 0)
        return -EINVAL;
    return 0;
}

bool path_based(const Container *s) {
    return s->display_path != nullptr && s->display_path[0] == '/';
}

} // namespace

void copy_writer_set_written_hook_for_testing(void (*hook)(int output_fd)) {
    written_hook = hook;
}

int container_lock_for_copy(Container *container) {
    const int fd = container->fd;
    // Linux grants the exclusive lock only to a descriptor open for writing.
    // A read-only one (a file this user may only read, a read-only mount)
    // takes the shared lock, which keeps every writer out, and is refused
    // while any other open file holds a lock on it.
    int error = handle_is_read_only(fd) ? -EBADF : file_lock(fd, true);
    if (error == -EBADF) {
        error = file_lock(fd, false);
        if (error == 0)
            error = file_lock_test(fd, true);
    }
    if (error) {
        // Left locked out: no key, no cipher, not unlocked.
        cipher_reset(&container->data_cipher);
        secure_wipe(container->data_key, sizeof container->data_key);
        container->info.cipher = kCipherUnset;
        container->info.unlocked = false;
    }
    return error;
}

int container_reencode(Container *source, const ReencodeOptions &o) {
    if (int error = refuse(source, o))
        return error;
    KdfMemoScope memo;
    const bool existing = !o.creation && path_based(source);
    if (existing) {
        if (int error = sidecar_check(source->display_path))
            return error;
    }
    if (o.output_path != nullptr) {
        if (int error = sidecar_check(o.output_path))
            return error;
    }
    if (source->info.block_device || volume_is_local_durable(source->fd) != 0)
        return -EINVAL;
    if (int error = container_lock_for_copy(source))
        return error == -EAGAIN || error == -EWOULDBLOCK ? -EBUSY : error;
    FileStatus before;
    if (int error = file_status(source->fd, &before))
        return error;

    int probe = container_verify_filesystem(source);
    if (probe == kVerifyReadError)
        return source->last_read_error ? source->last_read_error : -EIO;
    if (probe != kVerifyRecognised)
        return -EACCES;

    const bool keep_open = source->v3 != nullptr && v3_open_for_writing(source->v3);
    if (keep_open && o.chunk_size == 0)
        return -kErrChanged;
    if (o.chunk_size == 0 && container_size(source) >= kSaltedSizeLimit)
        return -EFBIG;

    Target target;
    if (int error = container_allocate(&target.container))
        return error;
    Container *t = target.container;
    std::memcpy(t->system_key_schedule, source->system_key_schedule, kSse2TableSize);
    t->system_key_loaded = source->system_key_loaded;
    t->info.cipher = o.cipher;
    target.v3 = o.chunk_size != 0;
    int error = 0;
    if (!target.v3) {
        error = kdf_trailer_create(t->trailer, container_size(source), o.cipher, o.password,
                                   o.password_length, t->data_key);
        if (error == 0)
            error =
                cipher_setup(&t->data_cipher, o.cipher, t->data_key, cipher_key_length(o.cipher));
        secure_wipe(t->data_key, kDataKeySize);
    }
    if (error == 0 && cancelled(source))
        error = -ECANCELED;

    OutputFile out;
    bool opened = false;
    if (error == 0) {
        if (o.output_path != nullptr) {
            error = output_open(source->fd, o.output_path, true, &out);
        } else {
            error = check_output_handle(o.output_fd, source);
            if (error == 0) {
                int dup = file_duplicate(o.output_fd);
                if (dup < 0)
                    error = dup;
                else
                    output_open_direct(FileHandle(dup), &out);
            }
        }
        opened = error == 0;
    }
    FileStatus written;
    if (error == 0)
        error = container_start_chunk_pool(source);
    if (error == 0) {
        target.fd = out.file.get();
        error = copy_write(source_of(source), &target, o, keep_open, t->trailer, &out,
                           o.creation ? "initializing" : "reencoding", &written);
    }
    container_stop_chunk_pool(source);
    container_close(t);

    // Nothing may have changed under the copy.
    if (error == 0) {
        FileStatus after;
        error = file_status(source->fd, &after);
        if (error == 0 && !file_status_same(before, after))
            error = -kErrChanged;
    }
    if (error == 0 && existing) {
        FileStatus named;
        error = file_status_path(source->display_path, true, &named);
        if (error == 0 && !(named.identity == before.identity))
            error = -kErrChanged;
        if (error == 0)
            error = sidecar_check(source->display_path);
    }
    if (error == 0 && o.output_path != nullptr)
        error = sidecar_check(o.output_path);
    // The output must still be exactly what was written and verified.
    if (error == 0 && o.output_path != nullptr) {
        error = output_unchanged(out, o.output_path, written);
    } else if (error == 0) {
        FileStatus now;
        error = file_status(out.file.get(), &now);
        if (error == 0 && !file_status_same(now, written))
            error = -kErrChanged;
    }
    if (error == 0 && cancelled(source))
        error = -ECANCELED;
    if (!opened)
        return error;
    return output_publish(source->fd, o.output_path ? o.output_path : "private output", &out, error,
                          nullptr);
}

int container_create_from_image(int image_fd, const ReencodeOptions &options) {
    if (options.keyfile_secret == nullptr && !system_key_is_set())
        return -EINVAL;
    FileStatus status;
    if (int error = file_status(image_fd, &status))
        return error;
    if (status.type != FileType::regular || status.owner != geteuid() || status.links != 0 ||
        !handle_is_read_only(image_fd))
        return -EINVAL;
    Container *image = nullptr;
    if (int error = container_open_descriptor_named(image_fd, false, "private creation image",
                                                    &image, kContainerFreshImage))
        return error;
    int error = container_probe_plaintext(image);
    if (error != 0 || image->info.format_kind != kFormatClear)
        error = -EINVAL;
    if (error == 0) {
        ReencodeOptions o = options;
        o.creation = true;
        if (o.cipher == kCipherXChaCha20 && o.chunk_size == 0) {
            o.chunk_size = 16384;
            o.compress = false;
        }
        error = container_reencode(image, o);
    }
    container_close(image);
    return error;
}

int container_import_stream(const ImportStream &in) {
    if (!system_key_is_set())
        return -EINVAL;
    if (in.size == 0 || in.size % kSectorSize != 0 || in.read == nullptr)
        return -EINVAL;
    if (in.password == nullptr || in.password_length == 0)
        return -EINVAL;
    if (in.password_length > kMaxPasswordLength)
        return -E2BIG;
    FileStatus source, output, output_read;
    if (int error = file_status(in.source_fd, &source))
        return error;
    if (int error = file_status(in.output_fd, &output))
        return error;
    if (int error = file_status(in.output_read_fd, &output_read))
        return error;
    FileAccess access;
    if (int error = file_access_mode(in.output_fd, &access))
        return error;
    if (source.type != FileType::regular || !handle_is_read_only(in.source_fd) ||
        output_read.type != FileType::regular || !handle_is_read_only(in.output_read_fd))
        return -EINVAL;
    if (output.type != FileType::regular || output.size != 0 || output.links > 1 ||
        access == FileAccess::read || output.identity == source.identity ||
        output.owner != geteuid() || volume_is_local_durable(in.output_fd) != 0 ||
        !(output.identity == output_read.identity))
        return -EINVAL;
    if (cancelled(in.cancel))
        return -ECANCELED;

    Target target;
    if (int error = container_allocate(&target.container))
        return error;
    Container *t = target.container;
    uint8_t key[kSystemKeySize];
    int error = system_key_get(key);
    if (error == 0) {
        sse2_schedule(key, t->system_key_schedule);
        t->system_key_loaded = true;
    }
    secure_wipe(key, sizeof key);
    target.v3 = true;
    target.fd = in.output_fd;
    ReencodeOptions o;
    o.password = in.password;
    o.password_length = in.password_length;
    o.cipher = kCipherAesXts;
    o.chunk_size = 16384;
    o.compress = false;
    o.output_fd = in.output_read_fd; // verification reads through this handle
    o.threads = 1;
    o.progress = in.progress;
    o.progress_data = in.progress_data;
    CopySource stream{in.size, in.read, in.user, in.cancel};
    OutputFile unused;
    FileStatus written;
    KdfMemoScope memo;
    if (error == 0)
        error = copy_write(stream, &target, o, false, nullptr, &unused, "importing", &written);
    container_close(t);
    if (error == 0) {
        FileStatus source_after, output_after;
        error = file_status(in.source_fd, &source_after);
        if (error == 0)
            error = file_status(in.output_fd, &output_after);
        if (error == 0 &&
            (!file_status_same(source, source_after) || !file_status_same(written, output_after)))
            error = -kErrChanged;
    }
    if (error == 0 && cancelled(in.cancel))
        error = -ECANCELED;
    return error;
}

} // namespace tw
