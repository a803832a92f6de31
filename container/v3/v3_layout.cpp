// v3 layout arithmetic, root-header validation and building, detection, and
// the store's lifetime.
#include "container/keys/keys.h"
#include "container/v3/v3_internal.h"
#include "container/v3/v3_pool.h"
#include "platform/files.h"
#include "platform/secure_memory.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <lz4.h>
#include <new>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <unistd.h>

namespace tw {

namespace v3 {

void (*commit_hook)(int stage, uint64_t count) = nullptr;

namespace {

constexpr uint8_t kMagic[8] = {'F', 'Z', 'C', 'X', 'C', 'M', 'P', 0};
constexpr uint8_t kRootLabel[8] = {'Z', 'C', 'X', '3', 'R', 'O', 'O', 'T'};
constexpr uint64_t kTwo63 = uint64_t(1) << 63;

// Node counts per level of a 64-ary tree over `count` items; false when the
// tree would need more than ten levels.
bool tree_levels(uint64_t count, uint64_t levels[kV3MaxDepth], uint32_t *depth, uint64_t *total) {
    uint64_t nodes = ceil_div(count, 64);
    uint32_t n = 0;
    *total = 0;
    for (;;) {
        if (n >= kV3MaxDepth)
            return false;
        levels[n++] = nodes;
        *total += nodes;
        if (nodes == 1)
            break;
        nodes = ceil_div(nodes, 64);
    }
    *depth = n - 1;
    return true;
}

} // namespace

void ref_decode(const uint8_t *bytes, BlockRef *ref) {
    ref->offset = get64(bytes);
    ref->length = get32(bytes + 8);
    ref->info = get32(bytes + 12);
    std::memcpy(ref->tag, bytes + 16, 32);
}

void ref_encode(const BlockRef &ref, uint8_t *bytes) {
    put64(bytes, ref.offset);
    put32(bytes + 8, ref.length);
    put32(bytes + 12, ref.info);
    std::memcpy(bytes + 16, ref.tag, 32);
}

bool ref_same_place(const BlockRef &a, const BlockRef &b) {
    return a.offset == b.offset && a.length == b.length && a.info == b.info;
}

bool ref_all_zero(const BlockRef &ref) {
    return ref.offset == 0 && ref.length == 0 && ref.info == 0 && all_zero(ref.tag, 32);
}

CopyStatus header_validate(const uint8_t h[kV3HeaderSize], int copy_index, uint64_t file_size,
                           HeaderFields *f) {
    if (std::memcmp(h, kMagic, 8) != 0)
        return kCopyInvalid;
    // Values this build does not know how to handle.
    uint32_t version = get32(h + 8);
    uint32_t cipher = get32(h + 64);
    uint32_t compression = get32(h + 72);
    if (version < 3 || version > 8 || get32(h + 12) != 4096 || get32(h + 16) != 512 ||
        get32(h + 20) != kKdfIterations || compression > 1 || !cipher_is_offered(cipher))
        return kCopyUnsupported;
    if ((version == 5 || version == 8) && cipher != kCipherAesXts)
        return kCopyUnsupported;
    if (cipher == kCipherXChaCha20 && version != 6 && version != 7)
        return kCopyUnsupported;
    for (int i = 276; i < 280; ++i)
        if (h[i] > 1)
            return kCopyUnsupported;
    uint32_t flag = get32(h + 276);
    if (flag != 0 && (version == 3 || version == 4 || version == 6))
        return kCopyUnsupported;

    // Everything else is damage.
    if (flag > 1 || !all_zero(h + 76, 4) || !all_zero(h + 280, 8))
        return kCopyInvalid;
    HeaderFields out{};
    out.version = version;
    out.cipher = cipher;
    out.compression = compression;
    out.virtual_size = get64(h + 24);
    out.chunk_size = get32(h + 68);
    std::memcpy(out.salt, h + 32, 32);
    std::memcpy(out.id, h + 80, 16);
    if (v3_layout_compute(out.virtual_size, out.chunk_size, cipher, &out.layout) != 0)
        return kCopyInvalid;
    const V3Layout &L = out.layout;
    if (get64(h + 96) != L.total_sectors || get64(h + 104) != L.data_offset)
        return kCopyInvalid;
    CopyState &st = out.state;
    st.generation = get64(h + 112);
    if (st.generation == 0 || int(st.generation % 2) != copy_index)
        return kCopyInvalid;
    const uint64_t area_end = L.data_offset + 512 * L.total_sectors;
    st.end_used = get64(h + 120);
    if (st.end_used % 512 || st.end_used < L.data_offset || st.end_used > area_end ||
        st.end_used > file_size)
        return kCopyInvalid;
    ref_decode(h + 128, &st.map_root);
    ref_decode(h + 176, &st.bitmap_root);
    ref_decode(h + 224, &st.sector0);
    st.extent_count = get32(h + 272);
    st.writing = flag;
    if (st.extent_count > kMaxExtents)
        return kCopyInvalid;
    const uint64_t max_extent = out.chunk_size + (cipher == kCipherXChaCha20 ? 512 : 0);
    for (uint32_t i = 0; i < st.extent_count; ++i) {
        Extent &e = st.extents[i];
        e.offset = get64(h + 288 + 16 * i);
        e.length = get64(h + 296 + 16 * i);
        if (e.offset < L.data_offset || e.offset > area_end || e.offset % 512 || e.length == 0 ||
            e.length % 512 || e.length > max_extent || e.length > st.end_used ||
            e.offset > st.end_used - e.length)
            return kCopyInvalid;
    }
    Extent sorted[kMaxExtents];
    std::copy(st.extents, st.extents + st.extent_count, sorted);
    std::sort(sorted, sorted + st.extent_count,
              [](const Extent &a, const Extent &b) { return a.offset < b.offset; });
    for (uint32_t i = 1; i < st.extent_count; ++i)
        if (sorted[i - 1].offset + sorted[i - 1].length > sorted[i].offset)
            return kCopyInvalid;
    const size_t used = 288 + 16 * size_t(st.extent_count);
    if (!all_zero(h + used, kTagOffset - used))
        return kCopyInvalid;
    if (f)
        *f = out;
    return kCopyValid;
}

void header_immutable(const HeaderFields &f, uint8_t out[kImmutableSize]) {
    std::memset(out, 0, kImmutableSize);
    std::memcpy(out, kMagic, 8);
    put32(out + 8, f.version);
    put32(out + 12, kV3HeaderSize);
    put32(out + 16, 512);
    put32(out + 20, kKdfIterations);
    put64(out + 24, f.virtual_size);
    std::memcpy(out + 32, f.salt, 32);
    put32(out + 64, f.cipher);
    put32(out + 68, f.chunk_size);
    put32(out + 72, f.compression);
    std::memcpy(out + 80, f.id, 16);
    put64(out + 96, f.layout.total_sectors);
    put64(out + 104, f.layout.data_offset);
}

int header_build(const uint8_t immutable[kImmutableSize], const CopyState &st,
                 const uint8_t mac_key[32], uint8_t out[kV3HeaderSize]) {
    std::memset(out, 0, kV3HeaderSize);
    std::memcpy(out, immutable, kImmutableSize);
    put64(out + 112, st.generation);
    put64(out + 120, st.end_used);
    ref_encode(st.map_root, out + 128);
    ref_encode(st.bitmap_root, out + 176);
    ref_encode(st.sector0, out + 224);
    put32(out + 272, st.extent_count);
    put32(out + 276, st.writing);
    for (uint32_t i = 0; i < st.extent_count; ++i) {
        put64(out + 288 + 16 * i, st.extents[i].offset);
        put64(out + 296 + 16 * i, st.extents[i].length);
    }
    return hmac_sha256(mac_key, {kRootLabel, 8}, {out, kTagOffset}, out + kTagOffset);
}

V3Store *store_alloc() {
    bool locked = false;
    void *memory = secure_alloc(sizeof(V3Store), &locked);
    if (!memory)
        return nullptr;
    V3Store *s = new (memory) V3Store{};
    s->fd = -1;
    return s;
}

int store_prepare_scratch(V3Store *s) {
    if (s->plain)
        return 0;
    s->scratch_size = s->chunk_size + 1024;
    s->lz4_size = size_t(LZ4_sizeofState());
    s->plain = static_cast<uint8_t *>(secure_alloc(s->scratch_size));
    s->block = static_cast<uint8_t *>(secure_alloc(s->scratch_size));
    s->lz4_state = static_cast<uint8_t *>(secure_alloc(s->lz4_size));
    if (!s->plain || !s->block || !s->lz4_state)
        return -ENOMEM;
    return 0;
}

int store_set_mac_key(V3Store *s, const uint8_t key[32]) {
    std::memcpy(s->mac_key, key, 32);
    if (s->mac)
        EVP_MAC_CTX_free(s->mac);
    s->mac = nullptr;
    EVP_MAC *algorithm = EVP_MAC_fetch(nullptr, "HMAC", nullptr);
    if (!algorithm)
        return -EIO;
    s->mac = EVP_MAC_CTX_new(algorithm);
    EVP_MAC_free(algorithm);
    if (!s->mac)
        return -EIO;
    char digest[] = "SHA256";
    OSSL_PARAM params[] = {OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, digest, 0),
                           OSSL_PARAM_construct_end()};
    if (EVP_MAC_init(s->mac, s->mac_key, 32, params) != 1)
        return -EIO;
    return 0;
}

void store_load_fields(V3Store *s, const HeaderFields &f) {
    s->version = f.version;
    s->cipher = f.cipher;
    s->chunk_size = f.chunk_size;
    s->compression = f.compression;
    s->virtual_size = f.virtual_size;
    s->layout = f.layout;
    std::memcpy(s->id, f.id, 16);
    s->cap = f.version <= 5 ? 128 : 129;
    s->prefix = (f.version >= 6 && f.cipher == kCipherXChaCha20) ? 512 : 0;
}

int block_tag(V3Store *s, uint8_t type, uint32_t level, uint64_t index, const BlockRef &ref,
              const uint8_t *first, size_t first_length, const uint8_t *second,
              size_t second_length, uint8_t tag[32]) {
    return block_tag_with(s->mac, s, type, level, index, ref, first, first_length, second,
                          second_length, tag);
}

int block_tag_with(evp_mac_ctx_st *mac, const V3Store *s, uint8_t type, uint32_t level,
                   uint64_t index, const BlockRef &ref, const uint8_t *first, size_t first_length,
                   const uint8_t *second, size_t second_length, uint8_t tag[32]) {
    uint8_t context[kMacContextSize] = {'Z', 'C', 'X', '3', 'R', 'E', 'F', 0};
    std::memcpy(context + 8, s->id, 16);
    put64(context + 24, s->virtual_size);
    put32(context + 32, s->chunk_size);
    put32(context + 36, s->cipher);
    context[40] = type;
    put32(context + 44, level);
    put64(context + 48, index);
    put64(context + 56, ref.offset);
    put32(context + 64, ref.length);
    put32(context + 68, ref.info);
    // Re-initialising with no key keeps the key schedule set up at unlock.
    size_t written = 0;
    bool ok = mac && EVP_MAC_init(mac, nullptr, 0, nullptr) == 1 &&
              EVP_MAC_update(mac, context, sizeof context) == 1 &&
              (first_length == 0 || EVP_MAC_update(mac, first, first_length) == 1) &&
              (second_length == 0 || EVP_MAC_update(mac, second, second_length) == 1) &&
              EVP_MAC_final(mac, tag, &written, 32) == 1 && written == 32;
    return ok ? 0 : -EIO;
}

} // namespace v3

