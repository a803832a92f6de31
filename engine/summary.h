// The container summary: the result every successful container operation
// reports, and what the front-ends show and offer from.
#pragma once

#include <cstdint>

namespace tw {

struct JsonValue;

// What is known about a container when its summary is written. The caller
// gathers it from the open container; the rules of which members appear,
// and in which order, live in container_summary.
struct SummaryFacts {
    const char *format_name = "Unknown Format";
    bool unlocked = false;  // credentials were checked, or the image is unencrypted
    bool plaintext = false; // an unencrypted image
    uint32_t cipher = 255;  // cipher in use
    const char *cipher_name = "Unknown";
    const char *filesystem = nullptr;       // the probe's line; null when not checked
    bool verified = false;                  // every command but inspect
    const char *filesystem_type = nullptr;  // verified only
    const char *write_filesystem = nullptr; // null: cannot be served writable
    bool allocated_size_known = false;
    uint64_t allocated_size = 0;
    bool v3 = false;
    bool v3_compressed = false;
    uint32_t v3_chunk_size = 0;
    bool v3_recovery_needed = false;
    uint64_t size = 0;
    bool recovery_required = false;
    bool cd_image = false;
    bool header_locked = false;
    bool memory_locked = false;     // the container library's key memory
    bool credentials_locked = true; // the engine's credential record
    bool write_session_recovery = false;
};

// The byte limit of a new password for the cipher: 4096 for the ciphers
// offered for new containers, 0 for any other.
uint32_t new_password_limit(uint32_t cipher);

// Builds the summary object, ending with "event" "result". Null when out of
// memory.
JsonValue *container_summary(const SummaryFacts &facts);

} // namespace tw
