// Reading the decrypted image of a container: sector 0 as presented, every
// other sector decrypted with the cipher in use, runs of whole sectors read in
// one call and decrypted in one call, and the exFAT boot checksum kept valid
// for the presented sector 0.
#include "container/container.h"

#include "container/container_access.h"
#include "container/container_internal.h"
#include "container/formats/formats.h"
#include "container/v3/v3_pool.h"
#include "platform/io.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace tw {

namespace {

constexpr size_t kSectorBlocks = kSectorSize / kSse2BlockSize;
constexpr size_t kExfatBoundaryCount = 11; // sectors of the main boot region before its checksum
constexpr size_t kExfatShiftOffset = 108;

void remember_read_error(Container *c, int error) {
    if (c->last_read_error == 0)
        c->last_read_error = error;
}

// Reads `count` sectors from `first` (all > 0) and decrypts them in place,
// without the exFAT repair.
int read_decrypted_run(Container *c, uint64_t first, size_t count, uint8_t *out) {
    int error = pread_full(c->fd, out, count * kSectorSize, first * kSectorSize);
    if (error) {
        remember_read_error(c, error);
        return error;
    }
    if (c->info.cipher != kCipherNone)
        error = cipher_sectors(&c->data_cipher, first, count, out, out, kDecrypt);
    if (error)
        secure_wipe(out, count * kSectorSize);
    return error;
}

// The exFAT bytes-per-sector shift of the presented sector 0, or 0 when it is
// not an exFAT boot sector with a shift of 9..12.
unsigned exfat_shift(const Container *c) {
    if (c->info.format_kind == kFormatCompressed || !c->info.sector0_available)
        return 0;
    const uint8_t *s0 = c->presented_sector0;
    if (std::memcmp(s0 + 3, "EXFAT   ", 8) != 0)
        return 0;
    unsigned shift = s0[kExfatShiftOffset];
    return shift >= 9 && shift <= 12 ? shift : 0;
}

uint32_t exfat_checksum_add(uint32_t checksum, uint8_t byte) {
    return ((checksum & 1) ? 0x80000000u : 0) + (checksum >> 1) + byte;
}

// The boot checksum over the first `pieces` 512-byte pieces as served.
int exfat_boot_checksum(Container *c, size_t pieces, uint32_t *checksum) {
    SecureBuffer region(pieces * kSectorSize);
    if (!region.valid())
        return -ENOMEM;
    container_serve_sector0(c, region.data());
    if (int error = read_decrypted_run(c, 1, pieces - 1, region.data() + kSectorSize))
        return error;
    uint32_t sum = 0;
    const uint8_t *bytes = region.data();
    for (size_t i = 0; i < pieces * kSectorSize; ++i) {
        if (i == 106 || i == 107 || i == 112)
            continue; // VolumeFlags and PercentInUse change without a new checksum
        sum = exfat_checksum_add(sum, bytes[i]);
    }
    *checksum = sum;
    return 0;
}

bool one_repeated_word(const uint8_t *sector) {
    for (size_t i = 4; i < kSectorSize; i += 4) {
        if (std::memcmp(sector, sector + i, 4) != 0)
            return false;
    }
    return true;
}

// Rewrites the checksum pieces among sectors [first, first + count) of `out`
// when they hold a checksum sector, because the presented sector 0 may differ
// from the stored one in header bytes.
int exfat_repair(Container *c, uint64_t first, size_t count, uint8_t *out) {
    unsigned shift = exfat_shift(c);
    if (shift == 0)
        return 0;
    const uint64_t scale = uint64_t{1} << (shift - 9);
    const uint64_t begin = kExfatBoundaryCount * scale;
    const uint64_t end = begin + scale;
    const uint64_t last = first + count;
    if (last <= begin || first >= end)
        return 0;
    bool have_checksum = false;
    uint32_t checksum = 0;
    for (uint64_t n = std::max(first, begin); n < std::min(last, end); ++n) {
        uint8_t *sector = out + (n - first) * kSectorSize;
        if (!one_repeated_word(sector))
            continue;
        if (!have_checksum) {
            if (int error = exfat_boot_checksum(c, size_t(begin), &checksum))
                return error;
            have_checksum = true;
        }
        for (size_t i = 0; i < kSectorSize; i += 4) {
            sector[i] = uint8_t(checksum);
            sector[i + 1] = uint8_t(checksum >> 8);
            sector[i + 2] = uint8_t(checksum >> 16);
            sector[i + 3] = uint8_t(checksum >> 24);
        }
    }
    return 0;
}

} // namespace

