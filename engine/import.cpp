// "import-veracrypt" and "import-recover": a VeraCrypt file container
// becomes a new AES-256-XTS container, parsed and copied by a sandboxed
// second copy of the engine (the import worker) into a staged unnamed file
// in the destination folder, which this process then checks completely and
// publishes under the requested name.
#include "container/container.h"
#include "container/files/file_access.h"
#include "container/keys/system_key.h"
#include "container/v3/v3_store.h"
#include "engine/engine.h"
#include "engine/events.h"
#include "engine/import_protocol.h"
#include "engine/import_staging.h"
#include "engine/operations.h"
#include "engine/source.h"
#include "engine/veracrypt.h"
#include "platform/files.h"
#include "platform/io.h"
#include "platform/process.h"
#include "platform/secure_memory.h"
#include "runtime/errors.h"
#include "runtime/json.h"
#include "runtime/text.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

namespace tw {

namespace {

// ---- Texts

constexpr const char *kSweepFailed =
    "Tarnwick could not check what interrupted imports left behind, so no import was started. "
    "Make sure your account can read ~/.local/share/Tarnwick/import-staging.";
constexpr const char *kPasswordLength = "VeraCrypt passwords are 1 to 128 bytes long.";
constexpr const char *kChooseName = "Choose a file name for the new container.";
constexpr const char *kDestinationExists = "The destination already exists. Choose a new filename.";
constexpr const char *kSourceBusy =
    "Tarnwick could not open the VeraCrypt file for shared reading. Dismount it or mount it "
    "read-only in VeraCrypt. Close any other program writing to the file and try again.";
constexpr const char *kSourceStorage =
    "Choose an original VeraCrypt container file on a local ext4, XFS or Btrfs disk. Network "
    "paths, cloud placeholders and file links are unsupported.";
constexpr const char *kHeaderLocked =
    "The VeraCrypt header could not be unlocked. Check the password. Tarnwick imports standard "
    "AES volumes with SHA-512 and the default PIM.";
constexpr const char *kNoFilesystem = "The VeraCrypt volume has no supported filesystem or "
                                      "partition layout. The VeraCrypt file was not changed.";
constexpr const char *kUnsupported =
    "Tarnwick cannot import this VeraCrypt volume yet: it uses other settings, or the file is "
    "incomplete. The VeraCrypt file was not changed.";
constexpr const char *kHeaderUnreadable =
    "The VeraCrypt header could not be read. The VeraCrypt file was not changed.";
constexpr const char *kNoSpace =
    "There is not enough free space for the new container. The VeraCrypt file was not changed.";
constexpr const char *kDestinationStorage =
    "Choose a destination folder on a local ext4, XFS or Btrfs disk.";
constexpr const char *kDestinationUntrusted =
    "Choose a local destination folder owned by your account that other users cannot modify.";
constexpr const char *kStartFailed =
    "Linux could not start the isolated import process (%s, error %d). Nothing was saved.";
constexpr const char *kStartFailedPlain =
    "Linux could not start the isolated import process. Nothing was saved.";
constexpr const char *kStoppedUnexpectedly =
    "The isolated import process stopped unexpectedly. Nothing was saved.";
constexpr const char *kCancelled =
    "Import cancelled. The VeraCrypt file was not changed and no container was saved.";
constexpr const char *kChanged = "A file or folder changed during the import. Nothing was saved. "
                                 "Try again.";
constexpr const char *kVerification = "The new container did not match the VeraCrypt volume, so "
                                      "it was not saved. The VeraCrypt file was not changed.";
constexpr const char *kDestinationChanged =
    "The destination folder changed during the import. Nothing was saved. Try again.";
constexpr const char *kNameAppeared =
    "A file with this name appeared during the import and was kept. Choose a new file name.";
constexpr const char *kMetadata =
    "The new container is saved, but Linux did not confirm that it reached the disk. Check the "
    "file before you use it, or import again.";
constexpr const char *kReopenFailed = "The new container could not be opened again. Check it "
                                      "before you use it. The VeraCrypt file was not changed.";
constexpr const char *kSystemKey = "The system key must contain exactly 14 hexadecimal digits.";

constexpr int kRecordTimeoutMs = 120000;
constexpr int kPollMs = 50;
constexpr int kExitWaitMs = 10000;

// ---- The worker process

struct Worker {
    LaunchedProcess process;
    bool running = false;
    bool reaped = false;
    int wait_status = 0;
    FileHandle input;  // the parent's end of the worker's input socket
    FileHandle status; // the read end of the status pipe
};

// Reaps the worker, waiting at most `timeout_ms` (-1: forever) for it to
// end; true when it has ended.
bool worker_reap(Worker *w, int timeout_ms) {
    if (!w->running || w->reaped)
        return true;
    pollfd p{w->process.pidfd, POLLIN, 0};
    if (timeout_ms != 0 && poll(&p, 1, timeout_ms) <= 0 && timeout_ms > 0)
        return false;
    int status = 0;
    pid_t got = process_wait(w->process.pid, &status, timeout_ms < 0 ? 0 : WNOHANG);
    if (got != w->process.pid)
        return false;
    w->reaped = true;
    w->wait_status = status;
    return true;
}

void worker_kill(Worker *w) {
    if (!w->running)
        return;
    if (!w->reaped) {
        kill(w->process.pid, SIGKILL);
        worker_reap(w, -1);
    }
    if (w->process.pidfd >= 0)
        close(w->process.pidfd);
    w->process.pidfd = -1;
    w->running = false;
}

bool worker_ended(Worker *w) {
    return worker_reap(w, 0);
}

struct StartFailure {
    const char *stage = nullptr;
    int error = 0;
};

std::string random_hex(size_t bytes) {
    uint8_t random[32];
    std::string text;
    if (bytes > sizeof random || random_fill(random, bytes) != 0)
        return text;
    char pair[3];
    for (size_t i = 0; i < bytes; ++i) {
        std::snprintf(pair, sizeof pair, "%02x", random[i]);
        text += pair;
    }
    return text;
}

// Starts the worker with the source, its input socket and its status pipe
// as its only descriptors besides /dev/null.
int worker_start(int source_fd, Worker *w, StartFailure *failure) {
    int channel[2], status[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, channel) != 0) {
        *failure = {"pipes", errno};
        return -1;
    }
    FileHandle worker_input(channel[1]);
    w->input.reset(channel[0]);
    if (pipe2(status, O_CLOEXEC) != 0) {
        *failure = {"pipes", errno};
        return -1;
    }
    FileHandle worker_status(status[1]);
    w->status.reset(status[0]);
    std::string engine;
    if (int error = process_image_path(getpid(), &engine)) {
        *failure = {"image", -error};
        return -1;
    }
    std::string name = random_hex(16);
    if (name.empty()) {
        *failure = {"sandbox name", EIO};
        return -1;
    }
    const std::string argv[] = {engine,
                                "import-worker",
                                "Tarnwick.Import." + name,
                                std::to_string(kImportSourceFd),
                                std::to_string(kImportInputFd),
                                std::to_string(kImportStatusFd)};
    const int inherit[] = {source_fd, worker_input.get(), worker_status.get()};
    LaunchOptions options;
    options.new_process_group = true;
    options.kill_with_parent = true;
    options.inherit = inherit;
    if (int error = launch_process(argv, options, &w->process)) {
        *failure = {"create process", -error};
        return -1;
    }
    w->running = true;
    return 0;
}

// ---- Records

// Waits for one complete record: cancellation is ECANCELED, 120 s without
// one ETIMEDOUT, a worker that ended with part of a record EPROTO (EPIPE
// with nothing waiting), a failed read EPIPE, a malformed record EPROTO.
int read_record(EngineContext *ctx, Worker *w, ImportRecord *record) {
    int waited = 0;
    for (;;) {
        if (engine_cancel_requested(ctx))
            return -ECANCELED;
        int available = 0;
        if (ioctl(w->status.get(), FIONREAD, &available) != 0)
            return -EPIPE;
        if (available >= int(kImportRecordSize)) {
            uint8_t bytes[kImportRecordSize];
            if (read_full(w->status.get(), bytes, sizeof bytes) != 0)
                return -EPIPE;
            if (!import_record_decode(bytes, record)) {
                std::fputs("Error: the isolated import process sent a malformed record.\n", stderr);
                return -EPROTO;
            }
            return 0;
        }
        if (worker_ended(w)) {
            // Whatever it wrote before it ended is in the pipe by now.
            if (ioctl(w->status.get(), FIONREAD, &available) != 0)
                return -EPIPE;
            if (available >= int(kImportRecordSize))
                continue;
            return available == 0 ? -EPIPE : -EPROTO;
        }
        if (waited >= kRecordTimeoutMs)
            return -ETIMEDOUT;
        // Wait on the process, and on the pipe unless part of a record is
        // already there (it would wake the wait at once).
        pollfd p[2] = {{w->process.pidfd, POLLIN, 0}, {w->status.get(), POLLIN, 0}};
        poll(p, available > 0 ? 1 : 2, kPollMs);
        waited += kPollMs;
    }
}

int send_message(int fd, const uint8_t *bytes, size_t length, const int *fds, size_t fd_count) {
    iovec io{const_cast<uint8_t *>(bytes), length};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * 2)] = {};
    msghdr m{};
    m.msg_iov = &io;
    m.msg_iovlen = 1;
    if (fd_count > 0) {
        m.msg_control = control;
        m.msg_controllen = CMSG_SPACE(sizeof(int) * fd_count);
        cmsghdr *c = CMSG_FIRSTHDR(&m);
        c->cmsg_level = SOL_SOCKET;
        c->cmsg_type = SCM_RIGHTS;
        c->cmsg_len = CMSG_LEN(sizeof(int) * fd_count);
        std::memcpy(CMSG_DATA(c), fds, sizeof(int) * fd_count);
    }
    ssize_t sent = send_message_some(fd, &m, MSG_NOSIGNAL);
    return sent >= 0 && size_t(sent) == length ? 0 : -EPIPE;
}

