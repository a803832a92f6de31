// Reading the v3 virtual disk: chunk references through the chunk map, then
// authenticated, decrypted and (when compressed) decompressed chunks.
#include "container/keys/keys.h"
#include "container/v3/v3_internal.h"
#include "container/v3/v3_pool.h"
#include "platform/secure_memory.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <lz4.h>
#include <sys/uio.h>
#include <unistd.h>

namespace tw::v3 {

namespace {

int read_exact(V3Store *s, const iovec *iov, int count, uint64_t offset, size_t total) {
    if (int rc = write_behind_wait(s))
        return rc;
    ssize_t got = preadv(s->fd, iov, count, off_t(offset));
    if (got < 0)
        return -errno;
    return size_t(got) == total ? 0 : -EIO;
}

} // namespace

uint64_t chunk_plain_length(const V3Store *s, uint64_t chunk) {
    if (chunk == kSector0Chunk)
        return 512;
    const uint64_t start = chunk * s->chunk_size;
    uint64_t length = std::min<uint64_t>(s->virtual_size - start, s->chunk_size);
    return chunk == 0 ? length - 512 : length;
}

uint64_t chunk_first_sector(const V3Store *s, uint64_t chunk) {
    if (chunk == kSector0Chunk)
        return 0;
    return chunk == 0 ? 1 : chunk * s->chunk_size / 512;
}

ChunkPiece chunk_piece(const V3Store *s, uint64_t offset, size_t length) {
    ChunkPiece p;
    p.chunk = offset < 512 ? kSector0Chunk : offset / s->chunk_size;
    const uint64_t start = p.chunk == kSector0Chunk ? 0
                           : p.chunk == 0           ? 512
                                                    : p.chunk * s->chunk_size;
    p.within = offset - start;
    p.length = size_t(std::min<uint64_t>(length, chunk_plain_length(s, p.chunk) - p.within));
    return p;
}

int access_check(const V3Store *s, uint64_t offset, size_t length) {
    if (!s || !s->unlocked)
        return -EACCES;
    if (s->sticky)
        return s->sticky;
    if (offset > s->virtual_size || length > s->virtual_size - offset)
        return -EINVAL;
    return 0;
}

int chunk_ref_get(V3Store *s, uint64_t chunk, BlockRef *ref) {
    const CopyState &st = view_state(s);
    if (chunk == kSector0Chunk) {
        *ref = st.sector0;
        return 0;
    }
    BlockRef node = st.map_root;
    for (int32_t level = int32_t(s->layout.map_depth); level >= 0; --level) {
        const uint8_t *data;
        int rc = read_node(s, node, kTypeMap, uint32_t(level), chunk >> (6 * (level + 1)),
                           st.end_used, true, &data);
        if (rc)
            return rc;
        ref_decode(data + kRefSize * ((chunk >> (6 * level)) & 63), &node);
    }
    *ref = node;
    return 0;
}

int chunk_ref_check(const V3Store *s, uint64_t chunk, const BlockRef &ref, uint64_t end_used) {
    if (ref.offset == 0)
        return ref_all_zero(ref) ? 0 : -EILSEQ;
    const uint64_t prefix = chunk == kSector0Chunk ? 0 : s->prefix;
    const uint64_t plain = chunk_plain_length(s, chunk);
    const uint64_t stored = round_up_512(ref.length);
    const uint64_t area_end = s->layout.data_offset + 512 * s->layout.total_sectors;
    if (ref.offset % 512 || ref.offset < s->layout.data_offset || ref.offset > area_end ||
        stored > area_end - ref.offset || ref.offset > end_used || stored > end_used - ref.offset)
        return -EILSEQ;
    if (ref.length <= prefix || ref.length > plain + prefix || ref.info > 1 ||
        (ref.info == 0 && ref.length != plain + prefix) ||
        (chunk == kSector0Chunk && ref.info != 0))
        return -EILSEQ;
    return 0;
}

int chunk_read_plain(V3Store *s, V3CipherFn cipher, void *cipher_ctx, uint64_t chunk,
                     const BlockRef &ref, uint8_t *out) {
    const uint64_t plain = chunk_plain_length(s, chunk);
    if (ref.offset == 0) {
        if (chunk == kSector0Chunk)
            return -EILSEQ;
        std::memset(out, 0, plain);
        return 0;
    }
    const bool sector0 = chunk == kSector0Chunk;
    const uint32_t prefix = sector0 ? 0 : s->prefix;
    const uint64_t stored = round_up_512(ref.length);
    const uint64_t first_sector = chunk_first_sector(s, chunk);
    const NewChunk *pending = nullptr;
    if (s->txn)
        for (const NewChunk &c : s->txn->chunks)
            if (c.chunk == chunk)
                pending = &c;
    if (pending && !ref_same_place(pending->ref, ref))
        return -EILSEQ;
    uint8_t tag[32];
    int rc;

    // An uncompressed chunk on disk is read straight into the caller's buffer
    // and decrypted there: no padding, no copy.
    if (!pending && !sector0 && ref.info == 0) {
        iovec iov[2] = {{s->block, prefix}, {out, plain}};
        rc = prefix ? read_exact(s, iov, 2, ref.offset, prefix + plain)
                    : read_exact(s, iov + 1, 1, ref.offset, plain);
        if (rc == 0)
            rc = block_tag(s, kTypeChunk, 0, chunk, ref, s->block, prefix, out, plain, tag);
        if (rc == 0 && !tags_equal(tag, ref.tag))
            rc = -EILSEQ;
        if (rc == 0 && prefix && !all_zero(s->block + kXChaCha20NonceSize, 512 - 24))
            rc = -EILSEQ;
        if (rc == 0)
            rc = cipher(cipher_ctx, out, plain / 512, first_sector, prefix ? s->block : nullptr,
                        kDecrypt);
        if (rc)
            secure_wipe(out, plain);
        return rc;
    }

    if (pending) {
        std::memcpy(s->block, pending->stored.data(), stored);
    } else {
        iovec iov = {s->block, stored};
        rc = read_exact(s, &iov, 1, ref.offset, stored);
        if (rc)
            return rc;
        rc = block_tag(s, sector0 ? kTypeSector0 : kTypeChunk, 0, sector0 ? 0 : chunk, ref,
                       s->block, stored, nullptr, 0, tag);
        if (rc)
            return rc;
        if (!tags_equal(tag, ref.tag))
            return -EILSEQ;
    }
    if (prefix && !all_zero(s->block + kXChaCha20NonceSize, 512 - 24))
        return -EILSEQ;
    if (sector0) {
        rc =
            s->sector0_key ? cipher_sectors(s->sector0_key, 0, 1, s->block, s->block, kDecrypt) : 0;
        if (rc == 0 && s->version != 8)
            rc = cipher(cipher_ctx, s->block, 1, 0, nullptr, kDecrypt);
    } else {
        rc = cipher(cipher_ctx, s->block + prefix, (stored - prefix) / 512, first_sector,
                    prefix ? s->block : nullptr, kDecrypt);
    }
    if (rc == 0 && !all_zero(s->block + ref.length, stored - ref.length))
        rc = -EILSEQ;
    if (rc == 0) {
        const uint64_t payload = ref.length - prefix;
        if (ref.info == 1) {
            int got = LZ4_decompress_safe(reinterpret_cast<const char *>(s->block + prefix),
                                          reinterpret_cast<char *>(out), int(payload), int(plain));
            if (got < 0 || uint64_t(got) != plain)
                rc = -EILSEQ;
        } else {
            std::memcpy(out, s->block + prefix, plain);
        }
    }
    secure_wipe(s->block, stored);
    if (rc)
        secure_wipe(out, plain);
    return rc;
}

} // namespace tw::v3

