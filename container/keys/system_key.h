// The process-wide 7-byte system key that protects legacy container headers.
//
// It is set once, before worker threads start: explicitly from the engine's
// credential message (system_key_set_hex / system_key_set_default) or, on the
// first need, from the environment (system_key_load). The key bytes live in
// locked memory. None of these functions is thread-safe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace tw {

inline constexpr size_t kSystemKeySize = 7;

// The built-in default system key shared by every program of the system.
inline constexpr uint8_t kDefaultSystemKey[kSystemKeySize] = {0x84, 0xE0, 0xCC, 0x96,
                                                              0xAF, 0x4A, 0xC2};

// Parses key text: leading spaces and tabs, one optional "0x"/"0X", exactly 14
// hexadecimal digits (byte 0 first), trailing tabs, line feeds, carriage
// returns and spaces. On success the key is set and is not the default; on
// -EINVAL no key is set afterwards. -ENOMEM when no locked memory is left.
int system_key_set_hex(std::string_view text);

// Sets the built-in default key (default flag set). 0 or -ENOMEM.
int system_key_set_default();

// Makes sure a key is set. When none was set explicitly: ZCX_SYSTEM_KEY is
// parsed like system_key_set_hex; else a non-empty ZCX_SYSTEM_KEY_STRING gives
// bytes 0..5 from its first up to 6 bytes XORed alternately with 0x55 and 0xAA
// (bytes 6 and missing ones zero; empty is -EINVAL); else the default is used.
// The outcome, an error included, is remembered and returned by later calls.
int system_key_load();

// Wipes the key, clears both flags and the remembered load outcome.
void system_key_forget();

bool system_key_is_set();
bool system_key_is_default();

// Copies the current key. 0, or -ENOKEY when none is set.
int system_key_get(uint8_t out[kSystemKeySize]);

// The keys to try, in order, when classifying a file: the key in force and,
// when it is not the default, the default as second candidate. Returns the
// number of candidates written (0 when no key is set).
size_t system_key_candidates(uint8_t out[2][kSystemKeySize]);

} // namespace tw
