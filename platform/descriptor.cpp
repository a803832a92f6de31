#include "platform/descriptor.h"

#include <cerrno>
#include <unistd.h>

namespace tw {

int FileHandle::reset(int fd) {
    int result = 0;
    // Linux releases the descriptor even when close is interrupted, so EINTR
    // is not an error to report and the close must not be repeated.
    if (fd_ >= 0 && close(fd_) < 0 && errno != EINTR)
        result = errno > 0 ? -errno : -EIO;
    fd_ = fd;
    return result;
}

} // namespace tw
