// Preparing the source container of a file command: the system key, the
// path, leftovers of unfinished conversions, the in-use lock, the password
// and the proof that it is right (a recognised filesystem).
#pragma once

#include <cstddef>
#include <string>

namespace tw {

struct Container;
struct EngineContext;
struct JsonValue;

struct PreparedSource {
    std::string path;            // the resolved final path
    bool recovery_files = false; // leftovers of an unfinished conversion were found
    Container *container = nullptr;
    bool plaintext = false;    // an unencrypted image
    char probe_text[256] = {}; // the probe's summary line
};

// Runs the preparation for ctx->args.command on ctx->args.file. On failure
// the error event is written and the exit code returned in *exit_code; the
// result is then nonzero and nothing is left open. The current password is
// wiped on every path.
int source_prepare(EngineContext *ctx, PreparedSource *source, int *exit_code);

// True (with the error event written and its exit code in *exit_code) when
// an output name is already taken or cannot be checked: outputs never
// replace anything, and nothing is read before that is known.
bool destination_taken(const char *output, int *exit_code);

// Writes the container summary of a prepared (or freshly written) container
// as the result, followed by the members of `extra` (may be null). Returns
// the exit code.
int write_summary(EngineContext *ctx, const PreparedSource &source, bool verified,
                  JsonValue *extra);

// Closes the container of a prepared source.
void source_release(PreparedSource *source);

// The new-password check of the re-encoding commands: 0, or the error event
// written and its exit code returned through *exit_code.
int new_password_check(const EngineContext *ctx, uint32_t output_cipher, int *exit_code);

} // namespace tw
