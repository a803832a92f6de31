// Internal structures of the v3 store, shared by its implementation files and
// its tests and fuzz targets. Not for other callers: use container/v3_store.h.
#pragma once

#include "container/cipher/cipher.h"
#include "container/v3/v3_store.h"

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <unordered_map>
#include <vector>

struct evp_mac_ctx_st;

namespace tw {

namespace v3 {

inline constexpr uint32_t kMaxDirtyNodes = 1024;
inline constexpr uint32_t kMaxChunkWrites = 32;
inline constexpr uint32_t kMaxExtents = 128;
inline constexpr uint32_t kRefSize = 48;
inline constexpr uint32_t kRefsPerNode = 64;
inline constexpr uint32_t kRefArea = kRefsPerNode * kRefSize; // 3072; the rest of a node is zero
inline constexpr uint32_t kLeafBits = 32768;
inline constexpr uint32_t kMacContextSize = 72;
inline constexpr uint32_t kImmutableSize = 112;
inline constexpr uint32_t kTagOffset = 4064;
inline constexpr uint64_t kSector0Chunk = UINT64_MAX; // chunk number of the sector-0 block

enum BlockType : uint8_t {
    kTypeChunk = 1,
    kTypeMap = 2,
    kTypeBitmap = 3,
    kTypeSector0 = 4,
};

// Header validation outcome of one copy.
enum CopyStatus : int {
    kCopyValid = 0,
    kCopyUnsupported = 1,
    kCopyInvalid = 2,
};

struct BlockRef {
    uint64_t offset;
    uint32_t length;
    uint32_t info;
    uint8_t tag[32];
};

void ref_decode(const uint8_t *bytes, BlockRef *ref);
void ref_encode(const BlockRef &ref, uint8_t *bytes);
// Offset, length and info equal (the tag is not compared).
bool ref_same_place(const BlockRef &a, const BlockRef &b);
bool ref_all_zero(const BlockRef &ref);

struct Extent {
    uint64_t offset;
    uint64_t length;
};

// The mutable part of one header copy.
struct CopyState {
    uint64_t generation;
    uint64_t end_used;
    BlockRef map_root;
    BlockRef bitmap_root;
    BlockRef sector0;
    uint32_t extent_count;
    Extent extents[kMaxExtents];
    uint32_t writing;
};

// Fields of a structurally validated header copy.
struct HeaderFields {
    uint32_t version;
    uint64_t virtual_size;
    uint32_t cipher;
    uint32_t chunk_size;
    uint32_t compression;
    uint8_t salt[32];
    uint8_t id[16];
    V3Layout layout;
    CopyState state;
};

// Validates one 4096-byte copy (index 0 = copy A at offset 0, 1 = copy B)
// and fills `fields` when it is valid.
CopyStatus header_validate(const uint8_t header[kV3HeaderSize], int copy_index, uint64_t file_size,
                           HeaderFields *fields);

// Builds a header from the immutable bytes 0..111 and a state; the tag is
// computed with the MAC key.
int header_build(const uint8_t immutable[kImmutableSize], const CopyState &state,
                 const uint8_t mac_key[32], uint8_t out[kV3HeaderSize]);

// A metadata node modified by the open transaction.
struct DirtyNode {
    uint8_t type;
    uint32_t level;
    uint64_t index;
    BlockRef ref; // new place; the tag is filled in at commit
    uint8_t data[kV3NodeSize];
};

// A data chunk (or the sector-0 block) written by the open transaction.
struct NewChunk {
    uint64_t chunk;
    BlockRef ref;
    std::vector<uint8_t> stored; // encrypted, padded to a multiple of 512
    // With a chunk pool the tag is computed at commit, for all chunks of the
    // transaction at once; until then ref.tag (and the leaf entry) is unset.
    bool tag_owed = false;
};

struct Transaction {
    CopyState state;
    std::vector<std::unique_ptr<DirtyNode>> nodes;
    std::unordered_map<uint64_t, DirtyNode *> by_key;
    std::unordered_map<uint64_t, DirtyNode *> by_offset;
    std::vector<NewChunk> chunks;
    uint32_t chunk_writes;
};

// Last verified node per tree level, keyed by its full reference (tag
// included), so sequential reads do not re-read and re-authenticate the path.
struct NodeCache {
    bool valid;
    uint8_t ref[kRefSize];
    uint64_t index;
    uint8_t data[kV3NodeSize];
};

struct Pool; // worker threads of v3_pool.cpp

// Commit stages reported to the test hook.
enum CommitStage : int {
    kStageChunkWritten = 1, // after each chunk write (argument: chunks written so far)
    kStageNodesWritten = 2, // after all chunks and nodes, before the header
    kStageHeaderWritten = 3 // after the header, before the final flush
};
// Test seam: called at each commit stage when set. Not used by the product.
extern void (*commit_hook)(int stage, uint64_t count);

} // namespace v3

struct V3Store {
    int fd;
    uint64_t file_size;
    int sticky;
    bool unlocked;
    bool valid[2];            // copies authenticated or written by this store
    v3::CopyStatus status[2]; // structural validation at detection
    int current;
    bool deferred;
    bool no_flush;
    bool writing; // the open-for-writing flag was set by this store
    bool begun;   // v3_begin_writes ran (or the store was created)
    uint32_t version;
    uint32_t cipher;
    uint32_t chunk_size;
    uint32_t compression;
    uint32_t cap;    // summary cap: 128 up to version 5, 129 above
    uint32_t prefix; // bytes of nonce prefix per data chunk: 512 or 0
    uint64_t virtual_size;
    V3Layout layout;
    uint8_t header[2][kV3HeaderSize];
    v3::HeaderFields fields[2];
    v3::CopyState copy[2];
    uint8_t mac_key[32];
    uint8_t id[16];
    evp_mac_ctx_st *mac; // keyed with mac_key
    CipherContext *sector0_key;
    v3::Transaction *txn;
    v3::NodeCache cache[2][kV3MaxDepth]; // [map, bitmap][level]
    // Scratch in locked memory: plaintext, stored block, LZ4 state.
    uint8_t *plain;
    uint8_t *block;
    uint8_t *lz4_state;
    size_t scratch_size;
    size_t lz4_size;
    V3Damage damage; // the first damaged block reads met
    // Buffers of committed or discarded chunks, reused by later transactions
    // (they only ever hold encrypted bytes).
    std::vector<std::vector<uint8_t>> spare_buffers;
    v3::Pool *pool; // worker threads for batches of chunks (v3_pool.h), or null
};

namespace v3 {

// Store memory and keys.
V3Store *store_alloc();
int store_prepare_scratch(V3Store *s);
int store_set_mac_key(V3Store *s, const uint8_t key[32]);
// Loads fields of copy `index` as the store's parameters.
void store_load_fields(V3Store *s, const HeaderFields &f);

// Tag of a block: HMAC over the MacContext and the stored bytes.
int block_tag(V3Store *s, uint8_t type, uint32_t level, uint64_t index, const BlockRef &ref,
              const uint8_t *first, size_t first_length, const uint8_t *second,
              size_t second_length, uint8_t tag[32]);
// The same with another HMAC context keyed with the store's MAC key (a
// worker thread's own copy).
int block_tag_with(evp_mac_ctx_st *mac, const V3Store *s, uint8_t type, uint32_t level,
                   uint64_t index, const BlockRef &ref, const uint8_t *first, size_t first_length,
                   const uint8_t *second, size_t second_length, uint8_t tag[32]);

// The summary info word of an untouched bitmap node and its absent reference.
uint32_t absent_bitmap_summary(const V3Layout &layout, uint32_t cap, uint32_t level,
                               uint64_t index);
// Contents of an untouched node.
void absent_node(const V3Layout &layout, uint32_t cap, uint8_t type, uint32_t level, uint64_t index,
                 uint8_t out[kV3NodeSize]);
// Padding and summary rules of a node's contents (no authentication).
int node_check_contents(const V3Layout &layout, uint32_t cap, uint8_t type, uint32_t level,
                        uint64_t index, const uint8_t data[kV3NodeSize]);
// Structural rules of a node reference.
int node_check_ref(const V3Layout &layout, uint32_t cap, uint8_t type, uint32_t level,
                   uint64_t index, const BlockRef &ref);
uint64_t bitmap_slot_offset(const V3Layout &layout, uint32_t level, uint64_t index, int slot);

// Records a damaged block (the first one only) and returns `error`.
int note_damage(V3Store *s, uint8_t type, uint32_t level, uint64_t index, int error);

// Reads and verifies a node. `*out` points into the transaction or the cache
// and stays valid until the next read at the same type and level.
int read_node(V3Store *s, const BlockRef &ref, uint8_t type, uint32_t level, uint64_t index,
              uint64_t end_used, bool use_dirty, const uint8_t **out);

// The state reads go through: the transaction's, else the current copy's.
const CopyState &view_state(const V3Store *s);

// Chunk references.
int chunk_ref_get(V3Store *s, uint64_t chunk, BlockRef *ref);
int chunk_ref_check(const V3Store *s, uint64_t chunk, const BlockRef &ref, uint64_t end_used);
uint64_t chunk_plain_length(const V3Store *s, uint64_t chunk);
uint64_t chunk_first_sector(const V3Store *s, uint64_t chunk);
// The part of one chunk that a byte range starting at `offset` covers.
struct ChunkPiece {
    uint64_t chunk;
    uint64_t within; // offset inside the chunk's plaintext
    size_t length;
};
ChunkPiece chunk_piece(const V3Store *s, uint64_t offset, size_t length);
// Checks shared by reads and writes: unlocked, no sticky error, in range.
int access_check(const V3Store *s, uint64_t offset, size_t length);
// The immutable bytes 0..111 of a header with these fields.
void header_immutable(const HeaderFields &f, uint8_t out[kImmutableSize]);
// Decrypted contents of a chunk into `out` (chunk_plain_length bytes).
int chunk_read_plain(V3Store *s, V3CipherFn cipher, void *cipher_ctx, uint64_t chunk,
                     const BlockRef &ref, uint8_t *out);

// Transactions and the bitmap.
int txn_open(V3Store *s);
void txn_discard(V3Store *s);
DirtyNode *dirty_find(V3Store *s, uint8_t type, uint32_t level, uint64_t index);
int node_make_dirty(V3Store *s, uint8_t type, uint32_t level, uint64_t index, DirtyNode **out);
int bitmap_allocate(V3Store *s, uint32_t sectors, uint64_t *first);
int bitmap_mark(V3Store *s, uint64_t first, uint64_t count, bool allocate);
int release_extent(V3Store *s, uint64_t offset, uint64_t length);
// Sets the reference of a node in its parent (or the root in the header state).
int set_child_ref(V3Store *s, uint8_t type, uint32_t child_level, uint64_t child_index,
                  const BlockRef &ref);
int fail(V3Store *s, int rc);

// The file writes of one commit, in the order they reach the file: the
// chunks, the metadata nodes, the file's length (at least `end_used`), then
// the header copy. The chunk buffers hold only encrypted bytes.
struct CommitWrites {
    std::vector<uint64_t> chunk_offsets;
    std::vector<std::vector<uint8_t>> chunks;
    std::vector<uint64_t> node_offsets;
    std::vector<uint8_t> nodes; // kV3NodeSize bytes per offset
    uint64_t end_used;
    uint64_t header_offset;
    uint8_t header[kV3HeaderSize];
};
// Performs them with the same system calls as a commit written at once.
int commit_writes_apply(int fd, const CommitWrites &w);

// Write-behind (v3_pool_write_behind): whether commits go to the pool's
// writing thread; handing one commit over (waits while two are pending, and
// returns the first error of an earlier one); waiting until every handed-over
// write is in the file, which every read of the file does first.
bool write_behind_on(const V3Store *s);
int write_behind_queue(V3Store *s, CommitWrites &&w);
int write_behind_wait(V3Store *s);

// Little-endian field access (the host is little-endian, checked at compile time).
static_assert(std::endian::native == std::endian::little);
inline uint32_t get32(const uint8_t *p) {
    uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
}
inline uint64_t get64(const uint8_t *p) {
    uint64_t v;
    std::memcpy(&v, p, 8);
    return v;
}
inline void put32(uint8_t *p, uint32_t v) {
    std::memcpy(p, &v, 4);
}
inline void put64(uint8_t *p, uint64_t v) {
    std::memcpy(p, &v, 8);
}
inline bool all_zero(const uint8_t *p, size_t length) {
    // The first byte, then every byte against its neighbour: one vectorised
    // memcmp instead of a byte loop over whole chunks of zeros.
    return length == 0 || (p[0] == 0 && std::memcmp(p, p + 1, length - 1) == 0);
}

inline uint64_t round_up_512(uint64_t n) {
    return (n + 511) & ~uint64_t(511);
}
inline uint64_t ceil_div(uint64_t a, uint64_t b) {
    return a / b + (a % b != 0);
}

} // namespace v3
} // namespace tw
