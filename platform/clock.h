// Time values: a monotonic clock for deadlines and an identifier of the
// current boot for records that must not outlive a restart.
#pragma once

#include <cstdint>

namespace tw {

// Time since boot in 100-nanosecond units. It counts time spent suspended
// (CLOCK_BOOTTIME), so an expiry measured with it passes during sleep as it
// does in wall time; it never goes backwards.
uint64_t monotonic_now();

// A 63-bit value that identifies the current boot: the same for every process
// and call during one boot, different after a restart. Never negative when
// stored as int64_t. 0 when the kernel's boot identifier cannot be read.
uint64_t boot_time();

// Sleeps for about ms milliseconds; a signal may end the pause early, which
// the polling loops that call this tolerate.
void sleep_ms(int ms);

} // namespace tw
