// File layer: descriptors with close-on-exec, identity and status, the in-use
// lock, unnamed temporaries, renaming without replacing, volume checks, free
// space and extended attributes.
//
// Every function returns 0 (or a descriptor, where it opens one) on success
// and a negative errno value on failure. Paths and names are byte strings;
// paths must be valid UTF-8.
#pragma once

#include "platform/descriptor.h"

#include <cstdint>
#include <string>
#include <vector>

namespace tw {

// Two descriptors name the same file when both parts are equal.
struct FileIdentity {
    uint64_t volume = 0; // st_dev
    uint64_t file = 0;   // st_ino
    bool operator==(const FileIdentity &) const = default;
};

enum class FileType { regular, directory, link, char_device, block_device, pipe, other };

struct FileTime {
    int64_t seconds = 0;
    int64_t nanoseconds = 0;
    bool operator==(const FileTime &) const = default;
};

struct FileStatus {
    FileIdentity identity;
    FileType type = FileType::other;
    uint64_t links = 0; // 0 once the file was deleted while open
    uint64_t size = 0;
    uint64_t blocks = 0; // allocated 512-byte blocks
    FileTime last_write;
    FileTime change;
    uint32_t mode = 0; // permission bits
    uint32_t owner = 0;
    uint32_t group = 0;
};

// True when the status describes the same file with the same size and times.
bool file_status_same(const FileStatus &a, const FileStatus &b);

// ---- Opening

enum class FileAccess { read, write, read_write };
enum class FileCreate {
    open_existing, // ENOENT when absent
    create_new,    // EEXIST when present
    truncate,      // create or truncate to 0
};
enum FileOpenFlags : unsigned {
    kFileNoFollow = 1u << 0,  // a symbolic link as the last component is ELOOP
    kFileOwnerOnly = 1u << 1, // a created file gets mode 0600
    kFileDirectory = 1u << 2, // must be a directory (ENOTDIR otherwise)
    kFileNonBlock = 1u << 3,  // opening a FIFO or device never waits
};

// Checks that a path is non-empty (ENOENT) and valid UTF-8 (EILSEQ).
int file_path_check(const char *path);

// Opens a path; returns the descriptor or a negative errno value.
int file_open(const char *path, FileAccess access, FileCreate create, unsigned flags);
// Opens `name` inside the directory `dir`. The name must be non-empty and
// contain no "/" (EINVAL).
int file_open_at(int dir, const char *name, FileAccess access, FileCreate create, unsigned flags);
// Opens a folder for use as the directory of the *_at functions.
int directory_open(const char *path);
// A new descriptor (close-on-exec) for the same open file as `fd`: it shares
// the file position, the status flags and the in-use lock.
int file_duplicate(int fd);

// ---- Status

int file_status(int fd, FileStatus *status);
// Status of a name in a directory; with `follow` false a symbolic link is
// reported as FileType::link.
int file_status_at(int dir, const char *name, bool follow, FileStatus *status);
int file_status_path(const char *path, bool follow, FileStatus *status);
// The access the descriptor was opened with.
int file_access_mode(int fd, FileAccess *access);
bool handle_is_read_only(int fd);

// ---- In-use lock: one byte at this offset, shared by readers and exclusive
// for writers. It is an open-file-description lock: it belongs to this open
// file and stays until the last descriptor of it is closed, whatever other
// descriptors of the same file this process closes.
inline constexpr int64_t kInUseLockOffset = 0x7FFFFFFFFFFFFFF0;

// Takes the lock without waiting, first releasing whatever lock this open
// file holds on that byte. A conflict is EWOULDBLOCK. An exclusive lock needs
// a descriptor open for writing (EBADF otherwise).
int file_lock(int fd, bool exclusive);
int file_unlock(int fd);
// Tells without taking it whether the lock could be granted now: 0 when it
// could, EWOULDBLOCK when another open file holds a conflicting one. Works on
// a read-only descriptor also for the exclusive case.
int file_lock_test(int fd, bool exclusive);

// ---- Size and durability

int file_set_size(int fd, uint64_t size);
// Allocates the space and sets the size; EOPNOTSUPP when the filesystem
// cannot reserve space.
int file_reserve(int fd, uint64_t size);
// Writes the file's (or folder's) data and metadata through to the storage.
int file_flush(int fd);
// Writes the file's data through to the storage, with only the metadata
// needed to read it back (the size), not the times.
int file_flush_data(int fd);

// ---- Names

// Creates an unnamed file in the directory, mode 0600, open for reading and
// writing. It has no name until file_link_at gives it one and disappears with
// its last descriptor, also when the process is killed.
int file_open_unnamed(int dir);
// Creates a file that lives only in memory (named `name` for diagnostics),
// open for reading and writing; it disappears with its last descriptor.
int file_open_in_memory(const char *name);
// Gives the open file `fd` the name `name` in `dir` without replacing
// anything (EEXIST when the name exists).
int file_link_at(int fd, int dir, const char *name);
int file_unlink_at(int dir, const char *name);
// Renames `old_name` to `new_name` in `dir`, never replacing a file that has
// the new name (EEXIST). Where the filesystem cannot rename without replacing,
// the file is hard-linked under the new name and the old name removed; where it
// has neither, the result is ENOTSUP.
int rename_noreplace(int dir, const char *old_name, const char *new_name);

// ---- Volumes and folders

// 0 when the file lies on a local filesystem that keeps what it acknowledged
// (ext2/3/4, xfs, btrfs, f2fs, zfs, bcachefs, tmpfs) and is mounted writable;
// ENOTSUP otherwise (network, FUSE, overlay and others, or read-only).
int volume_is_local_durable(int fd);
// 0 when `dir` is a folder (ENOTDIR) owned by the effective user (EACCES)
// that nobody else may change: no group or other write permission and no ACL
// entry granting write to anyone else (EACCES).
int folder_is_trusted(int dir);
// Bytes available to this process on the volume of `fd`.
int free_space(int fd, uint64_t *bytes);

// ---- Owner group and permission bits

// Sets the file's group (its owner stays).
int file_set_group(int fd, uint32_t group);
// Sets the permission bits (07777 at most).
int file_set_mode(int fd, uint32_t mode);

// ---- Extended attributes

// The attribute names of the file, with their namespace ("user.x"). A filesystem without user
// attributes has none: the list is empty and the result 0.
int file_xattr_names(int fd, std::vector<std::string> *names);
// The value of one attribute; -ENODATA when the file has none of that name.
int file_xattr_get(int fd, const char *name, std::vector<uint8_t> *value);
int file_xattr_set(int fd, const char *name, const void *value, size_t length);
int file_xattr_remove(int fd, const char *name);

// ---- Test seam: makes this process behave as on a filesystem that lacks
// the chosen facilities. Only for tests; all off by default.
struct FileFacilityFaults {
    bool no_rename_noreplace = false; // renameat2 with RENAME_NOREPLACE is EINVAL
    bool no_hard_links = false;       // linkat of a named file is EPERM
    bool no_unnamed_files = false;    // O_TMPFILE is EOPNOTSUPP
};
void file_set_facility_faults_for_testing(const FileFacilityFaults &faults);

} // namespace tw
