// Any input either fails to parse or parses into a tree whose compact text
// parses again and writes back byte for byte the same.
#include "runtime/json.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    tw::JsonValue *first = tw::json_parse(data, size);
    if (first == nullptr)
        return 0;
    size_t once_length = 0;
    char *once = tw::json_serialize(first, &once_length);
    if (once == nullptr)
        abort();
    tw::JsonValue *second = tw::json_parse(once, once_length);
    if (second == nullptr)
        abort();
    size_t twice_length = 0;
    char *twice = tw::json_serialize(second, &twice_length);
    if (twice == nullptr || twice_length != once_length || memcmp(once, twice, once_length) != 0)
        abort();
    tw::JsonValue *copy = tw::json_clone(second);
    if (copy == nullptr)
        abort();
    tw::json_free_text(once);
    tw::json_free_text(twice);
    tw::json_free(copy);
    tw::json_free(second);
    tw::json_free(first);
    return 0;
}
