// The worker's life: the start-up list, the block-device callbacks the
// target calls, the watcher threads and the ending.
#include "worker/worker.h"

#include "container/container.h"
#include "container/files/file_access.h"
#include "container/keys/system_key.h"
#include "engine/credentials.h"
#include "engine/events.h"
#include "engine/image_checks.h"
#include "engine/summary.h"
#include "iscsi/naming.h"
#include "iscsi/target.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "platform/io.h"
#include "platform/named_event.h"
#include "platform/process.h"
#include "platform/secure_memory.h"
#include "runtime/errors.h"
#include "runtime/json.h"
#include "runtime/random.h"
#include "runtime/text.h"
#include "worker/marker.h"
#include "worker/overlay.h"
#include "worker/read_ahead.h"
#include "worker/status.h"
#include "worker/texts.h"

#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <pthread.h>
#include <string>
#include <unistd.h>

namespace tw {

namespace {

namespace text = worker_text;

enum class Mode { read_only, read_write, repair };

constexpr uint64_t kLockedMemoryGrowth = uint64_t{8} << 20;
constexpr int64_t kStatusPollMs = 250;
constexpr int64_t kFlusherPollMs = 200;
constexpr uint64_t kFlushAfterLastWriteMs = 1000;
constexpr uint64_t kFlushAfterFirstWriteMs = 5000;
constexpr size_t kChapSecretLength = kTargetSecretLength;

// The process globals of one mount. The lock serialises the container's
// read, write and flush paths, the overlay and the flusher.
struct Worker {
    Mode mode = Mode::read_only;
    bool writable = false;
    std::string mount_id;
    std::string path;
    WorkerStatus *status = nullptr;
    CredentialRecord *credentials = nullptr;
    bool credentials_locked = true;
    Container *container = nullptr;
    bool plaintext = false;
    char probe_text[256] = {};
    bool v3_session = false; // a version-7 store keeps the session state itself
    bool v3_began = false;   // this worker set the store's open-for-writing flag
    bool interrupted = false;
    WriteMarker marker;
    Overlay *overlay = nullptr;
    ReadAhead *read_ahead = nullptr; // chunk stores only
    IscsiTarget *target = nullptr;
    uint16_t port = 0;
    NamedEvent *stop = nullptr;
    NamedEvent *repaired = nullptr;
    NamedEvent *unchecked = nullptr;
    pthread_t threads[3] = {};
    int thread_count = 0;

