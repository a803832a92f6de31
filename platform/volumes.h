// The volumes of a disk as libblkid reads them: the partition table and each
// volume's filesystem name and label.
//
// Nothing here asks the kernel to scan partitions: a volume is an offset and
// a size on the disk, and whoever mounts it puts a loop device over exactly
// that range (platform/loop_device.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tw {

// Lists hold at most this many volumes.
inline constexpr size_t kVolumeCapacity = 128;

struct VolumeEntry {
    // "FAT32", "FAT" (FAT12/FAT16), "exFAT", "NTFS"; another libblkid type
    // as it names it ("ext4", "apfs"); "RAW" when nothing was recognised.
    std::string filesystem;
    std::string label;
    uint32_t partition_number = 0; // 0 on a disk without a partition table
    uint64_t offset = 0;           // bytes from the start of the disk
    uint64_t size = 0;             // bytes
    // Not an EFI system, Microsoft reserved or Windows recovery partition
    // (GPT), nor of MBR type 0x00, 0x05, 0x0F, 0x27, 0x85 or 0xEF.
    bool data = true;
};

// One of the four filesystems that are mounted ("NTFS", "exFAT", "FAT32",
// "FAT"; exact).
bool filesystem_is_supported(const std::string &name);

// Whether a partition of this table type ("gpt", "dos") and partition type
// (the GPT type GUID, any case; or the MBR type byte) holds data.
bool partition_is_data(const char *table, const char *gpt_type, int mbr_type);

// Reads the disk (a block device or an image file) once. A disk with a
// partition table gives one entry per partition (extended containers
// included, as non-data volumes), sorted by partition number and offset; a
// disk without gives one entry for the whole disk. 0 with the entries; -EIO
// when the disk cannot be read or its layout is ambiguous; -E2BIG when it
// has more than `capacity` volumes.
int volumes_read(const std::string &disk, size_t capacity, std::vector<VolumeEntry> *out);

// volumes_read in rounds 200 ms apart until the listing settles. With
// settle_ms 0 the first successful round decides. Otherwise a round's count
// is accepted when it is nonzero and every round has given it for 1000 ms,
// or once settle_ms have passed (the count may then be 0). Rounds that keep
// failing give up with -EIO after settle_ms or 2000 ms, whichever is longer.
// -E2BIG as volumes_read.
int volumes_list(const std::string &disk, size_t capacity, int settle_ms,
                 std::vector<VolumeEntry> *out);

} // namespace tw
