#include "broker/checks.h"

#include "broker/attach.h"
#include "broker/log.h"
#include "broker/texts.h"
#include "platform/filesystem_tools.h"
#include "runtime/text.h"

#include <cerrno>
#include <cstring>
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

} // namespace

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
