// SSE1: a word-oriented sector cipher keyed by a 2052-byte table built from
// the key bytes. A sector is a whitening pass over its 128 words, a core stage
// of five passes over the eight words around the sector's wrap point, and a
// second whitening pass. The sector number does not enter.
#include "container/cipher/cipher_parts.h"
#include "platform/secure_memory.h"

#include <cstring>

namespace tw::cipher_parts {

namespace {

constexpr size_t kWords = kSectorSize / 4;
constexpr uint32_t kIndexMask = 2047;
constexpr int kCorePasses = 5;
// The core stage works on these word positions, in this order.
constexpr size_t kCorePositions[8] = {124, 125, 126, 127, 0, 1, 2, 3};

// Constant table mixed into the key bytes when the key table is built.
constexpr uint32_t kMixTable[257] = {
    0x59CD4F6D, 0x90873546, 0xF408639D, 0xB3B33D0D, 0xA226970F, 0xDD6C55E9, 0x4EE9E996, 0xE0BBD6B2,
    0xED569ED7, 0x422895FD, 0xF5A08568, 0xF260AA2E, 0x97CEFB13, 0x06D4837F, 0xB51D92BF, 0x1F1C2D64,
    0x97F7A7CB, 0x7ED14440, 0x93DC3AE2, 0x3CC5A6C1, 0xE8CF40AB, 0xA75CEBD4, 0xF741D801, 0x852E14E2,
    0xFC386A79, 0x136DD74A, 0x22E25EA8, 0x0E4F18E4, 0x2D96801C, 0x3C80C89C, 0x2587EBA7, 0xD5DA001D,
    0x7C897B55, 0x76E1023E, 0x7329EC2A, 0xD8DF68AB, 0x04C87FF6, 0xB6249125, 0xB63EF3D8, 0x3DAE29FB,
    0xBE73CD22, 0xDE96E603, 0xFA4A8E95, 0x8D5F76CA, 0xA69F48A7, 0x3AFBB8CE, 0x2CE563DA, 0xD9994EC9,
    0x6B7DFA9F, 0x5A6B2CEB, 0x0A0B7E78, 0x0A4E2064, 0xEF964255, 0xD0C8F360, 0x55266FBB, 0x3A166B3E,
    0x1FEFDEE8, 0x76CEB1B8, 0x35480947, 0x25704556, 0x70026E20, 0x67B492E3, 0xB91D054D, 0x1D850806,
    0x125163DC, 0xD4177C68, 0x2BA29D5E, 0xE857ABCD, 0x69BF02D5, 0x7EDC842D, 0x6114C2C7, 0x2DB5A9F1,
    0x983E70A3, 0x71B68CDD, 0x2DB7B8D9, 0xCF4E94B2, 0x0E4B408B, 0xE79E14A4, 0xFCD8328C, 0x0CB4816E,
    0xA1277953, 0xC05BD4FE, 0xE28C3697, 0x0552C004, 0xD692E406, 0xD1ADBB1A, 0x5E66E661, 0xDF4C1388,
    0x11905A1C, 0x7625AB81, 0xE46165AD, 0xF0D8FAD0, 0x804A9589, 0xA7A71158, 0x523A80A7, 0x1DD95546,
    0xA7588D94, 0x960BDFD4, 0x152F1BE7, 0x1C3123BB, 0xEA88761F, 0x62ABD13A, 0x04A8986B, 0x73EC0AE6,
    0xF78A987B, 0x8B34DB2F, 0x0C5152A3, 0xAC2B2612, 0x360320D2, 0x562DC9BC, 0x349C5922, 0x1D021BF7,
    0x6155500B, 0xAB28C8B7, 0x1889F88C, 0x2A35806C, 0xD7DA49E7, 0xF218B83B, 0x39FCEE19, 0xFFD5F4AF,
    0x3C81278E, 0x6FB41F54, 0x67EBC971, 0x6019F1F0, 0xD315E4C6, 0x91E47276, 0xF73D93E4, 0xC240B75A,
    0x33F14370, 0xD2457429, 0xA32A5CCF, 0x40DDF94E, 0x80E47D16, 0xB2C7BD8E, 0x90BA4275, 0x6C7922AB,
    0xB2A51B55, 0xE6250E32, 0xD9971E0F, 0xD70EF0DB, 0x685779AA, 0x05674EC3, 0x393D6C1B, 0x5A3CCDEA,
    0x2374D804, 0xF3659EDD, 0x5BF178CD, 0x04AE819B, 0xF984DD85, 0x81FCA05D, 0x8548F8D7, 0xFCF546F9,
    0xF7CC93BE, 0xEFC9298C, 0x8F8C98D0, 0x756C4F45, 0xF14223E1, 0x86FEF671, 0x2B112DA4, 0x331C975E,
    0x1BBCA16D, 0x8D695847, 0xCC6097F7, 0xE914DF4F, 0x1B97C93D, 0xDB12475D, 0x57BBFFFC, 0x4D7A5833,
    0xAECFB8B9, 0x8C8CB213, 0xF7A9E9D9, 0xC4AADB49, 0x950D7683, 0xC68375EA, 0x9E4A232C, 0x2EF4700E,
    0x27B2A314, 0xA01D80B1, 0x5161633B, 0x2954D4C4, 0xB494D1AF, 0x1420879E, 0xEEAE1361, 0x0F183EB0,
    0x4973279C, 0xE7A80D21, 0xE5671416, 0x86D8CE7A, 0xD247FA63, 0xD7AF44C2, 0x87443304, 0xBBBE9F57,
    0x202C07FD, 0x875FF05A, 0x43CC216C, 0x06350407, 0x9FA206BB, 0x95319458, 0xAC8F2486, 0xE822D6DB,
    0x0DC11C62, 0xB5479520, 0x45C446D7, 0x85938591, 0x948F0F43, 0x839F1C97, 0xD407CB1A, 0xA3537935,
    0xE7DB9374, 0x3925653F, 0xD15A2D07, 0x97530098, 0x7FD905D0, 0x7CCCDFBC, 0x77AAF70E, 0x833676F2,
    0xBEDF2436, 0xF6C26720, 0xD866E30C, 0xDFB940E9, 0x785E5336, 0x1C42407B, 0x0FCE38E6, 0x28E21B1A,
    0x5D7DEB36, 0xFB3C8B16, 0x24B5C173, 0x28BC5727, 0x6ED16186, 0xBDDC35F7, 0x3B715F42, 0xC1A60EEA,
    0x1B6D0DC3, 0xA43393D5, 0x59D046BA, 0x2799B4B6, 0x206DAD0A, 0xA37D7588, 0x17F4653D, 0xE98EDD7F,
    0xDC941394, 0x6F81AD8E, 0x7611F662, 0xCA191B6C, 0xBDD491CF, 0xC6910F8F, 0xC94137C2, 0x40D5E6D5,
    0xD0C4D719, 0x5760AA69, 0x6F819234, 0xF8E83558, 0xA5A482C9, 0x520DCAB6, 0x92E24E59, 0x8D1B7005,
    0x9A053C29,
};

// The running state of one pass. Every pass starts from the same state,
// taken from the key table; each step advances it before transforming a word.
struct Pass {
    const uint8_t *table;
    uint32_t x, y, z, index, r, rotation;

