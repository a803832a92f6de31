// Small helpers shared by the key and cipher tests.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tw::test {

// Bytes from hexadecimal text; whitespace is skipped so that long vectors can
// be written over several lines.
inline std::vector<uint8_t> from_hex(std::string_view text) {
    std::vector<uint8_t> out;
    int high = -1;
    for (char c : text) {
        int v;
        if (c >= '0' && c <= '9')
            v = c - '0';
        else if (c >= 'a' && c <= 'f')
            v = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F')
            v = c - 'A' + 10;
        else
            continue;
        if (high < 0) {
            high = v;
        } else {
            out.push_back(uint8_t(high << 4 | v));
            high = -1;
        }
    }
    return out;
}

inline std::string to_hex(const uint8_t *data, size_t length) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (size_t i = 0; i < length; ++i) {
        out.push_back(digits[data[i] >> 4]);
        out.push_back(digits[data[i] & 15]);
    }
    return out;
}

inline std::string to_hex(const std::vector<uint8_t> &bytes) {
    return to_hex(bytes.data(), bytes.size());
}

inline std::vector<uint8_t> bytes_of(std::string_view text) {
    return {text.begin(), text.end()};
}

} // namespace tw::test
