// Writing decrypted image bytes back into a container in place: runs of
// whole sectors encrypted and written in one call, partial sectors read,
// patched and written back, and sector 0 stored so that the file is
// classified as the same kind when it is opened again.
#include "container/container.h"

#include "container/container_internal.h"
#include "container/keys/system_key.h"
#include "container/probe/probe.h"
#include "platform/io.h"
#include "platform/secure_memory.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace tw {

namespace {

constexpr size_t kRunSectors = 2048; // 1 MiB per encryption and write call
constexpr size_t kSectorBlocks = kSectorSize / kSse2BlockSize;
constexpr size_t kHeaderOffset = 256;
constexpr size_t kModernHeaderBlocks = 32 / kSse2BlockSize;
constexpr uint16_t kBootSignature = 0xAA55;
constexpr uint64_t kSectorMask = (uint64_t{1} << 48) - 1;

uint16_t le16(const uint8_t *p) {
    return uint16_t(p[0] | p[1] << 8);
}

uint64_t le64(const uint8_t *p) {
    uint64_t v = 0;
    for (int i = 7; i >= 0; --i)
        v = v << 8 | p[i];
    return v;
}

bool all_zero(const uint8_t *p, size_t n) {
    for (size_t i = 0; i < n; ++i)
        if (p[i])
            return false;
    return true;
}

int make_sticky(Container *c, int error) {
    if (error && c->write_error == 0)
        c->write_error = error;
    return error;
}

int write_checks(const Container *c, const void *data) {
    if (c == nullptr || data == nullptr)
        return -EINVAL;
    if (c->info.read_only)
        return -EROFS;
    return c->write_error;
}

// The reusable run buffer of this thread: it holds plaintext only between
// the copy and the encryption, and is wiped after every use.
uint8_t *run_buffer() {
    thread_local SecureBuffer buffer(kRunSectors * kSectorSize);
    return buffer.valid() ? buffer.data() : nullptr;
}

int encrypt_data_sectors(Container *c, uint64_t first, size_t count, uint8_t *buffer) {
    if (c->info.cipher == kCipherNone)
        return 0;
    return cipher_sectors(&c->data_cipher, first, count, buffer, buffer, kEncrypt);
}

// Sectors [first, first + count), first > 0, encrypted and written in one call.
int write_run(Container *c, uint64_t first, size_t count, const uint8_t *data) {
    if (!c->info.unlocked)
        return -EACCES;
    uint8_t *buffer = run_buffer();
    if (buffer == nullptr)
        return -ENOMEM;
    const size_t bytes = count * kSectorSize;
    std::memcpy(buffer, data, bytes);
    int error = encrypt_data_sectors(c, first, count, buffer);
    if (error == 0) {
        error = pwrite_full(c->fd, buffer, bytes, first * kSectorSize);
        c->written = true;
    }
    secure_wipe(buffer, bytes);
    return make_sticky(c, error);
}

// Reads virtual sector 0 of a v3 store again into the presented copy.
void reload_v3_sector0(Container *c) {
    int error = v3_read(c->v3, container_v3_cipher, c, c->presented_sector0, kSectorSize, 0);
    c->info.sector0_available = error == 0;
    if (error)
        secure_wipe(c->presented_sector0, kSectorSize);
}

ssize_t write_v3(Container *c, const uint8_t *data, size_t length, uint64_t offset) {
    if (!c->info.unlocked)
        return -EACCES;
    int error = v3_write(c->v3, container_v3_cipher, c, data, length, offset);
    if (int sticky = v3_sticky_error(c->v3))
        make_sticky(c, sticky);
    if (error) {
        make_sticky(c, error);
        if (offset < kSectorSize)
            reload_v3_sector0(c);
        return error;
    }
    c->written = true;
    if (offset < kSectorSize) {
        const size_t n = std::min<uint64_t>(length, kSectorSize - offset);
        std::memcpy(c->presented_sector0 + offset, data, n);
    }
    return ssize_t(length);
}

// Whether bytes 256..287 of `plain`, decrypted under one of the system keys
// classification tries, would be taken for a Modern header.
bool taken_for_modern_header(const uint8_t *plain) {
    if (le16(plain + 510) != kBootSignature)
        return false;
    uint8_t keys[2][kSystemKeySize];
    const size_t count = system_key_candidates(keys);
    bool found = false;
    for (size_t i = 0; i < count && !found; ++i) {
        uint8_t table[kSse2TableSize];
        uint8_t header[32];
        sse2_schedule(keys[i], table);
        std::memcpy(header, plain + kHeaderOffset, sizeof header);
        sse2_decrypt_blocks(header, kModernHeaderBlocks, table);
        const uint64_t first = le64(header);
        const uint64_t last = le64(header + 8);
        const uint32_t cipher = uint32_t(first >> 56) & 0xF;
        found = le16(header + 28) == kBootSignature && ((first >> 48) & 0xFF) == 0 &&
                ((last >> 48) & 0x7FFF) == 0 && (cipher <= kCipherXor || cipher == 15) &&
                (first & kSectorMask) <= (last & kSectorMask);
        secure_wipe(header, sizeof header);
        secure_wipe(table, sizeof table);
    }
    secure_wipe(keys, sizeof keys);
    return found;
}

// The stored form of sector 0 for kinds 4, 5 and 6 and the kind it gives.
int sector0_storage(Container *c, const uint8_t *plain, uint8_t *stored, int *kind) {
    const uint64_t sectors = c->info.sector_count;
    const bool key = c->system_key_loaded;
    if (*kind == kFormatSalted) {
        if (!key || !plausible_boot_sector(plain, sectors, true))
            return -EPERM;
        std::memcpy(stored, plain, kSectorSize);
        sse2_encrypt_blocks(stored, kSectorBlocks, c->system_key_schedule);
        return 0;
    }
    const bool clear_allowed = le16(plain + 510) == kBootSignature &&
                               plausible_boot_sector(plain, sectors, false) &&
                               !(key && taken_for_modern_header(plain));
    // Both markers of an embedded header would make the protected form read
    // as kind 2 when opened again.
    const bool embedded_markers =
        le16(plain + 494) == kBootSignature && le16(plain + 510) == kBootSignature;
    bool protected_usable = false;
    if (key && !embedded_markers && plausible_boot_sector(plain, sectors, true) &&
        (*kind == kFormatNoHeader || system_key_is_default())) {
        std::memcpy(stored, plain, kSectorSize);
        sse2_encrypt_blocks(stored, kSectorBlocks, c->system_key_schedule);
        protected_usable = le16(stored + 510) != kBootSignature && !all_zero(stored, kSectorSize);
    }
    if (protected_usable && (*kind == kFormatNoHeader || !clear_allowed)) {
        *kind = kFormatNoHeader;
        return 0;
    }
    if (clear_allowed) {
        std::memcpy(stored, plain, kSectorSize);
        *kind = kFormatClear;
        return 0;
    }
    return -EPERM;
}

void restore(uint8_t *plain, const uint8_t *current, size_t from, size_t to) {
    std::memcpy(plain + from, current + from, to - from + 1);
}

int write_sector0(Container *c, const uint8_t *data) {
    if (c->info.header_locked)
        return -EPERM;
    SecureBuffer plain(kSectorSize);
    SecureBuffer stored(kSectorSize);
    if (!plain.valid() || !stored.valid())
        return -ENOMEM;
    std::memcpy(plain.data(), data, kSectorSize);
    int kind = c->info.format_kind;
    const bool embedded =
        kind == kFormatIntermediate || (kind == kFormatLegacy && c->info.header_present);
    // A write never changes the header: its bytes come from the current sector 0.
    if (kind == kFormatModern || embedded) {
        if (!c->info.sector0_available)
            return -EPERM;
        const uint8_t *current = c->presented_sector0;
        if (kind == kFormatModern) {
            restore(plain.data(), current, 256, 285);
        } else {
            restore(plain.data(), current, 256, 275);
            restore(plain.data(), current, 486, 495);
        }
        restore(plain.data(), current, 510, 511);
    }
    int error = 0;
    switch (kind) {
    case kFormatModern:
        if (!c->system_key_loaded)
            return -EPERM;
        std::memcpy(stored.data(), plain.data(), kSectorSize);
        sse2_encrypt_blocks(stored.data() + kHeaderOffset, kModernHeaderBlocks,
                            c->system_key_schedule);
        break;
    case kFormatIntermediate:
        if (!c->system_key_loaded)
            return -EPERM;
        std::memcpy(stored.data(), plain.data(), kSectorSize);
        sse2_encrypt_blocks(stored.data(), kSectorBlocks, c->system_key_schedule);
        break;
    case kFormatLegacy:
        if (!c->info.unlocked)
            return -EACCES;
        std::memcpy(stored.data(), plain.data(), kSectorSize);
        error = cipher_sectors(&c->data_cipher, 0, 1, stored.data(), stored.data(), kEncrypt);
        if (error)
            return make_sticky(c, error);
        break;
    case kFormatNoHeader:
    case kFormatSalted:
    case kFormatClear:
        if ((error = sector0_storage(c, plain.data(), stored.data(), &kind)) != 0)
            return error;
        break;
    default:
        return -EPERM;
    }
    error = pwrite_full(c->fd, stored.data(), kSectorSize, 0);
    c->written = true;
    if (error) {
        make_sticky(c, error);
        c->info.sector0_available = false;
        secure_wipe(c->presented_sector0, kSectorSize);
        return error;
    }
    std::memcpy(c->presented_sector0, plain.data(), kSectorSize);
    std::memcpy(c->raw_sector0, stored.data(), kSectorSize);
    c->info.format_kind = kind;
    c->info.sector0_available = true;
    return 0;
}

} // namespace

