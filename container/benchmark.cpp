// The machine's speed for what containers cost: every measurement runs a
// fixed amount of work a few times and keeps the best pass, so that a short
// run on a busy machine still reports what the hardware can do.
#include "container/benchmark.h"

#include "container/cipher/cipher.h"
#include "container/keys/keys.h"
#include "container/keys/system_key.h"
#include "container/v3/v3_pool.h"
#include "container/v3/v3_store.h"
#include "platform/descriptor.h"
#include "platform/files.h"
#include "platform/secure_memory.h"
#include "runtime/random.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <lz4.h>
#include <vector>

namespace tw {

namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kChunk = 16384;
constexpr size_t kCipherBytes = 8u << 20; // per pass, in 512-byte sectors
constexpr size_t kChunkBytes = 8u << 20;  // per pass, in 16 KiB chunks
constexpr int kPasses = 3;
constexpr uint64_t kV3Bytes = 64u << 20;
constexpr size_t kV3Step = 256 * 1024;

constexpr uint32_t kCiphers[kBenchmarkCiphers] = {kCipherAesXts, kCipherXChaCha20, kCipherSse1,
                                                  kCipherXor};

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

double mb_per_s(uint64_t bytes, double seconds) {
    return seconds > 0 ? double(bytes) / seconds / 1e6 : 0;
}

// Runs `pass` kPasses times; the best rate over `bytes` per pass.
template <typename Pass>
int best_rate(uint64_t bytes, double *rate, Pass pass) {
    double best = 0;
    for (int i = 0; i < kPasses; ++i) {
        const auto start = Clock::now();
        if (int rc = pass())
            return rc;
        best = std::max(best, mb_per_s(bytes, seconds_since(start)));
    }
    *rate = best;
    return 0;
}

// Half random, half repeated text in every 4 KiB: what LZ4 meets in
// ordinary filesystem data.
void fill_half_compressible(uint8_t *data, size_t length) {
    static const char text[] = "Tarnwick keeps whole disk images in encrypted containers. ";
    random_bytes(data, length);
    for (size_t at = 0; at + 4096 <= length; at += 4096)
        for (size_t i = 2048; i < 4096; ++i)
            data[at + i] = uint8_t(text[(i + at / 4096) % (sizeof text - 1)]);
}

int measure_cipher(uint32_t id, uint8_t *data, CipherSpeed *out) {
    SecureBuffer key(kDataKeySize);
    CipherContext *ctx = cipher_context_create();
    if (!key.valid() || ctx == nullptr) {
        cipher_context_destroy(ctx);
        return -ENOMEM;
    }
    if (!random_bytes(key.data(), kDataKeySize)) {
        cipher_context_destroy(ctx);
        return -EIO;
    }
    int rc = cipher_setup(ctx, id, key.data(), cipher_key_length(id));
    uint8_t nonce[kXChaCha20NonceSize] = {1, 2, 3};
    out->cipher = id;
    for (int direction : {kEncrypt, kDecrypt}) {
        double *rate = direction == kEncrypt ? &out->encrypt_mb_per_s : &out->decrypt_mb_per_s;
        if (rc == 0)
            rc = best_rate(kCipherBytes, rate, [&] {
                return cipher_sectors(ctx, 1, kCipherBytes / kSectorSize, data, data, direction,
                                      nonce);
            });
    }
    cipher_context_destroy(ctx);
    return rc;
}

int measure_hmac(const uint8_t *data, double *rate) {
    uint8_t key[32];
    random_bytes(key, sizeof key);
    const uint8_t context[72] = {'Z', 'C', 'X', '3', 'R', 'E', 'F'};
    return best_rate(kChunkBytes, rate, [&] {
        uint8_t tag[32];
        for (size_t at = 0; at < kChunkBytes; at += kChunk)
            if (int rc = hmac_sha256(key, context, {data + at, kChunk}, tag))
                return rc;
        return 0;
    });
}

int measure_lz4(const uint8_t *data, double *compress_rate, double *decompress_rate) {
    std::vector<uint8_t> state(static_cast<size_t>(LZ4_sizeofState()));
    std::vector<uint8_t> packed(kChunkBytes / kChunk * kChunk);
    std::vector<int> sizes(kChunkBytes / kChunk);
    std::vector<uint8_t> back(kChunk + 1);
    int rc = best_rate(kChunkBytes, compress_rate, [&] {
        for (size_t i = 0; i < sizes.size(); ++i) {
            sizes[i] = LZ4_compress_fast_extState(
                state.data(), reinterpret_cast<const char *>(data + i * kChunk),
                reinterpret_cast<char *>(packed.data() + i * kChunk), int(kChunk), int(kChunk), 1);
            if (sizes[i] <= 0)
                return -EIO;
        }
        return 0;
    });
    if (rc == 0)
        rc = best_rate(kChunkBytes, decompress_rate, [&] {
            for (size_t i = 0; i < sizes.size(); ++i)
                if (LZ4_decompress_safe(reinterpret_cast<const char *>(packed.data() + i * kChunk),
                                        reinterpret_cast<char *>(back.data()), sizes[i],
                                        int(back.size())) != int(kChunk))
                    return -EIO;
            return 0;
        });
    return rc;
}

// The cipher callback of the temporary container: the sector-0 block under
// the built-in system key, everything else with the data cipher.
struct V3BenchCipher {
    CipherContext *data;
    uint8_t sse2[kSse2TableSize];
};

int v3_bench_cipher(void *raw, uint8_t *units, size_t count, uint64_t first, const uint8_t *nonce,
                    int direction) {
    auto *c = static_cast<V3BenchCipher *>(raw);
    if (first == 0) {
        for (size_t i = 0; i < count; ++i) {
            if (direction == kEncrypt)
                sse2_encrypt_blocks(units + kSectorSize * i, kSectorSize / kSse2BlockSize, c->sse2);
            else
                sse2_decrypt_blocks(units + kSectorSize * i, kSectorSize / kSse2BlockSize, c->sse2);
        }
        return 0;
    }
    return cipher_sectors(c->data, first, count, units, units, direction, nonce);
}

// A new AES-256-XTS container of 64 MiB in memory, filled the way the copy
// writer fills one (256 KiB writes, no flush barriers), then read back.
int measure_v3(const uint8_t *pattern, size_t pattern_length, BenchmarkResult *out) {
    FileHandle file(file_open_in_memory("tarnwick-benchmark"));
    if (file.get() < 0)
        return file.get();
    static const char kPassword[] = "benchmark";
    SecureBuffer key(kDataKeySize);
    auto *cipher = static_cast<V3BenchCipher *>(secure_alloc(sizeof(V3BenchCipher)));
    if (!key.valid() || cipher == nullptr) {
        secure_free(cipher, sizeof(V3BenchCipher));
        return -ENOMEM;
    }
    *cipher = V3BenchCipher{};
    sse2_schedule(kDefaultSystemKey, cipher->sse2);
    cipher->data = cipher_context_create();
    V3Store *store = nullptr;
    int rc = cipher->data ? 0 : -ENOMEM;
    if (rc == 0)
        rc = v3_create(file.get(), kV3Bytes, kCipherAesXts, kChunk, false,
                       reinterpret_cast<const uint8_t *>(kPassword), sizeof kPassword - 1, nullptr,
                       7, &store, key.data());
    if (rc == 0)
        rc = cipher_setup(cipher->data, kCipherAesXts, key.data(), kDataKeySize);
    key.wipe();
    if (rc == 0) {
        v3_set_no_flush(store, true);
        rc = v3_pool_start(store, cipher->data, 0);
        out->v3_threads = v3_pool_threads(store);
    }
    auto start = Clock::now();
    for (uint64_t at = 0; rc == 0 && at < kV3Bytes; at += kV3Step)
        rc = v3_write(store, v3_bench_cipher, cipher, pattern + at % pattern_length, kV3Step, at);
    if (rc == 0)
        rc = v3_end_writes(store);
    if (rc == 0)
        out->v3_write_mb_per_s = mb_per_s(kV3Bytes, seconds_since(start));
    SecureBuffer back(kV3Step);
    if (rc == 0 && !back.valid())
        rc = -ENOMEM;
    start = Clock::now();
    for (uint64_t at = 0; rc == 0 && at < kV3Bytes; at += kV3Step) {
        rc = v3_read(store, v3_bench_cipher, cipher, back.data(), kV3Step, at);
        if (rc == 0 && std::memcmp(back.data(), pattern + at % pattern_length, kV3Step) != 0)
            rc = -EILSEQ;
    }
    if (rc == 0)
        out->v3_read_mb_per_s = mb_per_s(kV3Bytes, seconds_since(start));
    v3_close(store);
    cipher_context_destroy(cipher->data);
    secure_free(cipher, sizeof(V3BenchCipher));
    return rc;
}

int measure_key_derivation(double *ms) {
    static const char kPassword[] = "benchmark";
    uint8_t salt[kKdfSaltSize];
    random_bytes(salt, sizeof salt);
    SecureBuffer material(kKeyMaterialSize);
    if (!material.valid())
        return -ENOMEM;
    const auto start = Clock::now();
    int rc = derive_storage_keys(reinterpret_cast<const uint8_t *>(kPassword), sizeof kPassword - 1,
                                 salt, material.data());
    *ms = seconds_since(start) * 1000;
    return rc;
}

} // namespace

