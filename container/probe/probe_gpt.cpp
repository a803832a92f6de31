// GUID partition table check and the CRC-32 it is protected with.
#include "container/probe/probe_checks.h"

#include <array>

namespace tw {

namespace {

constexpr std::array<uint32_t, 256> make_crc32_table() {
    std::array<uint32_t, 256> table{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t c = i;
        for (int bit = 0; bit < 8; ++bit) {
            c = (c & 1) != 0 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        }
        table[i] = c;
    }
    return table;
}

constexpr std::array<uint32_t, 256> kCrc32Table = make_crc32_table();

} // namespace

uint32_t crc32_ieee(const void *data, size_t length, uint32_t crc) {
    const unsigned char *p = static_cast<const unsigned char *>(data);
    crc = ~crc;
    for (size_t i = 0; i < length; ++i) {
        crc = kCrc32Table[(crc ^ p[i]) & 0xFF] ^ (crc >> 8);
    }
    return ~crc;
}

} // namespace tw

namespace tw::probe {

namespace {

constexpr size_t kGptEntrySize = 128;
constexpr uint32_t kGptMaxEntries = 128; // 16 KiB of entries at most

} // namespace

bool gpt_header_plausible(const unsigned char *h) {
    uint32_t header_size = le32(h + 12);
    return text_at(h, 0, "EFI PART") && le32(h + 8) == 0x00010000 && header_size >= 92 &&
           header_size <= 512 && le64(h + 24) == 1;
}

bool gpt_probe(ProbeRun &run, std::string *line) {
    SectorBuffer header;
    if (!run.read_sector(1, header)) {
        return false;
    }
    const unsigned char *h = header.bytes;
    if (!gpt_header_plausible(h)) {
        return false;
    }
    uint32_t entry_count = le32(h + 80);
    if (entry_count < 1 || entry_count > kGptMaxEntries || le32(h + 84) != kGptEntrySize) {
        return false;
    }
    // The header checksum is computed with its own field zeroed.
    uint32_t header_size = le32(h + 12);
    SectorBuffer zeroed;
    std::memcpy(zeroed.bytes, h, kSectorSize);
    std::memset(zeroed.bytes + 16, 0, 4);
    if (crc32_ieee(zeroed.bytes, header_size) != le32(h + 16)) {
        return false;
    }

    size_t array_bytes = size_t(entry_count) * kGptEntrySize;
    uint64_t array_sectors = (array_bytes + kSectorSize - 1) / kSectorSize;
    WipedBytes entries(array_sectors * kSectorSize);
    if (!run.read(le64(h + 72), entries.bytes.get(), array_sectors) ||
        crc32_ieee(entries.bytes.get(), array_bytes) != le32(h + 88)) {
        return false;
    }

    uint64_t first_usable = le64(h + 40);
    uint64_t last_usable = le64(h + 48);
    for (uint32_t i = 0; i < entry_count; ++i) {
        const unsigned char *e = entries.bytes.get() + size_t(i) * kGptEntrySize;
        uint64_t start = le64(e + 32);
        uint64_t end = le64(e + 40);
        if (all_zero(e, 16) || start > end || start < first_usable || end > last_usable) {
            continue;
        }
        std::string found;
        if (filesystem_at_lba(run, start, end - start + 1, &found)) {
            *line = "GPT: " + found;
            return true;
        }
    }
    return false;
}

} // namespace tw::probe
