// Unlocking and creating v3 containers, and the free-space check before a
// creation.
#include "container/keys/keys.h"
#include "container/v3/v3_internal.h"
#include "platform/files.h"
#include "platform/secure_memory.h"
#include "runtime/random.h"

#include <cerrno>
#include <cstring>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tw {

using namespace v3;

namespace {

constexpr uint8_t kRootLabel[8] = {'Z', 'C', 'X', '3', 'R', 'O', 'O', 'T'};

// Key material (96 bytes) and, for versions 5..8, the network boot key by
// the version's derivation.
int derive_for_version(uint32_t version, const uint8_t *password, size_t password_length,
                       const uint8_t *keyfile_secret, const uint8_t salt[32],
                       uint8_t key_material[kKeyMaterialSize], uint8_t *network_boot_key) {
    switch (version) {
    case 3:
        return derive_pbkdf2_keys(password, password_length, salt, key_material);
    case 4:
        return derive_storage_keys(password, password_length, salt, key_material);
    case 8:
        return derive_keyfile_keys(password, password_length, keyfile_secret, salt, key_material,
                                   network_boot_key);
    default:
        return derive_storage_keys(password, password_length, salt, key_material, network_boot_key);
    }
}

// Forgets every key so that the store is back to "detected".
void forget_keys(V3Store *s) {
    secure_wipe(s->mac_key, sizeof s->mac_key);
    if (s->mac)
        EVP_MAC_CTX_free(s->mac);
    s->mac = nullptr;
    cipher_context_destroy(s->sector0_key);
    s->sector0_key = nullptr;
    s->unlocked = false;
    s->valid[0] = s->valid[1] = false;
    for (auto &level : s->cache)
        for (NodeCache &c : level)
            c.valid = false;
}

int set_keys(V3Store *s, const uint8_t *key_material, const uint8_t *network_boot_key) {
    int rc = store_set_mac_key(s, key_material + kMacKeyOffset);
    if (rc)
        return rc;
    if (s->version >= 5) {
        s->sector0_key = cipher_context_create();
        if (!s->sector0_key)
            return -ENOMEM;
        rc = cipher_setup(s->sector0_key, kCipherAesXts, network_boot_key, kNetworkBootKeySize);
        if (rc)
            return rc;
    }
    return store_prepare_scratch(s);
}

} // namespace

int v3_authenticate(V3Store *s, const uint8_t *password, size_t password_length,
                    const uint8_t *keyfile_secret, uint8_t data_key[64]) {
    if (!s || !password)
        return -EINVAL;
    if (s->txn || s->begun)
        return -EBUSY;
    forget_keys(s);
    bool take[2], has_v8 = false;
    for (int c = 0; c < 2; ++c) {
        const bool valid = s->status[c] == kCopyValid;
        const bool v8 = valid && s->fields[c].version == 8;
        has_v8 = has_v8 || v8;
        take[c] = valid && (keyfile_secret != nullptr) == v8;
    }
    if (keyfile_secret && !has_v8)
        return -ENOTSUP;
    SecureBuffer material[2] = {SecureBuffer(kKeyMaterialSize), SecureBuffer(kKeyMaterialSize)};
    SecureBuffer boot[2] = {SecureBuffer(kNetworkBootKeySize), SecureBuffer(kNetworkBootKeySize)};
    for (int c = 0; c < 2; ++c)
        if (!material[c].valid() || !boot[c].valid())
            return -ENOMEM;
    bool derived[2] = {false, false}, authentic[2] = {false, false};
    for (int c = 0; c < 2; ++c) {
        if (!take[c])
            continue;
        const HeaderFields &f = s->fields[c];
        if (c == 1 && derived[0] && f.version == s->fields[0].version &&
            std::memcmp(f.salt, s->fields[0].salt, 32) == 0) {
            std::memcpy(material[1].data(), material[0].data(), kKeyMaterialSize);
            std::memcpy(boot[1].data(), boot[0].data(), kNetworkBootKeySize);
        } else {
            int rc =
                derive_for_version(f.version, password, password_length, keyfile_secret, f.salt,
                                   material[c].data(), f.version >= 5 ? boot[c].data() : nullptr);
            if (rc)
                return rc;
        }
        derived[c] = true;
        uint8_t tag[32];
        int rc = hmac_sha256(material[c].data() + kMacKeyOffset, {kRootLabel, 8},
                             {s->header[c], kTagOffset}, tag);
        if (rc)
            return rc;
        authentic[c] = tags_equal(tag, s->header[c] + kTagOffset);
    }
    if (!authentic[0] && !authentic[1])
        return (!take[0] && !take[1] && has_v8 && !keyfile_secret) ? -ENODATA : -EACCES;
    int current;
    if (authentic[0] && authentic[1]) {
        const CopyState &a = s->fields[0].state, &b = s->fields[1].state;
        const bool a_newer = a.generation > b.generation;
        const CopyState &newer = a_newer ? a : b, &older = a_newer ? b : a;
        if (std::memcmp(s->header[0], s->header[1], kImmutableSize) != 0 ||
            newer.generation - older.generation != 1 || newer.end_used < older.end_used)
            return -EILSEQ;
        current = a_newer ? 0 : 1;
    } else {
        current = authentic[0] ? 0 : 1;
    }
    store_load_fields(s, s->fields[current]);
    s->current = current;
    int rc = set_keys(s, material[current].data(), boot[current].data());
    for (int c = 0; c < 2 && rc == 0; ++c) {
        if (!authentic[c])
            continue;
        s->copy[c] = s->fields[c].state;
        s->valid[c] = true;
        const uint8_t *data;
        rc = read_node(s, s->copy[c].map_root, kTypeMap, s->layout.map_depth, 0,
                       s->copy[c].end_used, false, &data);
        if (rc == 0)
            rc = read_node(s, s->copy[c].bitmap_root, kTypeBitmap, s->layout.bitmap_depth, 0,
                           s->copy[c].end_used, false, &data);
    }
    if (rc) {
        forget_keys(s);
        return rc;
    }
    std::memcpy(data_key, material[current].data(), kDataKeySize);
    s->unlocked = true;
    return 0;
}