int container_write_sector(Container *c, uint64_t sector, const uint8_t data[kSectorSize]) {
    if (int error = write_checks(c, data))
        return error;
    if (sector >= c->info.sector_count)
        return -EFAULT;
    if (c->info.format_kind == kFormatCompressed) {
        ssize_t n = container_write(c, data, kSectorSize, sector * kSectorSize);
        return n < 0 ? int(n) : n == ssize_t(kSectorSize) ? 0 : -EIO;
    }
    if (sector == 0)
        return write_sector0(c, data);
    return write_run(c, sector, 1, data);
}

ssize_t container_write(Container *c, const void *data, size_t length, uint64_t offset) {
    if (int error = write_checks(c, data))
        return error;
    const uint64_t size = container_size(c);
    if (length == 0)
        return 0;
    if (offset >= size)
        return -ENOSPC;
    length = size_t(std::min<uint64_t>(length, size - offset));
    const auto *in = static_cast<const uint8_t *>(data);
    if (c->info.format_kind == kFormatCompressed)
        return write_v3(c, in, length, offset);

    SecureBuffer scratch(kSectorSize);
    if (!scratch.valid())
        return -ENOMEM;
    size_t done = 0;
    int error = 0;
    while (done < length && error == 0) {
        const uint64_t at = offset + done;
        const uint64_t sector = at / kSectorSize;
        const size_t within = size_t(at % kSectorSize);
        const size_t left = length - done;
        if (within == 0 && sector > 0 && left >= kSectorSize) {
            const size_t count = std::min(left / kSectorSize, kRunSectors);
            error = write_run(c, sector, count, in + done);
            done += count * kSectorSize;
            continue;
        }
        // Sector 0, or a piece of a sector: read, patch, write back.
        const size_t n = std::min(left, kSectorSize - within);
        if (n == kSectorSize) {
            error = container_write_sector(c, sector, in + done);
        } else {
            error = container_read_sector(c, sector, scratch.data());
            if (error == 0) {
                std::memcpy(scratch.data() + within, in + done, n);
                error = container_write_sector(c, sector, scratch.data());
            }
        }
        done += n;
    }
    scratch.wipe();
    return error ? error : ssize_t(length);
}

