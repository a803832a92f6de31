// Messages that more than one part of the client library reports.
#pragma once

namespace tw {

inline constexpr const char *kCredentialLimitMessage =
    "Use a password of at most 4096 UTF-8 bytes and a system key of 14 hexadecimal digits.";

} // namespace tw
