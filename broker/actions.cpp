// The session actions (list, finalize, abandon) and the table of every
// action of the protocol. Actions run under the global lock unless their
// entry says otherwise.
#include "broker/actions.h"

#include "broker/attach.h"
#include "broker/checks.h"
#include "broker/devices.h"
#include "broker/initiator.h"
#include "broker/texts.h"
#include "platform/mounts.h"

#include <cstring>
#include <vector>

namespace tw {

namespace {

JsonValue *phase_reply(const char *phase) {
    JsonValue *reply = json_new(JsonKind::Object);
    json_set_string(reply, "phase", phase);
    return reply;
}

// The slot of the record named by the request's "id" that the caller may act
// on; -1 with *reply set when there is nothing more to do.
int own_record(BrokerRequest *r, JsonValue **reply) {
    RecordTable &table = r->broker->records;
    int slot = record_find(&table, json_get_string(r->request, "id", nullptr));
    if (slot < 0) {
        // Nothing to clean up: the session is as gone as it can be.
        *reply = phase_reply("disconnected");
        return -1;
    }
    const RecordSlot &s = table.slots[slot];
    if (r->peer->user != record_user(s.record)) {
        *reply = broker_error_reply(kTextOtherAccount);
        return -1;
    }
    if (s.busy) {
        *reply = broker_error_reply(kTextCheckRunning);
        return -1;
    }
    return slot;
}

JsonValue *delete_record(BrokerRequest *r, int slot) {
    if (record_delete(&r->broker->records, static_cast<size_t>(slot)) != 0)
        return broker_error_reply(kTextCannotRemoveRecord);
    return phase_reply("disconnected");
}

JsonValue *run_list(BrokerRequest *r) {
    RecordTable &table = r->broker->records;
    bool listed = false;
    int list_result = 0;
    std::vector<std::string> sessions;
    JsonValue *array = json_new(JsonKind::Array);
    for (size_t i = 0; i < kRecordSlots; i++) {
        JsonValue *record = table.slots[i].record;
        if (record == nullptr || r->peer->user != record_user(record))
            continue;
        if (strcmp(record_phase(record), "mounted") == 0 && !table.slots[i].busy) {
            if (!listed) {
                list_result = iscsi_session_list(&sessions);
                listed = true;
            }
            // Without a readable session list nothing is known, so nothing
            // changes. A disk that stays while its volume's mount went (the
            // user unmounted it) is externally unmounted.
            const char *mount_point = json_get_string(record, "mountPoint", "");
            if (list_result == 0 &&
                !iscsi_session_exists(sessions, json_get_string(record, "iscsiSession", ""))) {
                json_set_string(record, "phase", "recovery-needed");
                record_write(&table, i);
            } else if (list_result == 0 && mount_point[0] != '\0' &&
                       !mount_table_has(mount_point)) {
                json_set_string(record, "phase", "externally-unmounted");
                record_write(&table, i);
            }
        }
        json_append(array, json_clone(record));
    }
    JsonValue *reply = json_new(JsonKind::Object);
    json_set(reply, "sessions", array);
    return reply;
}

JsonValue *run_finalize(BrokerRequest *r) {
    JsonValue *reply = nullptr;
    int slot = own_record(r, &reply);
    if (slot < 0)
        return reply;
    if (strcmp(record_phase(r->broker->records.slots[slot].record), "disconnected") != 0)
        return broker_error_reply(kTextStillAttached);
    return delete_record(r, slot);
}

JsonValue *run_abandon(BrokerRequest *r) {
    JsonValue *reply = nullptr;
    int slot = own_record(r, &reply);
    if (slot < 0)
        return reply;
    const char *session =
        json_get_string(r->broker->records.slots[slot].record, "iscsiSession", "");
    if (session[0] != '\0') {
        std::vector<std::string> sessions;
        if (iscsi_session_list(&sessions) != 0)
            return broker_error_reply(kTextCannotListSessions);
        if (iscsi_session_exists(sessions, session))
            return broker_error_reply(kTextAbandonAttached);
    }
    return delete_record(r, slot);
}

constexpr BrokerActionEntry kActions[] = {
    {"attach", broker_run_attach, false},
    {"repair", broker_run_repair, true},
    {"unmount", broker_run_unmount, false},
    {"finalize", run_finalize, false},
    {"abandon", run_abandon, false},
    {"list", run_list, false},
    {"devices", broker_run_devices, false},
    {"format", broker_run_format, true},
    {"approve-imaging", broker_run_approve_imaging, false},
    {"image-source", broker_run_image_source, false},
};

} // namespace

const BrokerActionEntry *broker_action_for(const char *name) {
    if (name == nullptr)
        return nullptr;
    for (const BrokerActionEntry &entry : kActions)
        if (strcmp(entry.name, name) == 0)
            return &entry;
    return nullptr;
}

} // namespace tw
