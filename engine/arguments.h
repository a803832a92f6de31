// The engine's argument validation, by the command table of
// runtime/engine_commands.h.
//
// The engine is started by the front-ends with one command and its
// arguments. Everything here is pure: it reads argv and fills EngineArgs or
// names the usage message to report, so the rules can be tested without
// starting a process.
#pragma once

#include "runtime/cipher_id.h"
#include "runtime/engine_commands.h"

#include <cstdint>

namespace tw {

// Cipher number meaning "keep the source's cipher" (replace, rekey).
inline constexpr uint32_t kCipherKeep = kCipherUnset;

// How the output's compression is chosen.
enum class CompressionChoice {
    Off,
    Fast,
    AsSource, // keep whatever the source container uses
};

// Chunk-size choices besides an explicit 4096 / 16384 / 65536.
inline constexpr uint32_t kChunkKeepLayout = 0; // rekey: keep the source's layout
// replace without the pair: the source's chunk size when the source is
// compressed, else 16384. Resolved by the operation once the source is open.
inline constexpr uint32_t kChunkFromSource = UINT32_MAX;
inline constexpr uint32_t kDefaultChunk = 16384;

struct EngineArgs {
    EngineCommand command = EngineCommand::None;
    // Positional texts, pointing into argv (not owned). Unused ones are null.
    const char *file = nullptr;          // inspect..replace: FILE; import-veracrypt: SOURCE
    const char *output = nullptr;        // export, rekey, convert, create, image, import-veracrypt
    const char *device = nullptr;        // image, approve-imaging
    const char *bytes = nullptr;         // create: BYTES, checked by the creation itself
    const char *fs = nullptr;            // create: FILESYSTEM
    const char *label = nullptr;         // create: LABEL
    const char *user = nullptr;          // approve-imaging: USER
    const char *identity_text = nullptr; // image, approve-imaging: IDENTITY as given
    uint64_t identity = 0;               // image: non-zero device identity
    bool pair_given = false;             // COMPRESSION and CHUNK were given
    // Values handed to the operation (the defaults table applied).
    uint32_t output_cipher = kCipherKeep;
    uint32_t chunk_size = kChunkKeepLayout;
    CompressionChoice compression = CompressionChoice::AsSource;
    // Whether the command reads a credential request, and of which kind.
    bool reads_credentials = false;
    uint32_t credential_kind = 0;
};

// Parses an unsigned decimal text: no sign, no other characters, not empty,
// no overflow of 64 bits. Returns false when invalid.
bool parse_unsigned(const char *text, uint64_t *value);

// Recognises the special commands (creation-options, devices, import-recover
// with argc 2; recover-replacement with argc 3; approve-imaging with argc 5).
// Returns true and fills args when argv is one of them.
bool engine_special_command(int argc, char **argv, EngineArgs *args);

// Validates a general command. Returns 0 and fills args, or -EINVAL with
// *message set to the usage message to report.
int engine_parse_general(int argc, char **argv, EngineArgs *args, const char **message);

} // namespace tw
