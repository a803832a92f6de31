#include "engine/progress.h"

#include <cmath>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

using tw::ProgressMode;
using tw::ProgressTracker;

struct Written {
    std::string phase;
    double fraction;
};

// Feeds a sequence of reports and collects what would be written.
std::vector<Written> run(ProgressMode mode,
                         const std::vector<std::tuple<const char *, uint64_t, uint64_t>> &reports) {
    ProgressTracker t;
    t.mode = mode;
    std::vector<Written> out;
    for (const auto &[phase, done, total] : reports) {
        tw::ProgressDecision d = tw::progress_evaluate(&t, phase, done, total);
        EXPECT_GE(d.fraction, 0.0);
        EXPECT_LE(d.fraction, 1.0);
        if (d.write)
            out.push_back({d.with_phase ? phase : "", d.fraction});
    }
    return out;
}

TEST(Progress, CopyPhasesMapAndNeverMoveBackwards) {
    std::vector<std::tuple<const char *, uint64_t, uint64_t>> reports;
    reports.push_back({"formatting", 0, 0});
    for (uint64_t i = 0; i <= 100000; i += 7)
        reports.push_back({"reencoding", i, 100000});
    for (uint64_t i = 0; i <= 100000; i += 13)
        reports.push_back({"verifying", i, 100000});
    reports.push_back({"publishing", 0, 0});
    reports.push_back({"publishing", 1, 1});
    reports.push_back({"publishing", 2, 2});
    auto written = run(ProgressMode::Copy, reports);

    ASSERT_FALSE(written.empty());
    EXPECT_EQ(written.front().phase, "formatting");
    EXPECT_EQ(written.front().fraction, 0.0);
    // At most one line per thousandth, plus the publishing repeats.
    EXPECT_LE(written.size(), 1003u);
    double last = -1;
    std::string last_phase;
    int publishing = 0;
    for (const Written &w : written) {
        if (w.phase == "publishing") {
            ++publishing;
            EXPECT_DOUBLE_EQ(w.fraction, 0.99);
            continue;
        }
        if (w.phase == last_phase) {
            EXPECT_GT(w.fraction, last) << w.phase;
        }
        if (w.phase == "reencoding") {
            EXPECT_LE(w.fraction, 0.5);
        }
        if (w.phase == "verifying") {
            EXPECT_GE(w.fraction, 0.5);
            EXPECT_LE(w.fraction, 0.99);
        }
        last = w.fraction;
        last_phase = w.phase;
    }
    // "publishing" is written every time it is reported, even unchanged.
    EXPECT_EQ(publishing, 3);
}

TEST(Progress, FractionTable) {
    struct Case {
        ProgressMode mode;
        const char *phase;
        uint64_t done, total;
        double fraction;
    } cases[] = {
        {ProgressMode::Copy, "initializing", 1, 4, 0.125},
        {ProgressMode::Copy, "reencoding", 4, 4, 0.5},
        {ProgressMode::Copy, "verifying", 1, 2, 0.745},
        {ProgressMode::Copy, "verifying", 2, 2, 0.99},
        {ProgressMode::Copy, "reencoding", 0, 0, 0.0},
        // done beyond total is clamped, so a fraction never exceeds 1.
        {ProgressMode::Copy, "verifying", 9, 2, 0.99},
        {ProgressMode::Copy, "anything", 1, 2, 0.99},
        {ProgressMode::Image, "imaging", 1, 2, 0.125},
        {ProgressMode::Image, "reencoding", 2, 2, 0.625},
        {ProgressMode::Image, "publishing", 0, 0, 0.99 * 0.75 + 0.25},
        {ProgressMode::Import, "importing", 1, 2, 0.2},
        {ProgressMode::Import, "importing", 5, 0, 0.0},
        {ProgressMode::Import, "verifying", 1, 2, 0.6},
        {ProgressMode::Import, "checking", 1, 2, 0.9},
        {ProgressMode::Export, nullptr, 1, 4, 0.25},
        {ProgressMode::Export, nullptr, 0, 0, 1.0},
    };
    for (const Case &c : cases) {
        ProgressTracker t;
        t.mode = c.mode;
        tw::ProgressDecision d = tw::progress_evaluate(&t, c.phase, c.done, c.total);
        EXPECT_TRUE(d.write);
        EXPECT_NEAR(d.fraction, c.fraction, 1e-12) << (c.phase ? c.phase : "(export)");
        EXPECT_EQ(d.with_phase, c.mode != ProgressMode::Export);
    }
}

TEST(Progress, ExportWritesOncePerWholePercent) {
    std::vector<std::tuple<const char *, uint64_t, uint64_t>> reports;
    const uint64_t total = 1ull << 40; // a terabyte: done * 100 must not overflow
    for (uint64_t done = 0; done <= total; done += total / 4096)
        reports.push_back({nullptr, done, total});
    auto written = run(ProgressMode::Export, reports);
    EXPECT_EQ(written.size(), 101u);
    for (size_t i = 1; i < written.size(); ++i)
        EXPECT_GT(written[i].fraction, written[i - 1].fraction);
    EXPECT_DOUBLE_EQ(written.back().fraction, 1.0);

    // A huge done value near the 64-bit limit still gives a sane percentage.
    auto big = run(ProgressMode::Export, {{nullptr, UINT64_MAX / 2, UINT64_MAX}});
    ASSERT_EQ(big.size(), 1u);
    EXPECT_NEAR(big[0].fraction, 0.5, 1e-9);
}

} // namespace
