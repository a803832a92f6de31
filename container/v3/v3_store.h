// The chunked, authenticated v3 container layout (format kind 7).
//
// The virtual disk is stored as chunks (4096, 16384 or 65536 bytes), each
// optionally LZ4-compressed, encrypted sector by sector and authenticated with
// HMAC-SHA256. Chunks are found through a 64-ary chunk map; space is tracked
// by a tree of allocation bitmaps; every change is copy-on-write and becomes
// visible only when one of the two root-header copies is rewritten, so a crash
// always leaves the previous generation readable.
//
// The store does not know the Container object: data ciphers come in through
// a callback over runs of 512-byte units. One thread uses a store at a time.
// Functions return 0 or a negative errno unless stated otherwise.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tw {

struct V3Store;

inline constexpr uint32_t kV3HeaderSize = 4096;
inline constexpr uint32_t kV3NodeSize = 4096;
inline constexpr uint32_t kV3MaxDepth = 10;

// Transforms `count` consecutive 512-byte units in place, numbered from
// `first_sector`. Sector number 0 is the sector-0 block (protected with the
// system key by the caller); other numbers use the data cipher.
// `nonce_prefix` is the chunk's 512-byte nonce prefix (the nonce is its first
// 24 bytes) or null. `direction` is kDecrypt or kEncrypt (container/cipher.h).
using V3CipherFn = int (*)(void *ctx, uint8_t *units, size_t count, uint64_t first_sector,
                           const uint8_t *nonce_prefix, int direction);

// Sizes of the on-disk structures derived from the virtual size, the chunk
// size and the cipher. Both root-header copies must agree with it.
struct V3Layout {
    uint64_t virtual_size;
    uint32_t chunk_size;
    uint32_t cipher;
    uint64_t chunks;
    uint32_t map_depth; // levels - 1
    uint64_t map_level_nodes[kV3MaxDepth];
    uint64_t map_nodes;
    uint64_t total_sectors; // physical sectors of the data area
    uint32_t bitmap_depth;
    uint64_t bitmap_level_nodes[kV3MaxDepth];
    uint64_t bitmap_level_first[kV3MaxDepth];    // global number of the level's first node
    uint64_t bitmap_level_coverage[kV3MaxDepth]; // sectors covered by one node of the level
    uint64_t bitmap_nodes;
    uint64_t data_offset; // byte offset of the data area
};

// Computes the layout. -EINVAL for a size that is zero, not a multiple of
// 512 or not below 2^63, or an unknown chunk size; -EFBIG when the trees or
// the data area do not fit.
int v3_layout_compute(uint64_t virtual_size, uint32_t chunk_size, uint32_t cipher,
                      V3Layout *layout);

// --- Detection and unlocking ---

// Looks for a v3 root header at file offset 0 or 4096 and validates both
// copies structurally. Returns 0 when the file is not v3; 1 when it is, with
// *store (owned by the caller, release with v3_close), the virtual size and
// the cipher filled in; or a negative errno: -ENOTSUP when no copy is valid
// and some copy carries unsupported values, -EINVAL when no copy is valid,
// -EXDEV for a version-8 container outside a local durable volume, -EIO on a
// short read, -ENOMEM.
int v3_detect(int fd, uint64_t file_size, V3Store **store, uint64_t *virtual_size,
              uint32_t *cipher);

// Unlocks a detected store with the password (1..4096 bytes) and, for
// version-8 containers, the 32-byte keyfile secret (else null). On success the
// 64-byte data key goes to `data_key` (caller's locked memory). -EBUSY while
// writes are pending, -ENOTSUP for a keyfile secret without a version-8 copy,
// -ENODATA for a version-8 container without a keyfile secret, -EACCES when no
// copy authenticates, -EILSEQ for inconsistent copies or damaged roots.
// Afterwards the store's parameters (version, cipher, sizes) are those of the
// copy that authenticated, which may differ from what detection reported when
// the other copy is damaged.
int v3_authenticate(V3Store *store, const uint8_t *password, size_t password_length,
                    const uint8_t *keyfile_secret, uint8_t data_key[64]);

