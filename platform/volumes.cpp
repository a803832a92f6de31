#include "platform/volumes.h"

#include "platform/clock.h"
#include "platform/descriptor.h"

#include <algorithm>
#include <blkid/blkid.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <strings.h>
#include <time.h>
#include <unistd.h>

namespace tw {

namespace {

constexpr int kRoundMs = 200;
constexpr int kStableMs = 1000;
constexpr int kFailingMinimumMs = 2000;

struct ProbeGuard {
    blkid_probe probe = nullptr;
    ~ProbeGuard() {
        if (probe)
            blkid_free_probe(probe);
    }
};

std::string lookup(blkid_probe probe, const char *name) {
    const char *value = nullptr;
    size_t length = 0;
    if (blkid_probe_lookup_value(probe, name, &value, &length) != 0 || !value)
        return {};
    // libblkid counts the terminating NUL in the length.
    return std::string(value, strnlen(value, length));
}

// The filesystem on [offset, offset + size) of the disk, with its label.
int probe_filesystem(int fd, uint64_t offset, uint64_t size, VolumeEntry *entry) {
    ProbeGuard guard;
    guard.probe = blkid_new_probe();
    if (!guard.probe)
        return -ENOMEM;
    if (blkid_probe_set_device(guard.probe, fd, static_cast<blkid_loff_t>(offset),
                               static_cast<blkid_loff_t>(size)) != 0)
        return -EIO;
    blkid_probe_enable_superblocks(guard.probe, 1);
    blkid_probe_set_superblocks_flags(guard.probe, BLKID_SUBLKS_TYPE | BLKID_SUBLKS_LABEL |
                                                       BLKID_SUBLKS_VERSION);
    blkid_probe_enable_partitions(guard.probe, 0);
    int rc = blkid_do_safeprobe(guard.probe);
    if (rc == -1)
        return -EIO;
    entry->filesystem = "RAW";
    entry->label.clear();
    if (rc != 0)
        return 0; // nothing, or several signatures at once: no filesystem to trust
    std::string type = lookup(guard.probe, "TYPE");
    if (type == "vfat")
        entry->filesystem = lookup(guard.probe, "VERSION") == "FAT32" ? "FAT32" : "FAT";
    else if (type == "exfat")
        entry->filesystem = "exFAT";
    else if (type == "ntfs")
        entry->filesystem = "NTFS";
    else if (!type.empty())
        entry->filesystem = type;
    entry->label = lookup(guard.probe, "LABEL");
    return 0;
}

uint64_t now_ms() {
    return monotonic_now() / 10000;
}

} // namespace

bool filesystem_is_supported(const std::string &name) {
    return name == "NTFS" || name == "exFAT" || name == "FAT32" || name == "FAT";
}

bool partition_is_data(const char *table, const char *gpt_type, int mbr_type) {
    if (table && strcmp(table, "gpt") == 0) {
        static const char *const kNotData[] = {
            "c12a7328-f81f-11d2-ba4b-00a0c93ec93b", // EFI system partition
            "e3c9e316-0b5c-4db8-817d-f92df00215ae", // Microsoft reserved
            "de94bba4-06d1-4d40-a16a-bfd50179d6ac", // Windows recovery
        };
        for (const char *guid : kNotData)
            if (gpt_type && strcasecmp(gpt_type, guid) == 0)
                return false;
        return true;
    }
    if (table && strcmp(table, "dos") == 0) {
        // Empty, the two extended containers, hidden recovery, Linux
        // extended and the EFI system partition.
        for (int type : {0x00, 0x05, 0x0F, 0x27, 0x85, 0xEF})
            if (mbr_type == type)
                return false;
    }
    return true;
}

int volumes_read(const std::string &disk, size_t capacity, std::vector<VolumeEntry> *out) {
    out->clear();
    FileHandle fd(open(disk.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.valid())
        return -EIO;
    off_t end = lseek(fd.get(), 0, SEEK_END);
    if (end <= 0)
        return -EIO;
    const uint64_t disk_size = static_cast<uint64_t>(end);

    ProbeGuard guard;
    guard.probe = blkid_new_probe();
    if (!guard.probe)
        return -ENOMEM;
    if (blkid_probe_set_device(guard.probe, fd.get(), 0, 0) != 0)
        return -EIO;
    blkid_probe_enable_superblocks(guard.probe, 0);
    blkid_probe_enable_partitions(guard.probe, 1);
    blkid_probe_set_partitions_flags(guard.probe, BLKID_PARTS_ENTRY_DETAILS);
    int rc = blkid_do_safeprobe(guard.probe);
    if (rc < 0)
        return -EIO;
    blkid_partlist list = rc == 0 ? blkid_probe_get_partitions(guard.probe) : nullptr;
    blkid_parttable table = list ? blkid_partlist_get_table(list) : nullptr;
    const char *table_type = table ? blkid_parttable_get_type(table) : nullptr;
    // A filesystem's boot sector carries the same 0x55AA signature as an MBR
    // (libblkid reports an exFAT volume as both), so a filesystem found at
    // the start of the disk outranks an MBR. A GPT, with its checksummed
    // header, outranks everything.
    VolumeEntry whole;
    whole.size = disk_size;
    if (!table_type || strcmp(table_type, "gpt") != 0) {
        if ((rc = probe_filesystem(fd.get(), 0, disk_size, &whole)) != 0)
            return rc;
        if (whole.filesystem != "RAW")
            table = nullptr;
    }
    if (!table) {
        // No partition table: the whole disk is one volume.
        out->push_back(whole);
        return capacity == 0 ? -E2BIG : 0;
    }
    int count = blkid_partlist_numof_partitions(list);
    if (count < 0)
        return -EIO;
    if (static_cast<size_t>(count) > capacity)
        return -E2BIG;
    for (int i = 0; i < count; i++) {
        blkid_partition part = blkid_partlist_get_partition(list, i);
        if (!part)
            return -EIO;
        // libblkid counts in 512-byte sectors whatever the disk's own size.
        blkid_loff_t start = blkid_partition_get_start(part);
        blkid_loff_t size = blkid_partition_get_size(part);
        if (start < 0 || size < 0)
            return -EIO;
        VolumeEntry entry;
        entry.partition_number = static_cast<uint32_t>(blkid_partition_get_partno(part));
        entry.offset = static_cast<uint64_t>(start) * 512;
        entry.size = static_cast<uint64_t>(size) * 512;
        entry.data = partition_is_data(table_type, blkid_partition_get_type_string(part),
                                       blkid_partition_get_type(part));
        if (entry.offset >= disk_size || entry.size > disk_size - entry.offset)
            return -EIO; // a partition beyond the disk: a layout not to mount from
        entry.filesystem = "RAW";
        if (!blkid_partition_is_extended(part) && entry.size > 0 &&
            (rc = probe_filesystem(fd.get(), entry.offset, entry.size, &entry)) != 0)
            return rc;
        out->push_back(entry);
    }
    std::sort(out->begin(), out->end(), [](const VolumeEntry &a, const VolumeEntry &b) {
        return a.partition_number != b.partition_number ? a.partition_number < b.partition_number
                                                        : a.offset < b.offset;
    });
    return 0;
}

int volumes_list(const std::string &disk, size_t capacity, int settle_ms,
                 std::vector<VolumeEntry> *out) {
    const uint64_t start = now_ms();
    const uint64_t give_up = start + static_cast<uint64_t>(std::max(settle_ms, kFailingMinimumMs));
    bool have_previous = false;
    size_t previous = 0;
    uint64_t stable_since = 0;
    for (;;) {
        int rc = volumes_read(disk, capacity, out);
        const uint64_t now = now_ms();
        if (rc == -E2BIG || rc == -ENOMEM)
            return rc;
        if (rc == 0) {
            if (settle_ms == 0)
                return 0;
            if (!have_previous || out->size() != previous) {
                have_previous = true;
                previous = out->size();
                stable_since = now;
            }
            if (now >= start + static_cast<uint64_t>(settle_ms) ||
                (previous != 0 && now - stable_since >= kStableMs))
                return 0;
        } else if (now >= give_up) {
            return -EIO;
        }
        sleep_ms(kRoundMs);
    }
}

} // namespace tw
