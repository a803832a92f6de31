// APFS container superblock tests.
#include "container/probe/probe_checks.h"

namespace tw::probe {

uint64_t apfs_fletcher64(const unsigned char *block, size_t length) {
    const uint64_t modulus = 0xFFFFFFFF;
    uint64_t sum1 = 0;
    uint64_t sum2 = 0;
    for (size_t i = 8; i + 4 <= length; i += 4) {
        sum1 = (sum1 + le32(block + i)) % modulus;
        sum2 = (sum2 + sum1) % modulus;
    }
    uint64_t low = modulus - ((sum1 + sum2) % modulus);
    uint64_t high = modulus - ((sum1 + low) % modulus);
    return high << 32 | low;
}

bool apfs_checksum_valid(ProbeRun &run, const unsigned char *first_sector, uint64_t sector,
                         uint64_t remaining_sectors) {
    if (!apfs_superblock_plausible(first_sector, remaining_sectors)) {
        return false;
    }
    uint32_t block_size = le32(first_sector + 36);
    WipedBytes block(block_size);
    if (!run.read(sector, block.bytes.get(), block_size / kSectorSize)) {
        return false;
    }
    // The first sector is the one the caller tested (it may be the presented
    // sector 0); the checksum covers exactly those bytes.
    std::memcpy(block.bytes.get(), first_sector, kSectorSize);
    return apfs_fletcher64(block.bytes.get(), block_size) == le64(block.bytes.get());
}

} // namespace tw::probe

namespace tw {

bool apfs_superblock_plausible(const unsigned char *b, uint64_t remaining_sectors) {
    using namespace probe;
    if (!text_at(b, 32, "NXSB") || le64(b + 8) != 1 || le64(b + 16) == 0) {
        return false;
    }
    // The object type keeps its storage flags in the high bits (a container
    // superblock on disk is marked ephemeral); the type itself is the low 16.
    if ((le32(b + 24) & 0xFFFF) != 1 || le32(b + 28) != 0) {
        return false;
    }
    uint64_t block_size = le32(b + 36);
    if (!is_power_of_two(block_size) || block_size < 4096 || block_size > 65536) {
        return false;
    }
    uint64_t block_count = le64(b + 40);
    return block_count >= (uint64_t(1) << 20) / block_size &&
           block_count <= remaining_sectors / (block_size / kSectorSize);
}

} // namespace tw