void put64(uint8_t *p, uint64_t v) {
    for (int i = 0; i < 8; ++i)
        p[i] = uint8_t(v >> (8 * i));
}

// ---- Failures

struct Import {
    EngineContext *ctx = nullptr;
    Worker worker;
    FileHandle source;
    FileStatus source_status;
    FileHandle folder;
    FileStatus folder_status;
    std::string folder_path;
    const char *final_name = nullptr;
    FileHandle staged; // the unnamed staged file, read-write
    uint64_t total = 0;
    int kept = 0;
};

int fail(Import *im, const char *code, const char *message) {
    worker_kill(&im->worker);
    return engine_fail(code, message);
}

int fail_format(Import *im, const char *code, const char *plain, const char *format, ...)
    __attribute__((format(printf, 4, 5)));
int fail_format(Import *im, const char *code, const char *plain, const char *format, ...) {
    va_list args;
    va_start(args, format);
    char *text = nullptr;
    int n = vasprintf(&text, format, args);
    va_end(args);
    int exit_code = fail(im, code, n >= 0 && text ? text : plain);
    if (n >= 0)
        std::free(text);
    return exit_code;
}

// The worker's part failed with `rc`: the message for each kind of
// failure.
int fail_worker(Import *im, int rc) {
    switch (-rc) {
    case ECANCELED:
        return fail(im, "cancelled", kCancelled);
    case kErrChanged:
        return fail(im, "sourceChanged", kChanged);
    case ENOSPC:
        return fail(im, "space", kNoSpace);
    case EILSEQ:
        return fail(im, "verification", kVerification);
    case EPROTO:
    case ETIMEDOUT:
    case EPIPE:
        break;
    default:
        return fail(im, "io", error_text(rc));
    }
    // Why it stopped goes to standard error, for whoever reads the log.
    Worker *w = &im->worker;
    const bool ended = worker_reap(w, 1000);
    if (ended && WIFSIGNALED(w->wait_status))
        std::fprintf(stderr, "Error: the isolated import process was ended by signal %d.\n",
                     WTERMSIG(w->wait_status));
    if (ended && WIFEXITED(w->wait_status) && WEXITSTATUS(w->wait_status) == kWorkerNotSandboxed)
        std::fputs("Error: the isolated import process could not enter its sandbox. Unprivileged "
                   "user namespaces and seccomp must be available; the import never runs "
                   "without them.\n",
                   stderr);
    return fail(im, "protection", kStoppedUnexpectedly);
}

