// Checks over a decrypted disk image that the container summary reports:
// whether the mount worker could serve it writable, which filesystem it
// holds, and whether a filesystem on it was left dirty by an interrupted
// write session.
//
// Everything reads through a callback so that the checks work on any image:
// a container being verified, or a plain file in tests.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tw {

// Reads exactly `length` bytes at `offset` of the image; 0 or a negative
// errno (a short read is an error).
using ImageReadFn = int (*)(void *context, void *buffer, size_t length, uint64_t offset);

struct ImageReader {
    ImageReadFn read = nullptr;
    void *context = nullptr;
    uint64_t size = 0; // bytes
};

// What is known about a container when its write support is decided.
struct WriteSupportInput {
    int format_kind = 0;     // 1..7
    uint32_t cipher = 255;   // cipher in use
    uint32_t v3_version = 0; // 0 when not a v3 container
    bool v3_recovery_needed = false;
    bool header_locked = false;
    bool cd_image = false;
    const uint8_t *sector0 = nullptr; // decrypted sector 0 (512 bytes)
};

// The facts of an open container's summary as the write-support check takes
// them: the container's own kind, cipher, store and presented sector 0.
struct ContainerInfo;
WriteSupportInput write_support_input(const ContainerInfo &info);

// The filesystem the mount worker would write ("ntfs", "exfat", "fat32",
// "fat", "partitioned"), or null when the container cannot be served
// writable.
const char *write_support_filesystem(const WriteSupportInput &input);

// "ntfs", "exfat", "apfs", "ext" or "other", from sector 0 and, for ext, the
// superblock at byte 1024 (a failed read gives "other").
const char *filesystem_type(const uint8_t *sector0, const ImageReader &image);

enum class DirtyState {
    Clean = 0,
    JournalReplay = 1, // an ext journal waits to be replayed: not damage by itself
    Dirty = 2,
    NotRecognised,
    IoFailure,
};

// The dirty-state scan: the image start as a filesystem, else every MBR
// partition (with extended chains and GPT) as one. The worst state seen wins:
// dirty over journal replay over clean; an I/O failure or an invalid table
// ends the scan with IoFailure. Unrecognised partitions count as clean.
DirtyState dirty_state_scan(const ImageReader &image);

// The check of one filesystem at a byte offset of the image.
DirtyState dirty_state_at(const ImageReader &image, uint64_t offset);

} // namespace tw
