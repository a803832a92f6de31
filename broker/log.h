// The broker's log, "broker.log" in the machine folder: one line per event,
// each starting with its UTC time, rotated to "broker.log.1" at 4 MiB.
#pragma once

#include <cstdint>
#include <string>

namespace tw {

inline constexpr uint64_t kLogRotateSize = 4u * 1024 * 1024;
// The time and the message together are cut to this many bytes.
inline constexpr size_t kLogLineMax = 1022;

// Sets the log file for the rest of the process. Until then lines go nowhere.
void broker_log_open(const std::string &path);

// Appends one line "YYYY-MM-DDTHH:MM:SSZ message\n". A log already at
// kLogRotateSize or more is first renamed to "PATH.1" (replacing it) and a new
// one started. Lines from different threads never mix. Failures are ignored:
// the log must never stop the broker.
void broker_log(const char *format, ...) __attribute__((format(printf, 1, 2)));

} // namespace tw
