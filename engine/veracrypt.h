// Reading a standard VeraCrypt file container: the volume header and the
// decrypted data area.
//
// Only the standard case is accepted: a normal (not hidden) volume, AES in
// XTS mode, the header key from PBKDF2-HMAC-SHA-512 with the default PIM
// (500000 iterations), 512-byte sectors. The file layout is the public one:
// the volume header in the first 512 bytes of a 128 KiB header area, the
// encrypted data from byte 131072, and 128 KiB of backup headers at the end.
// Integers in the header are big-endian.
//
// The code here runs on files an attacker may have crafted, inside the
// sandboxed import worker. Every key lives in locked memory.
#pragma once

#include "container/keys/keys.h"

#include <cstddef>
#include <cstdint>

namespace tw {

inline constexpr size_t kVeraCryptHeaderSize = 512;
inline constexpr size_t kVeraCryptKeySize = 64; // header key and master keys (two AES-256 keys)
inline constexpr uint64_t kVeraCryptDataOffset = 131072;
inline constexpr uint64_t kVeraCryptReservedSize = 262144; // header areas at both ends
inline constexpr uint64_t kVeraCryptMinimumFileSize = 268800;

// Decrypts header bytes 64..511 with the 64-byte header key (AES-256-XTS,
// data unit 0) into `decrypted` (all 512 bytes; the salt is copied). 0, -EIO
// when the crypto library fails, -ENOMEM.
int veracrypt_header_decrypt(const uint8_t header[kVeraCryptHeaderSize],
                             const uint8_t header_key[kVeraCryptKeySize],
                             uint8_t decrypted[kVeraCryptHeaderSize]);

// Validates a decrypted header for a file of `file_size` bytes and copies the
// master keys (bytes 256..319) to `master_keys`:
//   EACCES          no "VERA" magic or a header CRC mismatch (a wrong
//                   password or not a VeraCrypt volume)
//   EPROTONOSUPPORT another header version, a newer minimum program version,
//                   a hidden volume, flags, another sector size, or two equal
//                   XTS keys
//   EINVAL          volume or encrypted-area size not the file size minus
//                   262144, or an encrypted area not starting at 131072
int veracrypt_header_check(const uint8_t decrypted[kVeraCryptHeaderSize], uint64_t file_size,
                           uint8_t master_keys[kVeraCryptKeySize]);

struct VeraCryptVolume;

// Opens the volume in the file `fd` (a regular file open without write
// access) with `password`: checks the password (1..128 bytes, no NUL, valid
// UTF-8) and the file (size at least 268800 and a multiple of 512) (EINVAL),
// derives the header key, validates the header (the errors above), keys the
// data cipher and probes the decrypted volume for a filesystem or partition
// layout (ENODEV when none). EIO for a short read. The caller keeps `fd`
// open while the volume is used and releases the volume with
// veracrypt_close.
int veracrypt_open(int fd, const uint8_t *password, size_t password_length, VeraCryptVolume **out);

// Bytes of decrypted data: the volume size of the header.
uint64_t veracrypt_data_size(const VeraCryptVolume *volume);

// The probe's line about what the volume holds.
const char *veracrypt_probe_text(const VeraCryptVolume *volume);

// Reads whole decrypted sectors at `offset` of the data area (the
// ImportStream reader; `volume` is the VeraCryptVolume). EINVAL for an empty
// or unaligned request or one outside the data; EIO for a short read. A
// failed decryption leaves nothing in `buffer`.
int veracrypt_read(void *volume, void *buffer, size_t length, uint64_t offset);

// Wipes and frees the volume (null accepted). The file stays open.
void veracrypt_close(VeraCryptVolume *volume);

} // namespace tw
