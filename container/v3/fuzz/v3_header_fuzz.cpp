// Feeds root-header copies to v3 detection and the structural header rules.
// The input either is the start of the file itself or, to get past the magic
// and the layout match, a list of byte edits applied to two valid copies.
#include "container/cipher/cipher.h"
#include "container/v3/v3_internal.h"
#include "container/v3/v3_store.h"

#include <cstdint>
#include <cstring>
#include <sys/mman.h>
#include <unistd.h>
#include <vector>

namespace {

using namespace tw;

// Two valid copies (generations 2 and 1) of a 1 MiB XChaCha20 container.
void base_file(std::vector<uint8_t> &file) {
    v3::HeaderFields f{};
    f.version = 7;
    f.virtual_size = 1 << 20;
    f.cipher = kCipherXChaCha20;
    f.chunk_size = 4096;
    v3_layout_compute(f.virtual_size, f.chunk_size, f.cipher, &f.layout);
    const V3Layout &layout = f.layout;
    uint8_t immutable[v3::kImmutableSize];
    v3::header_immutable(f, immutable);
    v3::CopyState st{};
    st.end_used = layout.data_offset + 65536;
    st.bitmap_root.info = v3::absent_bitmap_summary(layout, 129, layout.bitmap_depth, 0);
    st.extent_count = 2;
    st.extents[0] = {layout.data_offset, 4608};
    st.extents[1] = {layout.data_offset + 8192, 4096};
    const uint8_t key[32] = {7};
    file.assign(st.end_used, 0);
    for (int c = 0; c < 2; ++c) {
        st.generation = c == 0 ? 2 : 1;
        v3::header_build(immutable, st, key, file.data() + 4096 * c);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1)
        return 0;
    std::vector<uint8_t> file;
    if (data[0] & 1) {
        base_file(file);
        // Edits: 2-byte offset into the two copies, then the byte to XOR in.
        for (size_t i = 1; i + 3 <= size; i += 3) {
            const size_t at = (size_t(data[i]) | size_t(data[i + 1]) << 8) % 8192;
            file[at] ^= data[i + 2];
        }
        if (data[0] & 2) // the file size field sees a shorter file
            file.resize(file.size() - 512 * (data[0] >> 2));
    } else {
        file.assign(data + 1, data + size);
    }
    for (int c = 0; c < 2 && file.size() >= 4096 * size_t(c + 1); ++c) {
        v3::HeaderFields f;
        if (v3::header_validate(file.data() + 4096 * c, c, file.size(), &f) == v3::kCopyValid) {
            const uint64_t area_end = f.layout.data_offset + 512 * f.layout.total_sectors;
            if (f.state.end_used > file.size() || f.state.end_used > area_end ||
                f.state.generation % 2 != uint64_t(c) || f.state.extent_count > 128)
                __builtin_trap();
        }
    }
    int fd = memfd_create("v3-header-fuzz", 0);
    if (fd < 0)
        return 0;
    if (!file.empty() && write(fd, file.data(), file.size()) != ssize_t(file.size())) {
        close(fd);
        return 0;
    }
    V3Store *store = nullptr;
    uint64_t virtual_size = 0;
    uint32_t cipher = 0;
    int rc = v3_detect(fd, file.size(), &store, &virtual_size, &cipher);
    if (rc == 1) {
        if (!store || virtual_size == 0 || virtual_size % 512 || v3_version(store) < 3 ||
            v3_version(store) > 8)
            __builtin_trap();
    } else if (store ||
               (rc != 0 && rc != -EINVAL && rc != -ENOTSUP && rc != -EIO && rc != -EXDEV)) {
        __builtin_trap();
    }
    v3_close(store);
    close(fd);
    return 0;
}
