// Which files of a FAT32 or exFAT filesystem lie in given byte ranges of a
// disk image: the boot sector and the allocation table are read, every
// directory is walked from the root and each file's clusters are compared
// with the ranges. Unreadable parts are skipped: the answer names what can
// be found.
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

// For each range, the paths ("/DIR/NAME", directories with a trailing "/")
// whose data lie in it, and "(file allocation table)" when the range holds
// part of the boot area or the tables. False when the image holds neither
// (FAT32 unpartitioned or in the first FAT32 partition of an MBR; exFAT
// unpartitioned).
bool fat_files_in_ranges(const ImageReader &image, const std::vector<ByteRange> &ranges,
                         std::vector<std::vector<std::string>> *files);

} // namespace tw
