// Feeds arbitrary trailers to the structural check a file open runs before
// any password is known, and arbitrary text to the system-key and UTF-8
// parsers that take untrusted input.
#include "container/formats/kdf_trailer.h"
#include "container/keys/keys.h"
#include "container/keys/system_key.h"

#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    // First 8 bytes: the file size to check the payload field against.
    uint64_t file_size = 0;
    if (size >= 8) {
        std::memcpy(&file_size, data, 8);
        data += 8;
        size -= 8;
    }
    std::vector<uint8_t> trailer(tw::kKdfTrailerSize, 0);
    std::memcpy(trailer.data(), data, size < trailer.size() ? size : trailer.size());
    tw::KdfTrailerInfo info;
    if (tw::kdf_trailer_parse(trailer.data(), file_size, &info) == 0) {
        if (info.payload_size + tw::kKdfTrailerSize != file_size || info.payload_size % 512 != 0)
            __builtin_trap();
        if (info.cipher_id != 1 && info.cipher_id != 8 && info.cipher_id != 9)
            __builtin_trap();
    }

    std::string_view text(reinterpret_cast<const char *>(data), size);
    if (tw::system_key_set_hex(text) == 0 && !tw::system_key_is_set())
        __builtin_trap();
    tw::system_key_forget();
    (void)tw::utf8_is_strict({data, size});
    return 0;
}
