#include "container/keys/keys.h"

#include "runtime/text.h"

#include "platform/secure_memory.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <mutex>
#include <new>
#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/kdf.h>

namespace tw {

namespace {

constexpr char kStorageLabel[] = "Tarnwick storage keys v1";
constexpr char kNetworkBootLabel[] = "Tarnwick network boot keys v1";
constexpr char kKeyfileLabel[] = "Tarnwick portable keyfile v1";

// Labels enter the hash without their terminating zero.
template <size_t N>
std::span<const uint8_t> label_bytes(const char (&label)[N]) {
    return {reinterpret_cast<const uint8_t *>(label), N - 1};
}

// The remembered PBKDF2 result of the open memo scope (see kdf_memo_begin).
struct KdfMemo {
    bool valid;
    size_t password_length;
    uint8_t password[kMaxPasswordLength];
    uint8_t salt[kKdfSaltSize];
    uint8_t k[32];
};

std::mutex memo_mutex;
int memo_depth = 0;
KdfMemo *memo = nullptr;

bool memo_take(std::span<const uint8_t> password, std::span<const uint8_t> salt, uint8_t k[32]) {
    std::lock_guard lock(memo_mutex);
    if (memo == nullptr || !memo->valid || memo->password_length != password.size() ||
        CRYPTO_memcmp(memo->password, password.data(), password.size()) != 0 ||
        CRYPTO_memcmp(memo->salt, salt.data(), kKdfSaltSize) != 0)
        return false;
    std::memcpy(k, memo->k, 32);
    return true;
}

void memo_keep(std::span<const uint8_t> password, std::span<const uint8_t> salt,
               const uint8_t k[32]) {
    std::lock_guard lock(memo_mutex);
    if (memo == nullptr || password.size() > sizeof memo->password)
        return;
    memo->password_length = password.size();
    std::memcpy(memo->password, password.data(), password.size());
    std::memcpy(memo->salt, salt.data(), kKdfSaltSize);
    std::memcpy(memo->k, k, 32);
    memo->valid = true;
}

// The algorithm objects are fetched once per process; fetching is the costly
// part of the OpenSSL 3 API and the objects are immutable and thread-safe.
EVP_MAC *hmac_algorithm() {
    static EVP_MAC *mac = EVP_MAC_fetch(nullptr, "HMAC", nullptr);
    return mac;
}

EVP_KDF *hkdf_algorithm() {
    static EVP_KDF *kdf = EVP_KDF_fetch(nullptr, "HKDF", nullptr);
    return kdf;
}

int pbkdf2(std::span<const uint8_t> password, std::span<const uint8_t> salt, uint32_t iterations,
           const EVP_MD *digest, uint8_t *out, size_t out_length) {
    if (password.size() > INT_MAX || salt.size() > INT_MAX || out_length > INT_MAX ||
        out_length == 0 || iterations == 0 || iterations > INT_MAX || !out)
        return -EINVAL;
    // OpenSSL reads nothing through a null pointer of length 0, but it rejects
    // a null password pointer outright; give it a valid empty string instead.
    const char *pass = password.empty() ? "" : reinterpret_cast<const char *>(password.data());
    if (PKCS5_PBKDF2_HMAC(pass, static_cast<int>(password.size()), salt.data(),
                          static_cast<int>(salt.size()), static_cast<int>(iterations), digest,
                          static_cast<int>(out_length), out) != 1) {
        secure_wipe(out, out_length);
        return -EIO;
    }
    return 0;
}

int hkdf(int mode, std::span<const uint8_t> key, std::span<const uint8_t> salt,
         std::span<const uint8_t> info, uint8_t *out, size_t out_length) {
    EVP_KDF *algorithm = hkdf_algorithm();
    if (!algorithm)
        return -EIO;
    EVP_KDF_CTX *ctx = EVP_KDF_CTX_new(algorithm);
    if (!ctx)
        return -EIO;
    char digest[] = "SHA256";
    OSSL_PARAM params[6];
    size_t n = 0;
    params[n++] = OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_DIGEST, digest, 0);
    params[n++] = OSSL_PARAM_construct_int(OSSL_KDF_PARAM_MODE, &mode);
    params[n++] = OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_KEY,
                                                    const_cast<uint8_t *>(key.data()), key.size());
    // An absent salt means HashLen zero bytes, which is what HMAC does with an
    // empty key anyway; an absent info is the empty string.
    if (!salt.empty())
        params[n++] = OSSL_PARAM_construct_octet_string(
            OSSL_KDF_PARAM_SALT, const_cast<uint8_t *>(salt.data()), salt.size());
    if (!info.empty())
        params[n++] = OSSL_PARAM_construct_octet_string(
            OSSL_KDF_PARAM_INFO, const_cast<uint8_t *>(info.data()), info.size());
    params[n] = OSSL_PARAM_construct_end();
    int ok = EVP_KDF_derive(ctx, out, out_length, params);
    EVP_KDF_CTX_free(ctx);
    if (ok != 1) {
        secure_wipe(out, out_length);
        return -EIO;
    }
    return 0;
}

