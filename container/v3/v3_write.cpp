// Writing the v3 virtual disk: copy-on-write transactions and their commit.
//
// A transaction collects new chunks and dirty metadata nodes in memory, all
// placed in space that neither header copy references. Commit writes them,
// flushes, then writes the header copy of the new generation over the older
// copy and flushes again: a crash at any point leaves the newest committed
// generation readable.
#include "container/keys/keys.h"
#include "container/v3/v3_internal.h"
#include "container/v3/v3_pool.h"
#include "platform/files.h"
#include "platform/secure_memory.h"
#include "runtime/random.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <lz4.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

namespace tw::v3 {

namespace {

bool sticky_version(uint32_t version) {
    return version == 5 || version == 7 || version == 8;
}

int write_all(int fd, const iovec *iov, int count, uint64_t offset) {
    size_t total = 0;
    for (int i = 0; i < count; ++i)
        total += iov[i].iov_len;
    ssize_t done = pwritev(fd, iov, count, off_t(offset));
    if (done < 0)
        return -errno;
    if (size_t(done) == total)
        return 0;
    // Short write: finish piece by piece.
    for (int i = 0; i < count; ++i) {
        const uint8_t *p = static_cast<const uint8_t *>(iov[i].iov_base);
        size_t len = iov[i].iov_len;
        if (size_t(done) >= len) {
            done -= ssize_t(len);
            offset += len;
            continue;
        }
        p += done;
        len -= size_t(done);
        offset += size_t(done);
        done = 0;
        while (len) {
            ssize_t w = pwrite(fd, p, len, off_t(offset));
            if (w < 0)
                return -errno;
            if (w == 0)
                return -EIO;
            p += w;
            len -= size_t(w);
            offset += size_t(w);
        }
    }
    return 0;
}

int flush(V3Store *s) {
    if (s->no_flush)
        return 0;
    return file_flush_data(s->fd);
}

// Writes blocks in runs of adjacent offsets, one system call per run. With
// the test hook set every block is its own run so that a crash can be placed
// between any two writes.
struct Piece {
    uint64_t offset;
    const uint8_t *data;
    size_t length;
};

int write_pieces(std::vector<Piece> &pieces, int fd, bool report) {
    std::sort(pieces.begin(), pieces.end(),
              [](const Piece &a, const Piece &b) { return a.offset < b.offset; });
    std::vector<iovec> iov;
    size_t i = 0;
    while (i < pieces.size()) {
        iov.clear();
        const uint64_t start = pieces[i].offset;
        uint64_t next = start;
        while (i < pieces.size() && pieces[i].offset == next && iov.size() < IOV_MAX &&
               (iov.empty() || !commit_hook)) {
            iov.push_back({const_cast<uint8_t *>(pieces[i].data), pieces[i].length});
            next += pieces[i].length;
            ++i;
        }
        int rc = write_all(fd, iov.data(), int(iov.size()), start);
        if (rc)
            return rc;
        if (report && commit_hook)
            commit_hook(kStageChunkWritten, i);
    }
    return 0;
}

NewChunk *pending_chunk(Transaction *t, uint64_t chunk) {
    for (NewChunk &c : t->chunks)
        if (c.chunk == chunk)
            return &c;
    return nullptr;
}

// Builds, places and installs one chunk whose complete new plaintext is `src`
// (or, with `ready`, the chunk the pool already compressed and encrypted).
int write_chunk(V3Store *s, V3CipherFn cipher, void *cipher_ctx, uint64_t chunk,
                const BlockRef &old, const uint8_t *src, PreparedChunk *ready) {
    Transaction *t = s->txn;
    const bool sector0 = chunk == kSector0Chunk;
    const uint64_t plain = chunk_plain_length(s, chunk);
    NewChunk *pending = pending_chunk(t, chunk);
    if (pending && !ref_same_place(pending->ref, old))
        return -EILSEQ;
    BlockRef fresh{};
    std::vector<uint8_t> stored;
    bool tag_owed = false;
    int rc;
    if (sector0 || !(ready ? ready->zero : all_zero(src, plain))) {
        if (!pending && t->chunks.size() >= kMaxChunkWrites)
            return -E2BIG;
        uint64_t size;
        if (ready) {
            fresh.length = ready->length;
            fresh.info = ready->info;
            stored = std::move(ready->stored);
            size = stored.size();
        } else {
            const uint32_t prefix = sector0 ? 0 : s->prefix;
            uint8_t *b = s->block;
            if (prefix) {
                std::memset(b, 0, prefix);
                if (!random_bytes(b, kXChaCha20NonceSize))
                    return -EIO;
            }
            uint64_t payload = plain;
            if (s->compression && !sector0) {
                int packed = LZ4_compress_fast_extState(
                    s->lz4_state, reinterpret_cast<const char *>(src),
                    reinterpret_cast<char *>(b + prefix), int(plain), int(plain), 1);
                // Compression pays only when it saves at least one sector.
                if (packed > 0 && round_up_512(uint64_t(packed)) < plain) {
                    payload = uint64_t(packed);
                    fresh.info = 1;
                }
            }
            if (fresh.info == 0)
                std::memcpy(b + prefix, src, plain);
            fresh.length = uint32_t(prefix + payload);
            size = round_up_512(fresh.length);
            std::memset(b + fresh.length, 0, size - fresh.length);
            if (sector0) {
                rc = s->version != 8 ? cipher(cipher_ctx, b, 1, 0, nullptr, kEncrypt) : 0;
                if (rc == 0 && s->sector0_key)
                    rc = cipher_sectors(s->sector0_key, 0, 1, b, b, kEncrypt);
            } else {
                rc = cipher(cipher_ctx, b + prefix, (size - prefix) / 512,
                            chunk_first_sector(s, chunk), prefix ? b : nullptr, kEncrypt);
            }
            if (rc) {
                secure_wipe(b, size);
                return rc;
            }
            // The block now holds only ciphertext: no wipe needed.
            if (!s->spare_buffers.empty()) {
                stored = std::move(s->spare_buffers.back());
                s->spare_buffers.pop_back();
            }
            stored.assign(b, b + size);
        }
        uint64_t first;
        rc = bitmap_allocate(s, uint32_t(size / 512), &first);
        if (rc)
            return rc;
        fresh.offset = s->layout.data_offset + 512 * first;
        t->state.end_used = std::max(t->state.end_used, fresh.offset + size);
        if (s->pool && !sector0) {
            // With a pool the tags of the transaction's chunks are computed
            // together, in parallel, just before it commits.
            tag_owed = true;
        } else {
            rc = block_tag(s, sector0 ? kTypeSector0 : kTypeChunk, 0, sector0 ? 0 : chunk, fresh,
                           stored.data(), size, nullptr, 0, fresh.tag);
            if (rc)
                return rc;
        }
    } else if (old.offset == 0) {
        return 0; // a hole stays a hole: nothing changes
    }

    // The old place: a block of this transaction is freed at once; a block a
    // header copy may still reference is freed only once that copy is gone.
    if (pending) {
        const uint64_t size = round_up_512(old.length);
        rc = bitmap_mark(s, (old.offset - s->layout.data_offset) / 512, size / 512, false);
    } else if (old.offset != 0) {
        rc = release_extent(s, old.offset, round_up_512(old.length));
    } else {
        rc = 0;
    }
    if (rc)
        return rc;

    if (sector0) {
        t->state.sector0 = fresh;
    } else {
        DirtyNode *leaf;
        rc = node_make_dirty(s, kTypeMap, 0, chunk / 64, &leaf);
        if (rc)
            return rc;
        ref_encode(fresh, leaf->data + kRefSize * (chunk % 64));
    }
    if (fresh.offset == 0) {
        if (pending)
            t->chunks.erase(t->chunks.begin() + (pending - t->chunks.data()));
    } else if (pending) {
        pending->ref = fresh;
        pending->tag_owed = tag_owed;
        std::swap(pending->stored, stored);
        if (s->spare_buffers.size() < kMaxChunkWrites)
            s->spare_buffers.push_back(std::move(stored));
    } else {
        t->chunks.push_back(NewChunk{chunk, fresh, std::move(stored), tag_owed});
    }
    return 0;
}

int write_piece(V3Store *s, V3CipherFn cipher, void *cipher_ctx, uint64_t chunk, uint64_t within,
                const uint8_t *data, size_t n, PreparedChunk *ready) {
    BlockRef old;
    int rc = chunk_ref_get(s, chunk, &old);
    if (rc == 0)
        rc = chunk_ref_check(s, chunk, old, view_state(s).end_used);
    if (rc)
        return rc;
    const uint64_t plain = chunk_plain_length(s, chunk);
    if (n == plain) {
        rc = write_chunk(s, cipher, cipher_ctx, chunk, old, data, ready);
    } else {
        rc = chunk_read_plain(s, cipher, cipher_ctx, chunk, old, s->plain);
        if (rc == 0) {
            std::memcpy(s->plain + within, data, n);
            rc = write_chunk(s, cipher, cipher_ctx, chunk, old, s->plain, nullptr);
        }
        secure_wipe(s->plain, plain);
    }
    if (rc == 0)
        ++s->txn->chunk_writes;
    return rc;
}

} // namespace

int fail(V3Store *s, int rc) {
    if (rc && (sticky_version(s->version) || s->deferred) && !s->sticky)
        s->sticky = rc;
    txn_discard(s);
    return rc;
}

void txn_discard(V3Store *s) {
    if (!s->txn)
        return;
    for (NewChunk &c : s->txn->chunks)
        if (s->spare_buffers.size() < kMaxChunkWrites)
            s->spare_buffers.push_back(std::move(c.stored));
    delete s->txn;
    s->txn = nullptr;
}

int txn_open(V3Store *s) {
    if (s->txn)
        return 0;
    const CopyState &current = s->copy[s->current];
    if (current.generation == UINT64_MAX)
        return -EOVERFLOW;
    s->txn = new (std::nothrow) Transaction();
    if (!s->txn)
        return -ENOMEM;
    Transaction *t = s->txn;
    t->state = current;
    t->state.generation += 1;
    t->state.extent_count = 0;
    t->chunk_writes = 0;
    // The copy this transaction overwrites listed blocks that only the copy
    // before it referenced: once it is overwritten they are free.
    const CopyState &older = s->copy[1 - s->current];
    for (uint32_t i = 0; i < older.extent_count; ++i) {
        const Extent &e = older.extents[i];
        int rc = bitmap_mark(s, (e.offset - s->layout.data_offset) / 512, e.length / 512, false);
        if (rc)
            return rc;
    }
    return 0;
}

} // namespace tw::v3

