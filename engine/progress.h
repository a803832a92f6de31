// Turning an operation's (phase, done, total) reports into progress events.
//
// The mapping from phases to one overall fraction and the rate limit are
// pure and live here; the engine's callback (engine.cpp) adds cancellation
// and the writing of event lines.
#pragma once

#include "runtime/engine_commands.h"

#include <cstdint>

namespace tw {

struct ProgressTracker {
    ProgressMode mode = ProgressMode::Copy;
    // Last value written: thousandths of the fraction, or whole percent for
    // export. -1 before the first event.
    int64_t last = -1;
};

struct ProgressDecision {
    bool write = false;         // write an event for this report
    bool with_phase = false;    // the event carries the "phase" member
    bool is_publishing = false; // a report outside the measured phases
    double fraction = 0;        // 0..1
};

// Maps one report to its fraction and decides whether an event is written.
// done beyond total is taken as total, so a fraction never exceeds 1.
ProgressDecision progress_evaluate(ProgressTracker *tracker, const char *phase, uint64_t done,
                                   uint64_t total);

} // namespace tw
