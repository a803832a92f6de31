// Mount preferences and the canonical request text.
#include "session/preferences.h"

#include "session/texts.h"

#include <cerrno>
#include <cstring>

namespace tw {

namespace wire = session_wire;
namespace text = session_text;

int session_fail(SessionError *err, const char *code, const char *message, int result) {
    if (err != nullptr) {
        err->code = code != nullptr ? code : "";
        err->message = message != nullptr ? message : "";
    }
    return result;
}

namespace {

bool label_is_valid(const char *label, size_t length) {
    if (length < 1 || length > wire::kVolumeLabelMax)
        return false;
    if (label[0] == ' ' || label[0] == '.' || label[length - 1] == ' ')
        return false;
    for (size_t i = 0; i < length; i++) {
        unsigned char c = static_cast<unsigned char>(label[i]);
        if (c < 0x20 || c == 0x7F || c == '/' || c == '\\' || c == ':')
            return false;
    }
    return true;
}

} // namespace

int preferences_check(const JsonValue *preferences, SessionError *err) {
    if (preferences == nullptr)
        return 0;
    if (preferences->kind != JsonKind::Object)
        return session_fail(err, wire::kCodeProtocol, text::kInvalidPreferences, -EINVAL);
    size_t length = 0;
    if (const char *label = json_string_bytes(json_get(preferences, wire::kVolumeLabel), &length);
        label != nullptr && !label_is_valid(label, length))
        return session_fail(err, wire::kCodeLabel, text::kLabel, -EINVAL);
    bool read_only = json_get_bool(preferences, wire::kReadOnly, true);
    bool on_login = json_get_bool(preferences, wire::kMountOnLogin, false);
    if (!read_only && on_login)
        return session_fail(err, wire::kCodeWriteLogin, text::kWriteLogin, -EINVAL);
    const JsonValue *idle = json_get(preferences, wire::kIdleSeconds);
    if (idle != nullptr && idle->kind != JsonKind::Null &&
        (idle->kind != JsonKind::Number || !idle->is_integer || idle->int_value < 1 ||
         idle->int_value > wire::kIdleSecondsMax))
        return session_fail(err, wire::kCodeIdle, text::kIdle, -EINVAL);
    return 0;
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