// Creates a new container in the empty regular file `fd`: version 7, or 8
// (which forces cipher 9 and needs the keyfile secret). The store comes back
// unlocked with the open-for-writing flag set in both header copies; finish
// with v3_end_writes. -EINVAL for an unavailable cipher, a file that is not
// empty or bad arguments; -EFBIG for a size the layout cannot hold; -EXDEV
// for version 8 outside a local durable volume.
int v3_create(int fd, uint64_t virtual_size, uint32_t cipher, uint32_t chunk_size, bool compress,
              const uint8_t *password, size_t password_length, const uint8_t *keyfile_secret,
              uint32_t version, V3Store **store, uint8_t data_key[64]);

// 0, or -ENOSPC when the volume of `fd` has less free space than a container
// of this virtual size may need (chunk size 16384, AES-XTS).
int v3_space_check(int fd, uint64_t virtual_size);

// --- Data ---

// Reads `length` bytes at virtual byte `offset` (-EINVAL outside the size).
int v3_read(V3Store *store, V3CipherFn cipher, void *cipher_ctx, uint8_t *buffer, size_t length,
            uint64_t offset);

// Writes `length` bytes at virtual byte `offset` (-EINVAL outside the size).
// Commits on return unless deferred-commit mode is on.
int v3_write(V3Store *store, V3CipherFn cipher, void *cipher_ctx, const uint8_t *data,
             size_t length, uint64_t offset);

// Publishes the open transaction (nothing without one).
int v3_commit(V3Store *store);

// Sets the open-for-writing flag (versions 5, 7, 8; once per store). -EACCES
// for a locked store, -EROFS unless both copies are valid and the flag is
// clear. Other versions: nothing.
int v3_begin_writes(V3Store *store);

// Takes over the open-for-writing flag a crashed writer left set (repair of
// an interrupted session): the store then counts as the writer that set it,
// so v3_end_writes clears it. -EACCES for a locked store; -EROFS unless the
// version uses the flag (5, 7, 8), both copies are valid and the current
// copy has the flag set.
int v3_resume_writes(V3Store *store);

// Commits, then clears the flag this store set. -EILSEQ when either copy then
// lacks a sector-0 block.
int v3_end_writes(V3Store *store);

// Deferred-commit mode: a write does not commit by itself; a transaction is
// published when it holds 32 chunk writes or on v3_commit.
void v3_set_deferred_commit(V3Store *store, bool on);
// No-flush mode: commits skip their flush barriers (filling a new container).
void v3_set_no_flush(V3Store *store, bool on);

// --- State ---

// True unless both copies are valid and no other writer left the
// open-for-writing flag set in the current copy.
bool v3_recovery_needed(const V3Store *store);
// True when either header copy is a valid version-8 copy, whichever copy is
// current: a store of that form is only whole when its current copy is
// version 8 and needs no recovery.
bool v3_has_version8_copy(const V3Store *store);
bool v3_open_for_writing(const V3Store *store);
// True when both root-header copies are valid (authenticated once unlocked).
bool v3_copies_valid(const V3Store *store);
uint32_t v3_chunk_size(const V3Store *store);
bool v3_compressed(const V3Store *store);
// The format version (3..8) of a detected store.
uint32_t v3_version(const V3Store *store);
// The data cipher and virtual disk size of the current copy.
uint32_t v3_cipher(const V3Store *store);
uint64_t v3_virtual_size(const V3Store *store);
// The first error of a failed write or commit that blocks the store, or 0.
int v3_sticky_error(const V3Store *store);

// The first damaged block a read of this store met: a block that failed its
// authentication or its structural checks. The byte range is the part of the
// virtual disk that the block holds or maps (empty for allocation-bitmap
// nodes, which only writes need).
enum class V3DamagedPart : int { none, chunk_map, allocation_bitmap, data_chunk, sector0 };
struct V3Damage {
    V3DamagedPart part = V3DamagedPart::none;
    uint64_t index = 0; // chunk number, or the node's index within its level
    uint32_t level = 0; // tree level of a node
    uint64_t first_byte = 0;
    uint64_t length = 0;
};
V3Damage v3_damage(const V3Store *store);
void v3_damage_clear(V3Store *store);

// For a file that did not open as v3 although it carries the v3 magic: 1 when
// a header copy would be valid if the file were long enough (the file was
// cut short), 0 when both copies are damaged, -ENOENT when the file has no
// v3 magic, or a read error.
int v3_diagnose_header(int fd, uint64_t file_size);

// Wipes and releases the store. Null is accepted.
void v3_close(V3Store *store);

} // namespace tw
