// NTFS and exFAT structure tests.
#include "container/probe/probe_checks.h"

namespace tw::probe {

bool mft_record_valid(const unsigned char *r) {
    if (!text_at(r, 0, "FILE")) {
        return false;
    }
    uint32_t record_size = le32(r + 28);
    if (record_size != 1024 && record_size != 4096) {
        return false;
    }
    uint32_t usa_count = le16(r + 6);
    uint32_t usa_offset = le16(r + 4);
    uint32_t attribute_offset = le16(r + 20);
    uint32_t used = le32(r + 24);
    return usa_count == record_size / 512 + 1 && usa_offset % 2 == 0 && usa_offset >= 40 &&
           usa_offset <= 48 && attribute_offset % 8 == 0 && attribute_offset < record_size &&
           attribute_offset >= usa_offset + 2 * usa_count && le16(r + 22) < 16 &&
           used >= attribute_offset && used <= record_size;
}

bool ntfs_structure_valid(ProbeRun &run, const unsigned char *boot, uint64_t start,
                          uint64_t length) {
    uint64_t bytes_per_sector = le16(boot + 11);
    if (!is_power_of_two(bytes_per_sector) || bytes_per_sector < 512 || bytes_per_sector > 4096 ||
        !text_at(boot, 3, "NTFS    ")) {
        return false;
    }
    uint64_t ratio = bytes_per_sector / kSectorSize;
    uint64_t total = le64(boot + 40);
    if (total <= 1 || total > length / ratio) {
        return false;
    }
    // Values from 244 on encode clusters larger than 255 sectors as a
    // negative power of two.
    unsigned raw = boot[13];
    uint64_t sectors_per_cluster = raw >= 244 ? uint64_t(1) << (256 - raw) : raw;
    if (!is_power_of_two(sectors_per_cluster)) {
        return false;
    }
    uint64_t mft = le64(boot + 48);
    uint64_t mirror = le64(boot + 56);
    uint64_t last_cluster = (total - 1) / sectors_per_cluster;
    if (mft == 0 || mft > last_cluster || mirror > last_cluster) {
        return false;
    }
    // The backup boot sector sits just past the volume, which the formatter
    // makes one sector shorter than its partition.
    SectorBuffer backup;
    if (run.read_sector(start + total * ratio, backup) && has_boot_signature(backup.bytes) &&
        std::memcmp(backup.bytes + 3, boot + 3, 81) == 0) {
        return true;
    }
    SectorBuffer record;
    return run.read_sector(start + mft * sectors_per_cluster * ratio, record) &&
           mft_record_valid(record.bytes);
}

bool exfat_structure_valid(ProbeRun &run, const unsigned char *boot, uint64_t start,
                           uint64_t length) {
    if (!text_at(boot, 3, "EXFAT   ")) {
        return false;
    }
    unsigned fats = boot[110];
    unsigned sector_shift = boot[108];
    unsigned cluster_shift = boot[109];
    if ((fats != 1 && fats != 2) || sector_shift < 9 || sector_shift > 12 ||
        cluster_shift > 25 - sector_shift) {
        return false;
    }
    uint64_t fat_offset = le32(boot + 80);
    uint64_t fat_length = le32(boot + 84);
    uint64_t heap_offset = le32(boot + 88);
    uint64_t cluster_count = le32(boot + 92);
    uint64_t root_cluster = le32(boot + 96);
    uint64_t volume_length = le64(boot + 72);
    uint64_t ratio = uint64_t(1) << (sector_shift - 9);
    if (fat_offset <= 23 || fat_length == 0 || cluster_count == 0 ||
        volume_length > length / ratio || heap_offset < fats * fat_length + fat_offset ||
        volume_length < (cluster_count << cluster_shift) + heap_offset || root_cluster < 2 ||
        root_cluster > cluster_count + 1 ||
        (fat_length << sector_shift) < 4 * (cluster_count + 2)) {
        return false;
    }
    // The backup boot region starts at sector 12 of the volume; it must carry
    // the same geometry (the volume flags at 106 may differ).
    SectorBuffer backup;
    if (!run.read_sector(start + 12 * ratio, backup)) {
        return false;
    }
    const unsigned char *b = backup.bytes;
    return has_boot_signature(b) && text_at(b, 3, "EXFAT   ") &&
           std::memcmp(b + 64, boot + 64, 42) == 0 && std::memcmp(b + 108, boot + 108, 3) == 0;
}

} // namespace tw::probe
