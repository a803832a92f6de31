// Text utilities shared by every program: formatting, strict UTF-8, path
// comparison, base64, UUID text and wiping releases.
//
// Ownership: every function that returns a char* or fills an output pointer
// hands over a block from malloc; the caller releases it with free(), or with
// wipe_and_free / wipe_and_free_text when it may hold a secret (base64 text of
// a credential record, decoded bytes, serialized JSON).
#pragma once

#include <cstdarg>
#include <cstddef>

namespace tw {

// ---- Releasing secrets ----

// Overwrites `length` bytes with zeros (in a way the compiler keeps), then
// frees the block. Null is accepted.
void wipe_and_free(void *block, size_t length);
// The same for a NUL-terminated text: wipes its bytes and terminator, frees.
void wipe_and_free_text(char *text);

// ---- Formatting ----

// printf-style formatting into a newly allocated NUL-terminated text (free()
// it). Null when the format fails or memory runs out.
char *format_alloc(const char *format, ...) __attribute__((format(printf, 1, 2)));
char *vformat_alloc(const char *format, va_list arguments) __attribute__((format(printf, 1, 0)));

// ---- UTF-8 ----

// Length (1 to 4) of the well-formed UTF-8 sequence that starts at `bytes`,
// looking at no more than `available` bytes; 0 when the bytes there are not a
// well-formed sequence. Lead bytes C2-DF take one continuation byte, E0-EF two,
// F0-F4 three; continuation bytes are 80-BF; overlong forms, surrogates
// (U+D800-U+DFFF) and values above U+10FFFF are refused. Any ASCII byte,
// including NUL, is a sequence of length 1.
size_t utf8_sequence_length(const unsigned char *bytes, size_t available);

// True when the whole buffer is well-formed UTF-8 by the rules above. NUL bytes
// are ASCII and therefore valid here; callers that need texts without NUL check
// that separately.
bool utf8_is_valid(const void *bytes, size_t length);

// The longest length not above `limit` at which the NUL-terminated `text` can
// be cut without splitting a character: the text's own length when it is not
// longer than the limit, otherwise the limit moved back over continuation bytes
// (0 when only continuation bytes lie within the limit). Null gives 0.
size_t utf8_prefix_length(const char *text, size_t limit);

// The value of one hexadecimal digit of either case, or -1.
inline int hex_digit_value(unsigned char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// ---- Paths ----

// True when both paths are the same. Linux file names are case-sensitive byte
// strings, so the comparison is exact, byte for byte: "/a/B" and "/a/b" name
// different files. False when either path is null.
bool paths_equal(const char *a, const char *b);

// ---- Base64 (RFC 4648 alphabet, "=" padding, no line breaks) ----

// Encodes `length` bytes into a newly allocated NUL-terminated text. Null when
// memory runs out (or the length overflows).
char *base64_encode(const void *bytes, size_t length);

// Decodes exactly `length` characters of `text`. The length must be a multiple
// of 4; every character must be from the alphabet, except that the last group
// may end in "=" or "=="; nothing else (no whitespace) is accepted. An empty
// text decodes to zero bytes. On success *out is a newly allocated block (never
// null, even for zero bytes) holding *out_length bytes; release it with
// wipe_and_free. Returns 0, -EINVAL for text that is not strict base64 (any
// partly decoded output is wiped and released), -ENOMEM.
int base64_decode(const char *text, size_t length, unsigned char **out, size_t *out_length);

// ---- UUID text ----

// 36 characters plus NUL.
inline constexpr size_t kUuidTextSize = 37;

// Fills `out` with a new random UUID in lower-case 8-4-4-4-12 form (version 4,
// variant binary 10). False (and `out` set to an empty text) when the random
// source failed.
bool uuid_generate(char out[kUuidTextSize]);

// True for exactly 36 characters with hyphens at positions 8, 13, 18 and 23 and
// hexadecimal digits of either case everywhere else. Null gives false.
bool uuid_is_valid(const char *text);

} // namespace tw
