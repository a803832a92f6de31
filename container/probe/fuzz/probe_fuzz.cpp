// Fuzzes the filesystem probe over a 1 MiB image: it must not crash, never
// read outside the image and keep its number of reads bounded.
//
// Input: byte 0 options (bit 0 strict, bit 1 encrypted, bit 2 no presented
// sector 0, bits 3-5 format kind, bit 6 a boot signature in every sector),
// bytes 1-2 the image size in sectors, byte 3 the number of the read that
// fails (0: none), then patches of [16-bit sector][16-bit offset in the
// sector][8-bit length][bytes] written into a zeroed image. Small patches at
// chosen offsets let the fuzzer build boot sectors, tables and chains.
#include "container/probe/probe.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr size_t kImageSectors = 2048;
constexpr size_t kImageBytes = kImageSectors * 512;

// Reads outside partition tables: sector 0 steps, ISO, superfloppy checks,
// strict filesystem at sector 0, fallback scans and the sector 1 and 2
// checks. Each filesystem-at-LBA test reads at most 4 sectors.
constexpr int kFixedReads = 48;
// Four primary entries, each one filesystem-at-LBA test.
constexpr int kPrimaryReads = 4 * 4;
// Each extended boot record: itself and one logical partition test.
constexpr int kEbrReads = 127 * 5;
// GPT: header, entry array, and one test per entry (at most 128).
constexpr int kGptReads = 2 + 128 * 4;

unsigned char g_image[kImageBytes];

struct Reader {
    uint64_t sectors = 0;
    int reads = 0;
    int failing_read = 0;
};

int read_image(void *user, void *buffer, size_t length, uint64_t offset) {
    auto *r = static_cast<Reader *>(user);
    ++r->reads;
    if (length == 0 || length % 512 != 0 || offset % 512 != 0 || offset > r->sectors * 512 ||
        length > r->sectors * 512 - offset) {
        std::fprintf(stderr, "read outside the image: %zu bytes at %llu of %llu sectors\n", length,
                     static_cast<unsigned long long>(offset),
                     static_cast<unsigned long long>(r->sectors));
        std::abort();
    }
    if (r->reads == r->failing_read) {
        return -EIO;
    }
    std::memcpy(buffer, g_image + offset, length);
    return 0;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 4) {
        return 0;
    }
    std::memset(g_image, 0, sizeof g_image);
    Reader reader;
    reader.sectors = 1 + (size_t(data[1] | data[2] << 8) % kImageSectors);
    reader.failing_read = data[3];
    if ((data[0] & 0x40) != 0) {
        for (size_t sector = 0; sector < kImageSectors; ++sector) {
            g_image[sector * 512 + 510] = 0x55;
            g_image[sector * 512 + 511] = 0xAA;
        }
    }
    for (size_t at = 4; at + 5 <= size;) {
        size_t sector = size_t(data[at] | data[at + 1] << 8) % kImageSectors;
        size_t offset = size_t(data[at + 2] | data[at + 3] << 8) % 512;
        size_t length = data[at + 4];
        at += 5;
        size_t start = sector * 512 + offset;
        length = std::min({length, size - at, kImageBytes - start});
        std::memcpy(g_image + start, data + at, length);
        at += length;
    }

    tw::ProbeContext ctx;
    ctx.sector0 = (data[0] & 4) != 0 ? nullptr : g_image;
    ctx.sector_count = reader.sectors;
    ctx.read = &read_image;
    ctx.read_user = &reader;
    ctx.format_kind = (data[0] >> 3) & 7;
    int cd = 0;
    ctx.cd_flag = &cd;
    ctx.encrypted = (data[0] & 2) != 0;
    ctx.strict = (data[0] & 1) != 0;
    char text[128];
    int rc = tw::filesystem_probe(&ctx, text, sizeof text);

    if ((rc != 0 && rc != 2) || std::strlen(text) >= sizeof text) {
        std::abort();
    }
    if (cd != 0 && (rc != 0 || std::strncmp(text, "ISO 9660", 8) != 0)) {
        std::abort();
    }
    // Without a boot signature in sector 0 there is no partition table, and
    // the probe stays within a few dozen reads.
    bool table = g_image[510] == 0x55 && g_image[511] == 0xAA;
    int bound = kFixedReads + (table ? kPrimaryReads + kEbrReads + kGptReads : 0);
    if (reader.reads > bound) {
        std::fprintf(stderr, "%d reads (bound %d)\n", reader.reads, bound);
        std::abort();
    }
    return 0;
}