int fail_open_result(Import *im, int result) {
    switch (-result) {
    case EACCES:
        return fail(im, "credentials", kHeaderLocked);
    case ENODEV:
        return fail(im, "filesystem", kNoFilesystem);
    case EINVAL:
    case ENOTSUP:
    case EPROTONOSUPPORT:
        return fail(im, "unsupported", kUnsupported);
    default:
        return fail(im, "io", kHeaderUnreadable);
    }
}

// ---- Steps

// Step 3: OUTPUT's folder and file name.
bool split_output(const char *output, std::string *folder, const char **name) {
    const char *slash = std::strrchr(output, '/');
    *name = slash ? slash + 1 : output;
    if (**name == 0 || std::strcmp(*name, ".") == 0 || std::strcmp(*name, "..") == 0)
        return false;
    if (slash == nullptr)
        *folder = ".";
    else if (slash == output)
        *folder = "/";
    else
        folder->assign(output, size_t(slash - output));
    return true;
}

// Step 5: the source, read-only, never through a link, on local storage,
// with the in-use lock shared so that no writer of this system gets it.
int open_source(Import *im, int *exit_code) {
    const char *path = im->ctx->args.file;
    int fd =
        file_open(path, FileAccess::read, FileCreate::open_existing, kFileNoFollow | kFileNonBlock);
    if (fd == -ELOOP || fd == -EISDIR) {
        *exit_code = fail(im, "storage", kSourceStorage);
        return -1;
    }
    if (fd < 0) {
        *exit_code = fail(im, "io", error_text(fd));
        return -1;
    }
    im->source.reset(fd);
    if (int error = file_status(fd, &im->source_status)) {
        *exit_code = fail(im, "io", error_text(error));
        return -1;
    }
    if (im->source_status.type != FileType::regular || volume_is_local_durable(fd) != 0) {
        *exit_code = fail(im, "storage", kSourceStorage);
        return -1;
    }
    int error = file_lock(fd, false);
    if (error == -EWOULDBLOCK || error == -EAGAIN) {
        *exit_code = fail(im, "busy", kSourceBusy);
        return -1;
    }
    if (error != 0) {
        *exit_code = fail(im, "io", error_text(error));
        return -1;
    }
    return 0;
}

