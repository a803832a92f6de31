// The worker's status record: the first 80 bytes of a file the session
// service creates, mapped shared by both. The worker updates single fields
// with atomic operations; the service reads them at any time, also after the
// worker has ended.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tw {

inline constexpr size_t kWorkerStatusSize = 80;

// Byte offsets of the fields (little-endian).
enum WorkerStatusField : size_t {
    kStatusLayout = 0,      // u32: 1
    kStatusReady = 4,       // u32: 1 once the target listens
    kStatusError = 8,       // u32: first failure (positive errno), 0 while healthy
    kStatusExited = 12,     // u32: 1 when the worker has finished
    kStatusBusy = 16,       // u32: 1 while a read, write or flush is served
    kStatusConnected = 20,  // u32: 1 while a normal session is in full-feature phase
    kStatusEjected = 24,    // u32: 1 once the initiator ejected the medium
    kStatusPort = 28,       // u32: the target's TCP port
    kStatusCipher = 32,     // u32: the container's cipher number
    kStatusSize = 40,       // u64: disk size in bytes
    kStatusActivity = 48,   // u64: monotonic_now at ready and at every I/O start and end
    kStatusReads = 56,      // u64: completed read requests
    kStatusWrites = 64,     // u64: completed writes to the container
    kStatusFormat = 72,     // u8: format kind
    kStatusCompressed = 73, // u8
    kStatusCdImage = 74,    // u8
    kStatusWritable = 75,   // u8
};

struct WorkerStatus;

// Opens the existing file (at least 80 bytes, read and write, a symbolic
// link as the last component refused), maps its first 80 bytes shared,
// zeroes bytes 4..79 and sets the layout to 1. 0 or a negative errno
// (-EINVAL for a file that is too small or not a regular file).
int worker_status_open(const char *path, WorkerStatus **out);

void worker_status_store32(WorkerStatus *status, size_t field, uint32_t value);
void worker_status_store64(WorkerStatus *status, size_t field, uint64_t value);
void worker_status_store8(WorkerStatus *status, size_t field, uint8_t value);
void worker_status_add64(WorkerStatus *status, size_t field, uint64_t amount);
uint32_t worker_status_load32(const WorkerStatus *status, size_t field);
uint64_t worker_status_load64(const WorkerStatus *status, size_t field);

// Stores a positive error number unless one is stored already (first
// failure wins). Returns the error in force afterwards.
uint32_t worker_status_set_error(WorkerStatus *status, uint32_t error);

// Writes the mapped view and the file through to storage, unmaps and
// closes. Null is accepted.
void worker_status_close(WorkerStatus *status);

} // namespace tw