int v3_create(int fd, uint64_t virtual_size, uint32_t cipher, uint32_t chunk_size, bool compress,
              const uint8_t *password, size_t password_length, const uint8_t *keyfile_secret,
              uint32_t version, V3Store **store, uint8_t data_key[64]) {
    *store = nullptr;
    if (version != 7 && version != 8)
        return -EINVAL;
    if (version == 8) {
        cipher = kCipherAesXts;
        if (!keyfile_secret)
            return -EINVAL;
    }
    if (cipher != kCipherSse1 && cipher != kCipherXor && cipher != kCipherAesXts &&
        cipher != kCipherXChaCha20)
        return -EINVAL;
    FileStatus st;
    if (int error = file_status(fd, &st))
        return error;
    if (st.type != FileType::regular || st.size != 0)
        return -EINVAL;
    if (version == 8 && volume_is_local_durable(fd) != 0)
        return -EXDEV;
    HeaderFields f{};
    int rc = v3_layout_compute(virtual_size, chunk_size, cipher, &f.layout);
    if (rc)
        return rc;
    f.version = version;
    f.virtual_size = virtual_size;
    f.cipher = cipher;
    f.chunk_size = chunk_size;
    f.compression = compress ? 1 : 0;
    if (!random_bytes(f.salt, 32) || !random_bytes(f.id, 16))
        return -EIO;

    uint8_t immutable[kImmutableSize];
    header_immutable(f, immutable);

    SecureBuffer material(kKeyMaterialSize), boot(kNetworkBootKeySize);
    if (!material.valid() || !boot.valid())
        return -ENOMEM;
    rc = derive_for_version(version, password, password_length, keyfile_secret, f.salt,
                            material.data(), boot.data());
    if (rc)
        return rc;
    V3Store *s = store_alloc();
    if (!s)
        return -ENOMEM;
    s->fd = fd;
    store_load_fields(s, f);
    rc = set_keys(s, material.data(), boot.data());

    CopyState &state = f.state;
    state.end_used = f.layout.data_offset;
    state.bitmap_root.info = absent_bitmap_summary(f.layout, s->cap, f.layout.bitmap_depth, 0);
    state.writing = 1;
    // Copy B carries generation 1, copy A generation 2; the bitmap slots
    // between the headers and the data area read as zeros until written.
    if (rc == 0)
        rc = file_set_size(fd, f.layout.data_offset);
    for (int c = 1; c >= 0 && rc == 0; --c) {
        state.generation = c == 1 ? 1 : 2;
        s->fields[c] = f;
        s->copy[c] = state;
        s->status[c] = kCopyValid;
        rc = header_build(immutable, state, s->mac_key, s->header[c]);
        if (rc == 0 && pwrite(fd, s->header[c], kV3HeaderSize, off_t(4096) * c) != kV3HeaderSize)
            rc = errno ? -errno : -EIO;
    }
    if (rc == 0)
        rc = file_flush_data(fd);
    if (rc) {
        v3_close(s);
        return rc;
    }
    s->file_size = f.layout.data_offset;
    s->current = 0;
    s->valid[0] = s->valid[1] = true;
    s->unlocked = true;
    s->begun = true;
    s->writing = true;
    std::memcpy(data_key, material.data(), kDataKeySize);
    *store = s;
    return 0;
}

int v3_space_check(int fd, uint64_t virtual_size) {
    V3Layout layout;
    int rc = v3_layout_compute(virtual_size, 16384, kCipherAesXts, &layout);
    if (rc)
        return rc;
    uint64_t free_bytes = 0;
    rc = free_space(fd, &free_bytes);
    if (rc)
        return rc;
    return free_bytes < layout.data_offset + 512 * layout.total_sectors ? -ENOSPC : 0;
}

} // namespace tw
