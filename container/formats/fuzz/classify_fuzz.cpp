// Classifies arbitrary small files from a memory file. The first two input
// bytes (low byte first) choose how the rest is laid out, so that short
// inputs already reach every test of the classification and not only the
// in-clear ones:
//   bit 0  sector 0 is stored under the default system key as a whole (the
//          fuzzer's bytes are what decryption yields)
//   bit 1  only the 32 header bytes at 256..287 are stored that way
//   bit 2  what follows sector 0 moves to byte 32768, where the ISO 9660
//          descriptor is looked for
//   bit 3  a user system key is in force (the default is the second candidate)
//   bit 4  opened as a fresh private image (no system key loaded)
//   bit 5  the file is the input as it is: no padding of sector 0, no trailer
//   bit 6  a 4096-byte salted trailer follows, its fields from the input's tail
//   bit 7  that trailer has the "FZCXXTS" magic instead of "FZCXKDF"
//   bit 8  sector 0 ends with the boot signature (before bits 0 and 1 apply)
//   bit 9  sector 0 carries the header marker at 494 (likewise)
//   bit 10 the trailer keeps the input's bytes at 12..31; otherwise its size
//          constants and payload size are made right
#include "container/cipher/cipher.h"
#include "container/container.h"
#include "container/formats/kdf_trailer.h"
#include "container/keys/system_key.h"

#include <cstdint>
#include <cstring>
#include <sys/mman.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr size_t kIsoOffset = 32768;

constexpr size_t kTrailerFieldBytes = 96; // magic to past the cipher word

std::vector<uint8_t> lay_out(unsigned mode, const uint8_t *data, size_t size) {
    if (mode & 32)
        return std::vector<uint8_t>(data, data + size);
    size_t trailer_bytes = 0;
    if (mode & 64)
        trailer_bytes = size < kTrailerFieldBytes ? size : kTrailerFieldBytes;
    size_t body = size - trailer_bytes;
    size_t head = body < tw::kSectorSize ? body : tw::kSectorSize;
    std::vector<uint8_t> file(data, data + head);
    file.resize(tw::kSectorSize, 0);
    if (mode & 256) {
        file[510] = 0x55;
        file[511] = 0xAA;
    }
    if (mode & 512) {
        file[494] = 0x55;
        file[495] = 0xAA;
    }
    if (mode & 4)
        file.resize(kIsoOffset, 0);
    file.insert(file.end(), data + head, data + body);
    if ((mode & 4) && file.size() < kIsoOffset + tw::kSectorSize)
        file.resize(kIsoOffset + tw::kSectorSize, 0);
    if (mode & 64) {
        size_t at = file.size();
        file.resize(at + tw::kKdfTrailerSize, 0);
        std::memcpy(&file[at], (mode & 128) ? "FZCXXTS" : "FZCXKDF", 8);
        std::memcpy(&file[at + 8], data + body, trailer_bytes);
        if (!(mode & 1024)) {
            const uint32_t constants[3] = {4096, 512, 600000};
            const uint64_t payload = at;
            std::memcpy(&file[at + 12], constants, sizeof constants);
            std::memcpy(&file[at + 24], &payload, sizeof payload);
        }
    }
    if (mode & 3) {
        // The schedule is costly under coverage instrumentation: made once.
        static const std::vector<uint8_t> table = [] {
            std::vector<uint8_t> t(tw::kSse2TableSize);
            tw::sse2_schedule(tw::kDefaultSystemKey, t.data());
            return t;
        }();
        if (mode & 1)
            tw::sse2_encrypt_blocks(file.data(), 64, table.data());
        else
            tw::sse2_encrypt_blocks(file.data() + 256, 4, table.data());
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

void check(const tw::Container *container, uint64_t file_size) {
    tw::ContainerInfo info;
    tw::container_info(container, &info);
    const tw::ContainerInfo *c = &info;
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
    if (size < 2)
        return 0;
    unsigned mode = data[0] | unsigned{data[1]} << 8;
    std::vector<uint8_t> file = lay_out(mode, data + 2, size - 2);

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
