// Filesystem and partition probe.
//
// Decides whether a disk image holds a recognisable filesystem or partition
// layout and says in one line what it found. A wrong key decrypts to random
// sectors that match nothing, so for legacy containers recognition is the proof
// that the password, cipher and system key are right. The probe reads only
// through a sector-reader callback, so the same code serves an open container,
// a raw image and an imported volume.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tw {

// Reads `length` bytes (whole 512-byte sectors) at byte `offset` of the image
// into `buffer`. Returns 0 or a negative error number.
using ProbeReadFn = int (*)(void *user, void *buffer, size_t length, uint64_t offset);

struct ProbeContext {
    // The 512 bytes presented as sector 0 (the probe never reads sector 0 on
    // its own when this is set, because presentation rules may differ from
    // what the reader returns).
    const unsigned char *sector0 = nullptr;
    // Size of the image in 512-byte sectors; nothing outside it is read.
    uint64_t sector_count = 0;
    ProbeReadFn read = nullptr;
    void *read_user = nullptr;
    // The container's format kind (1 to 7), 0 when the image is not a container.
    int format_kind = 0;
    // Optional: set to 1 when an ISO 9660 image is found.
    int *cd_flag = nullptr;
    // False when the image is read as plaintext (no cipher).
    bool encrypted = true;
    // Structure-checked recognition, used to accept imported volumes.
    bool strict = false;
    // Out: the first error any read returned, 0 if none. Reset by each probe.
    int first_error = 0;
};

inline constexpr int kProbeRecognised = 0;
inline constexpr int kProbeNotRecognised = 2;

// Runs the probe. Returns kProbeRecognised with the report line in `text`, or
// kProbeNotRecognised with "No recognized filesystem or partition signatures
// found". `text` may be null; the line is truncated to `text_size` (with its
// terminating zero). Read errors never stop the probe: the check concerned
// fails and the first error is left in ctx->first_error.
int filesystem_probe(ProbeContext *ctx, char *text, size_t text_size);

// True when a 512-byte sector looks like the start of a disk or volume: it
// carries a known boot-sector name, a valid BIOS parameter block, a valid MBR
// partition table for an image of `sector_count` sectors, or an APFS container
// superblock (checksum not checked). With `zero_counts` an all-zero sector is
// accepted too.
bool plausible_boot_sector(const unsigned char *sector, uint64_t sector_count, bool zero_counts);

// The APFS container superblock test without its checksum: `block` holds at
// least the first 512 bytes of the block, `remaining_sectors` is the size of
// the image from the block's start on.
bool apfs_superblock_plausible(const unsigned char *block, uint64_t remaining_sectors);

// CRC-32 (IEEE 802.3, reflected, as used by GPT). Pass the previous result as
// `crc` to continue over a further piece; start with 0.
uint32_t crc32_ieee(const void *data, size_t length, uint32_t crc = 0);

} // namespace tw
