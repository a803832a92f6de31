#include "runtime/text.h"

#include "platform/secure_memory.h"
#include "runtime/random.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace tw {

void wipe_and_free(void *block, size_t length) {
    if (block == nullptr)
        return;
    secure_wipe(block, length);
    free(block);
}

void wipe_and_free_text(char *text) {
    if (text == nullptr)
        return;
    wipe_and_free(text, strlen(text) + 1);
}

char *vformat_alloc(const char *format, va_list arguments) {
    if (format == nullptr)
        return nullptr;
    va_list copy;
    va_copy(copy, arguments);
    int needed = vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    if (needed < 0)
        return nullptr;
    size_t size = static_cast<size_t>(needed) + 1;
    auto *text = static_cast<char *>(malloc(size));
    if (text == nullptr)
        return nullptr;
    if (vsnprintf(text, size, format, arguments) != needed) {
        free(text);
        return nullptr;
    }
    return text;
}

char *format_alloc(const char *format, ...) {
    va_list arguments;
    va_start(arguments, format);
    char *text = vformat_alloc(format, arguments);
    va_end(arguments);
    return text;
}

size_t utf8_sequence_length(const unsigned char *bytes, size_t available) {
    if (available == 0)
        return 0;
    unsigned char lead = bytes[0];
    if (lead < 0x80)
        return 1;
    size_t length;
    uint32_t value;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        value = lead & 0x1Fu;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        value = lead & 0x0Fu;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        value = lead & 0x07u;
    } else {
        // 80-BF are continuation bytes, C0/C1 can only start overlong forms,
        // F5-FF would start values above U+10FFFF.
        return 0;
    }
    if (available < length)
        return 0;
    for (size_t i = 1; i < length; ++i) {
        if ((bytes[i] & 0xC0u) != 0x80u)
            return 0;
        value = (value << 6) | (bytes[i] & 0x3Fu);
    }
    static constexpr uint32_t kMinimum[5] = {0, 0, 0x80, 0x800, 0x10000};
    if (value < kMinimum[length] || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF))
        return 0;
    return length;
}

bool utf8_is_valid(const void *bytes, size_t length) {
    if (bytes == nullptr)
        return length == 0;
    const auto *p = static_cast<const unsigned char *>(bytes);
    size_t at = 0;
    while (at < length) {
        size_t n = utf8_sequence_length(p + at, length - at);
        if (n == 0)
            return false;
        at += n;
    }
    return true;
}

size_t utf8_prefix_length(const char *text, size_t limit) {
    if (text == nullptr)
        return 0;
    // Look at no more than one byte past the limit: a long text need not be
    // scanned to its end.
    size_t length = strnlen(text, limit == SIZE_MAX ? limit : limit + 1);
    if (length <= limit)
        return length;
    size_t at = limit;
    while (at > 0 && (static_cast<unsigned char>(text[at]) & 0xC0u) == 0x80u)
        --at;
    if ((static_cast<unsigned char>(text[at]) & 0xC0u) == 0x80u)
        return 0;
    return at;
}

bool paths_equal(const char *a, const char *b) {
    if (a == nullptr || b == nullptr)
        return false;
    // Byte-exact on purpose: the filesystems this runs on are case-sensitive,
    // and folding case would make two different files compare equal.
    return strcmp(a, b) == 0;
}

namespace {

constexpr char kBase64Alphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// The alphabet value of a character, or -1.
int base64_value(unsigned char c) {
    if (c >= 'A' && c <= 'Z')
        return c - 'A';
    if (c >= 'a' && c <= 'z')
        return c - 'a' + 26;
    if (c >= '0' && c <= '9')
        return c - '0' + 52;
    if (c == '+')
        return 62;
    if (c == '/')
        return 63;
    return -1;
}

} // namespace