// Step 10: the destination folder and the staged file in it.
int prepare_destination(Import *im, const std::string &folder, int *exit_code) {
    int dir = directory_open(folder.c_str());
    if (dir < 0) {
        *exit_code = fail(im, "destination", kDestinationUntrusted);
        return -1;
    }
    im->folder.reset(dir);
    int error = folder_is_trusted(dir);
    if (error == 0)
        error = volume_is_local_durable(dir);
    if (error == 0)
        error = v3_space_check(dir, im->total);
    if (error == 0)
        error = file_status(dir, &im->folder_status);
    if (error == 0)
        error = final_path_of_handle(dir, &im->folder_path);
    int staged = error == 0 ? file_open_unnamed(dir) : error;
    if (staged == -EOPNOTSUPP || staged == -EISDIR)
        error = -ENOTSUP;
    else if (staged < 0)
        error = staged;
    if (error != 0) {
        *exit_code = error == -ENOSPC    ? fail(im, "space", kNoSpace)
                     : error == -ENOTSUP ? fail(im, "destination", kDestinationStorage)
                                         : fail(im, "destination", kDestinationUntrusted);
        return -1;
    }
    im->staged.reset(staged);
    return 0;
}

// A read-only descriptor of the staged file: a new open of the same file.
int staged_read_only(Import *im) {
    char path[64];
    std::snprintf(path, sizeof path, "/proc/self/fd/%d", im->staged.get());
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    return fd < 0 ? -errno : fd;
}

// Step 11: the output request with the staged file's two descriptors.
int send_output_request(Import *im) {
    const CredentialRecord *cr = im->ctx->credentials;
    if (cr->new_password_length > kImportNewPasswordField - 1 ||
        cr->system_key_length > kImportSystemKeyField - 1)
        return -E2BIG;
    int read_only = staged_read_only(im);
    if (read_only < 0)
        return read_only;
    FileHandle ro(read_only);
    SecureBuffer request(kImportOutputRequestSize);
    if (!request.valid())
        return -ENOMEM;
    put64(request.data(), 0);
    put64(request.data() + 8, 1);
    std::memcpy(request.data() + kImportNewPasswordOffset, cr->new_password,
                cr->new_password_length);
    std::memcpy(request.data() + kImportSystemKeyOffset, cr->system_key, cr->system_key_length);
    if (engine_cancel_requested(im->ctx))
        return -ECANCELED;
    const int fds[2] = {im->staged.get(), ro.get()};
    int error =
        send_message(im->worker.input.get(), request.data(), kImportOutputRequestSize, fds, 2);
    request.wipe();
    return error;
}

