#include "broker/attach.h"

#include "broker/callers.h"
#include "broker/initiator.h"
#include "broker/log.h"
#include "broker/texts.h"
#include "iscsi/naming.h"
#include "platform/clock.h"
#include "platform/descriptor.h"
#include "platform/loop_device.h"
#include "platform/mounts.h"
#include "platform/process.h"
#include "platform/volumes.h"
#include "runtime/mount_preferences.h"
#include "runtime/text.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

namespace tw {

namespace {

constexpr size_t kTargetLimit = 200;
constexpr size_t kSecretMin = 12, kSecretMax = 16;
constexpr int64_t kPartitionMax = 128;
constexpr int kDiskPollMs = 200;
// How long a volume's device may take to let go of the disk once its
// filesystem is unmounted (a FUSE driver closes it as it exits).
constexpr int kVolumeReleaseMs = 10000;
constexpr int kLogoutCalls = 20;
constexpr int kLogoutRetryMs = 250;

struct AttachRequest {
    const char *id = nullptr;
    int64_t worker_pid = 0;
    int64_t worker_start = 0;
    int64_t port = 0;
    const char *target = nullptr;
    const char *chap_name = nullptr;
    const JsonValue *chap_secret = nullptr;
    bool read_only = true;
    int64_t partition = 0;
    // The name the user knows the mount by (the session's display label),
    // which names its mount point; null: the volume's label.
    const char *mount_name = nullptr;
};

std::string format_text(const char *format, int a, int b = 0) {
    char text[512];
    snprintf(text, sizeof text, format, a, b);
    return text;
}

std::string format_text(const char *format, const char *a) {
    char text[1024];
    snprintf(text, sizeof text, format, a);
    return text;
}

bool lower_case_uuid(const char *id) {
    if (!id || !uuid_is_valid(id))
        return false;
    for (const char *p = id; *p; p++)
        if (*p >= 'A' && *p <= 'F')
            return false;
    return true;
}

// A positive integer member, or `fallback` when it is missing; -1 when it is
// present but not an integer.
int64_t integer_member(const JsonValue *request, const char *key, int64_t fallback) {
    const JsonValue *v = json_get(request, key);
    if (!v)
        return fallback;
    if (v->kind != JsonKind::Number || !v->is_integer)
        return -1;
    return v->int_value;
}

bool parse_request(const JsonValue *request, bool repair, AttachRequest *a) {
    a->id = json_get_string(request, "id", nullptr);
    a->worker_pid = integer_member(request, "workerPid", 0);
    a->worker_start = integer_member(request, "workerStart", 0);
    a->port = integer_member(request, "port", 0);
    a->target = json_get_string(request, "target", nullptr);
    a->chap_name = json_get_string(request, "chapName", nullptr);
    a->chap_secret = json_get(request, "chapSecret");
    a->partition = integer_member(request, "partition", 0);
    const JsonValue *name = json_get(request, "mountName");
    if (name) {
        std::string code, message;
        if (name->kind != JsonKind::String ||
            mount_label_check(name->string_bytes, &code, &message) != 0)
            return false;
        a->mount_name = name->string_bytes;
    }
    const JsonValue *read_only = json_get(request, "readOnly");
    if (read_only && read_only->kind != JsonKind::Bool)
        return false;
    a->read_only = read_only ? read_only->bool_value : !repair;
    const std::string prefix = std::string(kTarnwickIqnAuthority) + ":";
    return lower_case_uuid(a->id) && a->port >= 1 && a->port <= 65535 && a->worker_pid > 0 &&
           a->worker_pid <= INT32_MAX && a->worker_start > 0 && a->target &&
           strncmp(a->target, prefix.c_str(), prefix.size()) == 0 &&
           strlen(a->target) <= kTargetLimit && a->chap_name && a->chap_name[0] != '\0' &&
           a->chap_secret && a->chap_secret->kind == JsonKind::String &&
           a->chap_secret->string_length >= kSecretMin &&
           a->chap_secret->string_length <= kSecretMax && a->partition >= 0 &&
           a->partition <= kPartitionMax && !(repair && a->read_only);
}

// A loop device over [offset, offset + size) of the disk: the volume as a
// block device of its own. 0 with *volume, or a negative errno.
int present_volume(const std::string &disk, uint64_t offset, uint64_t size, bool read_only,
                   std::string *volume) {
    FileHandle fd(open(disk.c_str(), (read_only ? O_RDONLY : O_RDWR) | O_CLOEXEC));
    if (!fd.valid())
        return -errno;
    LoopAttach attach;
    attach.backing_fd = fd.get();
    attach.offset = offset;
    attach.size_limit = size;
    attach.read_only = read_only;
    int number = -1;
    return loop_attach(attach, volume, &number);
}

// The loop number of a volume device "/dev/loopN", or -1.
int loop_number(const char *volume) {
    if (!volume || strncmp(volume, "/dev/loop", 9) != 0 || volume[9] == '\0')
        return -1;
    char *end = nullptr;
    long n = strtol(volume + 9, &end, 10);
    return *end == '\0' && n >= 0 && n < INT32_MAX ? static_cast<int>(n) : -1;
}

// Removes one volume device of the record's disk; one already gone, or now
// bound to something else, is not ours any more.
int remove_volume(const char *volume, const std::string &disk) {
    int n = loop_number(volume);
    if (n < 0 || disk.empty() || loop_backing_file(n) != disk)
        return 0;
    return loop_detach(volume, kVolumeReleaseMs);
}

// Which message a failed release gives: unmount's offline step names what
// failed; a detach only says the disk stays in use.
struct ReleaseTexts {
    const char *busy, *dismount, *mount_point, *device;
};
constexpr ReleaseTexts kOfflineTexts = {kTextVolumesOpen, kTextCannotDismount, kTextKeptMountPoint,
                                        kTextCannotOffline};
constexpr ReleaseTexts kDetachTexts = {kTextKeptInUse, kTextKeptInUse, kTextKeptInUse,
                                       kTextKeptInUse};

// Takes every volume of the record's disk out of use: its mount unmounted
// (never by force), its mount point removed, its device detached. What is
// already gone is skipped, so this may run again after a partial failure.
int release_volumes(JsonValue *record, const ReleaseTexts &texts, const char **message) {
    const std::string mount_point = json_get_string(record, "mountPoint", "");
    if (!mount_point.empty()) {
        if (mount_table_has(mount_point)) {
            int rc = volume_unmount(mount_point);
            if (rc != 0) {
                *message = rc == -EBUSY ? texts.busy : texts.dismount;
                return rc;
            }
        }
        if (int rc = mount_point_remove(mount_point); rc != 0) {
            *message = texts.mount_point;
            return rc;
        }
    }
    const std::string disk = json_get_string(record, "device", "");
    if (int rc = remove_volume(json_get_string(record, "volume", nullptr), disk); rc != 0) {
        *message = texts.device;
        return rc;
    }
    for (const JsonValue *v = json_first(json_get(record, "checkVolumes")); v; v = json_next(v))
        if (int rc = remove_volume(json_get_string(v, "volume", nullptr), disk); rc != 0) {
            *message = texts.device;
            return rc;
        }
    return 0;
}

// The owner's uid and primary group.
void owner_ids(const std::string &user, uid_t *uid, gid_t *gid) {
    *uid = static_cast<uid_t>(strtoul(user.c_str(), nullptr, 10));
    *gid = *uid;
    passwd entry{}, *found = nullptr;
    char buffer[4096];
    if (getpwuid_r(*uid, &entry, buffer, sizeof buffer, &found) == 0 && found)
        *gid = found->pw_gid;
}

// Presents the recorded volume again and mounts it where it was, after an
// unmount whose logout failed. 0 or a negative errno.
int restore_volume(JsonValue *record) {
    const std::string disk = json_get_string(record, "device", "");
    const bool read_only = json_get_bool(record, "readOnly", true);
    if (disk.empty() || set_disk_access(disk, read_only) != 0)
        return -EIO;
    // The disk's layout is read again as attach saw it settle.
    std::vector<VolumeEntry> volumes;
    if (volumes_list(disk, kVolumeCapacity, kRestoreSettleMs, &volumes) != 0)
        return -EIO;
    const int64_t offset = json_get_int(record, "volumeOffset", -1);
    const int64_t size = json_get_int(record, "volumeSize", -1);
    const std::string mount_point = json_get_string(record, "mountPoint", "");
    if (offset < 0 || size <= 0 || mount_point.empty())
        return 0; // a check attachment: nothing was mounted
    std::string volume;
    int rc = present_volume(disk, static_cast<uint64_t>(offset), static_cast<uint64_t>(size),
                            read_only, &volume);
    if (rc != 0)
        return rc;
    json_set_string(record, "volume", volume.c_str());
    if (mkdir(mount_point.c_str(), 0700) != 0 && errno != EEXIST)
        return -errno;
    VolumeMount m;
    m.device = volume;
    m.mount_point = mount_point;
    m.filesystem = json_get_string(record, "filesystem", "");
    m.read_only = read_only;
    owner_ids(json_get_string(record, "owner", ""), &m.uid, &m.gid);
    std::string driver;
    return volume_mount(m, &driver);
}

// Steps 5 and on of an attach, on the recorded slot. 0, or a negative errno
// with *message; whatever was done stays recorded for the rollback.
int attach_steps(Broker *broker, size_t slot, const AttachRequest &a, bool repair, uid_t uid,
                 gid_t gid, std::string *message) {
    RecordTable &table = broker->records;
    JsonValue *record = table.slots[slot].record;
    auto write = [&]() {
        if (record_write(&table, slot) == 0)
            return 0;
        *message = kTextCannotRecord;
        return -EIO;
    };

    int rc = ensure_iscsi_service();
    if (rc != 0) {
        *message = rc == -ENOENT      ? kTextInitiatorUnavailable
                   : rc == -ETIMEDOUT ? kTextInitiatorLate
                                      : kTextInitiatorCouldNotStart;
        return -EIO;
    }

    std::string session, reason;
    {
        size_t length = 0;
        const char *bytes = json_string_bytes(a.chap_secret, &length);
        SecureBuffer secret = SecureBuffer::with_capacity(length);
        secret.assign(bytes, length);
        IscsiLogin login{a.target, static_cast<uint16_t>(a.port), a.chap_name, &secret};
        rc = iscsi_login(login, &session, &reason);
    }
    if (rc != 0) {
        *message = reason.empty() ? format_text(kTextConnectFailedCode, -rc)
                                  : format_text(kTextConnectFailed, reason.c_str());
        return -EIO;
    }
    json_set_string(record, "iscsiSession", session.c_str());
    if ((rc = write()) != 0)
        return rc;

    std::string device;
    int disk = -1;
    rc = wait_for_disk(session, kDiskArrivalMs, &device, &disk);
    if (rc != 0) {
        *message = rc == -ENOENT ? kTextDiskLate : kTextCannotListDevices;
        return rc;
    }
    json_set_int(record, "disk", disk);
    json_set_string(record, "device", device.c_str());
    if ((rc = write()) != 0)
        return rc;

    if (set_disk_access(device, a.read_only) != 0) {
        *message = kTextCannotBringOnline;
        return -EIO;
    }

    std::vector<VolumeEntry> volumes;
    rc = volumes_list(device, kVolumeCapacity, kVolumeSettleMs, &volumes);
    if (rc == -E2BIG) {
        *message = format_text(kTextTooManyVolumes, static_cast<int>(kVolumeCapacity));
        return rc;
    }
    if (rc != 0) {
        *message = kTextCannotListVolumes;
        return rc;
    }
    // Two steps of the Windows road have nothing to do here: the write-cache
    // (hot-plug) policy of FAT disks is not a disk property on Linux, and a
    // read-only NTFS mount never writes its journal, so it needs no
    // preparation through the worker's overlay.
    //
    // A repair must account for every data partition: the volumes listed are
    // the partition table's own entries, so each data partition is one.

    // Choosing the volume: the data volumes with a supported filesystem are
    // counted in list order; "partition" picks one of them by that count.
    int supported = 0;
    const VolumeEntry *selected = nullptr;
    bool foreign = false;
    JsonValue *check_volumes = repair ? json_new(JsonKind::Array) : nullptr;
    std::vector<const VolumeEntry *> to_check;
    for (const VolumeEntry &v : volumes) {
        if (!v.data)
            continue;
        if (filesystem_is_supported(v.filesystem)) {
            supported++;
            if ((a.partition == 0 && supported == 1) || supported == a.partition)
                selected = &v;
            if (repair)
                to_check.push_back(&v);
        } else if (repair) {
            json_free(check_volumes);
            *message = kTextUnsupportedCheckVolume;
            return -EINVAL;
        } else if (v.filesystem != "RAW") {
            foreign = true;
        }
    }
    if (!(selected && (a.partition != 0 || supported < 2 || repair))) {
        json_free(check_volumes);
        if (supported >= 2 || (supported > 0 && a.partition > supported))
            *message = format_text(kTextChoosePartition, supported, supported);
        else if (supported == 0 && foreign)
            *message = kTextNoDriver;
        else
            *message = kTextNoSupportedFilesystem;
        return -EINVAL;
    }

    // Every other volume stays hidden: it is never presented as a device.
    if (repair) {
        // Every data volume becomes a device for the check; none is mounted.
        json_set(record, "checkVolumes", check_volumes);
        for (const VolumeEntry *v : to_check) {
            std::string volume;
            if (present_volume(device, v->offset, v->size, false, &volume) != 0) {
                *message = kTextCannotPrepareVolume;
                return -EIO;
            }
            JsonValue *entry = json_new(JsonKind::Object);
            json_set_string(entry, "volume", volume.c_str());
            json_set_string(entry, "filesystem", v->filesystem.c_str());
            json_append(json_get(record, "checkVolumes"), entry);
            if ((rc = write()) != 0)
                return rc;
        }
        json_set_string(record, "mountPoint", "");
    } else {
        std::string volume;
        if (present_volume(device, selected->offset, selected->size, a.read_only, &volume) != 0) {
            *message = kTextCannotPrepareVolume;
            return -EIO;
        }
        json_set_string(record, "volume", volume.c_str());
        json_set_int(record, "volumeOffset", static_cast<int64_t>(selected->offset));
        json_set_int(record, "volumeSize", static_cast<int64_t>(selected->size));
        if ((rc = write()) != 0)
            return rc;

        std::string mount_point;
        rc = mount_point_create(uid, a.mount_name ? a.mount_name : selected->label, &mount_point);
        if (rc != 0) {
            *message = rc == -ENOSPC ? kTextNoMountPoint : kTextCannotMount;
            return rc;
        }
        json_set_string(record, "mountPoint", mount_point.c_str());
        if ((rc = write()) != 0)
            return rc;
        VolumeMount m;
        m.device = volume;
        m.mount_point = mount_point;
        m.filesystem = selected->filesystem;
        m.read_only = a.read_only;
        m.uid = uid;
        m.gid = gid;
        std::string driver;
        rc = volume_mount(m, &driver);
        if (rc == -ENODEV) {
            *message = format_text(kTextDriverMissing, driver.c_str());
            return rc;
        }
        if (rc != 0) {
            *message = kTextCannotMount;
            return rc;
        }
        // Read-only is never weakened silently: the mounted filesystem itself
        // must say so.
        bool read_only = false;
        if (a.read_only && (mount_is_read_only(mount_point, &read_only) != 0 || !read_only)) {
            *message = kTextMountedWritable;
            return -EROFS;
        }
    }

    json_set_string(record, "filesystem", repair ? "" : selected->filesystem.c_str());
    json_set_string(record, "volumeLabel", repair ? "" : selected->label.c_str());
    if (repair)
        json_set_string(record, "volume", "");
    json_set_string(record, "phase", repair ? "repairing" : "mounted");
    if ((rc = write()) != 0)
        return rc;
    broker_log(kLogAttached, a.id, static_cast<unsigned long>(disk), repair ? " for a check" : "");
    return 0;
}

} // namespace

int wait_for_disk(const std::string &session, int timeout_ms, std::string *device, int *disk) {
    for (int waited = 0;; waited += kDiskPollMs) {
        int rc = iscsi_session_devices(session, device, disk);
        if (rc == 0)
            return 0;
        if (waited >= timeout_ms)
            return rc == -ENOENT ? -ENOENT : -EIO;
        sleep_ms(kDiskPollMs);
    }
}

int set_disk_access(const std::string &device, bool read_only) {
    bool now = !read_only;
    if (block_device_read_only(device, &now) != 0)
        return -EIO;
    if (now == read_only)
        return 0;
    if (loop_set_read_only(device, read_only) != 0 || block_device_read_only(device, &now) != 0)
        return -EIO;
    return now == read_only ? 0 : -EACCES;
}

void clear_disk_flag(const std::string &device) {
    if (!device.empty())
        loop_set_read_only(device, false);
}

int detach_session(JsonValue *record, const char **message) {
    const std::string session = json_get_string(record, "iscsiSession", "");
    // The volumes' devices sit on the disk: while one exists the initiator
    // sees the disk in use, so they go first, whether the worker still runs
    // or not.
    if (int rc = release_volumes(record, kDetachTexts, message); rc != 0)
        return rc;
    if (!session.empty()) {
        clear_disk_flag(json_get_string(record, "device", ""));
        // A disk still in use may be let go of shortly (a driver that is
        // just exiting): the logout is tried again for a while.
        int rc = iscsi_logout(session);
        for (int call = 1; rc == -EBUSY && call < kLogoutCalls; call++) {
            sleep_ms(kLogoutRetryMs);
            rc = iscsi_logout(session);
        }
        if (rc != 0) {
            // Still attached: the requested access holds again.
            const char *device = json_get_string(record, "device", "");
            if (device[0] != '\0')
                set_disk_access(device, json_get_bool(record, "readOnly", true));
            *message = kTextKeptInUse;
            return rc;
        }
        json_remove(record, "iscsiSession");
    }
    return 0;
}

JsonValue *attach_session(Broker *broker, const JsonValue *request, const std::string &user,
                          uint64_t logon, bool repair, std::string *message) {
    AttachRequest a;
    if (!parse_request(request, repair, &a)) {
        *message = kTextInvalidMount;
        return nullptr;
    }
    RecordTable &table = broker->records;
    if (int existing = record_find(&table, a.id); existing >= 0) {
        const JsonValue *record = table.slots[existing].record;
        if (user != record_user(record)) {
            *message = kTextOtherAccount;
            return nullptr;
        }
        return json_clone(record);
    }
    if (verify_caller(static_cast<pid_t>(a.worker_pid), static_cast<uint64_t>(a.worker_start), user,
                      "tarnwick-worker", static_cast<uint16_t>(a.port)) != 0) {
        *message = kTextNotOurProgram;
        return nullptr;
    }
    size_t slot = 0;
    if (records_reserve(&table, user.c_str(), &slot) != 0) {
        *message = kTextTooManyDisks;
        return nullptr;
    }
    JsonValue *record = json_new(JsonKind::Object);
    json_set_string(record, "id", a.id);
    json_set_string(record, "owner", user.c_str());
    json_set_int(record, "logonSession", static_cast<int64_t>(logon));
    json_set_int(record, "boot", static_cast<int64_t>(broker->boot));
    json_set_int(record, "workerPid", a.worker_pid);
    json_set_int(record, "workerStart", a.worker_start);
    json_set_string(record, "target", a.target);
    json_set_int(record, "port", a.port);
    json_set_bool(record, "readOnly", a.read_only);
    if (repair)
        json_set_bool(record, "repair", true);
    json_set_string(record, "phase", "attaching");
    table.slots[slot].record = record;
    if (record_write(&table, slot) != 0) {
        // Nothing is attached yet: the slot goes back as it was.
        record_delete(&table, slot);
        *message = kTextCannotRecord;
        return nullptr;
    }

    uid_t uid = 0;
    gid_t gid = 0;
    owner_ids(user, &uid, &gid);
    if (attach_steps(broker, slot, a, repair, uid, gid, message) == 0)
        return json_clone(record);

    broker_log(kLogAttachFailed, a.id, message->c_str());
    const char *detach_message = nullptr;
    if (detach_session(record, &detach_message) == 0) {
        record_delete(&table, slot);
    } else {
        json_set_string(record, "phase", "recovery-needed");
        record_write(&table, slot);
    }
    return nullptr;
}

JsonValue *unmount_session(Broker *broker, const char *id, const std::string &user,
                           std::string *message) {
    RecordTable &table = broker->records;
    int found = record_find(&table, id);
    if (found < 0) {
        JsonValue *reply = json_new(JsonKind::Object);
        json_set_string(reply, "phase", "disconnected");
        return reply;
    }
    const size_t slot = static_cast<size_t>(found);
    JsonValue *record = table.slots[slot].record;
    if (user != record_user(record)) {
        *message = kTextOtherAccount;
        return nullptr;
    }
    if (table.slots[slot].busy) {
        *message = kTextCheckRunning;
        return nullptr;
    }
    if (strcmp(record_phase(record), "disconnected") == 0)
        return json_clone(record);

    const std::string session = json_get_string(record, "iscsiSession", "");
    bool offline = false;
    const char *text = nullptr;
    if (!session.empty() &&
        process_is_same(static_cast<pid_t>(json_get_int(record, "workerPid", 0)),
                        static_cast<uint64_t>(json_get_int(record, "workerStart", 0)))) {
        std::vector<std::string> sessions;
        if (iscsi_session_list(&sessions) != 0) {
            *message = kTextCannotListSessions;
            return nullptr;
        }
        if (iscsi_session_exists(sessions, session)) {
            std::string device;
            int disk = -1;
            int rc = wait_for_disk(session, 0, &device, &disk);
            if (rc != 0 && rc != -ENOENT) {
                *message = kTextCannotFindDisk;
                return nullptr;
            }
            if (rc == 0) {
                json_set_int(record, "disk", disk);
                json_set_string(record, "device", device.c_str());
                // Offline: nothing of the disk mounted or presented any more.
                if (release_volumes(record, kOfflineTexts, &text) != 0) {
                    *message = text;
                    return nullptr;
                }
                offline = true;
            }
        }
    }

    const std::string previous = json_get_string(record, "phase", "mounted");
    json_set_string(record, "phase", "unmounting");
    record_write(&table, slot);
    if (detach_session(record, &text) != 0) {
        if (offline && restore_volume(record) != 0)
            broker_log(kLogRestoreFailed, id);
        json_set_string(record, "phase", previous.empty() ? "mounted" : previous.c_str());
        record_write(&table, slot);
        *message = text;
        return nullptr;
    }
    json_set_string(record, "phase", "disconnected");
    if (record_write(&table, slot) != 0) {
        // A record that cannot be kept goes entirely rather than stay wrong.
        JsonValue *copy = json_clone(record);
        record_delete(&table, slot);
        broker_log(kLogUnmounted, id);
        return copy;
    }
    broker_log(kLogUnmounted, id);
    return json_clone(record);
}

JsonValue *broker_run_attach(BrokerRequest *r) {
    std::string message;
    JsonValue *record =
        attach_session(r->broker, r->request, r->peer->user, r->peer->session, false, &message);
    return record ? record : broker_error_reply(message.c_str());
}

JsonValue *broker_run_unmount(BrokerRequest *r) {
    std::string message;
    JsonValue *record = unmount_session(r->broker, json_get_string(r->request, "id", nullptr),
                                        r->peer->user, &message);
    return record ? record : broker_error_reply(message.c_str());
}

} // namespace tw
