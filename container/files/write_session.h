// Markers of an experimental writable mount ("write session").
//
// While a mount worker serves a container writable it keeps two markers: a
// file next to the container and an extended attribute on the container
// itself. Either one surviving the session means the session did not end
// cleanly and the container must be recovered before it is used.
#pragma once

namespace tw {

// Appended to the container path to form the marker file's path.
inline constexpr const char kWriteSessionMarkerSuffix[] = ".openzcx-write-session";
// The extended attribute on the container file (empty value).
inline constexpr const char kWriteSessionAttribute[] = "user.com.tarnwick.write-session";

// True when either marker of an unfinished write session is present for the
// container opened as `fd` under `path`. When presence cannot be decided
// (an error other than "not found", or the attribute list cannot be read),
// the answer is true: a container is never declared clean on a guess.
bool write_session_marker_found(const char *path, int fd);

} // namespace tw
