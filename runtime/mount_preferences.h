// The preferences of one mount ("preferences" in mount requests, session
// records and library entries), checked by one rule set that the session
// service and the front-ends share, so a front-end refuses exactly what the
// service would refuse, with the same text.
//
//   "readOnly"     bool, default true
//   "mountOnLogin" bool, default false; never together with a writable mount
//   "idleSeconds"  optional (null counts as absent): a whole number of
//                  seconds from 1 to one year
//   "volumeLabel"  optional text (other kinds count as absent): the mount's
//                  display name, which also names its mount point
#pragma once

#include "runtime/json.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace tw {

inline constexpr int64_t kIdleSecondsMax = 31536000;
inline constexpr size_t kVolumeLabelMax = 100;

// 0 when the label is usable: 1 to 100 bytes, not starting with a space or a
// dot, not ending with a space, without "/", "\", ":" or control bytes.
// -EINVAL otherwise, with *code "label" and *message the rule's text.
int mount_label_check(std::string_view label, std::string *code, std::string *message);

// 0 when `preferences` (null: absent, which is valid) keeps every rule above;
// -EINVAL with the first broken rule's code and message otherwise: "protocol"
// (not an object), "label", "writeLogin", "idle".
int mount_preferences_check(const JsonValue *preferences, std::string *code, std::string *message);

// The effective read-only flag: true unless "readOnly" is false.
bool mount_preferences_read_only(const JsonValue *preferences);

} // namespace tw
