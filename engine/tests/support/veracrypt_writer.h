// A test-only writer of VeraCrypt file containers, written from the public
// volume format with OpenSSL alone (none of the importer's code), so that
// the importer and this writer are never each other's only witness: every
// fixture the tests accept is also opened by cryptsetup.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tw::test {

struct VeraCryptSettings {
    std::string password = "vera password";
    // The header key's PBKDF2: the hash and the iteration count (VeraCrypt's
    // default PIM gives 500000 with SHA-512; PIM p gives 15000 + 1000 * p).
    bool sha256 = false;
    uint32_t iterations = 500000;
    bool camellia = false; // Camellia-256-XTS instead of AES-256-XTS
    uint32_t sector_size = 512;
    uint64_t hidden_size = 0;        // non-zero: the header of a hidden volume
    bool hidden_header_copy = false; // the same header also at the hidden offset 65536
};

// Writes `image` (a multiple of 512 bytes) as the data area of a new
// VeraCrypt volume file at `path`: header with a random salt, random master
// keys (returned in `master_keys`, 64 bytes), the data encrypted sector by
// sector with data unit numbers counted from the file start, random header
// areas and backup headers. False on failure.
bool write_veracrypt_volume(const std::string &path, const std::vector<uint8_t> &image,
                            const VeraCryptSettings &settings,
                            std::vector<uint8_t> *master_keys = nullptr);

// The decrypted header (512 bytes, zero salt) of a volume with `data_size`
// bytes of data and the master keys `keys` (64 bytes), with valid CRCs.
std::vector<uint8_t> veracrypt_plain_header(uint64_t data_size, const VeraCryptSettings &settings,
                                            const uint8_t keys[64]);
// Recomputes both CRCs of a decrypted header after a field was changed.
void veracrypt_seal_header(uint8_t *header);

// Runs `cryptsetup tcryptDump --veracrypt --dump-master-key` on the file
// with the password: the master keys it prints (64 bytes), empty when
// cryptsetup could not open the header.
std::vector<uint8_t> cryptsetup_master_keys(const std::string &path, const std::string &password);

// Decrypts the data area of a volume file with AES-256-XTS and the master
// keys, through OpenSSL only.
std::vector<uint8_t> decrypt_veracrypt_data(const std::string &path,
                                            const std::vector<uint8_t> &master_keys);

} // namespace tw::test
