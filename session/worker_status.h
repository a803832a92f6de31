// Reading the worker's status record, which the worker writes into the
// session's "status.bin" and the service maps read-only. The layout and the
// field offsets are the worker's (worker/status.h).
#pragma once

#include "worker/status.h"

#include <cstddef>
#include <cstdint>

namespace tw {

inline constexpr size_t kStatusFileSize = kWorkerStatusSize;
inline constexpr size_t kFieldLayout = kStatusLayout;
inline constexpr size_t kFieldError = kStatusError;
inline constexpr size_t kFieldExited = kStatusExited;
inline constexpr size_t kFieldBusy = kStatusBusy;
inline constexpr size_t kFieldEjected = kStatusEjected;
inline constexpr size_t kFieldActivity = kStatusActivity;

// One 32-bit field of a mapped status record, read atomically (the worker
// stores them with atomic operations; both sides are little-endian x86-64).
inline uint32_t status_load32(const uint8_t *view, size_t field) {
    return __atomic_load_n(reinterpret_cast<const uint32_t *>(view + field), __ATOMIC_ACQUIRE);
}
inline uint64_t status_load64(const uint8_t *view, size_t field) {
    return __atomic_load_n(reinterpret_cast<const uint64_t *>(view + field), __ATOMIC_ACQUIRE);
}

} // namespace tw
