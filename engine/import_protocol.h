// What the engine and its import worker say to each other.
//
// The worker ("import-worker NAME 3 4 5") inherits exactly three
// descriptors: 3 the VeraCrypt file (read-only), 4 its input (a sequenced-
// packet socket: the parent's two messages, and the staged file's two
// descriptors passed with the second), 5 its status pipe (the 32-byte
// records below).
#pragma once

#include <cstddef>
#include <cstdint>

namespace tw {

inline constexpr int kImportSourceFd = 3;
inline constexpr int kImportInputFd = 4;
inline constexpr int kImportStatusFd = 5;

// The parent's messages. The password message: the VeraCrypt password
// followed by zero bytes. The output request: the indexes (0 and 1) of the
// staged file's read-write and read-only descriptors among the descriptors
// sent with it, the new password NUL-terminated in 4097 bytes, the system
// key text NUL-terminated in 15 bytes.
inline constexpr size_t kImportPasswordMessageSize = 129;
inline constexpr size_t kImportOutputRequestSize = 4128;
inline constexpr size_t kImportNewPasswordOffset = 16;
inline constexpr size_t kImportNewPasswordField = 4097;
inline constexpr size_t kImportSystemKeyOffset = kImportNewPasswordOffset + kImportNewPasswordField;
inline constexpr size_t kImportSystemKeyField = 15;

inline constexpr size_t kImportRecordSize = 32;

enum ImportRecordType : uint32_t {
    kImportStarted = 1,
    kImportVolumeOpened = 2,
    kImportProgress = 3,
    kImportFinished = 4,
};

enum ImportPhase : uint32_t {
    kImportPhaseImporting = 1,
    kImportPhaseVerifying = 2,
};

struct ImportRecord {
    uint32_t type = 0;
    uint32_t phase = 0;
    int32_t result = 0;
    uint32_t reserved = 0;
    uint64_t total = 0;
    uint64_t done = 0;
};

// Little-endian encoding of a record.
void import_record_encode(const ImportRecord &record, uint8_t bytes[kImportRecordSize]);

// Decodes a record; false unless the type is 1 to 4, bytes 12 to 15 are
// zero and done does not exceed total.
bool import_record_decode(const uint8_t bytes[kImportRecordSize], ImportRecord *record);

// Exit codes of the worker.
inline constexpr int kWorkerFailed = 1;
inline constexpr int kWorkerBadDescriptors = 10;
inline constexpr int kWorkerNotSandboxed = 11;
inline constexpr int kWorkerNoMemory = 13;
inline constexpr int kWorkerCannotReport = 14;

// The import worker: the whole process after start-up hardening. Returns its
// exit code (the caller ends the process with _exit).
int import_worker_main(int argc, char **argv);

// Test seam for a deliberately misbehaving worker: called once the sandbox
// is proven and before the first record, with the status descriptor. Only
// test programs set it.
using ImportWorkerHook = void (*)(int status_fd);
void import_worker_set_hook_for_testing(ImportWorkerHook hook);

} // namespace tw
