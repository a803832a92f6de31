#include "engine/credentials.h"

#include "platform/io.h"
#include "platform/secure_memory.h"
#include "runtime/cipher_id.h"
#include "runtime/text.h"

#include <cerrno>
#include <cstring>
#include <unistd.h>

namespace tw {

namespace {

// A source of request bytes: a descriptor or a memory buffer. Reads are
// exact: a short read is a malformed request.
struct Source {
    int fd;
    const uint8_t *bytes;
    size_t length;
    size_t offset;
};

bool read_exact(Source *src, void *out, size_t length) {
    auto *p = static_cast<uint8_t *>(out);
    if (src->fd < 0) {
        if (src->length - src->offset < length)
            return false;
        std::memcpy(p, src->bytes + src->offset, length);
        src->offset += length;
        return true;
    }
    return read_full(src->fd, p, length) == 0;
}

// The stream must end right after the last field: one more one-byte read
// has to report the end (or fail).
bool at_end(Source *src) {
    if (src->fd < 0)
        return src->offset == src->length;
    uint8_t extra;
    ssize_t n = read_some(src->fd, &extra, 1);
    secure_wipe(&extra, sizeof extra);
    return n <= 0;
}

uint32_t le32(const uint8_t *p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

// An offered cipher, or unset: the engine then detects the source's cipher.
bool valid_cipher(uint32_t cipher) {
    return cipher_is_offered(cipher) || cipher == kCipherUnset;
}

bool read_text(Source *src, char *out, uint32_t length) {
    if (!read_exact(src, out, length))
        return false;
    out[length] = '\0';
    return std::memchr(out, '\0', length) == nullptr;
}

int decode(Source *src, CredentialRecord *r) {
    credential_record_wipe(r);
    uint8_t header[20];
    bool ok = read_exact(src, header, 16);
    if (ok) {
        r->kind = le32(header);
        r->cipher = le32(header + 4);
        r->password_length = le32(header + 8);
        r->system_key_length = le32(header + 12);
        ok = (r->kind == 1 || r->kind == 2) && valid_cipher(r->cipher) &&
             r->password_length <= kPasswordLimit &&
             (r->system_key_length == 0 || r->system_key_length == kSystemKeyTextLength);
    }
    if (ok && r->kind == 2) {
        ok = read_exact(src, header + 16, 4);
        if (ok) {
            r->new_password_length = le32(header + 16);
            ok = r->new_password_length >= 1 && r->new_password_length <= kPasswordLimit;
        }
    }
    ok = ok && read_text(src, r->password, r->password_length);
    // The system key's digits are checked when it is installed, which has
    // its own error; here only its length and the absence of NUL matter.
    ok = ok && read_text(src, r->system_key, r->system_key_length);
    if (ok && r->kind == 2) {
        ok = read_text(src, r->new_password, r->new_password_length) &&
             utf8_is_valid(r->new_password, r->new_password_length);
    }
    ok = ok && at_end(src);
    secure_wipe(header, sizeof header);
    if (!ok) {
        credential_record_wipe(r);
        return -EPROTO;
    }
    return 0;
}

} // namespace

CredentialRecord *credential_record_new(bool *locked) {
    void *p = secure_alloc(sizeof(CredentialRecord), locked);
    if (p == nullptr)
        return nullptr;
    auto *r = static_cast<CredentialRecord *>(p);
    credential_record_wipe(r);
    return r;
}

void credential_record_free(CredentialRecord *record) {
    if (record == nullptr)
        return;
    credential_record_wipe(record);
    secure_free(record, sizeof(CredentialRecord));
}

void credential_record_wipe(CredentialRecord *record) {
    if (record != nullptr)
        secure_wipe(record, sizeof *record);
}

void credential_record_wipe_password(CredentialRecord *record) {
    if (record == nullptr)
        return;
    secure_wipe(record->password, sizeof record->password);
    record->password_length = 0;
}

int credential_read(int fd, CredentialRecord *record) {
    Source src{fd, nullptr, 0, 0};
    return decode(&src, record);
}

int credential_decode(const uint8_t *bytes, size_t length, CredentialRecord *record) {
    Source src{-1, bytes, length, 0};
    return decode(&src, record);
}

} // namespace tw