// Step 12: progress until the final record, then the worker's exit.
int follow_worker(Import *im) {
    uint32_t phase = kImportPhaseImporting;
    bool last_was_verified_total = false;
    for (;;) {
        ImportRecord r;
        if (int error = read_record(im->ctx, &im->worker, &r))
            return error;
        if (r.type == kImportProgress) {
            if (r.total != im->total || r.phase < phase || r.phase > kImportPhaseVerifying)
                return -EPROTO;
            phase = r.phase;
            last_was_verified_total = phase == kImportPhaseVerifying && r.done == r.total;
            engine_progress(im->ctx, phase == kImportPhaseVerifying ? "verifying" : "importing",
                            r.done, r.total);
            continue;
        }
        if (r.type != kImportFinished)
            return -EPROTO;
        if (r.result != 0)
            return r.result < 0 ? r.result : -EPROTO;
        if (r.phase != 0 || r.total != im->total || r.done != im->total || !last_was_verified_total)
            return -EPROTO;
        break;
    }
    Worker *w = &im->worker;
    if (!worker_reap(w, kExitWaitMs) || !WIFEXITED(w->wait_status) ||
        WEXITSTATUS(w->wait_status) != 0)
        return -EPROTO;
    int available = 0;
    if (ioctl(w->status.get(), FIONREAD, &available) == 0 && available != 0)
        return -EPROTO;
    return 0;
}

struct CheckProgress {
    EngineContext *ctx;
    std::atomic<uint32_t> *cancel;
};

void check_progress(uint64_t done, uint64_t total, void *data) {
    auto *p = static_cast<CheckProgress *>(data);
    if (engine_cancel_requested(p->ctx))
        p->cancel->store(1);
    engine_progress(p->ctx, "checking", done, total);
}

// Step 14: the new container, opened by this process through a fresh
// read-only descriptor, must be exactly what was asked for and read back
// completely. ECANCELED, or EILSEQ for any mismatch or failure.
int check_staged(Import *im) {
    int fd = staged_read_only(im);
    if (fd < 0)
        return -EILSEQ;
    FileHandle ro(fd);
    const CredentialRecord *cr = im->ctx->credentials;
    Container *c = nullptr;
    int error = container_open_descriptor_named(ro.get(), false, "staged import", &c);
    if (error == 0)
        error = container_unlock(c, reinterpret_cast<const uint8_t *>(cr->new_password),
                                 cr->new_password_length, kCipherAesXts);
    if (error == 0 && container_verify_filesystem(c) != kVerifyRecognised)
        error = -EILSEQ;
    ContainerInfo info{};
    if (error == 0) {
        container_info(c, &info);
        if (info.cipher != kCipherAesXts || container_size(c) != im->total)
            error = -EILSEQ;
    }
    std::atomic<uint32_t> cancel{0};
    if (error == 0) {
        container_set_cancel(c, &cancel);
        CheckProgress progress{im->ctx, &cancel};
        error = container_check_all(c, check_progress, &progress);
    }
    container_close(c);
    if (error == -ECANCELED || engine_cancel_requested(im->ctx))
        return -ECANCELED;
    return error == 0 ? 0 : -EILSEQ;
}

int install_key(const CredentialRecord *cr) {
    return cr->system_key_length != 0 ? system_key_set_hex({cr->system_key, cr->system_key_length})
                                      : system_key_set_default();
}