int container_benchmark(BenchmarkResult *out, BenchmarkStopFn stop, void *stop_data) {
    auto cancelled = [&]() { return stop != nullptr && stop(stop_data); };
    *out = BenchmarkResult{};
    // Benchmark data, not secrets: the buffers need no locking.
    std::vector<uint8_t> data(std::max(kCipherBytes, kChunkBytes));
    fill_half_compressible(data.data(), data.size());
    int rc = 0;
    for (size_t i = 0; i < kBenchmarkCiphers && rc == 0; ++i) {
        rc = cancelled() ? -ECANCELED : measure_cipher(kCiphers[i], data.data(), &out->ciphers[i]);
    }
    fill_half_compressible(data.data(), data.size());
    if (rc == 0)
        rc = cancelled() ? -ECANCELED : measure_hmac(data.data(), &out->hmac_mb_per_s);
    if (rc == 0)
        rc = cancelled() ? -ECANCELED
                         : measure_lz4(data.data(), &out->lz4_compress_mb_per_s,
                                       &out->lz4_decompress_mb_per_s);
    if (rc == 0)
        rc = cancelled() ? -ECANCELED : measure_v3(data.data(), data.size(), out);
    if (rc == 0)
        rc = cancelled() ? -ECANCELED : measure_key_derivation(&out->key_derivation_ms);
    return rc;
}

} // namespace tw
