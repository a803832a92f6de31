// Checking that a process named in a request is one of our own programs,
// started by the user who asks.
#pragma once

#include <cstdint>
#include <string>
#include <sys/types.h>

namespace tw {

// 0 when the process `pid`
// - runs the program `program` ("tarnwick-worker", "tarnwick-engine") from
//   the broker's own folder,
// - runs as `user` (decimal uid) and, when start_time is not 0, started then,
// - and, when port is not 0, listens on 127.0.0.1:port itself.
// -EPERM otherwise: the request then fails with kTextNotOurProgram.
int verify_caller(pid_t pid, uint64_t start_time, const std::string &user, const char *program,
                  uint16_t port);

} // namespace tw