bool password_length_ok(const uint8_t *password, size_t length) {
    return password && length >= 1 && length <= kMaxPasswordLength;
}

} // namespace

int hmac_sha256(const uint8_t key[32], std::span<const uint8_t> first,
                std::span<const uint8_t> second, uint8_t out[32]) {
    EVP_MAC *algorithm = hmac_algorithm();
    if (!algorithm)
        return -EIO;
    EVP_MAC_CTX *ctx = EVP_MAC_CTX_new(algorithm);
    if (!ctx)
        return -EIO;
    char digest[] = "SHA256";
    OSSL_PARAM params[] = {OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, digest, 0),
                           OSSL_PARAM_construct_end()};
    size_t written = 0;
    bool ok = EVP_MAC_init(ctx, key, 32, params) == 1 &&
              (first.empty() || EVP_MAC_update(ctx, first.data(), first.size()) == 1) &&
              (second.empty() || EVP_MAC_update(ctx, second.data(), second.size()) == 1) &&
              EVP_MAC_final(ctx, out, &written, 32) == 1 && written == 32;
    // Freeing the context cleanses the key schedule it holds.
    EVP_MAC_CTX_free(ctx);
    if (!ok) {
        secure_wipe(out, 32);
        return -EIO;
    }
    return 0;
}

bool tags_equal(const uint8_t a[kTagSize], const uint8_t b[kTagSize]) {
    return CRYPTO_memcmp(a, b, kTagSize) == 0;
}

int pbkdf2_sha256(std::span<const uint8_t> password, std::span<const uint8_t> salt,
                  uint32_t iterations, uint8_t *out, size_t out_length) {
    return pbkdf2(password, salt, iterations, EVP_sha256(), out, out_length);
}

int pbkdf2_sha512(std::span<const uint8_t> password, std::span<const uint8_t> salt,
                  uint32_t iterations, uint8_t *out, size_t out_length) {
    return pbkdf2(password, salt, iterations, EVP_sha512(), out, out_length);
}

int hkdf_sha256_extract(std::span<const uint8_t> salt, std::span<const uint8_t> input,
                        uint8_t prk[32]) {
    return hkdf(EVP_KDF_HKDF_MODE_EXTRACT_ONLY, input, salt, {}, prk, 32);
}

int hkdf_sha256_expand(const uint8_t prk[32], std::span<const uint8_t> info, uint8_t *out,
                       size_t out_length) {
    if (out_length == 0 || out_length > 255 * 32)
        return -EINVAL;
    return hkdf(EVP_KDF_HKDF_MODE_EXPAND_ONLY, {prk, 32}, {}, info, out, out_length);
}

