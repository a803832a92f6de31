// "creation-options": the ciphers and filesystems offered for new containers.
#pragma once

namespace tw {

struct JsonValue;

// Builds the result members (without "event" and "version"). Null when out
// of memory.
JsonValue *creation_options_result();

} // namespace tw