char *base64_encode(const void *bytes, size_t length) {
    if (bytes == nullptr && length != 0)
        return nullptr;
    size_t groups = length / 3 + (length % 3 != 0);
    if (groups > (SIZE_MAX - 1) / 4)
        return nullptr;
    auto *text = static_cast<char *>(malloc(groups * 4 + 1));
    if (text == nullptr)
        return nullptr;
    const auto *in = static_cast<const unsigned char *>(bytes);
    char *out = text;
    size_t at = 0;
    for (; at + 3 <= length; at += 3) {
        uint32_t v = (uint32_t{in[at]} << 16) | (uint32_t{in[at + 1]} << 8) | in[at + 2];
        *out++ = kBase64Alphabet[(v >> 18) & 63];
        *out++ = kBase64Alphabet[(v >> 12) & 63];
        *out++ = kBase64Alphabet[(v >> 6) & 63];
        *out++ = kBase64Alphabet[v & 63];
    }
    size_t rest = length - at;
    if (rest != 0) {
        uint32_t v = uint32_t{in[at]} << 16;
        if (rest == 2)
            v |= uint32_t{in[at + 1]} << 8;
        *out++ = kBase64Alphabet[(v >> 18) & 63];
        *out++ = kBase64Alphabet[(v >> 12) & 63];
        *out++ = rest == 2 ? kBase64Alphabet[(v >> 6) & 63] : '=';
        *out++ = '=';
    }
    *out = '\0';
    return text;
}

int base64_decode(const char *text, size_t length, unsigned char **out, size_t *out_length) {
    if (out == nullptr || out_length == nullptr)
        return -EINVAL;
    *out = nullptr;
    *out_length = 0;
    if ((text == nullptr && length != 0) || length % 4 != 0)
        return -EINVAL;
    size_t capacity = length / 4 * 3;
    // One byte more than needed so that an empty text still yields a block.
    auto *bytes = static_cast<unsigned char *>(malloc(capacity + 1));
    if (bytes == nullptr)
        return -ENOMEM;
    const auto *in = reinterpret_cast<const unsigned char *>(text);
    size_t produced = 0;
    for (size_t at = 0; at < length; at += 4) {
        bool last = at + 4 == length;
        int v[4];
        int padding = 0;
        if (last && in[at + 3] == '=') {
            padding = in[at + 2] == '=' ? 2 : 1;
        }
        bool bad = false;
        for (int i = 0; i < 4 - padding; ++i) {
            v[i] = base64_value(in[at + i]);
            if (v[i] < 0)
                bad = true;
        }
        if (bad) {
            wipe_and_free(bytes, capacity + 1);
            return -EINVAL;
        }
        for (int i = 4 - padding; i < 4; ++i)
            v[i] = 0;
        uint32_t group = (uint32_t(v[0]) << 18) | (uint32_t(v[1]) << 12) | (uint32_t(v[2]) << 6) |
                         uint32_t(v[3]);
        bytes[produced++] = static_cast<unsigned char>(group >> 16);
        if (padding < 2)
            bytes[produced++] = static_cast<unsigned char>(group >> 8);
        if (padding < 1)
            bytes[produced++] = static_cast<unsigned char>(group);
    }
    *out = bytes;
    *out_length = produced;
    return 0;
}

bool uuid_generate(char out[kUuidTextSize]) {
    unsigned char b[16];
    if (!random_bytes(b, sizeof b)) {
        out[0] = '\0';
        return false;
    }
    b[6] = static_cast<unsigned char>((b[6] & 0x0F) | 0x40);
    b[8] = static_cast<unsigned char>((b[8] & 0x3F) | 0x80);
    snprintf(out, kUuidTextSize,
             "%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x", b[0], b[1],
             b[2], b[3], b[4], b[5], b[6], b[7], b[8], b[9], b[10], b[11], b[12], b[13], b[14],
             b[15]);
    secure_wipe(b, sizeof b);
    return true;
}

bool uuid_is_valid(const char *text) {
    if (text == nullptr || strnlen(text, 37) != 36)
        return false;
    for (size_t i = 0; i < 36; ++i) {
        char c = text[i];
        if (i == 8 || i == 13 || i == 18 || i == 23) {
            if (c != '-')
                return false;
        } else if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'))) {
            return false;
        }
    }
    return true;
}

} // namespace tw
