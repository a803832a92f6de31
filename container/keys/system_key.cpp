#include "container/keys/system_key.h"
#include "runtime/text.h"

#include "platform/secure_memory.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace tw {

namespace {

struct SystemKeyState {
    uint8_t *key = nullptr; // kSystemKeySize bytes in locked memory, once allocated
    bool set = false;
    bool is_default = false;
    bool load_done = false; // system_key_load ran and its outcome is load_result
    int load_result = 0;
};

SystemKeyState state;

// The key's storage is allocated on first use and kept for the life of the
// process; forgetting only wipes it.
int ensure_storage() {
    if (!state.key)
        state.key = static_cast<uint8_t *>(secure_alloc(kSystemKeySize));
    return state.key ? 0 : -ENOMEM;
}

void clear_key() {
    if (state.key)
        secure_wipe(state.key, kSystemKeySize);
    state.set = false;
    state.is_default = false;
}

int parse_hex_into_key(std::string_view text) {
    size_t begin = 0;
    while (begin < text.size() && (text[begin] == ' ' || text[begin] == '\t'))
        ++begin;
    if (text.size() - begin >= 2 && text[begin] == '0' &&
        (text[begin + 1] == 'x' || text[begin + 1] == 'X'))
        begin += 2;
    size_t end = text.size();
    while (end > begin && (text[end - 1] == '\t' || text[end - 1] == '\n' ||
                           text[end - 1] == '\r' || text[end - 1] == ' '))
        --end;
    if (end - begin != 2 * kSystemKeySize)
        return -EINVAL;
    for (size_t i = 0; i < kSystemKeySize; ++i) {
        int high = hex_digit_value(text[begin + 2 * i]);
        int low = hex_digit_value(text[begin + 2 * i + 1]);
        if (high < 0 || low < 0) {
            secure_wipe(state.key, kSystemKeySize);
            return -EINVAL;
        }
        state.key[i] = uint8_t(high << 4 | low);
    }
    return 0;
}

} // namespace

int system_key_set_hex(std::string_view text) {
    clear_key();
    int rc = ensure_storage();
    if (rc == 0)
        rc = parse_hex_into_key(text);
    if (rc != 0)
        return rc;
    state.set = true;
    return 0;
}

int system_key_set_default() {
    clear_key();
    int rc = ensure_storage();
    if (rc != 0)
        return rc;
    std::memcpy(state.key, kDefaultSystemKey, kSystemKeySize);
    state.set = true;
    state.is_default = true;
    return 0;
}

int system_key_load() {
    if (state.set)
        return 0;
    if (state.load_done)
        return state.load_result;
    int rc;
    if (const char *hex = std::getenv("ZCX_SYSTEM_KEY")) {
        rc = system_key_set_hex(hex);
    } else if (const char *text = std::getenv("ZCX_SYSTEM_KEY_STRING")) {
        clear_key();
        rc = text[0] == '\0' ? -EINVAL : ensure_storage();
        if (rc == 0) {
            for (size_t i = 0; i < 6 && text[i] != '\0'; ++i)
                state.key[i] = uint8_t(text[i]) ^ (i % 2 == 0 ? 0x55 : 0xAA);
            state.set = true;
        }
    } else {
        rc = system_key_set_default();
    }
    state.load_done = true;
    state.load_result = rc;
    return rc;
}

void system_key_forget() {
    clear_key();
    state.load_done = false;
    state.load_result = 0;
}

bool system_key_is_set() {
    return state.set;
}

bool system_key_is_default() {
    return state.set && state.is_default;
}

int system_key_get(uint8_t out[kSystemKeySize]) {
    if (!state.set)
        return -ENOKEY;
    std::memcpy(out, state.key, kSystemKeySize);
    return 0;
}

size_t system_key_candidates(uint8_t out[2][kSystemKeySize]) {
    if (!state.set)
        return 0;
    std::memcpy(out[0], state.key, kSystemKeySize);
    if (state.is_default)
        return 1;
    std::memcpy(out[1], kDefaultSystemKey, kSystemKeySize);
    return 2;
}

} // namespace tw
