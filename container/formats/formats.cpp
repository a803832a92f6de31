// Classification of a container file on open, before any password is known.
//
// The tests run in a fixed order and the first match wins: v3 chunk store,
// salted trailer, then the legacy family whose sector 0 (or a 32-byte header
// in it) is protected by the process-wide system key, and finally the kinds
// whose sector 0 is in clear or can only be read with the user's password.
#include "container/formats/formats.h"

#include "container/container_internal.h"
#include "container/keys/system_key.h"
#include "container/probe/probe.h"
#include "container/probe/probe_checks.h"
#include "platform/files.h"
#include "platform/io.h"
#include "platform/secure_memory.h"

#include <cerrno>
#include <cstring>
#include <unistd.h>

namespace tw {

namespace {

constexpr size_t kMaxCandidates = 2;
constexpr uint64_t kIsoDescriptorOffset = 32768;
constexpr uint64_t kIsoMinimumSectors = 64; // the descriptor lies beyond sector 63
constexpr size_t kSectorBlocks = kSectorSize / kSse2BlockSize;
constexpr size_t kModernHeaderOffset = 256;
constexpr size_t kModernHeaderSize = 32;
constexpr size_t kEmbeddedMarkerOffset = 494;
constexpr uint16_t kBootSignature = 0xAA55;
constexpr uint32_t kModernAnyCipher = 15; // a header valid for any cipher

using probe::all_zero;
using probe::has_boot_signature;
using probe::le16;
using probe::le32;
using probe::le64;

// A cipher named by a legacy header is used only when it can be keyed: SSE1
// or XOR. Any other id is recognised but recorded as not set.
uint32_t legacy_header_cipher(uint32_t id) {
    return id == kCipherSse1 || id == kCipherXor ? id : kCipherUnset;
}

// The SSE2 schedules of the system-key candidates, in trial order.
struct Candidates {
    SecureBuffer schedules{kMaxCandidates * kSse2TableSize};
    size_t count = 0;
    const uint8_t *schedule(size_t i) const { return schedules.data() + i * kSse2TableSize; }
};

int load_candidates(Candidates *candidates) {
    if (!candidates->schedules.valid())
        return -ENOMEM;
    SecureBuffer keys(kMaxCandidates * kSystemKeySize);
    if (!keys.valid())
        return -ENOMEM;
    auto *key_rows = reinterpret_cast<uint8_t(*)[kSystemKeySize]>(keys.data());
    candidates->count = system_key_candidates(key_rows);
    for (size_t i = 0; i < candidates->count; ++i)
        sse2_schedule(key_rows[i], candidates->schedules.data() + i * kSse2TableSize);
    return 0;
}

// Makes candidate `index` the container's system-key schedule.
void keep_schedule(Container *c, const Candidates &candidates, size_t index) {
    std::memcpy(c->system_key_schedule, candidates.schedule(index), kSse2TableSize);
    c->system_key_loaded = true;
}

// Loads the system key (unless the file is a fresh private image, for which
// only a key already set is used) and prepares the candidates. The key in
// force is the container's schedule until a candidate matches.
int prepare_system_key(Container *c, unsigned flags, Candidates *candidates) {
    if (!(flags & kContainerFreshImage)) {
        if (int error = system_key_load())
            return error;
    }
    if (int error = load_candidates(candidates))
        return error;
    if (candidates->count > 0)
        keep_schedule(c, *candidates, 0);
    return 0;
}

// Bytes 256..287 of `sector`, decrypted, checked as a Modern header.
// Records the range and cipher on success.
bool modern_header_valid(Container *c, const uint8_t *sector) {
    const uint8_t *h = sector + kModernHeaderOffset;
    uint64_t first = le64(h);
    uint64_t last = le64(h + 8);
    uint32_t cipher = static_cast<uint32_t>(first >> 56) & 0xF;
    if ((first >> 48) & 0xFF)
        return false;
    if (cipher > kCipherXor && cipher != kModernAnyCipher)
        return false;
    if ((last >> 48) & 0x7FFF)
        return false;
    constexpr uint64_t kSectorMask = (uint64_t{1} << 48) - 1;
    uint64_t start = first & kSectorMask;
    uint64_t end = last & kSectorMask;
    if (end < start || le16(h + 28) != kBootSignature)
        return false;
    c->info.range_start = start;
    c->info.range_end = end < c->info.sector_count ? end : c->info.sector_count;
    c->info.range_attribute32 = le32(h + 16);
    c->info.range_attribute64 = le64(h + 20);
    c->info.header_cipher = legacy_header_cipher(cipher);
    return true;
}

// A sector that needs no key to be read: all zero, an APFS container
// superblock, or a boot sector with its signature.
bool sector_in_clear(const uint8_t *sector, uint64_t sector_count) {
    if (all_zero(sector, kSectorSize))
        return true;
    if (apfs_superblock_plausible(sector, sector_count))
        return true;
    return has_boot_signature(sector) && plausible_boot_sector(sector, sector_count, false);
}

void present_raw_sector0(Container *c, int kind) {
    c->info.format_kind = kind;
    std::memcpy(c->presented_sector0, c->raw_sector0, kSectorSize);
    c->info.sector0_available = true;
}

// Kind 7. A version-8 store is complete without sector 0; any other needs a
// readable sector 0 and the system key (its sector 0 may be read through the
// store with either candidate once unlocked).
int classify_v3(Container *c, unsigned flags, V3Store *store, uint64_t virtual_size,
                uint32_t cipher) {
    c->v3 = store;
    c->info.format_kind = kFormatCompressed;
    c->info.size = virtual_size;
    c->info.sector_count = virtual_size / kSectorSize;
    c->info.header_cipher = cipher;
    if (v3_version(store) == 8) {
        if (c->info.block_device || volume_is_local_durable(c->fd) != 0)
            return -EXDEV;
        return 0;
    }
    if (int error = pread_full(c->fd, c->raw_sector0, kSectorSize, 0))
        return error;
    Candidates candidates;
    return prepare_system_key(c, flags, &candidates);
}

// The salted trailer test: a file that is not v3 and can hold sector 0 and
// a trailer is kind 5 when its last 4096 bytes carry a trailer magic; a
// trailer that then fails validation fails the open.
int check_trailer(Container *c, bool *salted) {
    *salted = false;
    if (c->info.file_size < kSectorSize + kKdfTrailerSize)
        return 0;
    if (int error =
            pread_full(c->fd, c->trailer, kKdfTrailerSize, c->info.file_size - kKdfTrailerSize))
        return error;
    if (!kdf_trailer_has_magic(c->trailer)) {
        secure_wipe(c->trailer, kKdfTrailerSize);
        return 0;
    }
    KdfTrailerInfo info;
    if (kdf_trailer_parse(c->trailer, c->info.file_size, &info) != 0)
        return -EINVAL;
    *salted = true;
    c->info.format_kind = kFormatSalted;
    c->info.size = info.payload_size;
    c->info.sector_count = c->info.size / kSectorSize;
    c->info.header_cipher = info.cipher_id;
    return 0;
}

// Kind 5: sector 0 is stored under the system key; the first candidate that
// decrypts it to a plausible boot sector (all zero counting) is kept. When
// none does, sector 0 stays unavailable and the container cannot be unlocked.
void decrypt_salted_sector0(Container *c, const Candidates &candidates) {
    for (size_t i = 0; i < candidates.count; ++i) {
        std::memcpy(c->presented_sector0, c->raw_sector0, kSectorSize);
        sse2_decrypt_blocks(c->presented_sector0, kSectorBlocks, candidates.schedule(i));
        if (plausible_boot_sector(c->presented_sector0, c->info.sector_count, true)) {
            c->info.sector0_available = true;
            keep_schedule(c, candidates, i);
            return;
        }
    }
    secure_wipe(c->presented_sector0, kSectorSize);
}

// Kind 1: a 32-byte header at 256..287 under a system-key candidate, in a
// sector 0 that keeps its boot signature.
bool find_modern_header(Container *c, const Candidates &candidates) {
    if (!has_boot_signature(c->raw_sector0))
        return false;
    for (size_t i = 0; i < candidates.count; ++i) {
        std::memcpy(c->presented_sector0, c->raw_sector0, kSectorSize);
        sse2_decrypt_blocks(c->presented_sector0 + kModernHeaderOffset,
                            kModernHeaderSize / kSse2BlockSize, candidates.schedule(i));
        if (modern_header_valid(c, c->presented_sector0)) {
            c->info.format_kind = kFormatModern;
            c->info.sector0_available = true;
            c->info.header_present = true;
            keep_schedule(c, candidates, i);
            return true;
        }
    }
    secure_wipe(c->presented_sector0, kSectorSize);
    return false;
}

// Kinds 2 and 4: the whole sector 0 under a system-key candidate, either with
// the embedded header's two markers or as a plausible boot sector.
bool find_system_key_sector0(Container *c, const Candidates &candidates) {
    for (size_t i = 0; i < candidates.count; ++i) {
        uint8_t *sector = c->presented_sector0;
        std::memcpy(sector, c->raw_sector0, kSectorSize);
        sse2_decrypt_blocks(sector, kSectorBlocks, candidates.schedule(i));
        if (le16(sector + kEmbeddedMarkerOffset) == kBootSignature && has_boot_signature(sector)) {
            c->info.format_kind = kFormatIntermediate;
            container_record_embedded_header(c, sector);
            c->info.header_present = true;
        } else if (plausible_boot_sector(sector, c->info.sector_count, true)) {
            c->info.format_kind = kFormatNoHeader;
            container_record_whole_range(c);
        } else {
            continue;
        }
        c->info.sector0_available = true;
        keep_schedule(c, candidates, i);
        return true;
    }
    secure_wipe(c->presented_sector0, kSectorSize);
    return false;
}

} // namespace

void container_record_whole_range(Container *c) {
    c->info.range_start = 0;
    c->info.range_end = c->info.sector_count;
    c->info.range_attribute64 = UINT64_MAX; // -1
    c->info.range_attribute32 = 0;
}

bool container_iso_descriptor(const uint8_t *sector) {
    uint8_t type = sector[0];
    return std::memcmp(sector + 1, "CD001", 5) == 0 && sector[6] == 1 && (type <= 3 || type == 255);
}

void container_record_embedded_header(Container *c, const uint8_t *sector) {
    uint64_t first = le64(sector + 256);
    uint64_t last = le64(sector + 264);
    c->info.range_start = first & ((uint64_t{1} << 56) - 1);
    c->info.range_end = last < c->info.sector_count ? last : c->info.sector_count;
    c->info.range_attribute32 = le32(sector + 272);
    c->info.range_attribute64 = le64(sector + 486);
    c->info.header_cipher = legacy_header_cipher(static_cast<uint32_t>(first >> 56) & 0xF);
}

int container_classify(Container *c, unsigned flags) {
    if (c->info.file_size < kSectorSize)
        return -EINVAL;

    V3Store *store = nullptr;
    uint64_t virtual_size = 0;
    uint32_t v3_cipher = kCipherUnset;
    int v3 = v3_detect(c->fd, c->info.file_size, &store, &virtual_size, &v3_cipher);
    if (v3 < 0)
        return v3;
    if (v3 == 1)
        return classify_v3(c, flags, store, virtual_size, v3_cipher);

    c->info.size = c->info.file_size;
    c->info.sector_count = c->info.size / kSectorSize;
    if (int error = pread_full(c->fd, c->raw_sector0, kSectorSize, 0))
        return error;
    bool salted = false;
    if (int error = check_trailer(c, &salted))
        return error;

    Candidates candidates;
    if (int error = prepare_system_key(c, flags, &candidates))
        return error;

    if (salted) {
        decrypt_salted_sector0(c, candidates);
        return 0;
    }

    if (c->info.sector_count > kIsoMinimumSectors) {
        uint8_t descriptor[kSectorSize];
        if (int error = pread_full(c->fd, descriptor, kSectorSize, kIsoDescriptorOffset))
            return error;
        c->info.cd_image = container_iso_descriptor(descriptor);
    }

    if (find_modern_header(c, candidates))
        return 0;
    if (sector_in_clear(c->raw_sector0, c->info.sector_count)) {
        present_raw_sector0(c, kFormatClear);
        container_record_whole_range(c);
        return 0;
    }
    if (find_system_key_sector0(c, candidates))
        return 0;
    if (c->info.cd_image) {
        present_raw_sector0(c, kFormatClear);
        container_record_whole_range(c);
        return 0;
    }
    // Sector 0 is under the user's password; the range is read from it when
    // the container is unlocked.
    c->info.format_kind = kFormatLegacy;
    return 0;
}

} // namespace tw
