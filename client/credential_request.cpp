// The binary credential request: the only way passwords reach the engine.
#include "client/client.h"
#include "client/messages.h"

#include "runtime/cipher_id.h"
#include "runtime/text.h"

#include <algorithm>
#include <cstring>

namespace tw {

namespace {

constexpr const char *kNewPasswordMessage =
    "Enter and confirm the same nonempty new password, up to 4096 UTF-8 bytes.";

bool has_nul(std::span<const uint8_t> bytes) {
    return std::find(bytes.begin(), bytes.end(), 0) != bytes.end();
}

bool system_key_valid(std::span<const uint8_t> key) {
    if (key.empty())
        return true;
    if (key.size() != kClientSystemKeyLength)
        return false;
    return std::all_of(key.begin(), key.end(), [](uint8_t c) {
        return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
    });
}

bool same_bytes(std::span<const uint8_t> a, std::span<const uint8_t> b) {
    return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size()) == 0);
}

void put32(uint8_t *p, size_t value) {
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<uint8_t>(value >> (8 * i));
}

void put_bytes(uint8_t **p, std::span<const uint8_t> bytes) {
    if (!bytes.empty())
        std::memcpy(*p, bytes.data(), bytes.size());
    *p += bytes.size();
}

} // namespace

int credential_request_build(const CredentialInput &in, SecureBuffer *out, ClientOutcome *err) {
    out->clear();
    if (in.kind == 2) {
        const auto &n = in.new_password;
        if (n.empty() || n.size() > kClientPasswordLimit || has_nul(n) ||
            !utf8_is_valid(n.data(), n.size()) || !same_bytes(n, in.confirmation))
            return client_fail(err, "newPassword", kNewPasswordMessage);
    }
    if ((in.kind != 1 && in.kind != 2) || in.password.size() > kClientPasswordLimit ||
        has_nul(in.password) || !system_key_valid(in.system_key) ||
        (!cipher_is_offered(in.cipher) && in.cipher != kCipherUnset))
        return client_fail(err, "credentials", kCredentialLimitMessage);

    const size_t header = in.kind == 2 ? 20 : 16;
    const size_t total = header + in.password.size() + in.system_key.size() +
                         (in.kind == 2 ? in.new_password.size() : 0);
    SecureBuffer record = SecureBuffer::with_capacity(total);
    if (!record.valid() || !record.resize(total))
        return client_fail(err, "engine", "Out of memory.");
    uint8_t *p = record.data();
    put32(p, in.kind);
    put32(p + 4, in.cipher);
    put32(p + 8, in.password.size());
    put32(p + 12, in.system_key.size());
    if (in.kind == 2)
        put32(p + 16, in.new_password.size());
    p += header;
    put_bytes(&p, in.password);
    put_bytes(&p, in.system_key);
    if (in.kind == 2)
        put_bytes(&p, in.new_password);
    *out = std::move(record);
    return 0;
}

} // namespace tw
