// How fast this machine runs what the container library does: each offered
// sector cipher over 512-byte sectors, HMAC-SHA256 and LZ4 over 16 KiB
// chunks, a v3 container written and read back in memory with the chunk pool
// on every core, and one storage-key derivation. The same measurements as
// the benchmark programs of the source tree, sized to take a few seconds.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tw {

struct CipherSpeed {
    uint32_t cipher; // a CipherId offered for new containers
    double encrypt_mb_per_s;
    double decrypt_mb_per_s;
};

inline constexpr size_t kBenchmarkCiphers = 4;

struct BenchmarkResult {
    CipherSpeed ciphers[kBenchmarkCiphers]; // AES-256-XTS first, then XChaCha20, SSE1, XOR
    double hmac_mb_per_s;                   // HMAC-SHA256 over 16 KiB chunks
    double lz4_compress_mb_per_s;           // 16 KiB chunks, half compressible
    double lz4_decompress_mb_per_s;
    double v3_write_mb_per_s; // AES-256-XTS, 16384-byte chunks, no compression
    double v3_read_mb_per_s;
    uint32_t v3_threads;      // transforming threads of the chunk pool
    double key_derivation_ms; // one storage-key derivation (600000 iterations)
};

// Asked between measurements; true stops the run.
using BenchmarkStopFn = bool (*)(void *data);

// Runs every measurement. 0, -ECANCELED when `stop` (may be null) says so,
// -ENOMEM, or the error of a failed step.
int container_benchmark(BenchmarkResult *out, BenchmarkStopFn stop, void *data);

} // namespace tw
