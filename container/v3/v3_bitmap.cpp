// First-fit allocation over the allocation-bitmap tree. Bit value 1 is a free
// sector. Every reference to a bitmap node carries a capped summary of the
// node (longest free run, free run at the start, free run at the end), so a
// search descends only into nodes that can hold the request.
#include "container/v3/v3_internal.h"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstring>

namespace tw::v3 {

namespace {

uint32_t pack(uint64_t longest, uint64_t start, uint64_t end, uint32_t cap) {
    return uint32_t(std::min<uint64_t>(longest, cap)) |
           uint32_t(std::min<uint64_t>(start, cap)) << 8 |
           uint32_t(std::min<uint64_t>(end, cap)) << 16;
}

uint32_t leaf_summary(const uint8_t *data, uint32_t cap) {
    uint64_t longest = 0, run = 0, start = 0;
    bool in_start = true;
    auto close_run = [&] {
        if (in_start) {
            start = run;
            in_start = false;
        }
        longest = std::max(longest, run);
        run = 0;
    };
    for (uint32_t w = 0; w < kLeafBits / 64; ++w) {
        uint64_t word = get64(data + 8 * w);
        // Whole words first; a mixed word is taken apart run by run.
        if (word == ~uint64_t(0)) {
            run += 64;
            continue;
        }
        if (word == 0) {
            if (run || in_start)
                close_run();
            continue;
        }
        int bit = 0;
        while (bit < 64) {
            const int ones = std::countr_one(word >> bit);
            if (ones) {
                run += uint64_t(std::min(ones, 64 - bit));
                bit += ones;
                continue;
            }
            close_run();
            const uint64_t rest = word >> bit;
            bit += rest == 0 ? 64 - bit : std::countr_zero(rest);
        }
    }
    if (in_start)
        start = run;
    longest = std::max(longest, run);
    return pack(longest, start, run, cap);
}

// Children cover at least 32768 sectors, more than any cap, so combining
// capped child summaries gives the capped summary of the whole node.
uint32_t interior_summary(const uint8_t *data, uint32_t cap) {
    uint64_t longest = 0, prev_end = 0;
    uint32_t first = 0, last = 0;
    for (uint32_t e = 0; e < kRefsPerNode; ++e) {
        const uint32_t info = get32(data + kRefSize * e + 12);
        if (e == 0)
            first = info;
        last = info;
        longest = std::max<uint64_t>(longest, info & 0xff);
        longest = std::max<uint64_t>(longest, prev_end + (info >> 8 & 0xff));
        prev_end = info >> 16 & 0xff;
    }
    return pack(longest, first >> 8 & 0xff, last >> 16 & 0xff, cap);
}

// First run of `n` free bits in a leaf; -1 when none.
int64_t leaf_find(const uint8_t *data, uint32_t n) {
    uint32_t run = 0;
    for (uint32_t w = 0; w < kLeafBits / 64; ++w) {
        const uint64_t word = get64(data + 8 * w);
        if (word == 0) {
            run = 0;
            continue;
        }
        if (word == ~uint64_t(0) && run + 64 < n) {
            run += 64;
            continue;
        }
        for (uint32_t b = 0; b < 64; ++b) {
            if (word >> b & 1) {
                if (++run == n)
                    return int64_t(64 * w + b + 1) - n;
            } else {
                run = 0;
            }
        }
    }
    return -1;
}

int find(V3Store *s, uint32_t level, uint64_t index, const BlockRef &ref, uint32_t n,
         uint64_t *found) {
    const uint8_t *data;
    int rc = read_node(s, ref, kTypeBitmap, level, index, s->txn->state.end_used, true, &data);
    if (rc)
        return rc;
    const V3Layout &L = s->layout;
    if (level == 0) {
        int64_t at = leaf_find(data, n);
        if (at < 0)
            return -EILSEQ;
        *found = index * kLeafBits + uint64_t(at);
        return 0;
    }
    uint64_t carry = 0;
    for (uint32_t e = 0; e < kRefsPerNode; ++e) {
        const uint64_t child = index * 64 + e;
        if (child >= L.bitmap_level_nodes[level - 1])
            break;
        BlockRef cref;
        ref_decode(data + kRefSize * e, &cref);
        const uint32_t longest = cref.info & 0xff, start = cref.info >> 8 & 0xff,
                       end = cref.info >> 16 & 0xff;
        if (carry + start >= n) {
            *found = child * L.bitmap_level_coverage[level - 1] - carry;
            return 0;
        }
        if (longest >= n)
            return find(s, level - 1, child, cref, n, found);
        carry = end;
    }
    return -EILSEQ;
}

// Recomputes the summaries on the path from a leaf to the root.
int update_summaries(V3Store *s, uint64_t leaf) {
    for (uint32_t level = 0; level <= s->layout.bitmap_depth; ++level) {
        const uint64_t index = leaf >> (6 * level);
        DirtyNode *d = dirty_find(s, kTypeBitmap, level, index);
        if (!d)
            return -EILSEQ;
        BlockRef ref = d->ref;
        ref.info = level == 0 ? leaf_summary(d->data, s->cap) : interior_summary(d->data, s->cap);
        int rc = set_child_ref(s, kTypeBitmap, level, index, ref);
        if (rc)
            return rc;
    }
    return 0;
}

} // namespace

int bitmap_allocate(V3Store *s, uint32_t sectors, uint64_t *first) {
    const BlockRef root = s->txn->state.bitmap_root;
    if ((root.info & 0xff) < sectors)
        return -ENOSPC;
    int rc = find(s, s->layout.bitmap_depth, 0, root, sectors, first);
    if (rc)
        return rc;
    return bitmap_mark(s, *first, sectors, true);
}

int bitmap_mark(V3Store *s, uint64_t first, uint64_t count, bool allocate) {
    if (first > s->layout.total_sectors || count > s->layout.total_sectors - first)
        return -EILSEQ;
    while (count) {
        const uint64_t leaf = first / kLeafBits;
        const uint32_t bit = uint32_t(first % kLeafBits);
        const uint32_t n = uint32_t(std::min<uint64_t>(count, kLeafBits - bit));
        DirtyNode *d;
        int rc = node_make_dirty(s, kTypeBitmap, 0, leaf, &d);
        if (rc)
            return rc;
        for (uint32_t i = bit; i < bit + n; ++i) {
            uint8_t &byte = d->data[i / 8];
            const uint8_t mask = uint8_t(1u << (i % 8));
            // Allocating a used sector or freeing a free one means the
            // metadata disagrees with itself.
            if (bool(byte & mask) != allocate)
                return -EILSEQ;
            byte ^= mask;
        }
        rc = update_summaries(s, leaf);
        if (rc)
            return rc;
        first += n;
        count -= n;
    }
    return 0;
}

int release_extent(V3Store *s, uint64_t offset, uint64_t length) {
    CopyState &st = s->txn->state;
    if (st.extent_count >= kMaxExtents)
        return -E2BIG;
    st.extents[st.extent_count++] = Extent{offset, length};
    return 0;
}

} // namespace tw::v3
