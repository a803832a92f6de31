// Boot-sector names, the BIOS parameter block and the FAT structure test.
#include "container/probe/probe_checks.h"

namespace tw::probe {

bool boot_sector_name(const unsigned char *s, std::string *line) {
    if (!has_boot_signature(s)) {
        return false;
    }
    std::string text;
    if (text_at(s, 3, "NTFS    ")) {
        unsigned bytes_per_sector = le16(s + 11);
        text = format("NTFS (SectorSz: %u, ClusterSz: %u, TotalSec: %llu)", bytes_per_sector,
                      unsigned(s[13]) * bytes_per_sector,
                      static_cast<unsigned long long>(le64(s + 40)));
    } else if (text_at(s, 82, "FAT32   ")) {
        unsigned bytes_per_sector = le16(s + 11);
        text = format("FAT32 (SectorSz: %u, ClusterSz: %u, TotalSec: %u)", bytes_per_sector,
                      unsigned(s[13]) * bytes_per_sector, le32(s + 32));
    } else if (text_at(s, 54, "FAT16   ") || text_at(s, 54, "FAT12   ")) {
        text = "FAT16/FAT12 filesystem";
    } else if (text_at(s, 3, "EXFAT   ")) {
        text = "exFAT filesystem";
    } else {
        return false;
    }
    if (line) {
        *line = std::move(text);
    }
    return true;
}

bool bpb_valid(const unsigned char *s) {
    if (!(s[0] == 0xE9 || (s[0] == 0xEB && s[2] == 0x90))) {
        return false;
    }
    unsigned bytes_per_sector = le16(s + 11);
    if (bytes_per_sector != 512 && bytes_per_sector != 1024 && bytes_per_sector != 2048 &&
        bytes_per_sector != 4096) {
        return false;
    }
    return is_power_of_two(s[13]) && le16(s + 14) != 0 && (s[16] == 1 || s[16] == 2) &&
           has_boot_signature(s);
}

namespace {

bool forbidden_name_char(unsigned char c) {
    return c == '"' || std::strchr("*+,./:;<=>?[\\]|", c) != nullptr;
}

// Bytes shared by both FAT12/16 checks: the first FAT sector starts with the
// media byte and two 0xFF bytes; FAT16 also keeps the reserved bits of
// entry 1 set.
bool fat_head_valid(const unsigned char *fat, const unsigned char *boot, bool fat16) {
    if (fat[0] != boot[21] || fat[1] != 0xFF || fat[2] != 0xFF) {
        return false;
    }
    return !fat16 || (fat[3] & 0x3F) == 0x3F;
}

} // namespace

bool fat_dir_entry_valid(const unsigned char *e) {
    if (e[0] == 0) {
        return all_zero(e, 32);
    }
    unsigned attribute = e[11];
    if (attribute > 63) {
        return false;
    }
    if (attribute == 15) { // long-name entry
        return e[12] == 0 && le16(e + 26) == 0;
    }
    // Bits 3 and 4 of byte 12 are the lower-case flags; the rest is unused.
    if (e[20] != 0 || e[21] != 0 || (e[12] & 0xE7) != 0) {
        return false;
    }
    bool volume_label = (attribute & 0x18) == 0x08;
    for (int i = 0; i < 11; ++i) {
        unsigned char c = e[i];
        if (i == 0 && (c == 0x05 || c == 0xE5)) {
            continue;
        }
        if (c < 32 || forbidden_name_char(c)) {
            return false;
        }
        if (!volume_label && c >= 'a' && c <= 'z') {
            return false;
        }
    }
    return true;
}

unsigned fat_structure_bits(ProbeRun &run, const unsigned char *boot, uint64_t start,
                            uint64_t length) {
    if (!bpb_valid(boot)) {
        return 0;
    }
    uint64_t bytes_per_sector = le16(boot + 11);
    uint64_t ratio = bytes_per_sector / kSectorSize;
    uint64_t sectors_per_cluster = boot[13];
    uint64_t reserved = le16(boot + 14);
    uint64_t fats = boot[16];
    uint64_t root_entries = le16(boot + 17);
    uint64_t fat_size16 = le16(boot + 22);
    uint64_t fat_size = fat_size16 != 0 ? fat_size16 : le32(boot + 36);
    uint64_t total = le16(boot + 19) != 0 ? le16(boot + 19) : le32(boot + 32);
    uint64_t root_sectors = (root_entries * 32 + bytes_per_sector - 1) / bytes_per_sector;
    uint64_t meta = reserved + fats * fat_size + root_sectors;
    if (fat_size == 0 || total <= meta) {
        return 0;
    }
    uint64_t clusters = (total - meta) / sectors_per_cluster;
    unsigned bits = clusters < 4085 ? 12 : clusters < 65525 ? 16 : 32;
    if (bits == 32 && (fat_size16 != 0 || root_entries != 0)) {
        return 0;
    }
    if (bits != 32 && (fat_size16 == 0 || root_entries == 0)) {
        return 0;
    }
    uint64_t needed = bits == 12   ? ((clusters + 2) * 3 + 1) / 2
                      : bits == 16 ? (clusters + 2) * 2
                                   : (clusters + 2) * 4;
    if (fat_size * bytes_per_sector < needed) {
        return 0;
    }

    // Every sector read below belongs to the volume, so it must lie inside
    // the region as well as inside the image.
    auto read_in_region = [&](uint64_t volume_sector, SectorBuffer &buffer) {
        uint64_t offset = volume_sector * ratio;
        return offset < length && run.read_sector(start + offset, buffer);
    };

    SectorBuffer fat;
    if (!read_in_region(reserved, fat) || !fat_head_valid(fat.bytes, boot, bits == 16)) {
        return 0;
    }
    if (bits != 32) {
        SectorBuffer root;
        if (!read_in_region(reserved + fats * fat_size, root)) {
            return 0;
        }
        for (size_t i = 0; i < kSectorSize; i += 32) {
            const unsigned char *entry = root.bytes + i;
            if (entry[0] == 0xE5) {
                continue;
            }
            if (!fat_dir_entry_valid(entry)) {
                return 0;
            }
            if (entry[0] == 0) {
                break;
            }
        }
        return bits;
    }

    uint32_t root_cluster = le32(boot + 44);
    if (root_cluster < 2 || root_cluster > clusters + 1) {
        return 0;
    }
    // A backup at sector 0 would be compared with itself and prove nothing.
    uint64_t backup = le16(boot + 50);
    SectorBuffer copy;
    if (backup != 0 && read_in_region(backup, copy) && has_boot_signature(copy.bytes) &&
        std::memcmp(copy.bytes + 11, boot + 11, 79) == 0) {
        return bits;
    }
    uint64_t fsinfo = le16(boot + 48);
    SectorBuffer info;
    if (fsinfo != 0 && read_in_region(fsinfo, info) && text_at(info.bytes, 0, "RRaA") &&
        text_at(info.bytes, 484, "rrAa") && has_boot_signature(info.bytes)) {
        return bits;
    }
    return 0;
}

// The superfloppy FAT12/16 check: boot-sector fields, the head of the first
// FAT and all 16 entries of the first root-directory sector.
bool superfloppy_fat16_valid(ProbeRun &run, const unsigned char *boot) {
    bool fat16 = text_at(boot, 54, "FAT16   ");
    if (!fat16 && !text_at(boot, 54, "FAT12   ")) {
        return false;
    }
    uint64_t reserved = le16(boot + 14);
    uint64_t fats = boot[16];
    uint64_t fat_size = le16(boot + 22);
    if (le16(boot + 11) != 512 || reserved == 0 || fats == 0 || fat_size == 0 ||
        le16(boot + 17) <= 15) {
        return false;
    }
    SectorBuffer fat;
    if (!run.read_sector(reserved, fat) || !fat_head_valid(fat.bytes, boot, fat16)) {
        return false;
    }
    SectorBuffer root;
    if (!run.read_sector(reserved + fats * fat_size, root)) {
        return false;
    }
    for (size_t i = 0; i < kSectorSize; i += 32) {
        if (!fat_dir_entry_valid(root.bytes + i)) {
            return false;
        }
    }
    return true;
}

} // namespace tw::probe
