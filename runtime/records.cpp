#include "runtime/records.h"

#include "runtime/text.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tw {

namespace {

// Closes a descriptor at scope exit unless released.
struct FdGuard {
    int fd = -1;
    ~FdGuard() {
        if (fd >= 0)
            close(fd);
    }
    int release() {
        int f = fd;
        fd = -1;
        return f;
    }
};

bool write_all(int fd, const unsigned char *bytes, size_t length) {
    while (length > 0) {
        ssize_t n = write(fd, bytes, length);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        if (n == 0)
            return false;
        bytes += n;
        length -= static_cast<size_t>(n);
    }
    return true;
}

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
    int fd = open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    free(folder);
    if (fd < 0)
        return false;
    int rc = fsync(fd);
    int error = errno;
    close(fd);
    return rc == 0 || error == EINVAL || error == EOPNOTSUPP;
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

    FdGuard file;
    file.fd = open(temporary, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (file.fd < 0) {
        free(temporary);
        return -EIO;
    }
    bool ok = write_all(file.fd, static_cast<const unsigned char *>(bytes), length) &&
              fsync(file.fd) == 0;
    // close can report a deferred write error (network filesystems): check it.
    if (close(file.release()) != 0)
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
    FdGuard file;
    file.fd = open(path, O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (file.fd < 0)
        return -errno;
    struct stat st;
    if (fstat(file.fd, &st) != 0)
        return -EIO;
    if (S_ISDIR(st.st_mode))
        return -EISDIR;
    if (!S_ISREG(st.st_mode))
        return -EINVAL;
    if (st.st_size < 0 || static_cast<uint64_t>(st.st_size) > limit)
        return -EFBIG;
    size_t size = static_cast<size_t>(st.st_size);
    if (size == SIZE_MAX)
        return -EFBIG;
    auto *buffer = static_cast<char *>(malloc(size + 1));
    if (buffer == nullptr)
        return -ENOMEM;
    size_t done = 0;
    while (done < size) {
        ssize_t n = read(file.fd, buffer + done, size - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            // A failed read or a file that shrank after fstat.
            wipe_and_free(buffer, size + 1);
            return -EIO;
        }
        done += static_cast<size_t>(n);
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
