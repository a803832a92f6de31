// The Container object itself, shared by the container library's own files
// and its white-box tests and fuzz targets. Other code holds a Container only
// through the functions of container/container.h.
//
// A Container lives in locked memory (secure_alloc) because it holds the
// system-key schedule, decrypted sector-0 copies and, once unlocked, the data
// key and cipher contexts. container_close wipes all of it.
#pragma once

#include "container/cipher/cipher.h"
#include "container/container.h"
#include "container/formats/kdf_trailer.h"
#include "container/keys/keys.h"
#include "container/v3/v3_store.h"
#include "platform/files.h"

#include <atomic>
#include <cstdint>

namespace tw {

struct Container {
    int fd;                 // the container file; -1 once closed
    char *display_path;     // the path text, or "passed container descriptor"
    bool read_only;         // opened without write access
    bool block_device;      // the container is a block device, not a regular file
    uint64_t file_size;     // bytes in the file (or device)
    FileStatus open_status; // status of the file when it was opened (unchanged checks)
    uint64_t size;          // image bytes: file size, minus the trailer (5), virtual size (7)
    uint64_t sector_count;  // size / 512; a trailing partial sector is not addressable

    int format_kind;        // FormatKind
    uint32_t cipher;        // cipher in use: 255 until unlocked, 254 read as plaintext
    uint32_t header_cipher; // named by header or trailer when usable (1, 8, 9, 10), else 255
    bool fallback;          // a legacy unlock fell back to an unverified cipher

    uint64_t range_start; // recorded from the header (whole container for kinds 4 and 6)
    uint64_t range_end;
    uint64_t range_attribute64;
    uint32_t range_attribute32;

    uint8_t raw_sector0[kSectorSize];       // sector 0 as stored
    uint8_t presented_sector0[kSectorSize]; // sector 0 as served to readers
    bool sector0_available;                 // presented_sector0 is valid
    bool header_present;                    // header markers found (kinds 1, 2, some 3)
    bool header_locked;                     // kind 3: accepted sector 0 carries boot code
    bool cd_image;                          // ISO 9660 descriptor at byte 32768

    bool unlocked;                       // sector reads are allowed
    bool memory_locked;                  // this structure's pages are locked
    bool written;                        // set by writers; drives the flush on close
    int write_error;                     // sticky: first write error met, as a negative errno
    const std::atomic<uint32_t> *cancel; // optional; nonzero asks to stop
    int last_read_error;                 // first read error met (negative errno), 0 if none

    bool system_key_loaded; // system_key_schedule holds a schedule
    uint8_t
        system_key_schedule[kSse2TableSize]; // the candidate that matched, else the key in force

    CipherContext data_cipher;        // SSE1/XOR state, AES-XTS keys, XChaCha20 key
    uint8_t data_key[kDataKeySize];   // scratch while setting the cipher up
    uint8_t trailer[kKdfTrailerSize]; // kind 5: the salted trailer
    V3Store *v3;                      // kind 7: the chunk store, else null
};

} // namespace tw
