// Read-ahead for the worker's disk: a reader that asks for the range right
// after its last one (a file read from start to end, a copy of the disk)
// gets its next range read and decrypted on a thread of its own while the
// answer to the current one travels to the initiator. Worth it where a read
// costs real work besides the file read: a chunk store authenticates and
// decrypts whole chunks.
//
// The range read ahead has the length of the read that started it (at most
// kReadAheadLimit bytes) and lives in one locked buffer, wiped as soon as it
// is served, fails or is given up. Not thread-safe: the worker calls it under its lock,
// and while a read ahead is in flight the source belongs to the read-ahead
// thread, so every other use of the source (a write, a flush, closing it)
// first calls read_ahead_settle or read_ahead_forget.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tw {

inline constexpr size_t kReadAheadLimit = 1 << 20;

// Reads `length` bytes of the source at `offset`: 0 or a negative errno.
using ReadAheadSourceFn = int (*)(void *context, void *buffer, size_t length, uint64_t offset);

struct ReadAhead;

// A read-ahead over a source of `size` bytes. 0, -ENOMEM, or the error of the
// thread start.
int read_ahead_create(uint64_t size, ReadAheadSourceFn read, void *context, ReadAhead **out);

// Waits for the read in flight, stops the thread and wipes the buffer. Null
// is accepted.
void read_ahead_destroy(ReadAhead *ra);

// Serves `length` bytes at `offset`: from the range read ahead when it holds
// them, else from the source. When the read follows the previous one, the
// range after it is read ahead. 0 or the source's error (a failed read ahead
// is not reported: the range is read again when it is asked for).
int read_ahead_read(ReadAhead *ra, void *buffer, size_t length, uint64_t offset);

// Waits until no read ahead is in flight (one not begun yet is withdrawn);
// what was read stays valid.
void read_ahead_settle(ReadAhead *ra);

// Waits as read_ahead_settle, then wipes what was read ahead: the source is
// about to change.
void read_ahead_forget(ReadAhead *ra);

} // namespace tw
