// Sequential throughput of the v3 chunk store next to raw OpenSSL AES-XTS
// over the same bytes, and the file-size overhead of its metadata.
//
// Run a Release build: bench_v3_bench [folder] [megabytes] [threads]
// (threads: 0 = one per online CPU, the default; 1 = the calling thread only)
// For each chunk size (4096, 16384, 65536) and compression off and on, a new
// AES-XTS container of the given size (default 1024 MiB) is filled in 1 MiB
// writes the way a new container is filled (no flush barriers, one commit per
// write call or per 32 chunks), closed with v3_end_writes, then read back in
// 1 MiB reads and compared. The data is half compressible: every 4 KiB holds
// 2 KiB of random bytes and 2 KiB of repeated text.
#include "container/cipher/cipher.h"
#include "container/keys/system_key.h"
#include "container/v3/v3_pool.h"
#include "container/v3/v3_store.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <openssl/evp.h>
#include <random>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

struct BenchCipher {
    tw::CipherContext *data;
    uint8_t sse2[tw::kSse2TableSize];
};

int bench_cipher(void *ctx, uint8_t *units, size_t count, uint64_t first, const uint8_t *nonce,
                 int direction) {
    auto *c = static_cast<BenchCipher *>(ctx);
    if (first == 0) {
        for (size_t i = 0; i < count; ++i) {
            if (direction == tw::kEncrypt)
                tw::sse2_encrypt_blocks(units + 512 * i, 64, c->sse2);
            else
                tw::sse2_decrypt_blocks(units + 512 * i, 64, c->sse2);
        }
        return 0;
    }
    return tw::cipher_sectors(c->data, first, count, units, units, direction, nonce);
}

constexpr size_t kBlock = 1 << 20;

// 16 MiB of half-compressible data, reused cyclically.
std::vector<uint8_t> make_pool() {
    std::vector<uint8_t> pool(16 * kBlock);
    std::mt19937_64 rng(42);
    static const char text[] = "Tarnwick keeps whole disk images in encrypted containers. ";
    for (size_t at = 0; at < pool.size(); at += 4096) {
        for (size_t i = 0; i < 2048; i += 8) {
            uint64_t r = rng();
            std::memcpy(&pool[at + i], &r, 8);
        }
        for (size_t i = 2048; i < 4096; ++i)
            pool[at + i] = uint8_t(text[(i + at / 4096) % (sizeof text - 1)]);
    }
    return pool;
}

// Raw OpenSSL AES-256-XTS over the same bytes, one call per 512-byte unit.
double raw_xts(const std::vector<uint8_t> &pool, uint64_t total, int encrypt) {
    uint8_t key[64];
    for (int i = 0; i < 64; ++i)
        key[i] = uint8_t(i * 7 + 1);
    EVP_CIPHER_CTX *ctx = EVP_CIPHER_CTX_new();
    EVP_CIPHER *xts = EVP_CIPHER_fetch(nullptr, "AES-256-XTS", nullptr);
    EVP_CipherInit_ex2(ctx, xts, key, nullptr, encrypt, nullptr);
    std::vector<uint8_t> out(kBlock);
    uint8_t iv[16] = {};
    auto start = Clock::now();
    uint64_t sector = 1;
    for (uint64_t done = 0; done < total; done += kBlock) {
        const uint8_t *in = pool.data() + done % pool.size();
        for (size_t u = 0; u < kBlock; u += 512, ++sector) {
            std::memcpy(iv, &sector, 8);
            int len = 0;
            EVP_CipherInit_ex2(ctx, nullptr, nullptr, iv, encrypt, nullptr);
            EVP_CipherUpdate(ctx, out.data() + u, &len, in + u, 512);
        }
    }
    double s = seconds_since(start);
    EVP_CIPHER_free(xts);
    EVP_CIPHER_CTX_free(ctx);
    return double(total) / s / 1e6;
}

} // namespace

int main(int argc, char **argv) {
    const std::string folder = argc > 1 ? argv[1] : "/var/tmp";
    const uint64_t megabytes = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 1024;
    const uint64_t total = megabytes * kBlock;
    const unsigned threads = argc > 3 ? unsigned(std::strtoul(argv[3], nullptr, 10)) : 0;
    if (total == 0)
        return 2;
    const auto pool = make_pool();
    std::printf("raw OpenSSL AES-256-XTS: encrypt %.0f MB/s, decrypt %.0f MB/s\n",
                raw_xts(pool, total, 1), raw_xts(pool, total, 0));
    std::printf("chunk pool: %u threads\n", threads ? threads : tw::v3_pool_online_cpus());
    std::printf("%-6s %-5s %10s %10s %14s %10s\n", "chunk", "lz4", "write MB/s", "read MB/s",
                "file bytes", "overhead");
    const char password[] = "benchmark password";
    std::vector<uint8_t> back(kBlock);
    for (uint32_t chunk : {4096u, 16384u, 65536u}) {
        for (bool compress : {false, true}) {
            const std::string path = folder + "/tarnwick-v3-bench-" + std::to_string(getpid());
            int fd = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
            if (fd < 0) {
                std::perror(path.c_str());
                return 1;
            }
            unlink(path.c_str());
            tw::V3Store *store = nullptr;
            uint8_t key[64];
            int rc = tw::v3_create(fd, total, tw::kCipherAesXts, chunk, compress,
                                   reinterpret_cast<const uint8_t *>(password), sizeof password - 1,
                                   nullptr, 7, &store, key);
            if (rc) {
                std::fprintf(stderr, "create: %d\n", rc);
                return 1;
            }
            BenchCipher cipher{tw::cipher_context_create(), {}};
            tw::sse2_schedule(tw::kDefaultSystemKey, cipher.sse2);
            tw::cipher_setup(cipher.data, tw::kCipherAesXts, key, 64);
            tw::v3_set_no_flush(store, true);
            rc = tw::v3_pool_start(store, cipher.data, threads);
            if (rc) {
                std::fprintf(stderr, "pool: %d\n", rc);
                return 1;
            }

            auto start = Clock::now();
            for (uint64_t at = 0; at < total && rc == 0; at += kBlock)
                rc = tw::v3_write(store, bench_cipher, &cipher, pool.data() + at % pool.size(),
                                  kBlock, at);
            if (rc == 0)
                rc = tw::v3_end_writes(store);
            const double write_s = seconds_since(start);
            if (rc) {
                std::fprintf(stderr, "write: %d\n", rc);
                return 1;
            }
            start = Clock::now();
            for (uint64_t at = 0; at < total && rc == 0; at += kBlock) {
                rc = tw::v3_read(store, bench_cipher, &cipher, back.data(), kBlock, at);
                if (rc == 0 && std::memcmp(back.data(), pool.data() + at % pool.size(), kBlock))
                    rc = -1;
            }
            const double read_s = seconds_since(start);
            if (rc) {
                std::fprintf(stderr, "read: %d\n", rc);
                return 1;
            }
            struct stat st;
            fstat(fd, &st);
            std::printf("%-6u %-5s %10.0f %10.0f %14lld %9.2f%%\n", chunk, compress ? "on" : "off",
                        double(total) / write_s / 1e6, double(total) / read_s / 1e6,
                        static_cast<long long>(st.st_size),
                        100.0 * (double(st.st_size) - double(total)) / double(total));
            std::fflush(stdout);
            tw::v3_close(store);
            tw::cipher_context_destroy(cipher.data);
            close(fd);
        }
    }
    return 0;
}