// Steps 15 to 18. Returns the exit code on failure (nonzero result), else 0
// with *metadata_error set when the last flushes failed. The staged file
// has no name until here (an unnamed file vanishes by itself when the
// import dies), so its staged name is chosen now, recorded, given to it,
// and then exchanged for the final name.
int publish(Import *im, int staging, bool *metadata_error, int *exit_code) {
    FileStatus now;
    int dir = directory_open(im->folder_path.c_str());
    FileHandle reopened(dir);
    if (dir < 0 || file_status(dir, &now) != 0 || !(now.identity == im->folder_status.identity)) {
        *exit_code = fail(im, "destination", kDestinationChanged);
        return -1;
    }
    FileStatus staged_status;
    if (int error = file_status(im->staged.get(), &staged_status)) {
        *exit_code = fail(im, "io", error_text(error));
        return -1;
    }
    char staged_name[kStagedNameLength + 1];
    if (int error = staged_name_make(staged_name)) {
        *exit_code = fail(im, "io", error_text(error));
        return -1;
    }
    StagingRecord record{im->folder_path, im->folder_status.identity, staged_name,
                         staged_status.identity};
    std::string record_name;
    if (int error = staging_record_write(staging, record, &record_name)) {
        *exit_code = fail(im, "io", error_text(error));
        return -1;
    }
    if (engine_cancel_requested(im->ctx)) {
        staging_record_delete(staging, record_name);
        *exit_code = fail(im, "cancelled", kCancelled);
        return -1;
    }

    // The unnamed file gets its staged name (its deletion mark cleared),
    // then the final name, never replacing anything. The staging record
    // covers the moment in between.
    int error = file_link_at(im->staged.get(), im->folder.get(), staged_name);
    if (error == 0) {
        error = rename_noreplace(im->folder.get(), staged_name, im->final_name);
        if (error != 0) {
            int removed = file_unlink_at(im->folder.get(), staged_name);
            if (removed == 0 || removed == -ENOENT)
                staging_record_delete(staging, record_name);
        }
    } else {
        staging_record_delete(staging, record_name);
    }
    if (error != 0) {
        *exit_code = error == -EEXIST ? fail(im, "destinationExists", kNameAppeared)
                                      : fail(im, "io", error_text(error));
        return -1;
    }
    *metadata_error = file_flush(im->folder.get()) != 0 || file_flush(im->staged.get()) != 0 ||
                      staging_record_delete(staging, record_name) != 0;
    return 0;
}

// Step 19: the published container, opened again by its name.
int report(Import *im, bool metadata_error) {
    EngineContext *ctx = im->ctx;
    PreparedSource written;
    written.path = ctx->args.output;
    int rc = container_open(ctx->args.output, kContainerOpenRead, &written.container);
    if (rc == 0)
        rc = container_unlock(written.container,
                              reinterpret_cast<const uint8_t *>(ctx->credentials->new_password),
                              ctx->credentials->new_password_length, kCipherAesXts);
    if (rc == 0 && container_verify_filesystem(written.container, written.probe_text,
                                               sizeof written.probe_text) != kVerifyRecognised)
        rc = -EILSEQ;
    if (rc != 0) {
        source_release(&written);
        return engine_fail("verification", kReopenFailed);
    }
    JsonValue *extra = json_new(JsonKind::Object);
    if (extra != nullptr && metadata_error)
        json_set_string(extra, "metadataError", kMetadata);
    if (extra != nullptr && im->kept > 0)
        json_set_int(extra, "importRecordsKept", im->kept);
    int code = write_summary(ctx, written, true, extra);
    json_free(extra);
    source_release(&written);
    return code;
}

