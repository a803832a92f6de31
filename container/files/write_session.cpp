#include "container/files/write_session.h"

#include "platform/files.h"

#include <cerrno>
#include <string>
#include <vector>

namespace tw {

bool write_session_marker_found(const char *path, int fd) {
    std::string marker = std::string(path) + kWriteSessionMarkerSuffix;
    FileStatus st;
    // The marker counts even when it is a dangling link: it is not followed.
    int rc = file_status_path(marker.c_str(), false, &st);
    if (rc != -ENOENT)
        return true;
    std::vector<std::string> names;
    // A filesystem without user attributes answers with an empty list.
    if (file_xattr_names(fd, &names) != 0)
        return true;
    for (const std::string &name : names)
        if (name == kWriteSessionAttribute)
            return true;
    return false;
}

} // namespace tw
