// Event lines on standard output: one compact JSON object per line, with
// "version" 1 as its last member. Nothing else is ever written to standard
// output, so front-ends can treat any other line as a protocol failure.
#pragma once

#include "runtime/json.h"

namespace tw {

// Exit codes after the last event.
inline constexpr int kExitSuccess = 0;
inline constexpr int kExitFailure = 1;
inline constexpr int kExitCredentials = 2;

// Writes {<members of result>, "event":"result", "version":1}; when the
// result already holds "event" (a container summary places it among its
// members), that order is kept. result may be null (no members); it is not
// consumed. Returns 0 or a negative errno.
int event_write_result(const JsonValue *result);

// Writes {"event":"error","code":code,"message":message,"version":1}.
int event_write_error(const char *code, const char *message);

// Writes a progress event; phase null leaves the member out (export).
int event_write_progress(const char *phase, double fraction);

// The exit code that belongs after an error event with this code.
int exit_code_for_error(const char *code);

} // namespace tw
