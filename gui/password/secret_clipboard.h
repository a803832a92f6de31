// Copying a password to the clipboard, and taking it back.
//
// The copy carries the "x-kde-passwordManagerHint" format with the value
// "secret", which clipboard managers and history tools honour by not keeping
// it. After the clear delay (a minute) the clipboard is emptied, but only
// while it still holds this copy: anything the user copied meanwhile stays.
// Everything here runs on the GUI thread.
#pragma once

#include <cstdint>
#include <span>

namespace tw {

inline constexpr int kSecretClipboardClearMs = 60000;

// Puts the password (UTF-8) on the clipboard as text marked secret and
// (re)starts the clear timer. Every temporary copy made here is wiped.
void secret_clipboard_copy(std::span<const uint8_t> password);

// True while a copied password waits to be cleared.
bool secret_clipboard_pending();

// Clears a pending copy at once when the clipboard still holds it (at
// program exit), and stops the timer.
void secret_clipboard_clear_now();

// Tests shorten the clear delay; 0 or negative restores the minute.
void secret_clipboard_set_clear_delay_for_testing(int ms);

} // namespace tw