using namespace v3;

int v3_layout_compute(uint64_t S, uint32_t C, uint32_t cipher, V3Layout *out) {
    V3Layout L{};
    *out = L;
    if (S == 0 || S % 512 || S >= kTwo63 || (C != 4096 && C != 16384 && C != 65536))
        return -EINVAL;
    L.virtual_size = S;
    L.chunk_size = C;
    L.cipher = cipher;
    L.chunks = ceil_div(S, C);
    if (!tree_levels(L.chunks, L.map_level_nodes, &L.map_depth, &L.map_nodes))
        return -EFBIG;
    const bool xchacha = cipher == kCipherXChaCha20;
    const uint64_t nonces = xchacha ? L.chunks : 0;
    const uint64_t slack = 256 * (C / 512 + (xchacha ? 1 : 0));
    L.total_sectors = S / 512 + 8 * L.map_nodes + nonces + slack;
    if (L.total_sectors >= (uint64_t(1) << 54))
        return -EFBIG;
    uint64_t leaves = ceil_div(L.total_sectors, kLeafBits);
    uint32_t n = 0;
    L.bitmap_nodes = 0;
    for (uint64_t nodes = leaves;; nodes = ceil_div(nodes, 64)) {
        if (n >= kV3MaxDepth)
            return -EFBIG;
        L.bitmap_level_first[n] = L.bitmap_nodes;
        L.bitmap_level_nodes[n] = nodes;
        L.bitmap_level_coverage[n] = uint64_t(kLeafBits) << (6 * n);
        L.bitmap_nodes += nodes;
        ++n;
        if (nodes == 1)
            break;
    }
    L.bitmap_depth = n - 1;
    for (uint32_t k = n; k < kV3MaxDepth; ++k)
        L.bitmap_level_nodes[k] = 0;
    if (L.bitmap_nodes > (kTwo63 - 8704) / 12288 ||
        (kTwo63 - 8704 - 12288 * L.bitmap_nodes) / 512 < L.total_sectors)
        return -EFBIG;
    L.data_offset = 8192 + 12288 * L.bitmap_nodes;
    *out = L;
    return 0;
}

