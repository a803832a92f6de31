#include "runtime/records.h"

#include "runtime/text.h"

#include "platform/files.h"
#include "platform/io.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace tw {

namespace {

// Flushes the folder that holds `path`, so that the rename itself is durable.
// Filesystems that cannot flush a folder (EINVAL, EOPNOTSUPP) count as done:
// there is nothing more to be had on them.
bool sync_parent_folder(const char *path) {
    const char *slash = strrchr(path, '/');
    char *folder;
    if (slash == nullptr)
        folder = strdup(".");
    else if (slash == path)
        folder = strdup("/");
    else
        folder = strndup(path, static_cast<size_t>(slash - path));
    if (folder == nullptr)
        return false;
    FileHandle fd(directory_open(folder));
    free(folder);
    if (!fd.valid())
        return false;
    int rc = file_flush(fd.get());
    return rc == 0 || rc == -EINVAL || rc == -EOPNOTSUPP;
}

} // namespace

int write_record_file(const char *path, const void *bytes, size_t length) {
    if (path == nullptr || path[0] == '\0' || (bytes == nullptr && length != 0))
        return -EIO;
    if (length >= (uint64_t{1} << 32))
        return -EIO;
    char uuid[kUuidTextSize];
    if (!uuid_generate(uuid))
        return -EIO;
    char *temporary = format_alloc("%s.%s.tmp", path, uuid);
    if (temporary == nullptr)
        return -EIO;

    FileHandle file(file_open(temporary, FileAccess::write, FileCreate::create_new,
                              kFileNoFollow | kFileOwnerOnly));
    if (!file.valid()) {
        free(temporary);
        return -EIO;
    }
    bool ok = write_full(file.get(), bytes, length) == 0 && file_flush(file.get()) == 0;
    // close can report a deferred write error (network filesystems): check it.
    if (file.reset() != 0)
        ok = false;
    if (ok && rename(temporary, path) != 0)
        ok = false;
    if (!ok) {
        unlink(temporary);
        free(temporary);
        return -EIO;
    }
    free(temporary);
    return sync_parent_folder(path) ? 0 : -EIO;
}

int read_whole_file(const char *path, size_t limit, char **contents, size_t *length) {
    if (contents == nullptr || length == nullptr)
        return -EINVAL;
    *contents = nullptr;
    *length = 0;
    if (path == nullptr)
        return -EINVAL;
    // O_NONBLOCK keeps the open from hanging on a FIFO; O_NOFOLLOW refuses a
    // symbolic link in the last component with ELOOP.
    int fd =
        file_open(path, FileAccess::read, FileCreate::open_existing, kFileNoFollow | kFileNonBlock);
    if (fd < 0)
        return fd;
    FileHandle file(fd);
    FileStatus st;
    if (file_status(file.get(), &st) != 0)
        return -EIO;
    if (st.type == FileType::directory)
        return -EISDIR;
    if (st.type != FileType::regular)
        return -EINVAL;
    if (st.size > static_cast<uint64_t>(INT64_MAX) || st.size > limit)
        return -EFBIG;
    size_t size = static_cast<size_t>(st.size);
    if (size == SIZE_MAX)
        return -EFBIG;
    auto *buffer = static_cast<char *>(malloc(size + 1));
    if (buffer == nullptr)
        return -ENOMEM;
    if (read_full(file.get(), buffer, size) != 0) {
        // A failed read or a file that shrank after its status was taken.
        wipe_and_free(buffer, size + 1);
        return -EIO;
    }
    buffer[size] = '\0';
    *contents = buffer;
    *length = size;
    return 0;
}

void free_whole_file(char *contents, size_t length) {
    wipe_and_free(contents, length + 1);
}

} // namespace tw
