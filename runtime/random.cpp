#include "runtime/random.h"

#include "platform/io.h"

namespace tw {

bool random_bytes(void *buffer, size_t length) {
    return random_fill(buffer, length) == 0;
}

} // namespace tw
