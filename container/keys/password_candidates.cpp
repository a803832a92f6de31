// The byte strings a password text may have keyed a legacy container with.
// Older programs passed the text in the system's ANSI or OEM code page, so a
// Cyrillic password was stored as Windows-1251 or code page 866 bytes; the
// UTF-8 bytes come first because that is how every newer container is keyed.
#include "container/container.h"

#include "runtime/text.h"

#include <cerrno>
#include <cstring>
#include <iconv.h>

namespace tw {

namespace {

// Converts the whole UTF-8 text to a single-byte code page. False when a
// character has no code there (or the converter is missing). Single-byte
// output is never longer than the UTF-8 input, so `out` of `length` bytes
// suffices.
bool convert(const char *code_page, const uint8_t *text, size_t length, uint8_t *out,
             size_t *out_length) {
    iconv_t converter = iconv_open(code_page, "UTF-8");
    if (converter == reinterpret_cast<iconv_t>(-1))
        return false;
    char *in = const_cast<char *>(reinterpret_cast<const char *>(text));
    size_t in_left = length;
    char *to = reinterpret_cast<char *>(out);
    size_t to_left = length;
    size_t done = iconv(converter, &in, &in_left, &to, &to_left);
    bool ok = done != static_cast<size_t>(-1) && in_left == 0;
    if (ok) {
        // Flush any shift state (none for these code pages).
        ok = iconv(converter, nullptr, nullptr, &to, &to_left) != static_cast<size_t>(-1);
    }
    iconv_close(converter);
    *out_length = length - to_left;
    if (!ok)
        secure_wipe(out, length);
    return ok;
}

bool already_listed(const PasswordCandidates &list, const uint8_t *bytes, size_t length) {
    for (size_t i = 0; i < list.count; ++i) {
        if (list.lengths[i] == length && std::memcmp(list.bytes[i].data(), bytes, length) == 0)
            return true;
    }
    return false;
}

} // namespace

int password_candidates_build(const uint8_t *password, size_t length, PasswordCandidates *out) {
    *out = PasswordCandidates{};
    if (length > kMaxPasswordLength)
        return -E2BIG;
    // Locked memory cannot be empty; an empty password keeps one spare byte.
    const size_t capacity = length > 0 ? length : 1;
    out->bytes[0] = SecureBuffer(capacity);
    if (!out->bytes[0].valid())
        return -ENOMEM;
    if (length > 0)
        std::memcpy(out->bytes[0].data(), password, length);
    out->lengths[0] = length;
    out->count = 1;
    if (length == 0 || !utf8_is_valid(password, length))
        return 0;

    for (const char *code_page : {"CP1251", "CP866"}) {
        SecureBuffer converted(capacity);
        if (!converted.valid())
            return -ENOMEM;
        size_t converted_length = 0;
        if (!convert(code_page, password, length, converted.data(), &converted_length))
            continue;
        if (already_listed(*out, converted.data(), converted_length))
            continue;
        out->lengths[out->count] = converted_length;
        out->bytes[out->count] = std::move(converted);
        ++out->count;
    }
    return 0;
}

} // namespace tw
