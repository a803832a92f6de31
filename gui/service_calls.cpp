#include "gui/service_calls.h"

#include "runtime/mount_preferences.h"

#include <string>

namespace tw {

namespace {

JsonValue *request(int version, const char *action) {
    JsonValue *r = json_new(JsonKind::Object);
    json_set_int(r, "version", version);
    json_set_string(r, "action", action);
    return r;
}

// Keeps only the reply's "sessions" (an empty array when absent).
int sessions_of_reply(int rc, ClientOutcome *out) {
    if (rc != 0)
        return rc;
    JsonValue *sessions = json_get(out->result, "sessions");
    JsonValue *kept = sessions != nullptr && sessions->kind == JsonKind::Array
                          ? json_detach(out->result, sessions)
                          : json_new(JsonKind::Array);
    json_free(out->result);
    out->result = kept;
    return 0;
}

} // namespace

int gui_service_login(ClientOutcome *out) {
    JsonValue *r = request(3, "login");
    int rc = service_request(r, true, out);
    json_free(r);
    if (rc != 0)
        return rc;
    JsonValue *status = nullptr;
    rc = service_status_from_reply(out->result, &status);
    if (rc != 0)
        return client_fail(out, "protocol", "The mount service returned an incompatible reply.");
    json_free(out->result);
    out->result = status;
    return 0;
}

int gui_service_forget(std::string_view entry_id, ClientOutcome *out) {
    JsonValue *r = request(2, "forget");
    json_set_string(r, "entryID", std::string(entry_id).c_str());
    const int rc = service_request(r, true, out);
    json_free(r);
    return rc;
}

int gui_service_preferences(std::string_view session_id, const JsonValue *preferences,
                            ClientOutcome *out) {
    std::string code, message;
    if (int rc = mount_preferences_check(preferences, &code, &message); rc != 0) {
        client_fail(out, code, message);
        return rc;
    }
    JsonValue *r = request(2, "preferences");
    json_set_string(r, "sessionID", std::string(session_id).c_str());
    json_set(r, "preferences", json_clone(preferences));
    const int rc = service_request(r, true, out);
    json_free(r);
    return sessions_of_reply(rc, out);
}

} // namespace tw
