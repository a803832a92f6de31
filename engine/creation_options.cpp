#include "engine/creation_options.h"

#include "engine/credentials.h"
#include "engine/engine.h"
#include "engine/events.h"
#include "engine/operations.h"
#include "runtime/json.h"

namespace tw {

namespace {

struct OfferedCipher {
    int algorithm;
    const char *name;
};

// The ciphers offered for new containers, in ascending number.
constexpr OfferedCipher kOfferedCiphers[] = {
    {1, "SSE1"},
    {8, "XOR"},
    {9, "AES-256-XTS"},
    {10, "XChaCha20"},
};
constexpr int kDefaultAlgorithm = 9;
constexpr const char *kFilesystems[] = {"exfat", "fat32", "ntfs"};

} // namespace

JsonValue *creation_options_result() {
    JsonValue *result = json_new(JsonKind::Object);
    JsonValue *ciphers = json_new(JsonKind::Array);
    JsonValue *filesystems = json_new(JsonKind::Array);
    if (result == nullptr || ciphers == nullptr || filesystems == nullptr) {
        json_free(result);
        json_free(ciphers);
        json_free(filesystems);
        return nullptr;
    }
    for (const OfferedCipher &c : kOfferedCiphers) {
        JsonValue *entry = json_new(JsonKind::Object);
        json_set_int(entry, "algorithm", c.algorithm);
        json_set_string(entry, "cipher", c.name);
        json_set_int(entry, "passwordLimit", kPasswordLimit);
        json_append(ciphers, entry);
    }
    for (const char *fs : kFilesystems)
        json_append(filesystems, json_new_string(fs));
    json_set_int(result, "algorithm", kDefaultAlgorithm);
    json_set(result, "ciphers", ciphers);
    json_set(result, "filesystems", filesystems);
    return result;
}

int run_creation_options(EngineContext *) {
    JsonValue *result = creation_options_result();
    if (result == nullptr)
        return engine_fail("engine", "Out of memory.");
    int rc = event_write_result(result);
    json_free(result);
    return rc == 0 ? kExitSuccess : kExitFailure;
}

} // namespace tw