int v3_detect(int fd, uint64_t file_size, V3Store **store, uint64_t *virtual_size,
              uint32_t *cipher) {
    *store = nullptr;
    *virtual_size = 0;
    *cipher = kCipherUnset;
    uint8_t magic[8];
    bool found = false;
    if (file_size > 7) {
        if (pread(fd, magic, 8, 0) != 8)
            return -EIO;
        found = std::memcmp(magic, kMagic, 8) == 0;
    }
    if (!found && file_size > 4103) {
        if (pread(fd, magic, 8, 4096) != 8)
            return -EIO;
        found = std::memcmp(magic, kMagic, 8) == 0;
    }
    if (!found)
        return 0;
    V3Store *s = store_alloc();
    if (!s)
        return -ENOMEM;
    s->fd = fd;
    s->file_size = file_size;
    for (int c = 0; c < 2; ++c) {
        s->status[c] = kCopyInvalid;
        if (file_size < uint64_t(4096) * (c + 1))
            continue;
        if (pread(fd, s->header[c], kV3HeaderSize, off_t(4096) * c) != kV3HeaderSize) {
            v3_close(s);
            return -EIO;
        }
        s->status[c] = header_validate(s->header[c], c, file_size, &s->fields[c]);
        if (s->status[c] == kCopyValid)
            s->copy[c] = s->fields[c].state;
    }
    int chosen = s->status[0] == kCopyValid ? 0 : s->status[1] == kCopyValid ? 1 : -1;
    if (chosen < 0) {
        bool unsupported = s->status[0] == kCopyUnsupported || s->status[1] == kCopyUnsupported;
        v3_close(s);
        return unsupported ? -ENOTSUP : -EINVAL;
    }
    store_load_fields(s, s->fields[chosen]);
    s->current = chosen;
    // Version 8 keeps its keyfile-bound container only on a local volume
    // that keeps what it acknowledged.
    if (s->version == 8 && volume_is_local_durable(fd) != 0) {
        v3_close(s);
        return -EXDEV;
    }
    *store = s;
    *virtual_size = s->virtual_size;
    *cipher = s->cipher;
    return 1;
}

