// Mount preferences and the canonical request text.
#include "session/preferences.h"

#include "runtime/mount_preferences.h"

#include <cerrno>
#include <cstring>

namespace tw {

namespace wire = session_wire;

int session_fail(SessionError *err, const char *code, const char *message, int result) {
    if (err != nullptr) {
        err->code = code != nullptr ? code : "";
        err->message = message != nullptr ? message : "";
    }
    return result;
}

int preferences_check(const JsonValue *preferences, SessionError *err) {
    std::string code, message;
    int rc = mount_preferences_check(preferences, &code, &message);
    if (rc != 0)
        session_fail(err, code.c_str(), message.c_str(), rc);
    return rc;
}

std::string request_canonical_text(const JsonValue *request) {
    JsonValue *canon = json_new(JsonKind::Object);
    json_set_int(canon, wire::kVersion, json_get_int(request, wire::kVersion, 1));
    json_set_string(canon, wire::kOperationId, json_get_string(request, wire::kOperationId, ""));
    json_set_string(canon, wire::kPath, json_get_string(request, wire::kPath, ""));
    if (const JsonValue *partition = json_get(request, wire::kPartition);
        partition != nullptr && partition->kind == JsonKind::Number)
        json_set_int(canon, wire::kPartition, partition->is_integer ? partition->int_value : 0);
    if (const JsonValue *prefs = json_get(request, wire::kPreferences); prefs != nullptr) {
        JsonValue *rebuilt = json_new(JsonKind::Object);
        json_set_bool(rebuilt, wire::kReadOnly, json_get_bool(prefs, wire::kReadOnly, true));
        json_set_bool(rebuilt, wire::kMountOnLogin,
                      json_get_bool(prefs, wire::kMountOnLogin, false));
        if (const JsonValue *idle = json_get(prefs, wire::kIdleSeconds);
            idle != nullptr && idle->kind == JsonKind::Number)
            json_set(rebuilt, wire::kIdleSeconds, json_clone(idle));
        if (const JsonValue *label = json_get(prefs, wire::kVolumeLabel);
            label != nullptr && label->kind == JsonKind::String)
            json_set_string(rebuilt, wire::kVolumeLabel, label->string_bytes);
        json_set(canon, wire::kPreferences, rebuilt);
    }
    if (const JsonValue *entry = json_get(request, wire::kEntryId);
        entry != nullptr && entry->kind == JsonKind::String)
        json_set_string(canon, wire::kEntryId, entry->string_bytes);
    json_set_bool(canon, wire::kRemember, json_get_bool(request, wire::kRemember, false));
    size_t length = 0;
    char *serialized = json_serialize(canon, &length);
    json_free(canon);
    std::string result = serialized != nullptr ? std::string(serialized, length) : std::string();
    json_free_text(serialized);
    return result;
}

} // namespace tw
