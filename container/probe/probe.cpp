// The probe order: which layouts are tried, in which order, and the report
// line each one gives.
#include "container/probe/probe.h"
#include "container/probe/probe_checks.h"
#include "platform/secure_memory.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <string.h>

namespace tw::probe {

std::string format(const char *fmt, ...) {
    char buffer[512];
    va_list args;
    va_start(args, fmt);
    int n = std::vsnprintf(buffer, sizeof buffer, fmt, args);
    va_end(args);
    return n < 0 ? std::string() : std::string(buffer);
}

SectorBuffer::~SectorBuffer() {
    secure_wipe(bytes, sizeof bytes);
}
WipedBytes::~WipedBytes() {
    if (bytes) {
        secure_wipe(bytes.get(), size);
    }
}

bool ProbeRun::read(uint64_t first, unsigned char *buffer, uint64_t count) {
    uint64_t n = ctx.sector_count;
    if (count == 0 || first >= n || count > n - first) {
        return false;
    }
    if (first == 0 && count == 1 && ctx.sector0) {
        std::memcpy(buffer, ctx.sector0, kSectorSize);
        return true;
    }
    int rc = ctx.read ? ctx.read(ctx.read_user, buffer, count * kSectorSize, first * kSectorSize)
                      : -EINVAL;
    if (rc != 0) {
        if (ctx.first_error == 0) {
            ctx.first_error = rc;
        }
        return false;
    }
    if (first == 0 && ctx.sector0) {
        std::memcpy(buffer, ctx.sector0, kSectorSize);
    }
    return true;
}

namespace {

// Steps 1 and 2 of the filesystem-at-LBA test in structure mode: the NTFS,
// exFAT or FAT structure test decides. NTFS and exFAT keep the name line;
// the FAT test gives its own.
bool structure_line(ProbeRun &run, const unsigned char *boot, uint64_t start, uint64_t length,
                    std::string name, std::string *line) {
    if (text_at(boot, 3, "NTFS    ") || text_at(boot, 3, "EXFAT   ")) {
        bool ok = text_at(boot, 3, "NTFS    ") ? ntfs_structure_valid(run, boot, start, length)
                                               : exfat_structure_valid(run, boot, start, length);
        if (ok) {
            *line = std::move(name);
        }
        return ok;
    }
    unsigned bits = fat_structure_bits(run, boot, start, length);
    if (bits == 0) {
        return false;
    }
    *line = format("FAT%u filesystem", bits);
    return true;
}

} // namespace

bool filesystem_at_lba(ProbeRun &run, uint64_t start, uint64_t length, std::string *line) {
    uint64_t n = run.sectors();
    if (length == 0 || start >= n || length > n - start) {
        return false;
    }
    SectorBuffer boot;
    if (!run.read_sector(start, boot)) {
        return false;
    }
    const unsigned char *b = boot.bytes;
    std::string name;
    if (boot_sector_name(b, &name)) {
        if (!run.strict()) {
            *line = std::move(name);
            return true;
        }
        return structure_line(run, b, start, length, std::move(name), line);
    }
    if ((run.strict() || run.ctx.format_kind == 7) && bpb_valid(b)) {
        return structure_line(run, b, start, length, std::string(), line);
    }
    if (apfs_checksum_valid(run, b, start, length)) {
        *line = "APFS container superblock verified";
        return true;
    }
    SectorBuffer superblock;
    if (length > 2 && run.read_sector(start + 2, superblock) &&
        ext_superblock_valid(superblock.bytes, length, run.strict())) {
        *line = "Linux Ext2/3/4 superblock";
        return true;
    }
    return false;
}

namespace {

// Sectors per cluster as NTFS encodes it (values from 244 on are negative
// powers of two); 0 when invalid.
uint64_t ntfs_sectors_per_cluster(const unsigned char *boot) {
    unsigned raw = boot[13];
    return raw >= 244 ? uint64_t(1) << (256 - raw) : raw;
}

// Step 5a: a superfloppy NTFS volume, proven by its backup boot sector or
// by the first record of $MFT or $MFTMirr.
bool superfloppy_ntfs(ProbeRun &run, const unsigned char *s0, std::string *line) {
    uint64_t n = run.sectors();
    uint64_t total = le64(s0 + 40);
    const uint64_t candidates[] = {total, total - 1, n - 1, n - 2};
    for (uint64_t sector : candidates) {
        SectorBuffer backup;
        if (sector < n && sector != 0 && run.read_sector(sector, backup) &&
            text_at(backup.bytes, 3, "NTFS    ") && has_boot_signature(backup.bytes)) {
            *line = format("Superfloppy NTFS Backup Boot Sector verified @ LBA %llu",
                           static_cast<unsigned long long>(sector));
            return true;
        }
    }
    // Cluster numbers count in the volume's sector size; the image counts in
    // 512-byte sectors.
    uint64_t bytes_per_sector = le16(s0 + 11);
    uint64_t ratio =
        is_power_of_two(bytes_per_sector) && bytes_per_sector >= 512 && bytes_per_sector <= 4096
            ? bytes_per_sector / kSectorSize
            : 1;
    uint64_t sectors_per_cluster = ntfs_sectors_per_cluster(s0);
    const struct {
        const char *name;
        uint64_t cluster;
    } records[] = {{"$MFT", le64(s0 + 48)}, {"$MFTMirr", le64(s0 + 56)}};
    for (const auto &record : records) {
        uint64_t sector = 0;
        if (__builtin_mul_overflow(record.cluster, sectors_per_cluster, &sector) ||
            __builtin_mul_overflow(sector, ratio, &sector) || sector == 0 || sector >= n) {
            continue;
        }
        SectorBuffer buffer;
        if (run.read_sector(sector, buffer) && mft_record_valid(buffer.bytes)) {
            *line = format("Superfloppy NTFS %s Record verified @ LBA %llu", record.name,
                           static_cast<unsigned long long>(sector));
            return true;
        }
    }
    return false;
}

// Step 5: a filesystem that starts at sector 0 of a container.
bool superfloppy(ProbeRun &run, const unsigned char *s0, std::string *line) {
    uint64_t n = run.sectors();
    if (text_at(s0, 3, "NTFS    ") && superfloppy_ntfs(run, s0, line)) {
        return true;
    }
    if (text_at(s0, 82, "FAT32   ")) {
        unsigned backup = le16(s0 + 50);
        SectorBuffer copy;
        if (backup != 0 && run.read_sector(backup, copy) && has_boot_signature(copy.bytes) &&
            text_at(copy.bytes, 82, "FAT32   ")) {
            *line = format("Superfloppy FAT32 Backup Boot Sector verified @ LBA %u", backup);
            return true;
        }
    }
    if (text_at(s0, 3, "EXFAT   ")) {
        SectorBuffer copy;
        if (run.read_sector(12, copy) && has_boot_signature(copy.bytes) &&
            text_at(copy.bytes, 3, "EXFAT   ")) {
            *line = "Superfloppy exFAT Backup Boot Sector verified @ LBA 12";
            return true;
        }
    }
    if (superfloppy_fat16_valid(run, s0)) {
        *line = "Superfloppy FAT12/16 FAT and root directory verified";
        return true;
    }
    if (run.ctx.format_kind == 7) {
        if (text_at(s0, 3, "NTFS    ") || text_at(s0, 3, "EXFAT   ")) {
            bool ntfs = text_at(s0, 3, "NTFS    ");
            if (ntfs ? ntfs_structure_valid(run, s0, 0, n) : exfat_structure_valid(run, s0, 0, n)) {
                *line = format("%s filesystem", ntfs ? "NTFS" : "exFAT");
                return true;
            }
        } else if (unsigned bits = fat_structure_bits(run, s0, 0, n); bits != 0) {
            *line = format("FAT%u filesystem", bits);
            return true;
        }
    }
    return false;
}

const char kNothingFound[] = "No recognized filesystem or partition signatures found";

// Runs the steps in order; true when one recognised the image. `line` is
// left empty when the image is rejected.
bool probe_steps(ProbeRun &run, const unsigned char *s0, std::string *line) {
    ProbeContext &ctx = run.ctx;
    uint64_t n = run.sectors();
    std::string found;

    // 1. APFS at sector 0 decides alone.
    if (text_at(s0, 32, "NXSB")) {
        if (apfs_checksum_valid(run, s0, 0, n)) {
            *line = "APFS container superblock checksum verified";
            return true;
        }
        return false;
    }

    // 2. ISO 9660, before any partition table: hybrid images carry one.
    if (n > 64) {
        SectorBuffer descriptor;
        if (run.read_sector(64, descriptor) &&
            iso9660_descriptor_valid(descriptor.bytes, n, run.strict())) {
            if (ctx.cd_flag) {
                *ctx.cd_flag = 1;
            }
            *line = "ISO 9660 volume descriptor @ 32 KiB (a CD image)";
            return true;
        }
    }

    // 3. A legacy superfloppy container.
    if (ctx.format_kind == 3 && boot_sector_name(s0, &found)) {
        *line = "Superfloppy Volume @ LBA 0: " + found;
        return true;
    }

    // 4. Strict: a filesystem over the whole image.
    if (run.strict() && filesystem_at_lba(run, 0, n, &found)) {
        *line = "Filesystem @ LBA 0: " + found;
        return true;
    }

    // 5. Superfloppy volumes of containers.
    int kind = ctx.format_kind;
    bool container_kind = kind == 1 || kind == 2 || (kind >= 4 && kind <= 7);
    if (container_kind && has_boot_signature(s0) && superfloppy(run, s0, line)) {
        return true;
    }

    // 6 and 7. Partition tables.
    switch (mbr_probe(run, s0, line)) {
    case MbrResult::recognised:
        return true;
    case MbrResult::reject:
        line->clear();
        return false;
    case MbrResult::nothing:
        break;
    }

    // 8. A volume without a table at the usual alignments.
    for (uint64_t start : {63u, 128u, 2048u, 1u}) {
        if (n > start && filesystem_at_lba(run, start, n - start, &found)) {
            *line = format("Partition/VBR @ LBA %u: %s", unsigned(start), found.c_str());
            return true;
        }
    }

    SectorBuffer sector1;
    bool have_sector1 = false;
    // 9. Sector 1 signatures.
    if (!run.strict()) {
        have_sector1 = run.read_sector(1, sector1);
        const unsigned char *s1 = sector1.bytes;
        if (have_sector1 && gpt_header_plausible(s1)) {
            *line = "GPT header verified @ LBA 1";
            return true;
        }
        if (have_sector1 && text_at(s1, 0, "RRaA") && text_at(s1, 484, "rrAa") &&
            has_boot_signature(s1)) {
            *line = "FAT32 FSInfo sector verified @ LBA 1";
            return true;
        }
        // 10. An ext superblock at byte 1024.
        SectorBuffer superblock;
        if (run.read_sector(2, superblock) && ext_superblock_valid(superblock.bytes, n, false)) {
            *line = "Linux Ext2/3/4 Superblock verified @ LBA 2";
            return true;
        }
    }

    // 11. Unallocated space decrypts to zeros only under the right key.
    if (ctx.encrypted) {
        if (!have_sector1 && run.strict()) {
            have_sector1 = run.read_sector(1, sector1);
        }
        if (have_sector1) {
            size_t zeros = 0;
            for (unsigned char byte : sector1.bytes) {
                zeros += byte == 0;
            }
            if (zeros >= 486) {
                *line = "Decrypted clean zero-block @ LBA 1 (unallocated)";
                return true;
            }
        }
    }
    return false;
}

} // namespace

} // namespace tw::probe

