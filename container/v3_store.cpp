// Placeholder until the v3 store lands: files carrying the v3 magic are
// refused as unsupported instead of being misread as another format.
#include "container/v3_store.h"

#include <cerrno>
#include <cstring>
#include <unistd.h>

namespace tw {

struct V3Store {
    uint32_t version;
};

namespace {

bool has_magic_at(int fd, uint64_t file_size, uint64_t offset) {
    static const char kMagic[8] = {'F', 'Z', 'C', 'X', 'C', 'M', 'P', '\0'};
    char bytes[8];
    if (file_size < offset + 8)
        return false;
    return pread(fd, bytes, sizeof bytes, static_cast<off_t>(offset)) == 8 &&
           std::memcmp(bytes, kMagic, sizeof kMagic) == 0;
}

} // namespace

int v3_detect(int fd, uint64_t file_size, V3Store **store, uint64_t *virtual_size,
              uint32_t *cipher) {
    *store = nullptr;
    *virtual_size = 0;
    *cipher = 255;
    if (has_magic_at(fd, file_size, 0) || has_magic_at(fd, file_size, 4096))
        return -ENOTSUP;
    return 0;
}

uint32_t v3_version(const V3Store *store) {
    return store ? store->version : 0;
}

void v3_close(V3Store *store) {
    delete store;
}

} // namespace tw
