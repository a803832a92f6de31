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
    FileStatus open_status; // status of the file when it was opened (unchanged checks)
    char *display_path;     // owned: the path text, or "passed container descriptor"
    // What container_info reports: sizes, kind, ciphers, header facts and
    // flags. Its path, sector-0 pointer and chunk-store facts are filled in
    // by container_info from the other fields.
    ContainerInfo info;

    uint8_t raw_sector0[kSectorSize];       // sector 0 as stored
    uint8_t presented_sector0[kSectorSize]; // sector 0 as served to readers

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
