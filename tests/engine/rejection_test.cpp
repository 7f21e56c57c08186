#include "engine/rejection.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <utility>
#include <vector>

namespace {

using Changes = std::vector<std::pair<std::size_t, double>>;

// frames at level with a fraction of a level of noise (repeating every five; none when noise
// is 0), then changes.
std::vector<double> night(std::size_t frames, double level, const Changes& changes,
                          double noise = 1) {
    const double pattern[] = {0.0, 0.3, -0.2, 0.1, -0.4};
    std::vector<double> means;
    for (std::size_t i = 0; i < frames; ++i)
        means.push_back(level + noise * pattern[i % 5]);
    for (const auto& [index, value] : changes)
        means[index] = value;
    return means;
}

// Flat at 20 for 25 frames, then 2.5 levels brighter each frame, as at dawn.
std::vector<double> dawn() {
    std::vector<double> means(40, 20.0);
    for (std::size_t i = 25; i < means.size(); ++i)
        means[i] += 2.5 * static_cast<double>(i - 24);
    return means;
}

// Limits worked out by hand: median + k * max(MAD, 1) of each listed frame's neighbourhood.
TEST(RejectBright, OnlyFramesAboveTheirNeighbourhoodAreRejected) {
    const double nan = std::nan("");
    const std::vector<double> thirds = {10, 12, 14, 10, 12, 14, 10, 12, 14, 10, 12, 14, 10, 12};
    const auto plus = [&](double last) {
        std::vector<double> means = thirds;
        means.push_back(last);
        return means;
    };
    const struct {
        const char* name;
        std::vector<double> means;
        double k;
        std::vector<std::size_t> rejected;
        Changes limits;
    } rows[] = {
        // Window 5..19: median 20, MAD 0.2 floored to 1.
        {"one flash", night(30, 20, {{12, 120}}), 5, {12}, {{12, 25}}},
        // The last frame's window 25..39: median 40 (frame 32), MAD four frames' rise, 10.
        {"slow dawn", dawn(), 5, {}, {{39, 90}}},
        // In the shifted window 0..14 the ten frames after the five bright ones outvote them;
        // a window cut at the start (0..7) would have made them the majority.
        {"window shifted",
         night(17, 20, {{0, 40}, {1, 40}, {2, 40}, {3, 40}, {4, 40}}, 0),
         5,
         {0, 1, 2, 3, 4},
         {{0, 25}}},
        // Fewer than 15: the whole sequence, median 20, MAD 0.5; unmeasured frames count nowhere.
        {"six frames", {20, 21, 20, 19, 20, 90}, 5, {5}, {{0, 25}, {5, 25}}},
        {"unmeasured", {20, 21, nan, 19, 20, 90, nan, 20}, 5, {5}, {{2, 25}, {6, 25}}},
        {"none measured", {nan, nan}, 5, {}, {{0, nan}}},
        {"floor: 4.5 up is kept", night(20, 100, {{10, 104.5}}, 0), 5, {}, {}},
        // Median 12, MAD 2, above the floor; only what lies above the limit is rejected.
        {"at the limit", plus(22), 5, {}, {{14, 22}}},
        {"past the limit", plus(22.25), 5, {14}, {{14, 22}}},
        {"smaller k", plus(22), 3, {14}, {{14, 18}}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const std::vector<Rejection> result = rejectBright(row.means, row.k);
        ASSERT_EQ(result.size(), row.means.size());
        for (std::size_t i = 0; i < result.size(); ++i) {
            const auto& r = row.rejected;
            EXPECT_EQ(result[i].rejected, std::find(r.begin(), r.end(), i) != r.end()) << i;
            EXPECT_EQ(std::isnan(result[i].value), std::isnan(row.means[i])) << i;
            EXPECT_TRUE(std::isnan(row.means[i]) || result[i].value == row.means[i]) << i;
        }
        for (const auto& [index, limit] : row.limits)
            EXPECT_TRUE(result[index].limit == limit || std::isnan(result[index].limit + limit))
                << index << ": " << result[index].limit;
    }
}

}  // namespace
