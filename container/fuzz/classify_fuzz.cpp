// Classifies arbitrary small files from a memory file. The first input byte
// chooses how the rest is laid out, so that the fuzzer reaches every test of
// the classification and not only the in-clear ones:
//   bit 0  sector 0 is stored under the default system key as a whole (the
//          fuzzer's bytes are what decryption yields)
//   bit 1  only the 32 header bytes at 256..287 are stored that way
//   bit 2  the rest after sector 0 moves to byte 32768, where the ISO 9660
//          descriptor is looked for; the file's tail (a trailer) stays last
//   bit 3  a user system key is in force (the default is the second candidate)
//   bit 4  opened as a fresh private image (no system key loaded)
#include "container/cipher.h"
#include "container/container.h"
#include "container/system_key.h"

#include <cstdint>
#include <cstring>
#include <sys/mman.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr size_t kIsoOffset = 32768;

std::vector<uint8_t> lay_out(uint8_t mode, const uint8_t *data, size_t size) {
    std::vector<uint8_t> file(data, data + size);
    if ((mode & 4) && size > tw::kSectorSize) {
        file.assign(data, data + tw::kSectorSize);
        file.resize(kIsoOffset, 0);
        file.insert(file.end(), data + tw::kSectorSize, data + size);
    }
    if (file.size() >= tw::kSectorSize && (mode & 3)) {
        uint8_t table[tw::kSse2TableSize];
        tw::sse2_schedule(tw::kDefaultSystemKey, table);
        if (mode & 1)
            tw::sse2_encrypt_blocks(file.data(), 64, table);
        else
            tw::sse2_encrypt_blocks(file.data() + 256, 4, table);
    }
    return file;
}

bool write_all(int fd, const std::vector<uint8_t> &bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

void check(const tw::Container *c, uint64_t file_size) {
    if (c->format_kind < tw::kFormatModern || c->format_kind > tw::kFormatCompressed)
        __builtin_trap();
    if (c->sector_count != c->size / tw::kSectorSize || c->file_size != file_size)
        __builtin_trap();
    if (c->format_kind == tw::kFormatSalted && c->size + 4096 != file_size)
        __builtin_trap();
    if (c->format_kind != tw::kFormatCompressed && c->format_kind != tw::kFormatSalted &&
        c->size != file_size)
        __builtin_trap();
    int kind = c->format_kind;
    if ((kind == 1 || kind == 2 || kind == 4 || kind == 6) &&
        (!c->sector0_available || c->range_end > c->sector_count))
        __builtin_trap();
    if (kind == tw::kFormatLegacy && c->sector0_available)
        __builtin_trap();
    if (c->cipher != tw::kCipherUnset || c->unlocked)
        __builtin_trap();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1)
        return 0;
    uint8_t mode = data[0];
    std::vector<uint8_t> file = lay_out(mode, data + 1, size - 1);

    tw::system_key_forget();
    if (mode & 8)
        tw::system_key_set_hex("0011223344556f");
    else
        tw::system_key_set_default();

    int fd = memfd_create("classify", MFD_CLOEXEC);
    if (fd < 0 || !write_all(fd, file))
        __builtin_trap();
    tw::Container *c = nullptr;
    unsigned flags = (mode & 16) ? tw::kContainerFreshImage : 0;
    int result = tw::container_open_descriptor(fd, false, &c, flags);
    if (result == 0) {
        check(c, file.size());
        tw::container_close(c);
    } else if (c != nullptr) {
        __builtin_trap();
    }
    close(fd);
    return 0;
}
