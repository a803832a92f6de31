// v3 metadata nodes: reference and padding rules, authenticated reads, and
// the copy-on-write set of dirty nodes of the open transaction.
#include "container/keys/keys.h"
#include "container/v3/v3_internal.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <unistd.h>

namespace tw::v3 {

namespace {

uint64_t dirty_key(uint8_t type, uint32_t level, uint64_t index) {
    return uint64_t(type) << 60 | uint64_t(level) << 54 | index;
}

uint32_t depth_of(const V3Layout &L, uint8_t type) {
    return type == kTypeMap ? L.map_depth : L.bitmap_depth;
}

// Sectors of a bitmap node's coverage that lie inside the data area; they
// form a prefix of the coverage.
uint64_t covered_inside(const V3Layout &L, uint32_t level, uint64_t index) {
    const uint64_t cov = L.bitmap_level_coverage[level];
    const uint64_t start = index * cov;
    if (start >= L.total_sectors)
        return 0;
    return std::min(cov, L.total_sectors - start);
}

// The bitmap reference of node (level, index) in the other header copy, so
// that a rewrite never lands in a slot either copy still uses.
int other_copy_bitmap_ref(V3Store *s, uint32_t level, uint64_t index, BlockRef *out) {
    const int other = 1 - s->current;
    *out = BlockRef{};
    if (!s->valid[other])
        return 0;
    const CopyState &o = s->copy[other];
    BlockRef ref = o.bitmap_root;
    for (uint32_t L = s->layout.bitmap_depth; L > level; --L) {
        const uint8_t *data;
        int rc =
            read_node(s, ref, kTypeBitmap, L, index >> (6 * (L - level)), o.end_used, false, &data);
        if (rc)
            return rc;
        ref_decode(data + kRefSize * ((index >> (6 * (L - 1 - level))) & 63), &ref);
    }
    *out = ref;
    return 0;
}

} // namespace

uint32_t absent_bitmap_summary(const V3Layout &L, uint32_t cap, uint32_t level, uint64_t index) {
    const uint64_t inside = covered_inside(L, level, index);
    const uint32_t run = uint32_t(std::min<uint64_t>(inside, cap));
    const uint32_t end = inside == L.bitmap_level_coverage[level] ? run : 0;
    return run | run << 8 | end << 16;
}

void absent_node(const V3Layout &L, uint32_t cap, uint8_t type, uint32_t level, uint64_t index,
                 uint8_t out[kV3NodeSize]) {
    std::memset(out, 0, kV3NodeSize);
    if (type != kTypeBitmap)
        return;
    if (level == 0) {
        const uint64_t inside = covered_inside(L, 0, index);
        std::memset(out, 0xff, inside / 8);
        if (inside % 8)
            out[inside / 8] = uint8_t((1u << (inside % 8)) - 1);
        return;
    }
    for (uint32_t e = 0; e < kRefsPerNode; ++e)
        put32(out + kRefSize * e + 12, absent_bitmap_summary(L, cap, level - 1, index * 64 + e));
}

uint64_t bitmap_slot_offset(const V3Layout &L, uint32_t level, uint64_t index, int slot) {
    return 8192 + 12288 * (L.bitmap_level_first[level] + index) + 4096 * uint64_t(slot);
}

int node_check_ref(const V3Layout &L, uint32_t cap, uint8_t type, uint32_t level, uint64_t index,
                   const BlockRef &ref) {
    if (ref.offset == 0) {
        const uint32_t info = type == kTypeBitmap ? absent_bitmap_summary(L, cap, level, index) : 0;
        if (ref.length != 0 || ref.info != info || !all_zero(ref.tag, 32))
            return -EILSEQ;
        return 0;
    }
    if (ref.length != kV3NodeSize)
        return -EILSEQ;
    if (type == kTypeBitmap) {
        const uint32_t longest = ref.info & 0xff, start = ref.info >> 8 & 0xff,
                       end = ref.info >> 16 & 0xff;
        if ((ref.info >> 24) != 0 || longest > cap || longest < start || longest < end)
            return -EILSEQ;
        for (int slot = 0; slot < 3; ++slot)
            if (ref.offset == bitmap_slot_offset(L, level, index, slot))
                return 0;
        return -EILSEQ;
    }
    const uint64_t area_end = L.data_offset + 512 * L.total_sectors;
    if (ref.offset % 512 || ref.offset < L.data_offset || ref.offset > area_end - kV3NodeSize ||
        ref.info != 0)
        return -EILSEQ;
    return 0;
}

int node_check_contents(const V3Layout &L, uint32_t, uint8_t type, uint32_t level, uint64_t index,
                        const uint8_t data[kV3NodeSize]) {
    if (type == kTypeMap || level > 0)
        return all_zero(data + kRefArea, kV3NodeSize - kRefArea) ? 0 : -EILSEQ;
    // A leaf marks nothing free beyond the end of the data area.
    const uint64_t inside = covered_inside(L, 0, index);
    if (inside % 8 && (data[inside / 8] >> (inside % 8)) != 0)
        return -EILSEQ;
    const uint64_t first_clear_byte = ceil_div(inside, 8);
    return all_zero(data + first_clear_byte, kV3NodeSize - first_clear_byte) ? 0 : -EILSEQ;
}

const CopyState &view_state(const V3Store *s) {
    return s->txn ? s->txn->state : s->copy[s->current];
}

namespace {

int read_node_checked(V3Store *s, const BlockRef &ref, uint8_t type, uint32_t level, uint64_t index,
                      uint64_t end_used, bool use_dirty, const uint8_t **out) {
    int rc = node_check_ref(s->layout, s->cap, type, level, index, ref);
    if (rc)
        return rc;
    NodeCache &c = s->cache[type == kTypeBitmap][level];
    uint8_t encoded[kRefSize];
    ref_encode(ref, encoded);
    if (ref.offset == 0) {
        absent_node(s->layout, s->cap, type, level, index, c.data);
    } else if (use_dirty && s->txn) {
        auto it = s->txn->by_offset.find(ref.offset);
        if (it != s->txn->by_offset.end()) {
            const DirtyNode *d = it->second;
            if (d->type != type || d->level != level || d->index != index ||
                !ref_same_place(d->ref, ref))
                return -EILSEQ;
            *out = d->data;
            return 0;
        }
    }
    if (ref.offset != 0 &&
        !(c.valid && c.index == index && std::memcmp(c.ref, encoded, kRefSize) == 0)) {
        c.valid = false;
        if (ref.offset > end_used || end_used - ref.offset < kV3NodeSize)
            return -EILSEQ;
        if ((rc = write_behind_wait(s)) != 0)
            return rc;
        ssize_t got = pread(s->fd, c.data, kV3NodeSize, off_t(ref.offset));
        if (got < 0)
            return -errno;
        if (got != kV3NodeSize)
            return -EIO;
        uint8_t tag[32];
        rc = block_tag(s, type, level, index, ref, c.data, kV3NodeSize, nullptr, 0, tag);
        if (rc)
            return rc;
        if (!tags_equal(tag, ref.tag))
            return -EILSEQ;
        rc = node_check_contents(s->layout, s->cap, type, level, index, c.data);
        if (rc)
            return rc;
    }
    c.valid = true;
    c.index = index;
    std::memcpy(c.ref, encoded, kRefSize);
    *out = c.data;
    return 0;
}

} // namespace

int note_damage(V3Store *s, uint8_t type, uint32_t level, uint64_t index, int error) {
    if (error != -EILSEQ || s->damage.part != V3DamagedPart::none)
        return error;
    const V3Layout &L = s->layout;
    V3Damage d;
    d.index = index;
    d.level = level;
    uint64_t first_chunk = 0, chunks = 0;
    switch (type) {
    case kTypeMap:
        d.part = V3DamagedPart::chunk_map;
        // A node at level l maps 64^(l+1) chunks.
        chunks = level + 1 >= 11 ? L.chunks : uint64_t(1) << (6 * (level + 1));
        first_chunk = index > L.chunks / chunks ? L.chunks : index * chunks;
        break;
    case kTypeBitmap:
        d.part = V3DamagedPart::allocation_bitmap;
        break;
    case kTypeSector0:
        d.part = V3DamagedPart::sector0;
        d.length = 512;
        break;
    default:
        d.part = V3DamagedPart::data_chunk;
        first_chunk = index;
        chunks = 1;
        break;
    }
    if (chunks != 0 && first_chunk < L.chunks) {
        d.first_byte = first_chunk * L.chunk_size;
        uint64_t end = chunks > L.chunks - first_chunk ? L.virtual_size
                                                       : (first_chunk + chunks) * L.chunk_size;
        d.length = (end < L.virtual_size ? end : L.virtual_size) - d.first_byte;
    }
    s->damage = d;
    return error;
}

int read_node(V3Store *s, const BlockRef &ref, uint8_t type, uint32_t level, uint64_t index,
              uint64_t end_used, bool use_dirty, const uint8_t **out) {
    int rc = read_node_checked(s, ref, type, level, index, end_used, use_dirty, out);
    return note_damage(s, type, level, index, rc);
}

DirtyNode *dirty_find(V3Store *s, uint8_t type, uint32_t level, uint64_t index) {
    auto it = s->txn->by_key.find(dirty_key(type, level, index));
    return it == s->txn->by_key.end() ? nullptr : it->second;
}

int set_child_ref(V3Store *s, uint8_t type, uint32_t child_level, uint64_t child_index,
                  const BlockRef &ref) {
    Transaction *t = s->txn;
    if (child_level == depth_of(s->layout, type)) {
        (type == kTypeMap ? t->state.map_root : t->state.bitmap_root) = ref;
    } else {
        DirtyNode *parent = dirty_find(s, type, child_level + 1, child_index / 64);
        if (!parent)
            return -EILSEQ;
        ref_encode(ref, parent->data + kRefSize * (child_index % 64));
    }
    if (DirtyNode *d = dirty_find(s, type, child_level, child_index))
        d->ref = ref;
    return 0;
}

int node_make_dirty(V3Store *s, uint8_t type, uint32_t level, uint64_t index, DirtyNode **out) {
    Transaction *t = s->txn;
    if (DirtyNode *d = dirty_find(s, type, level, index)) {
        *out = d;
        return 0;
    }
    // The parent goes first: it holds the reference that will point here.
    BlockRef ref;
    if (level == depth_of(s->layout, type)) {
        ref = type == kTypeMap ? t->state.map_root : t->state.bitmap_root;
    } else {
        DirtyNode *parent;
        int rc = node_make_dirty(s, type, level + 1, index / 64, &parent);
        if (rc)
            return rc;
        ref_decode(parent->data + kRefSize * (index % 64), &ref);
    }
    if (t->nodes.size() >= kMaxDirtyNodes)
        return -E2BIG;
    const uint8_t *data;
    int rc = read_node(s, ref, type, level, index, t->state.end_used, true, &data);
    if (rc)
        return rc;
    auto node = std::make_unique<DirtyNode>();
    node->type = type;
    node->level = level;
    node->index = index;
    std::memcpy(node->data, data, kV3NodeSize);
    BlockRef fresh{};
    fresh.length = kV3NodeSize;
    if (type == kTypeMap) {
        uint64_t first;
        rc = bitmap_allocate(s, kV3NodeSize / 512, &first);
        if (rc == 0 && ref.offset != 0)
            rc = release_extent(s, ref.offset, kV3NodeSize);
        if (rc)
            return rc;
        fresh.offset = s->layout.data_offset + 512 * first;
        t->state.end_used = std::max(t->state.end_used, fresh.offset + kV3NodeSize);
    } else {
        fresh.info = ref.info;
        BlockRef other;
        rc = other_copy_bitmap_ref(s, level, index, &other);
        if (rc)
            return rc;
        for (int slot = 0; slot < 3; ++slot) {
            uint64_t offset = bitmap_slot_offset(s->layout, level, index, slot);
            if (offset != ref.offset && offset != other.offset) {
                fresh.offset = offset;
                break;
            }
        }
    }
    node->ref = fresh;
    DirtyNode *d = node.get();
    t->nodes.push_back(std::move(node));
    t->by_key[dirty_key(type, level, index)] = d;
    t->by_offset[fresh.offset] = d;
    *out = d;
    return set_child_ref(s, type, level, index, fresh);
}

} // namespace tw::v3
