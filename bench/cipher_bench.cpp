// Throughput of the sector ciphers through the dispatch, next to raw OpenSSL
// and libsodium on the same buffers, and the cost of one storage-key
// derivation next to OpenSSL's own PBKDF2 with the same parameters.
//
// Run a Release build: bench_cipher_bench [megabytes-per-round] [rounds]
// Each figure is the best of the rounds, so that a busy machine shows the
// speed the code can reach rather than the share of the CPU it got.
#include "container/cipher/cipher.h"
#include "container/keys/keys.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <sodium.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

struct Bench {
    const char *name;
    std::function<bool()> run; // one pass over the buffer
    double best = 0;           // MB/s
};

void tweak_for(uint64_t sector, uint8_t iv[16]) {
    std::memset(iv, 0, 16);
    for (int i = 0; i < 8; ++i)
        iv[i] = uint8_t(sector >> (8 * i));
}

} // namespace

int main(int argc, char **argv) {
    size_t megabytes = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 8;
    int rounds = argc > 2 ? std::atoi(argv[2]) : 30;
    if (megabytes == 0 || rounds <= 0 || sodium_init() < 0)
        return 2;
    const size_t bytes = megabytes << 20;
    const size_t sectors = bytes / tw::kSectorSize;
    std::vector<uint8_t> in(bytes), out(bytes);
    for (size_t i = 0; i < bytes; ++i)
        in[i] = uint8_t(i * 131 + 7);

    uint8_t key[64], nonce[24];
    for (int i = 0; i < 64; ++i)
        key[i] = uint8_t(i * 5 + 1);
    for (int i = 0; i < 24; ++i)
        nonce[i] = uint8_t(0xA0 + i);

    tw::CipherContext *xts = tw::cipher_context_create();
    tw::CipherContext *xchacha = tw::cipher_context_create();
    tw::CipherContext *sse1 = tw::cipher_context_create();
    tw::CipherContext *xorc = tw::cipher_context_create();
    if (!xts || !xchacha || !sse1 || !xorc ||
        tw::cipher_setup(xts, tw::kCipherAesXts, key, 64) != 0 ||
        tw::cipher_setup(xchacha, tw::kCipherXChaCha20, key, 64) != 0 ||
        tw::cipher_setup(sse1, tw::kCipherSse1, key, 32) != 0 ||
        tw::cipher_setup(xorc, tw::kCipherXor, key, 16) != 0) {
        std::fprintf(stderr, "set-up failed\n");
        return 1;
    }

    EVP_CIPHER_CTX *raw_xts = EVP_CIPHER_CTX_new();
    EVP_EncryptInit_ex(raw_xts, EVP_aes_256_xts(), nullptr, key, nullptr);

    std::vector<Bench> benches = {
        {"AES-256-XTS  dispatch, cipher_sectors (run)",
         [&] {
             return tw::cipher_sectors(xts, 0, sectors, in.data(), out.data(), tw::kEncrypt) == 0;
         }},
        {"AES-256-XTS  dispatch, cipher_sector in place, per sector",
         [&] {
             for (size_t s = 0; s < sectors; ++s)
                 if (tw::cipher_sector(xts, out.data() + s * 512, s, tw::kEncrypt) != 0)
                     return false;
             return true;
         }},
        {"AES-256-XTS  raw OpenSSL EVP, IV per sector",
         [&] {
             uint8_t iv[16];
             int n = 0;
             for (size_t s = 0; s < sectors; ++s) {
                 tweak_for(s, iv);
                 if (EVP_EncryptInit_ex(raw_xts, nullptr, nullptr, nullptr, iv) != 1 ||
                     EVP_EncryptUpdate(raw_xts, out.data() + s * 512, &n, in.data() + s * 512,
                                       512) != 1)
                     return false;
             }
             return true;
         }},
        {"XChaCha20    dispatch, cipher_sectors (run)",
         [&] {
             return tw::cipher_sectors(xchacha, 0, sectors, in.data(), out.data(), tw::kEncrypt,
                                       nonce) == 0;
         }},
        {"XChaCha20    dispatch, cipher_sector in place, per sector",
         [&] {
             for (size_t s = 0; s < sectors; ++s)
                 if (tw::cipher_sector(xchacha, out.data() + s * 512, s, tw::kEncrypt, nonce) != 0)
                     return false;
             return true;
         }},
        {"XChaCha20    raw libsodium xchacha20_xor_ic per sector",
         [&] {
             uint8_t n[24];
             for (size_t s = 0; s < sectors; ++s) {
                 std::memcpy(n, nonce, 24);
                 for (int i = 0; i < 8; ++i)
                     n[16 + i] ^= uint8_t(s >> (8 * i));
                 crypto_stream_xchacha20_xor_ic(out.data() + s * 512, in.data() + s * 512, 512, n,
                                                1, key);
             }
             return true;
         }},
        {"XChaCha20    raw libsodium, one stream over the buffer",
         [&] {
             crypto_stream_xchacha20_xor_ic(out.data(), in.data(), bytes, nonce, 1, key);
             return true;
         }},
        {"SSE1         dispatch, cipher_sectors (run)",
         [&] {
             return tw::cipher_sectors(sse1, 0, sectors, in.data(), out.data(), tw::kEncrypt) == 0;
         }},
        {"XOR          dispatch, cipher_sectors (run)",
         [&] {
             return tw::cipher_sectors(xorc, 0, sectors, in.data(), out.data(), tw::kEncrypt) == 0;
         }},
    };

    // Rounds interleave the candidates so that load from elsewhere hits all
    // of them alike.
    for (int round = 0; round < rounds; ++round) {
        for (auto &b : benches) {
            auto start = Clock::now();
            if (!b.run()) {
                std::fprintf(stderr, "%s failed\n", b.name);
                return 1;
            }
            double mbps = double(bytes) / 1e6 / seconds_since(start);
            if (mbps > b.best)
                b.best = mbps;
        }
    }
    std::printf("512-byte sectors, %zu MiB per pass, best of %d rounds\n", megabytes, rounds);
    for (const auto &b : benches)
        std::printf("  %-58s %9.1f MB/s\n", b.name, b.best);
    std::printf("  AES-XTS dispatch run / raw OpenSSL: %.1f %%\n",
                100.0 * benches[0].best / benches[2].best);

    // The MAC every v3 block is verified with: hmac_sha256 over a 72-byte
    // context and a block, against OpenSSL's one-shot HMAC over the block.
    std::printf("HMAC-SHA256 per block, best of %d rounds\n", rounds);
    for (size_t block : {size_t(4096), size_t(65536)}) {
        const size_t blocks = bytes / block;
        uint8_t context[72] = {}, tag[32];
        double best_ours = 0, best_raw = 0;
        for (int round = 0; round < rounds; ++round) {
            auto start = Clock::now();
            for (size_t i = 0; i < blocks; ++i)
                if (tw::hmac_sha256(key, context, {in.data() + i * block, block}, tag) != 0)
                    return 1;
            double ours = double(bytes) / 1e6 / seconds_since(start);
            start = Clock::now();
            unsigned length = 0;
            for (size_t i = 0; i < blocks; ++i)
                HMAC(EVP_sha256(), key, 32, in.data() + i * block, block, tag, &length);
            double theirs = double(bytes) / 1e6 / seconds_since(start);
            best_ours = ours > best_ours ? ours : best_ours;
            best_raw = theirs > best_raw ? theirs : best_raw;
        }
        std::printf("  %-37s %6zu-byte blocks %9.1f MB/s\n", "hmac_sha256 (context + block)", block,
                    best_ours);
        std::printf("  %-37s %6zu-byte blocks %9.1f MB/s\n", "raw OpenSSL HMAC() (block only)",
                    block, best_raw);
    }

    // Key derivation: ours (PBKDF2 + HKDF, locked scratch memory) against
    // OpenSSL's PBKDF2 alone with the same password, salt and iterations.
    const uint8_t password[] = "correct horse battery staple";
    const size_t password_length = sizeof password - 1;
    uint8_t salt[32], material[96], raw[32];
    for (int i = 0; i < 32; ++i)
        salt[i] = uint8_t(i);
    double best_ours = 1e9, best_raw = 1e9;
    int kdf_rounds = rounds < 5 ? rounds : 5;
    for (int round = 0; round < kdf_rounds; ++round) {
        auto start = Clock::now();
        if (tw::derive_storage_keys(password, password_length, salt, material) != 0)
            return 1;
        double ours = seconds_since(start);
        start = Clock::now();
        if (PKCS5_PBKDF2_HMAC(reinterpret_cast<const char *>(password), int(password_length), salt,
                              32, int(tw::kKdfIterations), EVP_sha256(), 32, raw) != 1)
            return 1;
        double theirs = seconds_since(start);
        best_ours = ours < best_ours ? ours : best_ours;
        best_raw = theirs < best_raw ? theirs : best_raw;
    }
    std::printf("Storage-key derivation (600000 iterations), best of %d\n", kdf_rounds);
    std::printf("  %-58s %9.1f ms\n", "derive_storage_keys", best_ours * 1e3);
    std::printf("  %-58s %9.1f ms\n", "raw OpenSSL PKCS5_PBKDF2_HMAC (SHA-256, 32 bytes)",
                best_raw * 1e3);

    EVP_CIPHER_CTX_free(raw_xts);
    tw::cipher_context_destroy(xts);
    tw::cipher_context_destroy(xchacha);
    tw::cipher_context_destroy(sse1);
    tw::cipher_context_destroy(xorc);
    return 0;
}
