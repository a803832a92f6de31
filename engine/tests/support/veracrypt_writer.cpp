#include "veracrypt_writer.h"

#include <cstdio>
#include <cstring>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <sstream>
#include <unistd.h>

namespace tw::test {

namespace {

constexpr size_t kDataOffset = 131072;
constexpr size_t kHiddenHeaderOffset = 65536;

uint32_t crc32_bitwise(const uint8_t *p, size_t n) {
    uint32_t crc = 0xFFFFFFFFu;
    for (size_t i = 0; i < n; ++i) {
        crc ^= p[i];
        for (int b = 0; b < 8; ++b)
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

void put_be(uint8_t *p, uint64_t v, int bytes) {
    for (int i = bytes - 1; i >= 0; --i, v >>= 8)
        p[i] = uint8_t(v);
}

bool ecb(const EVP_CIPHER *cipher, const uint8_t *key, const uint8_t in[16], uint8_t out[16]) {
    EVP_CIPHER_CTX *ctx = EVP_CIPHER_CTX_new();
    int n = 0;
    bool ok = ctx && EVP_EncryptInit_ex(ctx, cipher, nullptr, key, nullptr) == 1 &&
              EVP_CIPHER_CTX_set_padding(ctx, 0) == 1 &&
              EVP_EncryptUpdate(ctx, out, &n, in, 16) == 1 && n == 16;
    EVP_CIPHER_CTX_free(ctx);
    return ok;
}

// XTS written out over a block cipher's ECB mode (for Camellia, which
// OpenSSL has no XTS mode of): one data unit of `length` bytes.
bool xts_by_hand(const EVP_CIPHER *cipher, const uint8_t key[64], uint64_t unit, uint8_t *data,
                 size_t length) {
    uint8_t tweak[16] = {};
    for (int i = 0; i < 8; ++i)
        tweak[i] = uint8_t(unit >> (8 * i));
    if (!ecb(cipher, key + 32, tweak, tweak))
        return false;
    for (size_t off = 0; off < length; off += 16) {
        uint8_t block[16];
        for (int i = 0; i < 16; ++i)
            block[i] = data[off + i] ^ tweak[i];
        if (!ecb(cipher, key, block, block))
            return false;
        for (int i = 0; i < 16; ++i)
            data[off + i] = block[i] ^ tweak[i];
        int carry = 0;
        for (int i = 0; i < 16; ++i) {
            int next = tweak[i] >> 7;
            tweak[i] = uint8_t(tweak[i] << 1 | carry);
            carry = next;
        }
        if (carry)
            tweak[0] ^= 0x87;
    }
    return true;
}

bool xts_aes(bool encrypt, const uint8_t key[64], uint64_t unit, uint8_t *data, size_t length) {
    uint8_t iv[16] = {};
    for (int i = 0; i < 8; ++i)
        iv[i] = uint8_t(unit >> (8 * i));
    EVP_CIPHER_CTX *ctx = EVP_CIPHER_CTX_new();
    int n = 0;
    bool ok = ctx && EVP_CipherInit_ex(ctx, EVP_aes_256_xts(), nullptr, key, iv, encrypt) == 1 &&
              EVP_CipherUpdate(ctx, data, &n, data, int(length)) == 1 && size_t(n) == length;
    EVP_CIPHER_CTX_free(ctx);
    return ok;
}

bool encrypt_unit(bool camellia, const uint8_t key[64], uint64_t unit, uint8_t *data,
                  size_t length) {
    return camellia ? xts_by_hand(EVP_camellia_256_ecb(), key, unit, data, length)
                    : xts_aes(true, key, unit, data, length);
}

} // namespace

void veracrypt_seal_header(uint8_t *h) {
    put_be(h + 72, crc32_bitwise(h + 256, 256), 4);
    put_be(h + 252, crc32_bitwise(h + 64, 188), 4);
}

std::vector<uint8_t> veracrypt_plain_header(uint64_t data_size, const VeraCryptSettings &s,
                                            const uint8_t keys[64]) {
    std::vector<uint8_t> header(512, 0);
    uint8_t *h = header.data();
    std::memcpy(h + 64, "VERA", 4);
    put_be(h + 68, 5, 2);      // header version
    put_be(h + 70, 0x010b, 2); // minimum program version
    std::memcpy(h + 256, keys, 64);
    put_be(h + 92, s.hidden_size, 8);
    put_be(h + 100, data_size, 8);
    put_be(h + 108, kDataOffset, 8);
    put_be(h + 116, data_size, 8);
    put_be(h + 124, 0, 4); // flags
    put_be(h + 128, s.sector_size, 4);
    veracrypt_seal_header(h);
    return header;
}

bool write_veracrypt_volume(const std::string &path, const std::vector<uint8_t> &image,
                            const VeraCryptSettings &s, std::vector<uint8_t> *master_keys) {
    if (image.empty() || image.size() % 512 != 0)
        return false;
    std::vector<uint8_t> file(image.size() + 2 * kDataOffset);
    if (RAND_bytes(file.data(), int(file.size())) != 1)
        return false;
    uint8_t *h = file.data();
    uint8_t keys[64];
    if (RAND_bytes(keys, sizeof keys) != 1)
        return false;
    if (master_keys)
        master_keys->assign(keys, keys + 64);

    std::vector<uint8_t> plain = veracrypt_plain_header(image.size(), s, keys);
    std::memcpy(h + 64, plain.data() + 64, 448);

    uint8_t header_key[64];
    const EVP_MD *md = s.sha256 ? EVP_sha256() : EVP_sha512();
    if (PKCS5_PBKDF2_HMAC(s.password.data(), int(s.password.size()), h, 64, int(s.iterations), md,
                          sizeof header_key, header_key) != 1)
        return false;
    if (!encrypt_unit(s.camellia, header_key, 0, h + 64, 448))
        return false;
    if (s.hidden_header_copy)
        std::memcpy(h + kHiddenHeaderOffset, h, 512);

    for (size_t off = 0; off < image.size(); off += 512) {
        uint8_t *sector = file.data() + kDataOffset + off;
        std::memcpy(sector, image.data() + off, 512);
        if (!encrypt_unit(s.camellia, keys, (kDataOffset + off) / 512, sector, 512))
            return false;
    }
    FILE *f = std::fopen(path.c_str(), "wb");
    if (f == nullptr)
        return false;
    bool ok = std::fwrite(file.data(), 1, file.size(), f) == file.size();
    return std::fclose(f) == 0 && ok;
}

std::vector<uint8_t> cryptsetup_master_keys(const std::string &path, const std::string &password) {
    char key_file[] = "/tmp/tw-vera-key-XXXXXX";
    int fd = mkstemp(key_file);
    if (fd < 0)
        return {};
    FILE *kf = fdopen(fd, "w");
    std::fwrite(password.data(), 1, password.size(), kf);
    std::fclose(kf);
    // The passphrase goes in on standard input from a private file. PIM 485
    // is VeraCrypt's default count (15000 + 1000 * 485 = 500000 iterations);
    // naming it and SHA-512 makes cryptsetup try PBKDF2-HMAC-SHA-512 with
    // AES first. Without the kernel's crypto API (AF_ALG) cryptsetup aborts
    // as soon as it moves on to another cipher, so only volumes of exactly
    // that kind can be checked here.
    std::string command = "cryptsetup tcryptDump --veracrypt --veracrypt-pim 485 --hash sha512 "
                          "--dump-master-key -q '" +
                          path + "' < '" + key_file + "' 2>/dev/null";
    std::vector<uint8_t> keys;
    if (FILE *p = popen(command.c_str(), "r")) {
        std::string text;
        char buffer[4096];
        size_t n;
        while ((n = std::fread(buffer, 1, sizeof buffer, p)) > 0)
            text.append(buffer, n);
        pclose(p);
        // "MK dump:" is followed by the key bytes as hexadecimal pairs,
        // spread over several lines.
        size_t at = text.find("MK dump:");
        if (at != std::string::npos) {
            std::istringstream in(text.substr(at + 8));
            std::string word;
            while (keys.size() < 64 && in >> word && word.size() == 2)
                keys.push_back(uint8_t(std::stoul(word, nullptr, 16)));
        }
    }
    unlink(key_file);
    if (keys.size() != 64)
        keys.clear();
    return keys;
}

std::vector<uint8_t> decrypt_veracrypt_data(const std::string &path,
                                            const std::vector<uint8_t> &master_keys) {
    std::vector<uint8_t> file;
    if (FILE *f = std::fopen(path.c_str(), "rb")) {
        uint8_t buffer[65536];
        size_t n;
        while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0)
            file.insert(file.end(), buffer, buffer + n);
        std::fclose(f);
    }
    if (master_keys.size() != 64 || file.size() < 2 * kDataOffset + 512)
        return {};
    std::vector<uint8_t> data(file.begin() + kDataOffset, file.end() - kDataOffset);
    for (size_t off = 0; off < data.size(); off += 512)
        if (!xts_aes(false, master_keys.data(), (kDataOffset + off) / 512, data.data() + off, 512))
            return {};
    return data;
}

} // namespace tw::test
