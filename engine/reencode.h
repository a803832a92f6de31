// The steps rekey, convert and replace share around the copy writer.
#pragma once

#include "container/container.h"

#include <cstdint>

namespace tw {

struct EngineContext;
struct JsonValue;
struct PreparedSource;

// Prepares the source and the copy writer's options: the header requirement,
// the output layout, the new-password limit, a cancellation check and the
// recovery files once more. On failure the error event is written and its
// exit code returned through *exit_code (result nonzero).
int reencode_prepare(EngineContext *ctx, PreparedSource *source, ReencodeOptions *options,
                     int *exit_code);

// Reopens the written container with the new password, probes it and writes
// its summary (plus `extra`, may be null). Returns the exit code.
int reencode_report(EngineContext *ctx, const char *path, uint32_t cipher, JsonValue *extra);

// When a re-encoding failed because of its source rather than the copy (the
// source is damaged, or another program took it meanwhile), writes that
// error and returns its exit code; otherwise -1. Call before releasing the
// source.
int reencode_source_failure(const PreparedSource &source, int rc);

// The error code and event for a failed re-encoding's result.
const char *reencode_error_code(int rc);
int reencode_failure(int rc);

} // namespace tw
