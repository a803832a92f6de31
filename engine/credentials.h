// The credential request: the only way passwords reach the engine.
//
// A binary, little-endian record on standard input, read exactly and
// followed by the end of the stream. The decoded record lives in locked
// memory and is wiped on every path out.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tw {

inline constexpr uint32_t kPasswordLimit = 4096;
inline constexpr uint32_t kSystemKeyTextLength = 14;

struct CredentialRecord {
    uint32_t kind;   // 1: current password only; 2: current and new password
    uint32_t cipher; // 1, 8, 9, 10, or 255 when not given
    uint32_t password_length;
    uint32_t system_key_length;
    uint32_t new_password_length;
    char password[kPasswordLimit + 1];
    char system_key[kSystemKeyTextLength + 1];
    char new_password[kPasswordLimit + 1];
};

// Allocates a zeroed record in locked memory. *locked tells whether the
// pages could be locked (the record is usable either way). Null when out of
// memory. Release with credential_record_free, which wipes it.
CredentialRecord *credential_record_new(bool *locked);
void credential_record_free(CredentialRecord *record);
// Overwrites every field with zeros.
void credential_record_wipe(CredentialRecord *record);
// Wipes only the current password (after it has been used to unlock).
void credential_record_wipe_password(CredentialRecord *record);

// Reads and validates one request from fd into record. Returns 0, or
// -EPROTO for any malformed, short or over-long request (the record is wiped
// then). Kind expectations are the caller's to check.
int credential_read(int fd, CredentialRecord *record);

// Decodes and validates a request held in memory (the same rules as
// credential_read, the end of the buffer standing for the end of the stream).
int credential_decode(const uint8_t *bytes, size_t length, CredentialRecord *record);

} // namespace tw
