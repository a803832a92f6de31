// Password tools without widgets: the strength estimate, the random
// generator, and the moving of password text between Qt strings and locked
// buffers.
//
// Passwords are exact UTF-8 bytes: nothing here trims, normalises or
// shortens them.
#pragma once

#include "platform/secure_memory.h"

#include <QString>
#include <cstddef>
#include <cstdint>
#include <span>

class QLineEdit;

namespace tw {

// The longest password any cipher accepts, in bytes.
inline constexpr size_t kPasswordBytesMax = 4096;
// Passwords longer than this are not estimated: the estimate's cost grows
// with the length.
inline constexpr size_t kStrengthBytesMax = 128;
// The generator's longest password, and its length when the user has not
// chosen one.
inline constexpr int kGeneratorLengthMax = 128;
inline constexpr int kGeneratorLengthDefault = 24;

// The strength score 0 to 4 of a password of 1 to 128 bytes, from the
// estimator's number of guesses: below 1005 guesses 0, below 1000005 1,
// below 100000005 2, below 10000000005 3, else 4. -EINVAL for an empty or
// longer password, -EIO when the estimator failed.
int password_strength_score(std::span<const uint8_t> password);

// The score for a number of guesses (the thresholds above).
int password_score_for_guesses(double guesses);

// The generator's alphabets: 62 letters and digits, and with symbols 28
// more (90 in all).
inline constexpr char kGeneratorLetters[] =
    "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
inline constexpr char kGeneratorSymbols[] = "!#$%&()*+,-./:;<=>?@[]^_{|}~";

// A random password of `length` characters drawn evenly from the alphabet:
// random bytes are read 64 at a time and a byte b is used only when
// b < 256 - (256 mod k) (k the alphabet size), as alphabet[b mod k].
// `limit` is the cipher's byte limit (0 or negative: unknown, which refuses).
// -EINVAL when length is not within 1..128 and the limit; -EIO when the
// system could not supply random bytes (nothing partial is left); -ENOMEM.
int password_generate(int length, int limit, bool symbols, SecureBuffer *out);

// The UTF-8 bytes of `text` into a new locked buffer; the temporary UTF-8
// copy is wiped. False when no memory could be had.
bool secret_from_text(const QString &text, SecureBuffer *out);

// The text of secret bytes (exact UTF-8; invalid sequences become U+FFFD,
// which never happens for bytes made here). The caller wipes it with
// wipe_text once a widget has taken it.
QString secret_to_text(std::span<const uint8_t> bytes);

// Overwrites the characters of `text` where they are stored, including the
// storage it shares with a widget's copy, then empties it. Qt strings share
// their storage on copy, so this reaches the widget's own text as well.
void wipe_text(QString *text);

// Overwrites and empties the text of a line edit.
void wipe_line_edit(QLineEdit *edit);

} // namespace tw