    explicit Pass(const uint8_t *t) : table(t) {
        x = word(9);
        y = word(3);
        z = word(7);
        index = word(5) & kIndexMask;
        r = x;
        rotation = 0;
    }

    uint32_t word(uint32_t at) const { return load32(table + (at & kIndexMask)); }

    void step() {
        uint32_t t = index ^ x;
        uint32_t j = t & kIndexMask;
        z = rotl32(z + t + word(j), 21);
        rotation = z & 31;
        uint32_t j2 = j ^ z;
        y = rotl32(y + word(j2) + j2, 21);
        index = (j2 + y) & kIndexMask;
        r = rotr32((r ^ word(index)) + x, rotation);
    }
};

void whiten_encrypt(const uint8_t *table, uint8_t *sector) {
    Pass s(table);
    for (size_t i = 0; i < kWords; ++i) {
        uint8_t *p = sector + 4 * i;
        uint32_t w = load32(p);
        s.step();
        store32(p, rotl32((w - s.z) ^ s.r, s.rotation) - s.y);
        s.x = w;
    }
}

void whiten_decrypt(const uint8_t *table, uint8_t *sector) {
    Pass s(table);
    for (size_t i = 0; i < kWords; ++i) {
        uint8_t *p = sector + 4 * i;
        uint32_t w = load32(p);
        s.step();
        uint32_t plain = (rotr32(w + s.y, s.rotation) ^ s.r) + s.z;
        store32(p, plain);
        s.x = plain;
    }
}

// Reverses the order of the eight core words (124..127, 0..3).
void reverse_core(uint8_t *sector) {
    uint32_t v[8];
    for (int k = 0; k < 8; ++k)
        v[k] = load32(sector + 4 * kCorePositions[k]);
    for (int k = 0; k < 8; ++k)
        store32(sector + 4 * kCorePositions[k], v[7 - k]);
}

void core_encrypt(const uint8_t *table, uint8_t *sector) {
    for (int pass = 0; pass < kCorePasses; ++pass) {
        Pass s(table);
        for (size_t position : kCorePositions) {
            uint8_t *p = sector + 4 * position;
            uint32_t w = load32(p);
            s.step();
            store32(p, (rotr32(w - s.y, s.rotation) ^ s.r) - s.z);
            s.x = w;
        }
        if (pass + 1 < kCorePasses)
            reverse_core(sector);
    }
}

void core_decrypt(const uint8_t *table, uint8_t *sector) {
    for (int pass = 0; pass < kCorePasses; ++pass) {
        Pass s(table);
        for (size_t position : kCorePositions) {
            uint8_t *p = sector + 4 * position;
            uint32_t w = load32(p);
            s.step();
            uint32_t plain = rotl32((w + s.z) ^ s.r, s.rotation) + s.y;
            store32(p, plain);
            s.x = plain;
        }
        if (pass + 1 < kCorePasses)
            reverse_core(sector);
    }
}

void fill_cyclic(uint8_t *out, size_t length, const uint8_t *key, size_t key_length) {
    size_t position = 0;
    for (size_t i = 0; i < length; ++i) {
        out[i] = key[position];
        if (++position == key_length)
            position = 0;
    }
}

// Encrypts table bytes 0..511 under `working`, then three chained copies of
// the previous 512 bytes into 512..2047.
void spread(uint8_t *table, const uint8_t *working) {
    sse1_encrypt_sector(working, table);
    for (size_t block = 1; block < 4; ++block) {
        std::memcpy(table + block * kSectorSize, table + (block - 1) * kSectorSize, kSectorSize);
        sse1_encrypt_sector(working, table + block * kSectorSize);
    }
}

} // namespace

void sse1_key_table(const uint8_t *key, size_t key_length, uint8_t table[kSse1TableSize]) {
    SecureBuffer working_buffer(kSse1TableSize);
    // Without locked memory the key table is built in a stack buffer that is
    // wiped just the same; set-up must not fail for want of one page.
    uint8_t fallback[kSse1TableSize];
    uint8_t *working = working_buffer.valid() ? working_buffer.data() : fallback;

    fill_cyclic(table, kSse1TableSize, key, key_length);
    for (size_t k = 0; k < 512; ++k)
        store32(working + 4 * k, load32(table + 4 * k) ^ kMixTable[k % 257]);
    std::memcpy(working + 2048, working, 4);

    spread(table, working);
    std::memcpy(working, table, 2048);
    std::memcpy(working + 2048, working, 4);

    fill_cyclic(table, kSectorSize, key, key_length);
    spread(table, working);

    table[2048] = table[0];
    table[2049] = table[1];
    table[2050] = table[2];
    table[2051] = 0;
    secure_wipe(fallback, sizeof fallback);
    working_buffer.wipe();
}

void sse1_encrypt_sector(const uint8_t table[kSse1TableSize], uint8_t sector[kSectorSize]) {
    whiten_encrypt(table, sector);
    core_encrypt(table, sector);
    whiten_encrypt(table, sector);
}

void sse1_decrypt_sector(const uint8_t table[kSse1TableSize], uint8_t sector[kSectorSize]) {
    whiten_decrypt(table, sector);
    core_decrypt(table, sector);
    whiten_decrypt(table, sector);
}

} // namespace tw::cipher_parts