uint32_t v3_version(const V3Store *store) {
    return store ? store->version : 0;
}
uint32_t v3_cipher(const V3Store *store) {
    return store ? store->cipher : kCipherUnset;
}
uint64_t v3_virtual_size(const V3Store *store) {
    return store ? store->virtual_size : 0;
}
uint32_t v3_chunk_size(const V3Store *store) {
    return store ? store->chunk_size : 0;
}
bool v3_compressed(const V3Store *store) {
    return store && store->compression == 1;
}
bool v3_recovery_needed(const V3Store *store) {
    // A flag this store did not set means a writer did not finish.
    return !store || !store->valid[0] || !store->valid[1] ||
           (store->copy[store->current].writing != 0 && !store->writing);
}
bool v3_has_version8_copy(const V3Store *store) {
    if (!store)
        return false;
    for (int c = 0; c < 2; ++c)
        if (store->status[c] == kCopyValid && store->fields[c].version == 8)
            return true;
    return false;
}
bool v3_open_for_writing(const V3Store *store) {
    return store && store->copy[store->current].writing != 0;
}
bool v3_copies_valid(const V3Store *store) {
    return store && store->valid[0] && store->valid[1];
}
int v3_sticky_error(const V3Store *store) {
    return store ? store->sticky : 0;
}
V3Damage v3_damage(const V3Store *store) {
    return store ? store->damage : V3Damage{};
}
void v3_damage_clear(V3Store *store) {
    if (store)
        store->damage = V3Damage{};
}

int v3_diagnose_header(int fd, uint64_t file_size) {
    bool magic = false, cut_short = false;
    for (int c = 0; c < 2; ++c) {
        uint8_t header[kV3HeaderSize] = {};
        ssize_t got = pread(fd, header, kV3HeaderSize, off_t(4096) * c);
        if (got < 0)
            return -errno;
        if (got < 8 || std::memcmp(header, kMagic, 8) != 0)
            continue;
        magic = true;
        // Valid once the length the copy records is granted: the file lost
        // its end. A copy cut inside itself is judged by what is left.
        if (header_validate(header, c, UINT64_MAX, nullptr) == kCopyValid &&
            (got < ssize_t(kV3HeaderSize) ||
             header_validate(header, c, file_size, nullptr) != kCopyValid))
            cut_short = true;
    }
    if (!magic)
        return -ENOENT;
    return cut_short ? 1 : 0;
}
void v3_set_deferred_commit(V3Store *store, bool on) {
    store->deferred = on;
}
void v3_set_no_flush(V3Store *store, bool on) {
    store->no_flush = on;
}

void v3_close(V3Store *s) {
    if (!s)
        return;
    v3_pool_stop(s);
    txn_discard(s);
    if (s->mac)
        EVP_MAC_CTX_free(s->mac);
    cipher_context_destroy(s->sector0_key);
    secure_free(s->plain, s->scratch_size);
    secure_free(s->block, s->scratch_size);
    secure_free(s->lz4_state, s->lz4_size);
    s->~V3Store();
    secure_free(s, sizeof(V3Store));
}

} // namespace tw
