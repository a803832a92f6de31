#include "engine/progress.h"

#include <cstring>

namespace tw {

namespace {

double ratio(uint64_t done, uint64_t total) {
    if (total == 0)
        return 0;
    if (done > total)
        done = total;
    return static_cast<double>(done) / static_cast<double>(total);
}

bool is(const char *phase, const char *name) {
    return phase != nullptr && std::strcmp(phase, name) == 0;
}

// The copy phases: preparing and encoding fill the first half, verification
// the next 49 %, and anything else (publishing) stands at 0.99.
double copy_fraction(const char *phase, uint64_t done, uint64_t total, bool *other) {
    if (is(phase, "formatting"))
        return 0;
    if (is(phase, "initializing") || is(phase, "reencoding"))
        return ratio(done, total) * 0.5;
    if (is(phase, "verifying"))
        return ratio(done, total) * 0.49 + 0.5;
    *other = true;
    return 0.99;
}

double import_fraction(const char *phase, uint64_t done, uint64_t total, bool *other) {
    if (is(phase, "importing"))
        return ratio(done, total) * 0.4;
    if (is(phase, "verifying"))
        return ratio(done, total) * 0.4 + 0.4;
    if (is(phase, "checking"))
        return ratio(done, total) * 0.2 + 0.8;
    *other = true;
    return 0.99;
}

} // namespace

ProgressDecision progress_evaluate(ProgressTracker *tracker, const char *phase, uint64_t done,
                                   uint64_t total) {
    ProgressDecision d;
    if (tracker->mode == ProgressMode::Export) {
        int64_t percent = 100;
        if (total != 0) {
            if (done > total)
                done = total;
            percent = static_cast<int64_t>(static_cast<unsigned __int128>(done) * 100 / total);
        }
        d.fraction = total == 0 ? 1.0 : ratio(done, total);
        d.write = percent != tracker->last;
        if (d.write)
            tracker->last = percent;
        return d;
    }

    d.with_phase = true;
    switch (tracker->mode) {
    case ProgressMode::Copy:
        d.fraction = copy_fraction(phase, done, total, &d.is_publishing);
        break;
    case ProgressMode::Image:
        if (is(phase, "imaging"))
            d.fraction = ratio(done, total) * 0.25;
        else
            d.fraction = copy_fraction(phase, done, total, &d.is_publishing) * 0.75 + 0.25;
        break;
    case ProgressMode::Import:
        d.fraction = import_fraction(phase, done, total, &d.is_publishing);
        break;
    case ProgressMode::Export:
        break;
    }
    auto thousandths = static_cast<int64_t>(d.fraction * 1000);
    // Publishing is reported every time, even when its value is unchanged,
    // so the front-end sees the final step happen.
    d.write = d.is_publishing || thousandths != tracker->last;
    if (d.write)
        tracker->last = thousandths;
    return d;
}

} // namespace tw
