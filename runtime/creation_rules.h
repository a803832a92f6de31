// The rules for a new container's size, filesystem and volume name, shared
// by the engine (which enforces them) and the front-ends (which refuse the
// same input first, with the same texts).
#pragma once

#include <cstdint>
#include <string_view>

namespace tw {

inline constexpr uint64_t kCreationMiB = 1048576;
// FAT32 is formatted from 64 MiB to 2 TiB.
inline constexpr uint64_t kCreationFat32Min = 64 * kCreationMiB;
inline constexpr uint64_t kCreationFat32Max = 2199023255552ull;
// The largest container file the engine writes.
inline constexpr uint64_t kCreationSizeLimit = 0x7FFFFFFFFFFFEFFFull;
// FAT and exFAT labels: 11 bytes; NTFS labels: 32 UTF-16 units.
inline constexpr size_t kCreationFatLabelMax = 11;
inline constexpr size_t kCreationNtfsLabelUnits = 32;

inline constexpr const char *kTextCreationInvalid =
    "Choose FAT32, exFAT or NTFS, a positive whole size in MiB, and a valid volume name.";
inline constexpr const char *kTextCreationFat32Range =
    "Linux formats FAT32 from 64 MiB to 2 TiB. Choose a size in that range or another "
    "filesystem.";
inline constexpr const char *kTextCreationFileSize =
    "The requested size exceeds the file size supported by the destination filesystem or Linux.";

// True for "fat32", "exfat" and "ntfs".
bool creation_filesystem_known(std::string_view filesystem);

// The size and filesystem checks, in the engine's order: 0, or -EINVAL
// (size 0 or not whole MiB, an unknown filesystem, *message null; FAT32 out
// of its range, *message kTextCreationFat32Range) or -EFBIG (over the size
// limit).
int creation_size_check(uint64_t bytes, std::string_view filesystem, const char **message);

// True when `label` may name a new volume of `filesystem`: not empty, no
// leading or trailing space; FAT32 and exFAT: 1 to 11 of A-Z, 0-9, "_" and
// space; NTFS: UTF-8 of at most 32 UTF-16 units without control characters
// or \ / : * ? " < > |.
bool creation_label_valid(std::string_view filesystem, std::string_view label);

} // namespace tw
