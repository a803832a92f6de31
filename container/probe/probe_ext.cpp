// ext2/3/4 superblock test.
#include "container/probe/probe_checks.h"

namespace tw::probe {

bool ext_superblock_valid(const unsigned char *sb, uint64_t region_sectors, bool strict) {
    if (le16(sb + 56) != 0xEF53) {
        return false;
    }
    uint32_t revision = le32(sb + 76);
    uint32_t log_block_size = le32(sb + 24);
    uint64_t first_data_block = le32(sb + 20);
    uint64_t blocks_per_group = le32(sb + 32);
    uint64_t inodes_per_group = le32(sb + 40);
    if (revision > 1 || log_block_size > 6 || first_data_block > 1 ||
        (first_data_block != 0 && log_block_size != 0) || blocks_per_group == 0 ||
        inodes_per_group == 0) {
        return false;
    }
    uint64_t block_count = le32(sb + 4);
    // 64-bit feature: the high half of the block count.
    if (revision != 0 && (le32(sb + 96) & 0x80) != 0) {
        block_count |= uint64_t(le32(sb + 336)) << 32;
    }
    if (first_data_block >= block_count) {
        return false;
    }
    uint64_t groups = (block_count - first_data_block + blocks_per_group - 1) / blocks_per_group;
    if (groups > UINT32_MAX) {
        return false; // the inode count could not match
    }
    if (uint64_t(le32(sb)) != inodes_per_group * groups) {
        return false;
    }
    if (strict) {
        uint64_t sectors_per_block = uint64_t(2) << log_block_size;
        if (block_count > region_sectors / sectors_per_block) {
            return false;
        }
    }
    return true;
}

} // namespace tw::probe
