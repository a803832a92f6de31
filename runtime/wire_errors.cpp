#include "runtime/wire_errors.h"

#include <cerrno>

namespace tw {

namespace {

struct WireError {
    int local; // glibc
    int wire;  // the system's numbering
};

// Only the numbers that differ; 1 to 34 (EIO, E2BIG, ENOMEM, EACCES, EBUSY,
// EEXIST, EINVAL, EFBIG, ENOSPC, EROFS, EPIPE, ...) and the system's own 1116,
// 1126 and 1129 are the same on both sides. glibc has one number for ENOTSUP
// and EOPNOTSUPP, and for EAGAIN and EWOULDBLOCK: they go out as ENOTSUP and
// as EAGAIN (11, the same on both sides).
constexpr WireError kTable[] = {
    {EDEADLK, 36},       {ENAMETOOLONG, 38},     {ENOLCK, 39},       {ENOSYS, 40},
    {ENOTEMPTY, 41},     {EILSEQ, 42},           {EADDRINUSE, 100},  {EADDRNOTAVAIL, 101},
    {EAFNOSUPPORT, 102}, {EALREADY, 103},        {EBADMSG, 104},     {ECANCELED, 105},
    {ECONNABORTED, 106}, {ECONNREFUSED, 107},    {ECONNRESET, 108},  {EDESTADDRREQ, 109},
    {EHOSTUNREACH, 110}, {EIDRM, 111},           {EINPROGRESS, 112}, {EISCONN, 113},
    {ELOOP, 114},        {EMSGSIZE, 115},        {ENETDOWN, 116},    {ENETRESET, 117},
    {ENETUNREACH, 118},  {ENOBUFS, 119},         {ENODATA, 120},     {ENOLINK, 121},
    {ENOMSG, 122},       {ENOPROTOOPT, 123},     {ENOSR, 124},       {ENOSTR, 125},
    {ENOTCONN, 126},     {ENOTRECOVERABLE, 127}, {ENOTSOCK, 128},    {ENOTSUP, 129},
    {EOVERFLOW, 132},    {EOWNERDEAD, 133},      {EPROTO, 134},      {EPROTONOSUPPORT, 135},
    {EPROTOTYPE, 136},   {ETIME, 137},           {ETIMEDOUT, 138},   {ETXTBSY, 139},
};

} // namespace

int wire_error_from_errno(int code) {
    int n = code < 0 ? -code : code;
    for (const WireError &e : kTable)
        if (e.local == n)
            return code < 0 ? -e.wire : e.wire;
    return code;
}

int errno_from_wire_error(int code) {
    int n = code < 0 ? -code : code;
    // The two wire numbers that share a glibc number with another.
    if (n == 130 || n == 140) {
        int local = n == 130 ? EOPNOTSUPP : EWOULDBLOCK;
        return code < 0 ? -local : local;
    }
    for (const WireError &e : kTable)
        if (e.wire == n)
            return code < 0 ? -e.local : e.local;
    return code;
}

} // namespace tw