int derive_storage_keys(const uint8_t *password, size_t password_length,
                        const uint8_t salt[kKdfSaltSize], uint8_t key_material[kKeyMaterialSize],
                        uint8_t *network_boot_key) {
    if (!password_length_ok(password, password_length)) {
        secure_wipe(key_material, kKeyMaterialSize);
        if (network_boot_key)
            secure_wipe(network_boot_key, kNetworkBootKeySize);
        return -E2BIG;
    }
    // K (bytes 0..31) and PRK (bytes 32..63) never leave locked memory and
    // are wiped when the buffer goes out of scope, on every path.
    SecureBuffer scratch(64);
    if (!scratch.valid()) {
        secure_wipe(key_material, kKeyMaterialSize);
        if (network_boot_key)
            secure_wipe(network_boot_key, kNetworkBootKeySize);
        return -ENOMEM;
    }
    uint8_t *k = scratch.data();
    uint8_t *prk = scratch.data() + 32;
    std::span<const uint8_t> salt_span(salt, kKdfSaltSize);
    const std::span<const uint8_t> password_span(password, password_length);
    int rc = 0;
    if (!memo_take(password_span, salt_span, k)) {
        rc = pbkdf2_sha256(password_span, salt_span, kKdfIterations, k, 32);
        if (rc == 0)
            memo_keep(password_span, salt_span, k);
    }
    if (rc == 0)
        rc = hkdf_sha256_extract(salt_span, {k, 32}, prk);
    if (rc == 0)
        rc = hkdf_sha256_expand(prk, label_bytes(kStorageLabel), key_material, kKeyMaterialSize);
    if (rc == 0 && network_boot_key)
        rc = hkdf_sha256_expand(prk, label_bytes(kNetworkBootLabel), network_boot_key,
                                kNetworkBootKeySize);
    if (rc != 0) {
        secure_wipe(key_material, kKeyMaterialSize);
        if (network_boot_key)
            secure_wipe(network_boot_key, kNetworkBootKeySize);
        return rc;
    }
    return 0;
}

int kdf_memo_begin() {
    std::lock_guard lock(memo_mutex);
    if (memo_depth == 0) {
        void *memory = secure_alloc(sizeof(KdfMemo));
        if (memory == nullptr)
            return -ENOMEM;
        memo = new (memory) KdfMemo{};
    }
    ++memo_depth;
    return 0;
}

void kdf_memo_end() {
    std::lock_guard lock(memo_mutex);
    if (memo_depth == 0 || --memo_depth > 0)
        return;
    secure_free(memo, sizeof(KdfMemo));
    memo = nullptr;
}

int derive_pbkdf2_keys(const uint8_t *password, size_t password_length,
                       const uint8_t salt[kKdfSaltSize], uint8_t key_material[kKeyMaterialSize]) {
    if (!password_length_ok(password, password_length)) {
        secure_wipe(key_material, kKeyMaterialSize);
        return -E2BIG;
    }
    int rc = pbkdf2_sha256({password, password_length}, {salt, kKdfSaltSize}, kKdfIterations,
                           key_material, kKeyMaterialSize);
    if (rc != 0)
        secure_wipe(key_material, kKeyMaterialSize);
    return rc;
}

int derive_keyfile_keys(const uint8_t *password, size_t password_length,
                        const uint8_t keyfile_secret[kKeyfileSecretSize],
                        const uint8_t salt[kKdfSaltSize], uint8_t key_material[kKeyMaterialSize],
                        uint8_t *network_boot_key) {
    int rc = 0;
    if (!password || password_length < 1 || password_length > kMaxPasswordLength ||
        !utf8_is_strict({password, password_length}) || !keyfile_secret)
        rc = -EINVAL;
    SecureBuffer combined(32);
    if (rc == 0 && !combined.valid())
        rc = -ENOMEM;
    if (rc == 0)
        rc = hmac_sha256(keyfile_secret, label_bytes(kKeyfileLabel), {password, password_length},
                         combined.data());
    if (rc == 0)
        rc = derive_storage_keys(combined.data(), 32, salt, key_material, network_boot_key);
    if (rc != 0) {
        secure_wipe(key_material, kKeyMaterialSize);
        if (network_boot_key)
            secure_wipe(network_boot_key, kNetworkBootKeySize);
    }
    return rc;
}

int derive_veracrypt_header_key(const uint8_t *password, size_t password_length,
                                const uint8_t salt[kVeraCryptSaltSize],
                                uint8_t key[kVeraCryptHeaderKeySize]) {
    if (!password || password_length < 1 || password_length > kVeraCryptMaxPasswordLength) {
        secure_wipe(key, kVeraCryptHeaderKeySize);
        return -EINVAL;
    }
    return pbkdf2_sha512({password, password_length}, {salt, kVeraCryptSaltSize},
                         kVeraCryptIterations, key, kVeraCryptHeaderKeySize);
}

bool utf8_is_strict(std::span<const uint8_t> text) {
    return utf8_is_valid(text.data(), text.size());
}

} // namespace tw
