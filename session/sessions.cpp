// Mount sessions: records, workers, the broker exchanges, refresh and
// unmount.
#include "session/sessions.h"

#include "platform/clock.h"
#include "platform/files.h"
#include "platform/folders.h"
#include "platform/io.h"
#include "platform/named_event.h"
#include "platform/process.h"
#include "platform/secure_memory.h"
#include "runtime/errors.h"
#include "runtime/mount_preferences.h"
#include "runtime/records.h"
#include "runtime/text.h"
#include "session/preferences.h"
#include "session/texts.h"
#include "session/worker_status.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <strings.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace tw {

namespace wire = session_wire;
namespace text = session_text;

namespace {

constexpr uint64_t kUnitsPerMs = 10000;
constexpr int kLinePollMs = 50;
constexpr uint64_t kReadyTimeoutMs = 180000;
constexpr size_t kReadyLineMax = 65536;
constexpr int kStopWaitMs = 10000;
constexpr int kKillWaitMs = 5000;
constexpr uint64_t kUnmountWaitMs = 60000;
constexpr int kEndWaitMs = 5000;
constexpr size_t kLabelMax = 127;
constexpr size_t kLabelBaseMax = 90;
constexpr int kLabelNumberMax = 999;
constexpr int kWireTimedOut = 138;

BrokerCallFn g_broker_call = nullptr;

// One request on a new connection to the broker, checked as the installed
// broker before anything is sent.
int broker_call(JsonValue *request, JsonValue **reply, std::string *message) {
    *reply = nullptr;
    if (g_broker_call != nullptr)
        return g_broker_call(request, reply, message);
    FileHandle fd;
    const char *refusal = nullptr;
    int rc = broker_connect(&fd, &refusal);
    if (rc != 0) {
        json_free(request);
        *message = refusal != nullptr ? refusal : "";
        return rc;
    }
    return broker_exchange(fd.get(), request, reply, message);
}

JsonValue *broker_request_for(const char *action, const char *id) {
    JsonValue *request = json_new(JsonKind::Object);
    json_set_string(request, "action", action);
    if (id != nullptr)
        json_set_string(request, "id", id);
    return request;
}

const char *record_id(const JsonValue *record) {
    return json_get_string(record, wire::kId, "");
}
const char *record_phase(const JsonValue *record) {
    return json_get_string(record, wire::kPhase, "");
}
bool phase_is(const JsonValue *record, const char *phase) {
    return strcmp(record_phase(record), phase) == 0;
}

std::string session_folder(const Service *s, const char *id) {
    return s->run_folder + "/" + id;
}
std::string record_path(const Service *s, const char *id) {
    return session_folder(s, id) + "/session.json";
}

int record_save(Service *s, size_t slot) {
    const JsonValue *record = s->slots[slot].record;
    return json_write_file(record_path(s, record_id(record)).c_str(), record) == 0 ? 0 : -EIO;
}

// Sets the phase and the message (null removes it) and saves the record.
int set_phase(Service *s, size_t slot, const char *phase, const char *message) {
    JsonValue *record = s->slots[slot].record;
    json_set_string(record, wire::kPhase, phase);
    if (message != nullptr)
        json_set_string(record, wire::kMessage, message);
    else
        json_remove(record, wire::kMessage);
    return record_save(s, slot);
}

// The same, only when phase or message differ from what the record holds.
void change_phase(Service *s, size_t slot, const char *phase, const char *message) {
    const JsonValue *record = s->slots[slot].record;
    const char *old_message = json_get_string(record, wire::kMessage, nullptr);
    bool same_message = message == nullptr
                            ? old_message == nullptr
                            : old_message != nullptr && strcmp(old_message, message) == 0;
    if (phase_is(record, phase) && same_message)
        return;
    set_phase(s, slot, phase, message);
}

// ---- The worker's status file

int status_map(SessionSlot *slot, const std::string &path) {
    FileHandle fd(open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd.valid())
        return -errno;
    struct stat st {};
    if (fstat(fd.get(), &st) != 0)
        return -errno;
    if (!S_ISREG(st.st_mode) || st.st_size < static_cast<off_t>(kStatusFileSize))
        return -EINVAL;
    void *view = mmap(nullptr, kStatusFileSize, PROT_READ, MAP_SHARED, fd.get(), 0);
    if (view == MAP_FAILED)
        return -errno;
    slot->status = static_cast<const uint8_t *>(view);
    slot->status_file = std::move(fd);
    return 0;
}

void status_unmap(SessionSlot *slot) {
    if (slot->status != nullptr)
        munmap(const_cast<uint8_t *>(slot->status), kStatusFileSize);
    slot->status = nullptr;
    slot->status_file.reset();
}

// ---- Named events of the worker

bool set_worker_event(const char *event, const char *id) {
    NamedEvent *handle = nullptr;
    if (named_event_open(std::string(event) + "." + id, &handle) != 0)
        return false;
    named_event_set(handle);
    named_event_close(handle);
    return true;
}

// ---- The worker process

// Reaps the worker once it has ended, so that no zombie stays behind.
void reap_worker(SessionSlot *slot) {
    if (slot->worker_pid > 0 && process_wait(slot->worker_pid, nullptr, WNOHANG) != 0)
        slot->worker_pid = 0;
}

bool pidfd_ended(int pidfd, int timeout_ms) {
    pollfd p{pidfd, POLLIN, 0};
    return poll_some(&p, 1, timeout_ms) != 0;
}

// Waits for the slot's worker to end, up to timeout_ms. True when it has.
bool wait_worker_end(Service *s, size_t slot, int timeout_ms) {
    SessionSlot &sl = s->slots[slot];
    if (sl.worker.valid()) {
        bool ended = pidfd_ended(sl.worker.get(), timeout_ms);
        if (ended)
            reap_worker(&sl);
        return ended;
    }
    for (int waited = 0;; waited += kLinePollMs) {
        if (!session_worker_alive(s, slot))
            return true;
        if (waited >= timeout_ms)
            return false;
        usleep(kLinePollMs * 1000);
    }
}

void remove_session_files(const std::string &folder) {
    DIR *dir = opendir(folder.c_str());
    if (dir != nullptr) {
        std::vector<std::string> names;
        while (dirent *e = readdir(dir)) {
            std::string name = e->d_name;
            if (name == "status.bin" || name == "worker.log" ||
                (name.starts_with("session.json.") && name.ends_with(".tmp")))
                names.push_back(name);
        }
        closedir(dir);
        for (const std::string &name : names)
            unlink((folder + "/" + name).c_str());
    }
    rmdir(folder.c_str());
}

// True when every entry of the folder is one an interrupted start leaves:
// the status file, the worker's log and temporaries of the record.
bool holds_only_start_leftovers(const std::string &folder) {
    DIR *dir = opendir(folder.c_str());
    if (dir == nullptr)
        return false;
    bool only = true;
    while (dirent *e = readdir(dir)) {
        std::string name = e->d_name;
        if (name == "." || name == "..")
            continue;
        if (name == "status.bin" || name == "worker.log")
            continue;
        if (name.starts_with("session.json.") && name.ends_with(".tmp") &&
            name.size() == strlen("session.json.") + 36 + 4 &&
            uuid_is_valid(name.substr(strlen("session.json."), 36).c_str()))
            continue;
        only = false;
    }
    closedir(dir);
    return only;
}

// Removes the record and the folder and frees the slot. 0, or -EIO when the
// record could not be deleted (the slot then stays).
int remove_record(Service *s, size_t slot) {
    SessionSlot &sl = s->slots[slot];
    std::string id = record_id(sl.record);
    std::string folder = session_folder(s, id.c_str());
    if (unlink((folder + "/session.json").c_str()) != 0 && errno != ENOENT && errno != ENOTDIR)
        return -EIO;
    reap_worker(&sl);
    session_slot_release(&sl);
    remove_session_files(folder);
    return 0;
}

void add_warning(Service *s, const std::string &warning) {
    if (s->warnings.size() < kRecordWarningsMax - 1)
        s->warnings.push_back(warning);
    else if (s->warnings.size() == kRecordWarningsMax - 1)
        s->warnings.push_back(text::kMoreDamagedRecords);
}

int free_slot(const Service *s) {
    for (size_t i = 0; i < wire::kSessionSlots; i++)
        if (s->slots[i].record == nullptr)
            return static_cast<int>(i);
    return -1;
}

// ---- Display label

std::string display_label(const Service *s, const JsonValue *preferences, const char *path) {
    std::string base;
    if (const char *label = json_get_string(preferences, wire::kVolumeLabel, nullptr)) {
        base.assign(label, utf8_prefix_length(label, kLabelMax));
    } else {
        const char *slash = strrchr(path, '/');
        const char *name = slash != nullptr ? slash + 1 : path;
        std::string cut(name, utf8_prefix_length(name, kLabelMax));
        size_t dot = cut.rfind('.');
        if (dot != std::string::npos && dot != 0)
            cut.resize(dot);
        for (char &c : cut)
            if (static_cast<unsigned char>(c) < 0x20 || c == '/' || c == '\\' || c == ':')
                c = '-';
        base = cut.empty() ? std::string("Tarnwick") : cut;
    }
    auto taken = [s](const std::string &label) {
        for (const SessionSlot &slot : s->slots)
            if (slot.record != nullptr &&
                strcasecmp(json_get_string(slot.record, wire::kExplorerName, ""), label.c_str()) ==
                    0)
                return true;
        return false;
    };
    if (!taken(base))
        return base;
    size_t short_length = utf8_prefix_length(base.c_str(), kLabelBaseMax);
    for (int n = 2; n <= kLabelNumberMax; n++) {
        std::string candidate = base.substr(0, short_length) + " (" + std::to_string(n) + ")";
        if (!taken(candidate))
            return candidate;
    }
    return base;
}

// ---- File checks

// Whether a file exists; a check that fails for any reason other than a
// missing file or folder counts as existing.
bool path_exists(const std::string &path) {
    struct stat st {};
    if (lstat(path.c_str(), &st) == 0)
        return true;
    return errno != ENOENT && errno != ENOTDIR;
}

int container_identity(const char *path, FileIdentity *identity, std::string *final_path) {
    // O_PATH opens without reading or waiting (a FIFO does not block).
    FileHandle fd(open(path, O_PATH | O_CLOEXEC));
    if (!fd.valid())
        return -errno;
    FileStatus st;
    if (int rc = file_status(fd.get(), &st); rc != 0)
        return rc;
    if (st.type != FileType::regular)
        return -EISDIR;
    *identity = st.identity;
    return final_path_of_handle(fd.get(), final_path);
}

// ---- Reading the worker's first line

int read_ready_line(SessionSlot *slot, int out_fd, std::string *line) {
    uint64_t deadline = monotonic_now() + kReadyTimeoutMs * kUnitsPerMs;
    line->clear();
    for (;;) {
        pollfd p[2] = {{out_fd, POLLIN, 0}, {slot->worker.get(), POLLIN, 0}};
        int n = poll_some(p, 2, kLinePollMs);
        if (n < 0)
            return n;
        if (n > 0 && (p[0].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
            char c;
            ssize_t got = read_some(out_fd, &c, 1);
            if (got < 0)
                return static_cast<int>(got);
            if (got == 0)
                return -EPIPE; // the worker closed its output
            if (c == '\n')
                return 0;
            if (line->size() >= kReadyLineMax)
                return -E2BIG;
            line->push_back(c);
            continue;
        }
        // The worker ended and nothing is left in its output.
        if (n > 0 && (p[1].revents & POLLIN) != 0 && (p[0].revents & POLLIN) == 0)
            return -EPIPE;
        if (monotonic_now() >= deadline)
            return -ETIMEDOUT;
    }
}

// ---- Failures around the mount

// A failure before the attach request: stop the worker, remove the record.
int fail_before_attach(Service *s, size_t slot, bool repair, bool worker_started, int code,
                       SessionError *err) {
    SessionSlot &sl = s->slots[slot];
    const char *id = record_id(sl.record);
    if (worker_started) {
        if (repair)
            set_worker_event("Unchecked", id);
        set_worker_event("Stop", id);
        if (!wait_worker_end(s, slot, kStopWaitMs)) {
            if (sl.worker_pid > 0)
                kill(sl.worker_pid, SIGKILL);
            wait_worker_end(s, slot, kKillWaitMs);
        }
    }
    if (remove_record(s, slot) != 0)
        set_phase(s, slot, wire::kPhaseRecoveryRequired, text::kStartRecordKept);
    if (!err->set())
        session_fail(err, wire::kCodeMount, error_text(code), code);
    return code < 0 ? code : -EIO;
}

// A failure after the attach request: the session is unmounted again.
int fail_after_attach(Service *s, size_t slot, const std::string &message, SessionError *err) {
    std::string attach_message = message.empty() ? std::string(text::kAttachFailed) : message;
    SessionError cleanup;
    if (session_unmount(s, slot, &cleanup) == 0)
        return session_fail(err, wire::kCodeMount, attach_message.c_str(), -EIO);
    char *combined =
        format_alloc(text::kAttachCleanup, attach_message.c_str(), cleanup.message.c_str());
    std::string joined = combined != nullptr ? combined : attach_message;
    free(combined);
    if (s->slots[slot].record != nullptr)
        set_phase(s, slot, wire::kPhaseRecoveryRequired, joined.c_str());
    return session_fail(err, wire::kCodeRecovery, joined.c_str(), -EIO);
}

void copy_member(JsonValue *to, const JsonValue *from, const char *name) {
    if (const JsonValue *value = json_get(from, name); value != nullptr)
        json_set(to, name, json_clone(value));
}

// The checks and the start of a mount or repair, up to the worker's ready
// line and the "attaching" record. 0 with *slot_out; else *err is set.
int start_session(Service *s, const JsonValue *request, bool repair, size_t *slot_out,
                  JsonValue **ready_out, std::string *session_id, SessionError *err) {
    const JsonValue *preferences = json_get(request, wire::kPreferences);
    // 1-7: the request itself.
    if (int rc = preferences_check(preferences, err); rc != 0)
        return rc;
    const JsonValue *path_value = json_get(request, wire::kPath);
    const JsonValue *credentials = json_get(request, wire::kCredentials);
    if (path_value == nullptr || path_value->kind != JsonKind::String || credentials == nullptr ||
        credentials->kind != JsonKind::String ||
        credentials->string_length > wire::kCredentialsTextMax)
        return session_fail(err, wire::kCodeProtocol, text::kNeedsPathAndCredentials, -EINVAL);
    if (!s->warnings.empty())
        return session_fail(err, wire::kCodeRegistry, text::kDamagedRecords, -EIO);
    int slot = free_slot(s);
    if (slot < 0)
        return session_fail(err, wire::kCodeLimit, text::kLimit, -ENOSPC);
    bool read_only = repair ? false : json_get_bool(preferences, wire::kReadOnly, true);
    if (!read_only && json_get_int(request, wire::kVersion, 1) <= wire::kVersionWriteAbove)
        return session_fail(err, wire::kCodeWriteUnsupported, text::kWriteUnsupported, -EINVAL);
    bool remember = json_get_bool(request, wire::kRemember, false);
    if (repair && (remember || preferences != nullptr || json_get(request, wire::kPartition)))
        return session_fail(err, wire::kCodeProtocol, text::kRepairMembers, -EINVAL);
    if (remember && !uuid_is_valid(json_get_string(request, wire::kEntryId, nullptr)))
        return session_fail(err, wire::kCodeProtocol, text::kRememberNeedsEntry, -EINVAL);
    // 8-10: the container file.
    FileIdentity identity;
    std::string path;
    if (container_identity(path_value->string_bytes, &identity, &path) != 0)
        return session_fail(err, wire::kCodeSource, text::kSource, -ENOENT);
    for (const SessionSlot &other : s->slots)
        if (other.record != nullptr &&
            static_cast<uint64_t>(json_get_int(other.record, wire::kSourceVolume, -1)) ==
                identity.volume &&
            static_cast<uint64_t>(json_get_int(other.record, wire::kSourceFile, -1)) ==
                identity.file)
            return session_fail(err, wire::kCodeBusy, text::kBusy, -EBUSY);
    if (path_exists(path + ".idx") || path_exists(path + ".openzcx-journal"))
        return session_fail(err, wire::kCodeRecovery, text::kRecovery, -EBUSY);
    // 11: the credential request, passed to the worker unread.
    unsigned char *decoded = nullptr;
    size_t decoded_length = 0;
    if (base64_decode(credentials->string_bytes, credentials->string_length, &decoded,
                      &decoded_length) != 0)
        return session_fail(err, wire::kCodeProtocol, text::kNeedsPathAndCredentials, -EINVAL);
    SecureBuffer secret = SecureBuffer::with_capacity(decoded_length);
    bool copied = decoded_length <= wire::kCredentialsMax && secret.valid() &&
                  secret.assign(decoded, decoded_length);
    wipe_and_free(decoded, decoded_length);
    if (!copied)
        return session_fail(err, wire::kCodeProtocol, text::kNeedsPathAndCredentials, -EINVAL);

    // 12-13: the folder, the status file and the record.
    char id[kUuidTextSize];
    if (!uuid_generate(id))
        return session_fail(err, wire::kCodeMount, error_text(EIO), -EIO);
    std::string folder = session_folder(s, id);
    std::string status_path = folder + "/status.bin";
    if (ensure_private_folder(folder) != 0) {
        remove_session_files(folder);
        return session_fail(err, wire::kCodeMount, error_text(EIO), -EIO);
    }
    uint8_t zeros[kStatusFileSize] = {};
    if (write_record_file(status_path.c_str(), zeros, sizeof zeros) != 0) {
        remove_session_files(folder);
        return session_fail(err, wire::kCodeMount, error_text(EIO), -EIO);
    }
    JsonValue *record = json_new(JsonKind::Object);
    json_set_int(record, wire::kVersion, 1);
    json_set_string(record, wire::kId, id);
    const char *operation = json_get_string(request, wire::kOperationId, "");
    json_set_string(record, wire::kOperationId, operation[0] != '\0' ? operation : id);
    json_set_string(record, wire::kPath, path.c_str());
    json_set_int(record, wire::kSourceVolume, static_cast<int64_t>(identity.volume));
    json_set_int(record, wire::kSourceFile, static_cast<int64_t>(identity.file));
    json_set_int(record, wire::kBoot, static_cast<int64_t>(boot_time()));
    json_set_bool(record, wire::kWritable, !read_only);
    if (repair)
        json_set_bool(record, wire::kRepair, true);
    json_set_string(record, wire::kExplorerName,
                    display_label(s, preferences, path.c_str()).c_str());
    JsonValue *prefs =
        preferences != nullptr ? json_clone(preferences) : json_new(JsonKind::Object);
    json_set_bool(prefs, wire::kReadOnly, read_only);
    json_set(record, wire::kPreferences, prefs);
    json_set_string(record, wire::kPhase, wire::kPhaseStarting);
    SessionSlot &sl = s->slots[slot];
    sl.record = record;
    *session_id = id;
    if (record_save(s, slot) != 0 || status_map(&sl, status_path) != 0)
        return fail_before_attach(s, slot, repair, false, -EIO, err);

    // 14-16: the worker's log, its pipes, the worker.
    FileHandle log(open((folder + "/worker.log").c_str(),
                        O_WRONLY | O_APPEND | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600));
    FileHandle input_parent, input_child, output_parent, output_child;
    if (make_child_pipe(ChildPipe::ChildReads, &input_parent, &input_child) != 0 ||
        make_child_pipe(ChildPipe::ChildWrites, &output_parent, &output_child) != 0)
        return fail_before_attach(s, slot, repair, false, -EIO, err);
    const std::string argv[] = {s->worker_program,
                                "serve",
                                id,
                                path,
                                status_path,
                                repair ? "repair" : (read_only ? "read-only" : "read-write")};
    LaunchOptions options;
    options.stdin_fd = input_child.get();
    options.stdout_fd = output_child.get();
    options.stderr_fd = log.valid() ? log.get() : -1;
    options.new_process_group = true;
    LaunchedProcess child;
    if (s->worker_program.empty() || launch_process(argv, options, &child) != 0) {
        session_fail(err, wire::kCodeInstallation, text::kInstallation, -ENOENT);
        return fail_before_attach(s, slot, repair, false, -ENOENT, err);
    }
    input_child.reset();
    output_child.reset();
    log.reset();
    sl.worker.reset(child.pidfd);
    sl.worker_pid = child.pid;

    // 17: the credentials go to the worker's input, then are wiped.
    json_set_int(record, wire::kWorkerPid, child.pid);
    json_set_int(record, wire::kWorkerStart, static_cast<int64_t>(child.start_time));
    int saved = record_save(s, slot);
    int written = write_full(input_parent.get(), secret.data(), secret.size());
    secret.clear();
    input_parent.reset();
    if (saved != 0)
        return fail_before_attach(s, slot, repair, true, -EIO, err);
    if (written != 0)
        return fail_before_attach(s, slot, repair, true, -EPIPE, err);

    // 18: the ready line.
    std::string line;
    int read_rc = read_ready_line(&sl, output_parent.get(), &line);
    output_parent.reset();
    JsonValue *event = read_rc == 0 ? json_parse(line.data(), line.size()) : nullptr;
    secure_wipe(line.data(), line.size());
    if (event == nullptr || event->kind != JsonKind::Object) {
        json_free(event);
        session_fail(err, wire::kCodeWorker, text::kWorkerNoLine, -EIO);
        return fail_before_attach(s, slot, repair, true, -EIO, err);
    }
    if (json_get_int(event, wire::kVersion, 0) != 1 ||
        !json_has(event, wire::kVersion, JsonKind::Number)) {
        json_free(event);
        session_fail(err, wire::kCodeWorker, text::kWorkerVersion, -EPROTO);
        return fail_before_attach(s, slot, repair, true, -EPROTO, err);
    }
    if (strcmp(json_get_string(event, "event", ""), "ready") != 0) {
        session_fail(err, json_get_string(event, wire::kCode, wire::kCodeWorker),
                     json_get_string(event, wire::kMessage, text::kWorkerStopped), -EIO);
        json_free(event);
        return fail_before_attach(s, slot, repair, true, -EIO, err);
    }
    // 19: attaching.
    if (const JsonValue *info = json_get(event, wire::kInfo); info != nullptr)
        json_set(record, wire::kInfo, json_clone(info));
    if (set_phase(s, slot, wire::kPhaseAttaching, nullptr) != 0) {
        json_free(event);
        session_fail(err, wire::kCodeRegistry, text::kNotRecorded, -EIO);
        return fail_before_attach(s, slot, repair, true, -EIO, err);
    }
    *slot_out = static_cast<size_t>(slot);
    *ready_out = event;
    return 0;
}

// The attach or repair request for the broker, from the ready event.
JsonValue *attach_request(const Service *s, size_t slot, const JsonValue *ready,
                          const JsonValue *request, bool repair) {
    const JsonValue *record = s->slots[slot].record;
    JsonValue *r = broker_request_for(repair ? "repair" : "attach", record_id(record));
    json_set_int(r, "workerPid", json_get_int(record, wire::kWorkerPid, 0));
    json_set_int(r, "workerStart", json_get_int(record, wire::kWorkerStart, 0));
    copy_member(r, ready, "port");
    copy_member(r, ready, "target");
    copy_member(r, ready, "chapName");
    copy_member(r, ready, "chapSecret");
    json_set_bool(r, "readOnly", !json_get_bool(record, wire::kWritable, false));
    // The display label, the name people know the disk by, names its mount
    // point; a label the mount-point rules refuse (a file name with a
    // leading dot, say) leaves the naming to the volume's label.
    const char *label = json_get_string(record, wire::kExplorerName, "");
    std::string code, message;
    if (!repair && mount_label_check(label, &code, &message) == 0)
        json_set_string(r, "mountName", label);
    const JsonValue *partition = json_get(request, wire::kPartition);
    json_set_int(r, "partition",
                 partition != nullptr && partition->kind == JsonKind::Number &&
                         partition->is_integer
                     ? partition->int_value
                     : 0);
    return r;
}

// Wipes the CHAP secret of a ready event before it is released.
void free_ready(JsonValue *ready) {
    if (JsonValue *secret = json_get(ready, "chapSecret");
        secret != nullptr && secret->kind == JsonKind::String)
        secure_wipe(secret->string_bytes, secret->string_length);
    json_free(ready);
}

} // namespace

void sessions_set_broker_for_testing(BrokerCallFn call) {
    g_broker_call = call;
}

void session_slot_release(SessionSlot *slot) {
    status_unmap(slot);
    slot->worker.reset();
    slot->worker_pid = 0;
    json_free(slot->record);
    slot->record = nullptr;
    slot->last_activity = 0;
    slot->next_idle_attempt = 0;
    slot->checking = false;
}

int session_find(const Service *s, const char *id) {
    if (id == nullptr)
        return -1;
    for (size_t i = 0; i < wire::kSessionSlots; i++)
        if (s->slots[i].record != nullptr && strcasecmp(record_id(s->slots[i].record), id) == 0)
            return static_cast<int>(i);
    return -1;
}

bool session_worker_alive(Service *s, size_t slot) {
    SessionSlot &sl = s->slots[slot];
    if (sl.worker.valid() && pidfd_ended(sl.worker.get(), 0)) {
        reap_worker(&sl);
        return false;
    }
    if (static_cast<uint64_t>(json_get_int(sl.record, wire::kBoot, 0)) != boot_time())
        return false;
    return process_is_same(static_cast<pid_t>(json_get_int(sl.record, wire::kWorkerPid, 0)),
                           static_cast<uint64_t>(json_get_int(sl.record, wire::kWorkerStart, 0)));
}

void sessions_load(Service *s) {
    DIR *dir = opendir(s->run_folder.c_str());
    if (dir == nullptr) {
        if (errno != ENOENT)
            add_warning(s, text::kCannotList);
        return;
    }
    std::vector<std::string> names;
    errno = 0;
    while (dirent *e = readdir(dir)) {
        if (uuid_is_valid(e->d_name))
            names.push_back(e->d_name);
        errno = 0;
    }
    if (errno != 0)
        add_warning(s, text::kCannotList);
    closedir(dir);
    std::sort(names.begin(), names.end());
    for (const std::string &name : names) {
        std::string folder = session_folder(s, name.c_str());
        struct stat st {};
        if (lstat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
            continue;
        JsonValue *record = nullptr;
        bool readable = false;
        char *bytes = nullptr;
        size_t length = 0;
        if (read_whole_file((folder + "/session.json").c_str(), kRecordLimit, &bytes, &length) ==
            0) {
            readable = true;
            record = json_parse(bytes, length);
            free_whole_file(bytes, length);
        }
        SessionError ignored;
        bool valid = record != nullptr && record->kind == JsonKind::Object &&
                     json_has(record, wire::kVersion, JsonKind::Number) &&
                     json_get_int(record, wire::kVersion, 0) == 1 &&
                     strcmp(record_id(record), name.c_str()) == 0 &&
                     preferences_check(json_get(record, wire::kPreferences), &ignored) == 0;
        int slot = valid ? free_slot(s) : -1;
        if (slot >= 0) {
            SessionSlot &sl = s->slots[slot];
            sl.record = record;
            status_map(&sl, folder + "/status.bin");
            sl.last_activity = monotonic_now();
            continue;
        }
        json_free(record);
        if (!readable && holds_only_start_leftovers(folder)) {
            remove_session_files(folder);
            continue;
        }
        char *warning = format_alloc(text::kDamagedRecord, name.c_str());
        if (warning != nullptr)
            add_warning(s, warning);
        free(warning);
    }
}

void sessions_refresh(Service *s) {
    bool any = false;
    for (const SessionSlot &slot : s->slots)
        any = any || slot.record != nullptr;
    if (!any)
        return;
    JsonValue *broker = nullptr;
    std::string ignored;
    broker_call(broker_request_for("list", nullptr), &broker, &ignored);
    const JsonValue *entries = json_get(broker, "sessions");
    auto broker_entry = [&](const char *id) -> const JsonValue * {
        for (const JsonValue *e = json_first(entries); e != nullptr; e = json_next(e))
            if (strcasecmp(json_get_string(e, "id", ""), id) == 0)
                return e;
        return nullptr;
    };
    for (size_t i = 0; i < wire::kSessionSlots; i++) {
        SessionSlot &sl = s->slots[i];
        if (sl.record == nullptr || sl.checking || phase_is(sl.record, wire::kPhaseWriteFailed))
            continue;
        std::string id = record_id(sl.record);
        const JsonValue *entry = broker_entry(id.c_str());
        const char *broker_phase = json_get_string(entry, "phase", "");
        bool status_valid = sl.status != nullptr && status_load32(sl.status, kFieldLayout) == 1;
        if (phase_is(sl.record, wire::kPhaseMounted)) {
            bool writable = json_get_bool(sl.record, wire::kWritable, false);
            if (status_valid && status_load32(sl.status, kFieldError) != 0 && writable) {
                change_phase(s, i, wire::kPhaseRecoveryRequired, text::kWriteLost);
            } else if ((status_valid && status_load32(sl.status, kFieldEjected) != 0) ||
                       strcmp(broker_phase, "externally-unmounted") == 0) {
                SessionError err;
                if (session_unmount(s, i, &err) != 0 && sl.record != nullptr)
                    change_phase(s, i, wire::kPhaseRecoveryRequired, err.message.c_str());
            } else if (!session_worker_alive(s, i)) {
                change_phase(s, i, wire::kPhaseRecoveryRequired, text::kWorkerDied);
            } else if (strcmp(broker_phase, "recovery-needed") == 0) {
                change_phase(s, i, wire::kPhaseRecoveryRequired, text::kConnectionLost);
            }
        } else if (phase_is(sl.record, wire::kPhaseStarting) ||
                   phase_is(sl.record, wire::kPhaseAttaching)) {
            if (!session_worker_alive(s, i))
                change_phase(s, i, wire::kPhaseRecoveryRequired, text::kMountInterrupted);
        } else if ((phase_is(sl.record, wire::kPhaseRepairing) ||
                    phase_is(sl.record, wire::kPhaseRepaired)) &&
                   broker != nullptr) {
            if (strcmp(broker_phase, "repairing") == 0)
                continue;
            bool clean = session_worker_alive(s, i) && json_get_bool(entry, "repairClean", false) &&
                         set_worker_event("Repaired", id.c_str());
            change_phase(s, i, wire::kPhaseRecoveryRequired,
                         clean ? text::kCheckFinishedClean : text::kCheckInterrupted);
        }
    }
    json_free(broker);
}

int session_mount(Service *s, const JsonValue *request, JsonValue **record_out,
                  std::string *session_id, SessionError *err) {
    *record_out = nullptr;
    size_t slot = 0;
    JsonValue *ready = nullptr;
    if (int rc = start_session(s, request, false, &slot, &ready, session_id, err); rc != 0)
        return rc;
    // 20: the broker attaches the disk.
    JsonValue *reply = nullptr;
    std::string message;
    int rc = broker_call(attach_request(s, slot, ready, request, false), &reply, &message);
    free_ready(ready);
    if (rc != 0)
        return fail_after_attach(s, slot, message, err);
    // 21-22: mounted.
    JsonValue *record = s->slots[slot].record;
    for (const char *name :
         {wire::kMountPoint, wire::kVolume, wire::kFilesystem, wire::kVolumeLabel})
        copy_member(record, reply, name);
    json_free(reply);
    if (set_phase(s, slot, wire::kPhaseMounted, nullptr) != 0)
        return fail_after_attach(s, slot, text::kMountNotRecorded, err);
    // The display label went to the broker with the attach request: it
    // names the mount point, so no label store of its own is written here.
    s->slots[slot].last_activity = monotonic_now();
    s->slots[slot].next_idle_attempt = 0;
    *record_out = json_clone(record);
    return 0;
}

int session_repair(Service *s, const JsonValue *request, std::unique_lock<std::mutex> &held,
                   JsonValue **report_out, SessionError *err) {
    *report_out = nullptr;
    size_t slot = 0;
    JsonValue *ready = nullptr;
    std::string session_id;
    if (int rc = start_session(s, request, true, &slot, &ready, &session_id, err); rc != 0)
        return rc;
    JsonValue *broker_request = attach_request(s, slot, ready, request, true);
    free_ready(ready);
    if (set_phase(s, slot, wire::kPhaseRepairing, nullptr) != 0) {
        json_free(broker_request);
        set_worker_event("Unchecked", session_id.c_str());
        return fail_after_attach(s, slot, text::kRepairNotRecorded, err);
    }
    // The check may take long: other requests run meanwhile, and the mark
    // keeps them away from this session.
    s->slots[slot].checking = true;
    held.unlock();
    JsonValue *reply = nullptr;
    std::string message;
    int rc = broker_call(broker_request, &reply, &message);
    held.lock();
    s->slots[slot].checking = false;
    if (rc != 0) {
        set_worker_event("Unchecked", session_id.c_str());
        char *text = format_alloc(text::kRepairNotFinished, message.c_str());
        std::string failure = text != nullptr ? text : message;
        free(text);
        return fail_after_attach(s, slot, failure, err);
    }
    if (const char *refused = json_get_string(reply, "refused", nullptr)) {
        std::string failure = refused;
        json_free(reply);
        set_worker_event("Unchecked", session_id.c_str());
        return fail_after_attach(s, slot, failure, err);
    }
    JsonValue *report = json_new(JsonKind::Object);
    JsonValue *record = s->slots[slot].record;
    for (const char *name : {wire::kFilesystem, wire::kRepairTool, wire::kRepairStatus,
                             wire::kRepairOutput, wire::kRepairClean, wire::kRepairError}) {
        copy_member(report, reply, name);
        copy_member(record, reply, name);
    }
    bool clean = json_get_bool(reply, wire::kRepairClean, false);
    json_free(reply);
    set_phase(s, slot, wire::kPhaseRepaired, nullptr);
    if (clean && !set_worker_event("Repaired", session_id.c_str()))
        json_set_string(report, wire::kMarkerError, text::kMarkerError);
    SessionError unmount;
    if (session_unmount(s, slot, &unmount) != 0) {
        json_free(report);
        char *text = format_alloc(text::kRepairNotReleased, clean ? text::kFoundClean : "",
                                  unmount.message.c_str());
        session_fail(err, unmount.code.empty() ? wire::kCodeCleanup : unmount.code.c_str(),
                     text != nullptr ? text : unmount.message.c_str(), -EIO);
        free(text);
        return -EIO;
    }
    *report_out = report;
    return 0;
}

int session_unmount(Service *s, size_t slot, SessionError *err) {
    SessionSlot &sl = s->slots[slot];
    if (sl.checking)
        return session_fail(err, wire::kCodeBusy, text::kCheckRunning, -EBUSY);
    std::string id = record_id(sl.record);
    // 2: the broker detaches the disk.
    JsonValue *reply = nullptr;
    std::string message;
    if (broker_call(broker_request_for("unmount", id.c_str()), &reply, &message) != 0) {
        if (!phase_is(sl.record, wire::kPhaseMounted)) {
            change_phase(s, slot, wire::kPhaseRecoveryRequired, message.c_str());
            return session_fail(err, wire::kCodeUnmount, message.c_str(), -EIO);
        }
        return session_fail(err, wire::kCodeBusy, message.c_str(), -EBUSY);
    }
    json_free(reply);
    // 3: unmounting; the worker is told to stop.
    std::string before = record_phase(sl.record);
    set_phase(s, slot, wire::kPhaseUnmounting, nullptr);
    set_worker_event("Stop", id.c_str());
    bool writable = json_get_bool(sl.record, wire::kWritable, false);
    bool repair = json_get_bool(sl.record, wire::kRepair, false);
    // 4: the worker confirms its end in its status.
    if (before != wire::kPhaseWriteFailed) {
        bool failed = false;
        bool finishing = false;
        uint64_t deadline = monotonic_now() + kUnmountWaitMs * kUnitsPerMs;
        for (;;) {
            if (sl.status != nullptr && status_load32(sl.status, kFieldLayout) == 1 &&
                status_load32(sl.status, kFieldExited) != 0) {
                uint32_t code = status_load32(sl.status, kFieldError);
                finishing = code == ETIMEDOUT || code == kWireTimedOut;
                failed = code != 0 && !finishing;
                break;
            }
            if (!session_worker_alive(s, slot)) {
                // A worker may end between the two looks: its status decides.
                if (sl.status != nullptr && status_load32(sl.status, kFieldLayout) == 1 &&
                    status_load32(sl.status, kFieldExited) != 0)
                    continue;
                failed = true;
                break;
            }
            if (monotonic_now() >= deadline) {
                finishing = true;
                break;
            }
            usleep(kLinePollMs * 1000);
        }
        if (finishing) {
            set_phase(s, slot, wire::kPhaseRecoveryRequired, text::kWorkerFinishing);
            return session_fail(err, wire::kCodeCleanup, text::kWorkerFinishing, -ETIMEDOUT);
        }
        // 5: a writable session that did not confirm its writes.
        if (failed && writable) {
            const char *m = repair ? text::kRepairWriteFailed : text::kWriteFailed;
            set_phase(s, slot, wire::kPhaseWriteFailed, m);
            return session_fail(err, wire::kCodeWriteFailed, m, -EIO);
        }
    }
    // 6: the broker forgets its record.
    if (broker_call(broker_request_for("finalize", id.c_str()), &reply, &message) != 0) {
        std::string first = message;
        if (broker_call(broker_request_for("abandon", id.c_str()), &reply, &message) != 0) {
            const char *detail = !message.empty() ? message.c_str() : first.c_str();
            char *m =
                format_alloc(text::kCleanupNotConfirmed, detail[0] != '\0' ? "\n" : "", detail);
            std::string joined = m != nullptr ? m : "";
            free(m);
            set_phase(s, slot, wire::kPhaseRecoveryRequired, joined.c_str());
            return session_fail(err, wire::kCodeCleanup, joined.c_str(), -EIO);
        }
    }
    json_free(reply);
    // 7-8: the worker ends.
    wait_worker_end(s, slot, kEndWaitMs);
    // 9: the record goes.
    if (remove_record(s, slot) != 0) {
        set_phase(s, slot, wire::kPhaseRecoveryRequired, text::kRecordNotRemoved);
        return session_fail(err, wire::kCodeCleanup, text::kRecordNotRemoved, -EIO);
    }
    return 0;
}

int session_record_save(Service *s, size_t slot) {
    return record_save(s, slot);
}

void sessions_unmount_all(Service *s) {
    for (size_t i = 0; i < wire::kSessionSlots; i++) {
        if (s->slots[i].record == nullptr || s->slots[i].checking)
            continue;
        SessionError ignored;
        session_unmount(s, i, &ignored);
    }
}

JsonValue *sessions_list(const Service *s) {
    std::vector<const JsonValue *> records;
    for (const SessionSlot &slot : s->slots)
        if (slot.record != nullptr)
            records.push_back(slot.record);
    std::sort(records.begin(), records.end(), [](const JsonValue *a, const JsonValue *b) {
        return strcmp(json_get_string(a, wire::kPath, ""), json_get_string(b, wire::kPath, "")) < 0;
    });
    JsonValue *array = json_new(JsonKind::Array);
    for (const JsonValue *record : records)
        json_append(array, json_clone(record));
    return array;
}

} // namespace tw
