// Requests to the mount service that only the application sends.
#pragma once

#include "client/client.h"

#include <string_view>

namespace tw {

// Sign-in mounting ("login"); out->result: the status object.
int gui_service_login(ClientOutcome *out);

// Removes the saved password of a library entry ("forget").
int gui_service_forget(std::string_view entry_id, ClientOutcome *out);

// Changes the preferences of a mounted session ("preferences"), after the
// shared preference rules; out->result: the sessions.
int gui_service_preferences(std::string_view session_id, const JsonValue *preferences,
                            ClientOutcome *out);

} // namespace tw
