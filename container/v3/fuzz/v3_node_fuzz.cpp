// Feeds metadata nodes past authentication: the reference and padding rules
// of chunk-map and bitmap nodes, and first-fit allocation and marking over a
// bitmap tree whose nodes are arbitrary bytes. Nodes are placed in the open
// transaction, where the store uses them without a tag check, so the fuzzer
// reaches the summary and bit rules directly.
#include "container/cipher/cipher.h"
#include "container/v3/v3_internal.h"
#include "container/v3/v3_store.h"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>

namespace {

using namespace tw;

// Layouts with a one-level and a two-level bitmap.
const uint64_t kSizes[2] = {uint64_t(1) << 20, uint64_t(3) << 30};

bool bit_free(const uint8_t *leaf, uint64_t i) {
    return leaf[i / 8] >> (i % 8) & 1;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    // Input: selector byte, allocation size byte, root info (4), then node
    // bytes for the root and, with two levels, leaf 0.
    if (size < 6)
        return 0;
    const int which = data[0] & 1;
    const uint8_t type = (data[0] & 2) ? v3::kTypeMap : v3::kTypeBitmap;
    const uint32_t want = 1 + data[1] % 129;
    const uint32_t root_info = v3::get32(data + 2);
    data += 6;
    size -= 6;

    V3Store *s = v3::store_alloc();
    if (!s)
        return 0;
    s->fd = -1;
    s->version = 7;
    s->cap = 129;
    s->chunk_size = 4096;
    s->cipher = kCipherAesXts;
    s->virtual_size = kSizes[which];
    if (v3_layout_compute(kSizes[which], 4096, kCipherAesXts, &s->layout) != 0)
        __builtin_trap();
    const V3Layout &L = s->layout;

    uint8_t node[kV3NodeSize] = {};
    std::memcpy(node, data, size < sizeof node ? size : sizeof node);
    const uint32_t depth = type == v3::kTypeMap ? L.map_depth : L.bitmap_depth;

    // The pure rules on the root position.
    v3::BlockRef ref{};
    ref.length = kV3NodeSize;
    ref.info = root_info;
    ref.offset = type == v3::kTypeBitmap ? v3::bitmap_slot_offset(L, depth, 0, 1)
                                         : L.data_offset + 512 * (root_info % 64);
    const int ref_rc = v3::node_check_ref(L, s->cap, type, depth, 0, ref);
    const int node_rc = v3::node_check_contents(L, s->cap, type, depth, 0, node);
    uint8_t absent[kV3NodeSize];
    v3::absent_node(L, s->cap, type, depth, 0, absent);
    if (v3::node_check_contents(L, s->cap, type, depth, 0, absent) != 0)
        __builtin_trap();

    if (type == v3::kTypeBitmap && ref_rc == 0 && node_rc == 0) {
        s->txn = new v3::Transaction();
        s->txn->state.end_used = L.data_offset;
        s->txn->state.bitmap_root = ref;
        auto root = std::make_unique<v3::DirtyNode>();
        root->type = v3::kTypeBitmap;
        root->level = depth;
        root->index = 0;
        root->ref = ref;
        std::memcpy(root->data, node, sizeof node);
        v3::DirtyNode *r = root.get();
        s->txn->nodes.push_back(std::move(root));
        s->txn->by_key[uint64_t(v3::kTypeBitmap) << 60 | uint64_t(depth) << 54] = r;
        s->txn->by_offset[ref.offset] = r;
        if (depth == 1 && size > sizeof node) {
            // Leaf 0 from the rest of the input, referenced from entry 0.
            auto leaf = std::make_unique<v3::DirtyNode>();
            leaf->type = v3::kTypeBitmap;
            leaf->level = 0;
            leaf->index = 0;
            const size_t rest = size - sizeof node;
            std::memcpy(leaf->data, data + sizeof node, rest < kV3NodeSize ? rest : kV3NodeSize);
            v3::ref_decode(r->data, &leaf->ref);
            leaf->ref.offset = v3::bitmap_slot_offset(L, 0, 0, 2);
            leaf->ref.length = kV3NodeSize;
            leaf->ref.info &= 0x00ffffff;
            v3::ref_encode(leaf->ref, r->data);
            v3::DirtyNode *l = leaf.get();
            s->txn->nodes.push_back(std::move(leaf));
            s->txn->by_key[uint64_t(v3::kTypeBitmap) << 60] = l;
            s->txn->by_offset[l->ref.offset] = l;
        }
        uint64_t first = 0;
        const int rc = v3::bitmap_allocate(s, want, &first);
        if (rc != 0 && rc != -ENOSPC && rc != -EILSEQ && rc != -E2BIG && rc != -EBADF && rc != -EIO)
            __builtin_trap();
        if (rc == 0) {
            // The run lies in the data area and is now allocated.
            if (first + want > L.total_sectors)
                __builtin_trap();
            if (depth == 0) {
                for (uint64_t i = first; i < first + want; ++i)
                    if (bit_free(r->data, i))
                        __builtin_trap();
            }
            if (v3::bitmap_mark(s, first, want, false) != 0)
                __builtin_trap();
        }
    }
    v3_close(s);
    return 0;
}
