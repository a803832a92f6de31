#include "broker/checks.h"

#include "broker/attach.h"
#include "broker/callers.h"
#include "broker/initiator.h"
#include "broker/log.h"
#include "broker/texts.h"
#include "iscsi/naming.h"
#include "platform/clock.h"
#include "platform/filesystem_tools.h"
#include "platform/secure_memory.h"
#include "platform/volumes.h"
#include "runtime/text.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>
#include <vector>

namespace tw {

namespace {

constexpr size_t kVolumePathMin = 10, kVolumePathMax = 63;

struct CheckTool {
    const char *filesystem;
    const char *program;
    const char *repair_option; // null: the program repairs without one
};

constexpr CheckTool kCheckTools[] = {
    {"FAT32", "fsck.vfat", "-a"},
    {"FAT", "fsck.vfat", "-a"},
    {"exFAT", "fsck.exfat", "-y"},
    {"NTFS", "ntfsfix", nullptr},
};

// The tools print ASCII in the broker's C locale; anything else (a label or
// file name in another encoding) is kept readable as '?' rather than making
// the record invalid UTF-8.
std::string valid_text(const std::string &bytes) {
    std::string out;
    out.reserve(bytes.size());
    for (size_t i = 0; i < bytes.size();) {
        size_t n = utf8_sequence_length(reinterpret_cast<const unsigned char *>(bytes.data()) + i,
                                        bytes.size() - i);
        if (n == 0 || bytes[i] == '\0') {
            out.push_back('?');
            i++;
        } else {
            out.append(bytes, i, n);
            i += n;
        }
    }
    return out;
}

// One run of the tool; its rebuilt output is appended. 0 with *exit_code, or
// a negative errno when it could not run.
int run_fsck(const CheckTool &tool, const std::string &volume, bool repair, int *exit_code,
             std::string *output) {
    std::vector<std::string> argv = {tool.program};
    if (!repair)
        argv.push_back("-n");
    else if (tool.repair_option)
        argv.push_back(tool.repair_option);
    argv.push_back(volume);
    std::string text;
    int rc = tool_run(argv, 0, kCheckOutputLimit, exit_code, &text);
    output->append(valid_text(text));
    return rc;
}

constexpr size_t kTargetLimit = 200;
constexpr size_t kSecretMin = 12, kSecretMax = 16;
constexpr size_t kLabelMax = 128;
constexpr int kFormatTimeoutMs = 600000;

struct FormatTool {
    const char *request; // the request's name
    const char *name;    // as libblkid reports it
    const char *program;
    const char *label_option;
    const char *options[2];
};

constexpr FormatTool kFormatTools[] = {
    {"fat32", "FAT32", "mkfs.vfat", "-n", {"-F", "32"}},
    {"exfat", "exFAT", "mkfs.exfat", "-L", {nullptr, nullptr}},
    {"ntfs", "NTFS", "mkntfs", "-L", {"-Q", nullptr}},
};

const FormatTool *format_tool(const std::string &filesystem) {
    for (const FormatTool &t : kFormatTools)
        if (filesystem == t.request)
            return &t;
    return nullptr;
}

uint64_t now_ms() {
    return monotonic_now() / 10000;
}

// A positive integer member, or -1.
int64_t integer_member(const JsonValue *request, const char *key) {
    const JsonValue *v = json_get(request, key);
    if (!v || v->kind != JsonKind::Number || !v->is_integer)
        return -1;
    return v->int_value;
}

// Writes everything the formatter left in the page cache to the disk, so
// that the logout loses nothing. 0 or a negative errno.
int flush_disk(const std::string &device) {
    int fd = open(device.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return -errno;
    int rc = fsync(fd) == 0 && ioctl(fd, BLKFLSBUF, 0) == 0 ? 0 : -errno;
    close(fd);
    return rc;
}

// Steps on the arrived disk: writable, one empty volume, formatted. 0, or
// -EIO with *message.
template <typename Elapsed>
int format_disk(const std::string &device, int disk, const char *filesystem, const char *label,
                Elapsed elapsed, std::string *message) {
    if (set_disk_access(device, false) != 0) {
        *message = kTextFormatCannotBringOnline;
        return -EIO;
    }
    std::vector<VolumeEntry> volumes;
    int rc = volumes_list(device, kVolumeCapacity, kVolumeSettleMs, &volumes);
    broker_log(kLogFormatDisk, static_cast<unsigned long>(disk), static_cast<int>(volumes.size()),
               elapsed());
    // Nothing is formatted unless the disk is one empty volume.
    if (rc != 0 || volumes.size() != 1 || volumes[0].filesystem != "RAW") {
        *message = kTextNotOneEmptyVolume;
        return -EIO;
    }
    // The volume is never mounted, so it has no mount point to hide.
    std::string method = "mkfs";
    rc = format_volume(device, filesystem, label, &method, message);
    broker_log(kLogFormatResult, rc == 0 ? "formatted" : "failed", method.c_str(), elapsed());
    return rc == 0 ? 0 : -EIO;
}

} // namespace

int format_volume(const std::string &device, const std::string &filesystem,
                  const std::string &label, std::string *method, std::string *message) {
    const FormatTool *tool = format_tool(filesystem);
    if (!tool) {
        *message = kTextChooseFilesystem;
        return -EINVAL;
    }
    std::vector<std::string> argv = {tool->program};
    for (const char *option : tool->options)
        if (option)
            argv.push_back(option);
    argv.push_back(tool->label_option);
    argv.push_back(label);
    argv.push_back(device);
    int code = -1;
    std::string output;
    int rc = tool_run(argv, kFormatTimeoutMs, kCheckOutputLimit, &code, &output);
    std::vector<VolumeEntry> volumes;
    if (rc == 0 && code == 0 && volumes_read(device, kVolumeCapacity, &volumes) == 0 &&
        volumes.size() == 1 && volumes[0].partition_number == 0 &&
        volumes[0].filesystem == tool->name) {
        *method = "mkfs";
        return 0;
    }
    *message = kTextCannotFormat;
    return -EIO;
}

JsonValue *broker_run_format(BrokerRequest *r) {
    Broker *broker = r->broker;
    RecordTable &table = broker->records;
    const JsonValue *q = r->request;
    const int64_t port = integer_member(q, "port");
    const char *target = json_get_string(q, "target", nullptr);
    const char *chap_name = json_get_string(q, "chapName", nullptr);
    const JsonValue *chap_secret = json_get(q, "chapSecret");
    const char *filesystem = json_get_string(q, "filesystem", nullptr);
    const char *label = json_get_string(q, "label", nullptr);
    const std::string prefix = std::string(kTarnwickIqnAuthority) + ":format-";
    if (!(port >= 1 && port <= 65535 && target &&
          strncmp(target, prefix.c_str(), prefix.size()) == 0 && strlen(target) <= kTargetLimit &&
          chap_name && chap_name[0] != '\0' && chap_secret &&
          chap_secret->kind == JsonKind::String && chap_secret->string_length >= kSecretMin &&
          chap_secret->string_length <= kSecretMax && filesystem && format_tool(filesystem) &&
          label && label[0] != '\0' && strlen(label) <= kLabelMax))
        return broker_error_reply(kTextInvalidCreation);
    // The engine serves the target itself: it must be the installed engine
    // of the asking user, listening on that port.
    if (verify_caller(r->peer->pid, 0, r->peer->user, "tarnwick-engine",
                      static_cast<uint16_t>(port)) != 0)
        return broker_error_reply(kTextNotOurProgram);

    std::unique_lock<std::mutex> lock(broker->lock);
    sweep_format_sessions(&table);
    size_t slot = 0;
    if (records_reserve(&table, r->peer->user.c_str(), &slot) != 0)
        return broker_error_reply(kTextTooManyDisks);
    char id[kUuidTextSize];
    if (!uuid_generate(id))
        return broker_error_reply(kTextCannotRecordFormat);
    JsonValue *record = json_new(JsonKind::Object);
    json_set_string(record, "id", id);
    json_set_string(record, "kind", "format");
    json_set_string(record, "account", r->peer->user.c_str());
    json_set_int(record, "boot", static_cast<int64_t>(broker->boot));
    json_set_string(record, "target", target);
    json_set_string(record, "phase", "formatting");
    table.slots[slot].record = record;
    if (record_write(&table, slot) != 0) {
        record_delete(&table, slot);
        return broker_error_reply(kTextCannotRecordFormat);
    }
    table.slots[slot].busy = true;
    lock.unlock();
    const uint64_t start = now_ms();
    auto elapsed = [&]() { return static_cast<unsigned long long>(now_ms() - start); };

    std::string message, session;
    int rc = ensure_iscsi_service();
    if (rc != 0) {
        message = rc == -ENOENT      ? kTextInitiatorUnavailable
                  : rc == -ETIMEDOUT ? kTextInitiatorLate
                                     : kTextInitiatorCouldNotStart;
    } else {
        size_t length = 0;
        const char *bytes = json_string_bytes(chap_secret, &length);
        SecureBuffer secret = SecureBuffer::with_capacity(length);
        secret.assign(bytes, length);
        IscsiLogin login{target, static_cast<uint16_t>(port), chap_name, &secret};
        std::string reason;
        rc = iscsi_login(login, &session, &reason);
        if (rc != 0) {
            char text[1024];
            if (reason.empty())
                snprintf(text, sizeof text, kTextConnectFailedCode, -rc);
            else
                snprintf(text, sizeof text, kTextConnectFailed, reason.c_str());
            message = text;
        }
    }
    if (session.empty()) {
        // Nothing to log out of.
        lock.lock();
        table.slots[slot].busy = false;
        record_delete(&table, slot);
        return broker_error_reply(message.c_str());
    }
    broker_log(kLogFormatLoggedIn, elapsed());
    lock.lock();
    json_set_string(record, "iscsiSession", session.c_str());
    record_write(&table, slot);
    lock.unlock();

    std::string device;
    int disk = -1;
    bool formatted = false;
    rc = wait_for_disk(session, kDiskArrivalMs, &device, &disk);
    if (rc != 0) {
        message = rc == -ENOENT ? kTextDiskLate : kTextCannotListDevices;
    } else {
        formatted = format_disk(device, disk, filesystem, label, elapsed, &message) == 0;
        // Offline: what the formatter wrote is on the disk before the logout.
        if (flush_disk(device) != 0 && formatted) {
            formatted = false;
            message = kTextCannotFlushFormat;
        }
        clear_disk_flag(device);
        broker_log(kLogFormatDismounted, elapsed());
    }

    rc = iscsi_logout(session);
    lock.lock();
    table.slots[slot].busy = false;
    if (rc != 0) {
        // The record stays for a later sweep to log out.
        return broker_error_reply(formatted ? kTextFormatNotDetached : message.c_str());
    }
    json_set_string(record, "phase", "disconnected");
    record_delete(&table, slot);
    if (!formatted)
        return broker_error_reply(message.c_str());
    broker_log(kLogFormatted, static_cast<unsigned long>(r->peer->pid), filesystem, elapsed());
    JsonValue *reply = json_new(JsonKind::Object);
    json_set_bool(reply, "formatted", true);
    return reply;
}

int check_volume(const std::string &volume, const std::string &filesystem, VolumeCheck *result) {
    std::string path = volume;
    if (path.size() > 1 && path.back() == '/')
        path.pop_back();
    if (path.compare(0, 9, "/dev/loop") != 0 || path.size() < kVolumePathMin ||
        path.size() > kVolumePathMax ||
        path.find_first_not_of("0123456789", 9) != std::string::npos)
        return -EINVAL;
    const CheckTool *tool = nullptr;
    for (const CheckTool &t : kCheckTools)
        if (filesystem == t.filesystem)
            tool = &t;
    if (!tool)
        return -EINVAL;
    result->tool = tool->program;
    result->status = -1;
    result->clean = false;
    int code = -1;
    int rc = run_fsck(*tool, path, true, &code, &result->output);
    if (rc != 0) {
        result->output = text_tail(result->output, kCheckOutputLimit);
        return -EIO;
    }
    result->status = code;
    result->clean = code == 0;
    if (code == 1 || code == 2) {
        // Errors were corrected: only a read-only pass that finds nothing
        // left makes the volume clean.
        result->output += "\nRead-only verification:\n";
        int second = -1;
        rc = run_fsck(*tool, path, false, &second, &result->output);
        result->clean = rc == 0 && second == 0;
    }
    result->output = text_tail(result->output, kCheckOutputLimit);
    return rc != 0 ? -EIO : 0;
}

JsonValue *broker_run_repair(BrokerRequest *r) {
    Broker *broker = r->broker;
    RecordTable &table = broker->records;
    const char *id = json_get_string(r->request, "id", nullptr);
    std::unique_lock<std::mutex> lock(broker->lock);

    // A check runs once per session id.
    if (int existing = record_find(&table, id); existing >= 0) {
        const RecordSlot &s = table.slots[existing];
        if (r->peer->user != record_user(s.record))
            return broker_error_reply(kTextOtherAccount);
        return broker_error_reply(s.busy ? kTextCheckRunning : kTextAlreadyChecked);
    }

    std::string message;
    JsonValue *attached =
        attach_session(broker, r->request, r->peer->user, r->peer->session, true, &message);
    if (!attached) {
        // A record left behind (its disk could not be detached) is an error
        // of its own; otherwise nothing was checked and nothing stays.
        if (id && record_find(&table, id) >= 0)
            return broker_error_reply(message.empty() ? kTextCannotAttachForCheck
                                                      : message.c_str());
        JsonValue *reply = json_new(JsonKind::Object);
        json_set_string(reply, "refused",
                        message.empty() ? kTextCannotAttachForCheck : message.c_str());
        return reply;
    }
    json_free(attached);
    const int found = record_find(&table, id);
    if (found < 0)
        return broker_error_reply(kTextCannotRecord);
    const size_t slot = static_cast<size_t>(found);

    struct Volume {
        std::string device, filesystem;
    };
    std::vector<Volume> volumes;
    for (const JsonValue *v = json_first(json_get(table.slots[slot].record, "checkVolumes")); v;
         v = json_next(v))
        volumes.push_back({json_get_string(v, "volume", ""), json_get_string(v, "filesystem", "")});

    // The checks run without the global lock; the busy mark keeps unmount,
    // finalize, abandon and a second repair away from this record meanwhile.
    table.slots[slot].busy = true;
    lock.unlock();

    int status = 0;
    bool failed = volumes.empty();
    bool clean = !failed;
    std::string output, filesystems, tools;
    for (const Volume &v : volumes) {
        VolumeCheck check;
        int rc = check_volume(v.device, v.filesystem, &check);
        if (rc != 0) {
            failed = true;
            clean = false;
            status = -1;
        } else {
            if (!failed && check.status > status)
                status = check.status;
            clean = clean && check.clean;
        }
        if (volumes.size() > 1)
            output += "== " + v.filesystem + " volume ==\n" + check.output + "\n";
        else
            output = check.output;
        filesystems += (filesystems.empty() ? "" : ", ") + v.filesystem;
        if (!check.tool.empty() &&
            (", " + tools + ", ").find(", " + check.tool + ", ") == std::string::npos)
            tools += (tools.empty() ? "" : ", ") + check.tool;
    }
    if (failed)
        status = -1;

    lock.lock();
    table.slots[slot].busy = false;
    JsonValue *record = table.slots[slot].record;
    json_set_string(record, "filesystem", filesystems.c_str());
    json_set_string(record, "phase", "repaired");
    json_set_string(record, "repairTool", tools.c_str());
    json_set_int(record, "repairStatus", status);
    json_set_bool(record, "repairClean", clean);
    json_set_string(record, "repairOutput", text_tail(output, kCheckOutputLimit).c_str());
    if (failed)
        json_set_string(record, "repairError", kTextCannotCheckEveryVolume);
    record_write(&table, slot);
    broker_log(kLogChecked, id, tools.empty() ? "fsck" : tools.c_str(), status,
               clean ? "clean" : "not clean");
    return json_clone(record);
}

} // namespace tw