int run_import(Import *im) {
    EngineContext *ctx = im->ctx;
    const CredentialRecord *cr = ctx->credentials;

    // 1. What interrupted imports left behind.
    int staging_fd = staging_folder_open();
    int kept = staging_fd < 0 ? staging_fd : staging_sweep();
    if (kept < 0)
        return fail(im, "recovery", kSweepFailed);
    FileHandle staging(staging_fd);
    im->kept = kept;

    // 2, 3. The password, the output name and the system key text.
    if (cr->password_length < 1 || cr->password_length > kVeraCryptMaxPasswordLength)
        return fail(im, "credentials", kPasswordLength);
    std::string folder;
    if (!split_output(ctx->args.output, &folder, &im->final_name))
        return fail(im, "usage", kChooseName);
    FileStatus existing;
    int taken = file_status_path(ctx->args.output, false, &existing);
    if (taken == 0)
        return fail(im, "destinationExists", kDestinationExists);
    if (taken != -ENOENT)
        return fail(im, "io", error_text(taken));
    if (install_key(cr) != 0)
        return fail(im, "systemKey", kSystemKey);
    system_key_forget(); // applied again for the check, once the worker is done

    // 4. Linux has no cloud placeholders to expose: nothing to switch.
    // 5. The source.
    int exit_code = 0;
    if (open_source(im, &exit_code) != 0)
        return exit_code;

    // 6, 7. The worker, and its first record.
    StartFailure start;
    if (worker_start(im->source.get(), &im->worker, &start) != 0)
        return fail_format(im, "protection", kStartFailedPlain, kStartFailed, start.stage,
                           start.error);
    ImportRecord r;
    int rc = read_record(ctx, &im->worker, &r);
    if (rc == 0 && (r.type != kImportStarted || r.result != 0))
        rc = -EPROTO;
    if (rc != 0)
        return fail_worker(im, rc);

    // 8. The VeraCrypt password.
    {
        SecureBuffer message(kImportPasswordMessageSize);
        if (!message.valid())
            return fail(im, "engine", "Out of memory.");
        std::memcpy(message.data(), cr->password, cr->password_length);
        rc = send_message(im->worker.input.get(), message.data(), kImportPasswordMessageSize,
                          nullptr, 0);
        message.wipe();
        credential_record_wipe_password(ctx->credentials);
        if (rc != 0)
            return fail_worker(im, rc);
    }

    // 9. The volume's outcome.
    rc = read_record(ctx, &im->worker, &r);
    if (rc == 0 && r.type != kImportVolumeOpened)
        rc = -EPROTO;
    if (rc != 0)
        return fail_worker(im, rc);
    if (r.result != 0)
        return fail_open_result(im, r.result);
    if (r.total == 0 || r.total % kSectorSize != 0)
        return fail_worker(im, -EPROTO);
    im->total = r.total;

    // 10. The destination and the staged file.
    engine_progress(ctx, "importing", 0, im->total);
    if (prepare_destination(im, folder, &exit_code) != 0)
        return exit_code;

    // 11, 12. The copy.
    rc = send_output_request(im);
    if (rc == -E2BIG)
        return fail(im, "io", error_text(rc));
    if (rc == 0)
        rc = follow_worker(im);
    if (rc != 0)
        return fail_worker(im, rc);
    worker_kill(&im->worker);

    // 13. Nothing may have changed meanwhile.
    if (engine_cancel_requested(ctx))
        return fail(im, "cancelled", kCancelled);
    FileStatus source_now, staged_now;
    if (file_status(im->source.get(), &source_now) != 0 ||
        !(source_now.identity == im->source_status.identity) ||
        source_now.size != im->source_status.size ||
        !(source_now.last_write == im->source_status.last_write) ||
        file_status(im->staged.get(), &staged_now) != 0 || staged_now.links != 0)
        return fail(im, "sourceChanged", kChanged);

    // 14. The parent's own complete check.
    if (install_key(cr) != 0)
        return fail(im, "systemKey", kSystemKey);
    rc = check_staged(im);
    if (rc == -ECANCELED)
        return fail(im, "cancelled", kCancelled);
    if (rc != 0)
        return fail(im, "verification", kVerification);

    // 15 to 18. Publishing.
    bool metadata_error = false;
    if (publish(im, staging.get(), &metadata_error, &exit_code) != 0)
        return exit_code;

    // 19. The summary of the published container. The staged descriptor
    // goes first: it shares the open file whose exclusive in-use lock the
    // worker took for writing.
    im->staged.reset();
    return report(im, metadata_error);
}

} // namespace

int run_import_veracrypt(EngineContext *ctx) {
    engine_set_cancelled_message(kCancelled);
    Import im;
    im.ctx = ctx;
    int code = run_import(&im);
    worker_kill(&im.worker);
    return code;
}

int run_import_recover(EngineContext *) {
    int kept = staging_sweep();
    if (kept < 0)
        return engine_fail("recovery", kSweepFailed);
    JsonValue *result = json_new(JsonKind::Object);
    if (result == nullptr)
        return engine_fail("engine", "Out of memory.");
    json_set_int(result, "importRecordsKept", kept);
    event_write_result(result);
    json_free(result);
    return kExitSuccess;
}

} // namespace tw
