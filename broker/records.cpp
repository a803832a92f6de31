#include "broker/records.h"

#include "broker/initiator.h"
#include "broker/texts.h"
#include "runtime/records.h"
#include "runtime/text.h"

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tw {

namespace {

constexpr const char *kSuffix = ".json";

bool ends_with(const std::string &s, const char *suffix) {
    size_t n = strlen(suffix);
    return s.size() >= n && s.compare(s.size() - n, n, suffix) == 0;
}

// Record ids are lower-case UUIDs: the file name is made from the id, so an
// upper-case spelling would name a second file for the same session.
bool id_is_valid(const char *id) {
    if (!uuid_is_valid(id))
        return false;
    for (const char *p = id; *p; p++)
        if (*p >= 'A' && *p <= 'F')
            return false;
    return true;
}

// "ID.json.UUID.tmp": what an interrupted atomic write leaves behind.
bool is_record_temporary(const std::string &name) {
    const size_t uuid = kUuidTextSize - 1;
    if (!ends_with(name, ".tmp") || name.size() < uuid + 4 + 1 + 5)
        return false;
    std::string middle = name.substr(name.size() - 4 - uuid, uuid);
    std::string head = name.substr(0, name.size() - 4 - uuid - 1);
    return name[name.size() - 4 - uuid - 1] == '.' && uuid_is_valid(middle.c_str()) &&
           ends_with(head, kSuffix);
}

std::string record_file(const RecordTable *table, const char *id) {
    return table->folder + "/" + id + kSuffix;
}

int free_slot(const RecordTable *table) {
    for (size_t i = 0; i < kRecordSlots; i++)
        if (table->slots[i].record == nullptr)
            return static_cast<int>(i);
    return -1;
}

} // namespace

const char *record_user(const JsonValue *record) {
    const char *owner = json_get_string(record, "owner", nullptr);
    return owner ? owner : json_get_string(record, "account", "");
}

bool record_is_format(const JsonValue *record) {
    return strcmp(json_get_string(record, "kind", ""), "format") == 0;
}

const char *record_phase(const JsonValue *record) {
    return json_get_string(record, "phase", "");
}

int record_find(const RecordTable *table, const char *id) {
    if (id == nullptr)
        return -1;
    for (size_t i = 0; i < kRecordSlots; i++)
        if (table->slots[i].record != nullptr &&
            strcmp(json_get_string(table->slots[i].record, "id", ""), id) == 0)
            return static_cast<int>(i);
    return -1;
}

int record_write(RecordTable *table, size_t slot) {
    const JsonValue *record = table->slots[slot].record;
    const char *id = json_get_string(record, "id", "");
    if (!id_is_valid(id))
        return -EIO;
    return json_write_file(record_file(table, id).c_str(), record) == 0 ? 0 : -EIO;
}

int record_delete(RecordTable *table, size_t slot) {
    JsonValue *record = table->slots[slot].record;
    const char *id = json_get_string(record, "id", "");
    if (id_is_valid(id) && unlink(record_file(table, id).c_str()) != 0 && errno != ENOENT)
        return -errno;
    json_free(record);
    table->slots[slot] = RecordSlot{};
    return 0;
}

int records_reserve(RecordTable *table, const char *user, size_t *slot) {
    auto held = [&] {
        size_t n = 0;
        for (const RecordSlot &s : table->slots)
            if (s.record != nullptr && strcmp(record_user(s.record), user) == 0)
                n++;
        return n;
    };
    if (held() >= kRecordsPerUser)
        for (size_t i = 0; i < kRecordSlots; i++) {
            RecordSlot &s = table->slots[i];
            if (s.record != nullptr && !s.busy && strcmp(record_user(s.record), user) == 0 &&
                strcmp(record_phase(s.record), "disconnected") == 0)
                record_delete(table, i);
        }
    if (held() >= kRecordsPerUser)
        return -EDQUOT;
    int free = free_slot(table);
    if (free < 0)
        return -ENOSPC;
    *slot = static_cast<size_t>(free);
    return 0;
}

void sweep_format_sessions(RecordTable *table) {
    for (size_t i = 0; i < kRecordSlots; i++) {
        RecordSlot &s = table->slots[i];
        if (s.record == nullptr || s.busy || !record_is_format(s.record))
            continue;
        if (iscsi_logout(json_get_string(s.record, "iscsiSession", "")) != 0)
            continue;
        json_set_string(s.record, "phase", "disconnected");
        record_delete(table, i);
    }
}

int records_load(RecordTable *table, uint64_t boot) {
    table->unreadable = 0;
    DIR *dir = opendir(table->folder.c_str());
    if (dir == nullptr)
        return -errno;
    std::vector<std::string> names;
    while (dirent *entry = readdir(dir)) {
        std::string name = entry->d_name;
        if (is_record_temporary(name))
            unlink((table->folder + "/" + name).c_str());
        else if (ends_with(name, kSuffix))
            names.push_back(name);
    }
    closedir(dir);

    // The session list is read once, and only when a record needs it.
    bool listed = false;
    int list_result = 0;
    std::vector<std::string> sessions;
    auto session_alive = [&](const char *session) {
        if (!listed) {
            list_result = iscsi_session_list(&sessions);
            listed = true;
        }
        // An unreadable list keeps the record: its disk may still be there.
        return list_result != 0 || iscsi_session_exists(sessions, session);
    };

    for (const std::string &name : names) {
        std::string path = table->folder + "/" + name;
        JsonValue *record = json_read_file(path.c_str(), kRecordLimit);
        const char *id = json_get_string(record, "id", "");
        int slot = free_slot(table);
        if (record == nullptr || record->kind != JsonKind::Object || !id_is_valid(id) ||
            name != std::string(id) + kSuffix || slot < 0) {
            json_free(record);
            table->unreadable++;
            continue;
        }
        const JsonValue *born = json_get(record, "boot");
        bool this_boot = born != nullptr && born->kind == JsonKind::Number && born->is_integer &&
                         static_cast<uint64_t>(born->int_value) == boot;
        const char *session = json_get_string(record, "iscsiSession", "");
        if (!this_boot && !(session[0] != '\0' && session_alive(session))) {
            // A disk of an earlier boot: gone with that boot.
            if (unlink(path.c_str()) == 0 || errno == ENOENT) {
                json_free(record);
                continue;
            }
        }
        table->slots[slot].record = record;
        if (strcmp(record_phase(record), "repairing") == 0) {
            json_set_string(record, "phase", "repaired");
            json_set_bool(record, "repairClean", false);
            json_set_string(record, "repairError", kTextRepairInterrupted);
            record_write(table, static_cast<size_t>(slot));
        }
    }
    sweep_format_sessions(table);
    return 0;
}

void records_free(RecordTable *table) {
    for (RecordSlot &s : table->slots) {
        json_free(s.record);
        s = RecordSlot{};
    }
}

} // namespace tw
