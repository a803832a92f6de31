// Internal pieces of the filesystem probe: byte access, the bounded reader and
// the individual structure tests. Shared by the probe_*.cpp files and tests.
#pragma once

#include "container/probe/probe.h"

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

namespace tw::probe {

inline constexpr size_t kSectorSize = 512;
// Extended boot records followed per probe. A chain longer than this is
// either damaged or hostile; the cap bounds the number of reads.
inline constexpr unsigned kMaxEbrLinks = 127;

inline uint16_t le16(const unsigned char *p) {
    return uint16_t(p[0] | p[1] << 8);
}
inline uint32_t le32(const unsigned char *p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
inline uint64_t le64(const unsigned char *p) {
    return le32(p) | uint64_t(le32(p + 4)) << 32;
}

inline bool text_at(const unsigned char *p, size_t offset, const char *text) {
    return std::memcmp(p + offset, text, std::strlen(text)) == 0;
}
inline bool has_boot_signature(const unsigned char *sector) {
    return sector[510] == 0x55 && sector[511] == 0xAA;
}
inline bool all_zero(const unsigned char *p, size_t length) {
    for (size_t i = 0; i < length; ++i) {
        if (p[i] != 0) {
            return false;
        }
    }
    return true;
}
inline bool is_power_of_two(uint64_t v) {
    return v != 0 && (v & (v - 1)) == 0;
}

// printf into a std::string (report lines are short).
std::string format(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

// One sector that may hold decrypted data: wiped when it goes out of scope.
struct SectorBuffer {
    unsigned char bytes[kSectorSize];
    SectorBuffer() = default;
    SectorBuffer(const SectorBuffer &) = delete;
    SectorBuffer &operator=(const SectorBuffer &) = delete;
    ~SectorBuffer();
};

// A larger wiped buffer (APFS blocks, GPT entry arrays).
struct WipedBytes {
    std::unique_ptr<unsigned char[]> bytes;
    size_t size = 0;
    explicit WipedBytes(size_t length) : bytes(new unsigned char[length]), size(length) {}
    WipedBytes(const WipedBytes &) = delete;
    WipedBytes &operator=(const WipedBytes &) = delete;
    ~WipedBytes();
};

// State of one probe run. Every read goes through `read`, which refuses
// anything outside the image and records the first error.
struct ProbeRun {
    ProbeContext &ctx;
    unsigned ebr_links_left = kMaxEbrLinks;

    uint64_t sectors() const { return ctx.sector_count; }
    bool strict() const { return ctx.strict; }
    // Reads `count` sectors from `first` into `buffer`. False when the range
    // is not inside the image (nothing read) or the read failed (recorded).
    bool read(uint64_t first, unsigned char *buffer, uint64_t count);
    bool read_sector(uint64_t sector, SectorBuffer &buffer) {
        return read(sector, buffer.bytes, 1);
    }
};

// Boot-sector name test: on a sector ending with 0xAA55, recognises the NTFS,
// FAT32, FAT12/16 and exFAT names and writes the matching line.
bool boot_sector_name(const unsigned char *sector, std::string *line);
// BIOS parameter block sanity test.
bool bpb_valid(const unsigned char *sector);
// MBR partition table test for an image of `sector_count` sectors.
bool mbr_table_valid(const unsigned char *sector, uint64_t sector_count);
// One 32-byte FAT directory entry.
bool fat_dir_entry_valid(const unsigned char *entry);
// FAT structure test of the volume whose boot sector is `boot`, in the region
// [start, start + length). Returns 12, 16 or 32, or 0 when it fails.
unsigned fat_structure_bits(ProbeRun &run, const unsigned char *boot, uint64_t start,
                            uint64_t length);
// The superfloppy FAT12/16 check on sector 0: the head of the first FAT and
// all 16 entries of the first root-directory sector.
bool superfloppy_fat16_valid(ProbeRun &run, const unsigned char *boot);

// NTFS structure test (boot-sector fields, then the backup boot sector or the
// first MFT record).
bool ntfs_structure_valid(ProbeRun &run, const unsigned char *boot, uint64_t start,
                          uint64_t length);
// The header of an NTFS file record.
bool mft_record_valid(const unsigned char *record);
// exFAT structure test (boot-sector fields and the backup boot sector).
bool exfat_structure_valid(ProbeRun &run, const unsigned char *boot, uint64_t start,
                           uint64_t length);

// APFS object checksum over `length` bytes of a block (from byte 8 on).
uint64_t apfs_fletcher64(const unsigned char *block, size_t length);
// APFS container superblock test with its checksum: reads the whole block at
// `sector`. `remaining_sectors` bounds the container.
bool apfs_checksum_valid(ProbeRun &run, const unsigned char *first_sector, uint64_t sector,
                         uint64_t remaining_sectors);

// ext2/3/4 superblock test: `superblock` is the sector 1024 bytes into a
// region of `region_sectors` sectors.
bool ext_superblock_valid(const unsigned char *superblock, uint64_t region_sectors, bool strict);

// ISO 9660 volume descriptor test on the sector at byte 32768.
bool iso9660_descriptor_valid(const unsigned char *sector, uint64_t sector_count, bool strict);

// GPT header fields shared by the normal and the strict check.
bool gpt_header_plausible(const unsigned char *sector);
// Strict GPT check with both CRC-32 checks; on success `line` holds
// "GPT: ..." for the first recognised partition.
bool gpt_probe(ProbeRun &run, std::string *line);

// MBR partition walk (primary entries, extended chains, GPT in strict mode).
enum class MbrResult { recognised, nothing, reject };
MbrResult mbr_probe(ProbeRun &run, const unsigned char *sector0, std::string *line);

// Filesystem-at-LBA test of the region [start, start + length).
bool filesystem_at_lba(ProbeRun &run, uint64_t start, uint64_t length, std::string *line);

} // namespace tw::probe
