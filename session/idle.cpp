// The preferences of a running session and unmounting after a period
// without disk activity.
#include "platform/clock.h"
#include "runtime/text.h"
#include "session/library.h"
#include "session/preferences.h"
#include "session/sessions.h"
#include "session/texts.h"
#include "session/worker_status.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace tw {

namespace wire = session_wire;
namespace text = session_text;

namespace {

constexpr uint64_t kUnitsPerSecond = 10000000;

} // namespace

int session_change_preferences(Service *s, const JsonValue *request, SessionError *err) {
    int slot = session_find(s, json_get_string(request, wire::kSessionId, ""));
    const JsonValue *preferences = json_get(request, wire::kPreferences);
    if (slot < 0 || preferences == nullptr || preferences->kind != JsonKind::Object ||
        s->slots[slot].checking)
        return session_fail(err, wire::kCodeSession, text::kRefreshBeforePreferences, -ENOENT);
    if (int rc = preferences_check(preferences, err); rc != 0)
        return rc;
    SessionSlot &sl = s->slots[slot];
    // The access of a running session never changes, and a writable session
    // is never mounted at sign-in.
    bool writable = json_get_bool(sl.record, wire::kWritable, false);
    JsonValue *copy = json_clone(preferences);
    json_set_bool(copy, wire::kReadOnly, !writable);
    if (writable)
        json_set_bool(copy, wire::kMountOnLogin, false);
    JsonValue *old = sl.record;
    JsonValue *record = json_clone(old);
    json_set(record, wire::kPreferences, copy);
    json_remove(record, wire::kIdleMessage);
    sl.record = record;
    if (session_record_save(s, static_cast<size_t>(slot)) != 0) {
        sl.record = old;
        json_free(record);
        return session_fail(err, wire::kCodeRegistry, text::kPreferencesNotSaved, -EIO);
    }
    json_free(old);
    sl.last_activity = monotonic_now();
    sl.next_idle_attempt = 0;
    return 0;
}

void sessions_idle_check(Service *s) {
    for (size_t i = 0; i < wire::kSessionSlots; i++) {
        SessionSlot &sl = s->slots[i];
        if (sl.record == nullptr || sl.checking ||
            strcmp(json_get_string(sl.record, wire::kPhase, ""), wire::kPhaseMounted) != 0)
            continue;
        int64_t idle_seconds =
            json_get_int(json_get(sl.record, wire::kPreferences), wire::kIdleSeconds, 0);
        if (idle_seconds <= 0)
            continue;
        uint64_t now = monotonic_now();
        if (sl.status == nullptr || status_load32(sl.status, kFieldLayout) != 1 ||
            !session_worker_alive(s, i)) {
            // Without the worker's activity nothing can be measured: say so
            // once, and count the time from now when monitoring comes back.
            const char *shown = json_get_string(sl.record, wire::kIdleMessage, nullptr);
            if (shown == nullptr || strcmp(shown, text::kIdlePaused) != 0) {
                json_set_string(sl.record, wire::kIdleMessage, text::kIdlePaused);
                session_record_save(s, i);
            }
            sl.last_activity = now;
            continue;
        }
        uint64_t activity = status_load64(sl.status, kFieldActivity);
        uint64_t period = static_cast<uint64_t>(idle_seconds) * kUnitsPerSecond;
        if (status_load32(sl.status, kFieldBusy) != 0 || activity == 0 || now < activity ||
            now < sl.next_idle_attempt || now - std::max(activity, sl.last_activity) < period)
            continue;
        sl.next_idle_attempt = now + period;
        std::string id = json_get_string(sl.record, wire::kId, "");
        SessionError err;
        if (session_unmount(s, i, &err) == 0)
            continue;
        // The session may be gone even after a failure; when its record is
        // still there it says why, and the next try waits a full period.
        int slot = session_find(s, id.c_str());
        if (slot < 0)
            continue;
        char *message = format_alloc(text::kIdleUnmountFailed, err.message.c_str());
        if (message != nullptr) {
            json_set_string(s->slots[slot].record, wire::kMessage, message);
            session_record_save(s, static_cast<size_t>(slot));
        }
        free(message);
    }
}

} // namespace tw
