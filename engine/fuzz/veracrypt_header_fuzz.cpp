// The VeraCrypt header parser on arbitrary bytes. The key derivation is left
// out (500000 iterations per input would stall the fuzzer): the input is
// taken either as a decrypted header, with its CRCs made valid when the
// first byte asks for it so that the field checks are reached, or as an
// encrypted header decrypted with a fixed key.
#include "container/probe/probe.h"
#include "engine/veracrypt.h"

#include <cstring>

namespace {

void put_be32(uint8_t *p, uint32_t v) {
    p[0] = uint8_t(v >> 24);
    p[1] = uint8_t(v >> 16);
    p[2] = uint8_t(v >> 8);
    p[3] = uint8_t(v);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    using namespace tw;
    if (size < 1 + 8 + kVeraCryptHeaderSize)
        return 0;
    const uint8_t mode = data[0];
    uint64_t file_size = 0;
    std::memcpy(&file_size, data + 1, 8);
    uint8_t header[kVeraCryptHeaderSize];
    std::memcpy(header, data + 9, sizeof header);
    uint8_t decrypted[kVeraCryptHeaderSize];
    if (mode & 1) {
        static const uint8_t key[kVeraCryptKeySize] = {1, 2, 3, 4, 5, 6, 7, 8, 9};
        if (veracrypt_header_decrypt(header, key, decrypted) != 0)
            return 0;
    } else {
        std::memcpy(decrypted, header, sizeof header);
        if (mode & 2) {
            std::memcpy(decrypted + 64, "VERA", 4);
            put_be32(decrypted + 72, crc32_ieee(decrypted + 256, 256));
            put_be32(decrypted + 252, crc32_ieee(decrypted + 64, 188));
        }
    }
    uint8_t keys[kVeraCryptKeySize];
    veracrypt_header_check(decrypted, file_size, keys);
    return 0;
}
