// The installation fingerprint: identifies the exact build of the installed
// programs, so that processes can tell whether a peer runs the same build.
#pragma once

#include <string>
#include <string_view>

namespace tw {

// SHA-256 over the complete contents of "tarnwick-service", "tarnwick-worker"
// and "tarnwick-engine" next to the running executable, in that order, as 64
// lower-case hexadecimal digits. The engine may be missing (then the hash
// covers the first two); any other failure to read a file fails the whole
// fingerprint with a negative errno. The value is cached per process and
// recomputed only when a file's identity, size or modification time changes.
int installation_fingerprint(std::string *out);

// The same for the programs in folder; installation_fingerprint and tests use
// it. The cache is shared.
int installation_fingerprint_in(std::string_view folder, std::string *out);

} // namespace tw