namespace tw {

int filesystem_probe(ProbeContext *ctx, char *text, size_t text_size) {
    using namespace probe;
    std::string line;
    bool recognised = false;
    if (ctx) {
        ctx->first_error = 0;
        ProbeRun run{*ctx};
        if (ctx->sector_count != 0) {
            // Without a presented sector 0, the reader supplies it; when that
            // fails every check on sector 0 sees zeros and fails.
            SectorBuffer own;
            const unsigned char *s0 = ctx->sector0;
            if (!s0) {
                if (!run.read_sector(0, own)) {
                    std::memset(own.bytes, 0, kSectorSize);
                }
                s0 = own.bytes;
            }
            recognised = probe_steps(run, s0, &line);
        }
    }
    if (!recognised) {
        line = kNothingFound;
    }
    if (text && text_size > 0) {
        std::snprintf(text, text_size, "%s", line.c_str());
    }
    return recognised ? kProbeRecognised : kProbeNotRecognised;
}

bool plausible_boot_sector(const unsigned char *sector, uint64_t sector_count, bool zero_counts) {
    using namespace probe;
    if (zero_counts && all_zero(sector, kSectorSize)) {
        return true;
    }
    return boot_sector_name(sector, nullptr) || bpb_valid(sector) ||
           mbr_table_valid(sector, sector_count) || apfs_superblock_plausible(sector, sector_count);
}

} // namespace tw
