// Cipher ids: the numbers that name a sector cipher in container headers,
// in credential requests and in the engine's ALGORITHM argument.
//
// Header-only so that the client, which never links the container code, can
// check a cipher the same way the engine and the containers do.
#pragma once

#include <cstdint>

namespace tw {

enum CipherId : uint32_t {
    kCipherGost28147 = 0,
    kCipherSse1 = 1,
    kCipherIdea = 2,
    kCipherBlowfish = 3,
    kCipherDes = 4,
    kCipherTripleDes = 5,
    kCipherArcfour = 6,
    kCipherSse2 = 7, // protects legacy headers under the system key, never data
    kCipherXor = 8,
    kCipherAesXts = 9,
    kCipherXChaCha20 = 10,
    kCipherNone = 254,  // no transform (probing plaintext)
    kCipherUnset = 255, // not set, or any
};

// The ciphers that key container data and are offered for new containers:
// SSE1, XOR, AES-256-XTS and XChaCha20. Takes any width so that a parsed
// number beyond 32 bits is never mistaken for one of them.
constexpr bool cipher_is_offered(uint64_t id) {
    return id == kCipherSse1 || id == kCipherXor || id == kCipherAesXts || id == kCipherXChaCha20;
}

} // namespace tw
