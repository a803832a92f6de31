// Error numbers on the wire.
//
// Inside a program, functions return glibc's errno values. Numbers that
// travel between programs (pipe results, numbers inside messages and
// records) use the system's own numbering, which follows the C runtime the
// protocol was first written for; where that differs from glibc (ETIMEDOUT
// is 138 there, 110 here) the number is translated at the boundary with the
// one table in wire_errors.cpp.
#pragma once

namespace tw {

// The wire number for a glibc errno value. Either sign is accepted and kept;
// numbers without a wire counterpart pass unchanged.
int wire_error_from_errno(int code);

// The glibc errno value for a wire number; the inverse of the above.
int errno_from_wire_error(int code);

} // namespace tw
