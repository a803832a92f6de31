#include "runtime/errors.h"

#include <cerrno>
#include <cstring>

namespace tw {

const char *error_text(int code) {
    int n = code < 0 ? -code : code;
    switch (n) {
    case EPROTO:
        return "Protocol error";
    case kErrChanged:
        return "Stale file handle";
    case kErrKeyUnavailable:
        return "Required key not available";
    case kErrKeyRejected:
        return "Key was rejected by service";
    default:
        // strerrordesc_np is thread-safe and never formats "Unknown error N"
        // into a shared buffer; fall back for numbers it does not know.
        if (const char *text = strerrordesc_np(n))
            return text;
        return "Unknown error";
    }
}

} // namespace tw
