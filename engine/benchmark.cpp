// "benchmark": this machine's speed for the container library's work, as one
// result event.
#include "container/benchmark.h"
#include "engine/engine.h"
#include "engine/events.h"
#include "engine/operations.h"
#include "runtime/errors.h"
#include "runtime/json.h"

#include <cerrno>
#include <cmath>

namespace tw {

namespace {

const char *cipher_name(uint32_t id) {
    switch (id) {
    case kCipherAesXts:
        return "AES-256-XTS";
    case kCipherXChaCha20:
        return "XChaCha20";
    case kCipherSse1:
        return "SSE1";
    case kCipherXor:
        return "XOR";
    default:
        return "";
    }
}

bool stop_requested(void *data) {
    return engine_cancel_requested(static_cast<EngineContext *>(data));
}

// Rates in whole MB/s (10^6 bytes), the derivation in whole milliseconds.
int64_t rounded(double value) {
    return int64_t(std::llround(value));
}

JsonValue *benchmark_json(const BenchmarkResult &r) {
    JsonValue *result = json_new(JsonKind::Object);
    JsonValue *ciphers = json_new(JsonKind::Array);
    // json_set owns the array from here on, also when it fails.
    bool ok = result != nullptr && json_set(result, "ciphers", ciphers) == 0;
    if (result == nullptr)
        json_free(ciphers);
    for (const CipherSpeed &c : r.ciphers) {
        JsonValue *entry = ok ? json_new(JsonKind::Object) : nullptr;
        ok = ok && entry != nullptr && json_set_int(entry, "algorithm", c.cipher) == 0 &&
             json_set_string(entry, "cipher", cipher_name(c.cipher)) == 0 &&
             json_set_int(entry, "encryptMBps", rounded(c.encrypt_mb_per_s)) == 0 &&
             json_set_int(entry, "decryptMBps", rounded(c.decrypt_mb_per_s)) == 0;
        if (entry != nullptr && json_append(ciphers, entry) != 0)
            ok = false;
    }
    ok = ok && json_set_int(result, "hmacSha256MBps", rounded(r.hmac_mb_per_s)) == 0 &&
         json_set_int(result, "lz4CompressMBps", rounded(r.lz4_compress_mb_per_s)) == 0 &&
         json_set_int(result, "lz4DecompressMBps", rounded(r.lz4_decompress_mb_per_s)) == 0 &&
         json_set_int(result, "v3WriteMBps", rounded(r.v3_write_mb_per_s)) == 0 &&
         json_set_int(result, "v3ReadMBps", rounded(r.v3_read_mb_per_s)) == 0 &&
         json_set_int(result, "v3Threads", r.v3_threads) == 0 &&
         json_set_int(result, "keyDerivationMs", rounded(r.key_derivation_ms)) == 0;
    if (!ok) {
        json_free(result);
        return nullptr;
    }
    return result;
}

} // namespace

int run_benchmark(EngineContext *ctx) {
    BenchmarkResult r;
    int rc = container_benchmark(&r, stop_requested, ctx);
    if (rc == -ECANCELED)
        engine_check_cancel(ctx);
    if (rc != 0)
        return engine_fail("io", error_text(rc));
    JsonValue *result = benchmark_json(r);
    if (result == nullptr)
        return engine_fail("engine", "Out of memory.");
    rc = event_write_result(result);
    json_free(result);
    return rc == 0 ? kExitSuccess : kExitFailure;
}

} // namespace tw
