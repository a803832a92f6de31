// The engine's spine: start-up, dispatch, credentials, progress and
// cancellation. Operations are entries of a table (operations.cpp) that run
// with an EngineContext and write their own result or error event.
#pragma once

#include "engine/arguments.h"
#include "engine/credentials.h"
#include "engine/progress.h"

#include <cstdint>

namespace tw {

struct NamedEvent;

struct EngineContext {
    EngineArgs args;
    NamedEvent *cancel = nullptr;            // "Cancel.PID", set by the client or the parent watch
    CredentialRecord *credentials = nullptr; // locked; null for commands that read none
    bool credentials_locked = true;          // false when the record could not be locked
    ProgressTracker progress;
};

// Runs the engine: returns the process exit code.
int engine_main(int argc, char **argv);

// Creates the cancellation event "Cancel.PID" and starts watching the
// parent, which sets the event when the parent ends (or at once when the
// parent cannot be trusted). 0 or a negative errno.
int engine_start_cancellation(EngineContext *ctx);

// The progress callback handed to operations (ctx is the EngineContext).
// Writes progress events; when the cancellation event is set it removes the
// registered partial output, writes the "cancelled" error and ends the
// process with exit code 1. Returns 0.
int engine_progress(void *ctx, const char *phase, uint64_t done, uint64_t total);

// Replaces the message of the "cancelled" error that cancellation (the
// event or a stop signal) reports; for operations with their own wording.
void engine_set_cancelled_message(const char *message);

// Ends the process with the "cancelled" error when the cancellation event is
// set (the check an operation makes before it starts writing).
void engine_check_cancel(EngineContext *ctx);

// Zero-time check of the cancellation event, for the operations' own loops.
bool engine_cancel_requested(const EngineContext *ctx);

// An operation: writes its result or error event, returns the exit code.
using EngineOperation = int (*)(EngineContext *ctx);

// The operation for a command, or null when this build has none.
EngineOperation engine_operation_for(EngineCommand command);

// Writes an error event and returns the matching exit code.
int engine_fail(const char *code, const char *message);

} // namespace tw
