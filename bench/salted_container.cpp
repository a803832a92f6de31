// Benchmark helper: writes a salted AES-256-XTS container from a plain
// image, the layout new containers get (sector 0 under the default system
// key, the other sectors under the data key of a new salted trailer).
//
//   bench_salted_container IMAGE OUTPUT      (password on standard input)
//
// The output must not exist. For benchmarks and hand tests only: the
// product writes containers with the verifying copy writer.
#include "container/cipher/cipher.h"
#include "container/formats/kdf_trailer.h"
#include "container/keys/keys.h"
#include "container/keys/system_key.h"
#include "platform/io.h"
#include "platform/secure_memory.h"

#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

int main(int argc, char **argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: bench_salted_container IMAGE OUTPUT < password\n");
        return 2;
    }
    char password[4097] = {};
    ssize_t got = read(STDIN_FILENO, password, sizeof password - 1);
    if (got <= 0) {
        std::fprintf(stderr, "no password on standard input\n");
        return 2;
    }
    size_t length = size_t(got);
    while (length && (password[length - 1] == '\n' || password[length - 1] == '\r'))
        --length;
    int in = open(argv[1], O_RDONLY | O_CLOEXEC);
    int out = open(argv[2], O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    struct stat st;
    if (in < 0 || out < 0 || fstat(in, &st) != 0 || st.st_size % 512 != 0 || st.st_size < 4096) {
        std::perror("bench_salted_container");
        return 1;
    }
    const uint64_t size = uint64_t(st.st_size);
    uint8_t trailer[tw::kKdfTrailerSize];
    uint8_t key[tw::kDataKeySize];
    if (tw::kdf_trailer_create(trailer, size, tw::kCipherAesXts,
                               reinterpret_cast<const uint8_t *>(password), length, key) != 0) {
        std::fprintf(stderr, "cannot make the trailer\n");
        return 1;
    }
    tw::secure_wipe(password, sizeof password);
    tw::CipherContext *cipher = tw::cipher_context_create();
    if (!cipher ||
        tw::cipher_setup(cipher, tw::kCipherAesXts, key, tw::cipher_key_length(tw::kCipherAesXts)))
        return 1;
    tw::secure_wipe(key, sizeof key);
    uint8_t table[tw::kSse2TableSize];
    tw::sse2_schedule(tw::kDefaultSystemKey, table);
    std::vector<uint8_t> buffer(1 << 20);
    for (uint64_t at = 0; at < size; at += buffer.size()) {
        const size_t n = size_t(std::min<uint64_t>(buffer.size(), size - at));
        if (tw::pread_full(in, buffer.data(), n, at) != 0)
            return 1;
        uint64_t first = at / 512;
        uint8_t *data = buffer.data();
        size_t count = n / 512;
        if (first == 0) {
            tw::sse2_encrypt_blocks(data, 512 / tw::kSse2BlockSize, table);
            data += 512;
            first = 1;
            --count;
        }
        if (count && tw::cipher_sectors(cipher, first, count, data, data, tw::kEncrypt) != 0)
            return 1;
        if (tw::pwrite_full(out, buffer.data(), n, at) != 0)
            return 1;
    }
    if (tw::pwrite_full(out, trailer, sizeof trailer, size) != 0 || fsync(out) != 0)
        return 1;
    tw::cipher_context_destroy(cipher);
    close(in);
    close(out);
    return 0;
}