namespace tw {

using namespace v3;

namespace {

// A chunk that can be read straight into the caller's buffer: on disk,
// uncompressed, without nonce prefix.
bool direct_readable(const V3Store *s, uint64_t chunk, const BlockRef &ref) {
    if (chunk == kSector0Chunk || ref.offset == 0 || ref.info != 0 || s->prefix)
        return false;
    if (s->txn)
        for (const NewChunk &c : s->txn->chunks)
            if (c.chunk == chunk)
                return false;
    return true;
}

// Reads whole chunks that lie one after the other in the file with one
// system call and one cipher call, authenticating each. `first` is the
// chunk at `offset`, already checked. Returns the bytes read, or an error.
ssize_t read_run(V3Store *s, V3CipherFn cipher, void *cipher_ctx, uint8_t *buffer, size_t length,
                 uint64_t offset, uint64_t first, const BlockRef &first_ref) {
    constexpr size_t kMaxRun = 64;
    uint64_t chunks[kMaxRun];
    BlockRef refs[kMaxRun];
    size_t count = 0;
    uint64_t total = 0;
    refs[0] = first_ref;
    for (uint64_t chunk = first;;) {
        chunks[count] = chunk;
        total += chunk_plain_length(s, chunk);
        if (++count == kMaxRun || total >= length)
            break;
        const ChunkPiece next = chunk_piece(s, offset + total, length - total);
        BlockRef ref;
        if (next.length != chunk_plain_length(s, next.chunk) ||
            chunk_ref_get(s, next.chunk, &ref) != 0 ||
            chunk_ref_check(s, next.chunk, ref, view_state(s).end_used) != 0 ||
            !direct_readable(s, next.chunk, ref) || ref.offset != first_ref.offset + total)
            break; // the next chunk goes the ordinary way
        chunk = next.chunk;
        refs[count] = ref;
    }
    int rc = write_behind_wait(s);
    if (rc == 0) {
        ssize_t got = pread(s->fd, buffer, total, off_t(first_ref.offset));
        rc = got < 0 ? -errno : uint64_t(got) != total ? -EIO : 0;
    }
    uint64_t at = 0;
    for (size_t i = 0; i < count && rc == 0; ++i) {
        uint8_t tag[32];
        rc = block_tag(s, kTypeChunk, 0, chunks[i], refs[i], buffer + at, refs[i].length, nullptr,
                       0, tag);
        if (rc == 0 && !tags_equal(tag, refs[i].tag))
            rc = -EILSEQ;
        at += refs[i].length;
    }
    if (rc == 0)
        rc = cipher(cipher_ctx, buffer, total / 512, chunk_first_sector(s, first), nullptr,
                    kDecrypt);
    if (rc) {
        secure_wipe(buffer, total);
        return rc;
    }
    return ssize_t(total);
}

} // namespace

int v3_read(V3Store *s, V3CipherFn cipher, void *cipher_ctx, uint8_t *buffer, size_t length,
            uint64_t offset) {
    int rc = access_check(s, offset, length);
    if (rc)
        return rc;
    while (length) {
        if (s->pool) {
            // Runs of whole chunks go to the pool's threads. A run with a
            // damaged chunk is read again chunk by chunk below, which finds
            // the chunk.
            const ssize_t done = pool_read(s, buffer, length, offset);
            if (done < 0 && done != -EILSEQ)
                return int(done);
            if (done > 0) {
                buffer += done;
                offset += uint64_t(done);
                length -= size_t(done);
                continue;
            }
        }
        const ChunkPiece p = chunk_piece(s, offset, length);
        const uint64_t chunk = p.chunk, within = p.within, plain = chunk_plain_length(s, chunk);
        const size_t n = p.length;
        BlockRef ref;
        rc = chunk_ref_get(s, chunk, &ref);
        if (rc == 0) {
            rc = chunk_ref_check(s, chunk, ref, view_state(s).end_used);
            if (rc)
                return note_damage(s, kTypeMap, 0, chunk == kSector0Chunk ? 0 : chunk >> 6, rc);
        }
        if (rc)
            return rc;
        if (n == plain && direct_readable(s, chunk, ref)) {
            ssize_t done = read_run(s, cipher, cipher_ctx, buffer, length, offset, chunk, ref);
            // A run with a damaged chunk is read again chunk by chunk below,
            // which finds the chunk.
            if (done < 0 && done != -EILSEQ)
                return int(done);
            if (done > 0) {
                buffer += done;
                offset += uint64_t(done);
                length -= size_t(done);
                continue;
            }
        }
        if (n == plain) {
            rc = chunk_read_plain(s, cipher, cipher_ctx, chunk, ref, buffer);
        } else {
            rc = chunk_read_plain(s, cipher, cipher_ctx, chunk, ref, s->plain);
            if (rc == 0)
                std::memcpy(buffer, s->plain + within, n);
            secure_wipe(s->plain, plain);
        }
        if (rc)
            return note_damage(s, chunk == kSector0Chunk ? kTypeSector0 : kTypeChunk, 0, chunk, rc);
        buffer += n;
        offset += n;
        length -= n;
    }
    return 0;
}

} // namespace tw
