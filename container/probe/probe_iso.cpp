// ISO 9660 volume descriptor test.
#include "container/probe/probe_checks.h"

namespace tw::probe {

bool iso9660_descriptor_valid(const unsigned char *d, uint64_t sector_count, bool strict) {
    unsigned type = d[0];
    if (!text_at(d, 1, "CD001") || d[6] != 1 || !(type <= 3 || type == 255)) {
        return false;
    }
    if (!strict) {
        return true;
    }
    // Strict: a primary descriptor whose volume and root directory fit.
    uint64_t block_size = le16(d + 128);
    if (type != 1 || (block_size != 512 && block_size != 1024 && block_size != 2048)) {
        return false;
    }
    uint64_t volume_blocks = le32(d + 80);
    if (volume_blocks > sector_count / (block_size / kSectorSize)) {
        return false;
    }
    const unsigned char *root = d + 156;
    uint64_t extent = le32(root + 2);
    uint64_t data_length = le32(root + 10);
    return root[0] > 33 && extent < volume_blocks && data_length != 0 &&
           data_length <= (volume_blocks - extent) * block_size && (root[25] & 0x02) != 0;
}

} // namespace tw::probe
