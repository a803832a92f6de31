#include "runtime/mount_preferences.h"

#include <cerrno>

namespace tw {

namespace {

constexpr const char *kInvalidPreferences = "Invalid mount preferences.";
constexpr const char *kLabelRule =
    "Use a mount label of 1 to 100 UTF-8 bytes without slashes, colons, control characters, a "
    "leading dot, or surrounding spaces.";
constexpr const char *kWriteLogin =
    "Write mounts must be started manually. Turn off mount after sign-in or use read-only access.";
constexpr const char *kIdleRule = "Choose an inactivity period from one second to one year, or "
                                  "turn automatic unmounting off.";

int refuse(const char *code, const char *text, std::string *out_code, std::string *message) {
    *out_code = code;
    *message = text;
    return -EINVAL;
}

} // namespace

int mount_label_check(std::string_view label, std::string *code, std::string *message) {
    bool ok = !label.empty() && label.size() <= kVolumeLabelMax && label.front() != ' ' &&
              label.front() != '.' && label.back() != ' ';
    for (char c : label) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '/' || c == '\\' || c == ':' || byte < 0x20 || byte == 0x7F)
            ok = false;
    }
    return ok ? 0 : refuse("label", kLabelRule, code, message);
}

int mount_preferences_check(const JsonValue *preferences, std::string *code, std::string *message) {
    if (preferences == nullptr)
        return 0;
    if (preferences->kind != JsonKind::Object)
        return refuse("protocol", kInvalidPreferences, code, message);
    const JsonValue *label = json_get(preferences, "volumeLabel");
    if (label != nullptr && label->kind == JsonKind::String) {
        std::string_view text(label->string_bytes, label->string_length);
        if (mount_label_check(text, code, message) != 0)
            return -EINVAL;
    }
    if (!mount_preferences_read_only(preferences) &&
        json_get_bool(preferences, "mountOnLogin", false))
        return refuse("writeLogin", kWriteLogin, code, message);
    const JsonValue *idle = json_get(preferences, "idleSeconds");
    if (idle != nullptr && idle->kind != JsonKind::Null &&
        (idle->kind != JsonKind::Number || !idle->is_integer || idle->int_value < 1 ||
         idle->int_value > kIdleSecondsMax))
        return refuse("idle", kIdleRule, code, message);
    return 0;
}

bool mount_preferences_read_only(const JsonValue *preferences) {
    return json_get_bool(preferences, "readOnly", true);
}

} // namespace tw
