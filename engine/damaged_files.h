// Which files of a FAT32, exFAT or NTFS filesystem lie in given byte ranges
// of a disk image: the boot sector and the allocation table (for NTFS the
// master file table) are read, every file is found with its path and its
// clusters are compared with the ranges. Unreadable parts are skipped: the
// answer names what can be found.
#pragma once

#include "engine/image_checks.h"

#include <cstdint>
#include <string>
#include <vector>

namespace tw {

struct ByteRange {
    uint64_t first = 0;
    uint64_t length = 0;
};

// For each range, the paths ("/DIR/NAME"; FAT directories with a trailing
// "/") whose data lie in it, and "(file allocation table)", "(boot sector)"
// or "(master file table)" for the filesystem's own structures (NTFS keeps
// small files inside the master file table). False when the image holds
// none of them (FAT32 unpartitioned or in the first FAT32 partition of an
// MBR; exFAT and NTFS unpartitioned).
bool files_in_ranges(const ImageReader &image, const std::vector<ByteRange> &ranges,
                     std::vector<std::vector<std::string>> *files);

} // namespace tw
