// The library of the user's containers: `library.json` in the user root.
//
// The application is the file's only writer (the mount service reads it for
// sign-in mounting). The whole tree is kept as JSON, so members this build
// does not know survive a save. A file that cannot be read, or that a newer
// build wrote, makes the library read-only for the run: it is never written
// and stays byte for byte as it was.
#pragma once

#include "runtime/json.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace tw {

// Largest library file read.
inline constexpr size_t kLibraryFileLimit = 16u << 20;

enum class LibraryLoadState {
    Loaded,  // the file was read (or did not exist: an empty library)
    Damaged, // the file could not be read or parsed, or is not a library
    TooNew,  // the file parsed but its "version" is not 1
};

struct Library {
    JsonValue *root = nullptr; // {"version": 1, "entries": [...]}, owned
    std::string path;          // the file
    bool read_only = false;    // after a failed load: never saved
    LibraryLoadState state = LibraryLoadState::Loaded;

    Library() = default;
    Library(const Library &) = delete;
    Library &operator=(const Library &) = delete;
    ~Library() { json_free(root); }
};

// Loads the library from `path` (missing: empty). A damaged or newer file
// leaves an empty, read-only library and the file untouched. Returns 0, or
// -ENOMEM.
int library_load(Library *library, const std::string &path);

// Writes the whole library with the atomic record write. -EROFS for a
// read-only library; else 0 or the write's error.
int library_save(const Library *library);

// The "entries" array (never null after library_load).
JsonValue *library_entries(const Library *library);
size_t library_size(const Library *library);

// The entry with this "id" (compared case-insensitively) or "path"
// (paths_equal), or null.
JsonValue *library_find_id(const Library *library, std::string_view id);
JsonValue *library_find_path(const Library *library, std::string_view path);

// The form in which a path is stored: the final path of the file opened for
// reading its attributes (symbolic links resolved), else the absolute path
// as given. -EISDIR for a folder (folders are never added), -EINVAL for an
// empty path or one that is not UTF-8.
int library_final_path(std::string_view given, std::string *out);

// Opens a path in the library: an entry with the same final path is reused
// and its "lastOpened" refreshed; otherwise a new entry is appended ("id" an
// upper-case UUID, "favorite" false, "added" and "lastOpened" now).
// *entry receives the entry, *added whether it is new. 0 or a negative
// number (library_final_path's, -EROFS, -ENOMEM).
int library_open_path(Library *library, std::string_view given, JsonValue **entry, bool *added);

// Adds an entry for a path whose final form is known, replacing any entry
// with that path (creation, import, the backup of a replacement), with
// `info` (taken over; may be null). *entry receives the new entry.
int library_put_path(Library *library, const std::string &path, JsonValue *info, JsonValue **entry);

// Removes the entry with this id; false when there is none.
bool library_remove(Library *library, std::string_view id);

// Seconds since 1 January 2001 UTC, now.
int64_t library_now();

// The entry's members, with defaults.
const char *entry_id(const JsonValue *entry);
const char *entry_path(const JsonValue *entry);
std::string entry_file_name(const JsonValue *entry);
const JsonValue *entry_info(const JsonValue *entry);
bool entry_info_flag(const JsonValue *entry, const char *member);

} // namespace tw
