#include "engine/recovery_files.h"

#include "platform/files.h"

#include <cerrno>
#include <cstring>
#include <string>
#include <unistd.h>

namespace tw {

namespace {

bool is_partial_output(const char *path) {
    const char *slash = std::strrchr(path, '/');
    const char *name = slash ? slash + 1 : path;
    static const char kPrefix[] = ".openzcx-rekey-";
    static const char kSuffix[] = ".partial";
    size_t length = std::strlen(name);
    return length > 8 && std::strncmp(name, kPrefix, sizeof kPrefix - 1) == 0 &&
           std::strcmp(name + length - (sizeof kSuffix - 1), kSuffix) == 0;
}

// 1 when the name exists (not followed), 0 when it does not, -1 when that
// cannot be told. A file name longer than the filesystem allows cannot
// exist, so a container with a long name simply has no such leftover.
int exists(const std::string &path) {
    FileStatus st;
    int rc = file_status_path(path.c_str(), false, &st);
    if (rc == 0)
        return 1;
    if (rc == -ENAMETOOLONG) {
        size_t slash = path.rfind('/');
        std::string folder = slash == std::string::npos ? "." : path.substr(0, slash + 1);
        size_t name_length = slash == std::string::npos ? path.size() : path.size() - slash - 1;
        long limit = pathconf(folder.c_str(), _PC_NAME_MAX);
        if (limit > 0 && name_length > size_t(limit))
            return 0;
    }
    return rc == -ENOENT ? 0 : -1;
}

} // namespace

RecoveryFiles recovery_files_check(const char *path) {
    if (is_partial_output(path))
        return RecoveryFiles::found;
    bool found = false;
    for (const char *suffix : {".idx", ".openzcx-journal"}) {
        int rc = exists(std::string(path) + suffix);
        if (rc < 0)
            return RecoveryFiles::check_failed;
        found = found || rc == 1;
    }
    return found ? RecoveryFiles::found : RecoveryFiles::none;
}

} // namespace tw