namespace tw {

using namespace v3;

namespace {

// The synchronous commit: chunks and nodes, flush, header, flush.
int commit_write_now(V3Store *s, Transaction *t, const std::vector<DirtyNode *> &order,
                     const CopyState &st, const uint8_t *header, int w) {
    // Commits handed to a writing thread go first.
    int rc = write_behind_wait(s);
    if (rc)
        return fail(s, rc);
    std::vector<Piece> pieces;
    pieces.reserve(t->chunks.size());
    for (const NewChunk &c : t->chunks)
        pieces.push_back({c.ref.offset, c.stored.data(), c.stored.size()});
    rc = write_pieces(pieces, s->fd, true);
    if (rc == 0) {
        pieces.clear();
        for (DirtyNode *d : order)
            pieces.push_back({d->ref.offset, d->data, kV3NodeSize});
        rc = write_pieces(pieces, s->fd, false);
    }
    // A block allocated and then replaced within the transaction raised the
    // end of used space without being written: the file must still reach it,
    // since a header whose end of used space lies beyond the file is invalid.
    if (rc == 0) {
        FileStatus info;
        rc = file_status(s->fd, &info);
        if (rc == 0 && info.size < st.end_used)
            rc = file_set_size(s->fd, st.end_used);
    }
    if (rc == 0 && commit_hook)
        commit_hook(kStageNodesWritten, t->chunks.size());
    if (rc == 0)
        rc = flush(s);
    if (rc)
        return fail(s, rc);

    iovec iov = {const_cast<uint8_t *>(header), kV3HeaderSize};
    rc = write_all(s->fd, &iov, 1, uint64_t(4096) * w);
    if (rc == 0 && commit_hook)
        commit_hook(kStageHeaderWritten, st.generation);
    if (rc == 0)
        rc = flush(s);
    if (rc) {
        // The slot may hold a torn copy now.
        s->valid[w] = false;
        return fail(s, rc);
    }
    return 0;
}

} // namespace

int v3_commit(V3Store *s) {
    if (!s)
        return -EINVAL;
    if (s->sticky)
        return s->sticky;
    Transaction *t = s->txn;
    if (!t)
        return 0;
    CopyState &st = t->state;
    if (t->nodes.empty() && t->chunks.empty() && st.writing == s->copy[s->current].writing) {
        txn_discard(s);
        return 0;
    }
    if (int error = settle_tags(s))
        return fail(s, error);
    for (const NewChunk &c : t->chunks)
        st.end_used = std::max(st.end_used, c.ref.offset + c.stored.size());
    for (const auto &d : t->nodes)
        if (d->type == kTypeMap)
            st.end_used = std::max(st.end_used, d->ref.offset + kV3NodeSize);

    // Tags bottom-up: every parent is dirty too and receives its children's
    // tags before its own is computed.
    std::vector<DirtyNode *> order;
    order.reserve(t->nodes.size());
    for (const auto &d : t->nodes)
        order.push_back(d.get());
    std::sort(order.begin(), order.end(), [](const DirtyNode *a, const DirtyNode *b) {
        return a->type != b->type ? a->type < b->type : a->level < b->level;
    });
    int rc = 0;
    std::vector<BlockRef> tagged;
    tagged.reserve(order.size());
    for (DirtyNode *d : order) {
        BlockRef ref = d->ref;
        rc = block_tag(s, d->type, d->level, d->index, ref, d->data, kV3NodeSize, nullptr, 0,
                       ref.tag);
        if (rc == 0)
            rc = set_child_ref(s, d->type, d->level, d->index, ref);
        if (rc)
            return fail(s, rc);
        tagged.push_back(ref);
    }

    uint8_t header[kV3HeaderSize];
    rc = header_build(s->header[s->current], st, s->mac_key, header);
    if (rc)
        return fail(s, rc);
    const int w = int(st.generation % 2);

    if (write_behind_on(s)) {
        // The writing thread puts the same bytes in the same order; this
        // thread goes on with the next transaction meanwhile.
        CommitWrites cw;
        cw.chunk_offsets.reserve(t->chunks.size());
        cw.chunks.reserve(t->chunks.size());
        for (NewChunk &c : t->chunks) {
            cw.chunk_offsets.push_back(c.ref.offset);
            cw.chunks.push_back(std::move(c.stored));
        }
        t->chunks.clear();
        cw.node_offsets.reserve(order.size());
        cw.nodes.resize(order.size() * kV3NodeSize);
        for (size_t i = 0; i < order.size(); ++i) {
            cw.node_offsets.push_back(order[i]->ref.offset);
            std::memcpy(cw.nodes.data() + i * kV3NodeSize, order[i]->data, kV3NodeSize);
        }
        cw.end_used = st.end_used;
        cw.header_offset = uint64_t(4096) * w;
        std::memcpy(cw.header, header, kV3HeaderSize);
        rc = write_behind_queue(s, std::move(cw));
        if (rc) {
            s->valid[w] = false;
            return fail(s, rc);
        }
        // The nodes just handed over are what reading them back would give
        // (their references carry the new tags): the next transaction finds
        // them here instead of waiting for the file.
        // One node per type and level: the one furthest on, where a
        // sequential copy goes next.
        for (size_t i = 0; i < order.size(); ++i) {
            const DirtyNode *d = order[i];
            if (i + 1 < order.size() && order[i + 1]->type == d->type &&
                order[i + 1]->level == d->level)
                continue;
            size_t best = i;
            for (size_t j = i; j-- > 0 && order[j]->type == d->type && order[j]->level == d->level;)
                if (order[j]->index > order[best]->index)
                    best = j;
            NodeCache &c = s->cache[d->type == kTypeBitmap][d->level];
            c.valid = true;
            c.index = order[best]->index;
            ref_encode(tagged[best], c.ref);
            std::memcpy(c.data, order[best]->data, kV3NodeSize);
        }
    } else {
        rc = commit_write_now(s, t, order, st, header, w);
        if (rc)
            return rc;
    }
    s->copy[w] = st;
    std::memcpy(s->header[w], header, kV3HeaderSize);
    s->valid[w] = true;
    s->current = w;
    s->file_size = std::max(s->file_size, st.end_used);
    txn_discard(s);
    return 0;
}

namespace v3 {

int commit_writes_apply(int fd, const CommitWrites &w) {
    std::vector<Piece> pieces;
    pieces.reserve(std::max(w.chunks.size(), w.node_offsets.size()));
    for (size_t i = 0; i < w.chunks.size(); ++i)
        pieces.push_back({w.chunk_offsets[i], w.chunks[i].data(), w.chunks[i].size()});
    int rc = write_pieces(pieces, fd, false);
    if (rc == 0) {
        pieces.clear();
        for (size_t i = 0; i < w.node_offsets.size(); ++i)
            pieces.push_back({w.node_offsets[i], w.nodes.data() + i * kV3NodeSize, kV3NodeSize});
        rc = write_pieces(pieces, fd, false);
    }
    if (rc == 0) {
        FileStatus info;
        rc = file_status(fd, &info);
        if (rc == 0 && info.size < w.end_used)
            rc = file_set_size(fd, w.end_used);
    }
    if (rc == 0) {
        iovec iov = {const_cast<uint8_t *>(w.header), kV3HeaderSize};
        rc = write_all(fd, &iov, 1, w.header_offset);
    }
    return rc;
}

} // namespace v3

int v3_write(V3Store *s, V3CipherFn cipher, void *cipher_ctx, const uint8_t *data, size_t length,
             uint64_t offset) {
    int rc = access_check(s, offset, length);
    if (rc)
        return rc;
    if (!s->valid[0] || !s->valid[1])
        return -EROFS;
    if (length == 0)
        return 0;
    rc = v3_begin_writes(s);
    if (rc)
        return rc;
    // With a pool, whole chunks are compressed and encrypted a window ahead.
    std::vector<PreparedChunk> prepared;
    size_t next_prepared = 0;
    while (length) {
        if (!s->txn && (rc = txn_open(s)) != 0)
            return fail(s, rc);
        if (s->txn->chunk_writes >= kMaxChunkWrites ||
            s->txn->state.extent_count + s->layout.map_depth >= kMaxExtents - 1) {
            if ((rc = v3_commit(s)) != 0)
                return rc;
            if ((rc = txn_open(s)) != 0)
                return fail(s, rc);
        }
        const ChunkPiece p = chunk_piece(s, offset, length);
        const size_t n = p.length;
        PreparedChunk *ready = nullptr;
        if (s->pool && p.chunk != kSector0Chunk && n == chunk_plain_length(s, p.chunk)) {
            if (next_prepared == prepared.size()) {
                next_prepared = 0;
                if ((rc = pool_prepare(s, data, length, offset, &prepared)) != 0)
                    return fail(s, rc);
            }
            if (next_prepared < prepared.size() && prepared[next_prepared].chunk == p.chunk)
                ready = &prepared[next_prepared++];
        }
        rc = write_piece(s, cipher, cipher_ctx, p.chunk, p.within, data, n, ready);
        if (rc)
            return fail(s, rc);
        data += n;
        offset += n;
        length -= n;
    }
    return s->deferred ? 0 : v3_commit(s);
}

int v3_begin_writes(V3Store *s) {
    if (!s || !s->unlocked)
        return -EACCES;
    if (s->sticky)
        return s->sticky;
    if (!sticky_version(s->version) || s->begun)
        return 0;
    if (!s->valid[0] || !s->valid[1] || s->copy[s->current].writing)
        return -EROFS;
    int rc = txn_open(s);
    if (rc)
        return fail(s, rc);
    s->txn->state.writing = 1;
    rc = v3_commit(s);
    if (rc)
        return rc;
    s->begun = true;
    s->writing = true;
    return 0;
}

int v3_resume_writes(V3Store *s) {
    if (!s || !s->unlocked)
        return -EACCES;
    if (s->sticky)
        return s->sticky;
    if (!sticky_version(s->version) || !s->valid[0] || !s->valid[1] || !s->copy[s->current].writing)
        return -EROFS;
    s->begun = true;
    s->writing = true;
    return 0;
}

int v3_end_writes(V3Store *s) {
    if (!s || !s->unlocked)
        return -EACCES;
    int rc = v3_commit(s);
    if (rc)
        return rc;
    if (s->writing) {
        if ((rc = txn_open(s)) != 0)
            return fail(s, rc);
        s->txn->state.writing = 0;
        if ((rc = v3_commit(s)) != 0)
            return rc;
        s->writing = false;
    }
    if (s->copy[0].sector0.offset == 0 || s->copy[1].sector0.offset == 0)
        return -EILSEQ;
    return 0;
}

} // namespace tw
