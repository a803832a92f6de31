// Error numbers of the system and their texts.
//
// Functions return 0 or a negative errno value. Three numbers of the system's
// own extend the C library's set; they lie far above every errno Linux uses,
// so they can travel through the same int without ambiguity.
#pragma once

namespace tw {

// A file or device changed, or was replaced, while it was in use.
inline constexpr int kErrChanged = 1116;
// A key needed for the operation is not available.
inline constexpr int kErrKeyUnavailable = 1126;
// A key was rejected.
inline constexpr int kErrKeyRejected = 1129;

// The message for an error number (sign ignored): the system's own texts for
// its own numbers and for EPROTO, strerror's text for everything else. The
// returned text is static.
const char *error_text(int code);

} // namespace tw
