// The write-session marker of a writable mount: a file beside the container
// ("PATH.openzcx-write-session") and an empty extended attribute on the
// container file itself (container/files/write_session.h names both). Both
// are made before serving and removed only after a clean end, so a session
// that crashed is found by the next writable mount and sent to repair.
#pragma once

#include "platform/files.h"

#include <string>

namespace tw {

struct WriteMarker {
    std::string path;           // the marker file's path
    int folder = -1;            // the container's folder, open
    FileIdentity file_identity; // the marker file this worker made or reused
    bool created_file = false;  // this worker created the marker file
    bool created_attribute = false;
    bool interrupted = false; // a marker of an earlier session was found (repair)
    int container_fd = -1;    // a duplicate of the container's descriptor
    bool active = false;
};

// Creates (or in repair mode reuses) both markers for the container open as
// `container_fd` under `container_path`. Results: 0; -EEXIST when a marker
// of an unfinished session exists outside repair mode; another negative
// errno when the marker cannot be made safely (a folder others may change,
// storage without the guarantees, a path too long, a reused marker that is
// not this user's regular file, or an attribute that is not on the opened
// file). On failure nothing this call made is left.
int write_marker_create(const char *container_path, int container_fd, bool repair,
                        WriteMarker *marker);

// Removes both markers after a clean end: the file only when the path still
// names the file that was made. 0, or -EIO with whatever is left kept.
int write_marker_remove(WriteMarker *marker);

// Removes what this worker created (a start-up failure before serving);
// markers found from an earlier session stay.
void write_marker_discard_created(WriteMarker *marker);

// Closes the folder and the container duplicate; the markers stay as they
// are.
void write_marker_release(WriteMarker *marker);

} // namespace tw