int container_flush(Container *c) {
    if (c == nullptr)
        return -EINVAL;
    if (c->v3 == nullptr) {
        if (c->write_error == 0 && !c->info.read_only && c->fd >= 0)
            make_sticky(c, file_flush(c->fd));
        return c->write_error;
    }
    if (c->write_error)
        return c->write_error;
    int error = v3_commit(c->v3);
    if (error && !c->info.read_only) {
        make_sticky(c, error);
        reload_v3_sector0(c);
    }
    return error;
}

namespace {

int session_checks(const Container *c) {
    if (c == nullptr || c->fd < 0)
        return -EINVAL;
    if (c->info.read_only)
        return -EROFS;
    if (!c->info.unlocked)
        return -EACCES;
    return c->write_error;
}

} // namespace

int container_begin_write_session(Container *c) {
    if (int error = session_checks(c))
        return error;
    if (c->v3 == nullptr)
        return 0;
    if (int error = v3_begin_writes(c->v3))
        return error;
    v3_set_deferred_commit(c->v3, true);
    return 0;
}

int container_resume_write_session(Container *c) {
    if (int error = session_checks(c))
        return error;
    if (c->v3 == nullptr)
        return -ENOTSUP;
    if (v3_version(c->v3) < 7)
        return -EROFS;
    if (int error = v3_resume_writes(c->v3))
        return error;
    v3_set_deferred_commit(c->v3, true);
    return 0;
}

int container_finish_write_session(Container *c) {
    if (c == nullptr)
        return -EINVAL;
    if (c->write_error)
        return c->write_error;
    if (c->info.read_only || c->v3 == nullptr)
        return 0;
    const uint32_t version = v3_version(c->v3);
    if (version != 5 && version != 7 && version != 8)
        return 0;
    if (!c->info.unlocked)
        return -EACCES;
    return make_sticky(c, v3_end_writes(c->v3));
}

} // namespace tw
