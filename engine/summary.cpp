#include "engine/summary.h"

#include "engine/arguments.h"
#include "engine/credentials.h"
#include "runtime/json.h"

namespace tw {

uint32_t new_password_limit(uint32_t cipher) {
    return cipher_is_offered(cipher) ? kPasswordLimit : 0;
}

JsonValue *container_summary(const SummaryFacts &f) {
    JsonValue *s = json_new(JsonKind::Object);
    if (s == nullptr)
        return nullptr;
    const bool encrypted = !f.plaintext;
    json_set_string(s, "format", f.format_name);
    json_set_string(s, "cipher",
                    f.plaintext ? "Unencrypted" : (f.unlocked ? f.cipher_name : "Not checked"));
    json_set_int(s, "algorithm", f.unlocked ? f.cipher : 255);
    json_set_string(s, "filesystem", f.filesystem ? f.filesystem : "Not checked");
    if (f.verified && f.filesystem_type)
        json_set_string(s, "filesystemType", f.filesystem_type);
    const bool writable = f.verified && encrypted && f.write_filesystem != nullptr;
    json_set_bool(s, "writeSupported", writable);
    if (writable)
        json_set_string(s, "writeFilesystem", f.write_filesystem);
    if (f.verified && encrypted)
        json_set_int(s, "newPasswordLimit", new_password_limit(f.cipher));
    if (f.allocated_size_known)
        json_set_int(s, "allocatedSize", static_cast<int64_t>(f.allocated_size / 512 * 512));
    if (f.verified && f.v3) {
        json_set_string(s, "compression", f.v3_compressed ? "fast" : "off");
        json_set_int(s, "chunkSize", f.v3_chunk_size);
        json_set_bool(s, "recoveryCopyAvailable", f.v3_recovery_needed);
    }
    json_set_int(s, "size", static_cast<int64_t>(f.size));
    json_set_bool(s, "verified", f.verified);
    json_set_bool(s, "recoveryRequired", f.recovery_required);
    json_set_bool(s, "plaintext", f.plaintext);
    json_set_bool(s, "isCD", f.cd_image);
    json_set_bool(s, "headerLocked", f.header_locked);
    json_set_bool(s, "memoryLocked", f.memory_locked && f.credentials_locked);
    json_set_bool(s, "writeSessionRecovery", f.write_session_recovery);
    // When the credential record could not be locked the flag is written a
    // second time, which moves it after the recovery flag: front-ends that
    // read the first occurrence of an old layout still see false.
    if (!f.credentials_locked)
        json_set_bool(s, "memoryLocked", false);
    json_set_string(s, "event", "result");
    return s;
}

} // namespace tw
