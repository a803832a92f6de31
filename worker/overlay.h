// The read-only overlay: where the writes of a read-only mount land.
//
// Pages of 4 KiB, keyed by page number in 4096 hash buckets, at most 256 MiB
// in all, the bytes in locked slabs of 1 MiB wiped when the overlay goes. A
// page is filled from the disk when it is first written, so later
// reads of it see the disk's bytes with the writes applied. Nothing of it
// reaches the container; it disappears with the worker. Not thread-safe: the
// worker calls it under its lock.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tw {

inline constexpr size_t kOverlayPageSize = 4096;
inline constexpr size_t kOverlayBuckets = 4096;
inline constexpr uint64_t kOverlayLimit = uint64_t{256} << 20;

// Reads `length` bytes of the underlying disk at `offset` (inside the disk):
// 0 or a negative errno.
using OverlayFillFn = int (*)(void *context, void *buffer, size_t length, uint64_t offset);

struct Overlay;

// An empty overlay over a disk of `disk_size` bytes; null when out of memory.
// `limit` is the byte cap (kOverlayLimit; tests pass less).
Overlay *overlay_create(uint64_t disk_size, OverlayFillFn fill, void *fill_context,
                        uint64_t limit = kOverlayLimit);

// Copies `length` bytes at `offset` into the overlay. 0; -ENOSPC when a page
// is needed and the overlay is full or a page cannot be allocated; the fill
// read's error. Pages written before a failure keep what they received.
int overlay_write(Overlay *overlay, const void *data, size_t length, uint64_t offset);

// Reads through the overlay: pages present come from it, the rest from the
// disk through the fill function. 0 or the fill read's error.
int overlay_read(Overlay *overlay, void *buffer, size_t length, uint64_t offset);

// Number of pages held.
uint64_t overlay_pages(const Overlay *overlay);

// Wipes and frees every page. Null is accepted.
void overlay_destroy(Overlay *overlay);

} // namespace tw
