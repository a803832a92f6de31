#include "client/descriptor_io.h"

#include <cerrno>
#include <unistd.h>

namespace tw {

int fd_write_all(int fd, const void *bytes, size_t length) {
    const auto *p = static_cast<const char *>(bytes);
    while (length > 0) {
        ssize_t n = ::write(fd, p, length);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return -errno;
        if (n == 0)
            return -EIO;
        p += n;
        length -= static_cast<size_t>(n);
    }
    return 0;
}

} // namespace tw