int container_read_sectors(Container *c, uint64_t first, size_t count, uint8_t *out) {
    if (!c->info.unlocked)
        return -EACCES;
    int error = read_decrypted_run(c, first, count, out);
    if (error == 0)
        error = exfat_repair(c, first, count, out);
    if (error)
        secure_wipe(out, count * kSectorSize);
    return error;
}

namespace {

int read_v3(Container *c, uint8_t *out, size_t length, uint64_t offset) {
    if (!c->info.unlocked)
        return -EACCES;
    int error = v3_read(c->v3, container_v3_cipher, c, out, length, offset);
    if (error) {
        remember_read_error(c, error);
        secure_wipe(out, length);
    }
    return error;
}

} // namespace

void container_serve_sector0(const Container *c, uint8_t out[kSectorSize]) {
    std::memcpy(out, c->presented_sector0, kSectorSize);
    if (c->info.format_kind == kFormatIntermediate ||
        (c->info.format_kind == kFormatLegacy && c->info.header_present))
        std::memset(out + 486, 0, 10); // range attribute and header marker
}

uint64_t container_size(const Container *c) {
    return c->info.sector_count * kSectorSize;
}

int container_read_sector(Container *c, uint64_t sector, uint8_t buffer[kSectorSize]) {
    if (sector >= c->info.sector_count)
        return -EFAULT;
    if (c->info.format_kind == kFormatCompressed)
        return read_v3(c, buffer, kSectorSize, sector * kSectorSize);
    if (sector == 0) {
        if (!c->info.sector0_available)
            return -EACCES;
        container_serve_sector0(c, buffer);
        return 0;
    }
    return container_read_sectors(c, sector, 1, buffer);
}

ssize_t container_read(Container *c, void *buffer, size_t length, uint64_t offset) {
    const uint64_t size = container_size(c);
    if (offset >= size || length == 0)
        return 0;
    length = size_t(std::min<uint64_t>(length, size - offset));
    auto *out = static_cast<uint8_t *>(buffer);
    if (c->info.format_kind == kFormatCompressed) {
        int error = read_v3(c, out, length, offset);
        return error ? error : ssize_t(length);
    }

    size_t done = 0;
    int error = 0;
    SecureBuffer piece(kSectorSize);
    if (!piece.valid())
        return -ENOMEM;
    while (done < length && error == 0) {
        const uint64_t at = offset + done;
        const uint64_t sector = at / kSectorSize;
        const size_t within = size_t(at % kSectorSize);
        const size_t left = length - done;
        if (within == 0 && sector > 0 && left >= kSectorSize) {
            // A run of whole sectors: one read, one decryption call.
            const size_t count = left / kSectorSize;
            error = container_read_sectors(c, sector, count, out + done);
            done += count * kSectorSize;
            continue;
        }
        // Sector 0, or a piece of a sector.
        error = container_read_sector(c, sector, piece.data());
        const size_t n = std::min(left, kSectorSize - within);
        if (error == 0)
            std::memcpy(out + done, piece.data() + within, n);
        done += n;
    }
    if (error) {
        secure_wipe(out, length);
        return error;
    }
    return ssize_t(length);
}

int container_v3_cipher(void *ctx, uint8_t *units, size_t count, uint64_t first_sector,
                        const uint8_t *nonce_prefix, int direction) {
    auto *c = static_cast<Container *>(ctx);
    if (count == 0)
        return 0;
    if (first_sector == 0) {
        // The sector-0 block is protected with the system key, not the data key.
        if (!c->system_key_loaded)
            return -ENOKEY;
        if (direction == kEncrypt)
            sse2_encrypt_blocks(units, kSectorBlocks, c->system_key_schedule);
        else if (direction == kDecrypt)
            sse2_decrypt_blocks(units, kSectorBlocks, c->system_key_schedule);
        else
            return -EINVAL;
        if (--count == 0)
            return 0;
        units += kSectorSize;
        first_sector = 1;
    }
    return cipher_sectors(&c->data_cipher, first_sector, count, units, units, direction,
                          nonce_prefix);
}

int container_start_chunk_pool(Container *c, unsigned threads) {
    if (c->v3 == nullptr)
        return 0;
    if (!c->info.unlocked)
        return -EACCES;
    return v3_pool_start(c->v3, &c->data_cipher, threads);
}

void container_stop_chunk_pool(Container *c) {
    if (c->v3 != nullptr)
        v3_pool_stop(c->v3);
}

} // namespace tw
