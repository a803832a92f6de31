// Mount preferences and the canonical text of a mount request.
#pragma once

#include "runtime/json.h"
#include "session/service.h"

#include <string>

namespace tw {

// Checks the "preferences" member (null: none given, which is valid) by
// the one rule set the front-ends share. 0, or -EINVAL with *err set.
int preferences_check(const JsonValue *preferences, SessionError *err);

// The compact text that identifies a mount request without its
// credentials: prepare-mount and mount of one request give the same text.
// Empty only when memory ran out.
std::string request_canonical_text(const JsonValue *request);

} // namespace tw
