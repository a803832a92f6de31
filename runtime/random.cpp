#include "runtime/random.h"

#include <cerrno>
#include <cstdint>
#include <sys/random.h>

namespace tw {

bool random_bytes(void *buffer, size_t length) {
    auto *p = static_cast<uint8_t *>(buffer);
    while (length > 0) {
        // getrandom returns at most 32 MiB per call from the urandom pool and
        // may be interrupted by a signal; loop until everything is filled.
        ssize_t n = getrandom(p, length, 0);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        p += n;
        length -= static_cast<size_t>(n);
    }
    return true;
}

} // namespace tw