    std::mutex lock;
    bool dirty = false;
    uint64_t first_unflushed_ms = 0;
    uint64_t last_write_ms = 0;
};

Worker g;

uint64_t now_ms() {
    return monotonic_now() / 10000;
}

uint32_t status_error() {
    return worker_status_load32(g.status, kStatusError);
}

void record_error(int negative) {
    worker_status_set_error(g.status, uint32_t(negative < 0 ? -negative : negative));
}

// ---- Block device callbacks

int read_container(void *, void *buffer, size_t length, uint64_t offset) {
    ssize_t n = container_read(g.container, buffer, length, offset);
    if (n < 0)
        return int(n);
    return size_t(n) == length ? 0 : -EIO;
}

// What the initiator reads from the container: through the read-ahead where
// there is one.
int read_served(void *, void *buffer, size_t length, uint64_t offset) {
    return g.read_ahead ? read_ahead_read(g.read_ahead, buffer, length, offset)
                        : read_container(nullptr, buffer, length, offset);
}

// Every use of the container other than a read waits for the read in flight
// on the read-ahead thread; a write also gives up what was read ahead.
void settle_read_ahead(bool forget) {
    if (g.read_ahead && forget)
        read_ahead_forget(g.read_ahead);
    else if (g.read_ahead)
        read_ahead_settle(g.read_ahead);
}

int device_read(void *, void *buffer, uint64_t offset, size_t count) {
    std::lock_guard<std::mutex> guard(g.lock);
    int error = g.overlay ? overlay_read(g.overlay, buffer, count, offset)
                          : read_served(nullptr, buffer, count, offset);
    if (error == 0)
        worker_status_add64(g.status, kStatusReads, 1);
    return error;
}

int device_write(void *, const void *buffer, uint64_t offset, size_t count) {
    std::lock_guard<std::mutex> guard(g.lock);
    if (!g.writable)
        return overlay_write(g.overlay, buffer, count, offset);
    if (uint32_t error = status_error())
        return -int(error);
    settle_read_ahead(true);
    ssize_t n = container_write(g.container, buffer, count, offset);
    if (n >= 0 && size_t(n) != count)
        n = -EIO;
    if (n < 0) {
        record_error(int(n));
        return int(n);
    }
    const uint64_t now = now_ms();
    if (!g.dirty)
        g.first_unflushed_ms = now;
    g.dirty = true;
    g.last_write_ms = now;
    worker_status_add64(g.status, kStatusWrites, 1);
    return 0;
}

int device_flush(void *) {
    if (!g.writable)
        return 0;
    std::lock_guard<std::mutex> guard(g.lock);
    if (uint32_t error = status_error())
        return -int(error);
    settle_read_ahead(false);
    int error = container_flush(g.container);
    if (error) {
        record_error(error);
        return error;
    }
    g.dirty = false;
    return 0;
}

void device_activity(void *, int active, int) {
    worker_status_store32(g.status, kStatusBusy, active ? 1 : 0);
    worker_status_store64(g.status, kStatusActivity, monotonic_now());
}

void device_eject(void *) {
    worker_status_store32(g.status, kStatusEjected, 1);
}

// ---- Watchers

void *stop_watcher(void *) {
    named_event_wait(g.stop, -1);
    target_stop(g.target);
    return nullptr;
}

void *status_watcher(void *) {
    while (named_event_wait(g.stop, kStatusPollMs) != 0)
        worker_status_store32(g.status, kStatusConnected, target_is_connected(g.target));
    return nullptr;
}

void *flusher(void *) {
    while (named_event_wait(g.stop, kFlusherPollMs) != 0) {
        std::lock_guard<std::mutex> guard(g.lock);
        const uint64_t now = now_ms();
        if (!g.dirty || status_error() != 0)
            continue;
        if (now - g.last_write_ms < kFlushAfterLastWriteMs &&
            now - g.first_unflushed_ms < kFlushAfterFirstWriteMs)
            continue;
        settle_read_ahead(false);
        if (int error = container_flush(g.container))
            record_error(error);
        g.dirty = false;
    }
    return nullptr;
}

void join_watchers() {
    named_event_set(g.stop);
    for (int i = 0; i < g.thread_count; ++i)
        pthread_join(g.threads[i], nullptr);
    g.thread_count = 0;
}

void on_terminate(int) {
    // Only the target's stop flag is touched here; the ending runs on the
    // main thread once target_serve returns.
    if (g.target)
        target_stop(g.target);
}

// ---- Start-up failures

void release_all() {
    overlay_destroy(g.overlay);
    g.overlay = nullptr;
    target_destroy(g.target);
    g.target = nullptr;
    named_event_close(g.unchecked);
    named_event_close(g.repaired);
    named_event_close(g.stop);
    g.unchecked = g.repaired = g.stop = nullptr;
    credential_record_free(g.credentials);
    g.credentials = nullptr;
}

// Writes the error line, marks the status record and cleans up what this
// start-up made: a marker only when this worker created it.
int fail(const char *code, const char *message) {
    event_write_error(code, message);
    read_ahead_destroy(g.read_ahead);
    g.read_ahead = nullptr;
    if (g.marker.active || g.marker.created_file || g.marker.created_attribute)
        write_marker_discard_created(&g.marker);
    write_marker_release(&g.marker);
    if (g.v3_began)
        container_finish_write_session(g.container);
    container_close(g.container);
    g.container = nullptr;
    release_all();
    if (g.status) {
        worker_status_store32(g.status, kStatusError, 5);
        worker_status_store32(g.status, kStatusExited, 1);
        worker_status_close(g.status);
        g.status = nullptr;
    }
    return std::strcmp(code, "credentials") == 0 ? 2 : 1;
}

int fail_errno(const char *code, int error) {
    return fail(code, error_text(error));
}

// ---- Start-up steps

bool parse_arguments(int argc, char **argv) {
    if (argc != 6 || std::strcmp(argv[1], "serve") != 0 || !uuid_is_valid(argv[2]))
        return false;
    for (int i = 2; i < 6; ++i)
        if (!utf8_is_valid(argv[i], std::strlen(argv[i])) || argv[i][0] == '\0')
            return false;
    if (std::strcmp(argv[5], "read-only") == 0)
        g.mode = Mode::read_only;
    else if (std::strcmp(argv[5], "read-write") == 0)
        g.mode = Mode::read_write;
    else if (std::strcmp(argv[5], "repair") == 0)
        g.mode = Mode::repair;
    else
        return false;
    g.writable = g.mode != Mode::read_only;
    g.mount_id = argv[2];
    g.path = argv[3];
    return true;
}

// Leftovers of an interrupted conversion; an error while checking counts as
// found.
bool conversion_leftovers(const std::string &path) {
    const size_t slash = path.rfind('/');
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    static constexpr char kRekeyPrefix[] = ".openzcx-rekey-";
    static constexpr char kPartialSuffix[] = ".partial";
    if (name.rfind(kRekeyPrefix, 0) == 0 && name.size() >= sizeof kPartialSuffix - 1 &&
        name.compare(name.size() - (sizeof kPartialSuffix - 1), std::string::npos,
                     kPartialSuffix) == 0)
        return true;
    return sidecar_check(path.c_str()) != 0;
}

JsonValue *summary_info(const ContainerInfo &info) {
    SummaryFacts f;
    f.format_name = format_kind_name(info.format_kind);
    f.plaintext = g.plaintext;
    f.unlocked = info.unlocked;
    f.cipher = info.cipher;
    f.cipher_name = cipher_name(info.cipher);
    f.verified = true;
    f.filesystem = g.probe_text;
    ImageReader image{read_container, nullptr, info.size};
    f.filesystem_type = filesystem_type(info.presented_sector0, image);
    f.write_filesystem = write_support_filesystem(write_support_input(info));
    FileStatus st;
    if (file_status(container_descriptor(g.container), &st) == 0) {
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
    f.recovery_required = info.v3 && info.v3_recovery_needed;
    f.cd_image = info.cd_image;
    f.header_locked = info.header_locked;
    f.memory_locked = info.memory_locked;
    f.credentials_locked = g.credentials_locked;
    JsonValue *summary = container_summary(f);
    json_remove(summary, "event");
    return summary;
}

int write_ready_line(const TargetConfig &config, const char *secret, const ContainerInfo &info) {
    JsonValue *line = json_new(JsonKind::Object);
    JsonValue *summary = summary_info(info);
    if (line == nullptr || summary == nullptr) {
        json_free(line);
        json_free(summary);
        return -ENOMEM;
    }
    json_set_string(line, "event", "ready");
    json_set_int(line, "port", g.port);
    json_set_string(line, "target", config.target_name);
    json_set_string(line, "chapName", config.chap_name);
    json_set_string(line, "chapSecret", secret);
    json_set(line, "info", summary);
    json_set_int(line, "version", 1);
    size_t length = 0;
    char *serialized = json_serialize(line, &length);
    json_free(line);
    if (serialized == nullptr)
        return -ENOMEM;
    serialized[length] = '\n';
    int error = write_full(STDOUT_FILENO, serialized, length + 1);
    serialized[length] = '\0';
    json_free_text(serialized);
    return error;
}

// The target's name, CHAP secret, serial number and NAA identifier.
int build_config(TargetConfig *config, char secret[kChapSecretLength + 1]) {
    std::string name = std::string(kTarnwickIqnAuthority) + ":" + g.mount_id;
    for (char &ch : name)
        ch = char(std::tolower(static_cast<unsigned char>(ch)));
    if (int rc = target_config_prepare(config, name, secret))
        return rc;
    uint8_t random[16];
    if (!random_bytes(random, sizeof random))
        return -EIO;
    for (size_t i = 0; i < sizeof random; ++i)
        std::snprintf(config->serial + 2 * i, 3, "%02X", random[i]);
    return 0;
}

bool start_thread(void *(*body)(void *)) {
    if (pthread_create(&g.threads[g.thread_count], nullptr, body, nullptr) != 0)
        return false;
    ++g.thread_count;
    return true;
}

int start_up(int argc, char **argv, bool *serving) {
    *serving = false;
    // 1. Hardening. The Linux kernel has no shutdown-order setting for
    // processes: a worker ends on its Stop event or on SIGTERM.
    harden_process();
    raise_locked_memory_limit(kLockedMemoryGrowth);

    // 2. The command line and the credential request.
    if (!parse_arguments(argc, argv))
        return fail("usage", text::kUsage);
    g.credentials = credential_record_new(&g.credentials_locked);
    if (g.credentials == nullptr || credential_read(STDIN_FILENO, g.credentials) != 0 ||
        g.credentials->kind != 1)
        return fail("protocol", text::kProtocol);

    // 3. The status record.
    if (worker_status_open(argv[4], &g.status) != 0) {
        g.status = nullptr;
        return fail("status", text::kStatus);
    }

    // 4. The system key.
    CredentialRecord *cred = g.credentials;
    int rc = cred->system_key_length != 0 ? system_key_set_hex(cred->system_key)
                                          : system_key_set_default();
    secure_wipe(cred->system_key, sizeof cred->system_key);
    cred->system_key_length = 0;
    if (rc != 0)
        return fail("systemKey", text::kSystemKey);

    // 5. Leftovers of an interrupted conversion.
    if (conversion_leftovers(g.path))
        return fail("recovery", text::kRecovery);

    // 6. The container, with the exclusive in-use lock when writable.
    rc = container_open(g.path.c_str(), g.writable ? kContainerOpenWrite : kContainerOpenRead,
                        &g.container);
    if (rc == -EBUSY || rc == -EWOULDBLOCK)
        return fail("busy", text::kBusy);
    if (rc != 0)
        return fail_errno("io", rc);
    const int fd = container_descriptor(g.container);

    // 7. A regular file of this user.
    FileStatus st;
    if (file_status(fd, &st) != 0 || st.type != FileType::regular || st.owner != geteuid())
        return fail("unsupported", text::kUnsupportedFile);

    // 8. Writable: local durable storage this user can write, one name only.
    ContainerInfo info;
    container_info(g.container, &info);
    if (g.writable) {
        if (info.read_only || volume_is_local_durable(fd) != 0)
            return fail("storage", text::kStorage);
        if (st.links != 1)
            return fail("storage", text::kHardLinks);
    }

    // 9. Unlock.
    rc = container_probe_plaintext(g.container);
    if (rc == 0) {
        g.plaintext = true;
    } else if (rc != -EACCES) {
        return fail("io", text::kCredentials);
    } else {
        rc = container_unlock(g.container, reinterpret_cast<const uint8_t *>(cred->password),
                              cred->password_length, cred->cipher);
        credential_record_wipe_password(cred);
        if (rc != 0)
            return fail(rc == -EACCES ? "credentials" : "io", text::kCredentials);
    }
    credential_record_wipe_password(cred);

    // 10. The filesystem probe proves the password.
    rc = container_verify_filesystem(g.container, g.probe_text, sizeof g.probe_text);
    if (rc == kVerifyReadError)
        return fail("io", text::kProbeIo);
    if (rc != kVerifyRecognised)
        return fail("credentials", text::kProbeNoMatch);
    container_info(g.container, &info);

    // 11. Both root copies of a chunk store.
    if (info.v3 && !info.v3_copies_valid)
        return fail("recovery", text::kCheckpoint);
    // 12. CD images.
    if (info.cd_image)
        return fail("unsupported", text::kCdImage);

    // 13. Write support. The open-for-writing flag is judged in step 14, so
    // that a repair mount can resume the session it marks.
    if (g.writable) {
        if (info.v3 && info.v3_version == 5)
            return fail("writeUnsupported", text::kProfileReadOnly);
        WriteSupportInput in = write_support_input(info);
        in.v3_recovery_needed = info.v3 && !info.v3_copies_valid;
        in.sector0 = info.sector0_available ? info.presented_sector0 : nullptr;
        if (g.plaintext || write_support_filesystem(in) == nullptr)
            return fail("writeUnsupported", text::kWriteUnsupported);
    }

    // 14. A version-7 store keeps its own write-session state.
    g.v3_session = info.v3 && info.v3_version == 7;
    if (g.v3_session && info.v3_open_for_writing && g.mode == Mode::read_write)
        return fail("filesystem", text::kUnfinishedSession);

    // 15. A volume left dirty by an earlier session.
    if (g.mode == Mode::read_write) {
        ImageReader image{read_container, nullptr, info.size};
        DirtyState state = dirty_state_scan(image);
        if (state == DirtyState::IoFailure)
            return fail_errno("io", -EIO);
        if (state == DirtyState::Dirty)
            return fail("filesystem", text::kUnfinishedSession);
    }

    // 16. The write-session marker.
    if (g.writable && !g.v3_session) {
        rc = write_marker_create(g.path.c_str(), fd, g.mode == Mode::repair, &g.marker);
        if (rc == -EEXIST)
            return fail("filesystem", text::kUnfinishedSession);
        if (rc != 0)
            return fail("filesystem", text::kMarker);
        g.interrupted = g.marker.interrupted;
    }

    // 17. The store's own session.
    if (g.writable && info.v3) {
        if (g.mode == Mode::repair && info.v3_open_for_writing) {
            rc = container_resume_write_session(g.container);
            g.interrupted = true;
        } else {
            rc = container_begin_write_session(g.container);
            g.v3_began = rc == 0;
        }
        if (rc != 0)
            return fail_errno("io", rc);
    }

    // A chunk store authenticates and decrypts the whole chunks of a large
    // read (and builds those of a large write) on every core. Without the
    // pool the store serves the same bytes on this thread alone, only
    // slower, so a pool that cannot start is no reason to refuse the mount.
    if (info.v3)
        static_cast<void>(container_start_chunk_pool(g.container));

    // 18. The target's configuration.
    TargetConfig config{};
    char secret[kChapSecretLength + 1] = {};
    struct Wipe {
        TargetConfig *config;
        char *secret;
        ~Wipe() {
            secure_wipe(config, sizeof *config);
            secure_wipe(secret, kChapSecretLength + 1);
        }
    } wipe{&config, secret};
    if (build_config(&config, secret) != 0)
        return fail("random", text::kRandom);

    // 19. The target.
    container_info(g.container, &info);
    // Sequential reads of a chunk store find their next range decrypted
    // ahead, on a thread of its own (with the pool), while this one answers
    // the last range. A salted container's sectors decrypt faster than the
    // hand-over to another thread costs. Like the pool, only a speed-up.
    if (info.v3)
        static_cast<void>(
            read_ahead_create(container_size(g.container), read_container, nullptr, &g.read_ahead));
    if (!g.writable) {
        g.overlay = overlay_create(container_size(g.container), read_served, nullptr);
        if (g.overlay == nullptr)
            return fail("worker", text::kWatchers);
    }
    BlockDevice device{};
    device.size = container_size(g.container);
    device.read_only = !g.writable;
    device.write_protect_switch_permitted = !g.writable;
    device.removable = 1;
    device.read = device_read;
    device.write = device_write;
    device.flush = device_flush;
    device.activity = device_activity;
    device.eject = device_eject;
    g.target = target_create(&config, &device, &g.port);
    if (g.target == nullptr)
        return fail("transport", text::kTransport);

    // 20. The named events.
    if (named_event_create("Stop." + g.mount_id, &g.stop) != 0)
        return fail("worker", text::kStopEvent);
    if (g.mode == Mode::repair &&
        (named_event_create("Repaired." + g.mount_id, &g.repaired) != 0 ||
         named_event_create("Unchecked." + g.mount_id, &g.unchecked) != 0))
        return fail("worker", text::kStopEvent);

    // 21. The watchers.
    if (!start_thread(stop_watcher) || !start_thread(status_watcher) ||
        (g.writable && !start_thread(flusher))) {
        join_watchers();
        return fail("worker", text::kWatchers);
    }
    struct sigaction action {};
    action.sa_handler = on_terminate;
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);

    // 22. The status record, then the ready line.
    worker_status_store64(g.status, kStatusSize, container_size(g.container));
    worker_status_store32(g.status, kStatusCipher, info.cipher);
    worker_status_store8(g.status, kStatusFormat, uint8_t(info.format_kind));
    worker_status_store8(g.status, kStatusCompressed, info.v3 && info.v3_compressed ? 1 : 0);
    worker_status_store8(g.status, kStatusCdImage, info.cd_image ? 1 : 0);
    worker_status_store8(g.status, kStatusWritable, g.writable ? 1 : 0);
    worker_status_store32(g.status, kStatusPort, g.port);
    worker_status_store64(g.status, kStatusActivity, monotonic_now());
    worker_status_store32(g.status, kStatusReady, 1);
    write_ready_line(config, secret, info);
    *serving = true;
    return 0;
}

// ---- Ending

bool session_clean() {
    if (g.mode != Mode::repair)
        return true;
    if (named_event_is_set(g.repaired))
        return true;
    return !g.interrupted && named_event_is_set(g.unchecked);
}

int finish() {
    // 1. Stop and join the watchers.
    join_watchers();
    // 2. Whether the session ended clean.
    const bool clean = session_clean();
    read_ahead_destroy(g.read_ahead);
    g.read_ahead = nullptr;
    // 3. The store's own session.
    if (g.writable && g.v3_session && clean && status_error() == 0) {
        if (int error = container_finish_write_session(g.container))
            record_error(error);
    }
    // 4. The container.
    if (int error = container_close(g.container))
        record_error(error);
    g.container = nullptr;
    // 5. The marker.
    if (g.marker.active) {
        if (status_error() == 0 && clean) {
            if (write_marker_remove(&g.marker) != 0)
                record_error(-EIO);
        }
        write_marker_release(&g.marker);
    }
    // 6. Everything else; exited is the last field written.
    release_all();
    const uint32_t error = status_error();
    worker_status_store32(g.status, kStatusConnected, 0);
    worker_status_store32(g.status, kStatusBusy, 0);
    worker_status_store32(g.status, kStatusExited, 1);
    worker_status_close(g.status);
    g.status = nullptr;
    return error == 0 ? 0 : 1;
}

} // namespace

int worker_main(int argc, char **argv) {
    bool serving = false;
    int code = start_up(argc, argv, &serving);
    if (!serving)
        return code;
    // 23. Serve until stopped.
    if (int error = target_serve(g.target))
        record_error(error);
    return finish();
}

} // namespace tw
